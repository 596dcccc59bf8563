// Termination rules shared by both kernel families: iteration limit, abort
// polls, the convergence measure of state 0, the stop decision, the results
// of every exit and the texts of the kernels' warnings.
#pragma once

#include "Backends.hpp"
#include "IntervalIteration.h"
#include "StateSets.hpp"
#include "Variants.hpp"

#include <cstdint>
#include <limits>

namespace ii {
namespace {

constexpr const char* kReachedMaximumText =
    "Interval iteration for property \"{0}\" reached maximum number of "
    "iterations before convergence.";
constexpr const char* kAbortedText =
    "Interval iteration for property \"{0}\" was aborted before convergence.";
constexpr const char* kValueAboveOneText =
    "Encountered a value greater than 1 during interval iteration. The final "
    "result for property \"{0}\" is likely affected by floating-point errors.";
constexpr const char* kLowerAboveUpperText =
    "A lower bound is greater than an upper bound during interval iteration. "
    "The final result for property \"{0}\" is likely affected by "
    "floating-point errors.";

constexpr uint64_t kQuietNanBits = 0x7FF8000000000000ULL;

inline double QuietNan() { return __builtin_bit_cast(double, kQuietNanBits); }

// Everything a kernel receives besides the model and the bounds.
struct KernelArguments {
    const IterationOptions* Options;
    int64_t* IterationCount;
    double* AchievedPrecision;
    int32_t* WarnedFlag;
    MessageCallback Callback;
    const int32_t* AbortFlag;
    SweepCounts* Counts;  // for benchmarks; usually null
    Skipping Skip;
    const TransitionValue* Rewards = nullptr;  // one per choice; expected rewards only
};

// Kept out of line and out of the hot path: the only call a sweep makes.
[[gnu::noinline, gnu::cold]] void SendWarning(MessageCallback callback,
                                              const char* text) {
    callback(0, text, SeverityWarning);
}

// A fresh load on every poll that the compiler can neither hoist nor tear.
inline bool AbortRequested(const int32_t* abortFlag) {
    return __atomic_load_n(abortFlag, __ATOMIC_RELAXED) != 0;
}

// The host may watch these from another thread while the call runs.
inline void PublishIterationCount(int64_t* location, int64_t value) {
    __atomic_store_n(location, value, __ATOMIC_RELAXED);
}
inline void PublishAchievedPrecision(double* location, double value) {
    __atomic_store(location, &value, __ATOMIC_RELAXED);
}

inline bool LimitReached(int64_t iteration, int32_t maxIterations) {
    return maxIterations != 0 && iteration > static_cast<int64_t>(maxIterations);
}

// Result of an exit that returns the bounds of state 0.
template <class V>
IterationResult BoundsResult(typename V::Stored lower, typename V::Stored upper,
                             int32_t status) {
    IterationResult result;
    V::ToResult(lower, upper, result.Lower, result.Upper);
    Pin(result.Lower, result.Upper);  // converted before the driver restores
    result.Status = status;
    return result;
}

// Limit exit: the warning is sent whatever the options and WarnedFlag say.
// Abort exit: only when asked for.
template <class V>
IterationResult StopBeforeConvergence(const KernelArguments& arguments,
                                      bool limit, typename V::Stored lower,
                                      typename V::Stored upper) {
    if (limit) {
        SendWarning(arguments.Callback, kReachedMaximumText);
    } else if (arguments.Options->WarnOnAbort != 0) {
        SendWarning(arguments.Callback, kAbortedText);
    }
    if (arguments.Options->ReturnBoundsOnFailure != 0) {
        return BoundsResult<V>(lower, upper, IterationStatusStopped);
    }
    IterationResult result;
    result.Lower = QuietNan();
    result.Upper = QuietNan();
    result.Status = IterationStatusStopped;
    return result;
}

enum class Decision { Continue, Converged, FixedPoint };

// End of an iteration: the measure of state 0, AchievedPrecision, and the
// stop decision.
template <class V>
Decision MeasureAndDecide(const KernelArguments& arguments,
                          typename V::Stored storedLower,
                          typename V::Stored storedUpper, bool changed) {
    using Work = typename V::Work;
    constexpr Dir kMeasure = V::kMeasure;

    // A separate change from the one made for the upper sweep: the measure
    // rounds up under safe rounding so that the reported precision is never
    // below the true half-gap.
    V::template Enter<kMeasure>();
    Work lower = V::Load(storedLower);
    Work upper = V::Load(storedUpper);
    if constexpr (V::kChangesDirection) {
        Pin(lower, upper);
    }
    Work measure = V::template Half<kMeasure>(V::template Sub<kMeasure>(upper, lower));
    if (V::kNegativeMeasureCheck && measure < Work(0)) {
        if (*arguments.WarnedFlag == 0) {
            SendWarning(arguments.Callback, kLowerAboveUpperText);
        }
        measure = Work(0);
    } else if (arguments.Options->Relative != 0 && upper > Work(0)) {
        // Relative to a lower bound that is not positive, the gap is
        // unbounded: +infinity, so that the run cannot stop on precision.
        // Dividing would give -infinity for a lower bound of -0 (a sum
        // rounded down, or a -0 probability) and a negative measure below
        // 0, both of which pass as converged. A NaN lower bound still
        // gives NaN.
        measure = lower <= Work(0) ? std::numeric_limits<Work>::infinity()
                                   : V::template Div<kMeasure>(measure, lower);
    }
    double achieved = V::ToDouble(measure);
    if constexpr (V::kChangesDirection) {
        Pin(measure, achieved);
    }
    PublishAchievedPrecision(arguments.AchievedPrecision, achieved);

    V::template Enter<V::kDecision>();
    double epsilonBits = arguments.Options->Epsilon;
    if constexpr (V::kChangesDirection) {
        Pin(epsilonBits);
    }
    const Work epsilon = V::NarrowEpsilon(epsilonBits);
    if (measure <= epsilon) {
        return Decision::Converged;
    }
    return changed ? Decision::Continue : Decision::FixedPoint;
}

}  // namespace
}  // namespace ii
