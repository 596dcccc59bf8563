// The two iteration kernels, generic over the numeric variant V (a policy
// from Backends.hpp) and over what a choice adds to its sum (a term policy:
// reachability probabilities or expected rewards): Gauss-Seidel sweeps over
// the states from the last down to state 0, updating the bounds in place.
#pragma once

#include "Backends.hpp"
#include "IntervalIteration.h"
#include "Termination.hpp"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
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

// One half of the interleaved layout viewed as a bound vector, so that the
// sweeps of one bound vector also run over the lower (or upper) halves of
// the pairs.
template <class T, bool IsUpper>
struct PairHalf {
    BoundPair<T>* Pairs;
    T& operator[](uint64_t state) const {
        if constexpr (IsUpper) {
            return Pairs[state].Upper;
        } else {
            return Pairs[state].Lower;
        }
    }
};

// ---------------------------------------------------------------------------
// Term policies: what the sum of a choice starts from, and whether values
// are probabilities.
//
// Reachability probabilities: every sum starts at 0, values above 1 are
// clamped, targets start at [1, 1], zero states at [0, 0], others at [0, 1].
//
// Expected rewards: the sum of choice c starts at the choice's reward,
// converted like a probability (a fraction's integers converted and divided
// in the step's direction), nothing is clamped, targets and zero states are
// [0, 0], every other state starts at [0, +inf]. The upper bounds become
// finite only once a vector u with B(u) <= u is certified (see Certify).
// ---------------------------------------------------------------------------
struct ProbabilityTerm {
    static constexpr bool kRewards = false;
    template <class V, Dir D>
    static typename V::Work Start(const TransitionValue*, uint64_t) {
        return typename V::Work(0);
    }
};

struct RewardTerm {
    static constexpr bool kRewards = true;
    template <class V, Dir D>
    static typename V::Work Start(const TransitionValue* rewards, uint64_t choice) {
        return V::template Probability<D>(rewards[choice]);
    }
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

// Value of choice c in the sweep of vector x: the term's start (0, or the
// choice's reward) plus the probability-weighted sum of the successors'
// current bounds, in the direction D.
template <class V, Dir D, class Term = ProbabilityTerm, class X>
inline typename V::Work ChoiceValue(const SparseMdp& model, uint64_t choice, X x,
                                    const TransitionValue* rewards) {
    using Work = typename V::Work;
    Work sum = Term::template Start<V, D>(rewards, choice);
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
    value = V::AtMost(value, typename V::Work(1));
    return above;
}

// Values above 1: the default-rounding variants clamp both bounds, safe
// rounding only the upper bound (silently; a lower bound above 1 stays as
// computed). Returns whether the value was clamped, for the warning.
//
// Expected rewards are not clamped at 1, but a lower bound that would
// overflow (rounding to nearest, or upward, past the largest finite value of
// its slot) stays at that largest value, silently: a smaller lower bound is
// still a lower bound, whereas +inf times a zero probability is NaN in every
// choice that leads to the state. Upper bounds are never clamped: +inf is the
// sound upper bound there.
template <class V, bool IsUpper, class Term = ProbabilityTerm>
inline bool ClampBound(typename V::Work& value) {
    if constexpr (Term::kRewards) {
        if constexpr (!IsUpper) {
            value = V::AtMost(value, V::Load(std::numeric_limits<typename V::Stored>::max()));
        }
        return false;
    } else if constexpr (!V::kSafe || IsUpper) {
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

// Whether a sweep tells a change by the stored bits rather than by the
// computed value: for expected rewards on the x87 with a narrower slot. The
// upper bounds of states whose expected reward is 0 fall toward 0 without
// end, in registers whose exponent range is wider than the slot's, so that
// the computed value differs from the stored one in every sweep while the
// stored bits (the smallest value the slot holds, rounded upward) no longer
// change; the run would never reach a fixed point. (For probabilities the
// host marks the states whose probability is 0.)
template <class V, class Term>
inline constexpr bool kComparesStored =
    Term::kRewards && sizeof(typename V::Stored) < sizeof(typename V::Work);

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

// One sweep of the sequential kernel over the vector x (lower or upper; a
// pointer, or one half of the interleaved pairs), and with Stamped over its
// stamps. Kept a function of its own: inlined twice into the loop, the two
// sweeps share registers and lose speed.
template <class V, Dir D, bool IsUpper, bool Maximize, bool Stamped,
          class Term = ProbabilityTerm, class X = typename V::Stored*>
[[gnu::noinline]] SweepResult SequentialSweep(const SparseMdp& model, X x, uint8_t* stamps,
                                              SweepClock clock,
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
        Work value = ChoiceValue<V, D, Term>(model, first, x, arguments.Rewards);
        for (uint64_t c = first + 1; c < end; ++c) {
            value = Better<Maximize>(ChoiceValue<V, D, Term>(model, c, x, arguments.Rewards),
                                     value);
        }
        clamped |= ClampBound<V, IsUpper, Term>(value);
        if constexpr (kComparesStored<V, Term>) {
            value = V::Load(V::Store(value));  // rounds as the store below would
        }
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

// ---------------------------------------------------------------------------
// Certified upper bounds of expected rewards.
//
// The expected rewards are the least fixed point mu of the Bellman operator
// B in [0, +inf]^n: B(v)(s) is 0 at targets and zero states, and elsewhere
// the best over the choices c of s of reward(c) + sum of p * v(successor).
// The lower bounds iterate upward from 0 and stay below mu. Nothing bounds
// mu from above a priori, so an upper bound is guessed from the lower
// iterate and certified: a vector u with B(u) <= u lies above mu (mu is the
// least such vector, Knaster-Tarski), and the check evaluates B(u) with
// every step rounded upward, so that the computed value bounds the exact
// one from above. From a certified u the upper sweeps, which round upward,
// keep every vector above mu (B is monotone), as the probability iteration
// does from 1. (A structural bound, from the smallest probabilities and the
// number of states, would need graph analyses the library does not do and
// lies so far above mu, 2^n times the largest reward on a model whose
// probabilities are 1/2, that the upper sweeps would hardly ever come down
// from it, or it overflows the working precision.)
//
// A guess is u = l + gamma * (l + max l), gamma a power of two (relative to
// the requested precision at first), made once the lower bound of state 0
// changed by at most gamma / 16 of itself in an iteration, or no bound
// changed. Where rewards are 0 a guess is rarely a pre-fixed point at once;
// the upper sweeps then iterate it, still uncertified, and the check runs
// again after 1, 2, 4, ... iterations: the part of u - mu that B does not
// shrink fastest dies out, and along the rest B decreases. A guess that
// falls below a lower bound, or is not certified within max(16, its
// iteration number) iterations, is dropped: the lower bounds iterate on
// alone and the next guess has four times the slack. Until a guess is
// certified, the upper bound of state 0 is +inf (unless state 0 is a target
// or zero state).
// ---------------------------------------------------------------------------

constexpr const char* kCertifiedFormat =
    "Interval iteration for property \"{0}\" certified an upper bound at iteration %" PRId64
    " with guess %d: one application of the Bellman operator does not increase it.";

template <class Work>
struct Certification {
    bool Certified;   // the upper bounds lie above the expected rewards
    bool Guessing;    // the upper bounds hold a guess that is not certified yet
    bool FixedStart;  // state 0 is a target or zero state: its bounds are [0, 0]
    int32_t Shift;    // the next guess's slack is 2^-Shift; -1 before the first
    int32_t Guesses;  // guesses made
    int32_t WidestFailures;  // guesses with slack 1 that were dropped
    int64_t GuessedAt;
    int64_t NextCheck;  // iterations after the guess at which the check runs next
    int64_t Window;     // iterations after which an uncertified guess is dropped
    Work LastLower;     // the lower bound of state 0 after the previous iteration
};

template <class Work>
inline Certification<Work> StartCertification(const SparseMdp& model) {
    return {false, false, IsFixed(model, 0), -1, 0, 0, 0, 0, 0, Work(0)};
}

// Whether the upper bound of state 0 holds (always, for probabilities).
template <class Term, class Work>
inline bool UpperHolds(const Certification<Work>& state) {
    return !Term::kRewards || state.Certified || state.FixedStart;
}

// Whether the upper bounds are swept (always, for probabilities; for
// expected rewards once they are finite).
template <class Term, class Work>
inline bool SweepsUpper(const Certification<Work>& state) {
    return !Term::kRewards || state.Certified || state.Guessing;
}

// The upper bound of state 0 as the result and the measure take it.
template <class V, class Term>
inline typename V::Stored ReportedUpper(const Certification<typename V::Work>& state,
                                        typename V::Stored upper) {
    return UpperHolds<Term>(state) ? upper : std::numeric_limits<typename V::Stored>::infinity();
}

// The guess u = l + gamma * (l + max l), gamma = 2^-shift, rounded in the
// direction D (upward under safe rounding), into the upper bounds of the
// states that are neither targets nor zero states. False when a stored
// value is not finite: such a vector cannot be certified.
template <class V, Dir D, class Lower, class Upper>
[[gnu::noinline, gnu::cold]] bool InstallGuess(const SparseMdp& model, Lower lower, Upper upper,
                                               int32_t shift) {
    using Work = typename V::Work;
    V::template Enter<D>();
    Work gamma = Work(1);
    for (int32_t i = 0; i < shift; ++i) {
        gamma = gamma * Work(0.5);  // exact
    }
    Work scale = Work(0);
    for (uint64_t s = 0; s < model.StateCount; ++s) {
        if (!IsFixed(model, s)) {
            scale = Better<true>(V::Load(lower[s]), scale);
        }
    }
    bool finite = true;
    for (uint64_t s = 0; s < model.StateCount; ++s) {
        if (IsFixed(model, s)) {
            continue;
        }
        const Work value = V::Load(lower[s]);
        const Work base = V::template MulAdd<D>(scale, Work(1), value);
        upper[s] = V::Store(V::template MulAdd<D>(value, gamma, base));
        finite &= V::Load(upper[s]) <= std::numeric_limits<Work>::max();
    }
    return finite;
}

enum class Check { Holds, Fails, Crossed };

// One read-only Jacobi pass: B evaluated on the upper bounds themselves,
// every step in the direction D (upward under safe rounding). Holds when
// no state's value exceeds its upper bound (a NaN fails); Crossed when some
// upper bound lies below its lower bound, so that the guess was too low.
template <class V, bool Maximize, Dir D, class Lower, class Upper>
[[gnu::noinline, gnu::cold]] Check CheckUpperBound(const SparseMdp& model, Lower lower,
                                                   Upper upper, const TransitionValue* rewards) {
    using Work = typename V::Work;
    V::template Enter<D>();
    Check result = Check::Holds;
    for (uint64_t s = model.StateCount; s-- > 0;) {
        if (IsFixed(model, s)) {
            continue;
        }
        const uint64_t first = model.StateChoiceStart[s];
        const uint64_t end = model.StateChoiceStart[s + 1];
        Work value = ChoiceValue<V, D, RewardTerm>(model, first, upper, rewards);
        for (uint64_t c = first + 1; c < end; ++c) {
            value = Better<Maximize>(ChoiceValue<V, D, RewardTerm>(model, c, upper, rewards),
                                     value);
        }
        const Work bound = V::Load(upper[s]);
        if (bound < V::Load(lower[s])) {
            return Check::Crossed;
        }
        if (!(value <= bound)) {
            result = Check::Fails;
        }
    }
    return result;
}

[[gnu::noinline, gnu::cold]] void SendCertified(const KernelArguments& arguments,
                                                int64_t iteration, int32_t guesses) {
    char text[256];
    std::snprintf(text, sizeof text, kCertifiedFormat, iteration, guesses);
    arguments.Callback(0, text, SeverityInformation);
}

// The slack of the first guess: the requested precision relative to the
// lower bound of state 0, as a power of two between 2^-4 and 2^(8 - p) for
// p significant bits of the stored bounds (a smaller one drowns in the
// rounding errors of the check).
template <class V>
inline int32_t FirstShift(const IterationOptions& options, double lower0) {
    const double relative = options.Relative != 0 ? options.Epsilon
                            : lower0 > 0           ? options.Epsilon / lower0
                                                   : 1.0;
    const int32_t finest = std::numeric_limits<typename V::Stored>::digits - 8;
    int32_t shift = 4;
    double gamma = 1.0 / 32;  // 2^-(shift + 1)
    while (shift < finest && gamma >= relative) {
        ++shift;
        gamma *= 0.5;
    }
    return shift;
}

enum class CertifyStep {
    Continue,  // nothing for the loop to do
    Restart,   // the upper bounds were replaced or dropped: restart their stamps
    Stuck,     // no upper bound can be certified: the run ends
};

// After an iteration's sweeps, while no upper bound is certified: guesses,
// checks, drops. changed: whether the iteration changed a bound.
template <class V, bool Maximize, Dir D, class Lower, class Upper>
CertifyStep Certify(Certification<typename V::Work>& state, const SparseMdp& model,
                    int64_t iteration, bool changed, Lower lower, Upper upper,
                    const KernelArguments& arguments) {
    using Work = typename V::Work;
    const Work lower0 = V::Load(lower[0]);
    const Work last = state.LastLower;
    state.LastLower = lower0;
    if (state.Guessing) {
        const int64_t age = iteration - state.GuessedAt;
        bool failed = V::Load(upper[0]) < lower0;
        if (!failed && age == state.NextCheck) {
            state.NextCheck *= 2;
            const Check check =
                CheckUpperBound<V, Maximize, D>(model, lower, upper, arguments.Rewards);
            if (check == Check::Holds) {
                state.Certified = true;
                state.Guessing = false;
                SendCertified(arguments, iteration, state.Guesses);
                return CertifyStep::Continue;
            }
            failed = check == Check::Crossed;
        }
        if (!failed && age < state.Window) {
            return CertifyStep::Continue;
        }
        state.Guessing = false;
        state.WidestFailures += state.Shift == 0 ? 1 : 0;
        state.Shift = std::max(state.Shift - 2, 0);
        return CertifyStep::Restart;
    }
    if (state.Shift < 0) {
        state.Shift = FirstShift<V>(*arguments.Options, static_cast<double>(lower0));
    }
    // lower0 * gamma / 16 with gamma = 2^-Shift, exactly.
    Work threshold = lower0;
    for (int32_t i = 0; i < state.Shift + 4; ++i) {
        threshold = threshold * Work(0.5);
    }
    const bool settled = !changed || (lower0 > Work(0) && lower0 - last <= threshold);
    if (!settled) {
        return CertifyStep::Continue;
    }
    if (!changed && state.WidestFailures >= 2) {
        return CertifyStep::Stuck;  // the widest guess failed twice; the lower bounds settled
    }
    if (!InstallGuess<V, D>(model, lower, upper, state.Shift)) {
        return CertifyStep::Stuck;  // a lower bound overflowed
    }
    ++state.Guesses;
    state.Guessing = true;
    state.GuessedAt = iteration;
    state.NextCheck = 1;
    state.Window = 16;
    while (state.Window < iteration) {
        state.Window *= 2;
    }
    if (CheckUpperBound<V, Maximize, D>(model, lower, upper, arguments.Rewards) == Check::Holds) {
        state.Certified = true;
        state.Guessing = false;
        SendCertified(arguments, iteration, state.Guesses);
    }
    return CertifyStep::Restart;
}

// The result of the end of an iteration.
template <class V>
inline bool Finish(Decision decision, typename V::Stored lower, typename V::Stored upper,
                   IterationResult& result) {
    switch (decision) {
        case Decision::Converged:
            result = BoundsResult<V>(lower, upper, IterationStatusConverged);
            return true;
        case Decision::FixedPoint:
            result = BoundsResult<V>(lower, upper, IterationStatusFixedPoint);
            return true;
        case Decision::Continue:
            break;
    }
    return false;
}

// The sequential kernel: a lower sweep, then an upper sweep, then the
// measure, every iteration. Each vector has its stamps (none with
// Skipping::Never). For expected rewards the upper sweeps start once a
// guess is made (Certify).
template <class V, bool Maximize, class Term>
IterationResult SequentialLoop(const SparseMdp& model, typename V::Stored* lower,
                               typename V::Stored* upper, uint8_t* lowerStamps,
                               uint8_t* upperStamps, const KernelArguments& arguments) {
    SkipSchedule lowerSchedule = StartSchedule(arguments.Skip);
    SkipSchedule upperSchedule = StartSchedule(arguments.Skip);
    Certification<typename V::Work> bound = StartCertification<typename V::Work>(model);
    const int32_t maxIterations = arguments.Options->MaxIterations;
    PublishAchievedPrecision(arguments.AchievedPrecision, 1.0);
    for (int64_t iteration = 1;; ++iteration) {
        PublishIterationCount(arguments.IterationCount, iteration);
        if (LimitReached(iteration, maxIterations)) {
            return StopBeforeConvergence<V>(arguments, true, lower[0],
                                            ReportedUpper<V, Term>(bound, upper[0]));
        }
        if (AbortRequested(arguments.AbortFlag)) {
            return StopBeforeConvergence<V>(arguments, false, lower[0],
                                            ReportedUpper<V, Term>(bound, upper[0]));
        }
        V::template Enter<V::kSequentialLower>();
        bool changed = ScheduledSweep(
            lowerSchedule, iteration, arguments, [&](auto stamped, SweepClock clock) {
                return SequentialSweep<V, V::kSequentialLower, false, Maximize, stamped(), Term>(
                    model, lower, lowerStamps, clock, arguments);
            });
        if (AbortRequested(arguments.AbortFlag)) {
            return StopBeforeConvergence<V>(arguments, false, lower[0],
                                            ReportedUpper<V, Term>(bound, upper[0]));
        }
        if (SweepsUpper<Term>(bound)) {
            V::template Enter<V::kSequentialUpper>();
            changed |= ScheduledSweep(
                upperSchedule, iteration, arguments, [&](auto stamped, SweepClock clock) {
                    return SequentialSweep<V, V::kSequentialUpper, true, Maximize, stamped(),
                                           Term>(model, upper, upperStamps, clock, arguments);
                });
        }
        if constexpr (Term::kRewards) {
            if (!bound.Certified) {
                switch (Certify<V, Maximize, V::kSequentialUpper>(bound, model, iteration, changed,
                                                                  lower, upper, arguments)) {
                    case CertifyStep::Restart:
                        upperSchedule = StartSchedule(arguments.Skip);
                        changed = true;  // the upper bounds were replaced
                        break;
                    case CertifyStep::Stuck:
                        return BoundsResult<V>(lower[0], ReportedUpper<V, Term>(bound, upper[0]),
                                               IterationStatusFixedPoint);
                    case CertifyStep::Continue:
                        break;
                }
            }
        }
        const typename V::Stored upper0 = ReportedUpper<V, Term>(bound, upper[0]);
        IterationResult result;
        if (Finish<V>(MeasureAndDecide<V>(arguments, lower[0], upper0,
                                          changed || !UpperHolds<Term>(bound)),
                      lower[0], upper0, result)) {
            return result;
        }
    }
}

template <class V, class Term = ProbabilityTerm>
IterationResult IterateUnboundedSequential(const SparseMdp* model,
                                           typename V::Stored* lower,
                                           typename V::Stored* upper, uint8_t* lowerStamps,
                                           uint8_t* upperStamps,
                                           const KernelArguments& arguments) {
    if (arguments.Options->Maximize != 0) {
        return SequentialLoop<V, true, Term>(*model, lower, upper, lowerStamps, upperStamps,
                                             arguments);
    }
    return SequentialLoop<V, false, Term>(*model, lower, upper, lowerStamps, upperStamps,
                                          arguments);
}

// Both sums of one choice in the interleaved layout.
template <class W>
struct SumPair {
    W Lower;
    W Upper;
};

// One half of a transition's steps under a global direction that changes:
// the switch to D, then the step of `sum`. The pins carry the order across
// the switch: `other`, pinned before it, is complete before it, and the
// inputs are read through pointers pinned after it, so that the compiler
// can neither hoist them nor merge the two halves' quotients. With
// StartsSums the sum first takes the term's start (the choice's reward),
// read the same way.
template <class V, Dir D, bool StartsSums>
inline void DirectedHalf(const TransitionValue& value, const typename V::Stored& successor,
                         const TransitionValue* start, typename V::Work& sum,
                         typename V::Work& other) {
    const TransitionValue* pinnedValue = &value;
    const typename V::Stored* pinnedSuccessor = &successor;
    Pin(other);
    V::template Enter<D>();
    Pin(pinnedValue, pinnedSuccessor, sum);
    if constexpr (StartsSums) {
        Pin(start);
        sum = V::template Probability<D>(*start);
    }
    const typename V::Work probability = V::template Probability<D>(*pinnedValue);
    sum = V::template MulAdd<D>(sum, probability, V::Load(*pinnedSuccessor));
}

// One transition's steps of both sums: two direction changes. Every step of
// the lower half completes under the downward direction and every step of
// the upper half starts after the switch to up.
template <class V, bool StartsSums>
inline void DirectedSteps(const TransitionValue& value,
                          const BoundPair<typename V::Stored>& successor,
                          const TransitionValue* start, typename V::Work& lowerSum,
                          typename V::Work& upperSum) {
    DirectedHalf<V, V::kInterleavedLower, StartsSums>(value, successor.Lower, start, lowerSum,
                                                      upperSum);
    DirectedHalf<V, V::kInterleavedUpper, StartsSums>(value, successor.Upper, start, upperSum,
                                                      lowerSum);
}

template <class V, class Term = ProbabilityTerm>
inline SumPair<typename V::Work> InterleavedChoiceValue(
    const SparseMdp& model, uint64_t choice,
    const BoundPair<typename V::Stored>* bounds, const TransitionValue* rewards) {
    using Work = typename V::Work;
    constexpr Dir kLower = V::kInterleavedLower;
    constexpr Dir kUpper = V::kInterleavedUpper;
    Work lowerSum = Work(0);
    Work upperSum = Work(0);
    uint64_t t = model.ChoiceTransitionStart[choice];
    const uint64_t end = model.ChoiceTransitionStart[choice + 1];
    if constexpr (Term::kRewards) {
        if constexpr (V::kSharedQuotient) {
            lowerSum = Term::template Start<V, kLower>(rewards, choice);
            upperSum = lowerSum;
        } else if constexpr (!V::kChangesDirection) {
            V::template ProbabilityPair<kLower, kUpper>(rewards[choice], lowerSum, upperSum);
        } else if (t < end) {
            // The reward joins the first transition's steps, in their
            // directions, without further direction changes.
            DirectedSteps<V, true>(model.TransitionValues[t], bounds[model.TransitionTarget[t]],
                                   &rewards[choice], lowerSum, upperSum);
            ++t;
        } else {
            const TransitionValue* lowerStart = &rewards[choice];
            const TransitionValue* upperStart = &rewards[choice];
            Pin(upperSum);
            V::template Enter<kLower>();
            Pin(lowerStart);
            lowerSum = V::template Probability<kLower>(*lowerStart);
            Pin(lowerSum);
            V::template Enter<kUpper>();
            Pin(upperStart);
            upperSum = V::template Probability<kUpper>(*upperStart);
        }
    }
    for (; t < end; ++t) {
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
            DirectedSteps<V, false>(value, successor, nullptr, lowerSum, upperSum);
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
template <class V, bool Maximize, bool Stamped, class Term = ProbabilityTerm>
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
        SumPair<Work> best =
            InterleavedChoiceValue<V, Term>(model, first, bounds, arguments.Rewards);
        for (uint64_t c = first + 1; c < end; ++c) {
            const SumPair<Work> sums =
                InterleavedChoiceValue<V, Term>(model, c, bounds, arguments.Rewards);
            best.Lower = Better<Maximize>(sums.Lower, best.Lower);
            best.Upper = Better<Maximize>(sums.Upper, best.Upper);
        }
        if constexpr (V::kChangesDirection) {
            // Stores that round (x87) do so in the direction the last
            // transition left in force, not earlier.
            Pin(best.Lower, best.Upper);
        }
        clamped |= ClampBound<V, false, Term>(best.Lower);
        clamped |= ClampBound<V, true, Term>(best.Upper);
        BoundPair<typename V::Stored>& stored = bounds[i];
        const Work oldLower = V::Load(stored.Lower);
        const Work oldUpper = V::Load(stored.Upper);
        if constexpr (kComparesStored<V, Term>) {
            StorePair<V>(stored, best.Lower, best.Upper);
            best.Lower = V::Load(stored.Lower);
            best.Upper = V::Load(stored.Upper);
        }
        bool differs = Differs(best.Lower, oldLower);
        differs |= Differs(best.Upper, oldUpper);
        changed |= differs;
        if constexpr (Stamped) {
            if (differs || FlipsZero(best.Lower, oldLower) || FlipsZero(best.Upper, oldUpper)) {
                stamps[i] = clock.Current;
            }
        }
        if constexpr (!kComparesStored<V, Term>) {
            StorePair<V>(stored, best.Lower, best.Upper);
        }
    }
    NoteClamp<V>(clamped, arguments);
    return {changed, skipped, visited};
}

// The interleaved kernel: one sweep updates both bounds, then the measure.
// For expected rewards, until a guess is made (Certify) the sweeps update
// the lower halves alone, as the sequential kernel's lower sweeps do.
template <class V, bool Maximize, class Term>
IterationResult InterleavedLoop(const SparseMdp& model,
                                BoundPair<typename V::Stored>* bounds, uint8_t* stamps,
                                const KernelArguments& arguments) {
    using Lower = PairHalf<typename V::Stored, false>;
    using Upper = PairHalf<typename V::Stored, true>;
    SkipSchedule schedule = StartSchedule(arguments.Skip);
    Certification<typename V::Work> bound = StartCertification<typename V::Work>(model);
    const int32_t maxIterations = arguments.Options->MaxIterations;
    PublishIterationCount(arguments.IterationCount, 0);
    PublishAchievedPrecision(arguments.AchievedPrecision, 1.0);
    for (int64_t iteration = 1;; ++iteration) {
        if (AbortRequested(arguments.AbortFlag)) {
            return StopBeforeConvergence<V>(arguments, false, bounds[0].Lower,
                                            ReportedUpper<V, Term>(bound, bounds[0].Upper));
        }
        PublishIterationCount(arguments.IterationCount, iteration);
        if (LimitReached(iteration, maxIterations)) {
            return StopBeforeConvergence<V>(arguments, true, bounds[0].Lower,
                                            ReportedUpper<V, Term>(bound, bounds[0].Upper));
        }
        bool changed;
        if (SweepsUpper<Term>(bound)) {
            changed = ScheduledSweep(
                schedule, iteration, arguments, [&](auto stamped, SweepClock clock) {
                    return InterleavedSweep<V, Maximize, stamped(), Term>(model, bounds, stamps,
                                                                          clock, arguments);
                });
        } else {
            V::template Enter<V::kInterleavedLower>();
            changed = ScheduledSweep(
                schedule, iteration, arguments, [&](auto stamped, SweepClock clock) {
                    return SequentialSweep<V, V::kInterleavedLower, false, Maximize, stamped(),
                                           Term>(model, Lower{bounds}, stamps, clock, arguments);
                });
        }
        if constexpr (Term::kRewards) {
            if (!bound.Certified) {
                switch (Certify<V, Maximize, V::kInterleavedUpper>(
                    bound, model, iteration, changed, Lower{bounds}, Upper{bounds}, arguments)) {
                    case CertifyStep::Restart:
                        schedule = StartSchedule(arguments.Skip);
                        changed = true;  // the upper bounds were replaced
                        break;
                    case CertifyStep::Stuck:
                        return BoundsResult<V>(bounds[0].Lower,
                                               ReportedUpper<V, Term>(bound, bounds[0].Upper),
                                               IterationStatusFixedPoint);
                    case CertifyStep::Continue:
                        break;
                }
            }
        }
        const typename V::Stored upper0 = ReportedUpper<V, Term>(bound, bounds[0].Upper);
        IterationResult result;
        if (Finish<V>(MeasureAndDecide<V>(arguments, bounds[0].Lower, upper0,
                                          changed || !UpperHolds<Term>(bound)),
                      bounds[0].Lower, upper0, result)) {
            return result;
        }
    }
}

template <class V, class Term = ProbabilityTerm>
IterationResult IterateUnboundedInterleaved(const SparseMdp* model,
                                            BoundPair<typename V::Stored>* bounds,
                                            uint8_t* stamps, const KernelArguments& arguments) {
    if (arguments.Options->Maximize != 0) {
        return InterleavedLoop<V, true, Term>(*model, bounds, stamps, arguments);
    }
    return InterleavedLoop<V, false, Term>(*model, bounds, stamps, arguments);
}

}  // namespace
}  // namespace ii
