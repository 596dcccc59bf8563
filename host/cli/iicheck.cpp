// iicheck: reads an explicit MDP or DTMC (.tra/.lab, DRN, UMB) once, and for
// each reachability property precomputes its graph-based part and asks the
// IntervalIteration library for sound bounds on the probability of each
// initial state, or answers its threshold query soundly.
#include "analysis/StateOrder.hpp"
#include "cli/BundledModel.hpp"
#include "cli/CommandLine.hpp"
#include "formats/ModelReader.hpp"
#include "formats/TraReader.hpp"
#include "model/ExplicitModel.hpp"
#include "pipeline/Pipeline.hpp"
#include "pipeline/Run.hpp"
#include "pipeline/Threshold.hpp"
#include "support/Interrupt.hpp"
#include "support/Progress.hpp"
#include "support/Text.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace iicheck {
namespace {

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

// One variant's answer for one initial state: the library's last call and,
// for a threshold query, the answer and the calls that led to it.
struct VariantRun {
    RunOutcome Outcome;            // the last call
    std::vector<double> Epsilons;  // of the calls, in order
    double Seconds = 0;            // of all calls
    bool Threshold = false;
    Verdict Answer = Verdict::Unknown;
    std::string Reason;  // why the answer is unknown
};

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
    std::vector<std::string> Notes;  // its labels' and its variant's
    std::vector<Variant> Variants;
    std::vector<InitialRuns> Runs;   // in the order of the initial states, fewer after a signal
};

// "name": Pmax>=0.9 [F "goal"]
std::string Title(const Property& property) {
    return property.Name.empty() ? property.Text : Quoted(property.Name, property.Name.size()) + ": " + property.Text;
}

// The exit code of one run: broken bounds, then for a threshold query
// converged when it was decided or narrowed (epsilon is narrowed only after
// a converged run: the requested precision was met, and how the narrowing
// ended is the answer's reason), then the library's status.
int RunCode(const Variant& variant, const VariantRun& run) {
    if (BoundsBroken(variant, run.Outcome)) return kExitInconsistent;
    if (run.Threshold && (run.Answer != Verdict::Unknown || run.Epsilons.size() > 1)) return kExitConverged;
    switch (run.Outcome.Result.Status) {
        case IterationStatusConverged: return kExitConverged;
        case IterationStatusStopped: return kExitStopped;
        case IterationStatusFixedPoint: return kExitFixedPoint;
        default: return kExitRefused;
    }
}

// The exit code of one initial state's runs: broken bounds first, then a
// stop by a signal, then the runs' codes.
int ExitCode(const CommandLine& line, const std::vector<Variant>& variants, const InitialRuns& runs) {
    for (std::size_t i = 0; i < runs.Runs.size(); ++i) {
        if (RunCode(variants[i], runs.Runs[i]) == kExitInconsistent) return kExitInconsistent;
    }
    if (InterruptRequested()) return kExitStopped;
    if (!line.AllVariants) return RunCode(variants[0], runs.Runs[0]);
    for (std::size_t i = 0; i < runs.Runs.size(); ++i) {
        if (RunCode(variants[i], runs.Runs[i]) == kExitConverged) return kExitConverged;
    }
    return kExitRefused;
}

// Over the properties and their initial states: 5 when any gave it, else 3
// after a signal, else the highest.
int ExitCode(const CommandLine& line, const std::vector<PropertyReport>& properties) {
    int code = kExitConverged;
    for (const PropertyReport& property : properties) {
        for (const InitialRuns& runs : property.Runs) {
            const int one = ExitCode(line, property.Variants, runs);
            if (one == kExitInconsistent) return one;
            code = std::max(code, one);
        }
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
    std::string ModelFile;   // printable
    std::string LabelsFile;  // printable, for .tra only
    Prepared Model;
    std::vector<std::string> Notes;  // the reader's and the properties'
    std::vector<PropertyReport> Properties;

    bool Several() const { return Model.Initial.size() > 1; }
};

// ---- JSON (schema 1, documented in host/README.md) ----

std::string JsonList(const std::vector<std::string>& items) {
    std::string json = "[";
    for (std::size_t i = 0; i < items.size(); ++i) json += (i == 0 ? "" : ", ") + items[i];
    return json + "]";
}

std::string JsonStrings(const std::vector<std::string>& texts) {
    std::vector<std::string> items;
    for (const std::string& text : texts) items.push_back(JsonString(text));
    return JsonList(items);
}

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

std::string RunJson(const Variant& variant, const InitialRuns& runs, const VariantRun& run) {
    const RunOutcome& outcome = run.Outcome;
    const IterationResult& result = outcome.Result;
    const bool bounds = std::isfinite(result.Lower) && std::isfinite(result.Upper);
    std::vector<std::string> epsilons, messages;
    for (double epsilon : run.Epsilons) epsilons.push_back(JsonNumber(epsilon, "%.6g"));
    for (const LibraryMessage& message : outcome.Messages) {
        messages.push_back("{\"severity\": " + JsonString(SeverityName(message.Severity)) +
                           ", \"text\": " + JsonString(message.Text) + "}");
    }
    // Everything before "iterations" depends on the model and the variant
    // only: the tests compare it between the formats of a model.
    return "{\"fpu\": " + JsonString(FpuToString(variant.Fpu)) +
           ", \"precision\": " + JsonString(PrecisionToString(variant.Precision)) +
           ", \"rounding\": " + JsonString(RoundingToString(variant.Rounding)) +
           ", \"layout\": " + JsonString(variant.Sequential ? "sequential" : "interleaved") +
           ", \"initial_state\": " + std::to_string(runs.State) +
           ", \"reduced\": " + SizeJson(runs.Reduced) +
           ", \"status\": " + std::to_string(result.Status) +
           ", \"status_text\": " + JsonString(StatusText(variant, outcome)) +
           ", \"bounds_consistent\": " + (BoundsConsistent(result) ? "true" : "false") +
           ", \"lower\": " + JsonNumber(result.Lower) + ", \"upper\": " + JsonNumber(result.Upper) +
           ", \"midpoint\": " + (bounds ? JsonNumber(result.Lower / 2 + result.Upper / 2) : "null") +
           ", \"half_width\": " + (bounds ? JsonNumber(result.Upper / 2 - result.Lower / 2, "%.6g") : "null") +
           ", \"iterations\": " + std::to_string(outcome.Iterations) +
           ", \"achieved_precision\": " +
           (result.Status == IterationStatusError ? "null" : JsonNumber(outcome.AchievedPrecision, "%.6g")) +
           ", \"epsilons\": " + JsonList(epsilons) +
           ", \"verdict\": " + (run.Threshold ? JsonString(VerdictText(run.Answer)) : "null") +
           ", \"verdict_reason\": " + (run.Threshold && !run.Reason.empty() ? JsonString(run.Reason) : "null") +
           ", \"seconds\": " + Number(run.Seconds, "%.6f") + ", \"messages\": " + JsonList(messages) + "}";
}

double IterateSeconds(const PropertyReport& property) {
    double seconds = 0;
    for (const InitialRuns& runs : property.Runs) {
        for (const VariantRun& run : runs.Runs) seconds += run.Seconds;
    }
    return seconds;
}

std::string PropertyJson(const PropertyReport& property) {
    const Property& spec = property.Spec;
    const PrecomputeCounts& counts = property.Counts;
    std::string json = "    {\n";
    json += "      \"property\": " + JsonString(spec.Text) + ",\n";
    json += "      \"name\": " + (spec.Name.empty() ? std::string("null") : JsonString(spec.Name)) + ",\n";
    json += std::string("      \"direction\": ") + (property.Maximize ? "\"max\"" : "\"min\"") + ",\n";
    json += "      \"target\": " + JsonString(ExpressionText(spec.Target)) + ",\n";
    json += "      \"avoid\": " + (spec.HasAvoid ? JsonString(ExpressionText(spec.Avoid)) : "null") + ",\n";
    json += "      \"threshold\": " +
            (spec.HasThreshold ? "{\"comparison\": " + JsonString(ComparisonText(spec.Bound.Compare)) +
                                     ", \"value\": " + JsonString(spec.Bound.Text) + "}"
                               : "null") +
            ",\n";
    json += "      \"precomputation\": {\"reachable\": " + std::to_string(counts.Reachable) +
            ", \"targets\": " + std::to_string(counts.Targets) + ", \"zero\": " + std::to_string(counts.Zero) +
            ", \"one\": " + std::to_string(counts.One) +
            ", \"other\": " + std::to_string(counts.Maybe) +
            ", \"end_components\": " + std::to_string(counts.Components) +
            ", \"end_component_states\": " + std::to_string(counts.ComponentStates) + "},\n";
    json += "      \"collapsed\": " + SizeJson(property.Collapsed) + ",\n";
    const BisimulationStats& bisimulation = property.Bisimulation;
    json += "      \"bisimulation\": " +
            (property.Options.Bisimulation
                 ? SizeJson(bisimulation.After, ", \"rounds\": " + std::to_string(bisimulation.Rounds) +
                                                    ", \"stopped\": " + (bisimulation.Stopped ? "true" : "false"))
                 : "null") +
            ",\n";
    json += "      \"order\": " + JsonString(OrderName(property.Options.Order)) + ",\n";
    json += "      \"notes\": " + JsonStrings(property.Notes) + ",\n";
    json += "      \"seconds\": {\"precompute\": " + Number(property.PrecomputeSeconds, "%.6f") +
            ", \"bisimulation\": " + Number(property.BisimulationSeconds, "%.6f") +
            ", \"iterate\": " + Number(IterateSeconds(property), "%.6f") + "},\n";
    json += "      \"runs\": [";
    std::string separator = "\n";
    for (const InitialRuns& runs : property.Runs) {
        for (std::size_t v = 0; v < runs.Runs.size(); ++v) {
            json += separator + "        " + RunJson(property.Variants[v], runs, runs.Runs[v]);
            separator = ",\n";
        }
    }
    return json + "\n      ]\n    }";
}

std::string ResultJson(const Report& report, const CommandLine& line) {
    const Prepared& model = report.Model;
    std::vector<std::string> initial, properties;
    for (uint64_t state : model.Initial) initial.push_back(std::to_string(state));
    double precompute = 0, iterate = 0;
    for (const PropertyReport& property : report.Properties) {
        properties.push_back(PropertyJson(property));
        precompute += property.PrecomputeSeconds;
        iterate += IterateSeconds(property);
    }
    std::string json = "{\n  \"schema\": 1,\n";
    json += "  \"iicheck_version\": " + JsonString(IICHECK_VERSION) + ",\n";
    json += "  \"library_version\": " + JsonString(INTERVAL_ITERATION_VERSION) + ",\n";
    json += "  \"model\": {\n";
    json += "    \"file\": " + JsonString(report.ModelFile) + ",\n";
    json += "    \"labels_file\": " +
            (report.Format == ModelFormat::Tra ? JsonString(report.LabelsFile) : std::string("null")) + ",\n";
    json += "    \"format\": " + JsonString(FormatName(report.Format)) + ",\n";
    json += std::string("    \"type\": ") + (model.Dtmc ? "\"DTMC\"" : "\"MDP\"") + ",\n";
    json += "    \"states\": " + std::to_string(model.States) + ", \"choices\": " + std::to_string(model.Choices) +
            ", \"transitions\": " + std::to_string(model.Transitions) + ",\n";
    json += "    \"initial_states\": " + JsonList(initial) + ",\n";
    json += "    \"sum_tolerance\": " + JsonNumber(line.SumTolerance) + "\n  },\n";
    json += "  \"precision\": {\"epsilon\": " + JsonNumber(line.Epsilon) +
            ", \"relative\": " + (line.Relative ? "true" : "false") +
            ", \"max_iterations\": " + std::to_string(line.MaxIterations) + "},\n";
    json += "  \"properties\": [\n";
    for (std::size_t i = 0; i < properties.size(); ++i) json += properties[i] + (i + 1 < properties.size() ? ",\n" : "\n");
    json += "  ],\n";
    json += "  \"notes\": " + JsonStrings(report.Notes) + ",\n";
    json += "  \"seconds\": {\"read\": " + Number(model.ReadSeconds, "%.6f") +
            ", \"precompute\": " + Number(precompute, "%.6f") + ", \"iterate\": " + Number(iterate, "%.6f") + "}\n";
    return json + "}\n";
}

// ---- Text ----

// "0, 95, 190, 285", the first few of many.
std::string StateList(const std::vector<uint64_t>& states) {
    std::string list;
    for (std::size_t i = 0; i < states.size() && i < kTableRows; ++i) {
        list += (i == 0 ? "" : ", ") + std::to_string(states[i]);
    }
    return states.size() > kTableRows ? list + ", ..." : list;
}

// The model, once before its properties.
void PrintModel(const Report& report) {
    const Prepared& model = report.Model;
    if (report.Format == ModelFormat::Tra) {
        std::printf("Model        %s, %s\n", report.ModelFile.c_str(), report.LabelsFile.c_str());
    } else {
        std::printf("Model        %s\n", report.ModelFile.c_str());
    }
    std::printf("Read         %llu states, %llu choices, %llu transitions%s\n",
                static_cast<unsigned long long>(model.States),
                static_cast<unsigned long long>(model.Choices),
                static_cast<unsigned long long>(model.Transitions), model.Dtmc ? " (DTMC)" : "");
    if (report.Several()) {
        std::printf("Initial      %zu states: %s\n", model.Initial.size(), StateList(model.Initial).c_str());
    }
}

void PrintPropertyHeader(const Report& report, const PropertyReport& property) {
    const PrecomputeCounts& counts = property.Counts;
    std::printf("Property     %s\n", Title(property.Spec).c_str());
    std::printf("Precomputed  %llu reachable: %llu target, %llu with probability 0, %llu with "
                "probability 1, %llu other; %llu end component%s (%llu states) collapsed\n",
                static_cast<unsigned long long>(counts.Reachable), static_cast<unsigned long long>(counts.Targets),
                static_cast<unsigned long long>(counts.Zero), static_cast<unsigned long long>(counts.One),
                static_cast<unsigned long long>(counts.Maybe), static_cast<unsigned long long>(counts.Components),
                counts.Components == 1 ? "" : "s", static_cast<unsigned long long>(counts.ComponentStates));
    std::printf("Collapsed    %s\n", SizeText(property.Collapsed).c_str());
    const BisimulationStats& bisimulation = property.Bisimulation;
    if (property.Options.Bisimulation) {
        std::printf("Bisimulation %s (%llu round%s%s)\n", SizeText(bisimulation.After).c_str(),
                    static_cast<unsigned long long>(bisimulation.Rounds), bisimulation.Rounds == 1 ? "" : "s",
                    bisimulation.Stopped ? "; stopped: most states alone in their class" : "");
    } else {
        std::printf("Bisimulation off\n");
    }
    const char* order = OrderName(property.Options.Order);
    if (!report.Several()) {
        std::printf("Reduced      %s, %s order\n", SizeText(property.Runs[0].Reduced).c_str(), order);
    } else {
        std::printf("Reduced      per initial state, %s order\n", order);
    }
}

// The read time goes with the first property, which waited for it.
void PrintTimes(const Report& report, const PropertyReport& property) {
    const bool first = &property == &report.Properties.front();
    std::printf("Time         %sprecompute %.3f s (bisimulation %.3f s), iterate %.3f s\n",
                first ? ("read " + Number(report.Model.ReadSeconds, "%.3f") + " s, ").c_str() : "",
                property.PrecomputeSeconds, property.BisimulationSeconds, IterateSeconds(property));
}

// "1e-06, 3.2e-08"
std::string EpsilonList(const std::vector<double>& epsilons) {
    std::string list;
    for (double epsilon : epsilons) list += (list.empty() ? "" : ", ") + Number(epsilon, "%.3g");
    return list;
}

void PrintSingle(const Report& report, const PropertyReport& property, const CommandLine& line) {
    const Variant& variant = property.Variants[0];
    const VariantRun& run = property.Runs[0].Runs[0];
    const RunOutcome& outcome = run.Outcome;
    const IterationResult& result = outcome.Result;
    PrintPropertyHeader(report, property);
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
                    run.Epsilons.back(), line.Relative ? "relative" : "absolute");
    }
    if (run.Threshold) {
        std::printf("Answer       %s%s%s (epsilon %s)\n", VerdictText(run.Answer), run.Reason.empty() ? "" : ": ",
                    run.Reason.c_str(), EpsilonList(run.Epsilons).c_str());
    }
    PrintTimes(report, property);
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
void PrintSettings(const PropertyReport& property, const CommandLine& line) {
    if (line.AllVariants) {
        std::printf("Layout       %s\n", line.Chosen.Sequential ? "sequential" : "interleaved");
    } else {
        std::printf("Variant      %s\n", Describe(property.Variants[0]).c_str());
    }
    std::printf("Precision    %.3g %s requested\n\n", line.Epsilon, line.Relative ? "relative" : "absolute");
}

// One line per initial state and variant: the initial state and its reduced
// model with several initial states, the variant with --all-variants, the
// answer of a threshold query.
void PrintTable(const Report& report, const PropertyReport& property, const CommandLine& line) {
    const bool several = report.Several();
    const bool threshold = property.Spec.HasThreshold;
    PrintPropertyHeader(report, property);
    PrintSettings(property, line);
    if (several) std::printf("%-10s %-24s ", "initial", "reduced (s/c/t)");
    if (line.AllVariants) std::printf("%-8s %-9s %-8s ", "FPU", "precision", "rounding");
    if (threshold) std::printf("%-8s ", "answer");
    std::printf("%-12s %-24s %-24s %10s %9s %9s\n", "status", "lower", "upper", "iterations", "achieved",
                "time");
    for (const InitialRuns& runs : property.Runs) {
        for (std::size_t v = 0; v < runs.Runs.size(); ++v) {
            const Variant& variant = property.Variants[v];
            const VariantRun& run = runs.Runs[v];
            const RunOutcome& outcome = run.Outcome;
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
            if (threshold) std::printf("%-8s ", VerdictText(run.Answer));
            if (outcome.Result.Status == IterationStatusError) {
                std::printf("refused      %s\n", FirstError(outcome).c_str());
                continue;
            }
            std::printf("%-12s %-24.17g %-24.17g %10lld %9.3g %8.3fs\n", ShortStatus(variant, outcome),
                        outcome.Result.Lower, outcome.Result.Upper, static_cast<long long>(outcome.Iterations),
                        outcome.AchievedPrecision, run.Seconds);
        }
    }
    std::printf("\n");
    PrintTimes(report, property);
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

// "3 converged, 1 limit"
std::string CountText(const std::map<std::string, std::size_t>& counts) {
    std::string text;
    for (const auto& [what, count] : counts) {
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + what;
    }
    return text;
}

// For many initial states, one line per variant: how many runs ended how
// (and answered what), the range of the lower and of the upper bounds, and
// the widest interval, each with the initial state where it is.
void PrintSummary(const Report& report, const PropertyReport& property, const CommandLine& line) {
    PrintPropertyHeader(report, property);
    PrintSettings(property, line);
    for (std::size_t v = 0; v < property.Variants.size(); ++v) {
        const Variant& variant = property.Variants[v];
        std::map<std::string, std::size_t> ended, answers;
        Extreme lowest, highestLower, lowestUpper, highest, widest;
        std::string error;
        for (const InitialRuns& runs : property.Runs) {
            if (v >= runs.Runs.size()) continue;
            const RunOutcome& outcome = runs.Runs[v].Outcome;
            ++ended[ShortStatus(variant, outcome)];
            if (runs.Runs[v].Threshold) ++answers[VerdictText(runs.Runs[v].Answer)];
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
        if (line.AllVariants) {
            std::printf("%s %s %s: ", FpuToString(variant.Fpu), PrecisionToString(variant.Precision),
                        RoundingToString(variant.Rounding));
        }
        std::printf("%s\n", CountText(ended).c_str());
        if (!answers.empty()) std::printf("  answers: %s\n", CountText(answers).c_str());
        if (!error.empty()) std::printf("  refused: %s\n", error.c_str());
        if (std::isnan(lowest.Value)) continue;
        std::printf("  lower bounds from %s to %s\n", lowest.Text().c_str(), highestLower.Text().c_str());
        std::printf("  upper bounds from %s to %s\n", lowestUpper.Text().c_str(), highest.Text().c_str());
        std::printf("  widest half-width %.3g (state %llu)\n", widest.Value,
                    static_cast<unsigned long long>(widest.State));
    }
    std::printf("\nThe bounds of every initial state: --json\n");
    PrintTimes(report, property);
}

// The library's messages to stderr, as iicheck shows them (the fraction
// warning as what it means for the run): for a few initial states each with
// its state, for many each distinct line once, with the number of initial
// states that got it.
void PrintMessages(const Report& report, const PropertyReport& property, bool verbose) {
    const bool summary = report.Model.Initial.size() > kTableRows;
    std::map<std::string, std::size_t> distinct;
    for (const InitialRuns& runs : property.Runs) {
        const std::string prefix = "initial state " + std::to_string(runs.State) + ": ";
        for (const LibraryMessage& message : runs.Runs[0].Outcome.Messages) {
            if (message.Severity == SeverityInformation && !verbose) continue;
            if (summary) {
                ++distinct[message.Shown];
            } else {
                std::fprintf(stderr, "iicheck: %s%s\n", prefix.c_str(), message.Shown.c_str());
            }
        }
    }
    for (const auto& [shown, count] : distinct) {
        std::fprintf(stderr, "iicheck: %zu initial states: %s\n", count, shown.c_str());
    }
}

// What the text output shows of one property, and the errors after it.
void PrintProperty(const Report& report, const PropertyReport& property, const CommandLine& line) {
    if (!line.AllVariants && report.Several()) PrintMessages(report, property, line.Verbose);
    if (report.Model.Initial.size() > kTableRows) {
        PrintSummary(report, property, line);
    } else if (line.AllVariants || report.Several()) {
        PrintTable(report, property, line);
    } else {
        PrintSingle(report, property, line);
    }
    std::fflush(stdout);
}

// Errors on stderr after the runs of a property.
void ReportErrors(const PropertyReport& property, const CommandLine& line) {
    bool refused = false;
    for (const InitialRuns& runs : property.Runs) {
        for (std::size_t v = 0; v < runs.Runs.size(); ++v) {
            const RunOutcome& outcome = runs.Runs[v].Outcome;
            refused = refused || outcome.Result.Status == IterationStatusError;
            if (BoundsBroken(property.Variants[v], outcome)) {
                std::fprintf(stderr,
                             "iicheck: error: %s gave the bounds [%.17g, %.17g] for initial state %llu, which "
                             "are not 0 <= lower <= upper <= 1; sound bounds always are, so the model is not "
                             "a valid MDP or the library is faulty\n",
                             Describe(property.Variants[v]).c_str(), outcome.Result.Lower, outcome.Result.Upper,
                             static_cast<unsigned long long>(runs.State));
            }
        }
    }
    if (refused && !line.AllVariants && !line.Json) {
        std::fprintf(stderr,
                     "iicheck: the library does not compute this variant; --all-variants "
                     "shows the variants it offers\n");
    }
}

void PrintNotes(const std::vector<std::string>& notes) {
    for (const std::string& note : notes) std::fprintf(stderr, "iicheck: note: %s\n", note.c_str());
}

// One variant's answer for the model of one initial state: one library call,
// or for a threshold query as many as AnswerThreshold needs. Only the first
// call prints its messages: the narrower ones repeat them.
VariantRun Check(const Property& property, const SparseMdp& model, const Variant& variant,
                 RunSettings settings) {
    VariantRun run;
    const std::string title = Title(property);
    const std::function<RunOutcome(double)> call = [&](double epsilon) {
        if (!run.Epsilons.empty() && settings.ShowProgress) {
            WriteMessageLine("iicheck: " + title + " undecided; again with epsilon " + Number(epsilon, "%.3g"));
        }
        settings.Epsilon = epsilon;
        run.Epsilons.push_back(epsilon);
        RunOutcome outcome = RunLibrary(model, variant, settings);
        run.Seconds += outcome.Seconds;
        settings.PrintMessages = false;
        return outcome;
    };
    if (!property.HasThreshold) {
        run.Outcome = call(settings.Epsilon);
        return run;
    }
    ThresholdAnswer answer = AnswerThreshold(property.Bound, settings.Epsilon, EpsilonFloor(variant.Precision),
                                             variant.Rounding == RoundingSafe, call);
    run.Threshold = true;
    run.Answer = answer.Answer;
    run.Reason = std::move(answer.Reason);
    run.Outcome = std::move(answer.Last);
    return run;
}

// Checks one property on the kept model: its precomputation, then each
// initial state's reduction and runs; a signal stops the rest. The default
// variant is chosen for the first reduced model (the fractions it holds).
// Throws Interrupted when a signal comes before the first run.
PropertyReport CheckProperty(Report& report, const Property& spec, bool last, const CommandLine& line) {
    PropertyReport property;
    property.Spec = spec;
    property.Maximize = DirectionIsMaximum(spec, report.Model.Dtmc);
    property.Options = line.Precompute;
    PrepareProperty(report.Model, spec, property.Maximize, line.Precompute, last, property.Notes);
    PrintNotes(property.Notes);
    property.Counts = report.Model.Counts;
    property.Collapsed = report.Model.Collapsed;
    property.Bisimulation = report.Model.Bisimulation;
    property.BisimulationSeconds = report.Model.BisimulationSeconds;

    RunSettings settings;
    settings.Epsilon = line.Epsilon;
    settings.Relative = line.Relative;
    settings.MaxIterations = line.MaxIterations;
    settings.Maximize = property.Maximize;
    settings.PropertyName = spec.Text;
    settings.ShowProgress = !line.Quiet;
    // Messages are printed as they arrive for one initial state; for
    // several they are gathered and printed after the runs.
    const std::size_t initialCount = report.Model.Initial.size();
    settings.PrintMessages = !line.Json && !line.AllVariants && initialCount == 1;
    settings.Verbose = line.Verbose;

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
            property.Variants = line.AllVariants ? AllVariants(line.Chosen.Sequential)
                                                 : std::vector<Variant>{VariantFor(line, sparse, notes)};
            PrintNotes(notes);
            property.Notes.insert(property.Notes.end(), notes.begin(), notes.end());
        }
        for (const Variant& variant : property.Variants) {
            if (InterruptRequested()) break;
            runs.Runs.push_back(Check(spec, sparse, variant, settings));
        }
        if (runs.Runs.empty()) break;
        property.Runs.push_back(std::move(runs));
    }
    property.PrecomputeSeconds = report.Model.PrecomputeSeconds;
    if (property.Runs.empty()) throw Interrupted("precomputing");
    return property;
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
    if (GetSizeOfSizeType() != static_cast<int32_t>(sizeof(uint64_t))) {
        throw std::runtime_error("the library's size type is not 64 bits wide");
    }

    // The properties first: a bad one is found before a large model is read.
    Report report;
    const std::vector<Property> properties = PropertiesOf(line, report.Notes);
    // Opened now, so that a file that cannot be written stops the check
    // before it runs.
    std::ofstream exported;
    if (!line.ExportFile.empty()) {
        exported.open(line.ExportFile, std::ios::binary | std::ios::trunc);
        if (!exported) {
            throw InputError(Printable(line.ExportFile) + ": cannot write the result (--export-result): " +
                             std::strerror(errno));
        }
    }

    // From here on SIGINT and SIGTERM stop the work: the reading and
    // precomputation loops throw Interrupted, the iteration stops at the
    // library's next poll.
    InstallInterruptHandlers();
    ShowProgress(!line.Quiet);
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
    Prepare(std::move(model), report.Model);
    report.Model.ReadSeconds = Since(start);
    report.Notes.insert(report.Notes.begin(), report.Model.Notes.begin(), report.Model.Notes.end());
    // Every property's direction and labels before the first runs, so that
    // a mistake in the last one does not wait for the others.
    for (const Property& property : properties) {
        std::vector<std::string> repeated;  // PrepareProperty says them again
        DirectionIsMaximum(property, report.Model.Dtmc);
        EvaluateLabels(property.Target, report.Model.Labels, report.Model.States, repeated);
        if (property.HasAvoid) EvaluateLabels(property.Avoid, report.Model.Labels, report.Model.States, repeated);
    }
    // Notes after the errors: an error is one line.
    PrintNotes(report.Notes);

    // One property after the other on the one model; each printed as soon
    // as it is done in the text output.
    const bool text = !line.Json;
    if (text) PrintModel(report);
    for (std::size_t p = 0; p < properties.size() && !InterruptRequested(); ++p) {
        try {
            report.Properties.push_back(CheckProperty(report, properties[p], p + 1 == properties.size(), line));
        } catch (const Interrupted&) {
            if (p == 0) throw;
            break;
        }
        if (text) {
            if (p > 0) std::printf("\n");
            PrintProperty(report, report.Properties.back(), line);
        }
        ReportErrors(report.Properties.back(), line);
    }

    const std::string json = ResultJson(report, line);
    if (line.Json) std::fputs(json.c_str(), stdout);
    if (exported.is_open()) {
        exported << json;
        exported.close();
        if (!exported) throw InputError(Printable(line.ExportFile) + ": cannot write the result (--export-result)");
    }

    // Where a signal stopped the work.
    const PropertyReport& lastDone = report.Properties.back();
    const std::size_t initialCount = report.Model.Initial.size();
    const std::size_t variantsRun = lastDone.Runs.back().Runs.size();
    const bool statesCut = lastDone.Runs.size() < initialCount;
    const bool variantsCut = line.AllVariants && variantsRun < lastDone.Variants.size();
    const std::size_t done = report.Properties.size();
    if (statesCut || variantsCut) {
        std::fprintf(stderr, "iicheck: %s after %s%s\n", InterruptedText().c_str(),
                     statesCut ? (std::to_string(lastDone.Runs.size()) + " of " + std::to_string(initialCount) +
                                  " initial states").c_str()
                               : (std::to_string(variantsRun) + " of " + std::to_string(lastDone.Variants.size()) +
                                  " variants").c_str(),
                     properties.size() > 1 ? (" (property " + std::to_string(done) + " of " +
                                              std::to_string(properties.size()) + ")").c_str()
                                           : "");
    } else if (done < properties.size()) {
        std::fprintf(stderr, "iicheck: %s after %zu of %zu properties\n", InterruptedText().c_str(), done,
                     properties.size());
    }
    return ExitCode(line, report.Properties);
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
