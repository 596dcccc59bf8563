#include "pipeline/Pipeline.hpp"

#include "analysis/Rewards.hpp"
#include "analysis/StateOrder.hpp"
#include "support/Interrupt.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>

namespace iicheck {
namespace {

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void Prepare(Model model, Prepared& prepared) {
    prepared.States = model.Mdp.StateCount;
    prepared.Choices = model.Mdp.ChoiceCount();
    prepared.Transitions = model.Mdp.TransitionCount();
    prepared.Dtmc = model.Dtmc;
    prepared.Notes = std::move(model.Notes);
    prepared.Initial = std::move(model.Initial);
    prepared.Mdp = std::move(model.Mdp);
    prepared.Labels = std::move(model.Labels);
    prepared.Rewards = std::move(model.Rewards);
}

namespace {

std::vector<InitialAnswer> SourcesOf(const ReducedModel& reduced, bool reward) {
    std::vector<InitialAnswer> sources(reduced.Initial.size());
    std::unordered_map<uint64_t, std::size_t> first;  // the first initial state at a reduced state
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const uint64_t state = reduced.Initial[i];
        if (TestBit(reduced.TargetStates, state) || TestBit(reduced.ZeroStates, state)) {
            sources[i].Source = AnswerSource::Precomputation;
            sources[i].Probability = reward ? (TestBit(reduced.TargetStates, state) ? 0.0 : INFINITY)
                                             : (TestBit(reduced.TargetStates, state) ? 1.0 : 0.0);
            continue;
        }
        const auto [at, fresh] = first.emplace(state, i);
        if (!fresh) {
            sources[i].Source = AnswerSource::Earlier;
            sources[i].Earlier = at->second;
        }
    }
    return sources;
}

// Estimates that put the work of the race in one unit, the time of one
// transition in a sweep of the iterations (docs/performance.md): reading a
// transition and the analyses after it cost 18 (the random model, whose
// sweeps are slow) to 130 (consensus) of them, 32 is taken; a record that
// the refinement looks at costs about 16.
constexpr uint64_t kSweepsPerReadTransition = 32;
constexpr uint64_t kSweepsPerRefinementRecord = 16;

int32_t Sweeps(uint64_t sweeps) {
    return static_cast<int32_t>(std::min<uint64_t>(sweeps, std::numeric_limits<int32_t>::max()));
}

// See PrepareProperty. reduced is numbered for initial state i already.
ReducedModel Race(Prepared& prepared, ReducedModel reduced, std::size_t i, const TrialRun& trial) {
    const uint64_t transitions = std::max<uint64_t>(reduced.TransitionCount(), 1);
    BisimulationStats& stats = prepared.Bisimulation;
    auto timed = [&](double& seconds, auto&& work) {
        const auto start = std::chrono::steady_clock::now();
        auto result = work();
        seconds += Since(start);
        return result;
    };
    Refining refining = timed(prepared.Phases.Bisimulation, [&] { return StartBisimulation(reduced); });
    // The cheap evidence first: the first passes (where the refinement may
    // give up at once) and rounds worth a quarter of the work so far, in
    // which the stop rules may see a model without symmetry.
    bool ended = timed(prepared.Phases.Bisimulation, [&] {
        return ContinueBisimulation(*refining, 0) ||
               ContinueBisimulation(*refining, BisimulationWork(*refining) + 1) ||
               ContinueBisimulation(*refining, BisimulationWork(*refining) + kSweepsPerReadTransition / 4 *
                                                                                 prepared.Transitions /
                                                                                 kSweepsPerRefinementRecord);
    });
    // Then iterations worth a quarter of the work so far, at least one
    // sweep.
    uint64_t sweeps = std::max<uint64_t>(1, kSweepsPerReadTransition / 4 * prepared.Transitions / transitions);
    bool first = true;
    while (!ended) {
        const double before = prepared.Phases.Trials;
        const bool settled = timed(prepared.Phases.Trials, [&] { return trial(reduced, i, Sweeps(sweeps)); });
        if (settled) {
            // Its time is the run's.
            prepared.Phases.Trials = before;
            prepared.Settled = i;
            // Outrun, with the rounds it did.
            return FinishBisimulation(std::move(refining), std::move(reduced), stats);
        }
        if (InterruptRequested()) throw Interrupted(kPrecomputing);
        // The refinement's turn: up to four times the time of the sweeps
        // just given up, more after the first (which only tried whether
        // the iterations are cheap).
        sweeps *= 2;
        const uint64_t budget = BisimulationWork(*refining) +
                                4 * (first ? sweeps : sweeps / 2) * transitions / kSweepsPerRefinementRecord;
        first = false;
        ended = timed(prepared.Phases.Bisimulation, [&] { return ContinueBisimulation(*refining, budget); });
    }
    return timed(prepared.Phases.Bisimulation,
                 [&] { return FinishBisimulation(std::move(refining), std::move(reduced), stats); });
}

// The target (and avoid) states of a property, from the labels.
PropertySpec SpecOf(const Prepared& prepared, const Property& property, bool maximize,
                    std::vector<std::string>& notes) {
    const uint64_t states = prepared.Mdp.StateCount;
    PropertySpec spec;
    spec.Maximize = maximize;
    spec.Initial = prepared.Initial;
    spec.Target = EvaluateLabels(property.Target, prepared.Labels, states, notes);
    if (property.HasAvoid) spec.Avoid = EvaluateLabels(property.Avoid, prepared.Labels, states, notes);
    return spec;
}

// Starts the current property afresh. Released before the analysis, so
// that they are not in its peak of memory: the previous property's reduced
// model, and the labels after the last property's states.
void StartProperty(Prepared& prepared, const PrecomputeOptions& options, bool last, bool reward) {
    prepared.Reward = reward;
    prepared.Reduced = ReducedModel();
    if (last) prepared.Labels = Labelling();
    prepared.Phases = PhaseSeconds();
    prepared.Bisimulation = BisimulationStats();
    prepared.BisimulationSeconds = 0;
    prepared.OrderedFor = kNotOrdered;
    prepared.Settled = kNotOrdered;
    prepared.Order = options.Order;
}

// The quotient by the analysis; after the last property it takes the model.
ReducedModel Collapse(Prepared& prepared, const PropertySpec& spec, Analysis analysis, bool last) {
    const auto collapseStart = std::chrono::steady_clock::now();
    ReducedModel reduced = last ? Reduce(std::move(prepared.Mdp), spec, std::move(analysis))
                                : Reduce(prepared.Mdp, spec, std::move(analysis));
    prepared.Phases.Collapse = Since(collapseStart);
    prepared.Collapsed = SizeOf(reduced);
    return reduced;
}

}  // namespace

void PrepareProperty(Prepared& prepared, const Property& property, bool maximize, const PrecomputeOptions& options,
                     bool last, std::vector<std::string>& notes, const TrialRun& trial) {
    const auto start = std::chrono::steady_clock::now();
    const PropertySpec spec = SpecOf(prepared, property, maximize, notes);
    StartProperty(prepared, options, last, false);
    const auto analysisStart = std::chrono::steady_clock::now();
    // The predecessor lists serve every property of the model: built once
    // when more than one comes, released with the model.
    if (!last && !prepared.Predecessors.Built) prepared.Predecessors = BuildModelPredecessors(prepared.Mdp);
    Analysis analysis = Analyse(prepared.Mdp, spec, options.ProbabilityOne, &prepared.Predecessors);
    if (last) prepared.Predecessors = ModelPredecessors();
    prepared.Counts = Count(analysis);
    prepared.Phases.Analysis = Since(analysisStart);
    ReducedModel reduced = Collapse(prepared, spec, std::move(analysis), last);
    // The bisimulation does not depend on the initial state; the order does.
    prepared.Sources = SourcesOf(reduced, false);
    std::size_t called = kNotOrdered;  // the one initial state that needs a call
    std::size_t calls = 0;
    for (std::size_t i = 0; i < prepared.Sources.size(); ++i) {
        if (prepared.Sources[i].Source == AnswerSource::Library) {
            called = i;
            ++calls;
        }
    }
    if (options.Bisimulation && trial && calls == 1 && reduced.TransitionCount() >= options.RaceTransitions) {
        // The turns of the iterations take the collapsed model in
        // breadth-first order, as it comes (only a search confirms it): the
        // topological order would cost a pass or two over the model, which
        // the turns are meant to risk only a little of. A turn that settles
        // needed so few sweeps that the order hardly matters.
        const auto orderStart = std::chrono::steady_clock::now();
        reduced = Renumber(std::move(reduced), called, StateOrder::BreadthFirst);
        prepared.Phases.Order += Since(orderStart);
        reduced = Race(prepared, std::move(reduced), called, trial);
        if (prepared.Settled != kNotOrdered) {
            prepared.OrderedFor = called;
            prepared.Order = StateOrder::BreadthFirst;
        }
    } else if (options.Bisimulation) {
        const auto bisimulationStart = std::chrono::steady_clock::now();
        reduced = Bisimulate(std::move(reduced), prepared.Bisimulation);
        prepared.Phases.Bisimulation = Since(bisimulationStart);
        prepared.Sources = SourcesOf(reduced, false);
    }
    prepared.BisimulationSeconds = prepared.Phases.Bisimulation;
    prepared.Reduced = std::move(reduced);
    prepared.PrecomputeSeconds = Since(start);
}

void PrepareRewardProperty(Prepared& prepared, const Property& property, bool maximize,
                           const PrecomputeOptions& options, bool last, std::vector<std::string>& notes) {
    const auto start = std::chrono::steady_clock::now();
    PropertySpec spec = SpecOf(prepared, property, maximize, notes);
    prepared.RewardIndex = SelectRewards(prepared.Rewards, property.RewardNamed, property.RewardName);
    StartProperty(prepared, options, last, true);
    if (last) prepared.Predecessors = ModelPredecessors();
    const auto analysisStart = std::chrono::steady_clock::now();
    ChoiceRewards folded = FoldRewards(prepared.Mdp, prepared.Rewards[prepared.RewardIndex]);
    prepared.InexactRewards = folded.Inexact;
    spec.ChoiceRewards = std::move(folded.Values);
    Analysis analysis = AnalyseRewards(prepared.Mdp, spec);
    prepared.Counts = Count(analysis);
    prepared.Phases.Analysis = Since(analysisStart);
    ReducedModel reduced = Collapse(prepared, spec, std::move(analysis), last);
    prepared.Sources = SourcesOf(reduced, true);
    prepared.Reduced = std::move(reduced);
    prepared.PrecomputeSeconds = Since(start);
}

void Prepare(Model model, const Property& property, bool maximize, const PrecomputeOptions& options,
             Prepared& prepared) {
    // Nothing of a refused model reaches prepared.
    Prepared kept;
    Prepare(std::move(model), kept);
    std::vector<std::string> notes;
    if (property.Reward) {
        PrepareRewardProperty(kept, property, maximize, options, true, notes);
    } else {
        PrepareProperty(kept, property, maximize, options, true, notes);
    }
    kept.Notes.insert(kept.Notes.end(), notes.begin(), notes.end());
    prepared = std::move(kept);
}

const std::vector<InitialAnswer>& AnswerSources(const Prepared& prepared) { return prepared.Sources; }

ReducedModel ReduceFrom(Prepared& prepared, std::size_t i) {
    const auto start = std::chrono::steady_clock::now();
    const bool keep = i + 1 < prepared.Initial.size();
    ReducedModel reduced = prepared.OrderedFor == i ? (keep ? prepared.Reduced : std::move(prepared.Reduced))
                           : keep                   ? Renumber(prepared.Reduced, i, prepared.Order)
                                                    : Renumber(std::move(prepared.Reduced), i, prepared.Order);
    prepared.PrecomputeSeconds += Since(start);
    prepared.Phases.Order += Since(start);
    return reduced;
}

}  // namespace iicheck
