// The AVX-512 back-end: one rounding per multiply-add, directions attached
// to each instruction.
#include "IntervalIteration.h"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <random>

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

namespace {

// The safe interleaved kernel forms both quotients of a transition from one
// downward division: for every fraction they must be the downward and the
// upward quotient of the converted integers, as two divisions give them.
TEST(Avx512, SafeQuotientPairsMatchDirectedDivisions) {
    if (!Avx512Available()) {
        GTEST_SKIP() << "this processor lacks AVX512F or AVX512DQ: AVX-512 variants not tested";
    }
    std::mt19937_64 random(20261208);
    const test::Variant safe{PrecisionDouble, RoundingSafe, FpuAVX512, "DoubleSafeAVX512"};
    int inexact = 0;
    for (int i = 0; i < 20000; ++i) {
        // Denominators up to 2^63, numerators of smaller magnitude, quotients
        // that are not negative (both signs negative, or a zero numerator over
        // either sign: 0/-d is -0); small ones often, so that exact quotients
        // come up too.
        const int bits = 1 + static_cast<int>(random() % 63);
        int64_t denominator = static_cast<int64_t>(random() >> (64 - bits)) | 1;
        int64_t numerator = static_cast<int64_t>(random() % static_cast<uint64_t>(denominator));
        if (i % 4 == 0) {
            denominator = 1 + static_cast<int64_t>(random() % 64);
            numerator = static_cast<int64_t>(random() % static_cast<uint64_t>(denominator));
        }
        if (random() % 3 == 0) {
            numerator = -numerator;
            denominator = -denominator;
        }
        const test::Model model = test::MakeModel({{{Fraction(1, numerator, denominator)}}, {}}, {1});
        const test::Call call = test::Run(model, test::MakeOptions(safe, false, 0));
        const double n = static_cast<double>(numerator), d = static_cast<double>(denominator);
        const double down = Quotient(FE_DOWNWARD, n, d), up = Quotient(FE_UPWARD, n, d);
        inexact += down != up;
        // The sums start at +0: a -0 quotient (0/-d) sums to -0 downward, +0 upward.
        const double lower = Fused(FE_DOWNWARD, down, 1.0, 0.0);
        const double upper = Fused(FE_UPWARD, up, 1.0, 0.0);
        ASSERT_EQ(test::Bits(call.Result.Lower), test::Bits(lower)) << numerator << "/" << denominator;
        ASSERT_EQ(test::Bits(call.Result.Upper), test::Bits(upper)) << numerator << "/" << denominator;
    }
    EXPECT_GT(inexact, 1000);
    EXPECT_LT(inexact, 19000);
}

}  // namespace
