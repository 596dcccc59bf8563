// Fuzzes IntervalIteration, or ExpectedRewardIteration with rewards decoded
// too, with option records and models decoded from the input: well-formed models, mostly with values the model check accepts, and
// malformed ones whose arrays are exactly as long as the host claims, so
// that any read beyond them trips the address sanitizer. Every call must
// return a valid status with a bounded number of iterations, bounds that
// are not NaN and not outside [0, 1] where it returns bounds, and leave the
// caller's floating-point state as it was.
#include "IntervalIteration.h"
#include "TestSupport.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {


// A failed expectation aborts with the line, so that libFuzzer keeps the input.
#define Check(condition) CheckAt(condition, __LINE__)
void CheckAt(bool condition, int line) {
    if (!condition) {
        std::fprintf(stderr, "check failed at line %d\n", line);
        std::abort();
    }
}

int gMessages;
void CountMessage(uint64_t context, const char* text, uint64_t severity) {
    Check(context == 0 && severity <= 2 && text != nullptr && std::strlen(text) < 1000);
    ++gMessages;
}

// An option byte: mostly a named value, sometimes anything.
uint8_t OptionByte(FuzzedDataProvider& in, uint8_t named) {
    const uint8_t byte = in.ConsumeIntegral<uint8_t>();
    return byte < 224 ? static_cast<uint8_t>(byte % named) : byte;
}

double Probability(FuzzedDataProvider& in) {
    static const double values[] = {0.5, 0.25, 0.1, 1.0, 0.0, 1.0 / 3.0, 1e-310, -0.5, 1.5,
                                    std::numeric_limits<double>::quiet_NaN(),
                                    std::numeric_limits<double>::infinity()};
    if (in.ConsumeBool()) {
        return values[in.ConsumeIntegralInRange<std::size_t>(0, std::size(values) - 1)];
    }
    return in.ConsumeFloatingPoint<double>();
}

int64_t Integer(FuzzedDataProvider& in) {
    static const int64_t values[] = {1, 2, 3, -1, 0, (int64_t{1} << 60) + 1, int64_t{1} << 61,
                                     16777217, std::numeric_limits<int64_t>::max(),
                                     std::numeric_limits<int64_t>::min()};
    if (in.ConsumeBool()) {
        return values[in.ConsumeIntegralInRange<std::size_t>(0, std::size(values) - 1)];
    }
    return in.ConsumeIntegralInRange<int64_t>(-20, 20);
}

struct Model {
    std::vector<uint64_t> Targets, Zeros, StateChoiceStart, ChoiceTransitionStart,
        TransitionTarget;
    std::vector<TransitionValue> Values;
};

// With `accepted`, a value the model check accepts: a stored value made
// finite and not negative (values above 1 stay), a fraction whose quotient is
// not negative. Otherwise anything: NaN, infinities, negative values, a zero
// denominator with any numerator bits.
TransitionValue Value(FuzzedDataProvider& in, bool accepted) {
    TransitionValue value;
    if (in.ConsumeBool()) {
        double stored = Probability(in);
        if (accepted) {
            stored = std::isfinite(stored) ? std::fabs(stored) : 1.0;
        }
        value.Value = stored;
        value.Denominator = 0;
    } else {
        value.Numerator = Integer(in);
        value.Denominator = Integer(in);
        if (accepted && value.Denominator == 0) {
            value.Denominator = 1;
        }
        if (accepted && (value.Numerator < 0) != (value.Denominator < 0)) {
            value.Numerator = value.Numerator == std::numeric_limits<int64_t>::min()
                                  ? std::numeric_limits<int64_t>::max()
                                  : -value.Numerator;
        }
    }
    return value;
}

void AddValue(FuzzedDataProvider& in, Model& model, bool accepted) {
    model.Values.push_back(Value(in, accepted));
}

// A model as the documented invariants want it; one in eight may hold values
// that are not probabilities.
void WellFormed(FuzzedDataProvider& in, uint64_t n, Model& model) {
    const bool accepted = in.ConsumeIntegralInRange(0, 7) != 0;
    for (uint64_t s = 0; s < n; ++s) {
        const bool target = in.ConsumeIntegralInRange(0, 5) == 0;
        const bool zero = in.ConsumeIntegralInRange(0, 5) == 0;
        model.Targets[s / 64] |= uint64_t{target} << (s % 64);
        model.Zeros[s / 64] |= uint64_t{zero} << (s % 64);
        model.StateChoiceStart.push_back(model.ChoiceTransitionStart.size());
        const int choices = in.ConsumeIntegralInRange(target || zero ? 0 : 1, 3);
        for (int c = 0; c < choices; ++c) {
            model.ChoiceTransitionStart.push_back(model.TransitionTarget.size());
            const int transitions = in.ConsumeIntegralInRange(0, 4);
            for (int t = 0; t < transitions; ++t) {
                model.TransitionTarget.push_back(in.ConsumeIntegralInRange<uint64_t>(0, n - 1));
                AddValue(in, model, accepted);
            }
        }
    }
    model.StateChoiceStart.push_back(model.ChoiceTransitionStart.size());
    model.ChoiceTransitionStart.push_back(model.TransitionTarget.size());
}

// Arbitrary offsets and successors; every array exactly as long as the
// counts the host states.
void Malformed(FuzzedDataProvider& in, uint64_t n, Model& model) {
    for (uint64_t s = 0; s < model.Targets.size() * 64; ++s) {
        model.Targets[s / 64] |= uint64_t{in.ConsumeIntegralInRange(0, 3) == 0} << (s % 64);
        model.Zeros[s / 64] |= uint64_t{in.ConsumeIntegralInRange(0, 5) == 0} << (s % 64);
    }
    uint64_t choices = 0;
    for (uint64_t s = 0; s <= n; ++s) {
        model.StateChoiceStart.push_back(in.ConsumeIntegralInRange<uint64_t>(0, 12));
        choices = std::max(choices, model.StateChoiceStart.back());
    }
    const uint64_t transitions = in.ConsumeIntegralInRange<uint64_t>(0, 16);
    for (uint64_t c = 0; c <= choices; ++c) {
        model.ChoiceTransitionStart.push_back(in.ConsumeIntegralInRange<uint64_t>(0, 18));
    }
    for (uint64_t t = 0; t < transitions; ++t) {
        model.TransitionTarget.push_back(in.ConsumeBool() ? in.ConsumeIntegral<uint64_t>()
                                                          : in.ConsumeIntegralInRange<uint64_t>(0, n));
        AddValue(in, model, false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    IterationOptions options;
    std::memset(&options, 0, sizeof options);
    options.Epsilon = in.ConsumeBool() ? Probability(in) : 1e-6;
    // Never 0 (no limit): a slowly converging model would run for long.
    options.MaxIterations = in.ConsumeIntegralInRange<int32_t>(-3, 40);
    if (options.MaxIterations == 0) {
        options.MaxIterations = 1;
    }
    options.Maximize = in.ConsumeIntegral<uint8_t>();
    options.Relative = in.ConsumeIntegral<uint8_t>();
    options.WarnOnAbort = in.ConsumeIntegral<uint8_t>();
    options.ReturnBoundsOnFailure = in.ConsumeIntegral<uint8_t>();
    options.Fpu = OptionByte(in, 4);
    options.Precision = OptionByte(in, 3);
    options.Rounding = OptionByte(in, 2);
    options.Sequential = in.ConsumeIntegral<uint8_t>();
    // AVX-512 stays selected also where the processor lacks it: it is then
    // refused with status 3.
    int32_t warned = in.ConsumeIntegralInRange<int32_t>(0, 1);
    int32_t abortFlag = in.ConsumeIntegralInRange(0, 15) == 0 ? 1 : 0;
    static const int directions[] = {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};
    const int direction = directions[in.ConsumeIntegralInRange(0, 3)];

    const uint64_t n = in.ConsumeIntegralInRange<uint64_t>(0, 12);
    Model model;
    model.Targets.assign((n + 63) / 64 + (n == 0 ? 1 : 0), 0);
    model.Zeros.assign(model.Targets.size(), 0);
    if (n > 0 && in.ConsumeIntegralInRange(0, 4) != 0) {
        WellFormed(in, n, model);
    } else {
        Malformed(in, n, model);
    }
    SparseMdp mdp;
    std::memset(&mdp, 0, sizeof mdp);
    mdp.IsRational = in.ConsumeIntegralInRange(0, 20) == 0 ? 0 : 1;
    mdp.StateCount = n;
    mdp.ZeroStates = in.ConsumeIntegralInRange(0, 4) == 0 ? nullptr : model.Zeros.data();
    mdp.TargetStates = in.ConsumeIntegralInRange(0, 30) == 0 ? nullptr : model.Targets.data();
    mdp.StateChoiceStart = model.StateChoiceStart.data();
    mdp.ChoiceCount = model.ChoiceTransitionStart.size() - 1;
    mdp.ChoiceTransitionStart = model.ChoiceTransitionStart.data();
    mdp.TransitionCount = model.TransitionTarget.size();
    mdp.TransitionTarget = model.TransitionTarget.data();
    mdp.TransitionValues = model.Values.data();

    // Expected rewards: one reward per choice, sometimes one more or one
    // fewer (exactly as many as the record claims), sometimes no record;
    // mostly values the check accepts.
    const bool rewarded = in.ConsumeBool();
    const uint64_t choices = model.ChoiceTransitionStart.size() - 1;
    std::vector<TransitionValue> rewardValues(
        choices + static_cast<uint64_t>(in.ConsumeIntegralInRange(0, 8) == 0) -
        (choices > 0 && in.ConsumeIntegralInRange(0, 8) == 0 ? 1 : 0));
    const bool acceptedRewards = in.ConsumeIntegralInRange(0, 7) != 0;
    for (TransitionValue& reward : rewardValues) {
        reward = Value(in, acceptedRewards);
    }
    const SparseRewards rewards{rewardValues.data(), rewardValues.size()};
    const SparseRewards* rewardRecord = in.ConsumeIntegralInRange(0, 20) == 0 ? nullptr : &rewards;

    int64_t count = -9;
    double achieved = -9;
    gMessages = 0;
    std::fesetround(direction);
    const uint32_t mxcsr = test::ReadMxcsr() & ~0x3Fu;
    const uint16_t controlWord = test::ReadControlWord();
    const IterationResult result =
        rewarded ? ExpectedRewardIteration(&mdp, rewardRecord, &options, &count, &achieved,
                                           &warned, CountMessage, &abortFlag)
                 : IntervalIteration(&mdp, &options, &count, &achieved, &warned, CountMessage,
                                     &abortFlag);
    Check((test::ReadMxcsr() & ~0x3Fu) == mxcsr && test::ReadControlWord() == controlWord);
    std::fesetround(FE_TONEAREST);

    Check(result.Status >= 0 && result.Status <= 3);
    // The "lower bound is greater" warning can come once per iteration, and
    // the certification of an upper bound of expected rewards once.
    Check(gMessages >= 1 && gMessages <= 6 + std::max(options.MaxIterations, 0));
    if (result.Status == IterationStatusError) {
        Check(std::isnan(result.Lower) && std::isnan(result.Upper));
        Check(count == -9 && achieved == -9);
    } else {
        Check(count >= 0 && count <= 41);
        // Every value that passed the model check is finite and >= 0 (the
        // rest is refused) and the kernels clamp probabilities above 1: no
        // bound is negative, no probability bound exceeds 1, and none is NaN
        // unless a stop returns NaN for both.
        Check(!(result.Lower < 0) && !(result.Upper < 0));
        Check(rewarded || !(result.Upper > 1));
        Check(rewarded || !std::isnan(achieved));
        const bool nanResult =
            result.Status == IterationStatusStopped && options.ReturnBoundsOnFailure == 0;
        Check(nanResult ? std::isnan(result.Lower) && std::isnan(result.Upper)
                        : !std::isnan(result.Lower) && !std::isnan(result.Upper));
    }
    return 0;
}
