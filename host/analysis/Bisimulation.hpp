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
// Partition refinement by signatures: the signature of a state is the set
// of its choices' distributions over the current classes. A class whose
// states' signatures differ splits by signature (hashed). Only the states
// with a successor that changed class since their own class was last
// refined are looked at again, so the work follows the changes rather than
// the number of rounds (a chain of n states needs n rounds, each touching
// a few states).
//
// The quotient has one state per class, numbered in the order of the
// classes' first states (state 0's class is state 0), with the distinct
// choices of the class's first state; a choice's transitions into one class
// become one transition with the exact sum, unless that sum is neither a
// binary64 value nor a fraction of 64-bit integers: then they stay separate
// transitions into the same state, never rounded.
#pragma once

#include "analysis/Precompute.hpp"

#include <cstdint>
#include <vector>

namespace iicheck {

struct BisimulationStats {
    ModelSize Before;
    ModelSize After;
    uint64_t Rounds = 0;   // generations of refinement until stable
    bool Stopped = false;  // more than 9/10 of the states were alone in their class
};

// The class of every state, numbered in the order of the classes' first
// states.
std::vector<uint64_t> BisimulationClasses(const ReducedModel& model, uint64_t* rounds = nullptr);

// The quotient by the coarsest bisimulation; model itself when no two
// states are bisimilar, or when the refinement stops because more than 9/10
// of the states are in classes of their own after a round: the classes only
// split further, so the quotient would save at most a tenth of each
// iteration, for the rest of the refinement and a copy of the model.
// Releases model on the way: pass it with std::move.
ReducedModel Bisimulate(ReducedModel model, BisimulationStats& stats);

}  // namespace iicheck
