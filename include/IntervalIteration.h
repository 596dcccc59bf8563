/* SPDX-License-Identifier: MIT (see LICENSE)
 *
 * IntervalIteration: sound bounds on reachability probabilities and expected
 * total rewards of Markov decision processes by interval iteration, with
 * explicit control of the floating-point rounding direction and precision.
 *
 * The host builds the model in its own memory, fills an options record and
 * calls IntervalIteration on its own thread. Every record below is part of
 * the binary interface: sizes, offsets and signedness are fixed (checked at
 * the end of this header); all integers are little-endian, floating-point
 * fields are IEEE 754 binary64, pointers and counts are 64 bits wide.
 *
 * Ownership: the host owns every record and array and every output
 * location; the library reads the model and the options, writes only the
 * three output locations and the returned record, and keeps no pointer to
 * anything after a call returns. It has no state between calls and starts
 * no threads; calls may run on several threads at once, each with its own
 * output locations.
 *
 * Usable from C (C11 or later) and C++ (IntervalIteration.hpp wraps it for
 * C++17 and later). docs/guide.md has worked examples.
 */
#ifndef INTERVAL_ITERATION_H
#define INTERVAL_ITERATION_H

/* The version of this header and of the library built with it. This is the
 * one place the version is set: the build reads it from here for the
 * library's file name and SONAME (the major version), the CMake package, the
 * pkg-config file, iicheck --version and the release packages. The major
 * version changes when the binary interface does. */
#define INTERVAL_ITERATION_VERSION_MAJOR 1
#define INTERVAL_ITERATION_VERSION_MINOR 2
#define INTERVAL_ITERATION_VERSION_PATCH 0
#define INTERVAL_ITERATION_STRINGIFY_(Value) #Value
#define INTERVAL_ITERATION_STRINGIFY(Value) INTERVAL_ITERATION_STRINGIFY_(Value)
/* "1.2.0" */
#define INTERVAL_ITERATION_VERSION                                      \
    INTERVAL_ITERATION_STRINGIFY(INTERVAL_ITERATION_VERSION_MAJOR) "."  \
    INTERVAL_ITERATION_STRINGIFY(INTERVAL_ITERATION_VERSION_MINOR) "."  \
    INTERVAL_ITERATION_STRINGIFY(INTERVAL_ITERATION_VERSION_PATCH)

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define INTERVAL_ITERATION_API __attribute__((visibility("default")))
#else
#define INTERVAL_ITERATION_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Option values. Each travels as one byte inside IterationOptions; any byte
 * value is accepted and values outside these lists are answered, never
 * trusted (see IntervalIteration).
 * ------------------------------------------------------------------------- */

/* Instruction set for the floating-point work (IterationOptions.Fpu). */
typedef enum Fpu {
    FpuDefault = 0, /* "default": the portable floating-point environment;
                       safe rounding switches directions with fesetround */
    FpuX87 = 1,     /* "x87": x87 registers, rounding and precision set in the
                       x87 control word; the only set with extended precision */
    FpuSSE = 2,     /* "SSE": SSE registers, directions set in MXCSR */
    FpuAVX512 = 3   /* "AVX-512": double precision only, the direction carried
                       by each instruction, fused multiply-add; where
                       GetNativeSupportMask() has bit 1 clear it is refused
                       with status 3, like any unsupported combination */
} Fpu;

/* Working precision and element type of the bounds
 * (IterationOptions.Precision). Bounds are always returned as binary64. */
typedef enum Precision {
    PrecisionDouble = 0,   /* "double": binary64 */
    PrecisionExtended = 1, /* "extended": x87 80-bit values (64-bit significand)
                              in 16-byte slots; x87 only; results rounded to
                              binary64, outward under safe rounding */
    PrecisionSingle = 2    /* "single": binary32 */
} Precision;

/* Rounding behaviour (IterationOptions.Rounding). */
typedef enum Rounding {
    RoundingDefault = 0, /* "default": every operation in the direction the
                            caller has in force; the library changes nothing
                            (AVX-512 sequential: round to nearest) */
    RoundingSafe = 1     /* "safe" (also any value 2 to 255): lower bounds round
                            toward -inf, upper bounds and the convergence
                            measure toward +inf, so the bounds hold */
} Rounding;

/* Importance of a message: the third argument of MessageCallback. */
typedef enum Severity {
    SeverityError = 0,      /* the call is refused (status 3) */
    SeverityWarning = 1,    /* an iteration limit, an abort, a value above 1,
                               crossed bounds, inexact fractions */
    SeverityInformation = 2 /* the variant the call uses; a certified upper
                               bound of expected rewards */
} Severity;

/* IterationResult.Status. */
typedef enum IterationStatus {
    IterationStatusConverged = 0,  /* the measure of state 0 is at most
                                      Epsilon; the bounds of state 0 */
    IterationStatusStopped = 1,    /* the iteration limit or the abort flag
                                      stopped the run: both bounds NaN, or
                                      the current ones with
                                      ReturnBoundsOnFailure */
    IterationStatusFixedPoint = 2, /* an iteration changed no bound while the
                                      measure was above Epsilon (or NaN); the
                                      bounds of state 0 */
    IterationStatusError = 3       /* the call is refused (floating-point or
                                      malformed model, or no such variant):
                                      both bounds the quiet NaN
                                      0x7FF8000000000000, the output locations
                                      untouched, one error message */
} IterationStatus;

/* ---------------------------------------------------------------------------
 * Records
 * ------------------------------------------------------------------------- */

/* A set of states is an array of ceil(n / 64) StateBitset words: state s is
 * a member when bit (s % 64) of word (s / 64) is set, bit 0 being the least
 * significant. Bits at positions n and above are ignored. */
typedef uint64_t StateBitset;

/* One transition probability, 16 bytes.
 * Denominator != 0: the probability is Numerator / Denominator, both signed
 *   64-bit integers converted to the working type and divided in it.
 * Denominator == 0: the 8 bytes at offset 0 hold the probability itself as
 *   a binary64 value (write it through Value, or copy its bits into
 *   Numerator). */
typedef struct TransitionValue {
    union {
        int64_t Numerator; /* offset 0 */
        double Value;      /* offset 0, when Denominator == 0 */
    };
    int64_t Denominator; /* offset 8 */
} TransitionValue;

/* The model in compressed sparse layout, 80 bytes: states, the choices of
 * each state, the transitions of each choice. The library only reads it and
 * keeps no pointer to it after the call. Counts and indices are unsigned
 * 64-bit values. Before iterating, the library checks what it would
 * otherwise read out of bounds (at least one state, a target set, ascending
 * offsets within TransitionCount, successors below StateCount, a choice for
 * every state in neither set) and the values it reads (no NaN, infinity or
 * negative value, no fraction with a negative quotient, at single precision
 * no stored value above FLT_MAX; -0 and 0/-1 are zero), and refuses a model
 * that fails with status 3; the lengths of the arrays themselves it must
 * take on trust. */
typedef struct SparseMdp {
    uint32_t IsRational; /* offset 0: nonzero = TransitionValues carry exact
                            values; 0 is refused */
    /* offset 4: 4 bytes of padding, not read */
    uint64_t StateCount;                     /* offset 8: n >= 1; state 0 is
                                                the state whose bounds are
                                                returned */
    const StateBitset* ZeroStates;           /* offset 16: states with
                                                probability 0, or NULL */
    const StateBitset* TargetStates;         /* offset 24: target states,
                                                required */
    const uint64_t* StateChoiceStart;        /* offset 32: n + 1 entries; the
                                                choices of state s are
                                                [StateChoiceStart[s],
                                                StateChoiceStart[s + 1]) */
    uint64_t ChoiceCount;                    /* offset 40: C =
                                                StateChoiceStart[n]; not read */
    const uint64_t* ChoiceTransitionStart;   /* offset 48: C + 1 entries; the
                                                transitions of choice c are
                                                [ChoiceTransitionStart[c],
                                                ChoiceTransitionStart[c + 1]) */
    uint64_t TransitionCount;                /* offset 56: T */
    const uint64_t* TransitionTarget;        /* offset 64: T successor states */
    const TransitionValue* TransitionValues; /* offset 72: T probabilities */
} SparseMdp;

/* Options of one call, 24 bytes (fields in the first 20). A bool byte is
 * true when nonzero, whatever its value. Option bytes of any value are
 * answered: unnamed ones are shown as "(invalid value)" and, where they pick
 * no variant, refused with status 3. */
typedef struct IterationOptions {
    double Epsilon;                /* offset 0: required precision: converged
                                      when (Upper0 - Lower0) / 2 (divided by
                                      Lower0 with Relative) is at most Epsilon;
                                      0 asks for equal bounds */
    int32_t MaxIterations;         /* offset 8: iteration limit; 0 = none; a
                                      negative limit stops before the first
                                      sweep. Signed. */
    uint8_t Maximize;              /* offset 12: maximum over the choices of a
                                      state; zero: minimum */
    uint8_t Relative;              /* offset 13: relative measure (when
                                      Upper0 > 0); +inf while Lower0 is
                                      not positive (-0 included), so the
                                      run cannot converge then */
    uint8_t WarnOnAbort;           /* offset 14: a warning when AbortFlag stops
                                      the run */
    uint8_t ReturnBoundsOnFailure; /* offset 15: with status 1, the current
                                      bounds of state 0 instead of NaN */
    uint8_t Fpu;                   /* offset 16: an Fpu value */
    uint8_t Precision;             /* offset 17: a Precision value (3 to 255
                                      count as double) */
    uint8_t Rounding;              /* offset 18: a Rounding value */
    uint8_t Sequential;            /* offset 19: two bound vectors, a lower and
                                      an upper sweep per iteration; zero: one
                                      vector of lower/upper pairs, one sweep */
    /* offset 20: 4 bytes of padding, never read */
} IterationOptions;

/* What IntervalIteration returns, 24 bytes. */
typedef struct IterationResult {
    double Lower;   /* offset 0: lower bound of state 0, or the quiet NaN
                       0x7FF8000000000000 */
    double Upper;   /* offset 8: upper bound of state 0, or that NaN */
    int32_t Status; /* offset 16: an IterationStatus */
    /* offset 20: 4 bytes without meaning */
} IterationResult;

/* Rewards for ExpectedRewardIteration, 16 bytes. */
typedef struct SparseRewards {
    const TransitionValue* ChoiceRewards; /* offset 0: one reward per choice of
                                             the model, in the order of its
                                             choices; each a finite value >= 0
                                             (a stored binary64 or a fraction,
                                             as TransitionValue): what taking
                                             the choice earns, the state's own
                                             reward and the expected
                                             transition reward included */
    uint64_t ChoiceCount;                 /* offset 8: the number of entries;
                                             must equal
                                             Model->StateChoiceStart[
                                             Model->StateCount] */
} SparseRewards;

/* Receives every message of a call, synchronously on the caller's thread,
 * from inside IntervalIteration, ExpectedRewardIteration or
 * MaximalEndComponents. Context is always
 * 0. Text is a NUL-terminated string valid only until the callback returns
 * (copy it to keep it); a text that concerns the property carries the
 * placeholder {0} for the host to replace with the property's name.
 * Severity is a Severity value. The callback runs with the floating-point
 * state of that point of the call in force (under safe rounding a direction
 * set by the library) and must not change it. */
typedef void (*MessageCallback)(uint64_t Context, const char* Text,
                                uint64_t Severity);

/* ---------------------------------------------------------------------------
 * Exported functions
 * ------------------------------------------------------------------------- */

/* Bounds on the minimal or maximal probability of reaching TargetStates from
 * state 0, by interval iteration in the variant the options select.
 *   Model, Options     read only, not kept.
 *   IterationCount     out: the number of the last iteration started
 *                      (sequential layout: 1 when aborted at once;
 *                      interleaved: 0); written with relaxed atomic stores
 *                      while the call runs, for another thread to watch.
 *   AchievedPrecision  out: 1.0 at the start, then the measure of state 0
 *                      after every iteration (relaxed atomic stores).
 *   WarnedFlag         in/out: the warnings about values above 1 and crossed
 *                      bounds are sent only while it is 0; a clamp at 1 sets
 *                      it to 1. Pass 0 to allow them, nonzero to silence them.
 *   Callback           receives every message (see MessageCallback).
 *   AbortFlag          in: polled with relaxed atomic loads at the start of
 *                      every iteration (and between the two sweeps of the
 *                      sequential layout); nonzero stops the run with status
 *                      1. Any thread may set it; the library never writes it.
 * All pointers must be valid; ZeroStates may be NULL. On status 3 the output
 * locations are not written. The caller's rounding direction, x87 control
 * word and MXCSR control bits are the same after the call; exception flags
 * raised by the computation stay raised. */
INTERVAL_ITERATION_API IterationResult IntervalIteration(
    const SparseMdp* Model, const IterationOptions* Options,
    int64_t* IterationCount, double* AchievedPrecision, int32_t* WarnedFlag,
    MessageCallback Callback, const int32_t* AbortFlag);

/* Bounds on the minimal or maximal expected total reward earned from state 0
 * until a target state is reached, by interval iteration. Targets and
 * ZeroStates have value 0; every other state takes the minimum or maximum
 * over its choices of reward + sum of probability * successor value. Same
 * arguments, statuses, messages, termination rules and floating-point state
 * handling as IntervalIteration; results are not clamped at 1 and WarnedFlag
 * concerns only crossed bounds (nothing is clamped).
 *
 * What the host guarantees: it has removed the states whose expected reward
 * is infinite (those that reach a target with probability below 1 under the
 * scheduler the value is taken over: for a minimum, every scheduler; for a
 * maximum, some scheduler), and the choices leading to them, and, for a
 * minimum, collapsed the end components whose choices earn nothing. Then the
 * least fixed point of the Bellman operator B above is the answer and is
 * finite. The library refuses (status 3, an error naming the fault) a
 * Rewards record that is NULL, a ChoiceCount other than the model's number of
 * choices, and a reward that is negative, NaN or infinite (naming the
 * choice), like the other malformed models.
 *
 * Lower bounds start at 0 and are iterated upward (rounded down under safe
 * rounding); they stay below the least fixed point. Upper bounds are made
 * certain, not assumed: once the lower bound of state 0 settles, the library
 * guesses a vector u from the lower iterate, u = l + g * (l + max l) for a
 * small power of two g, and checks B(u) <= u state by state in one read-only
 * pass that rounds every step upward (under default rounding: in the upper
 * sweeps' direction, without guarantee). Any u with B(u) <= u lies above the
 * least fixed point (Knaster-Tarski), and the upper sweeps, rounded upward,
 * stay above it from there. Until the check passes, the upper bounds are
 * iterated from the guess uncertified and checked again after 1, 2, 4, ...
 * iterations; a guess that falls below a lower bound or stays uncertified
 * for as many iterations as the run had before it is dropped, and the next
 * one, after further lower iterations, has four times the slack. (This is
 * optimistic value iteration. A structural bound computed from the smallest
 * probabilities is certain without a check, but needs graph analyses and
 * lies exponentially far above the answer on most models, so that the
 * upper sweeps would hardly come down from it.) When a bound is certified,
 * an Information message says at which iteration and with which guess:
 * "Interval iteration for property "{0}" certified an upper bound at
 * iteration 120 with guess 1: one application of the Bellman operator does
 * not increase it."
 *
 * Until an upper bound is certified, the upper bound of state 0 is +inf
 * (unless state 0 is a target or zero state) and so is the measure and
 * AchievedPrecision; IterationCount, MaxIterations, AbortFlag and
 * ReturnBoundsOnFailure work throughout. A lower bound never overflows: one
 * that would exceed the largest finite value of its precision stays at that
 * value. A run whose guess overflows, or whose lower bounds settle while even
 * the widest guess fails, ends with status 2 and the upper bound +inf. On a
 * model that breaks the host's guarantee (an infinite expected reward) the
 * lower bounds grow without end: only MaxIterations or AbortFlag ends such
 * a run. */
INTERVAL_ITERATION_API IterationResult ExpectedRewardIteration(
    const SparseMdp* Model, const SparseRewards* Rewards, const IterationOptions* Options,
    int64_t* IterationCount, double* AchievedPrecision, int32_t* WarnedFlag,
    MessageCallback Callback, const int32_t* AbortFlag);

/* End-component decomposition: not implemented. Returns 1 at once when
 * *AbortFlag is nonzero, otherwise sends an error message and returns 2. The
 * first three arguments are not read. */
INTERVAL_ITERATION_API int32_t MaximalEndComponents(
    const void* Model, void* Output, void* Reserved, MessageCallback Callback,
    const int32_t* AbortFlag);

/* Display names of option bytes; "(invalid value)" for unnamed values. The
 * strings are constant and owned by the library. */
INTERVAL_ITERATION_API const char* PrecisionToString(uint8_t Value);
INTERVAL_ITERATION_API const char* FpuToString(uint8_t Value);
INTERVAL_ITERATION_API const char* RoundingToString(uint8_t Value);

/* Width in bytes of the size type of the records: 8. */
INTERVAL_ITERATION_API int32_t GetSizeOfSizeType(void);

/* Bit 0 (always set): FpuDefault, FpuX87 and FpuSSE are available. Bit 1:
 * the processor has AVX512F and AVX512DQ and the operating system has
 * enabled their registers (XCR0), so FpuAVX512 computes; without bit 1
 * IntervalIteration refuses FpuAVX512 with status 3. */
INTERVAL_ITERATION_API int32_t GetNativeSupportMask(void);

/* Copies the processor's 12-character vendor string, cut to Length - 1
 * characters and NUL-terminated, into Buffer (nothing when Length is 0) and
 * returns 12. */
INTERVAL_ITERATION_API int32_t GetCpuVendor(char* Buffer, uint64_t Length);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---------------------------------------------------------------------------
 * The binary interface, pinned.
 * ------------------------------------------------------------------------- */
#ifdef __cplusplus
#define INTERVAL_ITERATION_STATIC_ASSERT(Condition) \
    static_assert(Condition, #Condition)
#else
#define INTERVAL_ITERATION_STATIC_ASSERT(Condition) \
    _Static_assert(Condition, #Condition)
#endif

INTERVAL_ITERATION_STATIC_ASSERT(sizeof(void*) == 8);
INTERVAL_ITERATION_STATIC_ASSERT(sizeof(StateBitset) == 8);

INTERVAL_ITERATION_STATIC_ASSERT(sizeof(TransitionValue) == 16);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(TransitionValue, Numerator) == 0);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(TransitionValue, Value) == 0);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(TransitionValue, Denominator) == 8);

INTERVAL_ITERATION_STATIC_ASSERT(sizeof(SparseMdp) == 80);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseMdp, IsRational) == 0);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseMdp, StateCount) == 8);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseMdp, ZeroStates) == 16);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseMdp, TargetStates) == 24);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseMdp, StateChoiceStart) == 32);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseMdp, ChoiceCount) == 40);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseMdp, ChoiceTransitionStart) == 48);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseMdp, TransitionCount) == 56);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseMdp, TransitionTarget) == 64);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseMdp, TransitionValues) == 72);

INTERVAL_ITERATION_STATIC_ASSERT(sizeof(SparseRewards) == 16);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseRewards, ChoiceRewards) == 0);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(SparseRewards, ChoiceCount) == 8);

INTERVAL_ITERATION_STATIC_ASSERT(sizeof(IterationOptions) == 24);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationOptions, Epsilon) == 0);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationOptions, MaxIterations) == 8);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationOptions, Maximize) == 12);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationOptions, Relative) == 13);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationOptions, WarnOnAbort) == 14);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationOptions, ReturnBoundsOnFailure) == 15);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationOptions, Fpu) == 16);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationOptions, Precision) == 17);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationOptions, Rounding) == 18);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationOptions, Sequential) == 19);

INTERVAL_ITERATION_STATIC_ASSERT(sizeof(IterationResult) == 24);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationResult, Lower) == 0);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationResult, Upper) == 8);
INTERVAL_ITERATION_STATIC_ASSERT(offsetof(IterationResult, Status) == 16);

#undef INTERVAL_ITERATION_STATIC_ASSERT

#endif /* INTERVAL_ITERATION_H */
