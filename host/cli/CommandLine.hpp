// iicheck's command line: the options, their defaults, the help text with
// the exit codes, and the parser (apart from main, so that it can be tested
// and fuzzed).
#pragma once

#include "analysis/Precompute.hpp"
#include "formats/ModelReader.hpp"
#include "model/ExplicitModel.hpp"
#include "pipeline/Run.hpp"
#include "properties/Property.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace iicheck {

// Exit codes.
constexpr int kExitConverged = 0;
constexpr int kExitUsage = 1;         // usage, input or output error
constexpr int kExitRefused = 2;       // library status 3: the call was refused
constexpr int kExitStopped = 3;       // library status 1 (iteration limit), or a signal
constexpr int kExitFixedPoint = 4;    // library status 2: bounds stuck apart
constexpr int kExitInconsistent = 5;  // safe rounding, but not 0 <= lower <= upper <= 1
// A threshold query counts as converged when answered true or false, or
// when its run at the requested epsilon converged and only narrower ones
// did not settle it: the code says whether the check ran soundly, not the
// answer. With several
// runs (properties, initial states, variants): 5 when any run gave it, else
// 3 when a signal stopped the runs, else the highest code of the properties'
// initial states, each of which is, with --all-variants, 0 when a variant
// converged, else 2.

extern const char* const kUsage;

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CommandLine {
    std::vector<std::string> Files;
    std::vector<std::string> RewardFiles;  // --rewards: a .tra's .srew and .trew
    // The property: --prop (parsed here) and --props (files read by
    // PropertiesOf), or the shorthands, which may not be mixed with them.
    std::vector<Property> Properties;
    std::vector<std::string> PropertyFiles;
    std::optional<ModelFormat> Format;  // default: by the file's extension
    std::string Target = "target";
    std::string Avoid;
    bool Maximize = true;
    bool TargetGiven = false;     // --target
    bool DirectionGiven = false;  // --min or --max
    bool AvoidGiven = false;      // --avoid
    double SumTolerance = kDefaultSumTolerance;
    double Epsilon = 1e-6;
    bool Relative = false;
    int32_t MaxIterations = 0;
    PrecomputeOptions Precompute;
    Variant Chosen;             // default: DefaultVariants(...)[0]
    bool VariantGiven = false;  // --fpu, --precision, --rounding, --sequential or --interleaved
    bool AllVariants = false;
    bool Json = false;
    std::string ExportFile;  // --export-result: the JSON document also goes there
    bool Quiet = false;
    bool Verbose = false;
    bool Help = false;
    bool Version = false;

    CommandLine();
};

// The options, without the program's name. UsageError for a bad one, an
// option given twice (but --prop and --props, which add up) and options that
// contradict each other (--min and --max, --sequential and --interleaved,
// --absolute and --relative, --all-variants and one variant's --fpu,
// --precision or --rounding): nothing is taken silently over something else.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The same into line, which holds every argument that could be read when
// the first error is thrown: an error's JSON document still goes where
// --json and --export-result say, wherever they stand.
void ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& line);

// The sound variants iicheck chooses from when the command line names
// none, fastest first on this processor (measured with the benchmark,
// docs/performance.md), all with safe rounding and double precision: with
// AVX-512, AVX-512 interleaved; then SSE sequential; last x87 interleaved,
// which divides every fraction exactly.
std::vector<Variant> DefaultVariants(bool avx512);

// The variant to run: the one the command line names, or else the first of
// DefaultVariants that divides every fraction of model with outward
// rounding (CountFractions); a note in notes says why when that is not the
// first.
// With rewards (an expected reward), their fractions count too.
Variant VariantFor(const CommandLine& line, const SparseMdp& model, std::vector<std::string>& notes,
                   const SparseRewards* rewards = nullptr);

// The properties to check, in order: those of --prop, then those of each
// --props file (read here: InputError for a bad file); without either, the
// one the shorthands describe, which defaults to Pmax=? [F "target"]. Notes
// for the user are appended to notes: the label definitions a properties
// file skipped, and which property or part of it was assumed when the
// command line did not give it ("no property given; checking Pmax=? [F
// "target"]").
std::vector<Property> PropertiesOf(const CommandLine& line, std::vector<std::string>& notes);

}  // namespace iicheck
