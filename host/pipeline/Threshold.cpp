#include "pipeline/Threshold.hpp"

#include <algorithm>
#include <cmath>

namespace iicheck {
namespace {

// Whether probability x satisfies the comparison, exactly.
bool Holds(const Threshold& threshold, double x) {
    // An infinite expected reward lies above every threshold.
    const int order = std::isinf(x) ? (x > 0 ? 1 : -1) : cmp(mpq_class(x), threshold.Value);
    switch (threshold.Compare) {
        case Comparison::Less: return order < 0;
        case Comparison::LessEqual: return order <= 0;
        case Comparison::Greater: return order > 0;
        default: return order >= 0;
    }
}

// |(lower + upper) / 2 - threshold|, rounded to double.
double Distance(const Threshold& threshold, double lower, double upper) {
    if (std::isinf(upper)) return upper;
    const mpq_class midpoint = (mpq_class(lower) + mpq_class(upper)) / 2;
    const mpq_class distance = abs(midpoint - threshold.Value);
    return distance.get_d();
}

}  // namespace

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::True: return "true";
        case Verdict::False: return "false";
        default: return "unknown";
    }
}

Verdict Decide(const Threshold& threshold, double lower, double upper) {
    // A lower bound on the probability (>, >=) holds for the whole interval
    // when it holds for its lower end, fails for all of it when it fails for
    // the upper end; an upper bound the other way round.
    const bool below = threshold.Compare == Comparison::Less || threshold.Compare == Comparison::LessEqual;
    const double worst = below ? upper : lower;
    const double best = below ? lower : upper;
    if (Holds(threshold, worst)) return Verdict::True;
    if (!Holds(threshold, best)) return Verdict::False;
    return Verdict::Unknown;
}

ThresholdAnswer AnswerThreshold(const Threshold& threshold, double epsilon, double floor,
                                const std::string& notGuaranteed, const std::function<RunOutcome(double epsilon)>& run) {
    ThresholdAnswer answer;
    while (true) {
        answer.Epsilons.push_back(epsilon);
        answer.Last = run(epsilon);
        const IterationResult& result = answer.Last.Result;
        if (result.Status == IterationStatusError) {
            answer.Reason = "the library refused the call";
            return answer;
        }
        if (!BoundsConsistent(result, answer.Last.Reward)) {
            answer.Reason = std::string("the bounds are not ") + ConsistentBoundsText(answer.Last.Reward);
            return answer;
        }
        if (!notGuaranteed.empty()) {
            answer.Reason = notGuaranteed + "; only guaranteed bounds decide";
            return answer;
        }
        // Guaranteed bounds hold whenever it stopped, so an interrupted
        // or limited run may still decide.
        answer.Answer = Decide(threshold, result.Lower, result.Upper);
        if (answer.Answer != Verdict::Unknown) return answer;
        if (result.Status == IterationStatusStopped) {
            answer.Reason = answer.Last.Interrupted ? "interrupted before the interval decided"
                                                    : "the iteration limit came before the interval decided";
            return answer;
        }
        if (result.Status == IterationStatusFixedPoint) {
            answer.Reason = "the bounds stopped changing with the threshold between them";
            return answer;
        }
        if (!(epsilon > floor)) {
            answer.Reason = "the threshold lies within the interval even at the smallest epsilon";
            return answer;
        }
        const double narrower = std::min(epsilon / 2, Distance(threshold, result.Lower, result.Upper) / 2);
        epsilon = std::max(narrower, floor);
    }
}

// 1 - x rounded up or down, exactly in the direction asked.
double OneMinus(double x, bool up) {
    if (std::isnan(x)) return x;
    const double nearest = 1.0 - x;
    const int order = cmp(mpq_class(nearest), 1 - mpq_class(x));
    if (up && order < 0) return std::nextafter(nearest, INFINITY);
    if (!up && order > 0) return std::nextafter(nearest, -INFINITY);
    return nearest;
}

IterationResult Complemented(const IterationResult& result) {
    IterationResult complement = result;
    complement.Lower = OneMinus(result.Upper, false);
    complement.Upper = OneMinus(result.Lower, true);
    return complement;
}

double EpsilonFloor(uint8_t precision) {
    return precision == PrecisionSingle ? std::ldexp(1.0, -22) : std::ldexp(1.0, -50);
}

}  // namespace iicheck
