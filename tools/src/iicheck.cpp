// iicheck: reads an explicit MDP (.tra/.lab), precomputes the graph-based
// part of a reachability property, and asks the IntervalIteration library
// for sound bounds on the probability of the initial state.
#include "BundledModel.hpp"
#include "CommandLine.hpp"
#include "ExplicitModel.hpp"
#include "Interrupt.hpp"
#include "Pipeline.hpp"
#include "Progress.hpp"
#include "Run.hpp"
#include "Text.hpp"

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

// The exit code of the runs: broken bounds first, then a stop by a signal,
// then the library's status.
int ExitCode(const CommandLine& line, const std::vector<Variant>& variants,
             const std::vector<RunOutcome>& outcomes) {
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (BoundsBroken(variants[i], outcomes[i])) return kExitInconsistent;
    }
    if (line.AllVariants) {
        if (InterruptRequested()) return kExitStopped;
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

// The first error message of a run, or "".
std::string FirstError(const RunOutcome& outcome) {
    for (const LibraryMessage& message : outcome.Messages) {
        if (message.Severity == SeverityError) return message.Text;
    }
    return "";
}

struct Report {
    std::string TransitionsFile;  // printable
    std::string LabelsFile;
    std::string Property;
    Prepared Model;
};

std::string RunJson(const Variant& variant, const RunOutcome& outcome) {
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
    return json + "]}";
}

void PrintJson(const Report& report, const CommandLine& line, const std::vector<Variant>& variants,
               const std::vector<RunOutcome>& outcomes) {
    const Prepared& model = report.Model;
    std::string json = "{\n";
    json += "  \"transitions_file\": " + JsonString(report.TransitionsFile) + ",\n";
    json += "  \"labels_file\": " + JsonString(report.LabelsFile) + ",\n";
    json += "  \"property\": " + JsonString(report.Property) + ",\n";
    json += "  \"epsilon\": " + JsonNumber(line.Epsilon) + ",\n";
    json += std::string("  \"relative\": ") + (line.Relative ? "true" : "false") + ",\n";
    json += "  \"sum_tolerance\": " + JsonNumber(line.SumTolerance) + ",\n";
    json += "  \"model\": {\"states\": " + std::to_string(model.States) +
            ", \"choices\": " + std::to_string(model.Choices) +
            ", \"transitions\": " + std::to_string(model.Transitions) + "},\n";
    json += "  \"precomputation\": {\"reachable\": " + std::to_string(model.Counts.Reachable) +
            ", \"targets\": " + std::to_string(model.Counts.Targets) +
            ", \"zero\": " + std::to_string(model.Counts.Zero) +
            ", \"other\": " + std::to_string(model.Counts.Maybe) +
            ", \"end_components\": " + std::to_string(model.Counts.Components) +
            ", \"end_component_states\": " + std::to_string(model.Counts.ComponentStates) + "},\n";
    json += "  \"reduced\": {\"states\": " + std::to_string(model.Reduced.StateCount()) +
            ", \"choices\": " + std::to_string(model.Reduced.ChoiceCount()) +
            ", \"transitions\": " + std::to_string(model.Reduced.TransitionCount()) + "},\n";
    json += "  \"notes\": [";
    for (std::size_t i = 0; i < model.Notes.size(); ++i) {
        json += (i == 0 ? "" : ", ") + JsonString(model.Notes[i]);
    }
    json += "],\n";
    json += "  \"seconds\": {\"read\": " + Number(model.ReadSeconds, "%.6f") +
            ", \"precompute\": " + Number(model.PrecomputeSeconds, "%.6f") + "},\n";
    json += "  \"runs\": [\n";
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        json += "    " + RunJson(variants[i], outcomes[i]) + (i + 1 < outcomes.size() ? ",\n" : "\n");
    }
    json += "  ]\n}\n";
    std::fputs(json.c_str(), stdout);
}

void PrintHeader(const Report& report) {
    const Prepared& model = report.Model;
    std::printf("Model        %s, %s\n", report.TransitionsFile.c_str(), report.LabelsFile.c_str());
    std::printf("Property     %s\n", report.Property.c_str());
    std::printf("Read         %llu states, %llu choices, %llu transitions\n",
                static_cast<unsigned long long>(model.States),
                static_cast<unsigned long long>(model.Choices),
                static_cast<unsigned long long>(model.Transitions));
    std::printf("Precomputed  %llu reachable: %llu target, %llu with probability 0, %llu other; "
                "%llu end component%s (%llu states) collapsed\n",
                static_cast<unsigned long long>(model.Counts.Reachable),
                static_cast<unsigned long long>(model.Counts.Targets),
                static_cast<unsigned long long>(model.Counts.Zero),
                static_cast<unsigned long long>(model.Counts.Maybe),
                static_cast<unsigned long long>(model.Counts.Components),
                model.Counts.Components == 1 ? "" : "s",
                static_cast<unsigned long long>(model.Counts.ComponentStates));
    std::printf("Reduced      %llu states, %llu choices, %llu transitions\n",
                static_cast<unsigned long long>(model.Reduced.StateCount()),
                static_cast<unsigned long long>(model.Reduced.ChoiceCount()),
                static_cast<unsigned long long>(model.Reduced.TransitionCount()));
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
    std::printf("Status       %s (%d)\n", StatusText(variant, outcome).c_str(), result.Status);
    if (result.Status != IterationStatusError) {
        std::printf("Iterations   %lld\n", static_cast<long long>(outcome.Iterations));
        std::printf("Precision    %.3g achieved, %.3g %s requested\n", outcome.AchievedPrecision,
                    line.Epsilon, line.Relative ? "relative" : "absolute");
    }
    std::printf("Time         read %.3f s, precompute %.3f s, iterate %.3f s\n",
                report.Model.ReadSeconds, report.Model.PrecomputeSeconds, outcome.Seconds);
}

void PrintTable(const Report& report, const std::vector<Variant>& variants,
                const std::vector<RunOutcome>& outcomes) {
    PrintHeader(report);
    std::printf("Layout       %s\n\n", variants.empty() || !variants[0].Sequential ? "interleaved" : "sequential");
    std::printf("%-8s %-9s %-8s %-12s %-24s %-24s %10s %9s %9s\n", "FPU", "precision", "rounding",
                "status", "lower", "upper", "iterations", "achieved", "time");
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const Variant& variant = variants[i];
        const RunOutcome& outcome = outcomes[i];
        std::printf("%-8s %-9s %-8s ", FpuToString(variant.Fpu), PrecisionToString(variant.Precision),
                    RoundingToString(variant.Rounding));
        if (outcome.Result.Status == IterationStatusError) {
            std::printf("refused      %s\n", FirstError(outcome).c_str());
            continue;
        }
        const char* status = BoundsBroken(variant, outcome) ? "INCONSISTENT"
                             : outcome.Result.Status == IterationStatusConverged ? "converged"
                             : outcome.Result.Status == IterationStatusStopped
                                 ? (outcome.Interrupted ? "interrupted" : "limit")
                                 : "fixed-pt";
        std::printf("%-12s %-24.17g %-24.17g %10lld %9.3g %8.3fs\n", status, outcome.Result.Lower,
                    outcome.Result.Upper, static_cast<long long>(outcome.Iterations),
                    outcome.AchievedPrecision, outcome.Seconds);
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
    if (line.Files.empty()) {
        report.TransitionsFile = kBundledTransitionsName;
        report.LabelsFile = kBundledLabelsName;
        report.Model = PrepareTexts(kBundledTransitions, report.TransitionsFile, kBundledLabels,
                                    report.LabelsFile, line);
    } else {
        std::string transitions;
        std::string labels;
        ResolveFiles(line.Files, transitions, labels);
        report.TransitionsFile = Printable(transitions);
        report.LabelsFile = Printable(labels);
        // As PrepareTexts, but the transitions file is mapped only while it
        // is read.
        const auto start = std::chrono::steady_clock::now();
        ExplicitMdp mdp;
        {
            const FileText text(transitions);
            mdp = ParseTransitions(text.Text(), transitions, line.SumTolerance, report.Model.Notes);
        }
        const FileText labelsText(labels);
        const Labelling labelling = ParseLabels(labelsText.Text(), labels, mdp.StateCount);
        report.Model.ReadSeconds = Since(start);
        Prepare(std::move(mdp), labelling, line, report.Model);
    }
    const SparseMdp model = report.Model.Reduced.Mdp();
    const Variant chosen = VariantFor(line, model, report.Model.Notes);
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
    settings.PrintMessages = !line.Json && !line.AllVariants;
    settings.Verbose = line.Verbose;

    const std::vector<Variant> variants =
        line.AllVariants ? AllVariants(line.Chosen.Sequential) : std::vector<Variant>{chosen};
    std::vector<RunOutcome> outcomes;
    for (const Variant& variant : variants) {
        if (InterruptRequested()) break;
        outcomes.push_back(RunLibrary(model, variant, settings));
    }
    if (outcomes.empty()) {
        std::fprintf(stderr, "iicheck: %s before the iteration started; no bounds\n",
                     InterruptedText().c_str());
        return kExitStopped;
    }
    const std::vector<Variant> ran(variants.begin(), variants.begin() + static_cast<std::ptrdiff_t>(outcomes.size()));

    if (line.Json) {
        PrintJson(report, line, ran, outcomes);
    } else if (line.AllVariants) {
        PrintTable(report, ran, outcomes);
    } else {
        PrintSingle(report, line, ran[0], outcomes[0]);
        if (outcomes[0].Result.Status == IterationStatusError) {
            std::fprintf(stderr,
                         "iicheck: the library does not compute this variant; --all-variants "
                         "shows the variants it offers\n");
        }
    }
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (BoundsBroken(ran[i], outcomes[i])) {
            std::fprintf(stderr,
                         "iicheck: error: %s gave the bounds [%.17g, %.17g], which are not "
                         "0 <= lower <= upper <= 1; sound bounds always are, so the model is not "
                         "a valid MDP or the library is faulty\n",
                         Describe(ran[i]).c_str(), outcomes[i].Result.Lower, outcomes[i].Result.Upper);
        }
    }
    if (line.AllVariants && outcomes.size() < variants.size()) {
        std::fprintf(stderr, "iicheck: %s after %zu of %zu variants\n", InterruptedText().c_str(),
                     outcomes.size(), variants.size());
    }
    return ExitCode(line, ran, outcomes);
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
