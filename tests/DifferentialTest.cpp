// Differential test: random small models and options, run through the
// library and through the arbitrary-precision reference, compared bit for
// bit (Lower, Upper, Status, IterationCount, AchievedPrecision, WarnedFlag
// and every message), for every variant the library computes, in both
// layouts and under several caller rounding directions. The reference
// computes every state in every sweep; the library skips the states that
// cannot change, and the test makes sure that it does.
//
// Reproducible: case i uses a seed derived from the master seed and i.
// Environment:
//   INTERVAL_ITERATION_DIFFERENTIAL_CASES   number of cases (default below)
//   INTERVAL_ITERATION_DIFFERENTIAL_SEED    master seed
//   INTERVAL_ITERATION_DIFFERENTIAL_FIRST   index of the first case
//   INTERVAL_ITERATION_DIFFERENTIAL_VARIANT only this variant (e.g. SingleSafeSSE)
#include "Native.hpp"
#include "TestSupport.hpp"
#include "Variants.hpp"
#include "reference/Harness.hpp"
#include "reference/Reference.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using reference::Direction;

constexpr uint64_t kDefaultCases = 2400;
constexpr uint64_t kDefaultSeed = 0x1D1FF5EEDULL;
// A case without iteration limit is run only when the reference stops within
// this many iterations; otherwise it gets kFallbackLimit as its limit.
constexpr int64_t kUnboundedGuard = 400;
constexpr int32_t kFallbackLimit = 60;
constexpr int kDetailedReports = 6;
// A library call of these small cases takes microseconds; one still running
// after this long is taken to run forever and is aborted.
constexpr std::chrono::milliseconds kCallBudget{3000};
// After this many such calls the run stops rather than wait on each.
constexpr uint64_t kMaxTimeouts = 3;

uint64_t EnvironmentNumber(const char* name, uint64_t fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return fallback;
    }
    return std::strtoull(value, nullptr, 0);
}

uint64_t SplitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

class Random {
public:
    explicit Random(uint64_t seed) : engine_(seed) {}
    uint64_t Below(uint64_t n) { return engine_() % n; }
    int64_t Between(int64_t low, int64_t high) {  // inclusive
        return low + static_cast<int64_t>(engine_() % static_cast<uint64_t>(high - low + 1));
    }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(engine_) < p; }
    double Unit() { return std::uniform_real_distribution<double>(0, 1)(engine_); }
    uint64_t Bits() { return engine_(); }
    template <class T>
    const T& Pick(const std::vector<T>& items) {
        return items[Below(items.size())];
    }

private:
    std::mt19937_64 engine_;
};

// ---------------------------------------------------------------------------
// Random cases
// ---------------------------------------------------------------------------

constexpr int64_t kTwo24 = int64_t{1} << 24;
constexpr int64_t kTwo53 = int64_t{1} << 53;
constexpr int64_t kTwo60 = int64_t{1} << 60;

// A probability that stresses rounding: conversions beyond the significand,
// ties, binary64 values that binary32 cannot hold, subnormals, values just
// above 1 and far above it, zeros of both signs and (rarely) values that
// the model check refuses: negative, infinite, and in single precision
// beyond its range.
test::Transition TrickyProbability(Random& random, uint64_t target) {
    using test::Fraction;
    using test::Stored;
    if (random.Chance(0.025)) {  // about one run in ten is refused
        switch (random.Below(6)) {
            case 0:
                return Stored(target, -0.125 * random.Unit());
            case 1:
                return Fraction(target, -1, static_cast<int64_t>(random.Between(3, 20)));
            case 2:
                return Fraction(target, 1, -3);
            case 3:
                return Stored(target, random.Chance(0.5) ? INFINITY : -INFINITY);
            case 4:
                return Stored(target, std::numeric_limits<double>::quiet_NaN());
            default:
                return Stored(target, -1e300);
        }
    }
    switch (random.Below(29)) {
        case 0:
            return Fraction(target, kTwo60 + 1, 2 * kTwo60);
        case 1:
            return Fraction(target, kTwo53 + 1, 2 * kTwo53);
        case 2:
            return Fraction(target, kTwo53 + 1, kTwo53 + 3);
        case 3:
            return Fraction(target, 1, kTwo24 + 1);
        case 4:
            return Fraction(target, kTwo24 + 1, kTwo24 + 3);
        case 5:
            return Fraction(target, kTwo24 + 1, 2 * kTwo24);
        case 6:
            return Fraction(target, (int64_t{1} << 62) - 1, std::numeric_limits<int64_t>::max());
        case 7:
            return Fraction(target, std::numeric_limits<int64_t>::min(),
                            std::numeric_limits<int64_t>::min());
        case 8:
            return Fraction(target, -1, -3);
        case 9: {  // a random fraction with a large denominator
            const int64_t denominator =
                static_cast<int64_t>(random.Bits() >> random.Between(1, 40)) | 1;
            const int64_t numerator =
                static_cast<int64_t>(random.Bits() % static_cast<uint64_t>(denominator));
            return Fraction(target, numerator, denominator);
        }
        case 10:
            return Fraction(target, 3, int64_t{1} << 62);
        case 11:
            return Stored(target, 0.1);
        case 12:
            return Stored(target, 0.3);
        case 13:
            return Stored(target, 1.0 / 3.0);
        case 14:
            return Stored(target, std::nextafter(1.0, 0.0));
        case 15:
            return Stored(target, 1.0 + std::ldexp(1.0, -52));
        case 16:
            return Stored(target, std::ldexp(1.0, -1074));
        case 17:
            return Stored(target, 1e-310);
        case 18:
            return Stored(target, 1e-40);  // subnormal in binary32
        case 19:
            return Stored(target, std::ldexp(1.0, -150));  // binary32 tie with 0
        case 20:
            return Stored(target, 3 * std::ldexp(1.0, -151));
        case 21:
            return Stored(target, std::ldexp(1.0, static_cast<int>(random.Between(-1100, -1))) *
                                      (1.0 + random.Unit()));
        case 22:
            return Stored(target, random.Unit());
        case 23:
            return Stored(target, -0.0);
        case 24:
            return Stored(target, 0.0);
        case 25:
            return Stored(target, static_cast<double>(0.1f));
        case 26:  // beyond binary32: refused in single precision, above 1 elsewhere
            return Stored(target, random.Chance(0.5) ? 1e300 : 3.5e38);
        case 27:
            return Fraction(target, 0, -1);
        default:
            return Stored(target, std::nextafter(0.5, 1.0));
    }
}

// k shares of D (summing to D, or one more or one less), as fractions or as
// the stored binary64 quotients.
test::Choice Distribution(Random& random, uint64_t states) {
    static const std::vector<int64_t> denominators = {2, 3, 4, 5, 6, 7, 10, 12, 100, 1000};
    const int64_t denominator = random.Pick(denominators);
    const int parts = 1 + static_cast<int>(random.Below(3));
    int64_t total = denominator;
    if (random.Chance(0.15)) {
        total += 1;  // just above 1
    } else if (random.Chance(0.15)) {
        total -= 1;
    }
    test::Choice choice;
    int64_t remaining = total;
    for (int i = 0; i < parts; ++i) {
        const int64_t share = (i + 1 == parts) ? remaining : random.Between(0, remaining);
        remaining -= share;
        const uint64_t target = random.Below(states);
        if (random.Chance(0.3)) {
            choice.push_back(test::Stored(target, static_cast<double>(share) /
                                                      static_cast<double>(denominator)));
        } else {
            choice.push_back(test::Fraction(target, share, denominator));
        }
    }
    return choice;
}

// A choice of state s in a chain of n states: mostly to its neighbours (a
// higher-numbered successor is read in the same sweep, a lower-numbered one
// in the next), to itself, now and then anywhere, and now and then with a
// tricky probability (values above 1, NaN, -0, subnormals).
test::Choice ChainChoice(Random& random, uint64_t s, uint64_t n) {
    static const std::vector<int64_t> denominators = {2, 3, 4, 5, 8, 10};
    const int64_t denominator = random.Pick(denominators);
    const int parts = 1 + static_cast<int>(random.Below(3));
    int64_t remaining = denominator + (random.Chance(0.1) ? 1 : 0);
    test::Choice choice;
    for (int i = 0; i < parts; ++i) {
        uint64_t target;
        switch (random.Below(6)) {
            case 0:
            case 1:
                target = (s + 1) % n;
                break;
            case 2:
                target = (s + 2) % n;
                break;
            case 3:
                target = (s + n - 1) % n;
                break;
            case 4:
                target = s;
                break;
            default:
                target = random.Below(n);
                break;
        }
        if (random.Chance(0.05)) {
            choice.push_back(TrickyProbability(random, target));
            continue;
        }
        const int64_t share = (i + 1 == parts) ? remaining : random.Between(0, remaining);
        remaining -= share;
        choice.push_back(random.Chance(0.5)
                             ? test::Fraction(target, share, denominator)
                             : test::Stored(target, static_cast<double>(share) /
                                                        static_cast<double>(denominator)));
    }
    return choice;
}

// A chain of states, long enough for parts of it to converge many sweeps
// before others, with targets and zero states along it: the states whose
// successors stopped changing are skipped, so that a wrongly skipped state
// shows in the results.
test::Model ChainModel(Random& random, bool zeroStatesNull) {
    const uint64_t n = 10 + random.Below(15);
    std::set<uint64_t> targets = {n - 1};
    std::set<uint64_t> zeros;
    for (uint64_t s = 0; s + 1 < n; ++s) {
        if (random.Chance(0.06)) {
            targets.insert(s);
        } else if (random.Chance(0.06)) {
            zeros.insert(s);
        }
    }
    std::vector<test::StateChoices> states(n);
    for (uint64_t s = 0; s < n; ++s) {
        const int choices = 1 + static_cast<int>(random.Below(2));
        for (int c = 0; c < choices; ++c) {
            states[s].push_back(ChainChoice(random, s, n));
        }
    }
    return test::MakeModel(states, targets, zeros, zeroStatesNull);
}

test::Choice RandomChoice(Random& random, uint64_t states) {
    if (random.Chance(0.07)) {
        return {};  // a choice without transitions
    }
    test::Choice choice;
    if (random.Chance(0.55)) {
        choice = Distribution(random, states);
    } else {
        const int parts = 1 + static_cast<int>(random.Below(3));
        for (int i = 0; i < parts; ++i) {
            choice.push_back(TrickyProbability(random, random.Below(states)));
        }
    }
    if (random.Chance(0.15)) {  // mix a tricky value into a distribution
        choice.push_back(TrickyProbability(random, random.Below(states)));
    }
    return choice;
}

struct Case {
    uint64_t Index;
    uint64_t Seed;
    test::Model Model;
    IterationOptions Options;  // Fpu, Precision, Rounding, Sequential set per run
    int32_t WarnedFlag;
    int32_t AbortFlag;
    bool AliasOptionBytes;     // spell Double and Safe with other byte values
};

uint8_t BoolByte(Random& random, double probability) {
    if (!random.Chance(probability)) {
        return 0;
    }
    return random.Chance(0.1) ? static_cast<uint8_t>(random.Chance(0.5) ? 2 : 255) : 1;
}

Case MakeCase(uint64_t master, uint64_t index) {
    Case result;
    result.Index = index;
    result.Seed = SplitMix(master ^ SplitMix(index));
    Random random(result.Seed);

    const uint64_t n = 1 + random.Below(random.Chance(0.2) ? 9 : 5);
    const bool zeroStatesNull = random.Chance(0.15);
    std::set<uint64_t> targets;
    std::set<uint64_t> zeros;
    for (uint64_t s = 0; s < n; ++s) {
        if (random.Chance(0.25)) {
            targets.insert(s);
        }
        if (random.Chance(0.12)) {
            zeros.insert(s);
        }
    }
    std::vector<test::StateChoices> states(n);
    for (uint64_t s = 0; s < n; ++s) {
        const bool swept =
            targets.count(s) == 0 && (zeroStatesNull || zeros.count(s) == 0);
        if (swept || random.Chance(0.3)) {
            const int choices = 1 + static_cast<int>(random.Below(3));
            for (int c = 0; c < choices; ++c) {
                states[s].push_back(RandomChoice(random, n));
            }
        }
    }
    result.Model = test::MakeModel(states, targets, zeros, zeroStatesNull);
    // Drawn apart, so that the other cases stay what they were.
    Random shape(SplitMix(result.Seed ^ 0xC4A15EEDULL));
    if (shape.Chance(0.04)) {
        result.Model = ChainModel(shape, zeroStatesNull);
    }
    if (random.Chance(0.05)) {
        result.Model.IsRational = 7;
    }

    static const std::vector<double> epsilons = {
        1e-6, 1e-6, 1e-6, 1e-3, 1e-3, 0.1, 0.0, 0.0, 1e-12, 0.5, 0.25,
        std::ldexp(1.0, -149), 5e-324, 1e-300, -1e-9,
        std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()};
    IterationOptions& options = result.Options;
    std::memset(&options, 0, sizeof options);
    options.Epsilon = random.Pick(epsilons);
    const double kind = random.Unit();
    if (kind < 0.55) {
        options.MaxIterations = static_cast<int32_t>(random.Between(1, 30));
    } else if (kind < 0.63) {
        options.MaxIterations = static_cast<int32_t>(random.Between(31, 200));
    } else if (kind < 0.69) {
        static const std::vector<int32_t> negative = {-1, -7, INT32_MIN};
        options.MaxIterations = random.Pick(negative);
    } else {
        options.MaxIterations = 0;
    }
    options.Maximize = BoolByte(random, 0.5);
    options.Relative = BoolByte(random, 0.35);
    options.WarnOnAbort = BoolByte(random, 0.5);
    options.ReturnBoundsOnFailure = BoolByte(random, 0.8);

    const double warned = random.Unit();
    result.WarnedFlag = warned < 0.6 ? 0 : (warned < 0.9 ? 1 : 7);
    result.AbortFlag = random.Chance(0.07) ? (random.Chance(0.5) ? 1 : -1) : 0;
    result.AliasOptionBytes = random.Chance(0.15);
    return result;
}

// ---------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------

std::string DescribeTransition(uint64_t target, const TransitionValue& value) {
    std::ostringstream out;
    out << "->" << target << " ";
    if (value.Denominator == 0) {
        double stored;
        std::memcpy(&stored, &value.Numerator, sizeof stored);
        out << "stored " << reference::DoubleToString(stored);
    } else {
        out << value.Numerator << "/" << value.Denominator;
    }
    return out.str();
}

std::string DescribeModel(const test::Model& model) {
    std::ostringstream out;
    const SparseMdp mdp = model.Mdp();
    out << "  IsRational " << mdp.IsRational << ", " << mdp.StateCount << " states, ZeroStates "
        << (mdp.ZeroStates == nullptr ? "null" : "present") << "\n";
    for (uint64_t s = 0; s < mdp.StateCount; ++s) {
        const bool target = ((mdp.TargetStates[s / 64] >> (s % 64)) & 1U) != 0;
        const bool zero = mdp.ZeroStates != nullptr && ((mdp.ZeroStates[s / 64] >> (s % 64)) & 1U);
        out << "  state " << s << (target ? " [target]" : "") << (zero ? " [zero]" : "") << ":";
        for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
            out << "\n    choice " << c << ":";
            for (uint64_t t = mdp.ChoiceTransitionStart[c]; t < mdp.ChoiceTransitionStart[c + 1];
                 ++t) {
                out << "  " << DescribeTransition(mdp.TransitionTarget[t], mdp.TransitionValues[t]);
            }
        }
        out << "\n";
    }
    return out.str();
}

std::string DescribeOptions(const IterationOptions& options, int32_t warned, int32_t abort) {
    std::ostringstream out;
    out << "  Epsilon " << reference::DoubleToString(options.Epsilon) << ", MaxIterations "
        << options.MaxIterations << ", Maximize " << int{options.Maximize} << ", Relative "
        << int{options.Relative} << ", WarnOnAbort " << int{options.WarnOnAbort}
        << ", ReturnBoundsOnFailure " << int{options.ReturnBoundsOnFailure} << "\n  Fpu "
        << int{options.Fpu} << ", Precision " << int{options.Precision} << ", Rounding "
        << int{options.Rounding} << ", Sequential " << int{options.Sequential}
        << "\n  WarnedFlag in " << warned << ", AbortFlag " << abort << "\n";
    return out.str();
}

std::vector<std::string> Differences(const test::Call& expected, const test::Call& actual) {
    std::vector<std::string> differences;
    if (test::Bits(expected.Result.Lower) != test::Bits(actual.Result.Lower)) {
        differences.push_back("Lower");
    }
    if (test::Bits(expected.Result.Upper) != test::Bits(actual.Result.Upper)) {
        differences.push_back("Upper");
    }
    if (expected.Result.Status != actual.Result.Status) {
        differences.push_back("Status");
    }
    if (expected.IterationCount != actual.IterationCount) {
        differences.push_back("IterationCount");
    }
    if (test::Bits(expected.AchievedPrecision) != test::Bits(actual.AchievedPrecision)) {
        differences.push_back("AchievedPrecision");
    }
    if (expected.WarnedFlag != actual.WarnedFlag) {
        differences.push_back("WarnedFlag");
    }
    if (expected.Messages != actual.Messages) {
        differences.push_back("Messages");
    }
    return differences;
}

// ---------------------------------------------------------------------------
// Runs
// ---------------------------------------------------------------------------

// The library's entry point as the host calls it, adding up the sweeps'
// counts of the calls on this thread. Odd cases skip in every sweep they
// can; even ones as the library chooses, which also runs sweeps that leave
// the stamps stale and then has to renew them.
thread_local ii::SweepCounts gSweepCounts;
thread_local ii::Skipping gSkipping = ii::Skipping::Chosen;

IterationResult CountingEntry(const SparseMdp* model, const IterationOptions* options,
                              int64_t* iterationCount, double* achievedPrecision,
                              int32_t* warnedFlag, MessageCallback callback,
                              const int32_t* abortFlag) {
    return ii::RunIntervalIteration(ii::Avx512Supported(), model, options, iterationCount,
                                    achievedPrecision, warnedFlag, callback, abortFlag,
                                    {gSkipping, &gSweepCounts});
}

struct Tally {
    uint64_t Runs = 0;
    uint64_t Mismatches = 0;
    uint64_t GuardedUnbounded = 0;  // unbounded cases given a limit
    uint64_t Timeouts = 0;
    // What the compared runs exercised, by the reference's prediction.
    std::map<std::string, uint64_t> Reached;

    void Note(const test::Call& expected) {
        ++Reached["status " + std::to_string(expected.Result.Status)];
        for (const test::Message& message : expected.Messages) {
            if (message.Text == reference::text::kGreaterThanOne) {
                ++Reached["warning: value greater than 1"];
            } else if (message.Text == reference::text::kLowerAboveUpper) {
                ++Reached["warning: lower bound is greater"];
            } else if (message.Text == reference::text::kReachedMaximum) {
                ++Reached["warning: reached maximum"];
            } else if (message.Text == reference::text::kAborted) {
                ++Reached["warning: aborted"];
            } else if (message.Text == reference::text::kInexactValue) {
                ++Reached["warning: inexact value"];
            }
        }
        if (expected.Result.Status == IterationStatusError && !expected.Messages.empty() &&
            expected.Messages.back().Text.find("which is not a probability") != std::string::npos) {
            ++Reached["refused value"];
        }
        if (expected.Result.Lower > expected.Result.Upper) {
            ++Reached["lower above upper"];
        }
        if (std::isinf(expected.AchievedPrecision)) {
            ++Reached["infinite measure"];
        }
        const double magnitude = std::fabs(expected.Result.Lower);
        if (magnitude > 0 && magnitude < 2.2250738585072014e-308) {
            ++Reached["subnormal binary64 bound"];
        }
    }
    int Reported = 0;
    std::map<std::string, uint64_t> MismatchesBy;

    void Report(const std::string& where, const Case& item, const IterationOptions& options,
                const std::string& what, const test::Call& expected, const test::Call& actual) {
        ++Mismatches;
        ++MismatchesBy[where];
        if (Reported >= kDetailedReports) {
            return;
        }
        ++Reported;
        ADD_FAILURE() << "Library and reference disagree (" << what << ") for " << where
                      << "\ncase " << item.Index << ", case seed 0x" << std::hex << item.Seed
                      << std::dec << "; reproduce with INTERVAL_ITERATION_DIFFERENTIAL_FIRST="
                      << item.Index << " INTERVAL_ITERATION_DIFFERENTIAL_CASES=1 and the same "
                      << "INTERVAL_ITERATION_DIFFERENTIAL_SEED\n"
                      << DescribeModel(item.Model)
                      << DescribeOptions(options, item.WarnedFlag, item.AbortFlag)
                      << "reference:\n"
                      << reference::Describe(expected) << "library:\n"
                      << reference::Describe(actual);
    }
};

std::vector<Direction> CallerDirections() {
    return {Direction::ToNearest, Direction::Upward, Direction::TowardZero, Direction::Downward};
}

std::vector<test::Variant> VariantsUnderTest() {
    std::vector<test::Variant> variants = test::ComputingVariants();
    if (const char* only = std::getenv("INTERVAL_ITERATION_DIFFERENTIAL_VARIANT")) {
        std::vector<test::Variant> chosen;
        for (const test::Variant& variant : variants) {
            if (std::string(only) == variant.Name) {
                chosen.push_back(variant);
            }
        }
        return chosen;
    }
    return variants;
}

// The option bytes of `variant`, spelled with other accepted values now and
// then: Precision 3..255 for Double, Rounding 2..255 for Safe.
void SetVariantBytes(IterationOptions& options, const test::Variant& variant, bool sequential,
                     bool alias, Random& random) {
    options.Fpu = variant.Fpu;
    options.Precision = variant.Precision;
    options.Rounding = variant.Rounding;
    options.Sequential = sequential ? static_cast<uint8_t>(alias ? 77 : 1) : 0;
    if (alias && variant.Precision == PrecisionDouble) {
        options.Precision = static_cast<uint8_t>(random.Between(3, 255));
    }
    if (alias && variant.Rounding == RoundingSafe) {
        options.Rounding = static_cast<uint8_t>(random.Between(2, 255));
    }
}

reference::Outcome Predict(const Case& item, const IterationOptions& options,
                           Direction direction, int64_t guard) {
    const SparseMdp mdp = item.Model.Mdp();
    reference::Request request;
    request.Model = &mdp;
    request.Options = &options;
    request.Caller = reference::CallerFpu::Uniform(direction);
    request.WarnedFlag = item.WarnedFlag;
    request.AbortFlag = item.AbortFlag;
    request.IterationGuard = guard;
    return reference::Evaluate(request);
}

// A seed for what a run adds to its case, independent of which other
// variants run (so that a variant filter reproduces a failure exactly).
uint64_t RunSeed(const Case& item, const test::Variant& variant, bool sequential) {
    uint64_t hash = 0xCBF29CE484222325ULL;  // FNV-1a of the name
    for (const char* c = variant.Name; *c != '\0'; ++c) {
        hash = (hash ^ static_cast<uint8_t>(*c)) * 0x100000001B3ULL;
    }
    return SplitMix(item.Seed ^ hash ^ (sequential ? 1U : 2U));
}

void RunCase(const Case& item, const std::vector<test::Variant>& variants, Tally& tally,
             reference::Watchdog& watchdog) {
    for (const test::Variant& variant : variants) {
        for (const bool sequential : {true, false}) {
            Random random(RunSeed(item, variant, sequential));
            for (const Direction direction : CallerDirections()) {
                IterationOptions options = item.Options;
                SetVariantBytes(options, variant, sequential, item.AliasOptionBytes, random);
                reference::Outcome expected = Predict(
                    item, options, direction, options.MaxIterations == 0 ? kUnboundedGuard : 0);
                if (expected.Unfinished) {
                    // The library would iterate too long or forever: bound it.
                    ++tally.GuardedUnbounded;
                    options.MaxIterations = kFallbackLimit;
                    expected = Predict(item, options, direction, 0);
                }
                const uint64_t skippedBefore = gSweepCounts.Skipped;
                gSkipping = item.Index % 2 == 1 ? ii::Skipping::Always : ii::Skipping::Chosen;
                const reference::HarnessCall actual =
                    reference::RunInDirection(item.Model, options, direction, item.WarnedFlag,
                                              item.AbortFlag, &watchdog, kCallBudget,
                                              CountingEntry);
                tally.Reached["skipped state updates"] += gSweepCounts.Skipped - skippedBefore;
                ++tally.Runs;
                tally.Note(expected.Call);
                const std::string where = std::string(variant.Name) +
                                          (sequential ? " sequential" : " interleaved") +
                                          ", caller " + reference::DirectionName(direction);
                const std::vector<std::string> differences =
                    Differences(expected.Call, actual.Call);
                if (actual.TimedOut) {
                    ++tally.Timeouts;
                    tally.Report(where, item, options,
                                 "the call did not stop; the watchdog raised AbortFlag",
                                 expected.Call, actual.Call);
                } else if (!differences.empty()) {
                    std::string what;
                    for (const std::string& field : differences) {
                        what += (what.empty() ? "" : ", ") + field;
                    }
                    tally.Report(where, item, options, what, expected.Call, actual.Call);
                }
                if (!reference::SameControl(actual.Before, actual.After)) {
                    char text[160];
                    std::snprintf(text, sizeof text,
                                  "floating-point control not restored: x87 0x%04X -> 0x%04X, "
                                  "MXCSR 0x%08X -> 0x%08X",
                                  actual.Before.X87ControlWord, actual.After.X87ControlWord,
                                  actual.Before.Mxcsr, actual.After.Mxcsr);
                    tally.Report(where, item, options, text, expected.Call, actual.Call);
                }
            }
        }
    }
}

std::string Summary(const Tally& tally) {
    std::ostringstream out;
    out << tally.Runs << " runs, " << tally.Mismatches << " mismatches";
    for (const auto& [where, count] : tally.MismatchesBy) {
        out << "\n  " << where << ": " << count;
    }
    return out.str();
}

struct Settings {
    uint64_t Seed = EnvironmentNumber("INTERVAL_ITERATION_DIFFERENTIAL_SEED", kDefaultSeed);
    uint64_t First = EnvironmentNumber("INTERVAL_ITERATION_DIFFERENTIAL_FIRST", 0);
    uint64_t Cases = EnvironmentNumber("INTERVAL_ITERATION_DIFFERENTIAL_CASES", kDefaultCases);
};

TEST(Differential, RandomModelsAgreeWithTheReferenceBitForBit) {
    const std::vector<test::Variant> variants = VariantsUnderTest();
    if (variants.empty()) {
        GTEST_SKIP() << "the library computes none of the selected variants yet";
    }
    const Settings settings;
    Tally tally;
    reference::Watchdog watchdog;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t i = settings.First; i < settings.First + settings.Cases; ++i) {
        RunCase(MakeCase(settings.Seed, i), variants, tally, watchdog);
        if (tally.Timeouts >= kMaxTimeouts) {
            ADD_FAILURE() << "stopped after case " << i << ": " << tally.Timeouts
                          << " library calls did not stop by themselves";
            break;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[differential] seed 0x%" PRIX64 ", cases %" PRIu64 "..%" PRIu64
                ", %zu variants x 2 layouts x %zu directions: %s; %" PRIu64
                " unbounded runs given a limit; %.1f s\n",
                settings.Seed, settings.First, settings.First + settings.Cases - 1,
                variants.size(), CallerDirections().size(), Summary(tally).c_str(),
                tally.GuardedUnbounded, seconds);
    std::string reached;
    for (const auto& [what, count] : tally.Reached) {
        reached += "\n  " + what + ": " + std::to_string(count);
    }
    std::printf("[differential] reached:%s\n", reached.c_str());
    EXPECT_EQ(tally.Mismatches, 0U) << Summary(tally);
    const bool filtered = std::getenv("INTERVAL_ITERATION_DIFFERENTIAL_VARIANT") != nullptr;
    if (settings.Cases >= 500 && !filtered) {
        // The generator must keep reaching every stop and every kernel
        // warning, or agreement would prove little.
        std::vector<std::string> required = {
            "status 0", "status 1", "status 2", "warning: lower bound is greater",
            "warning: reached maximum", "warning: aborted", "refused value",
            "lower above upper", "subnormal binary64 bound", "skipped state updates"};
        const bool anyDefault =
            std::any_of(variants.begin(), variants.end(), [](const test::Variant& variant) {
                return variant.Rounding == RoundingDefault;
            });
        if (anyDefault) {
            required.push_back("warning: value greater than 1");
        }
        for (const std::string& what : required) {
            EXPECT_GT(tally.Reached[what], 0U) << "no run reached: " << what;
        }
    }
}

// The entry point's refusals on the same random models: a model without
// rational values, and option bytes without a driver. Messages, result and
// untouched outputs must agree; no computation is involved.
TEST(Differential, RefusedCallsAgreeWithTheReference) {
    const Settings settings;
    Tally tally;
    uint64_t refused = 0;
    for (uint64_t i = settings.First; i < settings.First + settings.Cases; ++i) {
        Case item = MakeCase(settings.Seed, i);
        Random random(SplitMix(item.Seed + 1));
        IterationOptions options = item.Options;
        options.Sequential = static_cast<uint8_t>(random.Below(2));
        if (random.Chance(0.3)) {
            // Any option bytes; the model says no first.
            options.Fpu = static_cast<uint8_t>(random.Below(256));
            options.Precision = static_cast<uint8_t>(random.Below(4));
            options.Rounding = static_cast<uint8_t>(random.Below(3));
            item.Model.IsRational = 0;
        } else {
            // Option bytes the dispatch refuses.
            switch (random.Below(4)) {
                case 0: {  // Extended off x87
                    static const std::vector<int64_t> offX87 = {0, 2, 3};
                    options.Precision = 1;
                    options.Fpu = static_cast<uint8_t>(random.Chance(0.5) ? random.Pick(offX87)
                                                                          : random.Between(4, 255));
                    break;
                }
                case 1:  // Single on AVX-512
                    options.Precision = 2;
                    options.Fpu = 3;
                    break;
                default:  // no such instruction set
                    options.Precision = static_cast<uint8_t>(random.Below(256));
                    options.Fpu = static_cast<uint8_t>(random.Between(4, 255));
                    break;
            }
            options.Rounding = static_cast<uint8_t>(random.Below(random.Chance(0.5) ? 2 : 256));
        }
        const reference::Outcome expected = Predict(item, options, Direction::ToNearest, 0);
        ASSERT_FALSE(expected.Driver.has_value()) << "case " << i << " is not a refused call";
        ++refused;
        const reference::HarnessCall actual = reference::RunInDirection(
            item.Model, options, Direction::ToNearest, item.WarnedFlag, item.AbortFlag);
        const std::vector<std::string> differences = Differences(expected.Call, actual.Call);
        ++tally.Runs;
        if (!differences.empty()) {
            std::string what;
            for (const std::string& field : differences) {
                what += (what.empty() ? "" : ", ") + field;
            }
            tally.Report("refused call", item, options, what, expected.Call, actual.Call);
        }
    }
    EXPECT_EQ(refused, settings.Cases);
    EXPECT_EQ(tally.Mismatches, 0U) << Summary(tally);
}

}  // namespace
