// The two iteration kernels, generic over the numeric variant V (a policy
// from Backends.hpp): Gauss-Seidel sweeps over the states from the last down
// to state 0, updating the bounds in place.
#pragma once

#include "Backends.hpp"
#include "IntervalIteration.h"
#include "Termination.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

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

// ---------------------------------------------------------------------------
// Change stamps: skipping the states whose update cannot change anything.
//
// A state's new value is a function of its successors' stored bits alone:
// the probabilities, the order of the operations and the direction of every
// step are the same in every sweep. So is what its update does besides
// storing: the clamp (a clamp that warns has set WarnedFlag at the end of
// its sweep; set again, it would neither send a message nor change the
// flag) and the change test. A state whose successors' bits and own update
// did not change since its update in the previous sweep would therefore do
// exactly what that update did: store the same bits and leave the changed
// flag alone. Skipping it changes nothing but the time.
//
// The driver keeps one stamp byte per state beside each bound vector (one
// per pair in the interleaved layout), all zero at the start. A state's
// stamp holds the number, modulo 256, of the last sweep in which its update
// set the changed flag or changed its stored bits (-0 and +0 differ in bits
// only; a NaN value, or an x87 value that its store rounds, sets the flag
// without changing the bits).
//
// Sweep k visits state i after every higher-numbered state and before every
// lower-numbered one, just as sweep k - 1 did. Since i's update in sweep
// k - 1, a successor j > i can only have changed in sweep k, a successor
// j < i only in sweep k - 1, and i itself (a successor or not) only in
// sweep k - 1. A sweep number that has wrapped around can only make an
// unchanged state look changed, never the reverse. Sweep 1 skips nothing:
// no state has been computed yet.
// ---------------------------------------------------------------------------

// The sweep numbers that a sweep compares stamps with.
struct SweepClock {
    uint8_t Current;   // this sweep, as a stamp holds it
    uint8_t Previous;  // the sweep before
    bool Skips;        // this sweep skips the states it can
};

// How a sweep treats the stamps of its vector.
enum class SweepKind : uint8_t {
    Plain,  // neither reads nor keeps them: they are stale afterwards
    Stamp,  // computes every state and stamps the ones that change
    Skip,   // stamps too, and skips the states that cannot change
};

// The kinds of the sweeps of one bound vector (or of the pairs). A skip
// sweep reads the stamps of the sweep before, so it follows a stamp or a
// skip sweep; sweep 1 stamps (no state has been computed yet). For each
// state that it does not skip, a skip sweep does more work than a plain one
// (the stamp tests, the stamp kept up to date); for each state it skips, it
// saves a whole update. Skipping::Always skips from sweep 2 on. With the
// library's choice, a skip sweep that skipped at least a quarter of the
// states it visited is followed by another; one that skipped fewer by plain
// sweeps, 1 the first time and twice as many after every further such
// sweep (at most 64), and then a stamp sweep and a skip sweep try again. A
// long run whose states keep changing pays for the stamps in about one
// sweep in 33.
struct SkipSchedule {
    Skipping Mode;
    SweepKind Next;
    uint32_t Pause;    // plain sweeps still to go before the next try
    uint32_t Backoff;  // plain sweeps after the next skip sweep that does not pay
    uint64_t Swept;    // states a sweep visits, as the last stamp or skip sweep counted
};

constexpr uint32_t kMaxPause = 64;

inline SkipSchedule StartSchedule(Skipping mode) {
    return {mode, mode == Skipping::Never ? SweepKind::Plain : SweepKind::Stamp, 0, 1, 0};
}

// What a sweep tells the loop.
struct SweepResult {
    bool Changed;      // the changed flag: some bound compared unequal
    uint64_t Skipped;  // states skipped
    uint64_t Visited;  // states neither target nor zero (counted by stamp and skip sweeps)
};

// After a sweep of kind schedule.Next: the kind of the next sweep.
inline void Advance(SkipSchedule& schedule, const SweepResult& sweep) {
    if (schedule.Next != SweepKind::Plain) {
        schedule.Swept = sweep.Visited;
    }
    switch (schedule.Next) {
        case SweepKind::Stamp:
            schedule.Next = SweepKind::Skip;
            break;
        case SweepKind::Skip:
            if (schedule.Mode == Skipping::Chosen && 4 * sweep.Skipped < sweep.Visited) {
                schedule.Next = SweepKind::Plain;
                schedule.Pause = schedule.Backoff;
                schedule.Backoff = std::min(2 * schedule.Backoff, kMaxPause);
            } else {
                schedule.Backoff = 1;
            }
            break;
        case SweepKind::Plain:
            if (schedule.Mode != Skipping::Never && --schedule.Pause == 0) {
                schedule.Next = SweepKind::Stamp;
            }
            break;
    }
}

// Whether neither `state` nor any of its successors (over all its choices,
// whose transitions lie together) changed since the state's update in the
// previous sweep.
inline bool Unchanged(const SparseMdp& model, uint64_t state, const uint8_t* stamps,
                      SweepClock clock) {
    if (stamps[state] == clock.Previous) {
        return false;
    }
    const uint64_t end = model.ChoiceTransitionStart[model.StateChoiceStart[state + 1]];
    for (uint64_t t = model.ChoiceTransitionStart[model.StateChoiceStart[state]]; t < end; ++t) {
        const uint64_t successor = model.TransitionTarget[t];
        if (stamps[successor] == (successor > state ? clock.Current : clock.Previous)) {
            return false;
        }
    }
    return true;
}

// Whether storing `value` over the stored bound, which it compares equal
// to, changes the stored bits: only a zero of the other sign does. A value
// that compares equal is exactly the stored one, so its store does not
// round, and equal non-zero values have one encoding. (Comparing the bits
// themselves would read back every x87 slot just stored, which costs the
// extended-precision variants as much as the update.)
template <class W>
inline bool FlipsZero(W value, W stored) {
    return value == W(0) && std::signbit(value) != std::signbit(stored);
}

// Runs the next sweep of a schedule: run(std::bool_constant<Stamped>,
// clock) calls the sweep function instantiated for plain sweeps (false) or
// for the others (true). Returns whether the sweep set the changed flag.
template <class RunSweep>
inline bool ScheduledSweep(SkipSchedule& schedule, int64_t sweep,
                           const KernelArguments& arguments, RunSweep run) {
    const SweepClock clock{static_cast<uint8_t>(sweep), static_cast<uint8_t>(sweep - 1),
                           schedule.Next == SweepKind::Skip};
    const SweepResult result = schedule.Next == SweepKind::Plain ? run(std::false_type{}, clock)
                                                                 : run(std::true_type{}, clock);
    Advance(schedule, result);
    if (arguments.Counts != nullptr) {
        arguments.Counts->Updates += schedule.Swept;
        arguments.Counts->Skipped += result.Skipped;
    }
    return result.Changed;
}

// One sweep of the sequential kernel over the vector x (lower or upper),
// and with Stamped over its stamps. Kept a function of its own: inlined
// twice into the loop, the two sweeps share registers and lose speed.
template <class V, Dir D, bool IsUpper, bool Maximize, bool Stamped>
[[gnu::noinline]] SweepResult SequentialSweep(const SparseMdp& model, typename V::Stored* x,
                                              uint8_t* stamps, SweepClock clock,
                                              const KernelArguments& arguments) {
    using Work = typename V::Work;
    bool changed = false;
    bool clamped = false;
    uint64_t skipped = 0;
    uint64_t visited = 0;
    for (uint64_t i = model.StateCount; i-- > 0;) {
        if (IsFixed(model, i)) {
            continue;
        }
        if constexpr (Stamped) {
            ++visited;
            if (clock.Skips && Unchanged(model, i, stamps, clock)) {
                ++skipped;
                continue;
            }
        }
        const uint64_t first = model.StateChoiceStart[i];
        const uint64_t end = model.StateChoiceStart[i + 1];
        Work value = ChoiceValue<V, D>(model, first, x);
        for (uint64_t c = first + 1; c < end; ++c) {
            value = Better<Maximize>(ChoiceValue<V, D>(model, c, x), value);
        }
        clamped |= ClampBound<V, IsUpper>(value);
        const Work old = V::Load(x[i]);
        const bool differs = Differs(value, old);
        changed |= differs;
        if constexpr (Stamped) {
            if (differs || FlipsZero(value, old)) {
                stamps[i] = clock.Current;
            }
        }
        x[i] = V::Store(value);
    }
    NoteClamp<V>(clamped, arguments);
    return {changed, skipped, visited};
}

// The sequential kernel: a lower sweep, then an upper sweep, then the
// measure, every iteration. Each vector has its stamps (none with
// Skipping::Never).
template <class V, bool Maximize>
IterationResult SequentialLoop(const SparseMdp& model, typename V::Stored* lower,
                               typename V::Stored* upper, uint8_t* lowerStamps,
                               uint8_t* upperStamps, const KernelArguments& arguments) {
    SkipSchedule lowerSchedule = StartSchedule(arguments.Skip);
    SkipSchedule upperSchedule = StartSchedule(arguments.Skip);
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
        bool changed = ScheduledSweep(
            lowerSchedule, iteration, arguments, [&](auto stamped, SweepClock clock) {
                return SequentialSweep<V, V::kSequentialLower, false, Maximize, stamped()>(
                    model, lower, lowerStamps, clock, arguments);
            });
        if (AbortRequested(arguments.AbortFlag)) {
            return StopBeforeConvergence<V>(arguments, false, lower[0], upper[0]);
        }
        V::template Enter<V::kSequentialUpper>();
        changed |= ScheduledSweep(
            upperSchedule, iteration, arguments, [&](auto stamped, SweepClock clock) {
                return SequentialSweep<V, V::kSequentialUpper, true, Maximize, stamped()>(
                    model, upper, upperStamps, clock, arguments);
            });
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
                                           typename V::Stored* upper, uint8_t* lowerStamps,
                                           uint8_t* upperStamps,
                                           const KernelArguments& arguments) {
    if (arguments.Options->Maximize != 0) {
        return SequentialLoop<V, true>(*model, lower, upper, lowerStamps, upperStamps,
                                       arguments);
    }
    return SequentialLoop<V, false>(*model, lower, upper, lowerStamps, upperStamps, arguments);
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
template <class V, bool Maximize, bool Stamped>
[[gnu::noinline]] SweepResult InterleavedSweep(const SparseMdp& model,
                                               BoundPair<typename V::Stored>* bounds,
                                               uint8_t* stamps, SweepClock clock,
                                               const KernelArguments& arguments) {
    using Work = typename V::Work;
    bool changed = false;
    bool clamped = false;
    uint64_t skipped = 0;
    uint64_t visited = 0;
    for (uint64_t i = model.StateCount; i-- > 0;) {
        if (IsFixed(model, i)) {
            continue;
        }
        if constexpr (Stamped) {
            ++visited;
            if (clock.Skips && Unchanged(model, i, stamps, clock)) {
                ++skipped;
                continue;
            }
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
        const Work oldLower = V::Load(stored.Lower);
        const Work oldUpper = V::Load(stored.Upper);
        bool differs = Differs(best.Lower, oldLower);
        differs |= Differs(best.Upper, oldUpper);
        changed |= differs;
        if constexpr (Stamped) {
            if (differs || FlipsZero(best.Lower, oldLower) || FlipsZero(best.Upper, oldUpper)) {
                stamps[i] = clock.Current;
            }
        }
        StorePair<V>(stored, best.Lower, best.Upper);
    }
    NoteClamp<V>(clamped, arguments);
    return {changed, skipped, visited};
}

// The interleaved kernel: one sweep updates both bounds, then the measure.
template <class V, bool Maximize>
IterationResult InterleavedLoop(const SparseMdp& model,
                                BoundPair<typename V::Stored>* bounds, uint8_t* stamps,
                                const KernelArguments& arguments) {
    SkipSchedule schedule = StartSchedule(arguments.Skip);
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
        const bool changed = ScheduledSweep(
            schedule, iteration, arguments, [&](auto stamped, SweepClock clock) {
                return InterleavedSweep<V, Maximize, stamped()>(model, bounds, stamps, clock,
                                                                arguments);
            });
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
                                            uint8_t* stamps, const KernelArguments& arguments) {
    if (arguments.Options->Maximize != 0) {
        return InterleavedLoop<V, true>(*model, bounds, stamps, arguments);
    }
    return InterleavedLoop<V, false>(*model, bounds, stamps, arguments);
}

}  // namespace
}  // namespace ii
