// What distinguishes the back-ends: the state a callback observes during a
// run, directed quotients and conversions, the narrowing of Epsilon, the x87
// precision control and the rounding of extended results.
#include "IntervalIteration.h"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using test::Fraction;
using test::ReadControlWord;
using test::ReadMxcsr;
using test::WriteControlWord;
using test::WriteMxcsr;
using test::ReadStatusWord;
using test::Stored;


const test::Variant& Find(const char* name) {
    for (const test::Variant& variant : test::AllVariants()) {
        if (std::string(variant.Name) == name) {
            return variant;
        }
    }
    throw std::logic_error(name);
}

std::vector<test::Variant> Select(bool (*keep)(const test::Variant&)) {
    std::vector<test::Variant> selected;
    for (const test::Variant& variant : test::ComputingVariants()) {
        if (keep(variant)) {
            selected.push_back(variant);
        }
    }
    return selected;
}

bool IsSafe(const test::Variant& variant) { return variant.Rounding != RoundingDefault; }

// What the floating-point unit holds while the host's callback runs.
struct Observed {
    uint32_t Mxcsr;
    uint16_t ControlWord;
    int Direction;
};
std::vector<Observed> gObserved;
void Observe(uint64_t context, const char* text, uint64_t severity) {
    gObserved.push_back({ReadMxcsr(), ReadControlWord(), std::fegetround()});
    test::CaptureMessage(context, text, severity);
}

test::Call RunObserved(const test::Model& model, const IterationOptions& options) {
    test::Call call;
    gObserved.clear();
    test::MessageSink = &call.Messages;
    int32_t abortFlag = 0;
    call.WarnedFlag = 0;
    const SparseMdp mdp = model.Mdp();
    call.Result = IntervalIteration(&mdp, &options, &call.IterationCount,
                                    &call.AchievedPrecision, &call.WarnedFlag, Observe,
                                    &abortFlag);
    test::MessageSink = nullptr;
    return call;
}

// At the limit exit of the second iteration the callback sees the variant's
// x87 precision and, under safe rounding, the downward direction that ends
// every iteration; default rounding leaves the caller's direction alone.
TEST(Backend, CallbackRunsInTheKernelsFloatingPointState) {
    const test::Model model = test::MakeModel({{{Fraction(1, 1, 3), Fraction(0, 2, 3)}}, {}}, {1});
    for (const test::Variant& variant : test::ComputingVariants()) {
        for (bool sequential : {true, false}) {
            IterationOptions options = test::MakeOptions(variant, sequential, 0);
            options.MaxIterations = 1;
            std::fesetround(FE_UPWARD);
            const test::Call call = RunObserved(model, options);
            std::fesetround(FE_TONEAREST);
            ASSERT_EQ(gObserved.size(), call.Messages.size());
            const Observed& atLimit = gObserved.back();
            // fesetround sets both units; SSE and x87 each set their own.
            const bool portable = variant.Fpu == FpuDefault;
            const uint32_t expectedSse =
                IsSafe(variant) && (portable || variant.Fpu == FpuSSE) ? 0x2000 : 0x4000;
            const uint16_t expectedX87 =
                IsSafe(variant) && (portable || variant.Fpu == FpuX87) ? 0x0400 : 0x0800;
            EXPECT_EQ(atLimit.Mxcsr & 0x6000, expectedSse) << variant.Name;
            EXPECT_EQ(atLimit.ControlWord & 0x0C00, expectedX87) << variant.Name;
            if (variant.Fpu == FpuX87) {
                const uint16_t precision = variant.Precision == PrecisionSingle   ? 0x000
                                           : variant.Precision == PrecisionDouble ? 0x200
                                                                                  : 0x300;
                EXPECT_EQ(atLimit.ControlWord & 0x0300, precision) << variant.Name;
            }
            // The information message comes before any change.
            EXPECT_EQ(gObserved.front().Direction, FE_UPWARD) << variant.Name;
        }
    }
}

// The measure runs upward under safe rounding: its warning sees it.
TEST(Backend, MeasureWarningRunsUpwardUnderSafeRounding) {
    // Lower 2, upper clamped to 1: safe rounding leaves a lower bound above 1
    // as computed.
    const test::Model model = test::MakeModel({{{Stored(1, 2.0)}}, {}}, {1});
    for (const test::Variant& variant : Select(IsSafe)) {
        if (variant.Fpu == FpuAVX512) {
            continue;  // no negative-measure check there
        }
        for (bool sequential : {true, false}) {
            const test::Call call = RunObserved(model, test::MakeOptions(variant, sequential, 0));
            ASSERT_EQ(call.Messages.size(), 2u) << variant.Name;
            const Observed& inMeasure = gObserved.back();
            if (variant.Fpu == FpuX87) {
                EXPECT_EQ(inMeasure.ControlWord & 0x0C00, 0x0800) << variant.Name;
            } else {
                EXPECT_EQ(inMeasure.Mxcsr & 0x6000, 0x4000u) << variant.Name;
            }
        }
    }
}

// 1/3 rounds down for the lower bound and up for the upper bound, one unit
// in the last place of the working precision apart.
TEST(Backend, SafeQuotientsBracketOneThird) {
    const test::Model model = test::MakeModel({{{Fraction(1, 1, 3)}}, {}}, {1});
    for (const test::Variant& variant : Select(IsSafe)) {
        for (bool sequential : {true, false}) {
            const test::Call call = test::Run(model, test::MakeOptions(variant, sequential, 0));
            const long double lower = call.Result.Lower;
            const long double upper = call.Result.Upper;
            EXPECT_LT(lower * 3, 1.0L) << variant.Name;
            EXPECT_GT(upper * 3, 1.0L) << variant.Name;
            if (variant.Precision == PrecisionSingle) {
                EXPECT_EQ(static_cast<float>(upper),
                          std::nextafter(static_cast<float>(lower), 1.0f))
                    << variant.Name;
            } else {
                // Double, and extended rounded outward to double.
                EXPECT_EQ(call.Result.Upper, std::nextafter(call.Result.Lower, 1.0))
                    << variant.Name;
            }
        }
    }
}

// Single precision: integers convert directly to binary32 in the step's
// direction on the portable and SSE back-ends (2^24 + 1 becomes 2^24 below
// and 2^24 + 2 above); the x87 loads them exactly.
TEST(Backend, SingleSafeConvertsTheDenominatorInTheStepsDirection) {
    const test::Model model = test::MakeModel({{{Fraction(1, 1, 16777217)}}, {}}, {1});
    for (const test::Variant& variant : Select([](const test::Variant& v) {
             return IsSafe(v) && v.Precision == PrecisionSingle;
         })) {
        for (bool sequential : {true, false}) {
            const test::Call call = test::Run(model, test::MakeOptions(variant, sequential, 0));
            if (variant.Fpu == FpuX87) {
                const long double exact = 1.0L / 16777217;
                EXPECT_LT(call.Result.Lower, exact) << variant.Name;
                EXPECT_GT(call.Result.Upper, exact) << variant.Name;
            } else {
                // Products of a binary32 value and a 25-bit integer are exact
                // in long double.
                float up = static_cast<float>(1.0L / 16777218);
                if (static_cast<long double>(up) * 16777218 < 1) {
                    up = std::nextafter(up, 1.0f);
                }
                EXPECT_EQ(call.Result.Lower, std::ldexp(1.0, -24)) << variant.Name;
                EXPECT_EQ(call.Result.Upper, static_cast<double>(up)) << variant.Name;
            }
        }
    }
}

// A stored 0.1 narrows to the binary32 value below 0.1 for the lower bound
// and to the one above for the upper bound.
TEST(Backend, SingleSafeNarrowsStoredProbabilitiesOutward) {
    const test::Model model = test::MakeModel({{{Stored(1, 0.1)}}, {}}, {1});
    const float above = 0.1f;  // the nearest binary32 value lies above 0.1
    const float below = std::nextafter(above, 0.0f);
    for (const test::Variant& variant : Select([](const test::Variant& v) {
             return IsSafe(v) && v.Precision == PrecisionSingle;
         })) {
        for (bool sequential : {true, false}) {
            const test::Call call = test::Run(model, test::MakeOptions(variant, sequential, 0));
            EXPECT_EQ(call.Result.Lower, static_cast<double>(below)) << variant.Name;
            EXPECT_EQ(call.Result.Upper, static_cast<double>(above)) << variant.Name;
        }
    }
}

// Single precision compares the measure with Epsilon narrowed to binary32:
// downward under safe rounding, in the caller's direction otherwise. With a
// measure equal to the binary32 value just above 0.1, Epsilon 0.1 converges
// only in the default-rounding variants (under round-to-nearest).
TEST(Backend, SingleComparesWithEpsilonNarrowed) {
    const float measure = 0.1f;
    // Lower 0, upper 2 * measure: state 0 moves to a stuck state with
    // probability 2 * measure and to a zero state otherwise.
    const test::Model model =
        test::MakeModel({{{Stored(1, 2.0 * measure)}}, {{Fraction(1, 1, 1)}}, {}}, {}, {2});
    for (const test::Variant& variant : Select([](const test::Variant& v) {
             return v.Precision == PrecisionSingle;
         })) {
        for (bool sequential : {true, false}) {
            const test::Call call = test::Run(model, test::MakeOptions(variant, sequential, 0.1));
            EXPECT_EQ(call.AchievedPrecision, static_cast<double>(measure)) << variant.Name;
            EXPECT_EQ(call.Result.Status,
                      IsSafe(variant) ? IterationStatusFixedPoint : IterationStatusConverged)
                << variant.Name;
        }
    }
}

// The x87 runs at the precision of the storage format, so a single-precision
// iteration reaches a binary32 fixed point: the register value compared with
// the stored one finds no change.
TEST(Backend, SingleX87ReachesABinary32FixedPoint) {
    // Lower bound 3/10 in exact arithmetic, upper bound 1: never converged.
    // A register wider than binary32 would never land on the stored value.
    const test::Model model = test::MakeModel(
        {{{Fraction(1, 1, 5), Fraction(0, 1, 3), Fraction(2, 7, 15)}}, {}, {{Fraction(2, 1, 1)}}},
        {1});
    for (const char* name : {"SingleDefaultX87", "SingleSafeX87", "SingleDefaultSSE"}) {
        const test::Variant& variant = Find(name);
        if (!test::Computes(variant)) {
            continue;
        }
        for (bool sequential : {true, false}) {
            IterationOptions options = test::MakeOptions(variant, sequential, 0);
            options.MaxIterations = 10000;
            const test::Call call = test::Run(model, options);
            EXPECT_EQ(call.Result.Status, IterationStatusFixedPoint) << name;
            EXPECT_LT(call.IterationCount, 1000) << name;
        }
    }
}

// (2^60 + 1) / 2^61 = 0.5 + 2^-61 is exact with a 64-bit significand: the
// extended bounds are equal, and not representable in binary64. Safe
// rounding returns them rounded outward, one unit in the last place apart;
// default rounding rounds both to nearest. A binary64 back-end rounds the
// numerator before it divides.
TEST(Backend, ExtendedResultsRoundOutwardToDouble) {
    const int64_t numerator = (int64_t{1} << 60) + 1;
    const test::Model model = test::MakeModel({{{Fraction(1, numerator, int64_t{1} << 61)}}, {}}, {1});
    for (const char* name : {"ExtendedSafeX87", "ExtendedDefaultX87", "DoubleSafeX87",
                             "DoubleSafeSSE", "DoubleSafeDefault"}) {
        const test::Variant& variant = Find(name);
        if (!test::Computes(variant)) {
            continue;
        }
        for (bool sequential : {true, false}) {
            const test::Call call = test::Run(model, test::MakeOptions(variant, sequential, 0));
            const std::string which = name;
            // Equal bounds converge; bounds one unit apart reach a fixed point.
            EXPECT_EQ(call.Result.Status, which.find("Extended") == 0 ? IterationStatusConverged
                                                                       : IterationStatusFixedPoint)
                << name;
            if (which == "ExtendedDefaultX87") {
                EXPECT_EQ(call.Result.Lower, 0.5) << name;
                EXPECT_EQ(call.Result.Upper, 0.5) << name;
                EXPECT_EQ(call.AchievedPrecision, 0.0) << name;
            } else {
                // Extended: the equal bounds rounded outward. Double: the
                // lower quotient rounds down to 0.5 and the upper one up.
                EXPECT_EQ(call.Result.Lower, 0.5) << name;
                EXPECT_EQ(call.Result.Upper, std::nextafter(0.5, 1.0)) << name;
            }
            if (which == "ExtendedSafeX87") {
                EXPECT_EQ(call.AchievedPrecision, 0.0) << name;
            }
        }
    }
}

}  // namespace

namespace {

// A bound in the storage format's subnormal range is held exactly in an x87
// register and rounded when stored: the lower bound down, the upper bound
// up, in both layouts (the interleaved kernel ends a state with the upward
// direction in force and must store its lower bound rounding down).
TEST(Backend, X87SafeStoresRoundLowerDownAndUpperUp) {
    struct Case {
        const char* Name;
        double Tiny;  // the smallest positive value of the storage format
    };
    for (const Case& c : {Case{"DoubleSafeX87", std::ldexp(1.0, -1074)},
                          Case{"SingleSafeX87", std::ldexp(1.0, -149)}}) {
        // State 0 reaches state 1 with the smallest value; state 1 reaches
        // the target with 1/2: state 0's exact value is half the smallest.
        const test::Model model = test::MakeModel(
            {{{Stored(1, c.Tiny)}}, {{Fraction(2, 1, 2)}}, {}}, {2});
        for (bool sequential : {true, false}) {
            const test::Call call = test::Run(model, test::MakeOptions(Find(c.Name), sequential));
            EXPECT_EQ(call.Result.Lower, 0.0) << c.Name << sequential;
            EXPECT_EQ(call.Result.Upper, c.Tiny) << c.Name << sequential;
            EXPECT_EQ(call.Result.Status, IterationStatusConverged);
        }
    }
}

}  // namespace
