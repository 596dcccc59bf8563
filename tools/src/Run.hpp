// One call of the library's IntervalIteration with the host's side of it:
// the messages with the property's name filled in, a progress line from a
// watcher thread, and the abort flag of Interrupt.hpp.
#pragma once

#include "IntervalIteration.h"

#include <cstdint>
#include <string>
#include <vector>

namespace iicheck {

struct Variant {
    uint8_t Fpu = FpuSSE;
    uint8_t Precision = PrecisionDouble;
    uint8_t Rounding = RoundingSafe;
    bool Sequential = false;
};

// Every variant the library offers on this processor, in the given layout:
// single and double precision on the portable, x87 and SSE instruction sets,
// extended precision on x87, double precision on AVX-512 when the processor
// has it; each with default and safe rounding.
std::vector<Variant> AllVariants(bool sequential);

// "SSE instruction set, double precision, safe rounding, interleaved layout"
std::string Describe(const Variant& variant);

struct LibraryMessage {
    uint64_t Severity;
    std::string Text;  // "{0}" replaced by the property's name
};

struct RunOutcome {
    IterationResult Result;
    int64_t Iterations = 0;
    double AchievedPrecision = 0;
    double Seconds = 0;
    bool Interrupted = false;  // a signal asked to stop during this run
    std::vector<LibraryMessage> Messages;
};

struct RunSettings {
    double Epsilon = 1e-6;
    bool Relative = false;
    int32_t MaxIterations = 0;
    bool Maximize = true;
    std::string PropertyName;
    bool ShowProgress = true;  // after a second, on stderr
};

RunOutcome RunLibrary(const SparseMdp& model, const Variant& variant, const RunSettings& settings);

// Whether a run's bounds are ordered within [0, 1]: 0 <= lower <= upper <=
// 1 (false for NaN). Safe rounding promises it for every run that returns
// bounds; a run that breaks it has computed on something that is not a
// valid MDP, or the library is faulty, and its result is an error.
bool BoundsConsistent(const IterationResult& result);

// True when the run used safe rounding, returned bounds, and they are not
// consistent.
bool BoundsBroken(const Variant& variant, const RunOutcome& outcome);

}  // namespace iicheck
