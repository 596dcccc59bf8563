// Threshold queries (Pmax>=0.99 [F "goal"]) answered soundly: true or
// false only when the interval the library returned under safe rounding
// lies entirely on one side of the threshold, compared exactly with the
// threshold as written. Otherwise the query is run again with a smaller
// epsilon, a fraction of the distance between the interval's midpoint and
// the threshold, down to a floor, and stays "unknown" (with the interval)
// when that does not settle it, when the iteration stops early (limit,
// signal, fixed point) or when the run's bounds are not guaranteed (default
// rounding, or a variant that rounds some of the model's fractions): a
// floating-point model checker that answers from a value which may be off
// by more than its own error estimate can answer wrongly; this never does.
#pragma once

#include "pipeline/Run.hpp"
#include "properties/Property.hpp"

#include <functional>
#include <string>
#include <vector>

namespace iicheck {

enum class Verdict : uint8_t { True, False, Unknown };

// "true", "false", "unknown"
const char* VerdictText(Verdict verdict);

// Whether the exact probability p compared with the threshold holds for
// every p in [lower, upper]: True, False, or Unknown when the interval
// reaches both sides.
Verdict Decide(const Threshold& threshold, double lower, double upper);

struct ThresholdAnswer {
    Verdict Answer = Verdict::Unknown;
    std::string Reason;            // why Unknown; "" otherwise
    std::vector<double> Epsilons;  // of the runs, in order
    RunOutcome Last;               // the last run
};

// Runs run(epsilon), starting at epsilon, until Decide settles the query.
// notGuaranteed: why the runs' bounds are not guaranteed (NotGuaranteedReason),
// "" when they are; otherwise one run, and Unknown with that reason. floor:
// the smallest epsilon tried (EpsilonFloor). Each further run divides
// epsilon at least by 2, so there are at most log2(epsilon / floor) + 2.
ThresholdAnswer AnswerThreshold(const Threshold& threshold, double epsilon, double floor,
                                const std::string& notGuaranteed,
                                const std::function<RunOutcome(double epsilon)>& run);

// The bounds [1 - upper, 1 - lower] of the complement of a probability in
// [lower, upper], rounded outward where they are not exact (1 - upper down,
// 1 - lower up), so that they hold the complement whenever the bounds held
// the probability; NaN stays NaN.
IterationResult Complemented(const IterationResult& result);

// The smallest useful epsilon in a precision: a few units in the last place
// of 1 (below it the bounds stop moving and the library reports a fixed
// point).
double EpsilonFloor(uint8_t precision);

}  // namespace iicheck
