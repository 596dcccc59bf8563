#include "Pipeline.hpp"

#include "StateOrder.hpp"

#include <chrono>
#include <utility>

namespace iicheck {
namespace {

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void Prepare(Model model, const CommandLine& line, Prepared& prepared) {
    const auto start = std::chrono::steady_clock::now();
    ExplicitMdp& mdp = model.Mdp;
    std::vector<std::string> notes = std::move(model.Notes);
    const uint64_t states = mdp.StateCount;
    const uint64_t choices = mdp.ChoiceCount();
    const uint64_t transitions = mdp.TransitionCount();
    PropertySpec property;
    property.Maximize = line.Maximize;
    property.Initial = model.Initial;
    property.Target = StatesWithAnyLabel(model.Labels, line.Target, mdp.StateCount, notes);
    if (!line.Avoid.empty()) {
        property.Avoid = StatesWithAnyLabel(model.Labels, line.Avoid, mdp.StateCount, notes);
    }
    model.Labels = Labelling();
    Analysis analysis = Analyse(mdp, property, line.Precompute.ProbabilityOne);
    const PrecomputeCounts counts = Count(analysis);
    ReducedModel reduced = Reduce(std::move(mdp), property, std::move(analysis));
    // The bisimulation does not depend on the initial state; the order does.
    const ModelSize collapsed = SizeOf(reduced);
    BisimulationStats bisimulation;
    const auto bisimulationStart = std::chrono::steady_clock::now();
    if (line.Precompute.Bisimulation) reduced = Bisimulate(std::move(reduced), bisimulation);
    const double bisimulationSeconds = Since(bisimulationStart);
    // Nothing of a refused model reaches prepared.
    prepared.States = states;
    prepared.Choices = choices;
    prepared.Transitions = transitions;
    prepared.Dtmc = model.Dtmc;
    prepared.Notes = std::move(notes);
    prepared.Initial = std::move(model.Initial);
    prepared.Counts = counts;
    prepared.Collapsed = collapsed;
    prepared.Bisimulation = bisimulation;
    prepared.BisimulationSeconds = bisimulationSeconds;
    prepared.Reduced = std::move(reduced);
    prepared.Order = line.Precompute.Order;
    prepared.PrecomputeSeconds = Since(start);
}

ReducedModel ReduceFrom(Prepared& prepared, std::size_t i) {
    const auto start = std::chrono::steady_clock::now();
    ReducedModel reduced = i + 1 < prepared.Initial.size() ? Renumber(prepared.Reduced, i, prepared.Order)
                                                           : Renumber(std::move(prepared.Reduced), i, prepared.Order);
    prepared.PrecomputeSeconds += Since(start);
    return reduced;
}

}  // namespace iicheck
