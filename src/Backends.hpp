// Back-end primitives: how each instruction set puts a rounding direction in
// force, and the arithmetic of each precision. The generic kernels and
// drivers are instantiated from the variant policies at the end of this file.
//
// Compilers do not model the rounding direction. Three things keep them from
// undoing the direction schedule:
//  - the library is compiled without floating-point contraction and with
//    strict rounding semantics (see CMakeLists.txt);
//  - every direction change is an asm statement with a "memory" clobber (or,
//    for fesetround, a call wrapped in such statements), so loads and stores
//    cannot cross it;
//  - values that live in registers across a change are pinned by empty asm
//    statements that take them as in/out operands (Pin): a value pinned
//    before the change must be complete before it, and a value pinned after
//    the change is a new definition, so nothing computed from it can be
//    merged with or hoisted above work done in the other direction.
#pragma once

#include "IntervalIteration.h"

#include <immintrin.h>

#include <cfenv>
#include <cstdint>

namespace ii {
namespace {  // internal linkage: each translation unit (the AVX-512 one is
             // compiled for another target) keeps its own copies

// ---------------------------------------------------------------------------
// Rounding directions as the kernels name them.
// ---------------------------------------------------------------------------
enum class Dir {
    InForce,  // whatever the thread's floating-point state holds
    Down,     // toward minus infinity
    Up,       // toward plus infinity
    Nearest,  // to nearest even (attached per instruction only)
};

// ---------------------------------------------------------------------------
// Value pins. They emit no instruction; they make the value an output of a
// volatile asm statement at that point of the program.
// ---------------------------------------------------------------------------
inline void Pin(float& value) { asm volatile("" : "+x"(value)); }
inline void Pin(double& value) { asm volatile("" : "+x"(value)); }
inline void Pin(long double& value) { asm volatile("" : "+t"(value)); }
inline void Pin(int64_t& value) { asm volatile("" : "+r"(value)); }
inline void Pin(uint64_t& value) { asm volatile("" : "+r"(value)); }
// A pinned pointer is an unknown address afterwards: loads through it cannot
// move above the pin, and loads through two pinned copies of one pointer
// cannot be merged.
template <class T>
inline void Pin(T*& pointer) {
    asm volatile("" : "+r"(pointer));
}
template <class... T>
inline void Pin(T&... values) {
    (Pin(values), ...);
}

inline void MemoryBarrier() { asm volatile("" ::: "memory"); }

// ---------------------------------------------------------------------------
// Direction control through global per-thread state. Each environment offers
// SetRoundDown, SetRoundUp, and the driver's Prepare/Restore pair around the
// kernel (which is SaveRounding/RestoreRounding, plus SetPrecision and
// RestorePrecision on the x87).
// ---------------------------------------------------------------------------

// No direction control at all: default-rounding variants of the portable and
// SSE back-ends, and both AVX-512 variants (whose directions travel with each
// instruction).
struct NoEnvironment {
    static constexpr bool kGlobalDirection = false;
    struct Saved {};
    static Saved Prepare() { return {}; }
    static void Restore(Saved) {}
    static void SetRoundDown() {}
    static void SetRoundUp() {}
};

// MXCSR: rounding control in bits 13-14. Every operation is a complete
// read-modify-write; only the rounding field is ever changed.
struct SseEnvironment {
    static constexpr bool kGlobalDirection = true;
    static constexpr uint32_t kRoundingMask = 0x6000;
    static constexpr uint32_t kDown = 0x2000;
    static constexpr uint32_t kUp = 0x4000;
    using Saved = uint32_t;

    static uint32_t Read() {
        uint32_t value;
        asm volatile("stmxcsr %0" : "=m"(value) : : "memory");
        return value;
    }
    static void Write(uint32_t value) {
        asm volatile("ldmxcsr %0" : : "m"(value) : "memory");
    }
    static void SetRounding(uint32_t field) {
        Write((Read() & ~kRoundingMask) | field);
    }

    static Saved Prepare() { return Read(); }
    static void Restore(Saved saved) { SetRounding(saved & kRoundingMask); }
    static void SetRoundDown() { SetRounding(kDown); }
    static void SetRoundUp() { SetRounding(kUp); }
};

// The x87 control word: precision control in bits 8-9, rounding control in
// bits 10-11. Every change is a complete read-modify-write of one field.
struct X87ControlWord {
    static constexpr uint16_t kPrecisionMask = 0x0300;
    static constexpr uint16_t kRoundingMask = 0x0C00;
    static constexpr uint16_t kDown = 0x0400;
    static constexpr uint16_t kUp = 0x0800;

    static uint16_t Read() {
        uint16_t value;
        asm volatile("fnstcw %0" : "=m"(value) : : "memory");
        return value;
    }
    static void Write(uint16_t value) {
        asm volatile("fldcw %0" : : "m"(value) : "memory");
    }
    static void SetField(uint16_t mask, uint16_t field) {
        Write(static_cast<uint16_t>((Read() & ~mask) | field));
    }
};

// The portable floating-point environment: fesetround puts each direction
// in force. fesetround writes the rounding field of both the x87 control
// word and MXCSR, while fegetround reports only one of them (glibc: the
// x87's), so a direction saved with fegetround and put back with fesetround
// would overwrite the SSE direction of a caller whose two units differ.
// The driver therefore saves and restores each unit's rounding field on its
// own, and leaves every other bit as the caller had it.
struct PortableEnvironment {
    static constexpr bool kGlobalDirection = true;
    struct Saved {
        uint32_t Mxcsr;
        uint16_t ControlWord;
    };
    static Saved Prepare() { return {SseEnvironment::Read(), X87ControlWord::Read()}; }
    static void Restore(Saved saved) {
        SseEnvironment::Restore(saved.Mxcsr);
        X87ControlWord::SetField(X87ControlWord::kRoundingMask,
                                 saved.ControlWord & X87ControlWord::kRoundingMask);
    }
    static void SetRoundDown() { Set(FE_DOWNWARD); }
    static void SetRoundUp() { Set(FE_UPWARD); }

private:
    static void Set(int direction) {
        MemoryBarrier();
        std::fesetround(direction);
        MemoryBarrier();
    }
};

// The x87 back-end's control: the driver sets the precision for the whole
// kernel run and, under safe rounding, keeps the caller's rounding control;
// only these two fields are ever written.
template <uint16_t PrecisionControl, bool SafeRounding>
struct X87Environment : X87ControlWord {
    static constexpr bool kGlobalDirection = true;

    struct Saved {
        uint16_t Precision;  // the whole word read before the precision changed
        uint16_t Rounding;   // the whole word read after it (safe rounding only)
    };

    static Saved Prepare() {
        Saved saved{};
        saved.Precision = Read();  // SetPrecision
        SetField(kPrecisionMask, PrecisionControl);
        if constexpr (SafeRounding) {
            saved.Rounding = Read();  // SaveRounding
        }
        return saved;
    }
    static void Restore(Saved saved) {
        if constexpr (SafeRounding) {
            SetField(kRoundingMask, saved.Rounding & kRoundingMask);  // RestoreRounding
        }
        SetField(kPrecisionMask, saved.Precision & kPrecisionMask);  // RestorePrecision
    }
    static void SetRoundDown() { SetField(kRoundingMask, kDown); }
    static void SetRoundUp() { SetField(kRoundingMask, kUp); }
};

// ---------------------------------------------------------------------------
// Arithmetic of the portable and SSE back-ends: IEEE binary32 or binary64 in
// SSE registers, every operation rounded once in the direction in force (the
// direction argument names which one the kernel has put in force; it changes
// nothing here).
// ---------------------------------------------------------------------------
template <class T>
struct IeeeArithmetic {
    using Stored = T;  // element type of the bound storage
    using Work = T;    // type of sums, probabilities and the measure

    template <Dir>
    static Work Quotient(int64_t numerator, int64_t denominator) {
        // One rounding per conversion (directly from the 64-bit integer to
        // the working type), then one for the division.
        return static_cast<T>(numerator) / static_cast<T>(denominator);
    }
    template <Dir>
    static Work StoredProbability(double probability) {
        return static_cast<T>(probability);  // narrowing rounds for binary32
    }
    // s + p * x as two separately rounded operations.
    template <Dir>
    static Work MulAdd(Work sum, Work probability, Work successor) {
        const Work product = probability * successor;
        return sum + product;
    }
    template <Dir>
    static Work Sub(Work a, Work b) { return a - b; }
    template <Dir>
    static Work Half(Work a) { return a * static_cast<T>(0.5); }
    template <Dir>
    static Work Div(Work a, Work b) { return a / b; }

    static Work Load(Stored value) { return value; }
    static Stored Store(Work value) { return value; }
    static Work NarrowEpsilon(double epsilon) { return static_cast<T>(epsilon); }
    static double ToDouble(Work value) { return static_cast<double>(value); }

    // min(limit, value) with NaN passing through, without a branch: minsd
    // and minss return their second operand unless the first is less.
    static Work AtMost(Work value, Work limit) {
        if constexpr (sizeof(T) == sizeof(float)) {
            return _mm_cvtss_f32(_mm_min_ss(_mm_set_ss(limit), _mm_set_ss(value)));
        } else {
            return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(limit), _mm_set_sd(value)));
        }
    }
};

// ---------------------------------------------------------------------------
// Arithmetic of the x87 back-end: every value of a state's update lives in an
// x87 register (long double) and rounds to the precision-control width in
// the direction of the control word; integers load exactly; a state's value
// rounds to its storage format only when it is stored.
// ---------------------------------------------------------------------------

// A binary64 value narrowed to binary32 by an x87 store (rounding by the
// control word) and reloaded. The pin keeps the compiler from narrowing the
// double directly with an SSE instruction, which would follow MXCSR.
inline long double NarrowToSingleOnX87(double value) {
    long double wide = value;
    Pin(wide);
    const float narrow = static_cast<float>(wide);
    return narrow;
}

template <class T>
struct X87Arithmetic {
    using Stored = T;
    using Work = long double;

    template <Dir>
    static Work Quotient(int64_t numerator, int64_t denominator) {
        return static_cast<long double>(numerator) / static_cast<long double>(denominator);
    }
    template <Dir>
    static Work StoredProbability(double probability) {
        if constexpr (sizeof(T) == sizeof(float)) {
            return NarrowToSingleOnX87(probability);
        } else {
            return probability;  // exact
        }
    }
    template <Dir>
    static Work MulAdd(Work sum, Work probability, Work successor) {
        const Work product = probability * successor;
        return sum + product;
    }
    template <Dir>
    static Work Sub(Work a, Work b) { return a - b; }
    template <Dir>
    static Work Half(Work a) { return a * 0.5f; }
    template <Dir>
    static Work Div(Work a, Work b) { return a / b; }

    static Work Load(Stored value) { return value; }
    static Stored Store(Work value) { return static_cast<T>(value); }
    static Work NarrowEpsilon(double epsilon) { return StoredProbability<Dir::InForce>(epsilon); }
    static double ToDouble(Work value) { return static_cast<double>(value); }
    // NaN passes through; compiles to a conditional move.
    static Work AtMost(Work value, Work limit) { return value > limit ? limit : value; }
};

// ---------------------------------------------------------------------------
// Rounding behaviours: which direction each step of a kernel runs in.
// ---------------------------------------------------------------------------

// Default rounding on a global-state back-end: everything in the caller's
// direction; the kernel never changes it.
struct DefaultSchedule {
    static constexpr bool kSafe = false;
    static constexpr bool kNegativeMeasureCheck = true;
    static constexpr Dir kSequentialLower = Dir::InForce;
    static constexpr Dir kSequentialUpper = Dir::InForce;
    static constexpr Dir kInterleavedLower = Dir::InForce;
    static constexpr Dir kInterleavedUpper = Dir::InForce;
    static constexpr Dir kMeasure = Dir::InForce;
    static constexpr Dir kDecision = Dir::InForce;
};

// Safe rounding: lower steps down, upper steps and the measure up; the
// decision (and the Epsilon narrowing) runs with down in force.
struct SafeSchedule {
    static constexpr bool kSafe = true;
    static constexpr bool kNegativeMeasureCheck = true;
    static constexpr Dir kSequentialLower = Dir::Down;
    static constexpr Dir kSequentialUpper = Dir::Up;
    static constexpr Dir kInterleavedLower = Dir::Down;
    static constexpr Dir kInterleavedUpper = Dir::Up;
    static constexpr Dir kMeasure = Dir::Up;
    static constexpr Dir kDecision = Dir::Down;
};

// ---------------------------------------------------------------------------
// Arithmetic of the AVX-512 back-end: scalar binary64 with the direction
// attached to each division, fused multiply-add, subtraction and
// multiplication (embedded rounding, exceptions suppressed); MXCSR is never
// read or written. The conversions of the integers carry no direction and
// follow MXCSR. Instantiated only in the translation unit compiled for
// AVX512F and AVX512DQ.
// ---------------------------------------------------------------------------
// The rounding operand of an instruction must be a constant expression, also
// in an unoptimised build.
template <Dir D>
inline constexpr int kEmbeddedRounding =
    D == Dir::Down      ? _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC
    : D == Dir::Up      ? _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC
    : D == Dir::Nearest ? _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC
                        : _MM_FROUND_CUR_DIRECTION;

struct Avx512Arithmetic {
    using Stored = double;
    using Work = double;

    template <Dir D>
    static Work Quotient(int64_t numerator, int64_t denominator) {
        const __m128d n = _mm_set_sd(static_cast<double>(numerator));
        const __m128d d = _mm_set_sd(static_cast<double>(denominator));
        return _mm_cvtsd_f64(_mm_div_round_sd(n, d, kEmbeddedRounding<D>));
    }
    // The quotient rounded down and rounded up. The division is done once,
    // downward; its exact remainder n - q * d (one fused multiply-add: the
    // remainder of a directed quotient is representable) is zero exactly
    // when q is the exact quotient, and otherwise the upward quotient is the
    // next binary64 value above q. The same bits as a second division
    // rounded up, at the cost of a multiply-add instead of a division.
    template <Dir Lower, Dir Upper>
    static void QuotientPair(int64_t numerator, int64_t denominator, Work& lower, Work& upper) {
        if constexpr (Lower == Dir::Down && Upper == Dir::Up) {
            const __m128d n = _mm_set_sd(static_cast<double>(numerator));
            const __m128d d = _mm_set_sd(static_cast<double>(denominator));
            const __m128d down = _mm_div_round_sd(n, d, kEmbeddedRounding<Dir::Down>);
            const __m128d remainder =
                _mm_fnmadd_round_sd(down, d, n, kEmbeddedRounding<Dir::Nearest>);
            lower = _mm_cvtsd_f64(down);
            const uint64_t bits = __builtin_bit_cast(uint64_t, lower);
            // One unit in the last place upward: away from zero for a positive
            // quotient, toward zero for a negative one (never zero when inexact:
            // the integers' quotient is far from the subnormal range).
            const uint64_t step = _mm_cvtsd_f64(remainder) == 0 ? 0 : lower > 0 ? 1 : ~uint64_t{0};
            upper = __builtin_bit_cast(Work, bits + step);
        } else {
            lower = Quotient<Lower>(numerator, denominator);
            upper = Quotient<Upper>(numerator, denominator);
        }
    }
    template <Dir>
    static Work StoredProbability(double probability) { return probability; }
    // p * x + s with one rounding.
    template <Dir D>
    static Work MulAdd(Work sum, Work probability, Work successor) {
        return _mm_cvtsd_f64(_mm_fmadd_round_sd(_mm_set_sd(probability), _mm_set_sd(successor),
                                                _mm_set_sd(sum), kEmbeddedRounding<D>));
    }
    template <Dir D>
    static Work Sub(Work a, Work b) {
        return _mm_cvtsd_f64(_mm_sub_round_sd(_mm_set_sd(a), _mm_set_sd(b), kEmbeddedRounding<D>));
    }
    template <Dir D>
    static Work Half(Work a) {
        return _mm_cvtsd_f64(_mm_mul_round_sd(_mm_set_sd(a), _mm_set_sd(0.5), kEmbeddedRounding<D>));
    }
    template <Dir D>
    static Work Div(Work a, Work b) {
        return _mm_cvtsd_f64(_mm_div_round_sd(_mm_set_sd(a), _mm_set_sd(b), kEmbeddedRounding<D>));
    }

    static Work Load(Stored value) { return value; }
    static Stored Store(Work value) { return value; }
    static Work NarrowEpsilon(double epsilon) { return epsilon; }
    static double ToDouble(Work value) { return value; }
    static Work AtMost(Work value, Work limit) {
        return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(limit), _mm_set_sd(value)));
    }
};

// Default rounding on AVX-512: the sequential kernel attaches round-to-
// nearest, the interleaved kernel uses the MXCSR direction; the measure
// rounds up in both. No negative-measure check.
struct Avx512DefaultSchedule {
    static constexpr bool kSafe = false;
    static constexpr bool kNegativeMeasureCheck = false;
    static constexpr Dir kSequentialLower = Dir::Nearest;
    static constexpr Dir kSequentialUpper = Dir::Nearest;
    static constexpr Dir kInterleavedLower = Dir::InForce;
    static constexpr Dir kInterleavedUpper = Dir::InForce;
    static constexpr Dir kMeasure = Dir::Up;
    static constexpr Dir kDecision = Dir::InForce;
};

// Safe rounding on AVX-512: the safe directions, attached per instruction;
// no negative-measure check, and nothing to put in force for the decision.
struct Avx512SafeSchedule : SafeSchedule {
    static constexpr bool kNegativeMeasureCheck = false;
    static constexpr Dir kDecision = Dir::InForce;
};

// ---------------------------------------------------------------------------
// A numeric variant: arithmetic, direction control and schedule.
// ---------------------------------------------------------------------------
template <class ArithmeticT, class EnvironmentT, class ScheduleT>
struct Variant : ArithmeticT, ScheduleT {
    using Arithmetic = ArithmeticT;
    using Environment = EnvironmentT;
    using Schedule = ScheduleT;
    using typename ArithmeticT::Stored;
    using typename ArithmeticT::Work;

    // The kernel changes a global direction only on the global-state
    // back-ends under safe rounding.
    static constexpr bool kChangesDirection =
        EnvironmentT::kGlobalDirection && ScheduleT::kSafe;
    // One quotient per transition serves both bounds unless the two halves
    // round in different directions.
    static constexpr bool kSharedQuotient =
        ScheduleT::kInterleavedLower == ScheduleT::kInterleavedUpper;

    // Puts direction D in force before the steps that use it.
    template <Dir D>
    static void Enter() {
        if constexpr (kChangesDirection) {
            if constexpr (D == Dir::Down) {
                EnvironmentT::SetRoundDown();
            } else if constexpr (D == Dir::Up) {
                EnvironmentT::SetRoundUp();
            }
        }
    }

    template <Dir D>
    static typename ArithmeticT::Work Probability(const TransitionValue& value) {
        int64_t numerator = value.Numerator;
        int64_t denominator = value.Denominator;
        if (denominator != 0) {
            return ArithmeticT::template Quotient<D>(numerator, denominator);
        }
        return ArithmeticT::template StoredProbability<D>(
            __builtin_bit_cast(double, numerator));
    }

    // The probability of a transition rounded in two directions, for the
    // kernels whose directions travel with each instruction.
    template <Dir Lower, Dir Upper>
    static void ProbabilityPair(const TransitionValue& value, Work& lower, Work& upper) {
        if (value.Denominator != 0) {
            ArithmeticT::template QuotientPair<Lower, Upper>(value.Numerator, value.Denominator,
                                                             lower, upper);
        } else {
            const double stored = __builtin_bit_cast(double, value.Numerator);
            lower = ArithmeticT::template StoredProbability<Lower>(stored);
            upper = ArithmeticT::template StoredProbability<Upper>(stored);
        }
    }

    // The bounds of state 0 as the result record carries them: exact for
    // single and double precision. Extended bounds round to binary64, under
    // safe rounding the lower one down and the upper one up.
    static void ToResult(Stored lower, Stored upper, double& resultLower,
                         double& resultUpper) {
        Work wideLower = ArithmeticT::Load(lower);
        Work wideUpper = ArithmeticT::Load(upper);
        if constexpr (kChangesDirection && sizeof(Stored) > sizeof(double)) {
            Enter<Dir::Down>();
            Pin(wideLower);
            resultLower = ArithmeticT::ToDouble(wideLower);
            Pin(resultLower);
            Enter<Dir::Up>();
            Pin(wideUpper);
            resultUpper = ArithmeticT::ToDouble(wideUpper);
        } else {
            resultLower = ArithmeticT::ToDouble(wideLower);
            resultUpper = ArithmeticT::ToDouble(wideUpper);
        }
    }
};

// ---------------------------------------------------------------------------
// The variants of the portable and SSE back-ends.
// ---------------------------------------------------------------------------
using DoubleDefaultDefault = Variant<IeeeArithmetic<double>, NoEnvironment, DefaultSchedule>;
using SingleDefaultDefault = Variant<IeeeArithmetic<float>, NoEnvironment, DefaultSchedule>;
using DoubleDefaultSSE = Variant<IeeeArithmetic<double>, NoEnvironment, DefaultSchedule>;
using SingleDefaultSSE = Variant<IeeeArithmetic<float>, NoEnvironment, DefaultSchedule>;
using DoubleSafeDefault = Variant<IeeeArithmetic<double>, PortableEnvironment, SafeSchedule>;
using SingleSafeDefault = Variant<IeeeArithmetic<float>, PortableEnvironment, SafeSchedule>;
using DoubleSafeSSE = Variant<IeeeArithmetic<double>, SseEnvironment, SafeSchedule>;
using SingleSafeSSE = Variant<IeeeArithmetic<float>, SseEnvironment, SafeSchedule>;

// The variants of the x87 back-end: the precision control equals the storage
// precision (24, 53 or 64 bits of significand).
using SingleDefaultX87 = Variant<X87Arithmetic<float>, X87Environment<0x0000, false>, DefaultSchedule>;
using DoubleDefaultX87 = Variant<X87Arithmetic<double>, X87Environment<0x0200, false>, DefaultSchedule>;
using ExtendedDefaultX87 = Variant<X87Arithmetic<long double>, X87Environment<0x0300, false>, DefaultSchedule>;
using SingleSafeX87 = Variant<X87Arithmetic<float>, X87Environment<0x0000, true>, SafeSchedule>;
using DoubleSafeX87 = Variant<X87Arithmetic<double>, X87Environment<0x0200, true>, SafeSchedule>;
using ExtendedSafeX87 = Variant<X87Arithmetic<long double>, X87Environment<0x0300, true>, SafeSchedule>;

// The variants of the AVX-512 back-end (binary64 only); they touch no
// floating-point state, so their drivers prepare nothing.
using DoubleDefaultAVX512 = Variant<Avx512Arithmetic, NoEnvironment, Avx512DefaultSchedule>;
using DoubleSafeAVX512 = Variant<Avx512Arithmetic, NoEnvironment, Avx512SafeSchedule>;

}  // namespace
}  // namespace ii
