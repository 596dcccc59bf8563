// What iicheck found, as one record that the text report (TextReport.hpp)
// and the JSON document (JsonReport.hpp) are written from: the model as
// read, the request, and per property its precomputation and the runs of
// every initial state and variant. Also the exit code it all adds up to.
#pragma once

#include "analysis/Bisimulation.hpp"
#include "analysis/Precompute.hpp"
#include "formats/ModelReader.hpp"
#include "pipeline/Pipeline.hpp"
#include "pipeline/Run.hpp"
#include "pipeline/Threshold.hpp"
#include "properties/Property.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace iicheck {

// One variant's answer for one initial state: the library's last call and,
// for a threshold query, the answer and the calls that led to it.
struct VariantRun {
    RunOutcome Outcome;            // the last call
    std::vector<double> Epsilons;  // of the calls, in order
    double Seconds = 0;            // of all calls
    bool Threshold = false;
    Verdict Answer = Verdict::Unknown;
    std::string Reason;         // why the answer is unknown
    std::string NotGuaranteed;  // why the variant's bounds are not guaranteed for this model, or ""
};

// The runs from one initial state: one per variant, in the order of the
// variants, fewer when a signal stopped them.
struct InitialRuns {
    uint64_t State = 0;
    ModelSize Reduced;  // what the library got (nothing when the precomputation decided)
    // A call of its own, the precomputation's answer, or a copy of the runs
    // of the earlier initial state SameAs (AnswerSources in Pipeline.hpp).
    AnswerSource Source = AnswerSource::Library;
    uint64_t SameAs = 0;
    std::vector<VariantRun> Runs;
};

// One property and what came of it.
struct PropertyReport {
    Property Spec;
    bool Maximize = true;
    PrecomputeCounts Counts;
    PrecomputeOptions Options;       // the reductions asked for
    ModelSize Collapsed;             // before the bisimulation
    BisimulationStats Bisimulation;  // when Options.Bisimulation
    double PrecomputeSeconds = 0;
    double BisimulationSeconds = 0;  // the part the bisimulation took
    PhaseSeconds Phases;             // the parts of PrecomputeSeconds
    std::vector<std::string> Notes;  // its labels' and its variant's
    std::vector<Variant> Variants;
    std::vector<InitialRuns> Runs;   // in the order of the initial states, fewer after a signal
    // An expected reward: its structure's name ("" unnamed) and kinds
    // (RewardKinds), and the choices whose rewards the library got rounded.
    bool Reward = false;
    std::string RewardStructure;
    std::string RewardKinds;
    uint64_t InexactRewards = 0;
};

// What the command line asked for, as far as the report shows it.
struct Request {
    double SumTolerance = 0;
    double Epsilon = 0;
    bool Relative = false;
    int32_t MaxIterations = 0;
    bool AllVariants = false;
    bool Sequential = false;  // the layout of --all-variants
    bool Json = false;
    bool Verbose = false;
};

// Why a check ended without its report: what iicheck printed on stderr,
// and the exit code.
struct Failure {
    int ExitCode = 0;
    std::string Message;  // without "iicheck: "
};

struct Report {
    ModelFormat Format = ModelFormat::Tra;
    std::string ModelFile;   // printable
    std::string LabelsFile;  // printable, for .tra only
    bool Read = false;       // Model holds the model as read
    Request Asked;
    Prepared Model;
    std::vector<std::string> Notes;  // the reader's and the properties'
    std::vector<PropertyReport> Properties;
    std::optional<Failure> Error;  // a usage, input or output error, or a stop before any bounds

    bool Several() const { return Model.Initial.size() > 1; }
};

// Initial states up to this many get a line each in the text output, more a
// summary.
constexpr std::size_t kTableRows = 16;

// value as printf's format shows it.
std::string Number(double value, const char* format);

// "interrupted (SIGTERM)"
std::string InterruptedText();

// "converged", "iteration limit reached before convergence", ...
std::string StatusText(const Variant& variant, const RunOutcome& outcome);

// "name": Pmax>=0.9 [F "goal"]
std::string Title(const Property& property);

// The seconds of all of a property's library calls.
double IterateSeconds(const PropertyReport& property);

// Whether the run's bounds are guaranteed to hold the exact probability:
// the variant guarantees them for the model, and the library returned
// bounds that are 0 <= lower <= upper <= 1.
bool Guaranteed(const VariantRun& run);

// The first error message of a run, or "".
std::string FirstError(const RunOutcome& outcome);

// Over the properties and their initial states: 5 when any run gave it,
// else 3 after a signal, else the highest code (CommandLine.hpp).
int ExitCode(const Report& report);

}  // namespace iicheck
