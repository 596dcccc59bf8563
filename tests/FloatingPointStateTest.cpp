// The caller's floating-point state survives every call: the rounding
// direction of each unit (also when the SSE and x87 directions differ),
// flush-to-zero, denormals-are-zero, exception masks and the x87 control
// word come back as they were, on every kind of exit, while exception flags
// raised by the computation stay raised.
#include "IntervalIteration.h"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <cfenv>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using test::Fraction;
using test::ReadControlWord;
using test::ReadMxcsr;
using test::WriteControlWord;
using test::WriteMxcsr;
using test::ReadStatusWord;
using test::Stored;

void ClearStatusFlags() { asm volatile("fnclex"); }
constexpr uint16_t kX87Inexact = 0x20;

constexpr uint32_t kMxcsrFlags = 0x3F;
constexpr uint32_t kMxcsrInexact = 0x20;
constexpr uint32_t kDenormalsAreZero = 0x40;
constexpr uint32_t kFlushToZero = 0x8000;
constexpr uint32_t kDenormalMask = 0x100;  // the denormal-operand exception

// A caller's state: the rounding direction of each unit (the same one, as
// fesetround leaves it, or two different ones, as a caller that writes MXCSR
// or the x87 control word directly may have them), plus MXCSR extras and the
// x87 precision control.
struct CallerState {
    int SseDirection;
    int X87Direction;
    uint32_t MxcsrExtras;
    uint16_t Precision;  // x87 PC field: 0x000, 0x200 or 0x300
};

uint32_t MxcsrRounding(int direction) {
    switch (direction) {
        case FE_DOWNWARD: return 0x2000;
        case FE_UPWARD: return 0x4000;
        case FE_TOWARDZERO: return 0x6000;
        default: return 0;
    }
}

struct SavedState {
    uint32_t Mxcsr;
    uint16_t ControlWord;
};

// Puts the caller's state in force, with all MXCSR flags clear.
SavedState Enter(const CallerState& state) {
    const uint32_t mxcsr = (0x1F80 & ~kDenormalMask) | state.MxcsrExtras |
                           MxcsrRounding(state.SseDirection);
    WriteMxcsr(mxcsr);
    uint16_t cw = ReadControlWord();
    // Besides PC and RC: the infinity-control bit set and the denormal
    // exception unmasked, so that a change to any other bit shows.
    cw = static_cast<uint16_t>((cw & ~0x0F02) | 0x1000 | state.Precision |
                               (MxcsrRounding(state.X87Direction) >> 3));
    WriteControlWord(cw);
    ClearStatusFlags();
    return {ReadMxcsr(), ReadControlWord()};
}

// The state the test framework runs in.
void Leave() {
    WriteMxcsr(0x1F80);
    WriteControlWord(0x037F);
}

enum class Exit { Converged, FixedPoint, Limit, AbortAtEntry };

const char* ExitName(Exit exit) {
    switch (exit) {
        case Exit::Converged: return "converged";
        case Exit::FixedPoint: return "fixed point";
        case Exit::Limit: return "limit";
        case Exit::AbortAtEntry: return "abort at entry";
    }
    return "?";
}

// State 0 reaches the target with 1/3 per step (a fraction, so the
// computation is inexact) and otherwise stays; state 1 is stuck, so its
// presence makes every run end by the rule the exit kind asks for.
test::Model Model(Exit exit) {
    if (exit == Exit::FixedPoint) {
        return test::MakeModel({{{Fraction(1, 1, 3), Fraction(2, 2, 3)}}, {}, {{Fraction(2, 1, 1)}}},
                               {1});
    }
    return test::MakeModel({{{Fraction(1, 1, 3), Fraction(0, 2, 3)}}, {}}, {1});
}

IterationOptions Options(const test::Variant& variant, bool sequential, Exit exit) {
    IterationOptions options = test::MakeOptions(variant, sequential, 1e-3);
    options.ReturnBoundsOnFailure = 1;
    if (exit == Exit::Limit) {
        options.Epsilon = 0;
        options.MaxIterations = 3;
    }
    return options;
}

TEST(FloatingPointState, CallersStateComesBackOnEveryExit) {
    // Every pair of SSE and x87 rounding directions, with flush-to-zero and
    // denormals-are-zero off and on, and every x87 precision setting.
    const int directions[] = {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};
    std::vector<CallerState> states;
    for (int sse : directions) {
        for (int x87 : directions) {
            for (uint32_t extras :
                 {0u, kFlushToZero, kDenormalsAreZero, kFlushToZero | kDenormalsAreZero}) {
                for (uint16_t precision : {0x000, 0x200, 0x300}) {
                    states.push_back({sse, x87, extras, precision});
                }
            }
        }
    }
    for (const test::Variant& variant : test::ComputingVariants()) {
        for (bool sequential : {true, false}) {
            for (Exit exit : {Exit::Converged, Exit::FixedPoint, Exit::Limit, Exit::AbortAtEntry}) {
                for (const CallerState& state : states) {
                    const test::Model model = Model(exit);
                    const IterationOptions options = Options(variant, sequential, exit);
                    const SavedState before = Enter(state);
                    const test::Call call =
                        test::Run(model, options, 0, exit == Exit::AbortAtEntry ? 1 : 0);
                    const SavedState after = {ReadMxcsr(), ReadControlWord()};
                    const uint16_t status = ReadStatusWord();
                    Leave();
                    const std::string where = std::string(variant.Name) +
                                              (sequential ? " sequential, " : " interleaved, ") +
                                              ExitName(exit) + ", directions SSE " +
                                              std::to_string(state.SseDirection) + " x87 " +
                                              std::to_string(state.X87Direction);
                    EXPECT_EQ(call.Result.Status, exit == Exit::Converged    ? 0
                                                  : exit == Exit::FixedPoint ? 2
                                                                             : 1)
                        << where;
                    EXPECT_EQ(after.Mxcsr & ~kMxcsrFlags, before.Mxcsr & ~kMxcsrFlags) << where;
                    EXPECT_EQ(after.ControlWord, before.ControlWord) << where;
                    // Flags the computation raised are not cleared: the x87
                    // variants raise them in the x87 status word. AVX-512
                    // suppresses them with the embedded rounding; only its
                    // default interleaved kernel divides without it.
                    const bool avx512 = variant.Fpu == FpuAVX512;
                    if (exit != Exit::AbortAtEntry && variant.Fpu == FpuX87) {
                        EXPECT_EQ(status & kX87Inexact, kX87Inexact) << where;
                    } else if (exit != Exit::AbortAtEntry &&
                               (!avx512 || (variant.Rounding == RoundingDefault && !sequential))) {
                        EXPECT_EQ(after.Mxcsr & kMxcsrInexact, kMxcsrInexact) << where;
                    } else if (exit != Exit::AbortAtEntry) {
                        EXPECT_EQ(after.Mxcsr & kMxcsrFlags, 0u) << where;
                    }
                }
            }
        }
    }
}

// Flags the caller had raised before the call are not cleared either.
TEST(FloatingPointState, CallersRaisedFlagsStayRaised) {
    for (const test::Variant& variant : test::ComputingVariants()) {
        for (bool sequential : {true, false}) {
            Enter({FE_TONEAREST, FE_TONEAREST, 0, 0x300});
            WriteMxcsr(ReadMxcsr() | 0x3F);
            test::Run(Model(Exit::Converged), Options(variant, sequential, Exit::Converged));
            const uint32_t after = ReadMxcsr();
            Leave();
            EXPECT_EQ(after & kMxcsrFlags, kMxcsrFlags) << variant.Name;
        }
    }
}

// A safe-rounding run does not depend on the caller's direction when every
// input is exact; a default-rounding run computes in it.
TEST(FloatingPointState, SafeResultsDoNotDependOnTheCallersDirection) {
    const test::Model model = Model(Exit::Converged);
    for (const test::Variant& variant : test::ComputingVariants()) {
        if (variant.Rounding == RoundingDefault) {
            continue;
        }
        for (bool sequential : {true, false}) {
            const IterationOptions options = Options(variant, sequential, Exit::Converged);
            const test::Call nearest = test::Run(model, options);
            for (int direction : {FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
                std::fesetround(direction);
                const test::Call other = test::Run(model, options);
                std::fesetround(FE_TONEAREST);
                EXPECT_EQ(test::Bits(other.Result.Lower), test::Bits(nearest.Result.Lower))
                    << variant.Name;
                EXPECT_EQ(test::Bits(other.Result.Upper), test::Bits(nearest.Result.Upper))
                    << variant.Name;
                EXPECT_EQ(test::Bits(other.AchievedPrecision),
                          test::Bits(nearest.AchievedPrecision))
                    << variant.Name;
                EXPECT_EQ(other.IterationCount, nearest.IterationCount) << variant.Name;
            }
        }
    }
}

}  // namespace
