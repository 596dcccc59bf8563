#include "Pipeline.hpp"

#include <chrono>
#include <utility>

namespace iicheck {
namespace {

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The analysis of the states reachable from any initial state. With several,
// it runs once from a state added for it, whose one choice leads to each of
// them, and which is removed again: nothing leads to it, so it lies in no
// end component and changes the kind of no other state, and no reduction
// from an initial state reaches it.
Analysis AnalyseFromAll(ExplicitMdp& mdp, PropertySpec& property, const std::vector<uint64_t>& initial) {
    property.Initial = initial.front();
    if (initial.size() == 1) return Analyse(mdp, property);
    const uint64_t states = mdp.StateCount;
    const uint64_t transitions = mdp.TransitionCount();
    const std::size_t words = property.Target.size();
    TransitionValue share;
    share.Numerator = 1;
    share.Denominator = static_cast<int64_t>(initial.size());
    mdp.StateChoiceStart.push_back(mdp.ChoiceCount() + 1);
    mdp.ChoiceTransitionStart.push_back(transitions + initial.size());
    mdp.TransitionTarget.reserve(transitions + initial.size());
    mdp.TransitionTarget.insert(mdp.TransitionTarget.end(), initial.begin(), initial.end());
    mdp.TransitionValues.reserve(transitions + initial.size());
    mdp.TransitionValues.insert(mdp.TransitionValues.end(), initial.size(), share);
    mdp.StateCount = states + 1;
    property.Initial = states;
    property.Target.resize(EmptyBits(states + 1).size());
    if (!property.Avoid.empty()) property.Avoid.resize(property.Target.size());

    Analysis analysis = Analyse(mdp, property);

    mdp.StateCount = states;
    mdp.StateChoiceStart.pop_back();
    mdp.ChoiceTransitionStart.pop_back();
    mdp.TransitionTarget.resize(transitions);
    mdp.TransitionValues.resize(transitions);
    property.Target.resize(words);
    if (!property.Avoid.empty()) property.Avoid.resize(words);
    analysis.Kind.pop_back();
    analysis.Component.pop_back();
    analysis.Inside.pop_back();
    return analysis;
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
}

void PrepareProperty(Prepared& prepared, const Property& property, bool maximize, bool last,
                     std::vector<std::string>& notes) {
    const auto start = std::chrono::steady_clock::now();
    const uint64_t states = prepared.Mdp.StateCount;
    PropertySpec spec;
    spec.Maximize = maximize;
    spec.Target = EvaluateLabels(property.Target, prepared.Labels, states, notes);
    if (property.HasAvoid) spec.Avoid = EvaluateLabels(property.Avoid, prepared.Labels, states, notes);
    // Released before the analysis, so that they are not in its peak of
    // memory: the previous property's analysis, and the labels after the
    // last property's states.
    prepared.Found = Analysis();
    if (last) prepared.Labels = Labelling();
    Analysis analysis = AnalyseFromAll(prepared.Mdp, spec, prepared.Initial);
    prepared.Counts = Count(analysis);
    prepared.Property = std::move(spec);
    prepared.Found = std::move(analysis);
    prepared.LastProperty = last;
    prepared.PrecomputeSeconds = Since(start);
}

void Prepare(Model model, const CommandLine& line, Prepared& prepared) {
    // Nothing of a refused model reaches prepared.
    Prepared kept;
    Prepare(std::move(model), kept);
    std::vector<std::string> notes;
    PrepareProperty(kept, ShorthandProperty(line.Target, line.Avoid, line.Maximize), line.Maximize, true, notes);
    kept.Notes.insert(kept.Notes.end(), notes.begin(), notes.end());
    prepared = std::move(kept);
}

ReducedModel ReduceFrom(Prepared& prepared, std::size_t i) {
    const auto start = std::chrono::steady_clock::now();
    prepared.Property.Initial = prepared.Initial[i];
    ReducedModel reduced = !prepared.LastProperty || i + 1 < prepared.Initial.size()
                               ? Reduce(prepared.Mdp, prepared.Property, prepared.Found)
                               : Reduce(std::move(prepared.Mdp), prepared.Property, std::move(prepared.Found));
    prepared.PrecomputeSeconds += Since(start);
    return reduced;
}

}  // namespace iicheck
