// iicheck: reads an explicit MDP (.tra/.lab), precomputes the graph-based
// part of a reachability property, and asks the IntervalIteration library
// for sound bounds on the probability of the initial state.
#include "BundledModel.hpp"
#include "ExplicitModel.hpp"
#include "Precompute.hpp"
#include "Run.hpp"

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace iicheck {
namespace {

// Exit codes.
constexpr int kExitConverged = 0;
constexpr int kExitUsage = 1;         // usage or input error
constexpr int kExitRefused = 2;       // library status 3: the call was refused
constexpr int kExitStopped = 3;       // library status 1: iteration limit or Ctrl-C
constexpr int kExitFixedPoint = 4;    // library status 2: bounds stuck apart

const char* const kUsage =
    R"(Usage: iicheck [options] [MODEL.tra [MODEL.lab]]

Computes sound bounds on the minimum or maximum probability of reaching a set
of target states in an explicit MDP with the IntervalIteration library.
MODEL.tra is the transitions file; MODEL.lab defaults to the same name with
.lab. MODEL may also be a folder NAME holding NAME.tra and NAME.lab, or a
path without the extension. Without a model, the bundled example runs.

Property:
  --target LABELS     target states: a label, or labels joined by '|' such
                      as 'goal|done' (default: target)
  --avoid LABELS      constrained reachability "!avoid U target": states with
                      these labels that are not targets count as failures
  --max, --min        maximum (default) or minimum over all schedulers

Precision:
  --epsilon E         required half-width of the interval (default 1e-6)
  --absolute          measure the half-width as it is (default)
  --relative          measure the half-width relative to the lower bound
  --max-iterations N  stop after N iterations (default 0: no limit)

Arithmetic:
  --fpu NAME          default, x87, SSE or AVX-512 (default: AVX-512 when the
                      processor has it, else SSE)
  --precision NAME    single, double or extended (default: double; extended
                      only with x87)
  --rounding NAME     default or safe (default: safe; only safe rounding
                      gives sound bounds)
  --interleaved       one vector of lower/upper pairs (default)
  --sequential        separate lower and upper vectors
  --all-variants      run every variant the library offers on this processor
                      and print a comparison table

Output:
  --json              machine-readable output on stdout
  --quiet             no progress line
  --verbose           also show the library's information messages
  --help              this text
  --version           the versions of iicheck and of the library's header

Ctrl-C stops the iteration and reports the bounds reached so far.

Exit codes: 0 converged; 1 usage or input error; 2 the library refused the
call (status 3); 3 stopped before convergence by the iteration limit or
Ctrl-C (status 1); 4 no bound changed while the bounds were still apart
(status 2). With --all-variants: 0 when at least one variant converged,
else 2.
)";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CommandLine {
    std::vector<std::string> Files;
    std::string Target = "target";
    std::string Avoid;
    bool Maximize = true;
    double Epsilon = 1e-6;
    bool Relative = false;
    int32_t MaxIterations = 0;
    Variant Chosen;
    bool AllVariants = false;
    bool Json = false;
    bool Quiet = false;
    bool Verbose = false;
    bool Help = false;
    bool Version = false;
};

bool SameName(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = static_cast<char>(a[i] | 0x20);
        const char y = static_cast<char>(b[i] | 0x20);
        if (x != y) return false;
    }
    return true;
}

// The option byte whose display name (from the library) is name.
uint8_t ByDisplayName(const std::string& option, const std::string& name,
                      const char* (*toString)(uint8_t), uint8_t count) {
    std::string names;
    for (uint8_t value = 0; value < count; ++value) {
        if (SameName(name, toString(value))) return value;
        names += std::string(value == 0 ? "" : ", ") + toString(value);
    }
    if (toString == FpuToString && SameName(name, "avx512")) return FpuAVX512;
    throw UsageError(option + ": unknown name \"" + name + "\"; choose one of " + names);
}

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine line;
    const bool avx512 = (GetNativeSupportMask() & 2) != 0;
    line.Chosen.Fpu = avx512 ? FpuAVX512 : FpuSSE;
    line.Chosen.Precision = PrecisionDouble;
    line.Chosen.Rounding = RoundingSafe;
    line.Chosen.Sequential = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        std::string value;
        bool hasValue = false;
        if (argument.rfind("--", 0) == 0) {
            const std::size_t equals = argument.find('=');
            if (equals != std::string::npos) {
                value = argument.substr(equals + 1);
                argument.resize(equals);
                hasValue = true;
            }
        }
        auto takeValue = [&]() -> std::string {
            if (hasValue) return value;
            if (i + 1 >= argc) throw UsageError(argument + " needs a value");
            return argv[++i];
        };
        auto noValue = [&]() {
            if (hasValue) throw UsageError(argument + " takes no value");
        };
        if (argument == "--help" || argument == "-h") {
            line.Help = true;
        } else if (argument == "--version") {
            noValue();
            line.Version = true;
        } else if (argument == "--target") {
            line.Target = takeValue();
        } else if (argument == "--avoid") {
            line.Avoid = takeValue();
        } else if (argument == "--max") {
            noValue();
            line.Maximize = true;
        } else if (argument == "--min") {
            noValue();
            line.Maximize = false;
        } else if (argument == "--epsilon") {
            const std::string text = takeValue();
            char* end = nullptr;
            line.Epsilon = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(line.Epsilon) || line.Epsilon < 0) {
                throw UsageError("--epsilon: \"" + text + "\" is not a non-negative number");
            }
        } else if (argument == "--relative") {
            noValue();
            line.Relative = true;
        } else if (argument == "--absolute") {
            noValue();
            line.Relative = false;
        } else if (argument == "--max-iterations") {
            const std::string text = takeValue();
            char* end = nullptr;
            errno = 0;
            const long long count = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || count < 0 || count > INT32_MAX) {
                throw UsageError("--max-iterations: \"" + text + "\" is not a count from 0 to " +
                                 std::to_string(INT32_MAX));
            }
            line.MaxIterations = static_cast<int32_t>(count);
        } else if (argument == "--fpu") {
            line.Chosen.Fpu = ByDisplayName(argument, takeValue(), FpuToString, 4);
            if (line.Chosen.Fpu == FpuAVX512 && !avx512) {
                throw UsageError("--fpu AVX-512: this processor lacks AVX-512F or AVX-512DQ");
            }
        } else if (argument == "--precision") {
            line.Chosen.Precision = ByDisplayName(argument, takeValue(), PrecisionToString, 3);
        } else if (argument == "--rounding") {
            line.Chosen.Rounding = ByDisplayName(argument, takeValue(), RoundingToString, 2);
        } else if (argument == "--sequential") {
            noValue();
            line.Chosen.Sequential = true;
        } else if (argument == "--interleaved") {
            noValue();
            line.Chosen.Sequential = false;
        } else if (argument == "--all-variants") {
            noValue();
            line.AllVariants = true;
        } else if (argument == "--json") {
            noValue();
            line.Json = true;
        } else if (argument == "--quiet") {
            noValue();
            line.Quiet = true;
        } else if (argument == "--verbose") {
            noValue();
            line.Verbose = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw UsageError("unknown option " + argument + " (see --help)");
        } else {
            line.Files.push_back(argument);
        }
    }
    if (line.Files.size() > 2) throw UsageError("at most two files: MODEL.tra [MODEL.lab]");
    return line;
}

bool Exists(const std::string& path, bool directory = false) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && (directory ? S_ISDIR(info.st_mode) : true);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The transitions and labels files that the arguments name.
void ResolveFiles(const std::vector<std::string>& files, std::string& tra, std::string& lab) {
    tra = files[0];
    if (Exists(tra, true)) {
        std::string folder = tra;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        const std::size_t slash = folder.find_last_of('/');
        tra = folder + "/" + (slash == std::string::npos ? folder : folder.substr(slash + 1)) + ".tra";
    } else if (!EndsWith(tra, ".tra") && !Exists(tra) && Exists(tra + ".tra")) {
        tra += ".tra";
    }
    if (files.size() == 2) {
        lab = files[1];
    } else if (EndsWith(tra, ".tra")) {
        lab = tra.substr(0, tra.size() - 4) + ".lab";
    } else {
        lab = tra + ".lab";
    }
}

std::string QuotedLabels(const std::string& list) {
    std::string text;
    std::size_t start = 0;
    while (true) {
        const std::size_t bar = list.find('|', start);
        std::string label = list.substr(start, bar == std::string::npos ? bar : bar - start);
        while (!label.empty() && (label.front() == ' ' || label.front() == '"')) label.erase(0, 1);
        while (!label.empty() && (label.back() == ' ' || label.back() == '"')) label.pop_back();
        text += (text.empty() ? "\"" : "|\"") + label + "\"";
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return text;
}

// Pmax=? [F "target"], Pmin=? [!"avoid" U "goal"|"done"]
std::string PropertyName(const CommandLine& line) {
    std::string name = line.Maximize ? "Pmax=? [" : "Pmin=? [";
    if (line.Avoid.empty()) {
        name += "F " + QuotedLabels(line.Target);
    } else {
        const std::string avoid = QuotedLabels(line.Avoid);
        name += (line.Avoid.find('|') != std::string::npos ? "!(" + avoid + ")" : "!" + avoid) +
                " U " + QuotedLabels(line.Target);
    }
    return name + "]";
}

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Number(double value, const char* format = "%.17g") {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string JsonNumber(double value, const char* format = "%.17g") {
    return std::isfinite(value) ? Number(value, format) : "null";
}

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\n': quoted += "\\n"; break;
            case '\t': quoted += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    quoted += escape;
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

const char* SeverityName(uint64_t severity) {
    switch (severity) {
        case SeverityError: return "error";
        case SeverityWarning: return "warning";
        case SeverityInformation: return "information";
        default: return "message";
    }
}

std::string StatusText(const RunOutcome& outcome) {
    switch (outcome.Result.Status) {
        case IterationStatusConverged: return "converged";
        case IterationStatusStopped:
            return outcome.Interrupted ? "interrupted (Ctrl-C) before convergence"
                                       : "iteration limit reached before convergence";
        case IterationStatusFixedPoint: return "fixed point: no bound changed, bounds still apart";
        case IterationStatusError: return "refused by the library";
        default: return "unknown status " + std::to_string(outcome.Result.Status);
    }
}

int ExitCode(int32_t status) {
    switch (status) {
        case IterationStatusConverged: return kExitConverged;
        case IterationStatusStopped: return kExitStopped;
        case IterationStatusFixedPoint: return kExitFixedPoint;
        default: return kExitRefused;
    }
}

// The first error message of a run, or "".
std::string FirstError(const RunOutcome& outcome) {
    for (const LibraryMessage& message : outcome.Messages) {
        if (message.Severity == SeverityError) return message.Text;
    }
    return "";
}

struct Report {
    std::string TransitionsFile;
    std::string LabelsFile;
    std::string Property;
    uint64_t States = 0, Choices = 0, Transitions = 0;
    PrecomputeCounts Counts;
    uint64_t ReducedStates = 0, ReducedChoices = 0, ReducedTransitions = 0;
    std::vector<std::string> Warnings;
    double ReadSeconds = 0;
    double PrecomputeSeconds = 0;
};

std::string RunJson(const Variant& variant, const RunOutcome& outcome) {
    const IterationResult& result = outcome.Result;
    const bool bounds = std::isfinite(result.Lower) && std::isfinite(result.Upper);
    std::string json = "{\"fpu\": " + JsonString(FpuToString(variant.Fpu)) +
                       ", \"precision\": " + JsonString(PrecisionToString(variant.Precision)) +
                       ", \"rounding\": " + JsonString(RoundingToString(variant.Rounding)) +
                       ", \"layout\": " + JsonString(variant.Sequential ? "sequential" : "interleaved") +
                       ", \"status\": " + std::to_string(result.Status) +
                       ", \"status_text\": " + JsonString(StatusText(outcome)) +
                       ", \"lower\": " + JsonNumber(result.Lower) +
                       ", \"upper\": " + JsonNumber(result.Upper) +
                       ", \"midpoint\": " + (bounds ? JsonNumber(result.Lower / 2 + result.Upper / 2) : "null") +
                       ", \"half_width\": " + (bounds ? JsonNumber(result.Upper / 2 - result.Lower / 2, "%.6g") : "null") +
                       ", \"iterations\": " + std::to_string(outcome.Iterations) +
                       ", \"achieved_precision\": " +
                       (result.Status == IterationStatusError ? "null" : JsonNumber(outcome.AchievedPrecision, "%.6g")) +
                       ", \"seconds\": " + Number(outcome.Seconds, "%.6f") + ", \"messages\": [";
    for (std::size_t i = 0; i < outcome.Messages.size(); ++i) {
        json += std::string(i == 0 ? "" : ", ") + "{\"severity\": " +
                JsonString(SeverityName(outcome.Messages[i].Severity)) +
                ", \"text\": " + JsonString(outcome.Messages[i].Text) + "}";
    }
    return json + "]}";
}

void PrintJson(const Report& report, const CommandLine& line, const std::vector<Variant>& variants,
               const std::vector<RunOutcome>& outcomes) {
    std::string json = "{\n";
    json += "  \"transitions_file\": " + JsonString(report.TransitionsFile) + ",\n";
    json += "  \"labels_file\": " + JsonString(report.LabelsFile) + ",\n";
    json += "  \"property\": " + JsonString(report.Property) + ",\n";
    json += "  \"epsilon\": " + JsonNumber(line.Epsilon) + ",\n";
    json += std::string("  \"relative\": ") + (line.Relative ? "true" : "false") + ",\n";
    json += "  \"model\": {\"states\": " + std::to_string(report.States) +
            ", \"choices\": " + std::to_string(report.Choices) +
            ", \"transitions\": " + std::to_string(report.Transitions) + "},\n";
    json += "  \"precomputation\": {\"reachable\": " + std::to_string(report.Counts.Reachable) +
            ", \"targets\": " + std::to_string(report.Counts.Targets) +
            ", \"zero\": " + std::to_string(report.Counts.Zero) +
            ", \"other\": " + std::to_string(report.Counts.Maybe) +
            ", \"end_components\": " + std::to_string(report.Counts.Components) +
            ", \"end_component_states\": " + std::to_string(report.Counts.ComponentStates) + "},\n";
    json += "  \"reduced\": {\"states\": " + std::to_string(report.ReducedStates) +
            ", \"choices\": " + std::to_string(report.ReducedChoices) +
            ", \"transitions\": " + std::to_string(report.ReducedTransitions) + "},\n";
    json += "  \"warnings\": [";
    for (std::size_t i = 0; i < report.Warnings.size(); ++i) {
        json += (i == 0 ? "" : ", ") + JsonString(report.Warnings[i]);
    }
    json += "],\n";
    json += "  \"seconds\": {\"read\": " + Number(report.ReadSeconds, "%.6f") +
            ", \"precompute\": " + Number(report.PrecomputeSeconds, "%.6f") + "},\n";
    json += "  \"runs\": [\n";
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        json += "    " + RunJson(variants[i], outcomes[i]) + (i + 1 < outcomes.size() ? ",\n" : "\n");
    }
    json += "  ]\n}\n";
    std::fputs(json.c_str(), stdout);
}

void PrintHeader(const Report& report) {
    std::printf("Model        %s, %s\n", report.TransitionsFile.c_str(), report.LabelsFile.c_str());
    std::printf("Property     %s\n", report.Property.c_str());
    std::printf("Read         %llu states, %llu choices, %llu transitions\n",
                static_cast<unsigned long long>(report.States),
                static_cast<unsigned long long>(report.Choices),
                static_cast<unsigned long long>(report.Transitions));
    std::printf("Precomputed  %llu reachable: %llu target, %llu with probability 0, %llu other; "
                "%llu end component%s (%llu states) collapsed\n",
                static_cast<unsigned long long>(report.Counts.Reachable),
                static_cast<unsigned long long>(report.Counts.Targets),
                static_cast<unsigned long long>(report.Counts.Zero),
                static_cast<unsigned long long>(report.Counts.Maybe),
                static_cast<unsigned long long>(report.Counts.Components),
                report.Counts.Components == 1 ? "" : "s",
                static_cast<unsigned long long>(report.Counts.ComponentStates));
    std::printf("Reduced      %llu states, %llu choices, %llu transitions\n",
                static_cast<unsigned long long>(report.ReducedStates),
                static_cast<unsigned long long>(report.ReducedChoices),
                static_cast<unsigned long long>(report.ReducedTransitions));
}

void PrintSingle(const Report& report, const CommandLine& line, const Variant& variant,
                 const RunOutcome& outcome) {
    const IterationResult& result = outcome.Result;
    PrintHeader(report);
    std::printf("Variant      %s\n", Describe(variant).c_str());
    if (result.Status == IterationStatusError) {
        std::printf("Result       none\n");
    } else {
        std::printf("Result       [%.17g, %.17g]\n", result.Lower, result.Upper);
        std::printf("Midpoint     %.17g\n", result.Lower / 2 + result.Upper / 2);
        std::printf("Half-width   %.3g\n", result.Upper / 2 - result.Lower / 2);
    }
    std::printf("Status       %s (%d)\n", StatusText(outcome).c_str(), result.Status);
    if (result.Status != IterationStatusError) {
        std::printf("Iterations   %lld\n", static_cast<long long>(outcome.Iterations));
        std::printf("Precision    %.3g achieved, %.3g %s requested\n", outcome.AchievedPrecision,
                    line.Epsilon, line.Relative ? "relative" : "absolute");
    }
    std::printf("Time         read %.3f s, precompute %.3f s, iterate %.3f s\n", report.ReadSeconds,
                report.PrecomputeSeconds, outcome.Seconds);
}

void PrintTable(const Report& report, const std::vector<Variant>& variants,
                const std::vector<RunOutcome>& outcomes) {
    PrintHeader(report);
    std::printf("Layout       %s\n\n", variants.empty() || !variants[0].Sequential ? "interleaved" : "sequential");
    std::printf("%-8s %-9s %-8s %-10s %-24s %-24s %10s %9s %9s\n", "FPU", "precision", "rounding",
                "status", "lower", "upper", "iterations", "achieved", "time");
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const Variant& variant = variants[i];
        const RunOutcome& outcome = outcomes[i];
        std::printf("%-8s %-9s %-8s ", FpuToString(variant.Fpu), PrecisionToString(variant.Precision),
                    RoundingToString(variant.Rounding));
        if (outcome.Result.Status == IterationStatusError) {
            std::printf("refused    %s\n", FirstError(outcome).c_str());
            continue;
        }
        const char* status = outcome.Result.Status == IterationStatusConverged ? "converged"
                             : outcome.Result.Status == IterationStatusStopped
                                 ? (outcome.Interrupted ? "aborted" : "limit")
                                 : "fixed-pt";
        std::printf("%-10s %-24.17g %-24.17g %10lld %9.3g %8.3fs\n", status, outcome.Result.Lower,
                    outcome.Result.Upper, static_cast<long long>(outcome.Iterations),
                    outcome.AchievedPrecision, outcome.Seconds);
    }
}

void PrintMessages(const RunOutcome& outcome, bool verbose) {
    for (const LibraryMessage& message : outcome.Messages) {
        if (message.Severity == SeverityInformation && !verbose) continue;
        std::fprintf(stderr, "iicheck: library %s: %s\n", SeverityName(message.Severity),
                     message.Text.c_str());
    }
}

int Main(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(argc, argv);
    if (line.Help) {
        std::fputs(kUsage, stdout);
        return kExitConverged;
    }
    if (line.Version) {
        std::printf("iicheck %s (built with IntervalIteration %s)\n", IICHECK_VERSION, INTERVAL_ITERATION_VERSION);
        return kExitConverged;
    }
    if (GetSizeOfSizeType() != static_cast<int32_t>(sizeof(uint64_t))) {
        throw std::runtime_error("the library's size type is not 64 bits wide");
    }

    // From here on Ctrl-C stops the work cleanly; the iteration polls the
    // flag, the phases before it are checked after they end.
    InstallInterruptHandler();
    Report report;
    report.Property = PropertyName(line);
    const auto readStart = std::chrono::steady_clock::now();
    ExplicitMdp mdp;
    Labelling labels;
    if (line.Files.empty()) {
        report.TransitionsFile = kBundledTransitionsName;
        report.LabelsFile = kBundledLabelsName;
        mdp = ParseTransitions(kBundledTransitions, report.TransitionsFile, report.Warnings);
        labels = ParseLabels(kBundledLabels, report.LabelsFile, mdp.StateCount);
    } else {
        ResolveFiles(line.Files, report.TransitionsFile, report.LabelsFile);
        {
            const FileText text(report.TransitionsFile);
            mdp = ParseTransitions(text.Text(), report.TransitionsFile, report.Warnings);
        }
        const FileText text(report.LabelsFile);
        labels = ParseLabels(text.Text(), report.LabelsFile, mdp.StateCount);
    }
    PropertySpec property;
    property.Maximize = line.Maximize;
    property.Initial = InitialState(labels, mdp.StateCount);
    property.Target = StatesWithAnyLabel(labels, line.Target, mdp.StateCount);
    if (!line.Avoid.empty()) property.Avoid = StatesWithAnyLabel(labels, line.Avoid, mdp.StateCount);
    report.ReadSeconds = Since(readStart);
    report.States = mdp.StateCount;
    report.Choices = mdp.ChoiceCount();
    report.Transitions = mdp.TransitionCount();
    for (const std::string& warning : report.Warnings) {
        std::fprintf(stderr, "iicheck: warning: %s\n", warning.c_str());
    }

    const auto precomputeStart = std::chrono::steady_clock::now();
    ReducedModel reduced;
    {
        const Analysis analysis = Analyse(mdp, property);
        report.Counts = Count(analysis);
        reduced = Reduce(mdp, property, analysis);
    }
    mdp = ExplicitMdp();  // the library needs only the reduced model
    report.PrecomputeSeconds = Since(precomputeStart);
    report.ReducedStates = reduced.StateCount();
    report.ReducedChoices = reduced.ChoiceCount();
    report.ReducedTransitions = reduced.TransitionCount();

    RunSettings settings;
    settings.Epsilon = line.Epsilon;
    settings.Relative = line.Relative;
    settings.MaxIterations = line.MaxIterations;
    settings.Maximize = line.Maximize;
    settings.PropertyName = report.Property;
    settings.ShowProgress = !line.Quiet;

    const SparseMdp model = reduced.Mdp();
    const std::vector<Variant> variants =
        line.AllVariants ? AllVariants(line.Chosen.Sequential) : std::vector<Variant>{line.Chosen};
    std::vector<RunOutcome> outcomes;
    for (const Variant& variant : variants) {
        if (InterruptRequested()) break;
        outcomes.push_back(RunLibrary(model, variant, settings));
        if (!line.Json && !line.AllVariants) PrintMessages(outcomes.back(), line.Verbose);
    }
    if (outcomes.empty()) {
        std::fprintf(stderr, "iicheck: interrupted (Ctrl-C) before the iteration started\n");
        return kExitStopped;
    }
    const std::vector<Variant> ran(variants.begin(), variants.begin() + static_cast<std::ptrdiff_t>(outcomes.size()));

    if (line.Json) {
        PrintJson(report, line, ran, outcomes);
    } else if (line.AllVariants) {
        PrintTable(report, ran, outcomes);
    } else {
        PrintSingle(report, line, ran[0], outcomes[0]);
        if (outcomes[0].Result.Status == IterationStatusError && !line.Json) {
            std::fprintf(stderr,
                         "iicheck: the library does not compute this variant; --all-variants "
                         "shows the variants it offers\n");
        }
    }
    if (line.AllVariants) {
        for (const RunOutcome& outcome : outcomes) {
            if (outcome.Result.Status == IterationStatusConverged) return kExitConverged;
        }
        return kExitRefused;
    }
    return ExitCode(outcomes[0].Result.Status);
}

}  // namespace
}  // namespace iicheck

int main(int argc, char** argv) {
    try {
        return iicheck::Main(argc, argv);
    } catch (const iicheck::UsageError& error) {
        std::fprintf(stderr, "iicheck: %s\n", error.what());
        return iicheck::kExitUsage;
    } catch (const iicheck::InputError& error) {
        std::fprintf(stderr, "iicheck: error: %s\n", error.what());
        return iicheck::kExitUsage;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "iicheck: error: out of memory\n");
        return iicheck::kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "iicheck: internal error: %s\n", error.what());
        return iicheck::kExitUsage;
    }
}
