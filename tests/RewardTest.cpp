// Expected rewards: one table of models x properties x variants x layouts,
// each interval checked against the exact expected reward. The exact values
// come from GMP (policy iteration in rationals) for random small models, and
// from PRISM's exact mode for three real models (models/rewards/README.md).
// Safe variants must enclose the exact value, whatever rounding direction
// the caller has set, and leave the caller's floating-point control as it
// was; default variants must come close to it. Then the refusals of
// malformed rewards, and what a run reports before its upper bound is
// certified.
#include "TestSupport.hpp"
#include "reference/Exact.hpp"
#include "reference/Harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using reference::Direction;

struct RewardModel {
    std::string Name;
    test::Model Model;
    std::vector<TransitionValue> Rewards;  // one per choice
    reference::Rational Minimum;
    reference::Rational Maximum;
    bool Real = false;
};

thread_local const SparseRewards* gRewards = nullptr;

// ExpectedRewardIteration with the rewards of gRewards, in the shape of
// the probability entry point, so that the reference harness can call it.
IterationResult RewardEntry(const SparseMdp* model, const IterationOptions* options,
                            int64_t* iterationCount, double* achievedPrecision,
                            int32_t* warnedFlag, MessageCallback callback,
                            const int32_t* abortFlag) {
    return ExpectedRewardIteration(model, gRewards, options, iterationCount, achievedPrecision,
                                   warnedFlag, callback, abortFlag);
}

TransitionValue Value(int64_t numerator, int64_t denominator) {
    TransitionValue value;
    value.Numerator = numerator;
    value.Denominator = denominator;
    return value;
}

TransitionValue StoredValue(double stored) {
    TransitionValue value;
    value.Value = stored;
    value.Denominator = 0;
    return value;
}

// A random model whose every choice moves to a state of higher rank with
// positive probability (the last rank is a target), so that every scheduler
// reaches a target with probability 1 and both expected rewards are finite.
// Other transitions go anywhere, back edges and self-loops included; a
// third of the rewards are 0, which a guessed upper bound finds hardest.
RewardModel MakeRandomModel(std::mt19937_64& random, int index) {
    const uint64_t n = 2 + random() % 7;
    std::vector<uint64_t> byRank(n);
    std::iota(byRank.begin(), byRank.end(), 0);
    std::shuffle(byRank.begin(), byRank.end(), random);
    std::set<uint64_t> targets{byRank[n - 1]};
    std::set<uint64_t> zeros;
    if (n > 3 && random() % 4 == 0) {
        zeros.insert(byRank[n - 2]);
    }
    std::vector<test::StateChoices> states(n);
    std::vector<TransitionValue> rewards;
    for (uint64_t s = 0; s < n; ++s) {
        const uint64_t rank = static_cast<uint64_t>(
            std::find(byRank.begin(), byRank.end(), s) - byRank.begin());
        if (targets.count(s) != 0 || zeros.count(s) != 0) {
            continue;
        }
        const int choices = 1 + static_cast<int>(random() % 3);
        for (int c = 0; c < choices; ++c) {
            const bool dyadic = random() % 2 == 0;
            const int64_t denominator = dyadic ? (int64_t{1} << (1 + random() % 6))
                                               : static_cast<int64_t>(2 + random() % 11);
            const int64_t forward = 1 + static_cast<int64_t>(random() % denominator);
            test::Choice choice{test::Fraction(byRank[rank + 1 + random() % (n - rank - 1)],
                                               forward, denominator)};
            int64_t remaining = denominator - forward;
            while (remaining > 0) {
                const int64_t share = 1 + static_cast<int64_t>(random() % remaining);
                remaining -= share;
                const uint64_t target = random() % n;
                choice.push_back(dyadic && random() % 2 == 0
                                     ? test::Stored(target, static_cast<double>(share) /
                                                                static_cast<double>(denominator))
                                     : test::Fraction(target, share, denominator));
            }
            states[s].push_back(choice);
            switch (random() % 4) {
                case 0: rewards.push_back(Value(0, 1)); break;
                case 1: rewards.push_back(StoredValue(static_cast<double>(random() % 8) / 4)); break;
                case 2: rewards.push_back(Value(1 + static_cast<int64_t>(random() % 20), 3)); break;
                default: rewards.push_back(StoredValue(0.0)); break;
            }
        }
    }
    RewardModel item{"random " + std::to_string(index), test::MakeModel(states, targets, zeros),
                     rewards, {}, {}};
    const SparseMdp mdp = item.Model.Mdp();
    item.Minimum = reference::ExactExpectedReward(mdp, item.Rewards.data(), false);
    item.Maximum = reference::ExactExpectedReward(mdp, item.Rewards.data(), true);
    return item;
}

// ---------------------------------------------------------------------------
// A minimal reader of PRISM's explicit export (.tra, .lab, .srew, .trew),
// for the three real models: decimals read as exact fractions, the initial
// state renumbered to 0, and every choice's reward the state's reward plus
// the probability-weighted transition rewards, exactly.
// ---------------------------------------------------------------------------

std::string ModelsFolder() { return INTERVAL_ITERATION_SOURCE_DIR "/models/rewards/"; }

struct Fraction {
    int64_t Numerator = 0;
    int64_t Denominator = 1;
};

Fraction Reduce(__int128 numerator, __int128 denominator) {
    __int128 a = numerator < 0 ? -numerator : numerator;
    __int128 b = denominator;
    while (b != 0) {
        const __int128 rest = a % b;
        a = b;
        b = rest;
    }
    if (a > 1) {
        numerator /= a;
        denominator /= a;
    }
    if (numerator > INT64_MAX || denominator > INT64_MAX) {
        throw std::runtime_error("a value does not fit 64 bits");
    }
    return {static_cast<int64_t>(numerator), static_cast<int64_t>(denominator)};
}

Fraction ParseDecimal(const std::string& text) {
    __int128 numerator = 0;
    __int128 denominator = 1;
    bool fraction = false;
    for (char digit : text) {
        if (digit == '.') {
            fraction = true;
            continue;
        }
        if (digit < '0' || digit > '9') {
            throw std::runtime_error("not a decimal: " + text);
        }
        numerator = numerator * 10 + (digit - '0');
        if (fraction) {
            denominator *= 10;
        }
    }
    return Reduce(numerator, denominator);
}

Fraction Add(Fraction a, Fraction b) {
    return Reduce(static_cast<__int128>(a.Numerator) * b.Denominator +
                      static_cast<__int128>(b.Numerator) * a.Denominator,
                  static_cast<__int128>(a.Denominator) * b.Denominator);
}

Fraction Multiply(Fraction a, Fraction b) {
    return Reduce(static_cast<__int128>(a.Numerator) * b.Numerator,
                  static_cast<__int128>(a.Denominator) * b.Denominator);
}

std::vector<std::vector<std::string>> ReadLines(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::vector<std::vector<std::string>> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream words(line);
        lines.emplace_back();
        for (std::string word; words >> word;) {
            lines.back().push_back(word);
        }
    }
    return lines;
}

// The states of the label, by name.
std::set<uint64_t> Labelled(const std::string& path, const std::string& name) {
    const auto lines = ReadLines(path);
    std::string number;
    for (const std::string& definition : lines.at(0)) {
        const auto equals = definition.find('=');
        if (definition.substr(equals + 1) == "\"" + name + "\"") {
            number = definition.substr(0, equals);
        }
    }
    std::set<uint64_t> states;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (std::find(lines[i].begin() + 1, lines[i].end(), number) != lines[i].end()) {
            states.insert(std::stoull(lines[i][0]));
        }
    }
    return states;
}

RewardModel ReadRealModel(const std::string& name, const std::string& goal,
                          const std::string& minimum, const std::string& maximum) {
    const std::string base = ModelsFolder() + name + "/" + name;
    const auto transitions = ReadLines(base + ".tra");
    const bool mdp = transitions[0].size() == 3;
    const uint64_t n = std::stoull(transitions[0][0]);
    const uint64_t initial = *Labelled(base + ".lab", "init").begin();
    auto renumber = [&](uint64_t s) { return s == initial ? 0 : s == 0 ? initial : s; };

    // (state, choice) -> transitions; state rewards; transition rewards.
    std::map<std::pair<uint64_t, uint64_t>, std::vector<std::pair<uint64_t, Fraction>>> choices;
    for (std::size_t i = 1; i < transitions.size(); ++i) {
        const auto& line = transitions[i];
        const uint64_t choice = mdp ? std::stoull(line[1]) : 0;
        choices[{renumber(std::stoull(line[0])), choice}].push_back(
            {renumber(std::stoull(line[mdp ? 2 : 1])), ParseDecimal(line[mdp ? 3 : 2])});
    }
    std::vector<Fraction> stateRewards(n);
    const auto srew = ReadLines(base + ".srew");
    for (std::size_t i = 1; i < srew.size(); ++i) {
        stateRewards[renumber(std::stoull(srew[i][0]))] = ParseDecimal(srew[i][1]);
    }
    std::map<std::tuple<uint64_t, uint64_t, uint64_t>, Fraction> transitionRewards;
    const auto trew = ReadLines(base + ".trew");
    for (std::size_t i = 1; i < trew.size(); ++i) {
        const auto& line = trew[i];
        transitionRewards[{renumber(std::stoull(line[0])), mdp ? std::stoull(line[1]) : 0,
                           renumber(std::stoull(line[mdp ? 2 : 1]))}] =
            ParseDecimal(line[mdp ? 3 : 2]);
    }

    std::set<uint64_t> targets;
    for (uint64_t s : Labelled(base + ".lab", goal)) {
        targets.insert(renumber(s));
    }
    std::vector<test::StateChoices> states(n);
    std::vector<TransitionValue> rewards;
    for (const auto& [key, successors] : choices) {
        test::Choice choice;
        Fraction reward = stateRewards[key.first];
        for (const auto& [successor, probability] : successors) {
            choice.push_back(
                test::Fraction(successor, probability.Numerator, probability.Denominator));
            const auto found = transitionRewards.find({key.first, key.second, successor});
            if (found != transitionRewards.end()) {
                reward = Add(reward, Multiply(probability, found->second));
            }
        }
        states[key.first].push_back(choice);
        rewards.push_back(Value(reward.Numerator, reward.Denominator));
    }
    RewardModel item{name, test::MakeModel(states, targets), rewards, {}, {}, true};
    mpq_set_str(item.Minimum.get(), minimum.c_str(), 10);
    mpq_set_str(item.Maximum.get(), maximum.c_str(), 10);
    mpq_canonicalize(item.Minimum.get());
    mpq_canonicalize(item.Maximum.get());
    return item;
}

const std::vector<RewardModel>& Models() {
    static const std::vector<RewardModel> models = [] {
        std::vector<RewardModel> result;
        // Exact answers: PRISM's exact mode, as models/rewards/README.md says.
        result.push_back(ReadRealModel("coin2_K4", "finished", "192", "243"));
        result.push_back(ReadRealModel("csma2_2", "all_delivered", "53954981353/805306368",
                                       "227630345357/3221225472"));
        result.push_back(ReadRealModel("dice", "done", "11/3", "11/3"));
        std::mt19937_64 random(0x2E3A2DULL);
        for (int index = 0; index < 120; ++index) {
            result.push_back(MakeRandomModel(random, index));
        }
        return result;
    }();
    return models;
}

struct Outcome {
    reference::HarnessCall Harness;
    bool Certified = false;  // an information message says so
};

Outcome RunReward(const RewardModel& item, const IterationOptions& options, Direction direction,
                  reference::Watchdog& watchdog) {
    const SparseRewards rewards{item.Rewards.data(), item.Rewards.size()};
    gRewards = &rewards;
    Outcome outcome{reference::RunInDirection(item.Model, options, direction, 0, 0, &watchdog,
                                              std::chrono::seconds(20), RewardEntry)};
    gRewards = nullptr;
    for (const test::Message& message : outcome.Harness.Call.Messages) {
        outcome.Certified |= message.Severity == SeverityInformation &&
                             message.Text.find("certified an upper bound") != std::string::npos;
    }
    return outcome;
}

// Every model, both properties, every variant in both layouts; the real
// models also at relative precision 1e-9.
TEST(ExpectedRewards, EveryVariantAgainstTheExactValue) {
    reference::Watchdog watchdog;
    std::mt19937_64 random(0xD1CEULL);
    const std::vector<Direction> directions = {Direction::ToNearest, Direction::Upward,
                                               Direction::Downward, Direction::TowardZero};
    int calls = 0;
    for (const RewardModel& item : Models()) {
        for (const bool maximize : {false, true}) {
            const reference::Rational& exact = maximize ? item.Maximum : item.Minimum;
            const double value = reference::ToDouble(exact);
            for (const test::Variant& variant : test::ComputingVariants()) {
                const bool safe = variant.Rounding == RoundingSafe;
                for (const bool sequential : {true, false}) {
                    for (const bool fine : {false, true}) {
                        if (fine && !(item.Real && safe)) {
                            continue;
                        }
                        IterationOptions options =
                            test::MakeOptions(variant, sequential, fine ? 1e-9 : 1e-6, maximize);
                        // Relative to a lower bound of 0 a run cannot converge;
                        // where the x87 stores round the subnormal upper bounds
                        // it does not settle either.
                        options.Relative = value != 0 && (fine || random() % 2 == 0);
                        const Direction direction = directions[random() % directions.size()];
                        const Outcome outcome = RunReward(item, options, direction, watchdog);
                        const test::Call& call = outcome.Harness.Call;
                        std::ostringstream where;
                        where << item.Name << (maximize ? " Rmax" : " Rmin") << ", "
                              << variant.Name << (sequential ? " sequential" : " interleaved")
                              << ", epsilon " << options.Epsilon
                              << (options.Relative ? " relative" : "") << ", caller "
                              << reference::DirectionName(direction) << ": exact "
                              << exact.ToString() << ", got [" << call.Result.Lower << ", "
                              << call.Result.Upper << "] status " << call.Result.Status
                              << " after " << call.IterationCount << " iterations";
                        ASSERT_FALSE(outcome.Harness.TimedOut) << where.str();
                        EXPECT_TRUE(reference::SameControl(outcome.Harness.Before,
                                                           outcome.Harness.After))
                            << where.str();
                        // Single precision may settle above 1e-9 (status 2).
                        EXPECT_TRUE(call.Result.Status == IterationStatusConverged ||
                                    (call.Result.Status == IterationStatusFixedPoint &&
                                     variant.Precision == PrecisionSingle))
                            << where.str();
                        const bool fixedStart = ((item.Model.TargetWords[0] |
                                                  item.Model.ZeroWords[0]) & 1) != 0;
                        EXPECT_TRUE(outcome.Certified || fixedStart) << where.str();
                        if (safe) {
                            EXPECT_TRUE(reference::Encloses(call.Result.Lower, exact,
                                                            call.Result.Upper))
                                << where.str();
                        } else {
                            const double tolerance =
                                (variant.Precision == PrecisionSingle ? 1e-4 : 1e-9) *
                                std::max(1.0, value);
                            EXPECT_LE(call.Result.Lower - tolerance, value) << where.str();
                            EXPECT_GE(call.Result.Upper + tolerance, value) << where.str();
                        }
                        ++calls;
                    }
                }
            }
        }
    }
    EXPECT_GT(calls, 0);
}

// Malformed rewards are refused like malformed models: status 3, NaN
// bounds, the output locations untouched, one error naming the fault.
TEST(ExpectedRewards, MalformedRewardsAreRefused) {
    const test::Model model = test::MakeModel(
        {{{test::Fraction(1, 1, 2), test::Fraction(0, 1, 2)}, {test::Fraction(1, 1, 1)}}, {}},
        {1});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<TransitionValue> good = {Value(1, 1), StoredValue(2.0)};
    struct Case {
        std::vector<TransitionValue> Rewards;
        uint64_t Count;
        bool Null;
        std::string Error;
    };
    const std::vector<Case> cases = {
        {good, 2, true, "The model is malformed: the rewards are missing."},
        {{}, 0, false, "The model is malformed: it has 2 choices, but 0 rewards."},
        {good, 3, false, "The model is malformed: it has 2 choices, but 3 rewards."},
        {{Value(1, 1), StoredValue(-1.0)}, 2, false,
         "The model is malformed: choice 1 has a negative value, which is not a reward."},
        {{StoredValue(nan), Value(1, 1)}, 2, false,
         "The model is malformed: choice 0 has the value NaN, which is not a reward."},
        {{Value(1, 1), StoredValue(inf)}, 2, false,
         "The model is malformed: choice 1 has the value +inf, which is not a reward."},
        {{Value(1, -3), Value(1, 1)}, 2, false,
         "The model is malformed: choice 0 has the value 1/-3, which is not a reward."},
    };
    for (const Case& item : cases) {
        const SparseRewards rewards{item.Rewards.data(), item.Count};
        gRewards = item.Null ? nullptr : &rewards;
        const test::Call call = test::RunWith(
            RewardEntry, model, test::MakeOptions(test::ComputingVariants()[0], false), 7);
        gRewards = nullptr;
        EXPECT_EQ(call.Result.Status, IterationStatusError) << item.Error;
        EXPECT_EQ(test::Bits(call.Result.Lower), test::kQuietNanBits) << item.Error;
        EXPECT_EQ(call.IterationCount, test::kUntouchedCount) << item.Error;
        EXPECT_EQ(call.WarnedFlag, 7) << item.Error;
        ASSERT_FALSE(call.Messages.empty());
        EXPECT_EQ(call.Messages.back(), (test::Message{SeverityError, item.Error}));
    }
}

// Before an upper bound is certified, a run stopped by its iteration limit
// reports the upper bound +inf (with ReturnBoundsOnFailure) and the measure
// +inf; the certification is announced once, and the bounds then enclose.
// Lower bounds that would overflow stay finite and end the run.
TEST(ExpectedRewards, UpperBoundIsInfiniteUntilCertified) {
    const RewardModel& coin = Models().front();
    // State 1 earns 1e308 per try, 2e308 in all, beyond the double range;
    // state 0 earns 1 per try and reaches state 1 with probability 0 only
    // (0 times a lower bound that overflowed to +inf would be NaN).
    const test::Model retry =
        test::MakeModel({{{test::Fraction(0, 1, 2), test::Fraction(2, 1, 2), test::Fraction(1, 0, 1)}},
                         {{test::Fraction(1, 1, 2), test::Fraction(2, 1, 2)}},
                         {}},
                        {2});
    for (const test::Variant& variant : test::ComputingVariants()) {
        for (const bool sequential : {true, false}) {
            IterationOptions options = test::MakeOptions(variant, sequential, 1e-5, true);
            options.Relative = 1;
            options.ReturnBoundsOnFailure = 1;
            options.MaxIterations = 3;
            const SparseRewards rewards{coin.Rewards.data(), coin.Rewards.size()};
            gRewards = &rewards;
            const test::Call early = test::RunWith(RewardEntry, coin.Model, options);
            options.MaxIterations = 0;
            const test::Call full = test::RunWith(RewardEntry, coin.Model, options);
            gRewards = nullptr;
            const std::string where =
                std::string(variant.Name) + (sequential ? " sequential" : " interleaved");
            EXPECT_EQ(early.Result.Status, IterationStatusStopped) << where;
            EXPECT_GE(early.Result.Lower, 0.0) << where;
            EXPECT_EQ(early.Result.Upper, std::numeric_limits<double>::infinity()) << where;
            EXPECT_EQ(early.AchievedPrecision, std::numeric_limits<double>::infinity()) << where;
            int certified = 0;
            for (const test::Message& message : full.Messages) {
                certified += message.Text.find("certified an upper bound") != std::string::npos;
            }
            EXPECT_EQ(certified, 1) << where;
            EXPECT_EQ(full.Result.Status, IterationStatusConverged) << where;
            // An expected reward beyond the working range: its lower bound
            // stays finite, no upper bound can be certified, and the run
            // ends with status 2 instead of looping, with state 0's lower
            // bound intact; extended precision holds 2e308 and converges.
            const std::vector<TransitionValue> huge = {Value(1, 1), StoredValue(1e308)};
            const SparseRewards hugeRewards{huge.data(), huge.size()};
            gRewards = &hugeRewards;
            options.MaxIterations = 100000;
            const test::Call overflow = test::RunWith(RewardEntry, retry, options);
            gRewards = nullptr;
            // Single precision refuses the reward itself, which it cannot hold.
            if (variant.Precision == PrecisionSingle) {
                EXPECT_EQ(overflow.Result.Status, IterationStatusError) << where;
                bool named = false;
                for (const test::Message& message : overflow.Messages) {
                    named |= message.Text.find("choice 1 has a value beyond the single-precision "
                                               "range, which is not a reward.") != std::string::npos;
                }
                EXPECT_TRUE(named) << where;
            } else {
                const bool extended = variant.Precision == PrecisionExtended;
                EXPECT_EQ(overflow.Result.Status,
                          extended ? IterationStatusConverged : IterationStatusFixedPoint)
                    << where;
                EXPECT_GT(overflow.Result.Lower, 1.99) << where;
                EXPECT_LE(overflow.Result.Lower, 2.0) << where;
                if (extended) {
                    EXPECT_LE(overflow.Result.Upper, 2.0 * (1 + 2e-5)) << where;
                } else {
                    EXPECT_EQ(overflow.Result.Upper, std::numeric_limits<double>::infinity())
                        << where;
                }
            }
            if (variant.Rounding == RoundingSafe) {
                EXPECT_LE(full.Result.Lower, 243.0) << where;
                EXPECT_GE(full.Result.Upper, 243.0) << where;
            }
            EXPECT_LE(full.Result.Upper - full.Result.Lower, 243.0 * 2e-5) << where;
        }
    }
}

}  // namespace
