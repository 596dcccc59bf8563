#include "Pipeline.hpp"

#include <chrono>
#include <utility>

namespace iicheck {
namespace {

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void Prepare(ExplicitMdp mdp, const Labelling& labels, const CommandLine& line, Prepared& prepared) {
    const auto start = std::chrono::steady_clock::now();
    const uint64_t states = mdp.StateCount;
    const uint64_t choices = mdp.ChoiceCount();
    const uint64_t transitions = mdp.TransitionCount();
    PropertySpec property;
    property.Maximize = line.Maximize;
    property.Initial = InitialState(labels, mdp.StateCount);
    property.Target = StatesWithAnyLabel(labels, line.Target, mdp.StateCount);
    if (!line.Avoid.empty()) property.Avoid = StatesWithAnyLabel(labels, line.Avoid, mdp.StateCount);
    Analysis analysis = Analyse(mdp, property);
    const PrecomputeCounts counts = Count(analysis);
    ReducedModel reduced = Reduce(std::move(mdp), property, std::move(analysis));
    // Nothing of a refused model reaches prepared.
    prepared.States = states;
    prepared.Choices = choices;
    prepared.Transitions = transitions;
    prepared.Counts = counts;
    prepared.Reduced = std::move(reduced);
    prepared.PrecomputeSeconds = Since(start);
}

Prepared PrepareTexts(std::string_view transitions, const std::string& transitionsName,
                      std::string_view labels, const std::string& labelsName,
                      const CommandLine& line) {
    const auto start = std::chrono::steady_clock::now();
    Prepared prepared;
    ExplicitMdp mdp =
        ParseTransitions(transitions, transitionsName, line.SumTolerance, prepared.Notes);
    const Labelling labelling = ParseLabels(labels, labelsName, mdp.StateCount);
    prepared.ReadSeconds = Since(start);
    Prepare(std::move(mdp), labelling, line, prepared);
    return prepared;
}

}  // namespace iicheck
