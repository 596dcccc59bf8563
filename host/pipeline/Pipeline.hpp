// From a model as read to the models the library gets, as iicheck does it:
// the model kept once for all properties; per property its target and
// avoid states from the labels, and the precomputation and reductions that
// do not depend on the initial state (once for all of them: the analysis,
// the quotient, the bisimulation); and the order of the states from each
// initial state. Shared by iicheck, its benchmarks and its fuzz target.
#pragma once

#include "analysis/Bisimulation.hpp"
#include "analysis/Precompute.hpp"
#include "formats/ModelReader.hpp"
#include "properties/Property.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace iicheck {

// Where the answer for an initial state of the current property comes
// from: a library call of its own; the precomputation, which found it a
// target or probability-1 state (1) or a probability-0 state (0) (for an
// expected reward: a target (0) or a state of infinite value); or the
// call of an earlier initial state that is the same state of the reduced
// model (in the same end component or bisimulation class, which have the
// same minimum and maximum probabilities).
enum class AnswerSource : uint8_t { Library, Precomputation, Earlier };
struct InitialAnswer {
    AnswerSource Source = AnswerSource::Library;
    double Probability = 0;   // Precomputation: 0 or 1 (an expected reward: 0 or +inf)
    std::size_t Earlier = 0;  // Earlier: the index of that initial state, which has a call of its own
};

constexpr std::size_t kNotOrdered = SIZE_MAX;

// The times of a property's phases after reading, in seconds.
struct PhaseSeconds {
    double Analysis = 0;      // probability 0 and 1, end components (Analyse)
    double Collapse = 0;      // the quotient by them (Reduce)
    double Bisimulation = 0;
    double Order = 0;         // numbering the states, summed over the initial states (ReduceFrom)
    double Trials = 0;        // iterations begun in the race with the bisimulation and given up
};

struct Prepared {
    uint64_t States = 0;  // of the model as read
    uint64_t Choices = 0;
    uint64_t Transitions = 0;
    bool Dtmc = false;
    std::vector<std::string> Notes;  // the reader's notes
    std::vector<uint64_t> Initial;   // the initial states, ascending
    double ReadSeconds = 0;
    // The model as read, one copy for every property; the last property
    // releases it.
    ExplicitMdp Mdp;
    Labelling Labels;
    std::vector<RewardStructure> Rewards;  // the model's, for the properties
    ModelPredecessors Predecessors;  // of Mdp, when several properties use it
    // The current property (PrepareProperty).
    PrecomputeCounts Counts;         // over the states reachable from any initial state
    ModelSize Collapsed;             // before the bisimulation
    BisimulationStats Bisimulation;  // when the options ask for it
    double PrecomputeSeconds = 0;    // its analysis and reductions so far
    double BisimulationSeconds = 0;  // the part the bisimulation took
    PhaseSeconds Phases;             // the parts of PrecomputeSeconds
    // Its reduced model for every initial state, in the order it had; the
    // last ReduceFrom releases it.
    ReducedModel Reduced;
    StateOrder Order = StateOrder::Topological;
    std::vector<InitialAnswer> Sources;  // AnswerSources
    // The initial state (an index into Initial) that Reduced is numbered
    // for already (in breadth-first order, Order says so), or kNotOrdered;
    // and the one whose run the race settled (TrialRun), or kNotOrdered.
    std::size_t OrderedFor = kNotOrdered;
    std::size_t Settled = kNotOrdered;
    // An expected reward (PrepareRewardProperty): the structure Rewards[RewardIndex],
    // and its choices whose rewards the library gets rounded (ChoiceRewards
    // in Rewards.hpp), which leaves the bounds without guarantee.
    bool Reward = false;
    std::size_t RewardIndex = 0;
    uint64_t InexactRewards = 0;
};

// Iterates model, the model the library gets for the initial state
// Initial[initial], numbered for it, with at most sweeps iterations; true
// when that settled its answer (the caller keeps the run), false when the
// iterations stopped at that limit. The race between iterating and the
// bisimulation (PrepareProperty) calls it.
using TrialRun = std::function<bool(const ReducedModel& model, std::size_t initial, int32_t sweeps)>;

// Keeps a model of any format (its reader has run CheckChoices) for the
// properties. Sets the fields above the current property's.
void Prepare(Model model, Prepared& prepared);

// The part of a property that does not depend on the initial state: its
// target and avoid states, the analysis of the states reachable from any
// initial state, the quotient and (as options asks) the bisimulation,
// replacing the previous property's. last: no property follows, so the
// labels go now and the reduction takes the model. The labels' notes (a
// label DRN does not name) are appended to notes. After an exception (an
// unknown label, an interrupt) prepared serves no further property.
//
// With trial, on a large model with one initial state that needs a call,
// the bisimulation races the iterations on the model without it, so that
// it never costs much more than it saves, which it cannot know in advance.
// First the refinement's cheap evidence: its first passes and rounds worth
// a quarter of the work so far (read and analysed), where its stop rules
// may see a model without symmetry. Then the iterations, on the collapsed
// model in breadth-first order, for as many sweeps as cost about a quarter
// of the work so far; when they settle the answer, the bisimulation is not
// done (Outrun), prepared.Settled names the run and the model stays in that
// order. Otherwise the refinement and the iterations take turns, each turn
// of the iterations twice as long as the last and starting afresh, each of
// the refinement about four times as long (in estimated time), until one
// of them ends. The quotient is exact either way; which model is iterated
// depends only on the model and the property, never on the clock.
void PrepareProperty(Prepared& prepared, const Property& property, bool maximize, const PrecomputeOptions& options,
                     bool last, std::vector<std::string>& notes, const TrialRun& trial = nullptr);

// PrepareProperty for an expected reward until the target (property.Reward):
// the structure the property names, folded into one reward per choice; the
// analysis of analysis/Rewards.hpp and the quotient. The bisimulation is
// not run (it does not tell choices of different rewards apart), whatever
// options says.
void PrepareRewardProperty(Prepared& prepared, const Property& property, bool maximize,
                           const PrecomputeOptions& options, bool last, std::vector<std::string>& notes);

// Prepare and PrepareProperty for one property, the last (the benchmarks).
void Prepare(Model model, const Property& property, bool maximize, const PrecomputeOptions& options,
             Prepared& prepared);

// For every initial state, in order, as PrepareProperty found them.
const std::vector<InitialAnswer>& AnswerSources(const Prepared& prepared);

// The model the library gets for the initial state prepared.Initial[i],
// which becomes its state 0, in the order the options chose. The one for
// the last initial state takes the kept reduced model, the others copy it:
// it comes last.
ReducedModel ReduceFrom(Prepared& prepared, std::size_t i);

}  // namespace iicheck
