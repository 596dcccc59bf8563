/*
 * A small host written in C: builds a gambler's-ruin MDP in memory and asks
 * the library for the maximal and minimal probability of reaching the goal,
 * in every variant and both layouts.
 *
 * Positions 0..5; the gambler starts at position 2, is ruined at 0 and wins
 * at 5. At positions 1..4 there are two choices:
 *   fair:   up or down with probability 0.5 each (stored binary64 values);
 *   unfair: up with probability 1/3, down with 2/3 (exact fractions).
 * Exact answers: max = 2/5 (always fair), min = 3/31 (always unfair: the
 * winning probability from position i is (2^i - 1) / (2^5 - 1)).
 */
#include "IntervalIteration.h"

#include <stdio.h>
#include <string.h>

enum { Positions = 6, Start = 2 };

/* State numbering: the start position is state 0, as the library requires. */
static const unsigned StateOfPosition[Positions] = {3, 1, 0, 2, 4, 5};

static uint64_t ZeroStates[1];
static uint64_t TargetStates[1];
static uint64_t StateChoiceStart[Positions + 1];
static uint64_t ChoiceTransitionStart[2 * Positions + 1];
static uint64_t TransitionTarget[4 * Positions];
static TransitionValue TransitionValues[4 * Positions];

static const char* PropertyName = "";

/* Messages of the current call, kept for printing after its table row: the
 * library's texts are valid only while the callback runs. */
static char Messages[4][256];
static unsigned MessageCount;

/* Keeps a message with the placeholder {0} replaced by the property's name,
 * as a host does. Every call announces its variant (the table shows it) and
 * every safe-rounding call warns that 1/3 is inexact (said once, above the
 * table); the rest is kept. */
static void CollectMessage(uint64_t context, const char* text, uint64_t severity) {
    const char* placeholder = strstr(text, "{0}");
    (void)context;
    if (severity == SeverityInformation || strstr(text, "inexact") != NULL ||
        MessageCount == sizeof Messages / sizeof Messages[0]) {
        return;
    }
    if (placeholder != NULL) {
        snprintf(Messages[MessageCount], sizeof Messages[0], "%.*s%s%s",
                 (int)(placeholder - text), text, PropertyName, placeholder + 3);
    } else {
        snprintf(Messages[MessageCount], sizeof Messages[0], "%s", text);
    }
    ++MessageCount;
}

static void AddTransition(uint64_t* count, unsigned position, int64_t numerator,
                          int64_t denominator, double stored) {
    TransitionTarget[*count] = StateOfPosition[position];
    if (denominator == 0) {
        TransitionValues[*count].Value = stored;
    } else {
        TransitionValues[*count].Numerator = numerator;
    }
    TransitionValues[*count].Denominator = denominator;
    ++*count;
}

static SparseMdp BuildModel(void) {
    unsigned positionOfState[Positions];
    uint64_t choices = 0, transitions = 0;
    unsigned p, s;
    SparseMdp model;
    for (p = 0; p < Positions; ++p) {
        positionOfState[StateOfPosition[p]] = p;
    }
    ZeroStates[0] = 1u << StateOfPosition[0];
    TargetStates[0] = 1u << StateOfPosition[Positions - 1];
    for (s = 0; s < Positions; ++s) {
        p = positionOfState[s];
        StateChoiceStart[s] = choices;
        if (p == 0 || p == Positions - 1) {
            continue; /* ruin and goal have no choices */
        }
        ChoiceTransitionStart[choices++] = transitions; /* fair */
        AddTransition(&transitions, p + 1, 0, 0, 0.5);
        AddTransition(&transitions, p - 1, 0, 0, 0.5);
        ChoiceTransitionStart[choices++] = transitions; /* unfair */
        AddTransition(&transitions, p + 1, 1, 3, 0);
        AddTransition(&transitions, p - 1, 2, 3, 0);
    }
    StateChoiceStart[Positions] = choices;
    ChoiceTransitionStart[choices] = transitions;

    memset(&model, 0, sizeof model);
    model.IsRational = 1;
    model.StateCount = Positions;
    model.ZeroStates = ZeroStates;
    model.TargetStates = TargetStates;
    model.StateChoiceStart = StateChoiceStart;
    model.ChoiceCount = choices;
    model.ChoiceTransitionStart = ChoiceTransitionStart;
    model.TransitionCount = transitions;
    model.TransitionTarget = TransitionTarget;
    model.TransitionValues = TransitionValues;
    return model;
}

int main(void) {
    static const uint8_t precisions[] = {PrecisionSingle, PrecisionDouble, PrecisionExtended};
    static const uint8_t fpus[] = {FpuDefault, FpuX87, FpuSSE, FpuAVX512};
    static const uint8_t roundings[] = {RoundingDefault, RoundingSafe};
    const SparseMdp model = BuildModel();
    const int avx512 = (GetNativeSupportMask() & 2) != 0;
    char vendor[13];
    int maximize, failures = 0;
    unsigned f, p, r, layout;

    GetCpuVendor(vendor, sizeof vendor);
    printf("Interval iteration on a gambler's ruin (start 2, goal 5), processor %s%s\n",
           vendor, avx512 ? " with AVX-512" : " without AVX-512");
    printf("(Safe rounding warns that the probabilities 1/3 and 2/3 are inexact.)\n");

    for (maximize = 1; maximize >= 0; --maximize) {
        PropertyName = maximize ? "Pmax=? [F goal]" : "Pmin=? [F goal]";
        /* The exact answer as a fraction: checked in long double, where the
           products below are exact. */
        const long double numerator = maximize ? 2 : 3, denominator = maximize ? 5 : 31;
        printf("\n%s, exact answer %s = %.17g\n", PropertyName, maximize ? "2/5" : "3/31",
               maximize ? 2.0 / 5.0 : 3.0 / 31.0);
        printf("  %-8s %-8s %-8s %-11s %-24s %-24s %-6s %-5s %s\n", "fpu", "prec.", "rounding",
               "layout", "lower", "upper", "status", "iter.", "achieved");
        for (f = 0; f < sizeof fpus; ++f) {
            if (fpus[f] == FpuAVX512 && !avx512) {
                continue; /* the host must not select AVX-512 without support */
            }
            for (p = 0; p < sizeof precisions; ++p) {
                /* The sixteen variants: extended precision exists only on the
                   x87, AVX-512 only in double precision. */
                if (precisions[p] == PrecisionExtended && fpus[f] != FpuX87) {
                    continue;
                }
                if (fpus[f] == FpuAVX512 && precisions[p] != PrecisionDouble) {
                    continue;
                }
                for (r = 0; r < sizeof roundings; ++r) {
                    for (layout = 0; layout < 2; ++layout) {
                        IterationOptions options;
                        int64_t iterations = -1;
                        double achieved = -1;
                        int32_t warned = 0, abortFlag = 0;
                        IterationResult result;
                        memset(&options, 0, sizeof options);
                        options.Epsilon = 1e-6;
                        options.Maximize = (uint8_t)maximize;
                        options.Fpu = fpus[f];
                        options.Precision = precisions[p];
                        options.Rounding = roundings[r];
                        options.Sequential = (uint8_t)layout;
                        MessageCount = 0;
                        result = IntervalIteration(&model, &options, &iterations, &achieved,
                                                   &warned, CollectMessage, &abortFlag);
                        printf("  %-8s %-8s %-8s %-11s ", FpuToString(options.Fpu),
                               PrecisionToString(options.Precision),
                               RoundingToString(options.Rounding),
                               layout ? "sequential" : "interleaved");
                        if (result.Status == IterationStatusError) {
                            printf("refused: %s\n", MessageCount > 0 ? Messages[0] : "");
                            continue;
                        }
                        printf("%-24.17g %-24.17g %-6d %-5lld %.3g\n", result.Lower,
                               result.Upper, result.Status, (long long)iterations, achieved);
                        for (unsigned m = 0; m < MessageCount; ++m) {
                            printf("      %s\n", Messages[m]);
                        }
                        /* Safe rounding must enclose the exact answer. */
                        if (options.Rounding == RoundingSafe &&
                            !(result.Status == IterationStatusConverged &&
                              (long double)result.Lower * denominator <= numerator &&
                              (long double)result.Upper * denominator >= numerator)) {
                            printf("      NOT ENCLOSED\n");
                            ++failures;
                        }
                    }
                }
            }
        }
    }
    return failures;
}
