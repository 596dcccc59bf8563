// Membership in the model's state sets.
#pragma once

#include "IntervalIteration.h"

#include <cstdint>

namespace ii {
namespace {

inline bool IsMember(const StateBitset* set, uint64_t state) {
    return (set[state >> 6] >> (state & 63)) & 1;
}

// Target and zero states keep their initial bounds and are never swept; the
// target test comes first.
inline bool IsFixed(const SparseMdp& model, uint64_t state) {
    return IsMember(model.TargetStates, state) ||
           (model.ZeroStates != nullptr && IsMember(model.ZeroStates, state));
}

}  // namespace
}  // namespace ii
