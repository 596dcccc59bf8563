// The two iteration kernels, generic over the numeric variant V (a policy
// from Backends.hpp): Gauss-Seidel sweeps over the states from the last down
// to state 0, updating the bounds in place.
#pragma once

#include "Backends.hpp"
#include "IntervalIteration.h"
#include "Termination.hpp"

#include <cstdint>

namespace ii {
namespace {

// The interleaved layout's element: a state's lower bound followed by its
// upper bound.
template <class T>
struct BoundPair {
    T Lower;
    T Upper;
};

// Maximum or minimum over the choices: ordered comparisons, so a tie keeps
// the earlier value, a later NaN never replaces it and a first NaN stays.
template <bool Maximize, class W>
inline W Better(W candidate, W best) {
    if constexpr (Maximize) {
        return candidate > best ? candidate : best;
    } else {
        return candidate < best ? candidate : best;
    }
}

// A bound changed when the new value is not equal to the stored one; NaN on
// either side counts as a change, +0 and -0 as equal.
template <class W>
inline bool Differs(W value, W stored) {
    return !(value == stored);
}

// Value of choice c in the sweep of vector x: the probability-weighted sum
// of the successors' current bounds, in the direction D.
template <class V, Dir D>
inline typename V::Work ChoiceValue(const SparseMdp& model, uint64_t choice,
                                    const typename V::Stored* x) {
    using Work = typename V::Work;
    Work sum = Work(0);
    const uint64_t end = model.ChoiceTransitionStart[choice + 1];
    for (uint64_t t = model.ChoiceTransitionStart[choice]; t < end; ++t) {
        const Work probability = V::template Probability<D>(model.TransitionValues[t]);
        sum = V::template MulAdd<D>(sum, probability, V::Load(x[model.TransitionTarget[t]]));
    }
    return sum;
}

// Values above 1 become 1; NaN is not clamped. Branch-free: whether a bound
// lands above 1 depends on rounding noise, which defeats branch prediction.
template <class V>
inline bool ClampAtOne(typename V::Work& value) {
    const bool above = value > typename V::Work(1);
    value = V::AtMostOne(value);
    return above;
}

// Values above 1: the default-rounding variants clamp both bounds, safe
// rounding only the upper bound (silently; a lower bound above 1 stays as
// computed). Returns whether the value was clamped.
template <class V, bool IsUpper>
inline bool ClampBound(typename V::Work& value) {
    if constexpr (!V::kSafe || IsUpper) {
        return ClampAtOne<V>(value);
    } else {
        return false;
    }
}

// After a sweep of a default-rounding variant that clamped: the warning
// while WarnedFlag is 0, and WarnedFlag set. Nothing else happens between
// a clamp and the end of its sweep, so this is the first clamp's warning.
template <class V>
inline void NoteClamp(bool clamped, const KernelArguments& arguments) {
    if constexpr (!V::kSafe) {
        if (clamped) {
            if (*arguments.WarnedFlag == 0) {
                SendWarning(arguments.Callback, kValueAboveOneText);
            }
            *arguments.WarnedFlag = 1;
        }
    }
}

// One sweep of the sequential kernel over the vector x (lower or upper). Kept
// a function of its own: inlined twice into the loop, the two sweeps share
// registers and lose speed.
template <class V, Dir D, bool IsUpper, bool Maximize>
[[gnu::noinline]] bool SequentialSweep(const SparseMdp& model, typename V::Stored* x,
                     const KernelArguments& arguments) {
    using Work = typename V::Work;
    bool changed = false;
    bool clamped = false;
    for (uint64_t i = model.StateCount; i-- > 0;) {
        if (IsFixed(model, i)) {
            continue;
        }
        const uint64_t first = model.StateChoiceStart[i];
        const uint64_t end = model.StateChoiceStart[i + 1];
        Work value = ChoiceValue<V, D>(model, first, x);
        for (uint64_t c = first + 1; c < end; ++c) {
            value = Better<Maximize>(ChoiceValue<V, D>(model, c, x), value);
        }
        clamped |= ClampBound<V, IsUpper>(value);
        changed |= Differs(value, V::Load(x[i]));
        x[i] = V::Store(value);
    }
    NoteClamp<V>(clamped, arguments);
    return changed;
}

// The sequential kernel: a lower sweep, then an upper sweep, then the
// measure, every iteration.
template <class V, bool Maximize>
IterationResult SequentialLoop(const SparseMdp& model, typename V::Stored* lower,
                               typename V::Stored* upper,
                               const KernelArguments& arguments) {
    const int32_t maxIterations = arguments.Options->MaxIterations;
    PublishAchievedPrecision(arguments.AchievedPrecision, 1.0);
    for (int64_t iteration = 1;; ++iteration) {
        PublishIterationCount(arguments.IterationCount, iteration);
        if (LimitReached(iteration, maxIterations)) {
            return StopBeforeConvergence<V>(arguments, true, lower[0], upper[0]);
        }
        if (AbortRequested(arguments.AbortFlag)) {
            return StopBeforeConvergence<V>(arguments, false, lower[0], upper[0]);
        }
        V::template Enter<V::kSequentialLower>();
        bool changed = SequentialSweep<V, V::kSequentialLower, false, Maximize>(
            model, lower, arguments);
        if (AbortRequested(arguments.AbortFlag)) {
            return StopBeforeConvergence<V>(arguments, false, lower[0], upper[0]);
        }
        V::template Enter<V::kSequentialUpper>();
        changed |= SequentialSweep<V, V::kSequentialUpper, true, Maximize>(
            model, upper, arguments);
        switch (MeasureAndDecide<V>(arguments, lower[0], upper[0], changed)) {
            case Decision::Converged:
                return BoundsResult<V>(lower[0], upper[0], IterationStatusConverged);
            case Decision::FixedPoint:
                return BoundsResult<V>(lower[0], upper[0], IterationStatusFixedPoint);
            case Decision::Continue:
                break;
        }
    }
}

template <class V>
IterationResult IterateUnboundedSequential(const SparseMdp* model,
                                           typename V::Stored* lower,
                                           typename V::Stored* upper,
                                           const KernelArguments& arguments) {
    if (arguments.Options->Maximize != 0) {
        return SequentialLoop<V, true>(*model, lower, upper, arguments);
    }
    return SequentialLoop<V, false>(*model, lower, upper, arguments);
}

// Both sums of one choice in the interleaved layout.
template <class W>
struct SumPair {
    W Lower;
    W Upper;
};

template <class V>
inline SumPair<typename V::Work> InterleavedChoiceValue(
    const SparseMdp& model, uint64_t choice,
    const BoundPair<typename V::Stored>* bounds) {
    using Work = typename V::Work;
    constexpr Dir kLower = V::kInterleavedLower;
    constexpr Dir kUpper = V::kInterleavedUpper;
    Work lowerSum = Work(0);
    Work upperSum = Work(0);
    const uint64_t end = model.ChoiceTransitionStart[choice + 1];
    for (uint64_t t = model.ChoiceTransitionStart[choice]; t < end; ++t) {
        const TransitionValue& value = model.TransitionValues[t];
        const BoundPair<typename V::Stored>& successor =
            bounds[model.TransitionTarget[t]];
        if constexpr (V::kSharedQuotient) {
            const Work probability = V::template Probability<kLower>(value);
            lowerSum = V::template MulAdd<kLower>(lowerSum, probability, V::Load(successor.Lower));
            upperSum = V::template MulAdd<kUpper>(upperSum, probability, V::Load(successor.Upper));
        } else if constexpr (!V::kChangesDirection) {
            // Directions travel with each instruction: both quotients, then
            // both accumulations.
            Work lowerProbability;
            Work upperProbability;
            V::template ProbabilityPair<kLower, kUpper>(value, lowerProbability, upperProbability);
            lowerSum = V::template MulAdd<kLower>(lowerSum, lowerProbability,
                                                  V::Load(successor.Lower));
            upperSum = V::template MulAdd<kUpper>(upperSum, upperProbability,
                                                  V::Load(successor.Upper));
        } else {
            // Two direction changes per transition. Every step of the lower
            // half completes under the downward direction and every step of
            // the upper half starts after the switch to up. The pins carry
            // this across the switches: a sum pinned before a switch is
            // complete before it, and the inputs of each half are read
            // through a pointer pinned after its switch, so that the compiler
            // can neither hoist them nor merge the two quotients.
            const TransitionValue* lowerValue = &value;
            const typename V::Stored* lowerSuccessor = &successor.Lower;
            Pin(upperSum);
            V::template Enter<kLower>();
            Pin(lowerValue, lowerSuccessor, lowerSum);
            const Work lowerProbability = V::template Probability<kLower>(*lowerValue);
            lowerSum = V::template MulAdd<kLower>(lowerSum, lowerProbability,
                                                  V::Load(*lowerSuccessor));

            const TransitionValue* upperValue = &value;
            const typename V::Stored* upperSuccessor = &successor.Upper;
            Pin(lowerSum);
            V::template Enter<kUpper>();
            Pin(upperValue, upperSuccessor, upperSum);
            const Work upperProbability = V::template Probability<kUpper>(*upperValue);
            upperSum = V::template MulAdd<kUpper>(upperSum, upperProbability,
                                                  V::Load(*upperSuccessor));
        }
    }
    if constexpr (V::kChangesDirection) {
        Pin(upperSum);  // the last upper addition completes before any later switch
    }
    return {lowerSum, upperSum};
}

// Stores a state's pair. A store that rounds (x87 registers into a narrower
// slot, inexact only in the slot's subnormal range) follows the direction in
// force, which under safe rounding is up after the last transition of the
// state: an inexact lower bound is then stored again rounding down, so that
// it stays a lower bound.
template <class V>
inline void StorePair(BoundPair<typename V::Stored>& stored, typename V::Work lower,
                      typename V::Work upper) {
    stored.Lower = V::Store(lower);
    if constexpr (V::kChangesDirection && sizeof(typename V::Stored) < sizeof(typename V::Work)) {
        if (lower == lower && !(V::Load(stored.Lower) == lower)) [[unlikely]] {
            V::template Enter<Dir::Down>();
            Pin(lower);
            stored.Lower = V::Store(lower);
            V::template Enter<Dir::Up>();
            Pin(upper);
        }
    }
    stored.Upper = V::Store(upper);
}

// One sweep of the interleaved kernel: both bounds of every state.
template <class V, bool Maximize>
[[gnu::noinline]] bool InterleavedSweep(const SparseMdp& model, BoundPair<typename V::Stored>* bounds,
                      const KernelArguments& arguments) {
    using Work = typename V::Work;
    bool changed = false;
    bool clamped = false;
    for (uint64_t i = model.StateCount; i-- > 0;) {
        if (IsFixed(model, i)) {
            continue;
        }
        const uint64_t first = model.StateChoiceStart[i];
        const uint64_t end = model.StateChoiceStart[i + 1];
        SumPair<Work> best = InterleavedChoiceValue<V>(model, first, bounds);
        for (uint64_t c = first + 1; c < end; ++c) {
            const SumPair<Work> sums = InterleavedChoiceValue<V>(model, c, bounds);
            best.Lower = Better<Maximize>(sums.Lower, best.Lower);
            best.Upper = Better<Maximize>(sums.Upper, best.Upper);
        }
        if constexpr (V::kChangesDirection) {
            // Stores that round (x87) do so in the direction the last
            // transition left in force, not earlier.
            Pin(best.Lower, best.Upper);
        }
        clamped |= ClampBound<V, false>(best.Lower);
        clamped |= ClampBound<V, true>(best.Upper);
        BoundPair<typename V::Stored>& stored = bounds[i];
        changed |= Differs(best.Lower, V::Load(stored.Lower));
        changed |= Differs(best.Upper, V::Load(stored.Upper));
        StorePair<V>(stored, best.Lower, best.Upper);
    }
    NoteClamp<V>(clamped, arguments);
    return changed;
}

// The interleaved kernel: one sweep updates both bounds, then the measure.
template <class V, bool Maximize>
IterationResult InterleavedLoop(const SparseMdp& model,
                                BoundPair<typename V::Stored>* bounds,
                                const KernelArguments& arguments) {
    const int32_t maxIterations = arguments.Options->MaxIterations;
    PublishIterationCount(arguments.IterationCount, 0);
    PublishAchievedPrecision(arguments.AchievedPrecision, 1.0);
    for (int64_t iteration = 1;; ++iteration) {
        if (AbortRequested(arguments.AbortFlag)) {
            return StopBeforeConvergence<V>(arguments, false, bounds[0].Lower,
                                            bounds[0].Upper);
        }
        PublishIterationCount(arguments.IterationCount, iteration);
        if (LimitReached(iteration, maxIterations)) {
            return StopBeforeConvergence<V>(arguments, true, bounds[0].Lower,
                                            bounds[0].Upper);
        }
        const bool changed = InterleavedSweep<V, Maximize>(model, bounds, arguments);
        switch (MeasureAndDecide<V>(arguments, bounds[0].Lower, bounds[0].Upper, changed)) {
            case Decision::Converged:
                return BoundsResult<V>(bounds[0].Lower, bounds[0].Upper,
                                       IterationStatusConverged);
            case Decision::FixedPoint:
                return BoundsResult<V>(bounds[0].Lower, bounds[0].Upper,
                                       IterationStatusFixedPoint);
            case Decision::Continue:
                break;
        }
    }
}

template <class V>
IterationResult IterateUnboundedInterleaved(const SparseMdp* model,
                                            BoundPair<typename V::Stored>* bounds,
                                            const KernelArguments& arguments) {
    if (arguments.Options->Maximize != 0) {
        return InterleavedLoop<V, true>(*model, bounds, arguments);
    }
    return InterleavedLoop<V, false>(*model, bounds, arguments);
}

}  // namespace
}  // namespace ii
