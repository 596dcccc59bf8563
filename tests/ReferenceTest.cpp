// Tests of the reference evaluator itself, on cases small enough that the
// expected bits follow from hand calculation (derivations in the comments).
// The library is not called here.
#include "TestSupport.hpp"
#include "reference/Arithmetic.hpp"
#include "reference/Exact.hpp"
#include "reference/Reference.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>

namespace {

using reference::Direction;
using reference::Real;
using test::Fraction;
using test::Stored;

constexpr Direction kNearest = Direction::ToNearest;
constexpr Direction kDown = Direction::Downward;
constexpr Direction kUp = Direction::Upward;
constexpr Direction kZero = Direction::TowardZero;

const test::Variant& VariantNamed(const std::string& name) {
    for (const test::Variant& variant : test::AllVariants()) {
        if (name == variant.Name) {
            return variant;
        }
    }
    throw std::invalid_argument("no variant " + name);
}

IterationOptions Options(const std::string& variant, bool sequential, double epsilon = 1e-6,
                         bool maximize = true) {
    return test::MakeOptions(VariantNamed(variant), sequential, epsilon, maximize);
}

reference::Outcome Evaluate(const test::Model& model, const IterationOptions& options,
                            Direction caller = kNearest, int32_t warnedFlag = 0,
                            int32_t abortFlag = 0) {
    const SparseMdp mdp = model.Mdp();
    reference::Request request;
    request.Model = &mdp;
    request.Options = &options;
    request.Caller = reference::CallerFpu::Uniform(caller);
    request.WarnedFlag = warnedFlag;
    request.AbortFlag = abortFlag;
    return reference::Evaluate(request);
}

uint64_t Bits(double value) { return test::Bits(value); }

uint32_t FloatBits(double widened) {
    const float value = static_cast<float>(widened);  // exact for a widened float
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

uint32_t FloatBits(const Real& value) { return FloatBits(value.ToDouble()); }

// State 0 with one choice leading to the target state 1 with probability p.
test::Model SingleStep(const test::Transition& toTarget) {
    return test::MakeModel({{{toTarget}}, {}}, {1});
}

const std::vector<std::string> kLayouts = {"sequential", "interleaved"};

// ---------------------------------------------------------------------------
// Arithmetic layer
// ---------------------------------------------------------------------------

// 1/3 = 0.0101...b. binary64: the 53-bit cut ends in ...0101 followed by
// 0101..., below half an ulp, so nearest = down = 0x3FD5555555555555 and up
// is the next value. binary32: the 24-bit cut ...1010 is followed by 1010...,
// above half an ulp, so nearest = up = 0x3EAAAAAB and down = 0x3EAAAAAA.
TEST(ReferenceArithmetic, OneThirdInEveryDirection) {
    const Real one = Real::FromInteger(1);
    const Real three = Real::FromInteger(3);
    using reference::kBinary32;
    using reference::kBinary64;
    EXPECT_EQ(Bits(Divide(kBinary64, kNearest, one, three).ToDouble()), 0x3FD5555555555555U);
    EXPECT_EQ(Bits(Divide(kBinary64, kDown, one, three).ToDouble()), 0x3FD5555555555555U);
    EXPECT_EQ(Bits(Divide(kBinary64, kZero, one, three).ToDouble()), 0x3FD5555555555555U);
    EXPECT_EQ(Bits(Divide(kBinary64, kUp, one, three).ToDouble()), 0x3FD5555555555556U);
    EXPECT_EQ(FloatBits(Divide(kBinary32, kNearest, one, three)), 0x3EAAAAABU);
    EXPECT_EQ(FloatBits(Divide(kBinary32, kUp, one, three)), 0x3EAAAAABU);
    EXPECT_EQ(FloatBits(Divide(kBinary32, kDown, one, three)), 0x3EAAAAAAU);
    EXPECT_EQ(FloatBits(Divide(kBinary32, kZero, one, three)), 0x3EAAAAAAU);
}

// Integers beyond the significand round on conversion; the x87 load does not.
TEST(ReferenceArithmetic, IntegerConversionRoundsInTheStepsDirection) {
    using reference::kBinary32;
    using reference::kBinary64;
    const int64_t big = (int64_t{1} << 60) + 1;  // binary64 spacing there: 2^8
    EXPECT_EQ(Convert(kBinary64, kDown, big).ToDouble(), std::ldexp(1.0, 60));
    EXPECT_EQ(Convert(kBinary64, kNearest, big).ToDouble(), std::ldexp(1.0, 60));
    EXPECT_EQ(Convert(kBinary64, kUp, big).ToDouble(), std::ldexp(1.0, 60) + 256.0);
    // 2^24 + 1 is a tie in binary32 between 2^24 and 2^24 + 2; even wins.
    EXPECT_EQ(Convert(kBinary32, kNearest, 16777217).ToDouble(), 16777216.0);
    EXPECT_EQ(Convert(kBinary32, kDown, 16777217).ToDouble(), 16777216.0);
    EXPECT_EQ(Convert(kBinary32, kUp, 16777217).ToDouble(), 16777218.0);
    EXPECT_FALSE(IsRepresentable(kBinary64, Real::FromInteger(big)));
    EXPECT_TRUE(IsRepresentable(reference::kX87Extended, Real::FromInteger(big)));
    EXPECT_TRUE(IsRepresentable(reference::kX87Extended,
                                Real::FromInteger(std::numeric_limits<int64_t>::min())));
}

TEST(ReferenceArithmetic, SubnormalsOverflowAndSignedZeros) {
    using reference::kBinary32;
    using reference::kBinary64;
    const Real tiny = Real::FromDouble(std::ldexp(1.0, -1074));  // smallest binary64
    const Real half = Real::FromDouble(0.5);
    // 2^-1075 is the tie between +0 and 2^-1074; even is +0.
    EXPECT_EQ(Bits(Multiply(kBinary64, kNearest, tiny, half).ToDouble()), 0U);
    EXPECT_EQ(Bits(Multiply(kBinary64, kUp, tiny, half).ToDouble()), 1U);
    EXPECT_EQ(Bits(Multiply(kBinary64, kDown, tiny, half).ToDouble()), 0U);
    // 3 * 2^-1076 lies above that tie: nearest gives 2^-1074.
    EXPECT_EQ(
        Bits(Multiply(kBinary64, kNearest, tiny, Real::FromDouble(0.75)).ToDouble()), 1U);
    // An x87 register at 53 bits keeps the wide exponent: 2^-1075 is exact
    // there and rounds only when stored.
    const Real registerValue = Multiply(reference::X87Register(53), kNearest, tiny, half);
    EXPECT_TRUE(IsRepresentable(reference::X87Register(53), registerValue));
    EXPECT_FALSE(IsRepresentable(kBinary64, registerValue));
    EXPECT_EQ(Bits(Round(kBinary64, kUp, registerValue).ToDouble()), 1U);
    // binary32 subnormals: 2^-149 * 0.5.
    const Real tinyFloat = Real::FromDouble(std::ldexp(1.0, -149));
    EXPECT_EQ(FloatBits(Multiply(kBinary32, kUp, tinyFloat, half)), 1U);
    EXPECT_EQ(FloatBits(Multiply(kBinary32, kDown, tinyFloat, half)), 0U);
    EXPECT_EQ(FloatBits(Round(kBinary32, kNearest, Real::FromDouble(1e-40))), 0x000116C2U);
    // Overflow: directed rounding toward the finite side stops at the maximum.
    const Real largest = Real::FromDouble(FLT_MAX);
    const Real two = Real::FromInteger(2);
    EXPECT_EQ(Multiply(kBinary32, kDown, largest, two).ToDouble(), FLT_MAX);
    EXPECT_EQ(Multiply(kBinary32, kZero, largest, two).ToDouble(), FLT_MAX);
    EXPECT_EQ(Multiply(kBinary32, kUp, largest, two).ToDouble(), INFINITY);
    EXPECT_EQ(Multiply(kBinary32, kNearest, largest, two).ToDouble(), INFINITY);
    // x - x is -0 only toward minus infinity; +0 + -0 likewise.
    const Real one = Real::FromInteger(1);
    EXPECT_EQ(Bits(Subtract(kBinary64, kDown, one, one).ToDouble()), 0x8000000000000000U);
    EXPECT_EQ(Bits(Subtract(kBinary64, kUp, one, one).ToDouble()), 0U);
    EXPECT_EQ(Bits(Add(kBinary64, kDown, Real(), Real::FromDouble(-0.0)).ToDouble()),
              0x8000000000000000U);
    EXPECT_EQ(Bits(Add(kBinary64, kNearest, Real(), Real::FromDouble(-0.0)).ToDouble()), 0U);
    // Invalid operations give the x86 default NaN.
    const Real nan = Multiply(kBinary64, kNearest, Real::FromDouble(INFINITY), Real());
    EXPECT_TRUE(nan.IsNaN());
    EXPECT_EQ(nan.DoubleBits(), 0xFFF8000000000000U);
}

// (1 + 2^-30)(1 - 2^-30) = 1 - 2^-60: two roundings give 1 and then 0 after
// adding -1; one fused rounding keeps -2^-60.
TEST(ReferenceArithmetic, FusedAccumulationRoundsOnce) {
    using reference::kBinary64;
    const Real a = Real::FromDouble(1.0 + std::ldexp(1.0, -30));
    const Real b = Real::FromDouble(1.0 - std::ldexp(1.0, -30));
    const Real minusOne = Real::FromInteger(-1);
    const Real product = Multiply(kBinary64, kNearest, a, b);
    EXPECT_EQ(Add(kBinary64, kNearest, minusOne, product).ToDouble(), 0.0);
    EXPECT_EQ(FusedMultiplyAdd(kBinary64, kNearest, a, b, minusOne).ToDouble(),
              -std::ldexp(1.0, -60));
}

// 0.1 lies between the binary32 values 0x3DCCCCCC and 0x3DCCCCCD (the
// latter is 0.1f, the nearest).
TEST(ReferenceArithmetic, EpsilonNarrowing) {
    const Real epsilon = Real::FromDouble(0.1);
    EXPECT_EQ(FloatBits(Round(reference::kBinary32, kDown, epsilon)), 0x3DCCCCCCU);
    EXPECT_EQ(FloatBits(Round(reference::kBinary32, kNearest, epsilon)), 0x3DCCCCCDU);
    EXPECT_EQ(FloatBits(Round(reference::kBinary32, kUp, epsilon)), 0x3DCCCCCDU);
}

// ---------------------------------------------------------------------------
// Entry point
// ---------------------------------------------------------------------------

TEST(ReferenceEntryPoint, ModelWithoutRationalValuesIsRefusedAlone) {
    test::Model model = SingleStep(Fraction(1, 1, 3));
    model.IsRational = 0;
    const reference::Outcome outcome =
        Evaluate(model, Options("DoubleSafeSSE", true), kNearest, 5);
    EXPECT_FALSE(outcome.Driver.has_value());
    ASSERT_EQ(outcome.Call.Messages.size(), 1U);
    EXPECT_EQ(outcome.Call.Messages[0].Severity, uint64_t{SeverityError});
    EXPECT_EQ(outcome.Call.Messages[0].Text,
              "The native interval iteration implementation requires rational probability "
              "values, but received floating-point probability values. This is a bug.");
    EXPECT_EQ(Bits(outcome.Call.Result.Lower), test::kQuietNanBits);
    EXPECT_EQ(Bits(outcome.Call.Result.Upper), test::kQuietNanBits);
    EXPECT_EQ(outcome.Call.Result.Status, 3);
    EXPECT_EQ(outcome.Call.IterationCount, test::kUntouchedCount);
    EXPECT_EQ(outcome.Call.AchievedPrecision, test::kUntouchedPrecision);
    EXPECT_EQ(outcome.Call.WarnedFlag, 5);
}

TEST(ReferenceEntryPoint, InformationTextsAndOrderOfMessages) {
    const test::Model model = SingleStep(Fraction(1, 1, 3));
    IterationOptions options = Options("DoubleSafeSSE", false);
    EXPECT_EQ(reference::InformationText(options),
              "Using the SSE instruction set for floating-point calculations at double precision "
              "with safe rounding in interleaved interval iteration.");
    options = Options("ExtendedDefaultX87", true);
    EXPECT_EQ(reference::InformationText(options),
              "Using the x87 instruction set for floating-point calculations at extended "
              "precision with default rounding in sequential interval iteration.");

    // Safe rounding asked for with a refused combination and a fraction in
    // the model: information, inexact-value warning, error; outputs kept.
    options.Fpu = FpuDefault;
    options.Rounding = RoundingSafe;
    const reference::Outcome refused = Evaluate(model, options);
    ASSERT_EQ(refused.Call.Messages.size(), 3U);
    EXPECT_EQ(refused.Call.Messages[0].Severity, uint64_t{SeverityInformation});
    EXPECT_EQ(refused.Call.Messages[1].Severity, uint64_t{SeverityWarning});
    EXPECT_EQ(refused.Call.Messages[1].Text,
              "Encountered a probability represented as an inexact floating-point value. The "
              "final result for property \"{0}\" may be affected by floating-point errors "
              "despite safe rounding.");
    EXPECT_EQ(refused.Call.Messages[2].Severity, uint64_t{SeverityError});
    EXPECT_EQ(refused.Call.Messages[2].Text,
              "Unsupported combination of FPU instruction set and rounding behaviour.");
    EXPECT_EQ(refused.Call.Result.Status, 3);
    EXPECT_EQ(refused.Call.IterationCount, test::kUntouchedCount);

    // Rounding 2 names "(invalid value)", skips the scan, runs a safe driver.
    options = Options("DoubleSafeDefault", true);
    options.Rounding = 2;
    const reference::Outcome aliased = Evaluate(model, options);
    ASSERT_TRUE(aliased.Driver.has_value());
    EXPECT_EQ(aliased.Driver->Name(), "DoubleSafeDefault");
    ASSERT_GE(aliased.Call.Messages.size(), 1U);
    EXPECT_NE(aliased.Call.Messages[0].Text.find("with (invalid value) rounding"),
              std::string::npos);
    for (size_t i = 1; i < aliased.Call.Messages.size(); ++i) {
        EXPECT_NE(aliased.Call.Messages[i].Text, reference::text::kInexactValue);
    }
}

TEST(ReferenceEntryPoint, DispatchTable) {
    auto name = [](uint8_t precision, uint8_t rounding, uint8_t fpu) {
        const auto variant = reference::Dispatch(precision, rounding, fpu);
        return variant ? variant->Name() : std::string("refused");
    };
    EXPECT_EQ(name(3, 0, 3), "DoubleDefaultAVX512");
    EXPECT_EQ(name(255, 7, 1), "DoubleSafeX87");
    EXPECT_EQ(name(2, 0, 3), "refused");
    EXPECT_EQ(name(2, 1, 2), "SingleSafeSSE");
    EXPECT_EQ(name(1, 0, 1), "ExtendedDefaultX87");
    EXPECT_EQ(name(1, 200, 1), "ExtendedSafeX87");
    EXPECT_EQ(name(1, 0, 0), "refused");
    EXPECT_EQ(name(1, 1, 2), "refused");
    EXPECT_EQ(name(0, 0, 4), "refused");
    EXPECT_EQ(name(0, 0, 255), "refused");
    // Every named variant is reached by its own bytes, and by nothing else
    // among canonical bytes.
    for (const test::Variant& variant : test::AllVariants()) {
        EXPECT_EQ(name(variant.Precision, variant.Rounding, variant.Fpu), variant.Name);
    }
    int accepted = 0;
    for (int precision = 0; precision < 3; ++precision) {
        for (int rounding = 0; rounding < 2; ++rounding) {
            for (int fpu = 0; fpu < 5; ++fpu) {
                accepted += reference::Dispatch(precision, rounding, fpu).has_value() ? 1 : 0;
            }
        }
    }
    EXPECT_EQ(accepted, 16);
}

// ---------------------------------------------------------------------------
// Kernels
// ---------------------------------------------------------------------------

// One iteration on p = 1/3: safe variants bracket 1/3 by one unit in the
// last place; the measure is half of it, rounded up.
TEST(ReferenceKernel, OneThirdUnderSafeRounding) {
    const test::Model model = SingleStep(Fraction(1, 1, 3));
    for (const bool sequential : {true, false}) {
        for (const char* name : {"DoubleSafeDefault", "DoubleSafeSSE", "DoubleSafeX87",
                                 "DoubleSafeAVX512"}) {
            SCOPED_TRACE(std::string(name) + (sequential ? " sequential" : " interleaved"));
            const test::Call call = Evaluate(model, Options(name, sequential), kUp).Call;
            EXPECT_EQ(Bits(call.Result.Lower), 0x3FD5555555555555U);
            EXPECT_EQ(Bits(call.Result.Upper), 0x3FD5555555555556U);
            EXPECT_EQ(call.Result.Status, 0);
            EXPECT_EQ(call.IterationCount, 1);
            EXPECT_EQ(call.AchievedPrecision, std::ldexp(1.0, -55));  // ulp 2^-54, halved
        }
        for (const char* name : {"SingleSafeDefault", "SingleSafeSSE", "SingleSafeX87"}) {
            SCOPED_TRACE(std::string(name) + (sequential ? " sequential" : " interleaved"));
            const test::Call call = Evaluate(model, Options(name, sequential), kNearest).Call;
            EXPECT_EQ(FloatBits(call.Result.Lower), 0x3EAAAAAAU);
            EXPECT_EQ(FloatBits(call.Result.Upper), 0x3EAAAAABU);
            EXPECT_EQ(call.AchievedPrecision, std::ldexp(1.0, -26));  // ulp 2^-25, halved
        }
        // Extended: 64-bit bounds 1/3 -/+ , rounded outward to binary64; the
        // measure 2^-66 is exact in binary64.
        SCOPED_TRACE(sequential ? "ExtendedSafeX87 sequential" : "ExtendedSafeX87 interleaved");
        const test::Call call =
            Evaluate(model, Options("ExtendedSafeX87", sequential), kNearest).Call;
        EXPECT_EQ(Bits(call.Result.Lower), 0x3FD5555555555555U);
        EXPECT_EQ(Bits(call.Result.Upper), 0x3FD5555555555556U);
        EXPECT_EQ(call.AchievedPrecision, std::ldexp(1.0, -66));
    }
    // A default variant computes in the caller's direction.
    const test::Call up = Evaluate(model, Options("DoubleDefaultDefault", true), kUp).Call;
    EXPECT_EQ(Bits(up.Result.Lower), 0x3FD5555555555556U);
    EXPECT_EQ(Bits(up.Result.Upper), 0x3FD5555555555556U);
    EXPECT_EQ(up.AchievedPrecision, 0.0);
    const test::Call down = Evaluate(model, Options("SingleDefaultSSE", false), kZero).Call;
    EXPECT_EQ(FloatBits(down.Result.Lower), 0x3EAAAAAAU);
}

// (2^53 + 1) / (2^53 + 3) at round-to-nearest. Portable/SSE convert first:
// 2^53 + 1 ties to 2^53, 2^53 + 3 ties to 2^53 + 4 (even significand), and
// 2^53 / (2^53 + 4) = 1 - 2^-51 + ... rounds to 1 - 4 * 2^-53, i.e.
// 0x3FEFFFFFFFFFFFFC. x87 divides the exact integers: 1 - 2 / (2^53 + 3)
// rounds to 1 - 2^-52 = 0x3FEFFFFFFFFFFFFE.
TEST(ReferenceKernel, LargeFractionConvertedVersusLoadedExactly) {
    const int64_t two53 = int64_t{1} << 53;
    const test::Model model = SingleStep(Fraction(1, two53 + 1, two53 + 3));
    for (const bool sequential : {true, false}) {
        EXPECT_EQ(Bits(Evaluate(model, Options("DoubleDefaultSSE", sequential)).Call.Result.Lower),
                  0x3FEFFFFFFFFFFFFCU);
        EXPECT_EQ(
            Bits(Evaluate(model, Options("DoubleDefaultAVX512", sequential)).Call.Result.Upper),
            0x3FEFFFFFFFFFFFFCU);
        EXPECT_EQ(Bits(Evaluate(model, Options("DoubleDefaultX87", sequential)).Call.Result.Lower),
                  0x3FEFFFFFFFFFFFFEU);
    }
}

// p = (2^60 + 1) / 2^61 = 0.5 + 2^-61 into the target. Binary64 arithmetic
// loses the 2^-61 (the numerator's conversion to 2^60 or 2^60 + 2^8, or the
// 53-bit quotient of the exact integers), so the bound is 0.5 except when
// the conversion or the quotient rounds up, giving 0.5 + 2^-53. (The
// extended quotient is exact: ExtendedResultsRoundOutward.)
TEST(ReferenceKernel, FractionAcrossConversionPaths) {
    const test::Model model = SingleStep(Fraction(1, (int64_t{1} << 60) + 1, int64_t{1} << 61));
    const double above = 0.5 + std::ldexp(1.0, -53);
    for (const bool sequential : {true, false}) {
        for (const char* name : {"DoubleDefaultDefault", "DoubleDefaultX87"}) {
            EXPECT_EQ(Evaluate(model, Options(name, sequential), kNearest).Call.Result.Lower, 0.5);
            EXPECT_EQ(Evaluate(model, Options(name, sequential), kDown).Call.Result.Lower, 0.5);
            EXPECT_EQ(Evaluate(model, Options(name, sequential), kUp).Call.Result.Lower, above);
        }
        // Safe: lower converts down, upper up.
        const test::Call safe = Evaluate(model, Options("DoubleSafeSSE", sequential)).Call;
        EXPECT_EQ(safe.Result.Lower, 0.5);
        EXPECT_EQ(safe.Result.Upper, above);
        // AVX-512 converts in the MXCSR direction even under safe rounding:
        // a lower bound above the quotient, an upper one below it.
        EXPECT_EQ(Evaluate(model, Options("DoubleSafeAVX512", sequential), kUp).Call.Result.Lower,
                  above);
        EXPECT_EQ(
            Evaluate(model, Options("DoubleSafeAVX512", sequential), kNearest).Call.Result.Upper,
            0.5);
    }
}

// (2^60 + 1) / 2^61 = 0.5 + 2^-61 is exact at 64 bits, so both extended
// bounds equal it and the measure is 0; binary64 cannot hold it, so the safe
// result rounds Lower down to 0.5 and Upper up to 0.5 + 2^-53.
TEST(ReferenceKernel, ExtendedResultsRoundOutward) {
    const test::Model model =
        SingleStep(Fraction(1, (int64_t{1} << 60) + 1, int64_t{1} << 61));
    for (const bool sequential : {true, false}) {
        const test::Call safe = Evaluate(model, Options("ExtendedSafeX87", sequential)).Call;
        EXPECT_EQ(safe.Result.Lower, 0.5);
        EXPECT_EQ(safe.Result.Upper, 0.5 + std::ldexp(1.0, -53));
        EXPECT_EQ(safe.AchievedPrecision, 0.0);
        const test::Call nearest = Evaluate(model, Options("ExtendedDefaultX87", sequential)).Call;
        EXPECT_EQ(nearest.Result.Lower, 0.5);
        EXPECT_EQ(nearest.Result.Upper, 0.5);
        const test::Call up =
            Evaluate(model, Options("ExtendedDefaultX87", sequential), kUp).Call;
        EXPECT_EQ(up.Result.Lower, 0.5 + std::ldexp(1.0, -53));
    }
}

// Single precision, safe: the stored binary64 0.1 narrows to the float just
// below 0.1 for the lower bound and just above for the upper (x87 by a
// store to a 4-byte temporary in the direction in force).
TEST(ReferenceKernel, StoredProbabilityNarrowedPerBound) {
    const test::Model model = SingleStep(Stored(1, 0.1));
    for (const bool sequential : {true, false}) {
        for (const char* name : {"SingleSafeDefault", "SingleSafeSSE", "SingleSafeX87"}) {
            SCOPED_TRACE(name);
            const test::Call call = Evaluate(model, Options(name, sequential), kNearest).Call;
            EXPECT_EQ(FloatBits(call.Result.Lower), 0x3DCCCCCCU);
            EXPECT_EQ(FloatBits(call.Result.Upper), 0x3DCCCCCDU);
        }
    }
}

// p = 1 / (2^24 + 1), just below 2^-24 where binary32 values are 2^-48
// apart. Portable/SSE single convert the denominator first: down to 2^24
// (lower quotient 2^-24, above the true value) and up to 2^24 + 2 (upper
// quotient rounds up to 2^-24 - 2^-48), so the lower bound ends above the
// upper: the negative measure warns and counts as 0. x87 divides the exact
// integers and brackets the value: 2^-24 - 2^-48 and 2^-24.
TEST(ReferenceKernel, DenominatorBeyondTheSingleSignificand) {
    const test::Model model = SingleStep(Fraction(1, 1, (int64_t{1} << 24) + 1));
    const double below = std::ldexp(1.0, -24) - std::ldexp(1.0, -48);
    for (const bool sequential : {true, false}) {
        const test::Call portable = Evaluate(model, Options("SingleSafeSSE", sequential)).Call;
        EXPECT_EQ(portable.Result.Lower, std::ldexp(1.0, -24));
        EXPECT_EQ(portable.Result.Upper, below);
        EXPECT_EQ(portable.AchievedPrecision, 0.0);
        ASSERT_EQ(portable.Messages.size(), 3U);
        EXPECT_EQ(portable.Messages[1].Text, reference::text::kInexactValue);
        EXPECT_EQ(portable.Messages[2].Text, reference::text::kLowerAboveUpper);
        const test::Call x87 = Evaluate(model, Options("SingleSafeX87", sequential)).Call;
        EXPECT_EQ(x87.Result.Lower, below);
        EXPECT_EQ(x87.Result.Upper, std::ldexp(1.0, -24));
        EXPECT_EQ(x87.Messages.size(), 2U);
    }
}

// State 0: p = s into the target, then p = 1/2 + 2^-31 into state 1, whose
// bounds are 1 - 2^-30 after its update earlier in the sweep. The product
// 1/2 - 2^-61 lies 2^-61 below 1/2, where binary64 values are 2^-54 apart
// (2^-53 above 1/2): rounded on its own it is 1/2 (nearest, upward) or
// 1/2 - 2^-54 (downward); a fused multiply-add rounds only the sum.
TEST(ReferenceKernel, FusedVersusSeparateAccumulation) {
    const auto model = [](double s) {
        return test::MakeModel({{{Stored(2, s), Stored(1, 0.5 + std::ldexp(1.0, -31))}},
                                {{Stored(2, 1.0 - std::ldexp(1.0, -30))}},
                                {}},
                               {2});
    };
    const double above = 0.5 + std::ldexp(1.0, -53);
    // s = 2^-54 + 2^-62: the exact sum 1/2 + 2^-54 - 2^-62 lies just below the
    // midpoint of 1/2 and `above`; after the product rounded up to 1/2 the sum
    // lies just above it.
    const test::Model midpoint = model(std::ldexp(1.0, -54) + std::ldexp(1.0, -62));
    // s = 2^-61: the exact sum is 1/2.
    const test::Model exact = model(std::ldexp(1.0, -61));
    for (const bool sequential : {true, false}) {
        SCOPED_TRACE(sequential ? "sequential" : "interleaved");
        const test::Call fused =
            Evaluate(midpoint, Options("DoubleDefaultAVX512", sequential)).Call;
        EXPECT_EQ(fused.Result.Lower, 0.5);
        EXPECT_EQ(fused.Result.Upper, 0.5);
        const test::Call separate =
            Evaluate(midpoint, Options("DoubleDefaultDefault", sequential)).Call;
        EXPECT_EQ(separate.Result.Lower, above);
        // Safe separate: the lower product rounds down to 1/2 - 2^-54 and the
        // sum stays there, the upper sum rounds up; the fused safe variant is
        // exact in both.
        const test::Call safe = Evaluate(exact, Options("DoubleSafeDefault", sequential)).Call;
        EXPECT_EQ(safe.Result.Lower, 0.5 - std::ldexp(1.0, -54));
        EXPECT_EQ(safe.Result.Upper, above);
        const test::Call safeFused = Evaluate(exact, Options("DoubleSafeAVX512", sequential)).Call;
        EXPECT_EQ(safeFused.Result.Lower, 0.5);
        EXPECT_EQ(safeFused.Result.Upper, 0.5);
    }
}

// State 0: p = 2^-1074 into state 1, whose bounds are 1/2 after its own
// update earlier in the same sweep. The product 2^-1075 is the tie between
// +0 and 2^-1074.
TEST(ReferenceKernel, SubnormalResultsAndTheX87Store) {
    const test::Model model = test::MakeModel(
        {{{Stored(1, std::ldexp(1.0, -1074))}}, {{Fraction(2, 1, 2)}}, {}}, {2});
    for (const bool sequential : {true, false}) {
        SCOPED_TRACE(sequential ? "sequential" : "interleaved");
        for (const char* name : {"DoubleDefaultDefault", "DoubleDefaultX87"}) {
            EXPECT_EQ(Bits(Evaluate(model, Options(name, sequential), kNearest).Call.Result.Lower),
                      0U);
            EXPECT_EQ(Bits(Evaluate(model, Options(name, sequential), kUp).Call.Result.Lower), 1U);
        }
        // Single: the stored probability itself narrows to 0 or 2^-149.
        EXPECT_EQ(Bits(Evaluate(model, Options("SingleDefaultSSE", sequential), kUp)
                           .Call.Result.Upper),
                  Bits(std::ldexp(1.0, -149)));
    }
    // The x87 safe kernels hold 2^-1075 in a register and round it when the
    // bound is stored: the lower bound down, the upper bound up, in both
    // layouts (the interleaved kernel, whose last switch before the store
    // was the one to up, stores an inexact lower bound again rounding down).
    for (const bool sequential : {true, false}) {
        const test::Call call = Evaluate(model, Options("DoubleSafeX87", sequential)).Call;
        EXPECT_EQ(Bits(call.Result.Lower), 0U);
        EXPECT_EQ(Bits(call.Result.Upper), 1U);
        EXPECT_EQ(call.Result.Status, 0);
        // Measure 2^-1075 in the register; AchievedPrecision stores it up.
        EXPECT_EQ(Bits(call.AchievedPrecision), 1U);
    }
    // The same under the SSE back-end: the product rounds down at once.
    EXPECT_EQ(Bits(Evaluate(model, Options("DoubleSafeSSE", false)).Call.Result.Lower), 0U);
}

// State 1 keeps [0, 1] forever (a self-loop); state 0 moves to it with the
// binary32-exact probability 0x3E4CCCCD, so its measure is 0x3DCCCCCD, the
// float just above 0.1. Epsilon 0.1 narrowed down (safe) is below that
// measure; narrowed to nearest it equals it.
TEST(ReferenceKernel, SingleEpsilonNarrowedInTheDirectionInForce) {
    const double pFloat = static_cast<double>(0.2f);  // 0x3E4CCCCD
    const test::Model model =
        test::MakeModel({{{Stored(1, pFloat)}}, {{Fraction(1, 1, 1)}}, {}}, {2});
    for (const bool sequential : {true, false}) {
        SCOPED_TRACE(sequential ? "sequential" : "interleaved");
        for (const char* name : {"SingleSafeDefault", "SingleSafeSSE", "SingleSafeX87"}) {
            SCOPED_TRACE(name);
            const test::Call call = Evaluate(model, Options(name, sequential, 0.1), kNearest).Call;
            EXPECT_EQ(call.Result.Status, 2);
            EXPECT_EQ(call.IterationCount, 2);
            EXPECT_EQ(FloatBits(call.AchievedPrecision), 0x3DCCCCCDU);
        }
        for (const char* name : {"SingleDefaultDefault", "SingleDefaultX87"}) {
            SCOPED_TRACE(name);
            const test::Call nearest =
                Evaluate(model, Options(name, sequential, 0.1), kNearest).Call;
            EXPECT_EQ(nearest.Result.Status, 0);
            EXPECT_EQ(nearest.IterationCount, 1);
            const test::Call down = Evaluate(model, Options(name, sequential, 0.1), kDown).Call;
            EXPECT_EQ(down.Result.Status, 2);
        }
        // Double compares with 0.1 itself, which is below the measure.
        EXPECT_EQ(
            Evaluate(model, Options("DoubleDefaultSSE", sequential, 0.1)).Call.Result.Status, 2);
    }
}

// A choice whose stored probabilities 0.6 + 0.6 lead to the target: 1.2.
TEST(ReferenceKernel, ValuesAboveOne) {
    const test::Model model = SingleStep(Stored(1, 0.6));
    test::Model overfull = test::MakeModel({{{Stored(1, 0.6), Stored(1, 0.6)}}, {}}, {1});
    const std::string textAbove = reference::text::kGreaterThanOne;
    const std::string textLower = reference::text::kLowerAboveUpper;
    for (const bool sequential : {true, false}) {
        SCOPED_TRACE(sequential ? "sequential" : "interleaved");
        // Default: both bounds clamp to 1, one warning, flag set.
        const test::Call clamped = Evaluate(overfull, Options("DoubleDefaultSSE", sequential)).Call;
        EXPECT_EQ(clamped.Result.Lower, 1.0);
        EXPECT_EQ(clamped.Result.Upper, 1.0);
        EXPECT_EQ(clamped.WarnedFlag, 1);
        ASSERT_EQ(clamped.Messages.size(), 2U);
        EXPECT_EQ(clamped.Messages[1].Text, textAbove);
        // A nonzero flag suppresses the text; the clamp still sets it to 1.
        const test::Call quiet =
            Evaluate(overfull, Options("DoubleDefaultSSE", sequential), kNearest, 7).Call;
        EXPECT_EQ(quiet.Messages.size(), 1U);
        EXPECT_EQ(quiet.WarnedFlag, 1);
        // Safe: the lower bound stays 1.2, the upper clamps silently, and the
        // negative measure warns (flag unchanged) and counts as 0.
        const test::Call safe = Evaluate(overfull, Options("DoubleSafeSSE", sequential)).Call;
        EXPECT_EQ(Bits(safe.Result.Lower), 0x3FF3333333333333U);
        EXPECT_EQ(safe.Result.Upper, 1.0);
        EXPECT_EQ(safe.Result.Status, 0);
        EXPECT_EQ(Bits(safe.AchievedPrecision), 0U);
        EXPECT_EQ(safe.WarnedFlag, 0);
        ASSERT_EQ(safe.Messages.size(), 2U);
        EXPECT_EQ(safe.Messages[1].Text, textLower);
        // AVX-512 has no negative check: (1 - 1.2) / 2 is reported as it is.
        const test::Call avx = Evaluate(overfull, Options("DoubleSafeAVX512", sequential)).Call;
        EXPECT_EQ(avx.Result.Status, 0);
        EXPECT_EQ(avx.AchievedPrecision, (1.0 - 1.2) * 0.5);
        EXPECT_EQ(avx.Messages.size(), 1U);
        EXPECT_EQ(Evaluate(model, Options("DoubleDefaultSSE", sequential)).Call.WarnedFlag, 0);
    }
    // Interleaved default: two states above one, both bounds clamped, still
    // only one warning in the call.
    const test::Model twice = test::MakeModel(
        {{{Stored(1, 0.6), Stored(1, 0.6)}}, {{Stored(2, 0.7), Stored(2, 0.7)}}, {}}, {2});
    const test::Call call = Evaluate(twice, Options("SingleDefaultDefault", false)).Call;
    EXPECT_EQ(call.Messages.size(), 2U);
    EXPECT_EQ(call.Result.Lower, 1.0);
}

TEST(ReferenceKernel, CountTableAndStopOrder) {
    // Converges only in the limit: lower 0, 1/2, 3/4, ...
    const test::Model model = test::MakeModel({{{Fraction(0, 1, 2), Fraction(1, 1, 2)}}, {}}, {1});
    const std::string reached = reference::text::kReachedMaximum;
    const std::string aborted = reference::text::kAborted;
    for (const bool sequential : {true, false}) {
        SCOPED_TRACE(sequential ? "sequential" : "interleaved");
        IterationOptions options = Options("DoubleDefaultDefault", sequential, 0.0);
        options.WarnOnAbort = 1;
        options.ReturnBoundsOnFailure = 1;

        // Abort at entry: 1 (sequential) or 0 (interleaved), AchievedPrecision 1.
        test::Call call = Evaluate(model, options, kNearest, 0, 1).Call;
        EXPECT_EQ(call.IterationCount, sequential ? 1 : 0);
        EXPECT_EQ(call.AchievedPrecision, 1.0);
        EXPECT_EQ(call.Result.Status, 1);
        EXPECT_EQ(call.Result.Lower, 0.0);
        EXPECT_EQ(call.Result.Upper, 1.0);
        ASSERT_EQ(call.Messages.size(), 2U);
        EXPECT_EQ(call.Messages[1].Text, aborted);

        // Negative limit: count 1 in both.
        options.MaxIterations = -5;
        call = Evaluate(model, options).Call;
        EXPECT_EQ(call.IterationCount, 1);
        EXPECT_EQ(call.Messages.back().Text, reached);
        // Limit and abort together: the sequential kernel tests the limit first.
        call = Evaluate(model, options, kNearest, 0, 1).Call;
        EXPECT_EQ(call.Messages.back().Text, sequential ? reached : aborted);
        EXPECT_EQ(call.IterationCount, sequential ? 1 : 0);

        // Limit 1: one full iteration, stop at the head of the second.
        options.MaxIterations = 1;
        call = Evaluate(model, options).Call;
        EXPECT_EQ(call.IterationCount, 2);
        EXPECT_EQ(call.Result.Lower, 0.5);
        EXPECT_EQ(call.Result.Upper, 1.0);
        EXPECT_EQ(call.AchievedPrecision, 0.25);
        // Without ReturnBoundsOnFailure the failure NaN, not the bounds.
        options.ReturnBoundsOnFailure = 0;
        call = Evaluate(model, options).Call;
        EXPECT_EQ(Bits(call.Result.Lower), test::kQuietNanBits);
        EXPECT_EQ(Bits(call.Result.Upper), test::kQuietNanBits);

        // No limit, Epsilon 0: the lower bounds 1 - 2^-k are exact up to
        // k = 53; in iteration 54, 1 - 2^-54 ties between 1 - 2^-53 and 1 and
        // rounds to the even 1, where the bounds meet.
        options.MaxIterations = 0;
        call = Evaluate(model, options).Call;
        EXPECT_EQ(call.Result.Status, 0);
        EXPECT_EQ(call.IterationCount, 54);
    }
}

// Gauss-Seidel order and signed zeros.
TEST(ReferenceKernel, ChoicesOrderAndZeros) {
    for (const bool sequential : {true, false}) {
        SCOPED_TRACE(sequential ? "sequential" : "interleaved");
        // 0 -> 1 -> target 2: one sweep carries the 1 down to state 0.
        const test::Model chain =
            test::MakeModel({{{Fraction(1, 1, 1)}}, {{Fraction(2, 1, 1)}}, {}}, {2});
        test::Call call = Evaluate(chain, Options("SingleDefaultSSE", sequential, 0.0)).Call;
        EXPECT_EQ(call.IterationCount, 1);
        EXPECT_EQ(call.Result.Lower, 1.0);

        // Toward minus infinity, +0 + -0 is -0. State 0 adds -0 (a stored -0
        // into the target) and 1 times the lower bound +0 of state 1, which
        // a self-loop keeps at [0, 1]: its new lower bound is -0, equal to
        // the stored +0, and its upper bound stays 1, so the first iteration
        // changes nothing (status 2 under a negative Epsilon).
        const test::Model signedZero = test::MakeModel(
            {{{Stored(2, -0.0), Fraction(1, 1, 1)}}, {{Fraction(1, 1, 1)}}, {}}, {2});
        call = Evaluate(signedZero, Options("DoubleDefaultSSE", sequential, -1.0), kDown).Call;
        EXPECT_EQ(call.Result.Status, 2);
        EXPECT_EQ(call.IterationCount, 1);
        EXPECT_EQ(Bits(call.Result.Lower), 0x8000000000000000U);
        EXPECT_EQ(call.AchievedPrecision, 0.5);
        call = Evaluate(signedZero, Options("DoubleDefaultSSE", sequential, -1.0)).Call;
        EXPECT_EQ(Bits(call.Result.Lower), 0U);
        // Both bounds -0: the measure -0 - -0 is -0 toward minus infinity.
        call = Evaluate(SingleStep(Stored(1, -0.0)), Options("DoubleDefaultSSE", sequential, -1.0),
                        kDown)
                   .Call;
        EXPECT_EQ(Bits(call.AchievedPrecision), 0x8000000000000000U);
        EXPECT_EQ(call.IterationCount, 2);

        // Relative measure: lower 0 and upper 1/2 give +infinity; both 0 give 0.
        const test::Model halfOpen = test::MakeModel(
            {{{Fraction(1, 1, 2)}}, {{Fraction(1, 1, 1)}}, {}}, {2});
        IterationOptions options = Options("DoubleDefaultDefault", sequential, 0.5);
        options.Relative = 1;
        call = Evaluate(halfOpen, options).Call;
        EXPECT_EQ(call.AchievedPrecision, INFINITY);
        EXPECT_EQ(call.Result.Status, 2);
        const test::Model empty = test::MakeModel({{{}}}, {});
        call = Evaluate(empty, options).Call;
        EXPECT_EQ(call.AchievedPrecision, 0.0);
        EXPECT_EQ(call.Result.Status, 0);

        // Min and max pick per bound; ties keep the first.
        const test::Model twoChoices = test::MakeModel(
            {{{Fraction(1, 1, 4)}, {Fraction(1, 1, 2)}}, {}}, {1});
        EXPECT_EQ(Evaluate(twoChoices, Options("DoubleDefaultSSE", sequential, 1e-6, true))
                      .Call.Result.Lower,
                  0.5);
        EXPECT_EQ(Evaluate(twoChoices, Options("DoubleDefaultSSE", sequential, 1e-6, false))
                      .Call.Result.Upper,
                  0.25);
    }
}

// The reference's safe variants are sound: on random acyclic models with
// non-negative probabilities whose integers convert exactly, every safe
// variant's bounds enclose the exact rational value.
TEST(ReferenceKernel, SafeVariantsEncloseTheExactValue) {
    std::mt19937_64 random(20240611);
    int checked = 0;
    for (int round = 0; round < 60; ++round) {
        const uint64_t n = 2 + random() % 5;
        std::vector<test::StateChoices> states(n);
        std::set<uint64_t> targets{n - 1};
        for (uint64_t s = 0; s + 1 < n; ++s) {
            const int choices = 1 + static_cast<int>(random() % 2);
            for (int c = 0; c < choices; ++c) {
                test::Choice choice;
                int64_t remaining = 12;
                for (uint64_t t = s + 1; t < n && remaining > 0; ++t) {
                    const int64_t share = static_cast<int64_t>(random() % (remaining + 1));
                    remaining -= share;
                    if (share > 0) {
                        if (random() % 2 == 0) {
                            choice.push_back(Fraction(t, share, 13));
                        } else {
                            choice.push_back(Stored(t, share / 13.0));
                        }
                    }
                }
                states[s].push_back(choice);
            }
        }
        const test::Model model = test::MakeModel(states, targets);
        const SparseMdp mdp = model.Mdp();
        for (const bool maximize : {true, false}) {
            const reference::Rational exact = reference::ExactReachability(mdp, maximize);
            for (const test::Variant& variant : test::AllVariants()) {
                if (variant.Rounding != RoundingSafe) {
                    continue;
                }
                for (const bool sequential : {true, false}) {
                    const Direction caller = (round % 2 == 0) ? kNearest : kUp;
                    const test::Call call =
                        Evaluate(model, Options(variant.Name, sequential, 0.0, maximize), caller)
                            .Call;
                    EXPECT_TRUE(reference::Encloses(call.Result.Lower, exact, call.Result.Upper))
                        << variant.Name << (sequential ? " sequential" : " interleaved")
                        << " exact " << exact.ToString() << "\n"
                        << reference::Describe(call);
                    ++checked;
                }
            }
        }
    }
    EXPECT_EQ(checked, 60 * 2 * 8 * 2);
}

}  // namespace
