#include "cli/Report.hpp"

#include "cli/CommandLine.hpp"
#include "support/Interrupt.hpp"
#include "support/Text.hpp"

#include <algorithm>
#include <cstdio>

namespace iicheck {
namespace {

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
int ExitCode(bool allVariants, const std::vector<Variant>& variants, const InitialRuns& runs) {
    for (std::size_t i = 0; i < runs.Runs.size(); ++i) {
        if (RunCode(variants[i], runs.Runs[i]) == kExitInconsistent) return kExitInconsistent;
    }
    if (InterruptRequested()) return kExitStopped;
    if (!allVariants) return RunCode(variants[0], runs.Runs[0]);
    for (std::size_t i = 0; i < runs.Runs.size(); ++i) {
        if (RunCode(variants[i], runs.Runs[i]) == kExitConverged) return kExitConverged;
    }
    return kExitRefused;
}

}  // namespace

std::string Number(double value, const char* format) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string InterruptedText() {
    const std::string name = InterruptName();
    return name.empty() ? "interrupted" : "interrupted (" + name + ")";
}

std::string StatusText(const Variant& variant, const RunOutcome& outcome) {
    if (BoundsBroken(variant, outcome)) {
        return std::string("error: the bounds are not ") + ConsistentBoundsText(outcome.Reward);
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

std::string Title(const Property& property) {
    return property.Name.empty() ? property.Text : Quoted(property.Name, property.Name.size()) + ": " + property.Text;
}

double IterateSeconds(const PropertyReport& property) {
    double seconds = 0;
    for (const InitialRuns& runs : property.Runs) {
        for (const VariantRun& run : runs.Runs) seconds += run.Seconds;
    }
    return seconds;
}

bool Guaranteed(const VariantRun& run) {
    return run.NotGuaranteed.empty() && run.Outcome.Result.Status != IterationStatusError &&
           BoundsConsistent(run.Outcome.Result, run.Outcome.Reward);
}

std::string FirstError(const RunOutcome& outcome) {
    for (const LibraryMessage& message : outcome.Messages) {
        if (message.Severity == SeverityError) return message.Text;
    }
    return "";
}

int ExitCode(const Report& report) {
    int code = kExitConverged;
    for (const PropertyReport& property : report.Properties) {
        for (const InitialRuns& runs : property.Runs) {
            const int one = ExitCode(report.Asked.AllVariants, property.Variants, runs);
            if (one == kExitInconsistent) return one;
            code = std::max(code, one);
        }
    }
    return InterruptRequested() ? kExitStopped : code;
}

}  // namespace iicheck
