// The check of a host's model before any driver reads it.
#pragma once

#include "IntervalIteration.h"

#include <cstddef>

namespace ii {

// What the check found: whether the model is well formed and whether a
// transition the kernels read holds a fraction (Denominator nonzero).
struct ModelFacts {
    bool WellFormed = false;
    bool HasFraction = false;
};

// Checks in one pass what the kernels would otherwise read out of bounds or
// compute on without meaning: at least one state, a target set, ascending
// choice offsets, ascending transition offsets within TransitionCount for
// every choice the kernels read, successors below StateCount, a choice for
// every state that is neither a target nor a zero state, and transition
// values that are probabilities (a stored value that is neither NaN,
// infinite nor negative, a fraction whose quotient is not negative; a stored
// -0 and 0/-1 are zero). The same pass notes whether any value it read is a
// fraction. When the model fails, writes a message naming the fault into the
// buffer and stops at that fault.
ModelFacts CheckModel(const SparseMdp& model, char* message, std::size_t size);

}  // namespace ii
