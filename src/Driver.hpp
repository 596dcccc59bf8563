// The per-variant driver: owns the bound storage for one call, fills it with
// the initial bounds, prepares the floating-point unit as the back-end
// requires, runs the kernel of the chosen layout and puts everything back.
#pragma once

#include "Backends.hpp"
#include "IntervalIteration.h"
#include "Kernels.hpp"
#include "StateSets.hpp"
#include "Termination.hpp"

#include <cstdint>
#include <cstdlib>

namespace ii {
namespace {

constexpr const char* kOutOfMemoryText =
    "Not enough memory for the bound vectors of interval iteration.";

template <class V>
using SequentialKernel = IterationResult (*)(const SparseMdp*, typename V::Stored*,
                                             typename V::Stored*, const KernelArguments&);
template <class V>
using InterleavedKernel = IterationResult (*)(const SparseMdp*,
                                              BoundPair<typename V::Stored>*,
                                              const KernelArguments&);

// The refusal of Part-1.2 style: an error message and the error result with
// both bounds the quiet NaN; the output locations stay untouched.
inline IterationResult Refuse(MessageCallback callback, const char* text) {
    callback(0, text, SeverityError);
    IterationResult result;
    result.Lower = QuietNan();
    result.Upper = QuietNan();
    result.Status = IterationStatusError;
    return result;
}

// Initial bounds: [1, 1] for targets (tested first), [0, 0] for zero states,
// [0, 1] otherwise.
template <class T>
inline T InitialLower(const SparseMdp& model, uint64_t state) {
    return IsMember(model.TargetStates, state) ? T(1) : T(0);
}
template <class T>
inline T InitialUpper(const SparseMdp& model, uint64_t state) {
    if (IsMember(model.TargetStates, state)) {
        return T(1);
    }
    return model.ZeroStates != nullptr && IsMember(model.ZeroStates, state) ? T(0) : T(1);
}

template <class V>
IterationResult Drive(const SparseMdp* model, const KernelArguments& arguments,
                      SequentialKernel<V> sequential, InterleavedKernel<V> interleaved) {
    using Stored = typename V::Stored;
    using Environment = typename V::Environment;
    const uint64_t n = model->StateCount;
    // A count whose storage size overflows cannot be allocated either.
    constexpr uint64_t kMaxStates = UINT64_MAX / (2 * sizeof(Stored));
    IterationResult result;
    if (arguments.Options->Sequential != 0) {
        Stored* lower = n <= kMaxStates ? static_cast<Stored*>(std::malloc(n * sizeof(Stored))) : nullptr;
        Stored* upper = n <= kMaxStates ? static_cast<Stored*>(std::malloc(n * sizeof(Stored))) : nullptr;
        if (lower == nullptr || upper == nullptr) {
            std::free(lower);
            std::free(upper);
            return Refuse(arguments.Callback, kOutOfMemoryText);
        }
        for (uint64_t s = 0; s < n; ++s) {
            lower[s] = InitialLower<Stored>(*model, s);
        }
        for (uint64_t s = 0; s < n; ++s) {
            upper[s] = InitialUpper<Stored>(*model, s);
        }
        const auto saved = Environment::Prepare();
        result = sequential(model, lower, upper, arguments);
        Environment::Restore(saved);
        std::free(lower);
        std::free(upper);
    } else {
        auto* pairs = n <= kMaxStates ? static_cast<BoundPair<Stored>*>(
                                            std::malloc(n * sizeof(BoundPair<Stored>)))
                                      : nullptr;
        if (pairs == nullptr) {
            return Refuse(arguments.Callback, kOutOfMemoryText);
        }
        for (uint64_t s = 0; s < n; ++s) {
            pairs[s].Lower = InitialLower<Stored>(*model, s);
            pairs[s].Upper = InitialUpper<Stored>(*model, s);
        }
        const auto saved = Environment::Prepare();
        result = interleaved(model, pairs, arguments);
        Environment::Restore(saved);
        std::free(pairs);
    }
    return result;
}

}  // namespace
}  // namespace ii
