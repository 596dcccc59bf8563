#include "cli/TextReport.hpp"

#include "analysis/StateOrder.hpp"
#include "support/Interrupt.hpp"
#include "support/Text.hpp"

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

namespace iicheck {
namespace {

// "7 states, 7 choices, 14 transitions"
std::string SizeText(const ModelSize& size) {
    return std::to_string(size.States) + " states, " + std::to_string(size.Choices) + " choices, " +
           std::to_string(size.Transitions) + " transitions";
}

// "0, 95, 190, 285", the first few of many.
std::string StateList(const std::vector<uint64_t>& states) {
    std::string list;
    for (std::size_t i = 0; i < states.size() && i < kTableRows; ++i) {
        list += (i == 0 ? "" : ", ") + std::to_string(states[i]);
    }
    return states.size() > kTableRows ? list + ", ..." : list;
}

void PrintPropertyHeader(const Report& report, const PropertyReport& property) {
    const PrecomputeCounts& counts = property.Counts;
    std::printf("Property     %s\n", Title(property.Spec).c_str());
    if (property.Spec.Complement) {
        std::printf("Complement   1 - %s: the bounds are 1 minus its bounds, rounded outward\n",
                    property.Spec.ComplementText.c_str());
    }
    if (property.Reward) {
        std::printf("Rewards      %s (%s); %llu state%s with infinite expected reward\n",
                    property.RewardStructure.empty() ? "the unnamed structure"
                                                     : ("structure " + Quoted(property.RewardStructure)).c_str(),
                    property.RewardKinds.c_str(), static_cast<unsigned long long>(counts.Zero),
                    counts.Zero == 1 ? "" : "s");
        std::printf("Precomputed  %llu reachable: %llu target, %llu with infinite expected reward, %llu other; "
                    "%llu end component%s without reward (%llu states) collapsed\n",
                    static_cast<unsigned long long>(counts.Reachable), static_cast<unsigned long long>(counts.Targets),
                    static_cast<unsigned long long>(counts.Zero), static_cast<unsigned long long>(counts.Maybe),
                    static_cast<unsigned long long>(counts.Components), counts.Components == 1 ? "" : "s",
                    static_cast<unsigned long long>(counts.ComponentStates));
    } else {
        std::printf("Precomputed  %llu reachable: %llu target, %llu with probability 0, %llu with "
                    "probability 1, %llu other; %llu end component%s (%llu states) collapsed\n",
                    static_cast<unsigned long long>(counts.Reachable), static_cast<unsigned long long>(counts.Targets),
                    static_cast<unsigned long long>(counts.Zero), static_cast<unsigned long long>(counts.One),
                    static_cast<unsigned long long>(counts.Maybe), static_cast<unsigned long long>(counts.Components),
                    counts.Components == 1 ? "" : "s", static_cast<unsigned long long>(counts.ComponentStates));
    }
    std::printf("Collapsed    %s\n", SizeText(property.Collapsed).c_str());
    const BisimulationStats& bisimulation = property.Bisimulation;
    if (property.Reward) {
        std::printf("Bisimulation skipped for expected rewards (its classes do not keep choices of different "
                    "rewards apart)\n");
    } else if (property.Options.Bisimulation) {
        std::printf("Bisimulation %s (%llu round%s%s%s)\n", SizeText(bisimulation.After).c_str(),
                    static_cast<unsigned long long>(bisimulation.Rounds), bisimulation.Rounds == 1 ? "" : "s",
                    bisimulation.Stopped ? "; stopped: " : "", bisimulation.Stopped ? Describe(bisimulation.Why) : "");
    } else {
        std::printf("Bisimulation off\n");
    }
    const char* order = OrderName(property.Options.Order);
    if (!report.Several()) {
        if (property.Runs[0].Source == AnswerSource::Precomputation) {
            std::printf("Reduced      none: the precomputation decides the initial state, no library call\n");
        } else {
            std::printf("Reduced      %s, %s order\n", SizeText(property.Runs[0].Reduced).c_str(), order);
        }
        return;
    }
    std::size_t decided = 0, shared = 0;
    for (const InitialRuns& runs : property.Runs) {
        decided += runs.Source == AnswerSource::Precomputation ? 1 : 0;
        shared += runs.Source == AnswerSource::Earlier ? 1 : 0;
    }
    std::printf("Reduced      per initial state, %s order", order);
    if (decided + shared != 0) {
        std::printf("; library calls for %zu of %zu initial states (%zu decided by the precomputation, %zu "
                    "sharing the call of an earlier one in the same class)",
                    property.Runs.size() - decided - shared, property.Runs.size(), decided, shared);
    }
    std::printf("\n");
}

// The reduced model of an initial state in the table: its size, or where
// its answer came from without a call of its own.
std::string ReducedText(const InitialRuns& runs) {
    switch (runs.Source) {
        case AnswerSource::Precomputation: return "precomputed";
        case AnswerSource::Earlier: return "as " + std::to_string(runs.SameAs);
        default:
            return std::to_string(runs.Reduced.States) + "/" + std::to_string(runs.Reduced.Choices) + "/" +
                   std::to_string(runs.Reduced.Transitions);
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

// Why a run's bounds are not guaranteed, or "" when they are (or there are
// none).
std::string NotGuaranteedText(const Variant& variant, const VariantRun& run) {
    if (run.Outcome.Result.Status == IterationStatusError || Guaranteed(run)) return "";
    return BoundsBroken(variant, run.Outcome)
               ? std::string("the bounds are not ") + ConsistentBoundsText(run.Outcome.Reward)
               : run.NotGuaranteed;
}

// How an expected reward's upper bound was obtained.
std::string UpperBoundText(const InitialRuns& runs, const VariantRun& run) {
    if (runs.Source == AnswerSource::Precomputation) return "exact: decided by the precomputation";
    const std::string certified = CertifiedUpperBound(run.Outcome);
    if (!certified.empty()) return "guessed from the lower bounds and " + certified;
    return "none certified, so +inf";
}

void PrintSingle(const Report& report, const PropertyReport& property) {
    const Variant& variant = property.Variants[0];
    const VariantRun& run = property.Runs[0].Runs[0];
    const RunOutcome& outcome = run.Outcome;
    const IterationResult& result = outcome.Result;
    PrintPropertyHeader(report, property);
    std::printf("Variant      %s\n", Describe(variant).c_str());
    if (result.Status == IterationStatusError) {
        std::printf("Result       none\n");
    } else {
        const std::string why = NotGuaranteedText(variant, run);
        std::printf("Result       [%.17g, %.17g]%s%s\n", result.Lower, result.Upper,
                    why.empty() ? "" : ", not guaranteed: ", why.c_str());
        std::printf("Midpoint     %.17g\n", result.Lower / 2 + result.Upper / 2);
        std::printf("Half-width   %.3g\n", result.Upper / 2 - result.Lower / 2);
    }
    if (property.Reward) std::printf("Upper bound  %s\n", UpperBoundText(property.Runs[0], run).c_str());
    std::printf("Status       %s (%d)\n", StatusText(variant, outcome).c_str(), result.Status);
    if (result.Status != IterationStatusError) {
        std::printf("Iterations   %lld\n", static_cast<long long>(outcome.Iterations));
        std::printf("Precision    %.3g achieved, %.3g %s requested\n", outcome.AchievedPrecision,
                    run.Epsilons.back(), report.Asked.Relative ? "relative" : "absolute");
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
void PrintSettings(const Report& report, const PropertyReport& property) {
    if (report.Asked.AllVariants) {
        std::printf("Layout       %s\n", report.Asked.Sequential ? "sequential" : "interleaved");
    } else {
        std::printf("Variant      %s\n", Describe(property.Variants[0]).c_str());
    }
    std::printf("Precision    %.3g %s requested\n\n", report.Asked.Epsilon, report.Asked.Relative ? "relative" : "absolute");
}

// One line per initial state and variant: the initial state and its reduced
// model with several initial states, the variant with --all-variants, the
// answer of a threshold query.
void PrintTable(const Report& report, const PropertyReport& property) {
    const bool several = report.Several();
    const bool threshold = property.Spec.HasThreshold;
    PrintPropertyHeader(report, property);
    PrintSettings(report, property);
    if (several) std::printf("%-10s %-24s ", "initial", "reduced (s/c/t)");
    if (report.Asked.AllVariants) std::printf("%-8s %-9s %-8s ", "FPU", "precision", "rounding");
    if (threshold) std::printf("%-8s ", "answer");
    std::printf("%-12s %-10s %-24s %-24s %10s %9s %9s\n", "status", "guaranteed", "lower", "upper", "iterations",
                "achieved", "time");
    for (const InitialRuns& runs : property.Runs) {
        for (std::size_t v = 0; v < runs.Runs.size(); ++v) {
            const Variant& variant = property.Variants[v];
            const VariantRun& run = runs.Runs[v];
            const RunOutcome& outcome = run.Outcome;
            if (several) {
                std::printf("%-10llu %-24s ", static_cast<unsigned long long>(runs.State), ReducedText(runs).c_str());
            }
            if (report.Asked.AllVariants) {
                std::printf("%-8s %-9s %-8s ", FpuToString(variant.Fpu), PrecisionToString(variant.Precision),
                            RoundingToString(variant.Rounding));
            }
            if (threshold) std::printf("%-8s ", VerdictText(run.Answer));
            if (outcome.Result.Status == IterationStatusError) {
                std::printf("refused      %s\n", FirstError(outcome).c_str());
                continue;
            }
            std::printf("%-12s %-10s %-24.17g %-24.17g %10lld %9.3g %8.3fs\n", ShortStatus(variant, outcome),
                        Guaranteed(run) ? "yes" : "no", outcome.Result.Lower, outcome.Result.Upper,
                        static_cast<long long>(outcome.Iterations), outcome.AchievedPrecision, run.Seconds);
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
void PrintSummary(const Report& report, const PropertyReport& property) {
    PrintPropertyHeader(report, property);
    PrintSettings(report, property);
    for (std::size_t v = 0; v < property.Variants.size(); ++v) {
        const Variant& variant = property.Variants[v];
        std::map<std::string, std::size_t> ended, answers;
        Extreme lowest, highestLower, lowestUpper, highest, widest;
        std::string error, notGuaranteed;
        for (const InitialRuns& runs : property.Runs) {
            if (v >= runs.Runs.size()) continue;
            const RunOutcome& outcome = runs.Runs[v].Outcome;
            if (notGuaranteed.empty()) notGuaranteed = NotGuaranteedText(variant, runs.Runs[v]);
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
        if (report.Asked.AllVariants) {
            std::printf("%s %s %s: ", FpuToString(variant.Fpu), PrecisionToString(variant.Precision),
                        RoundingToString(variant.Rounding));
        }
        std::printf("%s\n", CountText(ended).c_str());
        if (!answers.empty()) std::printf("  answers: %s\n", CountText(answers).c_str());
        if (!error.empty()) std::printf("  refused: %s\n", error.c_str());
        if (!notGuaranteed.empty()) std::printf("  bounds not guaranteed: %s\n", notGuaranteed.c_str());
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

}  // namespace

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

// What the text output shows of one property, and the errors after it.
void PrintProperty(const Report& report, const PropertyReport& property) {
    if (!report.Asked.AllVariants && report.Several()) PrintMessages(report, property, report.Asked.Verbose);
    if (report.Model.Initial.size() > kTableRows) {
        PrintSummary(report, property);
    } else if (report.Asked.AllVariants || report.Several()) {
        PrintTable(report, property);
    } else {
        PrintSingle(report, property);
    }
    std::fflush(stdout);
}

// Errors on stderr after the runs of a property.
void ReportErrors(const Report& report, const PropertyReport& property) {
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
    if (refused && !report.Asked.AllVariants && !report.Asked.Json) {
        std::fprintf(stderr,
                     "iicheck: the library does not compute this variant; --all-variants "
                     "shows the variants it offers\n");
    }
}

void PrintNotes(const std::vector<std::string>& notes) {
    for (const std::string& note : notes) std::fprintf(stderr, "iicheck: note: %s\n", note.c_str());
}

void PrintStopped(const Report& report, std::size_t propertyCount) {
    // Where a signal stopped the work.
    if (!InterruptRequested() || report.Properties.empty()) return;
    const PropertyReport& lastDone = report.Properties.back();
    const std::size_t initialCount = report.Model.Initial.size();
    const std::size_t variantsRun = lastDone.Runs.back().Runs.size();
    const bool statesCut = lastDone.Runs.size() < initialCount;
    const bool variantsCut = report.Asked.AllVariants && variantsRun < lastDone.Variants.size();
    const std::size_t done = report.Properties.size();
    if (statesCut || variantsCut) {
        std::fprintf(stderr, "iicheck: %s after %s%s\n", InterruptedText().c_str(),
                     statesCut ? (std::to_string(lastDone.Runs.size()) + " of " + std::to_string(initialCount) +
                                  " initial states").c_str()
                               : (std::to_string(variantsRun) + " of " + std::to_string(lastDone.Variants.size()) +
                                  " variants").c_str(),
                     propertyCount > 1 ? (" (property " + std::to_string(done) + " of " +
                                          std::to_string(propertyCount) + ")").c_str()
                                       : "");
    } else if (done < propertyCount) {
        std::fprintf(stderr, "iicheck: %s after %zu of %zu properties\n", InterruptedText().c_str(), done,
                     propertyCount);
    } else {
        bool cut = false;
        for (const VariantRun& run : lastDone.Runs.back().Runs) cut = cut || run.Outcome.Interrupted;
        std::fprintf(stderr, "iicheck: %s %s\n", InterruptedText().c_str(),
                     cut ? "during the last run: its bounds are those reached so far"
                         : "after the last run: the results are complete");
    }
}

}  // namespace iicheck
