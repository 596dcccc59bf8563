/* A host that only has the installed header and library: it checks the
 * size type and computes the probability 1/3 of a one-step model. */
#include <IntervalIteration.h>

#include <stdio.h>
#include <string.h>

static void Print(uint64_t context, const char* text, uint64_t severity) {
    (void)context;
    printf("[%llu] %s\n", (unsigned long long)severity, text);
}

int main(void) {
    const uint64_t target = 1u << 1;
    const uint64_t stateChoiceStart[] = {0, 1, 1};
    const uint64_t choiceTransitionStart[] = {0, 2};
    const uint64_t transitionTarget[] = {1, 0};
    TransitionValue values[2];
    SparseMdp model;
    IterationOptions options;
    IterationResult result;
    int64_t iterations = 0;
    double achieved = 0;
    int32_t warned = 0, abortFlag = 0;

    if (GetSizeOfSizeType() != (int32_t)sizeof(uint64_t)) {
        return 1;
    }
    values[0].Numerator = 1;
    values[0].Denominator = 3;
    values[1].Numerator = 0;
    values[1].Denominator = 0; /* stored binary64 0.0: nothing else happens */
    memset(&model, 0, sizeof model);
    model.IsRational = 1;
    model.StateCount = 2;
    model.TargetStates = &target;
    model.StateChoiceStart = stateChoiceStart;
    model.ChoiceCount = 1;
    model.ChoiceTransitionStart = choiceTransitionStart;
    model.TransitionCount = 2;
    model.TransitionTarget = transitionTarget;
    model.TransitionValues = values;
    memset(&options, 0, sizeof options);
    options.Epsilon = 1e-9;
    options.Maximize = 1;
    options.Fpu = FpuSSE;
    options.Precision = PrecisionDouble;
    options.Rounding = RoundingSafe;

    result = IntervalIteration(&model, &options, &iterations, &achieved, &warned, Print,
                               &abortFlag);
    printf("%s: [%.17g, %.17g] status %d\n", FpuToString(options.Fpu), result.Lower,
           result.Upper, result.Status);
    /* Safe rounding: the binary64 value below 1/3 and the one above. */
    return result.Status == IterationStatusConverged && result.Lower == 1.0 / 3.0 &&
                   result.Upper > 1.0 / 3.0
               ? 0
               : 1;
}
