// Soundness on random acyclic models: the exact rational minimal or maximal
// reachability probability of state 0 (GMP, backward induction) must lie
// between the bounds every safe-rounding variant returns, whatever rounding
// direction the caller has set; the default-rounding variants must come
// close to it.
//
// The probabilities are chosen so that the library's conversions are exact:
// dyadic fractions k / 2^m and their stored binary64 values (exact in every
// working type), and small fractions a / b, whose integers convert exactly
// and whose division is the one rounding safe rounding directs.
#include "TestSupport.hpp"
#include "reference/Exact.hpp"
#include "reference/Harness.hpp"
#include "reference/Reference.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using reference::Direction;

constexpr int kCases = 1500;

struct Case {
    test::Model Model;
    bool Maximize;
};

// A random acyclic model: a random rank order of the states, transitions only
// toward higher rank, so state numbers do not follow the sweep order and
// several iterations are needed. Every choice's probabilities sum to at most 1.
Case MakeAcyclicCase(std::mt19937_64& random) {
    const uint64_t n = 2 + random() % 7;
    std::vector<uint64_t> byRank(n);
    std::iota(byRank.begin(), byRank.end(), 0);
    std::shuffle(byRank.begin(), byRank.end(), random);
    std::set<uint64_t> targets{byRank[n - 1]};
    std::set<uint64_t> zeros;
    for (uint64_t rank = 0; rank + 1 < n; ++rank) {
        if (random() % 6 == 0) {
            targets.insert(byRank[rank]);
        } else if (random() % 8 == 0) {
            zeros.insert(byRank[rank]);
        }
    }
    const bool zeroStatesNull = zeros.empty() && random() % 2 == 0;
    std::vector<test::StateChoices> states(n);
    for (uint64_t rank = 0; rank + 1 < n; ++rank) {
        const uint64_t state = byRank[rank];
        const int choices = 1 + static_cast<int>(random() % 3);
        for (int c = 0; c < choices; ++c) {
            test::Choice choice;
            // Shares of a denominator: a power of two (exact everywhere) or a
            // small integer (exact conversions, rounded division).
            const bool dyadic = random() % 2 == 0;
            const int64_t denominator = dyadic ? (int64_t{1} << (1 + random() % 12))
                                               : static_cast<int64_t>(2 + random() % 12);
            int64_t remaining = denominator - static_cast<int64_t>(random() % 2);
            const int parts = static_cast<int>(random() % 4);
            for (int i = 0; i < parts && remaining > 0; ++i) {
                const int64_t share =
                    1 + static_cast<int64_t>(random() % static_cast<uint64_t>(remaining));
                remaining -= share;
                const uint64_t target = byRank[rank + 1 + random() % (n - rank - 1)];
                if (dyadic && random() % 2 == 0) {
                    choice.push_back(test::Stored(
                        target, static_cast<double>(share) / static_cast<double>(denominator)));
                } else {
                    choice.push_back(test::Fraction(target, share, denominator));
                }
            }
            states[state].push_back(choice);
        }
    }
    return {test::MakeModel(states, targets, zeros, zeroStatesNull), random() % 2 == 0};
}

std::vector<test::Variant> ComputingWithRounding(uint8_t rounding) {
    std::vector<test::Variant> result;
    for (const test::Variant& variant : test::ComputingVariants()) {
        if (variant.Rounding == rounding) {
            result.push_back(variant);
        }
    }
    return result;
}

std::string Where(const test::Variant& variant, bool sequential, Direction direction, int index,
                  const reference::Rational& exact, const test::Call& call) {
    std::ostringstream out;
    out << variant.Name << (sequential ? " sequential" : " interleaved") << ", caller "
        << reference::DirectionName(direction) << ", case " << index << ": exact "
        << exact.ToString() << "\n"
        << reference::Describe(call);
    return out.str();
}

// Runs every case through `variants` and hands each call to `check`.
template <class Check>
int ForEachCall(const std::vector<test::Variant>& variants, Check check) {
    std::mt19937_64 random(0x50D1DULL);
    int calls = 0;
    const std::vector<Direction> directions = {Direction::ToNearest, Direction::Upward,
                                               Direction::Downward, Direction::TowardZero};
    for (int index = 0; index < kCases; ++index) {
        const Case item = MakeAcyclicCase(random);
        const SparseMdp mdp = item.Model.Mdp();
        const reference::Rational exact = reference::ExactReachability(mdp, item.Maximize);
        const Direction direction = directions[random() % directions.size()];
        for (const test::Variant& variant : variants) {
            for (const bool sequential : {true, false}) {
                IterationOptions options = test::MakeOptions(
                    variant, sequential, random() % 2 == 0 ? 0.0 : 1e-6, item.Maximize);
                options.MaxIterations = 1000;  // acyclic models stop long before
                const test::Call call =
                    reference::RunInDirection(item.Model, options, direction).Call;
                check(variant, sequential, direction, index, exact, call);
                ++calls;
            }
        }
    }
    return calls;
}

TEST(Soundness, SafeVariantsEncloseTheExactProbability) {
    const std::vector<test::Variant> variants = ComputingWithRounding(RoundingSafe);
    if (variants.empty()) {
        GTEST_SKIP() << "the library computes no safe-rounding variant yet, so there is no "
                        "bound whose soundness could be checked";
    }
    const int calls = ForEachCall(variants, [](const test::Variant& variant, bool sequential,
                                               Direction direction, int index,
                                               const reference::Rational& exact,
                                               const test::Call& call) {
        const std::string where = Where(variant, sequential, direction, index, exact, call);
        EXPECT_TRUE(call.Result.Status == 0 || call.Result.Status == 2) << where;
        EXPECT_TRUE(reference::Encloses(call.Result.Lower, exact, call.Result.Upper)) << where;
    });
    EXPECT_GT(calls, 0);
}

TEST(Soundness, DefaultVariantsComeCloseToTheExactProbability) {
    const std::vector<test::Variant> variants = ComputingWithRounding(RoundingDefault);
    if (variants.empty()) {
        GTEST_SKIP() << "the library computes no default-rounding variant";
    }
    const int calls = ForEachCall(variants, [](const test::Variant& variant, bool sequential,
                                               Direction direction, int index,
                                               const reference::Rational& exact,
                                               const test::Call& call) {
        const std::string where = Where(variant, sequential, direction, index, exact, call);
        EXPECT_TRUE(call.Result.Status == 0 || call.Result.Status == 2) << where;
        // A few dozen roundings of relative size 2^-24 or 2^-53 at most.
        const double tolerance = variant.Precision == PrecisionSingle ? 1e-5 : 1e-12;
        const double value = reference::ToDouble(exact);
        EXPECT_LE(call.Result.Lower - tolerance, value) << where;
        EXPECT_GE(call.Result.Upper + tolerance, value) << where;
        EXPECT_LE(call.Result.Lower, call.Result.Upper + tolerance) << where;
    });
    EXPECT_GT(calls, 0);
}

}  // namespace
