// The check of a host's model before any driver reads it.
#pragma once

#include "IntervalIteration.h"

#include <cstddef>
#include <cstdint>

namespace ii {

// Checks in one pass what the kernels would otherwise read out of bounds or
// compute on without meaning: at least one state, a target set, ascending
// choice offsets, ascending transition offsets within TransitionCount for
// every choice the kernels read, successors below StateCount, a choice for
// every state that is neither a target nor a zero state, and transition
// values that are probabilities (a stored value that is neither NaN,
// infinite nor negative, a fraction whose quotient is not negative; a stored
// -0 and 0/-1 are zero). Values above 1 pass, up to the largest value that
// the precision (a Precision byte) holds: single precision refuses stored
// values beyond FLT_MAX. Returns true when the model passes; otherwise
// writes a message naming the first fault into the buffer.
bool CheckModel(const SparseMdp& model, uint8_t precision, char* message, std::size_t size);

// Checks the rewards of a model that passed CheckModel: present, one per
// choice (ChoiceCount equal to StateChoiceStart[StateCount]), each finite and
// non-negative (a stored value that is neither NaN, infinite nor negative, a
// fraction whose quotient is not negative; in single precision no stored
// value beyond FLT_MAX). Returns true when they pass; otherwise writes a
// message naming the first fault (and the choice that holds it) into the
// buffer.
bool CheckRewards(const SparseMdp& model, const SparseRewards* rewards, uint8_t precision,
                  char* message, std::size_t size);

}  // namespace ii
