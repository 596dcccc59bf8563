// The coarsest probabilistic bisimulation of a reduced model, and the
// quotient by it.
//
// Two states are bisimilar when both are targets, or both zero states, or
// both neither, and every choice of one has a choice of the other that
// enters every class of bisimilar states with the same probability. The
// probabilities are compared exactly, as rationals: the probabilities of a
// choice into one class are summed exactly (in 128 bits, else with GMP), so
// that no two states are merged because two floating-point sums happen to
// round alike. Bisimilar states have the same minimum and the same maximum
// probability of reaching the targets, so the library may iterate on the
// classes instead of the states: symmetric models (several identical
// processes) shrink by large factors.
//
// Partition refinement of the states and of the choices together: two
// choices are in one choice class when they enter every class of states
// with the same probability, and the signature of a state is the set of
// its choices' classes (the targets' and the zero states' choices do not
// count). When a class of states splits, the largest part keeps it and the
// others move; only the transitions into the states that moved are looked
// at: a choice class splits by what its choices put into the new classes
// (the rest of the old class gets what is left, the same for all), and
// only the states with a choice that changed class compute their signature
// again. So the work of a split follows the transitions into the smaller
// parts, not the out-degree of every predecessor (Valmari and
// Franceschinis's lumping, carried over to choices), and a chain of n
// states needs n rounds, each touching a few states. Each distinct
// probability is taken apart into its exact key once per model.
//
// The quotient has one state per class, numbered in the order of the
// classes' first states (state 0's class is state 0), with the distinct
// choices of the class's first state. A choice's transitions into one class
// become one transition with the exact sum when the library's fastest
// sound variants take that sum as it is (a binary64 value, or a fraction
// whose integers have odd parts of at most 53 bits); otherwise consecutive
// transitions are summed only as far as their sums stay so, and the rest
// stay separate transitions into the same state, never rounded. Sums of
// binary64 values such as 0.1 + 0.2 thus stay two binary64 values rather
// than one fraction that the default variant would have to round or leave
// to a slower variant.
#pragma once

#include "analysis/Precompute.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace iicheck {

// Why the refinement gave up before it was stable (Bisimulate).
enum class BisimulationStop : uint8_t {
    No,
    ManyClasses,  // more than 9/10 of the states were alone in their class
    Growth,       // the classes held more than a quarter of the states and grew by half in a round
    Distinct,     // more than half of the probabilities looked at were distinct
    Outrun,       // iterating the model ended before the refinement did (Pipeline.cpp)
};

// The words of a reason for messages: "most states alone in their class".
const char* Describe(BisimulationStop stop);

struct BisimulationStats {
    ModelSize Before;
    ModelSize After;
    uint64_t Rounds = 0;   // generations of refinement until stable, or until it stopped
    bool Stopped = false;  // gave up: the model was kept
    BisimulationStop Why = BisimulationStop::No;
};

// The class of every state, numbered in the order of the classes' first
// states.
std::vector<uint64_t> BisimulationClasses(const ReducedModel& model, uint64_t* rounds = nullptr);

// The quotient by the coarsest bisimulation; model itself when no two
// states are bisimilar, or when the refinement gives up because the
// quotient would not pay for it (BisimulationStop; Bisimulation.cpp tells
// the rules). Releases model on the way: pass it with std::move.
ReducedModel Bisimulate(ReducedModel model, BisimulationStats& stats);

// The same in steps, so that the refinement can be raced against iterating
// the model (Pipeline.cpp). StartBisimulation makes the first passes over
// model, which must stay alive and unchanged until FinishBisimulation gets
// it; ContinueBisimulation refines until the partition is stable or given
// up (true) or until the work, counted in records looked at (each
// transition of a pass over the model, each transition into a state that
// changed class, each choice of a state whose signature is computed again),
// reaches work in all (false); FinishBisimulation makes the quotient as
// Bisimulate does (the model itself, Outrun, when the refinement did not
// end).
struct PartialBisimulation;
struct PartialBisimulationDeleter {
    void operator()(PartialBisimulation* refining) const;
};
using Refining = std::unique_ptr<PartialBisimulation, PartialBisimulationDeleter>;
Refining StartBisimulation(const ReducedModel& model);
bool ContinueBisimulation(PartialBisimulation& refining, uint64_t work);
uint64_t BisimulationWork(const PartialBisimulation& refining);
ReducedModel FinishBisimulation(Refining refining, ReducedModel model, BisimulationStats& stats);

}  // namespace iicheck
