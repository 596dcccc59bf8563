// iicheck's command line: the options, their defaults, the help text with
// the exit codes, and the parser (apart from main, so that it can be tested
// and fuzzed).
#pragma once

#include "ExplicitModel.hpp"
#include "Precompute.hpp"
#include "Run.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace iicheck {

// Exit codes.
constexpr int kExitConverged = 0;
constexpr int kExitUsage = 1;         // usage or input error
constexpr int kExitRefused = 2;       // library status 3: the call was refused
constexpr int kExitStopped = 3;       // library status 1 (iteration limit), or a signal
constexpr int kExitFixedPoint = 4;    // library status 2: bounds stuck apart
constexpr int kExitInconsistent = 5;  // safe rounding, but not 0 <= lower <= upper <= 1

extern const char* const kUsage;

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CommandLine {
    std::vector<std::string> Files;
    std::string Target = "target";
    std::string Avoid;
    bool Maximize = true;
    double SumTolerance = kDefaultSumTolerance;
    double Epsilon = 1e-6;
    bool Relative = false;
    int32_t MaxIterations = 0;
    PrecomputeOptions Precompute;
    Variant Chosen;  // default: safe, double, AVX-512 when the processor has it, else SSE
    bool AllVariants = false;
    bool Json = false;
    bool Quiet = false;
    bool Verbose = false;
    bool Help = false;
    bool Version = false;

    CommandLine();
};

// The options, without the program's name. UsageError for a bad one.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

}  // namespace iicheck
