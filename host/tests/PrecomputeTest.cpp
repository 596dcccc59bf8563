// The graph precomputation, the bisimulation quotient and the state order,
// on small models whose answers are known.
#include "analysis/Precompute.hpp"

#include "analysis/Bisimulation.hpp"
#include "analysis/StateOrder.hpp"
#include "formats/ModelGenerator.hpp"
#include "formats/TraReader.hpp"
#include "formats/UmbReader.hpp"
#include "model/ExactValue.hpp"
#include "pipeline/Pipeline.hpp"
#include "pipeline/Run.hpp"
#include "support/Interrupt.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace iicheck {
namespace {

using Words = std::vector<uint64_t>;
using Kind = StateKind;

// The bundled example's structure (see host/models/README.md): init 1, an
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
    Model model;
    ParseTransitions(tra, "test.tra", kDefaultSumTolerance, model);
    fixture.Mdp = std::move(model.Mdp);
    const uint64_t n = fixture.Mdp.StateCount;
    fixture.Property.Maximize = maximize;
    fixture.Property.Initial = {initial};
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
    // Without the probability-1 states, which would take the component.
    const Analysis analysis = Analyse(f.Mdp, f.Property, false);
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
    // State 0 is a target, or reaches one surely (probability 1).
    const char* const tra = "2 1 1\n0 0 1 1\n";
    for (const uint64_t target : {0u, 1u}) {
        const Fixture f = Make(tra, 0, {target}, true);
        const ReducedModel reduced = Reduce(f.Mdp, f.Property, Analyse(f.Mdp, f.Property));
        EXPECT_EQ(reduced.StateCount(), 1u);
        EXPECT_EQ(reduced.TargetStates, (Words{1}));
        ExpectContains(Solve(reduced, true), 1.0);
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

// The predecessor lists of the whole model, built once for several
// properties, hold the choices of targets, failure and unreachable states
// too; the analysis must give what the lists of its Maybe states give, on
// every shipped model, each label as target, with and without each other
// label to avoid, both directions.
TEST(Precompute, ModelPredecessorsGiveTheSameAnalysis) {
    std::size_t compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(IICHECK_MODELS)) {
        const std::string name = entry.path().filename().string();
        std::ifstream in(entry.path().string() + "/" + name + ".umb", std::ios::binary);
        if (!entry.is_directory() || !in) continue;
        const Model data = ParseUmb(std::string(std::istreambuf_iterator<char>(in), {}), name, kDefaultSumTolerance);
        const ModelPredecessors predecessors = BuildModelPredecessors(data.Mdp);
        for (std::size_t targetLabel = 0; targetLabel < data.Labels.Count(); ++targetLabel) {
            for (std::size_t avoidLabel = 0; avoidLabel < data.Labels.Count(); ++avoidLabel) {
                const std::string target(data.Labels.Name(targetLabel));
                const std::string avoid(data.Labels.Name(avoidLabel));
                for (const bool maximize : {true, false}) {
                    SCOPED_TRACE(name + " " + target + " " + avoid);
                    PropertySpec property;
                    property.Maximize = maximize;
                    property.Initial = data.Initial;
                    std::vector<std::string> notes;
                    property.Target = StatesWithAnyLabel(data.Labels, target, data.Mdp.StateCount, notes);
                    if (avoid != target) {
                        property.Avoid = StatesWithAnyLabel(data.Labels, avoid, data.Mdp.StateCount, notes);
                    }
                    const Analysis own = Analyse(data.Mdp, property);
                    const Analysis shared = Analyse(data.Mdp, property, true, &predecessors);
                    EXPECT_EQ(own.Kind, shared.Kind);
                    EXPECT_EQ(own.Component, shared.Component);
                    EXPECT_EQ(own.Inside, shared.Inside);
                    ++compared;
                }
            }
        }
    }
    EXPECT_GE(compared, 50u);
}

// Probability 1 for the maximum needs the end components: 0 and 1 form one
// (0 -> 1 -> 0) whose exits 0 -> {goal, fail} and 1 -> 2 -> goal must be
// counted together; counted per state, 0 would seem unable to avoid fail.
// 5 and 7 reach the goal surely under every scheduler that 6 allows.
TEST(Precompute, ProbabilityOneStatesBecomeTargets) {
    const char* const tra =
        "9 12 18\n"
        "0 0 1 1\n0 1 3 0.5\n0 1 4 0.5\n"
        "1 0 2 1\n1 1 0 1\n"
        "2 0 3 1\n"
        "3 0 3 1\n"
        "4 0 4 1\n"
        "5 0 3 0.5\n5 0 5 0.5\n"
        "6 0 5 1\n6 1 4 1\n"
        "7 0 6 0.5\n7 0 3 0.5\n"
        "8 0 0 0.25\n8 0 5 0.25\n8 0 6 0.25\n8 0 7 0.25\n";
    struct Case {
        bool Maximize;
        std::vector<uint64_t> Avoid;
        std::set<uint64_t> One;
        double Value;  // from state 8
    };
    const Case cases[] = {
        {true, {}, {0, 1, 2, 5, 6, 7, 8}, 1.0},
        {true, {2}, {5, 6, 7}, 7.0 / 8},  // {0, 1} now exits to the goal with 1/2 at best
        {false, {}, {2, 5}, 3.0 / 8},
        {false, {2}, {5}, 3.0 / 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Maximize ? "maximum" : "minimum");
        const Fixture f = Make(tra, 8, {3}, c.Maximize, c.Avoid);
        const Analysis analysis = Analyse(f.Mdp, f.Property);
        for (uint64_t s = 0; s < 9; ++s) EXPECT_EQ(analysis.Kind[s] == Kind::One, c.One.count(s) == 1) << s;
        ExpectContains(Solve(Reduce(f.Mdp, f.Property, analysis), c.Maximize), c.Value);
        ExpectContains(Solve(Reduce(f.Mdp, f.Property, Analyse(f.Mdp, f.Property, false)), c.Maximize),
                       c.Value);
    }
}

// A transitions file of lines "source choice target probability", with
// the header counted here.
std::string Transitions(uint64_t states, const std::vector<std::string>& lines) {
    std::set<std::pair<uint64_t, uint64_t>> choices;
    std::string body;
    for (const std::string& line : lines) {
        uint64_t source, choice;
        std::sscanf(line.c_str(), "%lu %lu", &source, &choice);
        choices.emplace(source, choice);
        body += line + "\n";
    }
    return std::to_string(states) + " " + std::to_string(choices.size()) + " " +
           std::to_string(lines.size()) + "\n" + body;
}

// Those transitions as a ReducedModel with state 0 initial.
ReducedModel ModelOf(uint64_t states, const std::vector<std::string>& lines,
                     const std::vector<uint64_t>& targets, const std::vector<uint64_t>& zeros) {
    Model read;
    ParseTransitions(Transitions(states, lines), "test.tra", kDefaultSumTolerance, read);
    ExplicitMdp& mdp = read.Mdp;
    ReducedModel model;
    model.StateChoiceStart = std::move(mdp.StateChoiceStart);
    model.ChoiceTransitionStart = std::move(mdp.ChoiceTransitionStart);
    model.TransitionTarget = std::move(mdp.TransitionTarget);
    model.TransitionValues = std::move(mdp.TransitionValues);
    model.TargetStates = EmptyBits(states);
    model.ZeroStates = EmptyBits(states);
    for (const uint64_t s : targets) SetBit(model.TargetStates, s);
    for (const uint64_t s : zeros) SetBit(model.ZeroStates, s);
    model.Initial = {0};
    return model;
}

// States 1 and 2 with the choices of a row; 3 and 4 are bisimilar (one
// with 1/2 as a fraction, one as binary64), 5 is the target, 6 the zero
// state. Probabilities are compared exactly and summed per class.
TEST(Bisimulation, MergesExactlyEqualBehaviourOnly) {
    const std::string kTenth = "0.1000000000000000055511151231257827021181583404541015625";
    const std::string kRest = "0.8999999999999999944488848768742172978818416595458984375";
    struct Row {
        std::vector<std::string> First;  // choices of 1: "choice target probability"
        std::vector<std::string> Second;
        bool Bisimilar;
    };
    const Row rows[] = {
        {{"0 3 1/2", "0 5 1/2"}, {"0 4 0.5", "0 5 0.5"}, true},
        {{"0 3 1/4", "0 4 1/4", "0 5 1/2"}, {"0 3 1/2", "0 5 1/2"}, true},  // summed per class
        {{"0 3 1/3", "0 4 1/6", "0 5 1/2"}, {"0 4 0.5", "0 5 0.5"}, true},  // 1/3 + 1/6 = 1/2
        {{"0 5 1/10", "0 6 9/10"}, {"0 5 " + kTenth, "0 6 " + kRest}, false},  // 0.1 is not 1/10
        {{"0 5 1", "1 6 1"}, {"0 6 1", "1 5 1", "2 5 1"}, true},  // a set of distributions
        {{"0 5 1"}, {"0 5 1", "1 6 1"}, false},
        {{"0 3 1"}, {"0 6 1"}, false},
    };
    for (const Row& row : rows) {
        std::vector<std::string> lines = {"0 0 1 1/2", "0 0 2 1/2"};
        for (const std::string& choice : row.First) lines.push_back("1 " + choice);
        for (const std::string& choice : row.Second) lines.push_back("2 " + choice);
        for (const char* line : {"3 0 5 1/2", "3 0 6 1/2", "4 0 5 0.5", "4 0 6 0.5"}) lines.push_back(line);
        const std::vector<uint64_t> classes = BisimulationClasses(ModelOf(7, lines, {5}, {6}));
        SCOPED_TRACE(lines[2]);
        EXPECT_EQ(classes[1] == classes[2], row.Bisimilar);
        EXPECT_EQ(classes[3], classes[4]);
        EXPECT_NE(classes[5], classes[6]);
    }
}

// A sum into one class that is neither binary64 nor a fraction of 64-bit
// integers, 1/p + 1/q with primes p, q > 2^32, stays two transitions; so
// does 0.1 + 0.2 of binary64 values, whose fraction has a 55-bit numerator
// that the AVX-512 variant would round; 1/4 + 1/4 becomes one of 0.5. The
// quotient's answer is the model's.
TEST(Bisimulation, QuotientSumsExactlyOrKeepsTransitionsApart) {
    const std::vector<std::string> lines = {
        "0 0 1 1/4294967311", "0 0 2 1/4294967357", "0 0 3 4294967309/8589934622",
        "0 0 4 4294967355/8589934714", "0 1 1 1/4", "0 1 2 1/4", "0 1 4 1/2",
        "0 2 1 0.1000000000000000055511151231257827021181583404541015625",
        "0 2 2 0.200000000000000011102230246251565404236316680908203125",
        "0 2 4 0.6999999999999999555910790149937383830547332763671875", "1 0 3 1", "2 0 3 1"};
    const ReducedModel model = ModelOf(5, lines, {3}, {4});
    BisimulationStats stats;
    const ReducedModel quotient = Bisimulate(model, stats);
    EXPECT_EQ(stats.After.States, 4u);
    // State 0: four transitions, then 0.5 into {1, 2} and 1/2 into 4, then
    // 0.1 and 0.2 into {1, 2} and 0.7 into 4.
    ASSERT_EQ(quotient.ChoiceTransitionStart, (Words{0, 4, 6, 9, 10}));
    EXPECT_EQ(quotient.TransitionTarget[0], quotient.TransitionTarget[1]);
    EXPECT_EQ(quotient.TransitionValues[0].Denominator, 4294967311);
    EXPECT_EQ(quotient.TransitionValues[1].Denominator, 4294967357);
    EXPECT_EQ(quotient.TransitionValues[4].Denominator, 0);
    EXPECT_EQ(quotient.TransitionValues[4].Value, 0.5);
    EXPECT_EQ(quotient.TransitionTarget[6], quotient.TransitionTarget[7]);
    EXPECT_EQ(quotient.TransitionValues[6].Denominator, 0);
    EXPECT_EQ(quotient.TransitionValues[6].Value + quotient.TransitionValues[7].Value, 0.1 + 0.2);
    for (const bool maximize : {true, false}) {
        const IterationResult expected = Solve(model, maximize);
        ExpectContains(Solve(quotient, maximize), (expected.Lower + expected.Upper) / 2);
    }
}

// Two chains of n states from state 0: the i-th states of both are
// bisimilar, no two of one chain are (each is i steps from the target).
// Refinement takes about n rounds, each touching few states.
TEST(Bisimulation, ChainsNeedAsManyRoundsAsTheyAreLong) {
    const uint64_t n = 2000;
    std::vector<std::string> lines = {"0 0 1 1/2", "0 0 " + std::to_string(n + 1) + " 1/2"};
    const uint64_t target = 2 * n + 1;
    for (uint64_t i = 1; i <= 2 * n; ++i) {
        const uint64_t next = i == n || i == 2 * n ? target : i + 1;
        lines.push_back(std::to_string(i) + " 0 " + std::to_string(next) + " 1/2");
        lines.push_back(std::to_string(i) + " 0 " + std::to_string(target + 1) + " 1/2");
    }
    uint64_t rounds = 0;
    const std::vector<uint64_t> classes =
        BisimulationClasses(ModelOf(target + 2, lines, {target}, {target + 1}), &rounds);
    EXPECT_GE(rounds, n - 1);
    EXPECT_LE(rounds, n + 2);
    std::set<uint64_t> distinct;
    for (uint64_t i = 1; i <= n; ++i) {
        EXPECT_EQ(classes[i], classes[n + i]);
        distinct.insert(classes[i]);
    }
    EXPECT_EQ(distinct.size(), n);
}

// Random models of two copies of one random part (bisimilar), joined at
// state 0, every third with an extra choice in one copy that breaks the
// symmetry, precomputed as iicheck does: the library gives the same answers
// on the quotient in either order as on the model; topological order makes
// no edge go backwards (to a lower number) that breadth-first order does
// not, and keeps the initial state first.
TEST(Bisimulation, RandomSymmetricModelsKeepTheirAnswers) {
    // A choice: 1/2 to a local state, the rest split between the target and
    // the zero state: no end components, answers away from 0 and 1.
    const std::pair<const char*, const char*> kSplits[] = {
        {"1/6", "1/3"}, {"0.125", "0.375"}, {"1/14", "3/7"}, {"0.05", "0.45"}};
    struct Choice {
        uint64_t Local;
        std::size_t Split;
    };
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 random(seed);
        const uint64_t part = 2 + random() % 12;
        const uint64_t target = 2 * part + 1;
        std::vector<std::vector<Choice>> choices(part);
        for (auto& state : choices) {
            for (uint64_t c = 1 + random() % 3; c > 0; --c) {
                state.push_back({random() % part, random() % 4});
            }
        }
        std::vector<std::string> lines = {"0 0 1 1/2", "0 0 " + std::to_string(part + 1) + " 1/2"};
        auto line = [&](uint64_t from, uint64_t choice, uint64_t to, const char* p) {
            lines.push_back(std::to_string(from) + " " + std::to_string(choice) + " " + std::to_string(to) +
                            " " + p);
        };
        for (uint64_t copy = 0; copy < 2; ++copy) {
            auto global = [&](uint64_t local) { return local < part ? 1 + copy * part + local : target + local - part; };
            for (uint64_t i = 0; i < part; ++i) {
                for (uint64_t c = 0; c < choices[i].size(); ++c) {
                    line(global(i), c, global(choices[i][c].Local), "1/2");
                    line(global(i), c, target, kSplits[choices[i][c].Split].first);
                    line(global(i), c, target + 1, kSplits[choices[i][c].Split].second);
                }
            }
        }
        const bool broken = seed % 3 == 0;
        if (broken) line(2 * part, choices[part - 1].size(), target, "1");
        const std::string tra = Transitions(target + 2, lines);
        ReducedModel model;
        for (const bool maximize : {true, false}) {
            const Fixture f = Make(tra.c_str(), 0, {target}, maximize);
            model = Reduce(f.Mdp, f.Property, Analyse(f.Mdp, f.Property));
            BisimulationStats stats;
            const ReducedModel quotient = Bisimulate(model, stats);
            if (!broken) {
                EXPECT_LE(stats.After.States, (stats.Before.States + 1) / 2 + 1);
            }
            const IterationResult expected = Solve(model, maximize);
            for (const StateOrder order : {StateOrder::BreadthFirst, StateOrder::Topological}) {
                ExpectContains(Solve(Renumber(quotient, 0, order), maximize),
                               (expected.Lower + expected.Upper) / 2);
            }
        }
        const std::vector<uint64_t> breadthFirst = StateSequence(model, 0, StateOrder::BreadthFirst);
        const std::vector<uint64_t> topological = StateSequence(model, 0, StateOrder::Topological);
        ASSERT_EQ(topological.size(), breadthFirst.size());
        EXPECT_EQ(topological[0], 0u);
        std::map<uint64_t, uint64_t> before, after;
        for (uint64_t i = 0; i < topological.size(); ++i) {
            before[breadthFirst[i]] = i;
            after[topological[i]] = i;
        }
        for (const uint64_t s : topological) {
            for (uint64_t t = model.ChoiceTransitionStart[model.StateChoiceStart[s]];
                 t < model.ChoiceTransitionStart[model.StateChoiceStart[s + 1]]; ++t) {
                const uint64_t to = model.TransitionTarget[t];
                if (after[to] < after[s]) {
                    EXPECT_LT(before[to], before[s]) << s << " -> " << to;
                }
            }
        }
    }
}

// The coarsest bisimulation the plain way, as a reference: every round
// recomputes every state's signature (the set of its choices' exact
// distributions over the classes; none for targets and zero states) until
// the classes stop splitting.
std::vector<uint64_t> PlainBisimulation(const ReducedModel& model) {
    const uint64_t n = model.StateCount();
    std::vector<uint64_t> kind(n);
    for (uint64_t s = 0; s < n; ++s) kind[s] = TestBit(model.TargetStates, s) ? 0 : TestBit(model.ZeroStates, s) ? 1 : 2;
    std::vector<uint64_t> classOf = kind;
    std::vector<mpq_class> value;
    for (const TransitionValue& v : model.TransitionValues) value.push_back(SumExactlyBig(&v, 1));
    for (std::size_t classes = 0;;) {
        using Distribution = std::map<uint64_t, mpq_class>;
        std::map<std::pair<uint64_t, std::set<Distribution>>, uint64_t> number;
        std::vector<uint64_t> next(n);
        for (uint64_t s = 0; s < n; ++s) {
            std::set<Distribution> signature;
            for (uint64_t c = model.StateChoiceStart[s]; kind[s] == 2 && c < model.StateChoiceStart[s + 1]; ++c) {
                Distribution distribution;
                for (uint64_t t = model.ChoiceTransitionStart[c]; t < model.ChoiceTransitionStart[c + 1]; ++t) {
                    distribution[classOf[model.TransitionTarget[t]]] += value[t];
                }
                signature.insert(distribution);
            }
            next[s] = number.emplace(std::make_pair(classOf[s], signature), number.size()).first->second;
        }
        classOf = next;
        if (number.size() == classes) return classOf;
        classes = number.size();
    }
}

// Whether two numberings of the states make the same classes.
bool SamePartition(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
    std::map<uint64_t, uint64_t> ab, ba;
    for (std::size_t s = 0; s < a.size(); ++s) {
        if (ab.emplace(a[s], b[s]).first->second != b[s] || ba.emplace(b[s], a[s]).first->second != a[s]) return false;
    }
    return a.size() == b.size();
}

// The refinement, which looks only at what a split changes, finds the
// classes the plain rounds find: on every label of every shipped model
// (both directions) that reduces to at most 2000 states (the plain rounds
// take quadratic time on the long chains of the larger ones), and on random models of three copies of one part
// whose transitions may lead into another copy, with several transitions
// of a choice into one class (1/4 + 1/4 against 1/2 and 0.5), every other
// one with a copy broken.
TEST(Bisimulation, RefinementFindsThePlainCoarsestPartition) {
    std::vector<std::pair<std::string, ReducedModel>> models;
    for (const auto& entry : std::filesystem::directory_iterator(IICHECK_MODELS)) {
        if (!entry.is_directory()) continue;
        const std::string model = entry.path().filename().string();
        const std::string path = entry.path().string() + "/" + model + ".umb";
        std::ifstream in(path, std::ios::binary);
        if (!in) continue;
        const Model data = ParseUmb(std::string(std::istreambuf_iterator<char>(in), {}), path, kDefaultSumTolerance);
        for (std::size_t label = 0; label < data.Labels.Count(); ++label) {
            const std::string name = std::string(data.Labels.Name(label));
            if (name == "init" || name == "deadlock") continue;
            for (const bool maximize : {true, false}) {
                PropertySpec property;
                property.Maximize = maximize;
                property.Initial = data.Initial;
                std::vector<std::string> notes;
                property.Target = StatesWithAnyLabel(data.Labels, name, data.Mdp.StateCount, notes);
                ReducedModel reduced = Reduce(data.Mdp, property, Analyse(data.Mdp, property));
                if (reduced.StateCount() <= 2000) models.emplace_back(model + " " + name, std::move(reduced));
            }
        }
    }
    EXPECT_GE(models.size(), 16u);
    const std::vector<std::vector<const char*>> kSplits = {
        {"1"}, {"1/2", "1/2"}, {"0.5", "1/4", "1/4"}, {"1/4", "1/4", "1/4", "1/4"}, {"1/3", "1/6", "0.5"}};
    for (uint64_t seed = 1; seed <= 60; ++seed) {
        std::mt19937_64 random(seed);
        const uint64_t part = 3 + random() % 10;
        const uint64_t target = 3 * part;
        // Per local state, its choices; per transition: (copy offset, local state or the target or zero).
        std::vector<std::vector<std::vector<std::pair<uint64_t, uint64_t>>>> choices(part);
        std::vector<std::vector<std::size_t>> splits(part);
        for (uint64_t i = 0; i < part; ++i) {
            for (uint64_t c = 1 + random() % 3; c > 0; --c) {
                const std::size_t split = random() % kSplits.size();
                splits[i].push_back(split);
                choices[i].emplace_back();
                for (std::size_t t = 0; t < kSplits[split].size(); ++t) {
                    choices[i].back().emplace_back(random() % 3, random() % (part + 2));
                }
            }
        }
        const uint64_t broken = seed % 2 == 0 ? random() % target : target;
        std::vector<std::string> lines;
        for (uint64_t s = 0; s < target; ++s) {
            const uint64_t copy = s / part, i = s % part;
            for (uint64_t c = 0; c < choices[i].size(); ++c) {
                for (std::size_t t = 0; t < choices[i][c].size(); ++t) {
                    const auto [offset, local] = choices[i][c][t];
                    const uint64_t to = local < part ? (copy + offset) % 3 * part + local : target + local - part;
                    lines.push_back(std::to_string(s) + " " + std::to_string(c) + " " + std::to_string(to) + " " +
                                    kSplits[splits[i][c]][t]);
                }
            }
            if (s == broken) lines.push_back(std::to_string(s) + " " + std::to_string(choices[i].size()) + " " +
                                             std::to_string(target) + " 1");
        }
        models.emplace_back("random " + std::to_string(seed), ModelOf(target + 2, lines, {target}, {target + 1}));
    }
    for (const auto& [name, model] : models) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(SamePartition(BisimulationClasses(model), PlainBisimulation(model)));
        // In steps of a few records of work, as the race runs it: the same
        // quotient as in one go.
        BisimulationStats whole, stepwise;
        const ModelSize quotient = SizeOf(Bisimulate(model, whole));
        Refining refining = StartBisimulation(model);
        for (uint64_t step = 1; !ContinueBisimulation(*refining, BisimulationWork(*refining) + step); step += 3) {
        }
        const ModelSize stepped = SizeOf(FinishBisimulation(std::move(refining), model, stepwise));
        EXPECT_EQ(std::tie(stepped.States, stepped.Choices, stepped.Transitions),
                  std::tie(quotient.States, quotient.Choices, quotient.Transitions));
        EXPECT_EQ(stepwise.Rounds, whole.Rounds);
    }
}

// The race between the bisimulation and the iterations, on the consensus
// protocol (symmetric: its quotient is a hundredth of it): iterations that
// settle at once keep the collapsed model, numbered for the initial state,
// and the bisimulation ends there; iterations that never settle get turns
// twice as long each time until the refinement ends with the same quotient
// as without the race.
TEST(Bisimulation, RaceKeepsTheModelThatEndsFirst) {
    generator::StringSink tra, lab;
    generator::Consensus(5, 2).Write(tra, lab);
    const Model data = ParseTra(tra.Text, "c.tra", lab.Text, "c.lab", kDefaultSumTolerance);
    const Property property = ShorthandProperty("target2", "", true);
    PrecomputeOptions options;
    Prepared alone;
    Prepare(data, property, true, options, alone);
    options.RaceTransitions = 0;
    for (const int32_t settlesAt : {1, std::numeric_limits<int32_t>::max()}) {
        SCOPED_TRACE(settlesAt);
        std::vector<int32_t> turns;
        const TrialRun trial = [&](const ReducedModel& model, std::size_t initial, int32_t sweeps) {
            EXPECT_EQ(initial, 0u);
            EXPECT_EQ(model.Initial[initial], 0u);
            turns.push_back(sweeps);
            return sweeps >= settlesAt;
        };
        Prepared prepared;
        Prepare(data, prepared);
        std::vector<std::string> notes;
        PrepareProperty(prepared, property, true, options, true, notes, trial);
        ASSERT_FALSE(turns.empty());
        const ModelSize reduced = SizeOf(ReduceFrom(prepared, 0));
        if (settlesAt == 1) {
            EXPECT_EQ(turns.size(), 1u);
            EXPECT_EQ(prepared.Settled, 0u);
            EXPECT_EQ(prepared.Bisimulation.Why, BisimulationStop::Outrun);
            EXPECT_EQ(reduced.States, prepared.Collapsed.States);
        } else {
            for (std::size_t k = 1; k < turns.size(); ++k) EXPECT_EQ(turns[k], 2 * turns[k - 1]);
            EXPECT_EQ(prepared.Settled, kNotOrdered);
            EXPECT_FALSE(prepared.Bisimulation.Stopped);
            EXPECT_EQ(reduced.States, alone.Bisimulation.After.States);
            EXPECT_EQ(reduced.Transitions, alone.Bisimulation.After.Transitions);
        }
    }
}

// On a large model without symmetry the refinement gives up after a few
// rounds, when the classes multiply; on a large symmetric one (the consensus
// protocol) it does not, and the quotient is a fraction of the model.
TEST(Bisimulation, GivesUpEarlyOnlyWithoutSymmetry) {
    struct Case {
        const char* Name;
        std::function<generator::Totals(generator::StringSink&, generator::StringSink&)> Write;
        const char* Target;
        bool Stopped;
    };
    const Case cases[] = {
        {"random", [](auto& tra, auto& lab) { return generator::WriteModel(400000, 7, false, tra, lab); }, "goal", true},
        {"consensus", [](auto& tra, auto& lab) { return generator::Consensus(5, 2).Write(tra, lab); }, "target2", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        generator::StringSink tra, lab;
        c.Write(tra, lab);
        const Model data = ParseTra(tra.Text, "g.tra", lab.Text, "g.lab", kDefaultSumTolerance);
        PropertySpec property;
        property.Initial = data.Initial;
        std::vector<std::string> notes;
        property.Target = StatesWithAnyLabel(data.Labels, c.Target, data.Mdp.StateCount, notes);
        ReducedModel model = Reduce(data.Mdp, property, Analyse(data.Mdp, property));
        ASSERT_GE(model.StateCount(), uint64_t{1} << 16);
        BisimulationStats stats;
        model = Bisimulate(std::move(model), stats);
        EXPECT_EQ(stats.Stopped, c.Stopped);
        if (c.Stopped) {
            EXPECT_EQ(stats.Why, BisimulationStop::Growth);
            EXPECT_LE(stats.Rounds, 8u);
        } else {
            EXPECT_LT(10 * stats.After.States, stats.Before.States);
        }
    }
}

// The shipped models that iicheck's text reader does not take (DTMCs, four
// initial states), read from UMB: with and without the reductions, each
// initial state's interval contains the exact answer (models/*/README.md).
// The analysis and the bisimulation run once, the order per initial state.
TEST(Bisimulation, ShippedModelsKeepTheirAnswersForEveryInitialState) {
    struct Case {
        const char* Model;
        const char* Target;
        const char* Avoid;
        bool Maximize;
        std::vector<double> Exact;  // per initial state
    };
    const Case cases[] = {
        {"dice", "target1", "", true, {1.0 / 6}},
        {"dice", "target2", "avoid", true, {0.25}},
        {"brp_N64_MAX4", "target1", "", true, {1.504045493935057524949083280916191616808e-6}},
        {"brp_N64_MAX4", "target1", "avoid", true, {7.520230297368473897681683761317237130755e-7}},
        {"dining_crypt3", "target1", "", false, {0, 0.25, 0.25, 0.25}},
        {"dining_crypt3", "target2", "", true, {0.25, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Model) + " " + c.Target);
        const std::string path = std::string(IICHECK_MODELS) + "/" + c.Model + "/" + c.Model + ".umb";
        std::ifstream in(path, std::ios::binary);
        const Model data =
            ParseUmb(std::string(std::istreambuf_iterator<char>(in), {}), path, kDefaultSumTolerance);
        PropertySpec property;
        property.Maximize = c.Maximize;
        property.Initial = data.Initial;
        ASSERT_EQ(property.Initial.size(), c.Exact.size());
        std::vector<std::string> notes;
        property.Target = StatesWithAnyLabel(data.Labels, c.Target, data.Mdp.StateCount, notes);
        if (*c.Avoid != 0) property.Avoid = StatesWithAnyLabel(data.Labels, c.Avoid, data.Mdp.StateCount, notes);
        for (const bool reduce : {false, true}) {
            ReducedModel model = Reduce(data.Mdp, property, Analyse(data.Mdp, property, reduce));
            BisimulationStats stats;
            if (reduce) model = Bisimulate(std::move(model), stats);
            for (std::size_t i = 0; i < c.Exact.size(); ++i) {
                const StateOrder order = reduce ? StateOrder::Topological : StateOrder::BreadthFirst;
                ExpectContains(Solve(Renumber(model, i, order), c.Maximize), c.Exact[i]);
            }
        }
    }
}

// After SIGINT or SIGTERM, every loop of reading and precomputation stops
// at once, saying which phase it was in.
TEST(Precompute, EveryLoopStopsWhenAStopIsAskedFor) {
    const Fixture f = Make(kExample, 1, {5}, true);
    const Analysis analysis = Analyse(f.Mdp, f.Property);
    const ReducedModel reduced = Reduce(f.Mdp, f.Property, analysis);
    BisimulationStats stats;
    Model model;
    const std::pair<const char*, std::function<void()>> phases[] = {
        {"reading", [&] { ParseTransitions(kExample, "m.tra", kDefaultSumTolerance, model); }},
        {"reading", [&] { ParseLabels("0=\"init\"\n0: 0\n", "m.lab", 11); }},
        {"reading", [&] { CheckStochastic(f.Mdp, 0, [](uint64_t) { return std::string(); }); }},
        {"precomputing", [&] { Analyse(f.Mdp, f.Property); }},
        {"precomputing", [&] { Reduce(f.Mdp, f.Property, analysis); }},
        {"precomputing", [&] { Bisimulate(Reduce(f.Mdp, f.Property, analysis), stats); }},
        {"precomputing", [&] { Renumber(reduced, 0, StateOrder::Topological); }},
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
