/*
 * IntervalIteration: sound bounds on reachability probabilities of Markov
 * decision processes by interval iteration, with explicit control of the
 * floating-point rounding direction and precision.
 *
 * The host builds the model in its own memory, fills an options record and
 * calls IntervalIteration. Every record below is part of the binary
 * interface: sizes, offsets and signedness are fixed (checked at the end of
 * this header) and all integers are little-endian.
 *
 * Usable from C (C11 or later) and C++.
 */
#ifndef INTERVAL_ITERATION_H
#define INTERVAL_ITERATION_H

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

/* Instruction set for the floating-point work. */
typedef enum Fpu {
    FpuDefault = 0, /* portable floating-point environment (fesetround) */
    FpuX87 = 1,     /* x87 control word: rounding and precision control */
    FpuSSE = 2,     /* MXCSR rounding control */
    FpuAVX512 = 3   /* per-instruction rounding, fused multiply-add; ask
                       GetNativeSupportMask for bit 1 before choosing it */
} Fpu;

/* Working precision and element type of the bounds. */
typedef enum Precision {
    PrecisionDouble = 0,   /* binary64 */
    PrecisionExtended = 1, /* x87 80-bit extended in a 16-byte slot; x87 only */
    PrecisionSingle = 2    /* binary32 */
} Precision;

/* Rounding behaviour. */
typedef enum Rounding {
    RoundingDefault = 0, /* compute in the caller's rounding direction */
    RoundingSafe = 1     /* lower bounds round toward -inf, upper bounds and
                            the convergence measure toward +inf */
} Rounding;

/* Importance of a message, the third argument of MessageCallback. */
typedef enum Severity {
    SeverityError = 0,
    SeverityWarning = 1,
    SeverityInformation = 2
} Severity;

/* IterationResult.Status. */
typedef enum IterationStatus {
    IterationStatusConverged = 0,  /* measure <= Epsilon */
    IterationStatusStopped = 1,    /* iteration limit reached or aborted */
    IterationStatusFixedPoint = 2, /* nothing changed, bounds still apart */
    IterationStatusError = 3       /* call refused; both bounds are NaN */
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

/* The model in compressed sparse layout, 80 bytes. The library only reads
 * it and keeps no pointer to it after the call. Counts and indices are
 * unsigned 64-bit values. */
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
 * true when nonzero, whatever its value. */
typedef struct IterationOptions {
    double Epsilon;                /* offset 0: converged when the measure is
                                      at most Epsilon */
    int32_t MaxIterations;         /* offset 8: 0 = no limit; negative stops
                                      before the first sweep */
    uint8_t Maximize;              /* offset 12: max over choices, else min */
    uint8_t Relative;              /* offset 13: relative measure */
    uint8_t WarnOnAbort;           /* offset 14: warn when aborted */
    uint8_t ReturnBoundsOnFailure; /* offset 15: on status 1 return the
                                      current bounds instead of NaN */
    uint8_t Fpu;                   /* offset 16: an Fpu value */
    uint8_t Precision;             /* offset 17: a Precision value */
    uint8_t Rounding;              /* offset 18: a Rounding value */
    uint8_t Sequential;            /* offset 19: two bound vectors (nonzero)
                                      or one vector of lower/upper pairs */
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

/* Receives every message of a call, synchronously on the caller's thread.
 * Context is always 0. Text is valid only until the callback returns; a text
 * that concerns the property carries the placeholder {0}. Severity is a
 * Severity value. */
typedef void (*MessageCallback)(uint64_t Context, const char* Text,
                                uint64_t Severity);

/* ---------------------------------------------------------------------------
 * Exported functions
 * ------------------------------------------------------------------------- */

/* Bounds on the minimal or maximal probability of reaching TargetStates from
 * state 0. IterationCount, AchievedPrecision and WarnedFlag are the caller's
 * output locations; AbortFlag may be set from another thread at any time and
 * is only read. */
INTERVAL_ITERATION_API IterationResult IntervalIteration(
    const SparseMdp* Model, const IterationOptions* Options,
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
 * the processor has AVX512F and AVX512DQ, so FpuAVX512 may be selected. */
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
