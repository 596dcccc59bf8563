// The model check: a host's wrong index would make the kernels read or write
// memory the call does not own, and a value that is not a probability (NaN,
// infinite, negative, or too large for the precision) would make them loop
// or return bounds outside [0, 1], so such a model is refused instead; so
// are rewards that are missing, not one per choice, or not finite and
// non-negative in the precision.
#include "ModelCheck.hpp"

#include "IntervalIteration.h"
#include "StateSets.hpp"

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace ii {
namespace {

// The bits of the largest stored value a precision converts to a finite
// number. Single precision turns a larger one into infinity (upward, and to
// nearest), whose product with a bound of 0 is a NaN bound that never
// converges; fractions stay below 2^63 in every precision.
inline uint64_t LargestStoredBits(uint8_t precision) {
    return __builtin_bit_cast(uint64_t, precision == PrecisionSingle ? double{FLT_MAX} : DBL_MAX);
}

// Whether a transition value is a probability or above 1 (which the kernels
// clamp): a stored value from +0 up to the largest one by its bits (positive
// doubles order like their bits; NaN and infinities lie beyond), or -0; a
// fraction whose numerator is 0 or has the denominator's sign. Without
// branches, so that the check's loop runs at the speed of its loads.
inline bool IsNonNegative(const TransitionValue& value, uint64_t largestBits) {
    const int64_t numerator = value.Numerator;
    const uint64_t bits = static_cast<uint64_t>(numerator);
    const bool stored = (bits <= largestBits) | (bits == 0x8000000000000000u);
    const bool fraction = ((numerator ^ value.Denominator) >= 0) | (numerator == 0);
    return value.Denominator == 0 ? stored : fraction;
}

// Names a value that IsNonNegative rejects, as the item (a transition or a
// choice) with its index that holds it, and what it should be.
void DescribeValue(const TransitionValue& value, const char* item, uint64_t index,
                   const char* kind, char* message, std::size_t size) {
    if (value.Denominator == 0) {
        // Named without formatting the number, whose digits would depend
        // on the caller's rounding direction.
        const double stored = __builtin_bit_cast(double, value.Numerator);
        const char* what = std::isnan(stored)  ? "the value NaN"
                           : std::isinf(stored) ? (stored > 0 ? "the value +inf" : "the value -inf")
                           : stored < 0         ? "a negative value"
                                                : "a value beyond the single-precision range";
        std::snprintf(message, size,
                      "The model is malformed: %s %" PRIu64 " has %s, which is not %s.", item,
                      index, what, kind);
    } else {
        std::snprintf(message, size,
                      "The model is malformed: %s %" PRIu64 " has the value %" PRId64 "/%" PRId64
                      ", which is not %s.",
                      item, index, value.Numerator, value.Denominator, kind);
    }
}

// The first fault among transitions [from, to), which holds one.
void DescribeTransition(const SparseMdp& model, uint64_t largestBits, uint64_t from, uint64_t to,
                        char* message, std::size_t size) {
    for (uint64_t t = from; t < to; ++t) {
        const TransitionValue& value = model.TransitionValues[t];
        if (model.TransitionTarget[t] >= model.StateCount) {
            std::snprintf(message, size,
                          "The model is malformed: transition %" PRIu64 " leads to state %" PRIu64
                          ", but there are only %" PRIu64 " states.",
                          t, model.TransitionTarget[t], model.StateCount);
            return;
        }
        if (!IsNonNegative(value, largestBits)) {
            DescribeValue(value, "transition", t, "a probability", message, size);
            return;
        }
    }
}

}  // namespace

bool CheckModel(const SparseMdp& model, uint8_t precision, char* message, std::size_t size) {
    const uint64_t n = model.StateCount;
    const uint64_t largestBits = LargestStoredBits(precision);
    if (n == 0) {
        std::snprintf(message, size, "The model is malformed: it has no states.");
        return false;
    }
    if (model.TargetStates == nullptr) {
        std::snprintf(message, size, "The model is malformed: the set of target states is missing.");
        return false;
    }
    const uint64_t* targets = model.TransitionTarget;
    const TransitionValue* values = model.TransitionValues;
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
            bool faulty = false;
            for (uint64_t t = from; t < to; ++t) {
                faulty |= (targets[t] >= n) | !IsNonNegative(values[t], largestBits);
            }
            if (faulty) {
                DescribeTransition(model, largestBits, from, to, message, size);
                return false;
            }
        }
    }
    return true;
}

bool CheckRewards(const SparseMdp& model, const SparseRewards* rewards, uint8_t precision,
                  char* message, std::size_t size) {
    const uint64_t largestBits = LargestStoredBits(precision);
    if (rewards == nullptr || (rewards->ChoiceRewards == nullptr && rewards->ChoiceCount != 0)) {
        std::snprintf(message, size, "The model is malformed: the rewards are missing.");
        return false;
    }
    const uint64_t choices = model.StateChoiceStart[model.StateCount];
    if (rewards->ChoiceCount != choices) {
        std::snprintf(message, size,
                      "The model is malformed: it has %" PRIu64 " choices, but %" PRIu64
                      " rewards.",
                      choices, rewards->ChoiceCount);
        return false;
    }
    bool faulty = false;
    for (uint64_t c = 0; c < choices; ++c) {
        faulty |= !IsNonNegative(rewards->ChoiceRewards[c], largestBits);
    }
    if (!faulty) {
        return true;
    }
    for (uint64_t c = 0;; ++c) {
        const TransitionValue& value = rewards->ChoiceRewards[c];
        if (!IsNonNegative(value, largestBits)) {
            DescribeValue(value, "choice", c, "a reward", message, size);
            return false;
        }
    }
}

}  // namespace ii
