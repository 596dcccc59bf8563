// The AVX-512 back-end: one rounding per multiply-add, directions attached
// to each instruction.
#include "IntervalIteration.h"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>

namespace {

using test::Fraction;

bool Avx512Available() { return (GetNativeSupportMask() & 2) != 0; }

// p * x + s rounded once or twice, and a quotient, in a given direction.
double Fused(int direction, double p, double x, double s) {
    return test::InDirection(direction, [](double a, double b, double c) { return std::fma(a, b, c); },
                             p, x, s);
}
double Unfused(int direction, double p, double x, double s) {
    return test::InDirection(direction, [](double a, double b, double c) {
        double product = a * b;
        asm volatile("" : "+x"(product));  // no contraction
        return product + c;
    }, p, x, s);
}
double Quotient(int direction, double n, double d) {
    return test::InDirection(direction, [](double a, double b) { return a / b; }, n, d);
}

// State 1 reaches the target with 1/3; state 0 reaches the target with 1/f
// and then state 1 with 1/3. The second accumulation of state 0 adds a
// product that is not a binary64 value to a nonzero sum: with f = 20 fusing
// changes the lower bound, with f = 17 the upper one.
test::Model ThirdOfAThird(int64_t f) {
    return test::MakeModel({{{Fraction(2, 1, f), Fraction(1, 1, 3)}}, {{Fraction(2, 1, 3)}}, {}},
                           {2});
}

TEST(Avx512, SafeAccumulationRoundsOnceInEachDirection) {
    if (!Avx512Available()) {
        GTEST_SKIP() << "this processor lacks AVX512F or AVX512DQ: AVX-512 variants not tested";
    }
    for (int64_t f : {20, 17}) {
        const double denominator = static_cast<double>(f);
        const double third = Quotient(FE_DOWNWARD, 1, 3);
        const double fraction = Quotient(FE_DOWNWARD, 1, denominator);
        const double lower = Fused(FE_DOWNWARD, third, third, fraction);
        const double lowerUnfused = Unfused(FE_DOWNWARD, third, third, fraction);
        const double thirdUp = Quotient(FE_UPWARD, 1, 3);
        const double fractionUp = Quotient(FE_UPWARD, 1, denominator);
        const double upper = Fused(FE_UPWARD, thirdUp, thirdUp, fractionUp);
        const double upperUnfused = Unfused(FE_UPWARD, thirdUp, thirdUp, fractionUp);
        // The case tells fused from unfused arithmetic.
        ASSERT_TRUE(lower != lowerUnfused || upper != upperUnfused) << f;

        for (bool sequential : {true, false}) {
            const test::Call call =
                test::Run(ThirdOfAThird(f), test::MakeOptions({PrecisionDouble, RoundingSafe,
                                                               FpuAVX512, ""},
                                                              sequential, 0));
            EXPECT_EQ(call.Result.Lower, lower) << f;
            EXPECT_EQ(call.Result.Upper, upper) << f;
            EXPECT_EQ(call.Result.Status, IterationStatusFixedPoint);
            // The safe AVX-512 kernels never touch WarnedFlag.
            EXPECT_EQ(call.WarnedFlag, 0);
        }
    }
}

// Default rounding: round-to-nearest attached in the sequential kernel, the
// caller's direction in the interleaved one, whatever MXCSR says.
TEST(Avx512, DefaultAccumulationFollowsTheKernelsDirection) {
    if (!Avx512Available()) {
        GTEST_SKIP() << "this processor lacks AVX512F or AVX512DQ: AVX-512 variants not tested";
    }
    // With f = 6 fusing changes the result under round-to-nearest.
    const test::Model model = ThirdOfAThird(6);
    const double third = Quotient(FE_TONEAREST, 1, 3), sixth = Quotient(FE_TONEAREST, 1, 6);
    const double nearest = Fused(FE_TONEAREST, third, third, sixth);
    ASSERT_NE(nearest, Unfused(FE_TONEAREST, third, third, sixth));
    const double thirdUp = Quotient(FE_UPWARD, 1, 3), sixthUp = Quotient(FE_UPWARD, 1, 6);
    const double up = Fused(FE_UPWARD, thirdUp, thirdUp, sixthUp);
    std::fesetround(FE_UPWARD);
    const test::Call sequential = test::Run(
        model, test::MakeOptions({PrecisionDouble, RoundingDefault, FpuAVX512, ""}, true, 0));
    const test::Call interleaved = test::Run(
        model, test::MakeOptions({PrecisionDouble, RoundingDefault, FpuAVX512, ""}, false, 0));
    std::fesetround(FE_TONEAREST);
    ASSERT_NE(nearest, up);
    EXPECT_EQ(sequential.Result.Lower, nearest);
    EXPECT_EQ(sequential.Result.Upper, nearest);
    EXPECT_EQ(interleaved.Result.Lower, up);
    EXPECT_EQ(interleaved.Result.Upper, up);
}

}  // namespace
