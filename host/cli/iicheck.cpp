// iicheck: reads an explicit MDP or DTMC (.tra/.lab, DRN, UMB) once, and for
// each reachability property precomputes its graph-based part and asks the
// IntervalIteration library for sound bounds on the probability of each
// initial state, or answers its threshold query soundly. This file holds the
// order of that work; Report.hpp the record of what it found, which
// TextReport.hpp and JsonReport.hpp write.
#include "cli/BundledModel.hpp"
#include "cli/CommandLine.hpp"
#include "cli/JsonReport.hpp"
#include "cli/Output.hpp"
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
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace iicheck {
namespace {

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One variant's answer for the model of one initial state: one library call,
// or for a threshold query as many as AnswerThreshold needs. Only the first
// call prints its messages: the narrower ones repeat them.
// rewards: an expected reward's, of which inexactRewards reach the library
// rounded; null for a probability.
VariantRun Check(const Property& property, const SparseMdp& model, const SparseRewards* rewards,
                 uint64_t inexactRewards, const Variant& variant, RunSettings settings) {
    VariantRun run;
    run.NotGuaranteed = NotGuaranteedReason(CountFractions(model, variant, rewards), variant);
    if (run.NotGuaranteed.empty() && inexactRewards != 0) {
        run.NotGuaranteed = std::to_string(inexactRewards) + " choice reward" + (inexactRewards == 1 ? " is" : "s are") +
                            " neither a binary64 value nor a fraction of 64-bit integers and reach" +
                            (inexactRewards == 1 ? "es" : "") + " the library rounded, so the bounds may miss the exact value";
    }
    const std::string title = Title(property);
    const std::function<RunOutcome(double)> call = [&](double epsilon) {
        if (!run.Epsilons.empty() && settings.ShowProgress) {
            WriteMessageLine("iicheck: " + title + " undecided; again with epsilon " + Number(epsilon, "%.3g"));
        }
        settings.Epsilon = epsilon;
        run.Epsilons.push_back(epsilon);
        RunOutcome outcome = RunLibrary(model, variant, settings, rewards);
        run.Seconds += outcome.Seconds;
        settings.PrintMessages = false;
        return outcome;
    };
    if (!property.HasThreshold) {
        run.Outcome = call(settings.Epsilon);
        return run;
    }
    // The floor of an expected reward follows its magnitude: a few units in
    // the last place of the threshold.
    const Threshold& bound = ComputedBound(property);
    const double scale = property.Reward ? std::max(1.0, bound.Value.get_d()) : 1.0;
    ThresholdAnswer answer = AnswerThreshold(bound, settings.Epsilon, EpsilonFloor(variant.Precision) * scale,
                                             run.NotGuaranteed, call);
    run.Threshold = true;
    run.Answer = answer.Answer;
    run.Reason = std::move(answer.Reason);
    run.Outcome = std::move(answer.Last);
    return run;
}

// For the tests: IICHECK_STOP_AT=NAME or NAME:N raises the stop as SIGTERM
// does when the work reaches the point NAME for the Nth time (the first by
// default): "read" (the model kept, before the properties), "precomputed"
// (a property's precomputation done), "reduced" (an initial state's model
// made, before its runs), "ran" (an initial state's runs done), "report"
// (every run done, before the report is written). A signal may come at any
// of these points; the tests reach each of them without a race.
void StopPoint(const char* name) {
    static const std::pair<std::string, long> wanted = [] {
        const char* value = std::getenv("IICHECK_STOP_AT");
        std::string point = value == nullptr ? "" : value;
        long count = 1;
        const std::size_t colon = point.find(':');
        if (colon != std::string::npos) {
            count = std::strtol(point.c_str() + colon + 1, nullptr, 10);
            point.resize(colon);
        }
        return std::make_pair(point, count);
    }();
    static long reached = 0;
    if (wanted.first == name && ++reached == wanted.second) RequestInterrupt(SIGTERM);
}

// The runs of an initial state that the precomputation decided: its
// probability, exactly, for every variant, without a library call.
VariantRun Decided(const Property& property, double probability, double epsilon) {
    VariantRun run;
    run.Outcome.Result.Lower = probability;
    run.Outcome.Result.Upper = probability;
    run.Outcome.Result.Status = IterationStatusConverged;
    run.Outcome.Reward = property.Reward;
    run.Epsilons.push_back(epsilon);
    if (property.HasThreshold) {
        run.Threshold = true;
        run.Answer = Decide(ComputedBound(property), probability, probability);
    }
    return run;
}

// Checks one property on the kept model: its precomputation, then each
// initial state's reduction and runs (or the answer the precomputation or
// an earlier initial state gives it); a signal stops the rest. The default
// variant is chosen for the whole reduced model (the fractions it holds).
// Throws Interrupted when a signal comes before the first run.
PropertyReport CheckProperty(Report& report, const Property& spec, bool last, const CommandLine& line) {
    PropertyReport property;
    property.Spec = spec;
    property.Maximize = DirectionIsMaximum(spec, report.Model.Dtmc);
    property.Options = line.Precompute;
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

    // The race with the bisimulation (PrepareProperty): the first variant's
    // run on the model without it, stopped after sweeps iterations unless
    // the command line stops it sooner. A run that settles is kept as that
    // variant's run, with its messages.
    std::optional<VariantRun> settled;
    const TrialRun trial = [&](const ReducedModel& model, std::size_t, int32_t sweeps) {
        std::vector<std::string> unused;  // said again for the model kept
        const Variant variant = line.AllVariants ? AllVariants(line.Chosen.Sequential).front()
                                                 : VariantFor(line, model.Mdp(), unused);
        RunSettings capped = settings;
        capped.PrintMessages = false;
        const bool ours = line.MaxIterations == 0 || sweeps < line.MaxIterations;
        if (ours) capped.MaxIterations = sweeps;
        VariantRun run = Check(spec, model.Mdp(), nullptr, 0, variant, capped);
        if (ours && run.Outcome.Result.Status == IterationStatusStopped && !run.Outcome.Interrupted) return false;
        if (settings.PrintMessages) {
            for (const LibraryMessage& message : run.Outcome.Messages) {
                if (message.Severity != SeverityInformation || settings.Verbose) {
                    WriteMessageLine("iicheck: " + message.Shown);
                }
            }
        }
        settled = std::move(run);
        return true;
    };
    if (spec.Reward) {
        PrepareRewardProperty(report.Model, spec, property.Maximize, line.Precompute, last, property.Notes);
        const RewardStructure& rewards = report.Model.Rewards[report.Model.RewardIndex];
        property.Reward = true;
        property.RewardStructure = rewards.Name;
        property.RewardKinds = RewardKinds(rewards);
        property.InexactRewards = report.Model.InexactRewards;
        property.Options.Bisimulation = false;
    } else {
        PrepareProperty(report.Model, spec, property.Maximize, line.Precompute, last, property.Notes, trial);
    }
    PrintNotes(property.Notes);
    property.Counts = report.Model.Counts;
    property.Collapsed = report.Model.Collapsed;
    property.Bisimulation = report.Model.Bisimulation;
    property.BisimulationSeconds = report.Model.BisimulationSeconds;
    property.Options.Order = report.Model.Order;  // breadth-first when the race kept its run
    StopPoint("precomputed");

    const std::vector<InitialAnswer>& sources = AnswerSources(report.Model);
    std::vector<std::string> notes;
    const SparseRewards allRewards = report.Model.Reduced.Rewards();
    property.Variants = line.AllVariants ? AllVariants(line.Chosen.Sequential)
                                         : std::vector<Variant>{VariantFor(line, report.Model.Reduced.Mdp(), notes,
                                                                           spec.Reward ? &allRewards : nullptr)};
    PrintNotes(notes);
    property.Notes.insert(property.Notes.end(), notes.begin(), notes.end());

    for (std::size_t i = 0; i < initialCount && !InterruptRequested(); ++i) {
        InitialRuns runs;
        runs.State = report.Model.Initial[i];
        runs.Source = sources[i].Source;
        if (runs.Source == AnswerSource::Precomputation) {
            for (std::size_t v = 0; v < property.Variants.size(); ++v) {
                runs.Runs.push_back(Decided(spec, sources[i].Probability, line.Epsilon));
            }
        } else if (runs.Source == AnswerSource::Earlier) {
            // The same state of the reduced model: the same runs, without
            // the messages and the time of calls it did not make.
            const InitialRuns& earlier = property.Runs[sources[i].Earlier];
            runs.SameAs = earlier.State;
            runs.Reduced = earlier.Reduced;
            runs.Runs = earlier.Runs;
            for (VariantRun& run : runs.Runs) {
                run.Seconds = 0;
                run.Outcome.Seconds = 0;
                run.Outcome.Messages.clear();
            }
        } else {
            ReducedModel reduced;
            try {
                reduced = ReduceFrom(report.Model, i);
            } catch (const Interrupted&) {
                break;
            }
            runs.Reduced = SizeOf(reduced);
            StopPoint("reduced");
            const SparseMdp sparse = reduced.Mdp();
            const SparseRewards rewards = reduced.Rewards();
            for (const Variant& variant : property.Variants) {
                if (InterruptRequested()) break;
                if (settled && i == report.Model.Settled && runs.Runs.empty()) {
                    runs.Runs.push_back(std::move(*settled));
                    continue;
                }
                runs.Runs.push_back(Check(spec, sparse, spec.Reward ? &rewards : nullptr, property.InexactRewards,
                                          variant, settings));
            }
        }
        if (runs.Runs.empty()) break;
        property.Runs.push_back(std::move(runs));
        StopPoint("ran");
    }
    property.PrecomputeSeconds = report.Model.PrecomputeSeconds;
    property.Phases = report.Model.Phases;
    if (property.Runs.empty()) throw Interrupted(kPrecomputing);
    // G, W and R: the bounds of the complement's probability become bounds
    // of the answer, rounded outward.
    if (spec.Complement) {
        for (InitialRuns& runs : property.Runs) {
            for (VariantRun& run : runs.Runs) run.Outcome.Result = Complemented(run.Outcome.Result);
        }
    }
    return property;
}

// The files of the check that --export-result must not name: UsageError
// when it names one (or a link to one), before anything is opened for
// writing.
void RefuseInputAsResult(const CommandLine& line) {
    std::vector<std::pair<std::string, const char*>> inputs;
    for (const std::string& file : line.Files) inputs.emplace_back(file, "the model");
    if (!line.Files.empty()) {
        try {
            const ModelFiles files = ResolveModelFiles(line.Files, line.Format, line.RewardFiles);
            inputs.emplace_back(files.Model, "the model");
            if (!files.Labels.empty()) inputs.emplace_back(files.Labels, "the model's labels");
            for (const std::string& rewards : files.Rewards) inputs.emplace_back(rewards, "the model's rewards");
        } catch (const InputError&) {
            // Said when the model is read.
        }
    }
    for (const std::string& file : line.PropertyFiles) inputs.emplace_back(file, "a properties file");
    for (const auto& [input, what] : inputs) {
        if (SameFile(line.ExportFile, input)) {
            throw UsageError("--export-result " + Printable(line.ExportFile) + " is " + what + " (" +
                             Printable(input) + "); refused, so that it is not overwritten");
        }
    }
}

// What the end of a check needs, whatever happened before it: the report as
// far as it got, and where its JSON document goes.
struct Session {
    CommandLine Line;
    Report Record;
    ResultFile Result;
};

int Check(const std::vector<std::string>& arguments, Session& session) {
    CommandLine& line = session.Line;
    Report& report = session.Record;
    // An error on the command line is told once --json and --export-result
    // are known, so that its document goes where they say.
    std::optional<UsageError> usage;
    try {
        ParseCommandLine(arguments, line);
    } catch (const UsageError& error) {
        usage = error;
    }
    report.Asked = {line.SumTolerance, line.Epsilon, line.Relative, line.MaxIterations,
                    line.AllVariants,  line.Chosen.Sequential, line.Json, line.Verbose};
    if (!usage && (line.Help || line.Version)) {
        if (line.Help) {
            std::fputs(kUsage, stdout);
        } else {
            std::printf("iicheck %s (built with IntervalIteration %s)\n", IICHECK_VERSION,
                        INTERVAL_ITERATION_VERSION);
        }
        CheckStdout();
        return kExitConverged;
    }
    // From here on SIGINT and SIGTERM stop the work: the reading and
    // precomputation loops throw Interrupted, the iteration stops at the
    // library's next poll, and the points between them look at the flag; a
    // temporary file is not left behind.
    InstallInterruptHandlers();
    // Opened now, so that a file that cannot be written stops the check
    // before it runs.
    if (!line.ExportFile.empty()) {
        try {
            RefuseInputAsResult(line);
            session.Result.Open(line.ExportFile);
        } catch (const std::exception&) {
            if (!usage) throw;
        }
    }
    if (usage) throw *usage;
    if (GetSizeOfSizeType() != static_cast<int32_t>(sizeof(uint64_t))) {
        throw std::runtime_error("the library's size type is not 64 bits wide");
    }

    // The properties first: a bad one is found before a large model is read.
    const std::vector<Property> properties = PropertiesOf(line, report.Notes);

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
        const ModelFiles files = ResolveModelFiles(line.Files, line.Format, line.RewardFiles);
        report.Format = files.Format;
        report.ModelFile = Printable(files.Model);
        report.LabelsFile = Printable(files.Labels);
        model = ReadModel(files, line.SumTolerance);
    }
    }
    Prepare(std::move(model), report.Model);
    report.Read = true;
    report.Model.ReadSeconds = Since(start);
    report.Notes.insert(report.Notes.begin(), report.Model.Notes.begin(), report.Model.Notes.end());
    StopPoint("read");
    // Every property's direction and labels before the first runs, so that
    // a mistake in the last one does not wait for the others.
    for (const Property& property : properties) {
        std::vector<std::string> repeated;  // PrepareProperty says them again
        DirectionIsMaximum(property, report.Model.Dtmc);
        if (property.Reward) SelectRewards(report.Model.Rewards, property.RewardNamed, property.RewardName);
        EvaluateLabels(property.Target, report.Model.Labels, report.Model.States, repeated);
        if (property.HasAvoid) EvaluateLabels(property.Avoid, report.Model.Labels, report.Model.States, repeated);
    }
    // Notes after the errors: an error is one line.
    PrintNotes(report.Notes);

    // One property after the other on the one model; each printed as soon
    // as it is done in the text output. A stop before the first has no
    // bounds to show.
    const bool text = !line.Json;
    if (text) {
        PrintModel(report);
        CheckStdout();
    }
    for (std::size_t p = 0; p < properties.size(); ++p) {
        try {
            if (InterruptRequested()) throw Interrupted(p == 0 ? kReading : kPrecomputing);
            report.Properties.push_back(CheckProperty(report, properties[p], p + 1 == properties.size(), line));
        } catch (const Interrupted&) {
            if (p == 0) throw;
            break;
        }
        if (text) {
            if (p > 0) std::printf("\n");
            PrintProperty(report, report.Properties.back());
            CheckStdout();
        }
        ReportErrors(report, report.Properties.back());
    }

    StopPoint("report");
    if (line.Json || session.Result.IsOpen()) {
        const std::string json = ResultJson(report);
        if (line.Json) std::fputs(json.c_str(), stdout);
        CheckStdout();
        if (session.Result.IsOpen()) session.Result.Commit(json);
    }
    CheckStdout();
    PrintStopped(report, properties.size());
    return ExitCode(report);
}

// Runs the check. An error is said on stderr in one line, and its JSON
// document (the report as far as it got, with the error) goes where the
// results would have gone.
int Run(const std::vector<std::string>& arguments) {
    Session session;
    Failure failure;
    try {
        return Check(arguments, session);
    } catch (const UsageError& error) {
        failure = {kExitUsage, error.what()};
    } catch (const InputError& error) {
        // A signal that stopped the writer of a pipe or a growing file ends
        // the input early: the user asked to stop, so say that, not that the
        // truncated input is malformed.
        failure = InterruptRequested() ? Failure{kExitStopped, InterruptedText() + " while reading; no bounds"}
                                       : Failure{kExitUsage, std::string("error: ") + error.what()};
    } catch (const Interrupted& error) {
        failure = {kExitStopped, InterruptedText() + " while " + error.what() + "; no bounds"};
    } catch (const OutputError& error) {
        failure = {kExitUsage, std::string("error: ") + error.what()};
    } catch (const std::bad_alloc&) {
        failure = {kExitUsage, "error: out of memory"};
    } catch (const std::exception& error) {
        failure = {kExitUsage, "internal error: " + Printable(error.what())};
    }
    std::fprintf(stderr, "iicheck: %s\n", failure.Message.c_str());
    session.Record.Error = failure;
    const std::string json = ResultJson(session.Record);
    // Not again where the output already failed.
    if (session.Line.Json && std::ferror(stdout) == 0) {
        std::fputs(json.c_str(), stdout);
        std::fflush(stdout);
    }
    if (session.Result.IsOpen()) {
        try {
            session.Result.Commit(json);
        } catch (const OutputError& error) {
            std::fprintf(stderr, "iicheck: error: %s\n", error.what());
        }
    }
    return failure.ExitCode;
}

}  // namespace
}  // namespace iicheck

int main(int argc, char** argv) { return iicheck::Run(std::vector<std::string>(argv + 1, argv + argc)); }
