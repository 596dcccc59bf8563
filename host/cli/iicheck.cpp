// iicheck: reads an explicit MDP or DTMC (.tra/.lab, DRN, UMB) once, and for
// each reachability property precomputes its graph-based part and asks the
// IntervalIteration library for sound bounds on the probability of each
// initial state, or answers its threshold query soundly. This file holds the
// order of that work; Report.hpp the record of what it found, which
// TextReport.hpp and JsonReport.hpp write.
#include "cli/BundledModel.hpp"
#include "cli/CommandLine.hpp"
#include "cli/JsonReport.hpp"
#include "cli/Report.hpp"
#include "cli/TextReport.hpp"
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

// One variant's answer for the model of one initial state: one library call,
// or for a threshold query as many as AnswerThreshold needs. Only the first
// call prints its messages: the narrower ones repeat them.
VariantRun Check(const Property& property, const SparseMdp& model, const Variant& variant,
                 RunSettings settings) {
    VariantRun run;
    run.NotGuaranteed = NotGuaranteedReason(CountFractions(model, variant), variant);
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
                                             run.NotGuaranteed, call);
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
    report.Asked = {line.SumTolerance, line.Epsilon, line.Relative, line.MaxIterations,
                    line.AllVariants,  line.Chosen.Sequential, line.Json, line.Verbose};
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
            PrintProperty(report, report.Properties.back());
        }
        ReportErrors(report, report.Properties.back());
    }

    const std::string json = ResultJson(report);
    if (line.Json) std::fputs(json.c_str(), stdout);
    if (exported.is_open()) {
        exported << json;
        exported.close();
        if (!exported) throw InputError(Printable(line.ExportFile) + ": cannot write the result (--export-result)");
    }

    PrintStopped(report, properties.size());
    return ExitCode(report);
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
