// Behaviour of the kernels through the entry point, for every variant that
// computes and both layouts: stops and their counts, Gauss-Seidel order,
// min/max, clamping, the measure, and models with known answers.
#include "IntervalIteration.h"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

using test::Fraction;
using test::Message;
using test::Stored;

const std::string kReachedMaximum =
    "Interval iteration for property \"{0}\" reached maximum number of iterations before "
    "convergence.";
const std::string kAborted =
    "Interval iteration for property \"{0}\" was aborted before convergence.";
const std::string kAboveOne =
    "Encountered a value greater than 1 during interval iteration. The final result for "
    "property \"{0}\" is likely affected by floating-point errors.";
const std::string kLowerAboveUpper =
    "A lower bound is greater than an upper bound during interval iteration. The final result "
    "for property \"{0}\" is likely affected by floating-point errors.";

struct Param {
    test::Variant Variant;
    bool Sequential;
};

void PrintTo(const Param& param, std::ostream* out) {
    *out << param.Variant.Name << (param.Sequential ? " sequential" : " interleaved");
}

std::string ParamName(const ::testing::TestParamInfo<Param>& info) {
    return std::string(info.param.Variant.Name) +
           (info.param.Sequential ? "Sequential" : "Interleaved");
}

std::vector<Param> AllParams() {
    std::vector<Param> params;
    for (const test::Variant& variant : test::AllVariants()) {
        if (!test::Computes(variant)) {
            continue;
        }
        params.push_back({variant, true});
        params.push_back({variant, false});
    }
    return params;
}

// Messages of a call after the entry point's information message (and the
// inexact-value warning of safe rounding).
std::vector<Message> KernelMessages(const test::Call& call) {
    std::vector<Message> messages;
    for (const Message& m : call.Messages) {
        if (m.Severity != SeverityInformation && m.Text.find("inexact") == std::string::npos) {
            messages.push_back(m);
        }
    }
    return messages;
}

// State 0 reaches the target (state 1) with probability 1/2 per step and
// otherwise stays: after k sweeps its lower bound is 1 - 2^-k (exact in
// every precision) and the measure 2^-(k+1).
test::Model Geometric() {
    return test::MakeModel({{{Stored(1, 0.5), Stored(0, 0.5)}}, {}}, {1});
}

// State 0 loops on itself forever: its bounds stay [0, 1].
test::Model Stuck() { return test::MakeModel({{{Fraction(0, 1, 1)}}, {}}, {1}); }

class Kernel : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        if (!test::Runnable(GetParam().Variant)) {
            GTEST_SKIP() << "this processor lacks AVX512F or AVX512DQ: AVX-512 variants not tested";
        }
    }
    IterationOptions Options(double epsilon = 1e-6, bool maximize = true) const {
        return test::MakeOptions(GetParam().Variant, GetParam().Sequential, epsilon, maximize);
    }
    bool Sequential() const { return GetParam().Sequential; }
    bool Safe() const { return GetParam().Variant.Rounding != RoundingDefault; }
    bool Single() const { return GetParam().Variant.Precision == PrecisionSingle; }
    bool Avx512() const { return GetParam().Variant.Fpu == FpuAVX512; }
};

TEST_P(Kernel, ConvergesInTheIterationWhoseMeasureReachesEpsilon) {
    const test::Call call = test::Run(Geometric(), Options(std::ldexp(1.0, -10)));
    EXPECT_EQ(call.Result.Status, IterationStatusConverged);
    EXPECT_EQ(call.IterationCount, 9);
    EXPECT_EQ(call.AchievedPrecision, std::ldexp(1.0, -10));
    EXPECT_EQ(call.Result.Lower, 1 - std::ldexp(1.0, -9));
    EXPECT_EQ(call.Result.Upper, 1.0);
    EXPECT_TRUE(KernelMessages(call).empty());
}

TEST_P(Kernel, FixedPointAboveEpsilonStopsWithStatusTwo) {
    const test::Call call = test::Run(Stuck(), Options());
    EXPECT_EQ(call.Result.Status, IterationStatusFixedPoint);
    EXPECT_EQ(call.IterationCount, 1);
    EXPECT_EQ(call.AchievedPrecision, 0.5);
    EXPECT_EQ(call.Result.Lower, 0.0);
    EXPECT_EQ(call.Result.Upper, 1.0);
    // Converged wins over unchanged when the measure is within Epsilon.
    const test::Call loose = test::Run(Stuck(), Options(0.5));
    EXPECT_EQ(loose.Result.Status, IterationStatusConverged);
}

TEST_P(Kernel, IterationLimitStopsAtTheHeadOfTheNextIteration) {
    IterationOptions options = Options(0);
    options.MaxIterations = 3;
    const test::Call nan = test::Run(Geometric(), options);
    EXPECT_EQ(nan.Result.Status, IterationStatusStopped);
    EXPECT_EQ(nan.IterationCount, 4);
    EXPECT_EQ(nan.AchievedPrecision, std::ldexp(1.0, -4));
    EXPECT_EQ(test::Bits(nan.Result.Lower), test::kQuietNanBits);
    EXPECT_EQ(test::Bits(nan.Result.Upper), test::kQuietNanBits);
    // The warning is sent whatever WarnedFlag says.
    const test::Call warned = test::Run(Geometric(), options, 1);
    EXPECT_EQ(KernelMessages(warned), (std::vector<Message>{{SeverityWarning, kReachedMaximum}}));
    EXPECT_EQ(warned.WarnedFlag, 1);

    options.ReturnBoundsOnFailure = 3;
    const test::Call bounds = test::Run(Geometric(), options);
    EXPECT_EQ(bounds.Result.Status, IterationStatusStopped);
    EXPECT_EQ(bounds.Result.Lower, 0.875);
    EXPECT_EQ(bounds.Result.Upper, 1.0);

    options.MaxIterations = 1;
    const test::Call one = test::Run(Geometric(), options);
    EXPECT_EQ(one.IterationCount, 2);
    EXPECT_EQ(one.AchievedPrecision, 0.25);
}

TEST_P(Kernel, NegativeLimitStopsBeforeTheFirstSweep) {
    IterationOptions options = Options();
    options.MaxIterations = -5;
    options.ReturnBoundsOnFailure = 1;
    const test::Call call = test::Run(Geometric(), options);
    EXPECT_EQ(call.Result.Status, IterationStatusStopped);
    EXPECT_EQ(call.IterationCount, 1);
    EXPECT_EQ(call.AchievedPrecision, 1.0);
    EXPECT_EQ(call.Result.Lower, 0.0);
    EXPECT_EQ(call.Result.Upper, 1.0);
    EXPECT_EQ(KernelMessages(call), (std::vector<Message>{{SeverityWarning, kReachedMaximum}}));
}

TEST_P(Kernel, AbortAtEntryRunsNoSweep) {
    IterationOptions options = Options();
    options.ReturnBoundsOnFailure = 1;
    const test::Call quiet = test::Run(Geometric(), options, 0, 1);
    EXPECT_EQ(quiet.Result.Status, IterationStatusStopped);
    EXPECT_EQ(quiet.IterationCount, Sequential() ? 1 : 0);
    EXPECT_EQ(quiet.AchievedPrecision, 1.0);
    EXPECT_EQ(quiet.Result.Lower, 0.0);
    EXPECT_EQ(quiet.Result.Upper, 1.0);
    EXPECT_TRUE(KernelMessages(quiet).empty());

    options.WarnOnAbort = 1;
    options.ReturnBoundsOnFailure = 0;
    const test::Call warned = test::Run(Geometric(), options, 0, -1);
    EXPECT_EQ(test::Bits(warned.Result.Lower), test::kQuietNanBits);
    EXPECT_EQ(KernelMessages(warned), (std::vector<Message>{{SeverityWarning, kAborted}}));

    // Limit and abort at the same head: the sequential kernel tests the
    // limit first, the interleaved kernel the abort.
    options.MaxIterations = -1;
    const test::Call both = test::Run(Geometric(), options, 0, 1);
    EXPECT_EQ(KernelMessages(both),
              (std::vector<Message>{{SeverityWarning, Sequential() ? kReachedMaximum : kAborted}}));
    EXPECT_EQ(both.IterationCount, Sequential() ? 1 : 0);
}

// The abort flag raised from the callback while the first sweep runs (a
// clamp warning is the only call a sweep makes).
int32_t gAbortFlag;
void AbortOnWarning(uint64_t, const char* text, uint64_t severity) {
    test::CaptureMessage(0, text, severity);
    if (severity == SeverityWarning) {
        __atomic_store_n(&gAbortFlag, 1, __ATOMIC_RELAXED);
    }
}

TEST_P(Kernel, AbortRaisedDuringTheFirstSweepIsSeenAtTheNextPoll) {
    if (Safe()) {
        GTEST_SKIP() << "safe rounding clamps silently: no callback inside a sweep";
    }
    // State 0 sums to 1.25: its bounds clamp to 1 with a warning.
    const test::Model model = test::MakeModel({{{Stored(1, 0.75), Stored(1, 0.5)}}, {}}, {1});
    IterationOptions options = Options();
    options.ReturnBoundsOnFailure = 1;
    options.WarnOnAbort = 1;
    test::Call call;
    call.IterationCount = test::kUntouchedCount;
    call.WarnedFlag = 0;
    gAbortFlag = 0;
    test::MessageSink = &call.Messages;
    const SparseMdp mdp = model.Mdp();
    call.Result = IntervalIteration(&mdp, &options, &call.IterationCount,
                                    &call.AchievedPrecision, &call.WarnedFlag, AbortOnWarning,
                                    &gAbortFlag);
    test::MessageSink = nullptr;
    if (Sequential()) {
        // Seen between the sweeps: the lower bound is this iteration's, the
        // upper bound still the initial one.
        EXPECT_EQ(call.Result.Status, IterationStatusStopped);
        EXPECT_EQ(call.IterationCount, 1);
        EXPECT_EQ(call.AchievedPrecision, 1.0);
        EXPECT_EQ(KernelMessages(call),
                  (std::vector<Message>{{SeverityWarning, kAboveOne}, {SeverityWarning, kAborted}}));
    } else {
        // The interleaved kernel polls only at the head: the sweep that
        // converges reports convergence.
        EXPECT_EQ(call.Result.Status, IterationStatusConverged);
        EXPECT_EQ(call.IterationCount, 1);
        EXPECT_EQ(KernelMessages(call), (std::vector<Message>{{SeverityWarning, kAboveOne}}));
    }
    EXPECT_EQ(call.Result.Lower, 1.0);
    EXPECT_EQ(call.Result.Upper, 1.0);
}

TEST_P(Kernel, GaussSeidelSweepReadsValuesUpdatedEarlierInTheSameSweep) {
    const test::Model chain = test::MakeModel({{{Fraction(1, 1, 1)}}, {{Fraction(2, 1, 1)}}, {}},
                                              {2});
    const test::Call call = test::Run(chain, Options(0));
    EXPECT_EQ(call.Result.Status, IterationStatusConverged);
    EXPECT_EQ(call.IterationCount, 1);
    EXPECT_EQ(call.Result.Lower, 1.0);
    EXPECT_EQ(call.Result.Upper, 1.0);

    // Sweeping from the last state down, a link to a higher-numbered state
    // is resolved within the sweep and a link to a lower-numbered state
    // waits for the next one: 0 -> 3 -> 2 -> target 1 takes two sweeps.
    const test::Model reversed = test::MakeModel(
        {{{Fraction(3, 1, 1)}}, {}, {{Fraction(1, 1, 1)}}, {{Fraction(2, 1, 1)}}}, {1});
    EXPECT_EQ(test::Run(reversed, Options(0)).IterationCount, 2);
    const test::Model forward = test::MakeModel(
        {{{Fraction(1, 1, 1)}}, {{Fraction(2, 1, 1)}}, {{Fraction(3, 1, 1)}}, {}}, {3});
    EXPECT_EQ(test::Run(forward, Options(0)).IterationCount, 1);
}

// Two choices whose lower and upper bounds are best in different choices:
// state 1 is [1/4, 3/4], state 2 is [3/8, 1/2] (state 3 is stuck at [0, 1],
// state 4 the target, state 5 a zero state).
test::Model CrossedChoices() {
    return test::MakeModel({{{Fraction(1, 1, 1)}, {Fraction(2, 1, 1)}},
                            {{Fraction(4, 1, 4), Fraction(3, 1, 2), Fraction(5, 1, 4)}},
                            {{Fraction(4, 3, 8), Fraction(3, 1, 8), Fraction(5, 1, 2)}},
                            {{Fraction(3, 1, 1)}},
                            {},
                            {}},
                           {4}, {5});
}

TEST_P(Kernel, MaximumAndMinimumChooseEachBoundIndependently) {
    const test::Call max = test::Run(CrossedChoices(), Options(1e-6, true));
    EXPECT_EQ(max.Result.Status, IterationStatusFixedPoint);
    EXPECT_EQ(max.IterationCount, 2);
    EXPECT_EQ(max.Result.Lower, 0.375);
    EXPECT_EQ(max.Result.Upper, 0.75);
    const test::Call min = test::Run(CrossedChoices(), Options(1e-6, false));
    EXPECT_EQ(min.Result.Lower, 0.25);
    EXPECT_EQ(min.Result.Upper, 0.5);
    IterationOptions options = Options(1e-6, false);
    options.Maximize = 0x80;  // any nonzero byte maximizes
    EXPECT_EQ(test::Run(CrossedChoices(), options).Result.Lower, 0.375);
}

// States 0 and 1 each sum to 1.25 on the way to the target.
test::Model AboveOne() {
    return test::MakeModel(
        {{{Stored(1, 0.75), Stored(1, 0.5)}}, {{Stored(2, 0.75), Stored(2, 0.5)}}, {}}, {2});
}

TEST_P(Kernel, ValuesAboveOneAreClampedWithOneWarning) {
    const test::Call call = test::Run(AboveOne(), Options());
    const test::Call suppressed = test::Run(AboveOne(), Options(), 42);
    if (Safe()) {
        // The lower bound stays above 1 as computed (state 1 at 1.25, state 0
        // at 1.25 * 1.25); the upper bound is clamped silently and WarnedFlag
        // is left alone. Only the measure notices the crossed bounds.
        EXPECT_EQ(call.Result.Lower, 1.5625);
        EXPECT_EQ(call.Result.Upper, 1.0);
        EXPECT_EQ(call.Result.Status, IterationStatusConverged);
        EXPECT_EQ(call.WarnedFlag, 0);
        const std::vector<Message> expected =
            Avx512() ? std::vector<Message>{}
                     : std::vector<Message>{{SeverityWarning, kLowerAboveUpper}};
        EXPECT_EQ(KernelMessages(call), expected);
        EXPECT_EQ(suppressed.WarnedFlag, 42);
        EXPECT_TRUE(KernelMessages(suppressed).empty());
        return;
    }
    EXPECT_EQ(call.Result.Lower, 1.0);
    EXPECT_EQ(call.Result.Upper, 1.0);
    EXPECT_EQ(call.WarnedFlag, 1);
    EXPECT_EQ(KernelMessages(call), (std::vector<Message>{{SeverityWarning, kAboveOne}}));

    // Passed in nonzero: clamped just the same, without a warning; the flag
    // is then set to 1.
    EXPECT_EQ(suppressed.Result.Lower, 1.0);
    EXPECT_EQ(suppressed.Result.Upper, 1.0);
    EXPECT_EQ(suppressed.WarnedFlag, 1);
    EXPECT_TRUE(KernelMessages(suppressed).empty());
}

TEST_P(Kernel, RelativeMeasureDividesByTheLowerBound) {
    IterationOptions options = Options();
    options.Relative = 1;
    // Lower 0, upper 1: infinite, so only the fixed-point rule can stop it.
    const test::Call stuck = test::Run(Stuck(), options);
    EXPECT_EQ(stuck.Result.Status, IterationStatusFixedPoint);
    EXPECT_EQ(stuck.AchievedPrecision, std::numeric_limits<double>::infinity());
    // Both bounds 0: the absolute measure 0.
    const test::Call zero = test::Run(test::MakeModel({{{}}, {}}, {1}), options);
    EXPECT_EQ(zero.Result.Status, IterationStatusConverged);
    EXPECT_EQ(zero.IterationCount, 1);
    EXPECT_EQ(zero.AchievedPrecision, 0.0);
    EXPECT_EQ(zero.Result.Upper, 0.0);
    // A lower bound of -0 while the upper one is positive (a 0/-1 fraction
    // and a stored -0.0, summed downward; default rounding follows the
    // caller's downward direction): the measure is +infinity, not the
    // -infinity of a division by -0, so the run cannot stop as converged.
    const test::Model negativeZero =
        test::MakeModel({{{Fraction(1, 0, -1), Stored(1, -0.0), Fraction(0, 1, 1)}}, {}}, {1});
    std::fesetround(FE_DOWNWARD);
    const test::Call call = test::Run(negativeZero, options);
    std::fesetround(FE_TONEAREST);
    EXPECT_EQ(call.Result.Status, IterationStatusFixedPoint);
    EXPECT_EQ(call.AchievedPrecision, std::numeric_limits<double>::infinity());
    EXPECT_EQ(call.Result.Lower, 0.0);
    EXPECT_EQ(call.Result.Upper, 1.0);
    // 2^-(k+1) / (1 - 2^-k) <= 2^-10 first holds at k = 10.
    options.Epsilon = std::ldexp(1.0, -10);
    const test::Call geometric = test::Run(Geometric(), options);
    EXPECT_EQ(geometric.Result.Status, IterationStatusConverged);
    EXPECT_EQ(geometric.IterationCount, 10);
}

// Safe rounding leaves AboveOne's lower bound at 1.5625 and clamps the upper
// one to 1. Default rounding computes both bounds alike and clamps both, so
// there the lower bound never passes the upper one.
TEST_P(Kernel, LowerAboveUpperIsMeasuredAsZero) {
    if (!Safe()) {
        GTEST_SKIP() << "default rounding: the lower bound never passes the upper one";
    }
    const test::Call call = test::Run(AboveOne(), Options(0));
    EXPECT_EQ(call.Result.Status, IterationStatusConverged);
    EXPECT_EQ(call.IterationCount, 1);
    EXPECT_EQ(call.Result.Lower, 1.5625);
    EXPECT_EQ(call.Result.Upper, 1.0);
    EXPECT_EQ(call.WarnedFlag, 0);  // this warning never sets the flag
    if (Avx512()) {
        // No negative check: the negative measure is reported and passes
        // the precision test.
        EXPECT_EQ(call.AchievedPrecision, (1.0 - 1.5625) / 2);
        EXPECT_TRUE(KernelMessages(call).empty());
        return;
    }
    EXPECT_EQ(call.AchievedPrecision, 0.0);
    EXPECT_EQ(KernelMessages(call), (std::vector<Message>{{SeverityWarning, kLowerAboveUpper}}));
    const test::Call suppressed = test::Run(AboveOne(), Options(0), 1);
    EXPECT_TRUE(KernelMessages(suppressed).empty());
    EXPECT_EQ(suppressed.WarnedFlag, 1);
}

TEST_P(Kernel, TargetAndZeroStatesKeepTheirInitialBounds) {
    // State 0 a target, or a zero state, or both (the target wins).
    const test::Model target = test::MakeModel({{{Fraction(1, 1, 1)}}, {}}, {0, 1});
    const test::Model zero = test::MakeModel({{{Fraction(1, 1, 1)}}, {}}, {1}, {0});
    const test::Model both = test::MakeModel({{{Fraction(1, 1, 1)}}, {}}, {0, 1}, {0});
    for (const auto& [model, bound] : {std::pair{&target, 1.0}, {&zero, 0.0}, {&both, 1.0}}) {
        const test::Call call = test::Run(*model, Options());
        EXPECT_EQ(call.Result.Status, IterationStatusConverged);
        EXPECT_EQ(call.IterationCount, 1);
        EXPECT_EQ(call.Result.Lower, bound);
        EXPECT_EQ(call.Result.Upper, bound);
    }
    // A null zero set is an empty one: state 1 is then stuck at [0, 1].
    const test::Model withZero =
        test::MakeModel({{{Fraction(1, 1, 2), Fraction(2, 1, 2)}}, {{Fraction(1, 1, 1)}}, {}},
                        {2}, {1});
    const test::Model nullZero = test::MakeModel(
        {{{Fraction(1, 1, 2), Fraction(2, 1, 2)}}, {{Fraction(1, 1, 1)}}, {}}, {2}, {1}, true);
    EXPECT_EQ(test::Run(withZero, Options()).Result.Upper, 0.5);
    EXPECT_EQ(test::Run(nullZero, Options()).Result.Upper, 1.0);
}

TEST_P(Kernel, TargetInTheSecondBitsetWord) {
    // States 0..63 each step to the next; state 64 is the target.
    std::vector<test::StateChoices> states(65);
    for (uint64_t s = 0; s < 64; ++s) {
        states[s] = {{Fraction(s + 1, 1, 1)}};
    }
    const test::Call call = test::Run(test::MakeModel(states, {64}), Options(0));
    EXPECT_EQ(call.Result.Status, IterationStatusConverged);
    EXPECT_EQ(call.IterationCount, 1);
    EXPECT_EQ(call.Result.Lower, 1.0);
}

TEST_P(Kernel, ChoicesWithoutTransitionsAreWorthZero) {
    const test::Model model = test::MakeModel({{{}, {Stored(1, 0.5)}}, {}}, {1});
    EXPECT_EQ(test::Run(model, Options(1e-6, false)).Result.Upper, 0.0);
    EXPECT_EQ(test::Run(model, Options(1e-6, true)).Result.Lower, 0.5);
}

TEST_P(Kernel, EpsilonNanNeverConverges) {
    const test::Call call = test::Run(Stuck(), Options(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(call.Result.Status, IterationStatusFixedPoint);
    const test::Call target =
        test::Run(test::MakeModel({{}}, {0}), Options(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(target.Result.Status, IterationStatusFixedPoint);
}

// Gambler's ruin with a fair choice (stored 0.5) and an unfair one (1/3 up,
// 2/3 down) at positions 1..N-1, starting at position i. The maximum plays
// fair: i/N; the minimum plays unfair: (2^i - 1) / (2^N - 1).
test::Model GamblersRuin(uint64_t positions, uint64_t start) {
    // State 0 is the start position; position p != start is state p + 1
    // below the start and p above it... kept simple: swap start and 0.
    auto state = [&](uint64_t position) {
        return position == start ? 0 : position == 0 ? start : position;
    };
    std::vector<test::StateChoices> states(positions + 1);
    for (uint64_t p = 1; p < positions; ++p) {
        states[state(p)] = {{Stored(state(p + 1), 0.5), Stored(state(p - 1), 0.5)},
                            {Fraction(state(p + 1), 1, 3), Fraction(state(p - 1), 2, 3)}};
    }
    return test::MakeModel(states, {state(positions)}, {state(0)});
}

TEST_P(Kernel, BoundsBracketKnownAnswers) {
    const double epsilon = Single() ? 1e-4 : 1e-9;
    const double slack = Single() ? 1e-6 : 1e-14;  // default rounding is not sound
    for (uint64_t start : {1u, 4u, 9u}) {
        const double fair = static_cast<double>(start) / 10;
        const double unfair = (std::ldexp(1.0, static_cast<int>(start)) - 1) / (1024 - 1);
        for (const auto& [maximize, exact] : {std::pair{true, fair}, {false, unfair}}) {
            const test::Call call = test::Run(GamblersRuin(10, start), Options(epsilon, maximize));
            EXPECT_EQ(call.Result.Status, IterationStatusConverged);
            EXPECT_LE(call.Result.Lower, exact + slack) << start << maximize;
            EXPECT_GE(call.Result.Upper, exact - slack) << start << maximize;
            EXPECT_LE(call.Result.Upper - call.Result.Lower, 2 * epsilon + slack);
            // Single precision compares with Epsilon narrowed to binary32.
            EXPECT_LE(call.AchievedPrecision, Single() ? epsilon * (1 + 1e-7) : epsilon);
        }
    }
}

// Default rounding runs in the caller's direction; safe rounding does not
// depend on it for exactly representable inputs.
TEST_P(Kernel, DefaultRoundingFollowsTheCallersDirection) {
    const test::Model third = test::MakeModel({{{Fraction(1, 1, 3)}}, {}}, {1});
    std::fesetround(FE_DOWNWARD);
    const test::Call down = test::Run(third, Options());
    std::fesetround(FE_UPWARD);
    const test::Call up = test::Run(third, Options());
    std::fesetround(FE_TONEAREST);
    if (Safe()) {
        EXPECT_EQ(up.Result.Lower, down.Result.Lower);
        EXPECT_EQ(up.Result.Upper, down.Result.Upper);
        EXPECT_LT(up.Result.Lower, up.Result.Upper);
    } else if (Avx512() && Sequential()) {
        // Round-to-nearest travels with each instruction.
        EXPECT_EQ(up.Result.Lower, 1.0 / 3.0);
        EXPECT_EQ(down.Result.Lower, 1.0 / 3.0);
    } else {
        // Products by 3 are exact in long double: the quotient was rounded
        // down, then up.
        EXPECT_LT(static_cast<long double>(down.Result.Lower) * 3, 1.0L);
        EXPECT_GT(static_cast<long double>(up.Result.Lower) * 3, 1.0L);
        EXPECT_EQ(down.Result.Upper, down.Result.Lower);
        EXPECT_EQ(up.Result.Upper, up.Result.Lower);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, Kernel, ::testing::ValuesIn(AllParams()), ParamName);

}  // namespace
