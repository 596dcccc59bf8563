// iicheck: reads an explicit MDP or DTMC (.tra/.lab, DRN, UMB), precomputes
// the graph-based part of a reachability property, and asks the
// IntervalIteration library for sound bounds on the probability of each
// initial state.
#include "BundledModel.hpp"
#include "CommandLine.hpp"
#include "ExplicitModel.hpp"
#include "Interrupt.hpp"
#include "ModelReader.hpp"
#include "Pipeline.hpp"
#include "Progress.hpp"
#include "Run.hpp"
#include "StateOrder.hpp"
#include "TraReader.hpp"
#include "Text.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace iicheck {
namespace {

std::string QuotedLabels(const std::string& list) {
    std::string text;
    std::size_t start = 0;
    while (true) {
        const std::size_t bar = list.find('|', start);
        std::string label = list.substr(start, bar == std::string::npos ? bar : bar - start);
        while (!label.empty() && (label.front() == ' ' || label.front() == '"')) label.erase(0, 1);
        while (!label.empty() && (label.back() == ' ' || label.back() == '"')) label.pop_back();
        text += (text.empty() ? "" : "|") + Quoted(label, label.size());
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

// "interrupted (SIGTERM)"
std::string InterruptedText() {
    const std::string name = InterruptName();
    return name.empty() ? "interrupted" : "interrupted (" + name + ")";
}

std::string StatusText(const Variant& variant, const RunOutcome& outcome) {
    if (BoundsBroken(variant, outcome)) {
        return "error: the bounds are not 0 <= lower <= upper <= 1";
    }
    switch (outcome.Result.Status) {
        case IterationStatusConverged: return "converged";
        case IterationStatusStopped:
            return outcome.Interrupted ? InterruptedText() + " before convergence"
                                       : "iteration limit reached before convergence";
        case IterationStatusFixedPoint: return "fixed point: no bound changed, bounds still apart";
        case IterationStatusError: return "refused by the library";
        default: return "unknown status " + std::to_string(outcome.Result.Status);
    }
}

// The runs from one initial state: one per variant, in the order of the
// variants, fewer when a signal stopped them.
struct InitialRuns {
    uint64_t State = 0;
    ModelSize Reduced;  // what the library got
    std::vector<RunOutcome> Outcomes;
};

// The exit code of one initial state's runs: broken bounds first, then a
// stop by a signal, then the library's status.
int ExitCode(const CommandLine& line, const std::vector<Variant>& variants, const InitialRuns& runs) {
    const std::vector<RunOutcome>& outcomes = runs.Outcomes;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (BoundsBroken(variants[i], outcomes[i])) return kExitInconsistent;
    }
    if (InterruptRequested()) return kExitStopped;
    if (line.AllVariants) {
        for (const RunOutcome& outcome : outcomes) {
            if (outcome.Result.Status == IterationStatusConverged) return kExitConverged;
        }
        return kExitRefused;
    }
    switch (outcomes[0].Result.Status) {
        case IterationStatusConverged: return kExitConverged;
        case IterationStatusStopped: return kExitStopped;
        case IterationStatusFixedPoint: return kExitFixedPoint;
        default: return kExitRefused;
    }
}

// Over the initial states: 5 when any gave it, else 3 after a signal, else
// the highest.
int ExitCode(const CommandLine& line, const std::vector<Variant>& variants,
             const std::vector<InitialRuns>& all) {
    int code = kExitConverged;
    for (const InitialRuns& runs : all) {
        const int one = ExitCode(line, variants, runs);
        if (one == kExitInconsistent) return one;
        code = std::max(code, one);
    }
    return InterruptRequested() ? kExitStopped : code;
}

// The first error message of a run, or "".
std::string FirstError(const RunOutcome& outcome) {
    for (const LibraryMessage& message : outcome.Messages) {
        if (message.Severity == SeverityError) return message.Text;
    }
    return "";
}

// Initial states up to this many get a line each in the text output, more a
// summary.
constexpr std::size_t kTableRows = 16;

struct Report {
    ModelFormat Format = ModelFormat::Tra;
    std::string ModelFile;  // printable
    std::string LabelsFile;  // printable, for .tra only
    std::string Property;
    Prepared Model;
    std::vector<Variant> Variants;
    std::vector<InitialRuns> Runs;  // in the order of the initial states, fewer after a signal

    bool Several() const { return Model.Initial.size() > 1; }
};

// {"states": 7, "choices": 7, "transitions": 14 + more}
std::string SizeJson(const ModelSize& size, const std::string& more = "") {
    return "{\"states\": " + std::to_string(size.States) + ", \"choices\": " + std::to_string(size.Choices) +
           ", \"transitions\": " + std::to_string(size.Transitions) + more + "}";
}

// "7 states, 7 choices, 14 transitions"
std::string SizeText(const ModelSize& size) {
    return std::to_string(size.States) + " states, " + std::to_string(size.Choices) + " choices, " +
           std::to_string(size.Transitions) + " transitions";
}

// The size of what the library got and the order of its states.
std::string ReducedJson(const InitialRuns& runs, const CommandLine& line) {
    return SizeJson(runs.Reduced, std::string(", \"order\": ") + JsonString(OrderName(line.Precompute.Order)));
}

std::string RunJson(const Report& report, const InitialRuns& runs, std::size_t v, const CommandLine& line) {
    const Variant& variant = report.Variants[v];
    const RunOutcome& outcome = runs.Outcomes[v];
    const IterationResult& result = outcome.Result;
    const bool bounds = std::isfinite(result.Lower) && std::isfinite(result.Upper);
    std::string json = "{\"fpu\": " + JsonString(FpuToString(variant.Fpu)) +
                       ", \"precision\": " + JsonString(PrecisionToString(variant.Precision)) +
                       ", \"rounding\": " + JsonString(RoundingToString(variant.Rounding)) +
                       ", \"layout\": " + JsonString(variant.Sequential ? "sequential" : "interleaved") +
                       ", \"status\": " + std::to_string(result.Status) +
                       ", \"status_text\": " + JsonString(StatusText(variant, outcome)) +
                       ", \"bounds_consistent\": " + (BoundsConsistent(result) ? "true" : "false") +
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
    json += "], \"initial_state\": " + std::to_string(runs.State);
    if (report.Several()) json += ", \"reduced\": " + ReducedJson(runs, line);
    return json + "}";
}

void PrintJson(const Report& report, const CommandLine& line) {
    const Prepared& model = report.Model;
    std::string json = "{\n";
    json += "  \"format\": " + JsonString(FormatName(report.Format)) + ",\n";
    json += "  \"model_file\": " + JsonString(report.ModelFile) + ",\n";
    if (report.Format == ModelFormat::Tra) {
        json += "  \"transitions_file\": " + JsonString(report.ModelFile) + ",\n";
        json += "  \"labels_file\": " + JsonString(report.LabelsFile) + ",\n";
    }
    json += "  \"property\": " + JsonString(report.Property) + ",\n";
    json += "  \"epsilon\": " + JsonNumber(line.Epsilon) + ",\n";
    json += std::string("  \"relative\": ") + (line.Relative ? "true" : "false") + ",\n";
    json += "  \"sum_tolerance\": " + JsonNumber(line.SumTolerance) + ",\n";
    json += "  \"model\": " + SizeJson({model.States, model.Choices, model.Transitions});
    json.insert(json.size() - 1, std::string(", \"type\": ") + (model.Dtmc ? "\"DTMC\"" : "\"MDP\""));
    json += ",\n  \"initial_states\": [";
    for (std::size_t i = 0; i < model.Initial.size(); ++i) {
        json += (i == 0 ? "" : ", ") + std::to_string(model.Initial[i]);
    }
    json += "],\n";
    json += "  \"precomputation\": {\"reachable\": " + std::to_string(model.Counts.Reachable) +
            ", \"targets\": " + std::to_string(model.Counts.Targets) +
            ", \"zero\": " + std::to_string(model.Counts.Zero) +
            ", \"one\": " + std::to_string(model.Counts.One) +
            ", \"other\": " + std::to_string(model.Counts.Maybe) +
            ", \"end_components\": " + std::to_string(model.Counts.Components) +
            ", \"end_component_states\": " + std::to_string(model.Counts.ComponentStates) + "},\n";
    json += "  \"collapsed\": " + SizeJson(model.Collapsed) + ",\n";
    json += "  \"bisimulation\": " +
            (line.Precompute.Bisimulation
                 ? SizeJson(model.Bisimulation.After, ", \"rounds\": " + std::to_string(model.Bisimulation.Rounds) +
                                                          ", \"stopped\": " +
                                                          (model.Bisimulation.Stopped ? "true" : "false"))
                 : "null") +
            ",\n";
    if (!report.Several()) json += "  \"reduced\": " + ReducedJson(report.Runs[0], line) + ",\n";
    json += "  \"notes\": [";
    for (std::size_t i = 0; i < model.Notes.size(); ++i) {
        json += (i == 0 ? "" : ", ") + JsonString(model.Notes[i]);
    }
    json += "],\n";
    json += "  \"seconds\": {\"read\": " + Number(model.ReadSeconds, "%.6f") +
            ", \"precompute\": " + Number(model.PrecomputeSeconds, "%.6f") +
            ", \"bisimulation\": " + Number(model.BisimulationSeconds, "%.6f") + "},\n";
    json += "  \"runs\": [\n";
    std::string separator;
    for (const InitialRuns& runs : report.Runs) {
        for (std::size_t v = 0; v < runs.Outcomes.size(); ++v) {
            json += separator + "    " + RunJson(report, runs, v, line);
            separator = ",\n";
        }
    }
    json += "\n  ]\n}\n";
    std::fputs(json.c_str(), stdout);
}

// "0, 95, 190, 285", the first few of many.
std::string StateList(const std::vector<uint64_t>& states) {
    std::string list;
    for (std::size_t i = 0; i < states.size() && i < kTableRows; ++i) {
        list += (i == 0 ? "" : ", ") + std::to_string(states[i]);
    }
    return states.size() > kTableRows ? list + ", ..." : list;
}

void PrintHeader(const Report& report, const CommandLine& line) {
    const Prepared& model = report.Model;
    if (report.Format == ModelFormat::Tra) {
        std::printf("Model        %s, %s\n", report.ModelFile.c_str(), report.LabelsFile.c_str());
    } else {
        std::printf("Model        %s\n", report.ModelFile.c_str());
    }
    std::printf("Property     %s\n", report.Property.c_str());
    std::printf("Read         %llu states, %llu choices, %llu transitions%s\n",
                static_cast<unsigned long long>(model.States),
                static_cast<unsigned long long>(model.Choices),
                static_cast<unsigned long long>(model.Transitions), model.Dtmc ? " (DTMC)" : "");
    if (report.Several()) {
        std::printf("Initial      %zu states: %s\n", model.Initial.size(), StateList(model.Initial).c_str());
    }
    std::printf("Precomputed  %llu reachable: %llu target, %llu with probability 0, %llu with "
                "probability 1, %llu other; %llu end component%s (%llu states) collapsed\n",
                static_cast<unsigned long long>(model.Counts.Reachable),
                static_cast<unsigned long long>(model.Counts.Targets),
                static_cast<unsigned long long>(model.Counts.Zero),
                static_cast<unsigned long long>(model.Counts.One),
                static_cast<unsigned long long>(model.Counts.Maybe),
                static_cast<unsigned long long>(model.Counts.Components),
                model.Counts.Components == 1 ? "" : "s",
                static_cast<unsigned long long>(model.Counts.ComponentStates));
    std::printf("Collapsed    %s\n", SizeText(model.Collapsed).c_str());
    if (line.Precompute.Bisimulation) {
        std::printf("Bisimulation %s (%llu round%s%s)\n", SizeText(model.Bisimulation.After).c_str(),
                    static_cast<unsigned long long>(model.Bisimulation.Rounds),
                    model.Bisimulation.Rounds == 1 ? "" : "s",
                    model.Bisimulation.Stopped ? "; stopped: most states alone in their class" : "");
    } else {
        std::printf("Bisimulation off\n");
    }
    if (!report.Several()) {
        std::printf("Reduced      %s, %s order\n", SizeText(report.Runs[0].Reduced).c_str(),
                    OrderName(line.Precompute.Order));
    } else {
        std::printf("Reduced      per initial state, %s order\n", OrderName(line.Precompute.Order));
    }
}

double IterateSeconds(const Report& report) {
    double seconds = 0;
    for (const InitialRuns& runs : report.Runs) {
        for (const RunOutcome& outcome : runs.Outcomes) seconds += outcome.Seconds;
    }
    return seconds;
}

void PrintTimes(const Report& report) {
    std::printf("Time         read %.3f s, precompute %.3f s (bisimulation %.3f s), iterate %.3f s\n",
                report.Model.ReadSeconds, report.Model.PrecomputeSeconds, report.Model.BisimulationSeconds,
                IterateSeconds(report));
}

void PrintSingle(const Report& report, const CommandLine& line) {
    const Variant& variant = report.Variants[0];
    const RunOutcome& outcome = report.Runs[0].Outcomes[0];
    const IterationResult& result = outcome.Result;
    PrintHeader(report, line);
    std::printf("Variant      %s\n", Describe(variant).c_str());
    if (result.Status == IterationStatusError) {
        std::printf("Result       none\n");
    } else {
        std::printf("Result       [%.17g, %.17g]\n", result.Lower, result.Upper);
        std::printf("Midpoint     %.17g\n", result.Lower / 2 + result.Upper / 2);
        std::printf("Half-width   %.3g\n", result.Upper / 2 - result.Lower / 2);
    }
    std::printf("Status       %s (%d)\n", StatusText(variant, outcome).c_str(), result.Status);
    if (result.Status != IterationStatusError) {
        std::printf("Iterations   %lld\n", static_cast<long long>(outcome.Iterations));
        std::printf("Precision    %.3g achieved, %.3g %s requested\n", outcome.AchievedPrecision,
                    line.Epsilon, line.Relative ? "relative" : "absolute");
    }
    PrintTimes(report);
}

const char* ShortStatus(const Variant& variant, const RunOutcome& outcome) {
    if (outcome.Result.Status == IterationStatusError) return "refused";
    if (BoundsBroken(variant, outcome)) return "INCONSISTENT";
    switch (outcome.Result.Status) {
        case IterationStatusConverged: return "converged";
        case IterationStatusStopped: return outcome.Interrupted ? "interrupted" : "limit";
        default: return "fixed-pt";
    }
}

// The variant, or the layout of all variants, and the precision requested.
void PrintSettings(const Report& report, const CommandLine& line) {
    if (line.AllVariants) {
        std::printf("Layout       %s\n", line.Chosen.Sequential ? "sequential" : "interleaved");
    } else {
        std::printf("Variant      %s\n", Describe(report.Variants[0]).c_str());
    }
    std::printf("Precision    %.3g %s requested\n\n", line.Epsilon, line.Relative ? "relative" : "absolute");
}

// One line per initial state and variant: the initial state and its reduced
// model with several initial states, the variant with --all-variants.
void PrintTable(const Report& report, const CommandLine& line) {
    const bool several = report.Several();
    PrintSettings(report, line);
    if (several) std::printf("%-10s %-24s ", "initial", "reduced (s/c/t)");
    if (line.AllVariants) std::printf("%-8s %-9s %-8s ", "FPU", "precision", "rounding");
    std::printf("%-12s %-24s %-24s %10s %9s %9s\n", "status", "lower", "upper", "iterations", "achieved",
                "time");
    for (const InitialRuns& runs : report.Runs) {
        for (std::size_t v = 0; v < runs.Outcomes.size(); ++v) {
            const Variant& variant = report.Variants[v];
            const RunOutcome& outcome = runs.Outcomes[v];
            if (several) {
                const std::string reduced = std::to_string(runs.Reduced.States) + "/" +
                                            std::to_string(runs.Reduced.Choices) + "/" +
                                            std::to_string(runs.Reduced.Transitions);
                std::printf("%-10llu %-24s ", static_cast<unsigned long long>(runs.State), reduced.c_str());
            }
            if (line.AllVariants) {
                std::printf("%-8s %-9s %-8s ", FpuToString(variant.Fpu), PrecisionToString(variant.Precision),
                            RoundingToString(variant.Rounding));
            }
            if (outcome.Result.Status == IterationStatusError) {
                std::printf("refused      %s\n", FirstError(outcome).c_str());
                continue;
            }
            std::printf("%-12s %-24.17g %-24.17g %10lld %9.3g %8.3fs\n", ShortStatus(variant, outcome),
                        outcome.Result.Lower, outcome.Result.Upper, static_cast<long long>(outcome.Iterations),
                        outcome.AchievedPrecision, outcome.Seconds);
        }
    }
    std::printf("\n");
    PrintTimes(report);
}

// A bound and the initial state where it is.
struct Extreme {
    double Value = NAN;
    uint64_t State = 0;

    void Take(double value, uint64_t state, bool larger) {
        if (std::isnan(Value) || (larger ? value > Value : value < Value)) {
            Value = value;
            State = state;
        }
    }
    std::string Text() const {
        return Number(Value, "%.17g") + " (state " + std::to_string(State) + ")";
    }
};

// For many initial states, one line per variant: how many runs ended how,
// the range of the lower and of the upper bounds, and the widest interval,
// each with the initial state where it is.
void PrintSummary(const Report& report, const CommandLine& line) {
    PrintHeader(report, line);
    PrintSettings(report, line);
    for (std::size_t v = 0; v < report.Variants.size(); ++v) {
        const Variant& variant = report.Variants[v];
        std::map<std::string, std::size_t> ended;
        Extreme lowest, highestLower, lowestUpper, highest, widest;
        std::string error;
        for (const InitialRuns& runs : report.Runs) {
            if (v >= runs.Outcomes.size()) continue;
            const RunOutcome& outcome = runs.Outcomes[v];
            ++ended[ShortStatus(variant, outcome)];
            if (outcome.Result.Status == IterationStatusError) {
                if (error.empty()) error = FirstError(outcome);
                continue;
            }
            lowest.Take(outcome.Result.Lower, runs.State, false);
            highestLower.Take(outcome.Result.Lower, runs.State, true);
            lowestUpper.Take(outcome.Result.Upper, runs.State, false);
            highest.Take(outcome.Result.Upper, runs.State, true);
            widest.Take(outcome.Result.Upper / 2 - outcome.Result.Lower / 2, runs.State, true);
        }
        std::string counts;
        for (const auto& [status, count] : ended) {
            counts += (counts.empty() ? "" : ", ") + std::to_string(count) + " " + status;
        }
        if (line.AllVariants) {
            std::printf("%s %s %s: ", FpuToString(variant.Fpu), PrecisionToString(variant.Precision),
                        RoundingToString(variant.Rounding));
        }
        std::printf("%s\n", counts.c_str());
        if (!error.empty()) std::printf("  refused: %s\n", error.c_str());
        if (std::isnan(lowest.Value)) continue;
        std::printf("  lower bounds from %s to %s\n", lowest.Text().c_str(), highestLower.Text().c_str());
        std::printf("  upper bounds from %s to %s\n", lowestUpper.Text().c_str(), highest.Text().c_str());
        std::printf("  widest half-width %.3g (state %llu)\n", widest.Value,
                    static_cast<unsigned long long>(widest.State));
    }
    std::printf("\nThe bounds of every initial state: --json\n");
    PrintTimes(report);
}

// The library's messages to stderr: for a few initial states each with its
// state, for many each distinct message once, with the number of initial
// states that got it.
void PrintMessages(const Report& report, bool verbose) {
    const bool summary = report.Model.Initial.size() > kTableRows;
    std::map<std::pair<uint64_t, std::string>, std::size_t> distinct;
    for (const InitialRuns& runs : report.Runs) {
        const std::string prefix = report.Several() ? "initial state " + std::to_string(runs.State) + ": " : "";
        for (const LibraryMessage& message : runs.Outcomes[0].Messages) {
            if (message.Severity == SeverityInformation && !verbose) continue;
            if (summary) {
                ++distinct[{message.Severity, message.Text}];
                continue;
            }
            std::fprintf(stderr, "iicheck: %slibrary %s: %s\n", prefix.c_str(), SeverityName(message.Severity),
                         message.Text.c_str());
        }
    }
    for (const auto& [message, count] : distinct) {
        std::fprintf(stderr, "iicheck: library %s (%zu initial states): %s\n", SeverityName(message.first),
                     count, message.second.c_str());
    }
}

int Main(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (line.Help) {
        std::fputs(kUsage, stdout);
        return kExitConverged;
    }
    if (line.Version) {
        std::printf("iicheck %s (built with IntervalIteration %s)\n", IICHECK_VERSION,
                    INTERVAL_ITERATION_VERSION);
        return kExitConverged;
    }
    if (!line.Properties.empty() || !line.PropertyFiles.empty()) {
        throw UsageError("--prop and --props are read but not yet checked by this build; use "
                         "--target, --avoid, --min and --max");
    }
    if (GetSizeOfSizeType() != static_cast<int32_t>(sizeof(uint64_t))) {
        throw std::runtime_error("the library's size type is not 64 bits wide");
    }

    // From here on SIGINT and SIGTERM stop the work: the reading and
    // precomputation loops throw Interrupted, the iteration stops at the
    // library's next poll.
    InstallInterruptHandlers();
    ShowProgress(!line.Quiet);
    Report report;
    report.Property = PropertyName(line);
    const auto start = std::chrono::steady_clock::now();
    Model model;
    {
    const ProgressPhase phase(kReading);
    if (line.Files.empty()) {
        report.ModelFile = kBundledTransitionsName;
        report.LabelsFile = kBundledLabelsName;
        model = ParseTra(kBundledTransitions, report.ModelFile, kBundledLabels, report.LabelsFile,
                         line.SumTolerance);
    } else {
        const ModelFiles files = ResolveModelFiles(line.Files, line.Format);
        report.Format = files.Format;
        report.ModelFile = Printable(files.Model);
        report.LabelsFile = Printable(files.Labels);
        model = ReadModel(files, line.SumTolerance);
    }
    }
    report.Model.ReadSeconds = Since(start);
    Prepare(std::move(model), line, report.Model);
    for (const std::string& note : report.Model.Notes) {
        std::fprintf(stderr, "iicheck: note: %s\n", note.c_str());
    }

    RunSettings settings;
    settings.Epsilon = line.Epsilon;
    settings.Relative = line.Relative;
    settings.MaxIterations = line.MaxIterations;
    settings.Maximize = line.Maximize;
    settings.PropertyName = report.Property;
    settings.ShowProgress = !line.Quiet;
    // Messages are printed as they arrive for one initial state; for
    // several they are gathered and printed after the runs, each once.
    const std::size_t initialCount = report.Model.Initial.size();
    settings.PrintMessages = !line.Json && !line.AllVariants && initialCount == 1;
    settings.Verbose = line.Verbose;

    // One initial state after the other: the reduction and the library
    // calls; a signal stops the rest. The default variant is chosen for the
    // first reduced model (the fractions it holds).
    for (std::size_t i = 0; i < initialCount && !InterruptRequested(); ++i) {
        InitialRuns runs;
        runs.State = report.Model.Initial[i];
        ReducedModel reduced;
        try {
            reduced = ReduceFrom(report.Model, i);
        } catch (const Interrupted&) {
            if (i == 0) throw;
            break;
        }
        runs.Reduced = SizeOf(reduced);
        const SparseMdp sparse = reduced.Mdp();
        if (i == 0) {
            std::vector<std::string> notes;
            report.Variants = line.AllVariants ? AllVariants(line.Chosen.Sequential)
                                               : std::vector<Variant>{VariantFor(line, sparse, notes)};
            for (const std::string& note : notes) std::fprintf(stderr, "iicheck: note: %s\n", note.c_str());
            report.Model.Notes.insert(report.Model.Notes.end(), notes.begin(), notes.end());
        }
        for (const Variant& variant : report.Variants) {
            if (InterruptRequested()) break;
            runs.Outcomes.push_back(RunLibrary(sparse, variant, settings));
        }
        if (runs.Outcomes.empty()) break;
        report.Runs.push_back(std::move(runs));
    }
    if (report.Runs.empty()) {
        std::fprintf(stderr, "iicheck: %s before the iteration started; no bounds\n",
                     InterruptedText().c_str());
        return kExitStopped;
    }

    if (!line.Json && !line.AllVariants && initialCount > 1) PrintMessages(report, line.Verbose);
    if (line.Json) {
        PrintJson(report, line);
    } else if (report.Model.Initial.size() > kTableRows) {
        PrintSummary(report, line);
    } else if (line.AllVariants || report.Several()) {
        PrintHeader(report, line);
        PrintTable(report, line);
    } else {
        PrintSingle(report, line);
    }
    bool refused = false;
    for (const InitialRuns& runs : report.Runs) {
        for (std::size_t v = 0; v < runs.Outcomes.size(); ++v) {
            const RunOutcome& outcome = runs.Outcomes[v];
            refused = refused || outcome.Result.Status == IterationStatusError;
            if (BoundsBroken(report.Variants[v], outcome)) {
                std::fprintf(stderr,
                             "iicheck: error: %s gave the bounds [%.17g, %.17g] for initial state %llu, which "
                             "are not 0 <= lower <= upper <= 1; sound bounds always are, so the model is not "
                             "a valid MDP or the library is faulty\n",
                             Describe(report.Variants[v]).c_str(), outcome.Result.Lower, outcome.Result.Upper,
                             static_cast<unsigned long long>(runs.State));
            }
        }
    }
    if (refused && !line.AllVariants && !line.Json) {
        std::fprintf(stderr,
                     "iicheck: the library does not compute this variant; --all-variants "
                     "shows the variants it offers\n");
    }
    const std::size_t ran = report.Runs.size();
    if (ran < initialCount) {
        std::fprintf(stderr, "iicheck: %s after %zu of %zu initial states\n", InterruptedText().c_str(), ran,
                     initialCount);
    } else if (line.AllVariants && report.Runs.back().Outcomes.size() < report.Variants.size()) {
        std::fprintf(stderr, "iicheck: %s after %zu of %zu variants\n", InterruptedText().c_str(),
                     report.Runs.back().Outcomes.size(), report.Variants.size());
    }
    return ExitCode(line, report.Variants, report.Runs);
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
        // A signal that stopped the writer of a pipe or a growing file ends
        // the input early: the user asked to stop, so say that, not that the
        // truncated input is malformed.
        if (iicheck::InterruptRequested()) {
            std::fprintf(stderr, "iicheck: %s while reading; no bounds\n", iicheck::InterruptedText().c_str());
            return iicheck::kExitStopped;
        }
        std::fprintf(stderr, "iicheck: error: %s\n", error.what());
        return iicheck::kExitUsage;
    } catch (const iicheck::Interrupted& error) {
        std::fprintf(stderr, "iicheck: %s while %s; no bounds\n", iicheck::InterruptedText().c_str(),
                     error.what());
        return iicheck::kExitStopped;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "iicheck: error: out of memory\n");
        return iicheck::kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "iicheck: internal error: %s\n", iicheck::Printable(error.what()).c_str());
        return iicheck::kExitUsage;
    }
}
