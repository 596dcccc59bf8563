// The estimate of the time left in a long run, and what the fractions of a
// model mean for a run's soundness.
#include "pipeline/Run.hpp"
#include "support/Progress.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace iicheck {
namespace {

TEST(Progress, TimeLeftFollowsTheRecentRateOfConvergence) {
    // 100 iterations a second, the precision halving every 10 iterations:
    // from 2^-10 to 2^-20 takes 100 more iterations, one second.
    auto geometric = [](int count, double first) {
        std::vector<ProgressSample> samples;
        for (int i = 0; i < count; ++i) {
            const int64_t iteration = 50 + 10 * i;
            samples.push_back({first + 0.1 * i, iteration, std::ldexp(1.0, -static_cast<int>(iteration / 10))});
        }
        return samples;
    };
    EXPECT_NEAR(SecondsLeft(geometric(6, 3.0), std::ldexp(1.0, -20)), 1.0, 1e-9);
    EXPECT_NEAR(SecondsLeft(geometric(6, 3.0), std::ldexp(1.0, -30)), 2.0, 1e-9);
    EXPECT_EQ(SecondsLeft(geometric(6, 3.0), 1e-2), 0.0);  // already there
    EXPECT_TRUE(std::isnan(SecondsLeft(geometric(2, 3.0), 1e-9)));  // too few samples
    EXPECT_TRUE(std::isnan(SecondsLeft(geometric(6, 3.0), 0.0)));   // ends at a fixed point only
    const std::vector<ProgressSample> stalled = {{1, 10, 1e-3}, {2, 20, 1e-3}, {3, 30, 1e-3}};
    EXPECT_TRUE(std::isnan(SecondsLeft(stalled, 1e-9)));
    // Relative measure while the lower bound is 0: +infinity, skipped.
    const std::vector<ProgressSample> infinite = {{1, 10, INFINITY}, {2, 20, INFINITY}, {3, 30, INFINITY}};
    EXPECT_TRUE(std::isnan(SecondsLeft(infinite, 1e-9)));
    EXPECT_EQ(Duration(3.25), "3.2 s");
    EXPECT_EQ(Duration(185), "3 min 05 s");
    EXPECT_EQ(Duration(7500), "2 h 05 min");
}

TEST(Progress, FractionsAreSoundWhereTheVariantConvertsThemExactlyOrOutward) {
    const int64_t big = (int64_t{1} << 53) + 1;  // odd: not a double
    const int64_t even = int64_t{1} << 60;       // a power of two: exact
    auto fraction = [](int64_t numerator, int64_t denominator) {
        TransitionValue value{};
        value.Numerator = numerator;
        value.Denominator = denominator;
        return value;
    };
    const TransitionValue values[] = {fraction(1, 3), fraction(big, 100000000000000000), fraction(1, big),
                                      fraction(3, even), fraction(0, 0)};
    SparseMdp model{};
    model.TransitionCount = 5;
    model.TransitionValues = values;
    const struct {
        uint8_t Fpu, Precision;
        uint64_t Inexact;
    } cases[] = {
        {FpuX87, PrecisionDouble, 0},     // exact integer loads
        {FpuSSE, PrecisionDouble, 1},     // a rounded denominator
        {FpuDefault, PrecisionDouble, 1},
        {FpuAVX512, PrecisionDouble, 2},  // a rounded numerator too
        {FpuSSE, PrecisionSingle, 2},     // 10^17 has an odd part beyond 24 bits
    };
    for (const auto& test : cases) {
        const Variant variant{test.Fpu, test.Precision, RoundingSafe, false};
        const FractionCount count = CountFractions(model, variant);
        EXPECT_EQ(count.Fractions, 4u);
        EXPECT_EQ(count.Inexact, test.Inexact) << Describe(variant);
        EXPECT_EQ(FractionNote(count, variant).rfind(test.Inexact == 0 ? "note: 4 probabilities are fractions; "
                                                                       : "warning: ", 0),
                  0u);
    }
}

}  // namespace
}  // namespace iicheck
