// Reference evaluator of a whole IntervalIteration call.
//
// It runs the library's algorithm step by step on arbitrary-precision values
// (Arithmetic.hpp), rounding every single operation to the format and in the
// direction that the modelled hardware would use, and predicts bit for bit
// what the call returns, writes into the output locations and sends through
// the callback. It is written from the library's documented behaviour only
// and shares no code with it.
//
// Structure (Reference.cpp), one place per concept:
//   - Evaluate: the entry point (rational check, information message,
//     inexact-value scan, Dispatch below, the error result) and the driver.
//   - Unit: the floating-point unit of one variant as a small state machine
//     (the caller's x87 and MXCSR rounding control, the x87 precision
//     control the driver sets, the directions a safe kernel sets) together
//     with the per-variant rule for each kind of step: probability,
//     accumulation, store of a bound, measure, AchievedPrecision, Epsilon,
//     result conversion, clamp. A new back-end behaviour goes here.
//   - Kernel: the iteration loop of both layouts (counter, limit, abort
//     polls, measure, decision, exits, count table, the four warnings and
//     WarnedFlag) and the two sweeps, SequentialSweep and InterleavedSweep,
//     which only say in which order and with which role (lower, upper,
//     measure) the Unit's steps run and where the safe kernels switch.
#pragma once

#include "IntervalIteration.h"
#include "TestSupport.hpp"
#include "reference/Arithmetic.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace reference {

enum class Element { Single, Double, Extended };
enum class Isa { Portable, X87, SSE, AVX512 };

// One of the sixteen numeric variants.
struct Variant {
    Element Precision;
    bool Safe;
    Isa Fpu;

    std::string Name() const;  // e.g. "SingleSafeSSE"
    bool operator==(const Variant&) const = default;
};

Variant FromTestVariant(const test::Variant& variant);

// The driver the entry point selects for these option bytes, or none when it
// refuses the combination.
std::optional<Variant> Dispatch(uint8_t precision, uint8_t rounding, uint8_t fpu);

// The floating-point state of the calling thread as the caller leaves it.
struct CallerFpu {
    Direction X87Rounding = Direction::ToNearest;
    Direction MxcsrRounding = Direction::ToNearest;
    int X87PrecisionBits = 64;

    // What fesetround gives: both units in one direction.
    static CallerFpu Uniform(Direction direction) { return {direction, direction, 64}; }
};

struct Request {
    const SparseMdp* Model = nullptr;
    const IterationOptions* Options = nullptr;
    CallerFpu Caller;
    int32_t WarnedFlag = 0;
    int32_t AbortFlag = 0;  // static for the whole call
    // What the output locations hold before the call (kept on refusal).
    int64_t IterationCountBefore = test::kUntouchedCount;
    double AchievedPrecisionBefore = test::kUntouchedPrecision;
    // When positive: give up modelling after this many iterations (for
    // callers that must not run an unbounded library call that may not end).
    int64_t IterationGuard = 0;
};

struct Outcome {
    test::Call Call;                 // result, outputs and messages
    std::optional<Variant> Driver;   // the driver that ran; none on refusal
    bool Unfinished = false;         // IterationGuard stopped the model
};

Outcome Evaluate(const Request& request);

// Message texts.
namespace text {
extern const char* const kNotRational;
extern const char* const kInexactValue;
extern const char* const kUnsupported;
extern const char* const kReachedMaximum;
extern const char* const kAborted;
extern const char* const kGreaterThanOne;
extern const char* const kLowerAboveUpper;
}  // namespace text

// The information message for these option bytes.
std::string InformationText(const IterationOptions& options);

// Readable report of a call for failure messages.
std::string Describe(const test::Call& call);

}  // namespace reference
