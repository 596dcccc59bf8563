// The per-variant driver: owns the bound storage for one call (the bounds,
// and beside them the sweeps' change stamps, one byte per state and bound
// vector), fills it with the initial bounds, prepares the floating-point
// unit as the back-end requires, runs the kernel of the chosen layout and
// puts everything back.
#pragma once

#include "Backends.hpp"
#include "IntervalIteration.h"
#include "Kernels.hpp"
#include "StateSets.hpp"
#include "Termination.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace ii {
namespace {

constexpr const char* kOutOfMemoryText =
    "Not enough memory for the bound vectors of interval iteration.";

template <class V>
using SequentialKernel = IterationResult (*)(const SparseMdp*, typename V::Stored*,
                                             typename V::Stored*, uint8_t*, uint8_t*,
                                             const KernelArguments&);
template <class V>
using InterleavedKernel = IterationResult (*)(const SparseMdp*,
                                              BoundPair<typename V::Stored>*, uint8_t*,
                                              const KernelArguments&);

// A refusal: an error message and the error result with
// both bounds the quiet NaN; the output locations stay untouched.
inline IterationResult Refuse(MessageCallback callback, const char* text) {
    callback(0, text, SeverityError);
    IterationResult result;
    result.Lower = QuietNan();
    result.Upper = QuietNan();
    result.Status = IterationStatusError;
    return result;
}

// Initial bounds of probabilities: [1, 1] for targets (tested first), [0, 0]
// for zero states, [0, 1] otherwise. Of expected rewards: [0, 0] for targets
// and zero states, [0, +inf] otherwise.
template <class T, class Term>
inline T InitialLower(const SparseMdp& model, uint64_t state) {
    if constexpr (Term::kRewards) {
        return T(0);
    } else {
        return IsMember(model.TargetStates, state) ? T(1) : T(0);
    }
}
template <class T, class Term>
inline T InitialUpper(const SparseMdp& model, uint64_t state) {
    if constexpr (Term::kRewards) {
        return IsFixed(model, state) ? T(0) : std::numeric_limits<T>::infinity();
    } else {
        if (IsMember(model.TargetStates, state)) {
            return T(1);
        }
        return model.ZeroStates != nullptr && IsMember(model.ZeroStates, state) ? T(0) : T(1);
    }
}

// One block for a bound vector of n elements (the pairs, in the interleaved
// layout) followed, when the sweeps may skip, by its change stamps
// (Kernels.hpp): one byte per state, all zero. Null when it cannot be had.
template <class Element>
Element* AllocateVector(uint64_t n, bool stamped, uint8_t*& stamps) {
    stamps = nullptr;
    // A count whose size overflows cannot be allocated either.
    if (n > UINT64_MAX / (sizeof(Element) + 1)) {
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(n * sizeof(Element) + (stamped ? n : 0)));
    if (block != nullptr && stamped) {
        stamps = block + n * sizeof(Element);
        std::memset(stamps, 0, n);
    }
    return reinterpret_cast<Element*>(block);
}

template <class V, class Term>
IterationResult Drive(const SparseMdp* model, const KernelArguments& arguments,
                      SequentialKernel<V> sequential, InterleavedKernel<V> interleaved) {
    using Stored = typename V::Stored;
    using Environment = typename V::Environment;
    const uint64_t n = model->StateCount;
    const bool stamped = arguments.Skip != Skipping::Never;
    IterationResult result;
    if (arguments.Options->Sequential != 0) {
        uint8_t* lowerStamps;
        uint8_t* upperStamps;
        Stored* lower = AllocateVector<Stored>(n, stamped, lowerStamps);
        Stored* upper = AllocateVector<Stored>(n, stamped, upperStamps);
        if (lower == nullptr || upper == nullptr) {
            std::free(lower);
            std::free(upper);
            return Refuse(arguments.Callback, kOutOfMemoryText);
        }
        for (uint64_t s = 0; s < n; ++s) {
            lower[s] = InitialLower<Stored, Term>(*model, s);
        }
        for (uint64_t s = 0; s < n; ++s) {
            upper[s] = InitialUpper<Stored, Term>(*model, s);
        }
        const auto saved = Environment::Prepare();
        result = sequential(model, lower, upper, lowerStamps, upperStamps, arguments);
        Environment::Restore(saved);
        std::free(lower);
        std::free(upper);
    } else {
        uint8_t* stamps;
        auto* pairs = AllocateVector<BoundPair<Stored>>(n, stamped, stamps);
        if (pairs == nullptr) {
            return Refuse(arguments.Callback, kOutOfMemoryText);
        }
        for (uint64_t s = 0; s < n; ++s) {
            pairs[s].Lower = InitialLower<Stored, Term>(*model, s);
            pairs[s].Upper = InitialUpper<Stored, Term>(*model, s);
        }
        const auto saved = Environment::Prepare();
        result = interleaved(model, pairs, stamps, arguments);
        Environment::Restore(saved);
        std::free(pairs);
    }
    return result;
}

}  // namespace
}  // namespace ii
