// The graph precomputation on small models whose answers are known.
#include "Precompute.hpp"

#include "Interrupt.hpp"
#include "Run.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <functional>

#include <stdexcept>
#include <string>
#include <vector>

namespace iicheck {
namespace {

using Words = std::vector<uint64_t>;
using Kind = StateKind;

// The bundled example's structure (see tools/models/README.md): init 1, an
// end component {2, 3} (wait/wait), target 5, trap 6, deadlock 7, state 0
// unreachable and state 10 behind the target.
const char* const kExample =
    "11 14 21\n"
    "0 0 5 1\n"
    "1 0 2 1/3\n1 0 8 2/3\n"
    "2 0 3 1\n2 1 5 0.2\n2 1 6 0.8\n"
    "3 0 2 1\n3 1 4 2/3\n3 1 7 1/3\n"
    "4 0 5 0.5\n4 0 2 0.5\n"
    "5 0 5 1\n5 1 10 1\n"
    "6 0 6 1\n"
    "8 0 5 0.1\n8 0 9 0.9\n8 1 9 1\n"
    "9 0 8 1/3\n9 0 5 0.25\n9 0 6 5/12\n"
    "10 0 10 1\n";

struct Fixture {
    ExplicitMdp Mdp;
    PropertySpec Property;
};

Fixture Make(const char* tra, uint64_t initial, std::vector<uint64_t> targets, bool maximize,
             std::vector<uint64_t> avoid = {}) {
    Fixture fixture;
    std::vector<std::string> notes;
    fixture.Mdp = ParseTransitions(tra, "test.tra", kDefaultSumTolerance, notes);
    const uint64_t n = fixture.Mdp.StateCount;
    fixture.Property.Maximize = maximize;
    fixture.Property.Initial = initial;
    fixture.Property.Target = EmptyBits(n);
    for (uint64_t s : targets) SetBit(fixture.Property.Target, s);
    if (!avoid.empty()) {
        fixture.Property.Avoid = EmptyBits(n);
        for (uint64_t s : avoid) SetBit(fixture.Property.Avoid, s);
    }
    return fixture;
}

// Bounds of state 0 from the library, with a variant that computes today.
IterationResult Solve(const ReducedModel& reduced, bool maximize) {
    Variant variant;
    variant.Fpu = FpuSSE;
    variant.Rounding = RoundingDefault;
    RunSettings settings;
    settings.Epsilon = 1e-12;
    settings.Maximize = maximize;
    settings.ShowProgress = false;
    settings.PropertyName = "test";
    return RunLibrary(reduced.Mdp(), variant, settings).Result;
}

void ExpectContains(const IterationResult& result, double exact) {
    EXPECT_EQ(result.Status, IterationStatusConverged);
    // Default rounding is not sound: allow a few units in the last place.
    EXPECT_LE(result.Lower, exact + 1e-12);
    EXPECT_GE(result.Upper, exact - 1e-12);
    EXPECT_LE(result.Upper - result.Lower, 2e-12);
}

TEST(Precompute, MaximumCollapsesTheEndComponentAndFindsProbabilityZeroStates) {
    const Fixture f = Make(kExample, 1, {5}, true);
    const Analysis analysis = Analyse(f.Mdp, f.Property);
    const std::vector<Kind> expected = {Kind::Unreached, Kind::Maybe, Kind::Maybe, Kind::Maybe,
                                        Kind::Maybe,     Kind::Target, Kind::Zero, Kind::Zero,
                                        Kind::Maybe,     Kind::Maybe, Kind::Unreached};
    EXPECT_EQ(analysis.Kind, expected);
    ASSERT_EQ(analysis.ComponentCount, 1u);
    for (uint64_t s = 0; s < 11; ++s) {
        EXPECT_EQ(analysis.Component[s] != kNoComponent, s == 2 || s == 3) << s;
    }
    // Inside: the two wait choices (choice 2 of state 2, choice 4 of state 3).
    EXPECT_EQ(analysis.Inside, (std::vector<uint8_t>{0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    const ReducedModel reduced = Reduce(f.Mdp, f.Property, analysis);
    // 1, {2,3}, 8, one target, one zero state, 4, 9 in breadth-first order.
    EXPECT_EQ(reduced.StateCount(), 7u);
    EXPECT_EQ(reduced.StateChoiceStart, (Words{0, 1, 3, 5, 5, 5, 6, 7}));
    EXPECT_EQ(reduced.TransitionTarget,
              (Words{1, 2,        // 1: coin
                     3, 4, 5, 4,  // {2,3}: the two try choices, not wait
                     3, 6, 6,     // 8: safe, skip
                     3, 1,        // 4
                     2, 3, 4}));  // 9
    EXPECT_EQ(reduced.TargetStates, (Words{1u << 3}));
    EXPECT_EQ(reduced.ZeroStates, (Words{1u << 4}));
    ExpectContains(Solve(reduced, true), 10.0 / 21.0);
}

TEST(Precompute, MinimumMakesStatesThatCanAvoidTheTargetForeverZero) {
    const Fixture f = Make(kExample, 1, {5}, false);
    const Analysis analysis = Analyse(f.Mdp, f.Property);
    // 2 and 3 avoid the target by waiting forever; 4 cannot avoid it.
    EXPECT_EQ(analysis.Kind[2], Kind::Zero);
    EXPECT_EQ(analysis.Kind[3], Kind::Zero);
    EXPECT_EQ(analysis.Kind[4], Kind::Maybe);
    EXPECT_EQ(analysis.Kind[8], Kind::Maybe);
    EXPECT_EQ(analysis.Kind[9], Kind::Maybe);
    EXPECT_EQ(analysis.ComponentCount, 0u);
    const ReducedModel reduced = Reduce(f.Mdp, f.Property, analysis);
    EXPECT_EQ(reduced.StateCount(), 5u);  // 1, zero, 8, target, 9; 4 is unreachable now
    ExpectContains(Solve(reduced, false), 0.25);
}

TEST(Precompute, EndComponentsNeedingSeveralRefinements) {
    // X -> Y; Y: -> X or W (1/2 each), or -> Z; Z -> Y, or -> goal; W -> goal.
    // W has no choice that stays among the candidates, so Y's first choice
    // goes with it; then X's only choice leaves X's strongly connected
    // component, so X goes too: {Y, Z} with Y -> Z and Z -> Y remains.
    const char* const tra =
        "6 6 7\n"
        "0 0 1 1\n"
        "1 0 0 1/2\n1 0 3 1/2\n1 1 2 1\n"
        "2 0 1 1\n2 1 4 1\n"
        "3 0 4 1\n";
    const Fixture f = Make(tra, 0, {4}, true);
    const Analysis analysis = Analyse(f.Mdp, f.Property);
    ASSERT_EQ(analysis.ComponentCount, 1u);
    EXPECT_EQ(analysis.Component[0], kNoComponent);
    EXPECT_NE(analysis.Component[1], kNoComponent);
    EXPECT_EQ(analysis.Component[2], analysis.Component[1]);
    EXPECT_EQ(analysis.Component[3], kNoComponent);
    EXPECT_EQ(analysis.Kind[5], Kind::Unreached);
    EXPECT_EQ(analysis.Inside, (std::vector<uint8_t>{0, 0, 1, 1, 0, 0}));
    // Z's exit reaches the goal surely: the maximum is 1.
    ExpectContains(Solve(Reduce(f.Mdp, f.Property, analysis), true), 1.0);
}

TEST(Precompute, CollapsedComponentTakesTheBestExitAndSelfLoopsAreComponents) {
    // 0 -> 1; 1: stay (self-loop), or -> goal 1/4, fail 3/4;
    // 0: also -> goal 1/8, fail 7/8. Max = 1/4, reachable only if the
    // self-loop of 1 is dropped (else its upper bound stays 1).
    const char* const tra =
        "4 5 7\n"
        "0 0 1 1\n0 1 2 1/8\n0 1 3 7/8\n"
        "1 0 1 1\n1 1 2 1/4\n1 1 3 3/4\n"
        "3 0 3 1\n";
    const Fixture f = Make(tra, 0, {2}, true);
    const Analysis analysis = Analyse(f.Mdp, f.Property);
    EXPECT_EQ(analysis.ComponentCount, 1u);
    EXPECT_NE(analysis.Component[1], kNoComponent);
    EXPECT_EQ(analysis.Kind[3], Kind::Zero);
    const ReducedModel reduced = Reduce(f.Mdp, f.Property, analysis);
    EXPECT_EQ(reduced.StateChoiceStart[2] - reduced.StateChoiceStart[1], 1u);  // the loop is gone
    ExpectContains(Solve(reduced, true), 0.25);
    // The minimum stays in the self-loop of 1 forever, so both 1 and 0
    // (which can move to 1) have probability 0.
    Fixture g = Make(tra, 0, {2}, false);
    const Analysis minimum = Analyse(g.Mdp, g.Property);
    EXPECT_EQ(minimum.Kind[1], Kind::Zero);
    EXPECT_EQ(minimum.Kind[0], Kind::Zero);
}

TEST(Precompute, ConstrainedReachabilityStopsAtFailureStates) {
    // 0 -> 1 or 2 (1/2 each); 1 is avoided, though it leads to the goal; 2
    // reaches the goal surely in the end. "!avoid U goal" from 0: 1/2.
    const char* const tra =
        "4 3 5\n"
        "0 0 1 1/2\n0 0 2 1/2\n"
        "1 0 3 1\n"
        "2 0 3 1/2\n2 0 2 1/2\n";
    for (const bool maximize : {true, false}) {
        const Fixture f = Make(tra, 0, {3}, maximize, {1});
        const Analysis analysis = Analyse(f.Mdp, f.Property);
        EXPECT_EQ(analysis.Kind[1], Kind::Zero);
        ExpectContains(Solve(Reduce(f.Mdp, f.Property, analysis), maximize), 0.5);
    }
    // A target that is also avoided counts as a target.
    const Fixture f = Make(tra, 0, {3}, true, {3});
    EXPECT_EQ(Analyse(f.Mdp, f.Property).Kind[3], Kind::Target);
}

TEST(Precompute, InitialTargetOrZeroStateGivesOneStateModel) {
    const char* const tra = "2 1 1\n0 0 1 1\n";
    for (const uint64_t target : {0u, 1u}) {
        const Fixture f = Make(tra, 0, {target}, true);
        const ReducedModel reduced = Reduce(f.Mdp, f.Property, Analyse(f.Mdp, f.Property));
        if (target == 0) {
            EXPECT_EQ(reduced.StateCount(), 1u);
            EXPECT_EQ(reduced.TargetStates, (Words{1}));
            ExpectContains(Solve(reduced, true), 1.0);
        } else {
            EXPECT_EQ(reduced.StateCount(), 2u);
        }
    }
    const Fixture dead = Make("2 0 0\n", 0, {1}, false);
    const ReducedModel reduced = Reduce(dead.Mdp, dead.Property, Analyse(dead.Mdp, dead.Property));
    EXPECT_EQ(reduced.StateCount(), 1u);
    EXPECT_EQ(reduced.ZeroStates, (Words{1}));
    ExpectContains(Solve(reduced, false), 0.0);
}

// The 32-bit working indices of the analysis give what 64-bit ones give.
TEST(Precompute, CompactAndWideIndicesAgree) {
    for (const bool maximize : {true, false}) {
        for (const uint64_t target : {5u, 6u, 9u}) {
            const Fixture f = Make(kExample, 1, {target}, maximize);
            const Analysis compact = Analyse(f.Mdp, f.Property);
            const Analysis wide = AnalyseWithWideIndices(f.Mdp, f.Property);
            EXPECT_EQ(compact.Kind, wide.Kind);
            EXPECT_EQ(compact.Component, wide.Component);
            EXPECT_EQ(compact.Inside, wide.Inside);
        }
    }
}

// After SIGINT or SIGTERM, every loop of reading and precomputation stops
// at once, saying which phase it was in.
TEST(Precompute, EveryLoopStopsWhenAStopIsAskedFor) {
    const Fixture f = Make(kExample, 1, {5}, true);
    const Analysis analysis = Analyse(f.Mdp, f.Property);
    std::vector<std::string> notes;
    const std::pair<const char*, std::function<void()>> phases[] = {
        {"reading", [&] { ParseTransitions(kExample, "m.tra", kDefaultSumTolerance, notes); }},
        {"reading", [&] { ParseLabels("0=\"init\"\n0: 0\n", "m.lab", 11); }},
        {"reading", [&] { CheckStochastic(f.Mdp, 0, [](uint64_t) { return std::string(); }); }},
        {"precomputing", [&] { Analyse(f.Mdp, f.Property); }},
        {"precomputing", [&] { Reduce(f.Mdp, f.Property, analysis); }},
    };
    RequestInterrupt(SIGTERM);
    for (const auto& [phase, run] : phases) {
        try {
            run();
            ADD_FAILURE() << phase << " went on";
        } catch (const Interrupted& stop) {
            EXPECT_STREQ(stop.what(), phase);
        }
    }
    ClearInterrupt();
    EXPECT_EQ(Reduce(f.Mdp, f.Property, analysis).StateCount(), 7u);
}

}  // namespace
}  // namespace iicheck
