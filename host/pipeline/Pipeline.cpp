#include "pipeline/Pipeline.hpp"

#include "analysis/Rewards.hpp"
#include "analysis/StateOrder.hpp"

#include <chrono>
#include <cmath>
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

void PrepareProperty(Prepared& prepared, const Property& property, bool maximize, const PrecomputeOptions& options,
                     bool last, std::vector<std::string>& notes) {
    const auto start = std::chrono::steady_clock::now();
    prepared.Reward = false;
    const uint64_t states = prepared.Mdp.StateCount;
    PropertySpec spec;
    spec.Maximize = maximize;
    spec.Initial = prepared.Initial;
    spec.Target = EvaluateLabels(property.Target, prepared.Labels, states, notes);
    if (property.HasAvoid) spec.Avoid = EvaluateLabels(property.Avoid, prepared.Labels, states, notes);
    // Released before the analysis, so that they are not in its peak of
    // memory: the previous property's reduced model, and the labels after
    // the last property's states.
    prepared.Reduced = ReducedModel();
    if (last) prepared.Labels = Labelling();
    prepared.Phases = PhaseSeconds();
    const auto analysisStart = std::chrono::steady_clock::now();
    Analysis analysis = Analyse(prepared.Mdp, spec, options.ProbabilityOne);
    prepared.Counts = Count(analysis);
    prepared.Phases.Analysis = Since(analysisStart);
    const auto collapseStart = std::chrono::steady_clock::now();
    ReducedModel reduced = last ? Reduce(std::move(prepared.Mdp), spec, std::move(analysis))
                                : Reduce(prepared.Mdp, spec, std::move(analysis));
    prepared.Phases.Collapse = Since(collapseStart);
    // The bisimulation does not depend on the initial state; the order does.
    prepared.Collapsed = SizeOf(reduced);
    prepared.Bisimulation = BisimulationStats();
    const auto bisimulationStart = std::chrono::steady_clock::now();
    if (options.Bisimulation) reduced = Bisimulate(std::move(reduced), prepared.Bisimulation);
    prepared.BisimulationSeconds = Since(bisimulationStart);
    prepared.Phases.Bisimulation = prepared.BisimulationSeconds;
    prepared.Reduced = std::move(reduced);
    prepared.Order = options.Order;
    prepared.PrecomputeSeconds = Since(start);
}

void PrepareRewardProperty(Prepared& prepared, const Property& property, bool maximize,
                           const PrecomputeOptions& options, bool last, std::vector<std::string>& notes) {
    const auto start = std::chrono::steady_clock::now();
    const uint64_t states = prepared.Mdp.StateCount;
    PropertySpec spec;
    spec.Maximize = maximize;
    spec.Initial = prepared.Initial;
    spec.Target = EvaluateLabels(property.Target, prepared.Labels, states, notes);
    prepared.Reward = true;
    prepared.RewardIndex = SelectRewards(prepared.Rewards, property.RewardNamed, property.RewardName);
    prepared.Reduced = ReducedModel();
    if (last) prepared.Labels = Labelling();
    prepared.Phases = PhaseSeconds();
    const auto analysisStart = std::chrono::steady_clock::now();
    ChoiceRewards folded = FoldRewards(prepared.Mdp, prepared.Rewards[prepared.RewardIndex]);
    prepared.InexactRewards = folded.Inexact;
    spec.ChoiceRewards = std::move(folded.Values);
    Analysis analysis = AnalyseRewards(prepared.Mdp, spec);
    prepared.Counts = Count(analysis);
    prepared.Phases.Analysis = Since(analysisStart);
    const auto collapseStart = std::chrono::steady_clock::now();
    ReducedModel reduced = last ? Reduce(std::move(prepared.Mdp), spec, std::move(analysis))
                                : Reduce(prepared.Mdp, spec, std::move(analysis));
    prepared.Phases.Collapse = Since(collapseStart);
    prepared.Collapsed = SizeOf(reduced);
    prepared.Bisimulation = BisimulationStats();
    prepared.BisimulationSeconds = 0;
    prepared.Reduced = std::move(reduced);
    prepared.Order = options.Order;
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

std::vector<InitialAnswer> AnswerSources(const Prepared& prepared) {
    const ReducedModel& reduced = prepared.Reduced;
    std::vector<InitialAnswer> sources(reduced.Initial.size());
    std::unordered_map<uint64_t, std::size_t> first;  // the first initial state at a reduced state
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const uint64_t state = reduced.Initial[i];
        if (TestBit(reduced.TargetStates, state) || TestBit(reduced.ZeroStates, state)) {
            sources[i].Source = AnswerSource::Precomputation;
            sources[i].Probability = prepared.Reward ? (TestBit(reduced.TargetStates, state) ? 0.0 : INFINITY)
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

ReducedModel ReduceFrom(Prepared& prepared, std::size_t i) {
    const auto start = std::chrono::steady_clock::now();
    ReducedModel reduced = i + 1 < prepared.Initial.size() ? Renumber(prepared.Reduced, i, prepared.Order)
                                                           : Renumber(std::move(prepared.Reduced), i, prepared.Order);
    prepared.PrecomputeSeconds += Since(start);
    prepared.Phases.Order += Since(start);
    return reduced;
}

}  // namespace iicheck
