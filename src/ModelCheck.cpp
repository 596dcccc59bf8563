// The model check: a host's wrong index would make the kernels read or write
// memory the call does not own, so such a model is refused instead.
#include "ModelCheck.hpp"

#include "IntervalIteration.h"
#include "StateSets.hpp"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace ii {

bool CheckModel(const SparseMdp& model, char* message, std::size_t size) {
    const uint64_t n = model.StateCount;
    if (n == 0) {
        std::snprintf(message, size, "The model is malformed: it has no states.");
        return false;
    }
    if (model.TargetStates == nullptr) {
        std::snprintf(message, size, "The model is malformed: the set of target states is missing.");
        return false;
    }
    const uint64_t* choiceStart = model.StateChoiceStart;
    const uint64_t* transitionStart = model.ChoiceTransitionStart;
    for (uint64_t s = 0; s < n; ++s) {
        const uint64_t first = choiceStart[s];
        const uint64_t end = choiceStart[s + 1];
        if (end < first) {
            std::snprintf(message, size,
                          "The model is malformed: the choices of state %" PRIu64
                          " end before they start.",
                          s);
            return false;
        }
        // The kernels read only the choices of states that are neither
        // targets nor zero states.
        if (IsFixed(model, s)) {
            continue;
        }
        if (end == first) {
            std::snprintf(message, size,
                          "The model is malformed: state %" PRIu64
                          " is neither a target nor a zero state but has no choices.",
                          s);
            return false;
        }
        for (uint64_t c = first; c < end; ++c) {
            const uint64_t from = transitionStart[c];
            const uint64_t to = transitionStart[c + 1];
            if (to < from || to > model.TransitionCount) {
                std::snprintf(message, size,
                              "The model is malformed: the transitions of choice %" PRIu64
                              " lie outside the %" PRIu64 " transitions.",
                              c, model.TransitionCount);
                return false;
            }
            for (uint64_t t = from; t < to; ++t) {
                if (model.TransitionTarget[t] >= n) {
                    std::snprintf(message, size,
                                  "The model is malformed: transition %" PRIu64
                                  " leads to state %" PRIu64 ", but there are only %" PRIu64
                                  " states.",
                                  t, model.TransitionTarget[t], n);
                    return false;
                }
            }
        }
    }
    return true;
}

}  // namespace ii
