// One call of the library's IntervalIteration with the host's side of it:
// the messages with the property's name filled in, a progress line from a
// watcher thread, and Ctrl-C as the abort flag.
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
    bool Interrupted = false;  // Ctrl-C was pressed during this run
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

// Sets up Ctrl-C so that it sets the abort flag of the runs; a second Ctrl-C
// ends the process as usual.
void InstallInterruptHandler();
bool InterruptRequested();

RunOutcome RunLibrary(const SparseMdp& model, const Variant& variant, const RunSettings& settings);

}  // namespace iicheck
