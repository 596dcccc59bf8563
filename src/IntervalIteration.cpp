// The entry points, the display names of the option bytes, the dispatch to
// the sixteen drivers, and the drivers and kernels of the portable, SSE and
// x87 back-ends.
#include "IntervalIteration.h"

#include "Backends.hpp"
#include "Driver.hpp"
#include "Kernels.hpp"
#include "ModelCheck.hpp"
#include "Native.hpp"
#include "Termination.hpp"
#include "Variants.hpp"

#include <cstdint>
#include <cstdio>

namespace ii {

INTERVAL_ITERATION_VARIANT(DoubleDefaultDefault)
INTERVAL_ITERATION_VARIANT(SingleDefaultDefault)
INTERVAL_ITERATION_VARIANT(DoubleDefaultSSE)
INTERVAL_ITERATION_VARIANT(SingleDefaultSSE)
INTERVAL_ITERATION_VARIANT(DoubleSafeDefault)
INTERVAL_ITERATION_VARIANT(SingleSafeDefault)
INTERVAL_ITERATION_VARIANT(DoubleSafeSSE)
INTERVAL_ITERATION_VARIANT(SingleSafeSSE)
INTERVAL_ITERATION_VARIANT(SingleDefaultX87)
INTERVAL_ITERATION_VARIANT(DoubleDefaultX87)
INTERVAL_ITERATION_VARIANT(ExtendedDefaultX87)
INTERVAL_ITERATION_VARIANT(SingleSafeX87)
INTERVAL_ITERATION_VARIANT(DoubleSafeX87)
INTERVAL_ITERATION_VARIANT(ExtendedSafeX87)

namespace {

constexpr const char* kInvalidName = "(invalid value)";

constexpr const char* kFloatingPointModelText =
    "The native interval iteration implementation requires rational probability "
    "values, but received floating-point probability values. This is a bug.";
constexpr const char* kInformationFormat =
    "Using the %s instruction set for floating-point calculations at %s precision "
    "with %s rounding in %s interval iteration.";
constexpr const char* kInexactValueText =
    "Encountered a probability represented as an inexact floating-point value. The "
    "final result for property \"{0}\" may be affected by floating-point errors "
    "despite safe rounding.";
constexpr const char* kUnsupportedCombinationText =
    "Unsupported combination of FPU instruction set and rounding behaviour.";

// Large enough for the longest text the names can produce (167 characters).
constexpr std::size_t kInformationBufferSize = 179;

}  // namespace

DriverFunction SelectDriver(uint8_t precision, uint8_t rounding, uint8_t fpu, bool avx512) {
    const bool safe = rounding != RoundingDefault;
    if (precision == PrecisionExtended) {
        if (fpu != FpuX87) {
            return nullptr;
        }
        return safe ? IntervalIterationExtendedSafeX87 : IntervalIterationExtendedDefaultX87;
    }
    const bool single = precision == PrecisionSingle;  // every other value: double
    switch (fpu) {
        case FpuDefault:
            if (safe) {
                return single ? IntervalIterationSingleSafeDefault
                              : IntervalIterationDoubleSafeDefault;
            }
            return single ? IntervalIterationSingleDefaultDefault
                          : IntervalIterationDoubleDefaultDefault;
        case FpuX87:
            if (safe) {
                return single ? IntervalIterationSingleSafeX87 : IntervalIterationDoubleSafeX87;
            }
            return single ? IntervalIterationSingleDefaultX87 : IntervalIterationDoubleDefaultX87;
        case FpuSSE:
            if (safe) {
                return single ? IntervalIterationSingleSafeSSE : IntervalIterationDoubleSafeSSE;
            }
            return single ? IntervalIterationSingleDefaultSSE : IntervalIterationDoubleDefaultSSE;
        case FpuAVX512:
            // Refused where the processor lacks it, instead of faulting on
            // its first instruction; no single-precision AVX-512 variant.
            if (single || !avx512) {
                return nullptr;
            }
            return safe ? IntervalIterationDoubleSafeAVX512 : IntervalIterationDoubleDefaultAVX512;
        default:
            return nullptr;
    }
}

namespace {

// Whether any of count values is a fraction.
bool HoldsFractions(const TransitionValue* values, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        if (values[i].Denominator != 0) {
            return true;
        }
    }
    return false;
}

// Both entry points: probabilities when expectRewards is false, expected
// rewards (from the record rewards, which may be null) otherwise.
IterationResult Run(bool avx512, const SparseMdp* model, bool expectRewards,
                    const SparseRewards* rewards, const IterationOptions* options,
                    int64_t* iterationCount, double* achievedPrecision, int32_t* warnedFlag,
                    MessageCallback callback, const int32_t* abortFlag, Tuning tuning) {
    if (model->IsRational == 0) {
        return Refuse(callback, kFloatingPointModelText);
    }

    char information[kInformationBufferSize];
    std::snprintf(information, sizeof information, kInformationFormat,
                  FpuToString(options->Fpu), PrecisionToString(options->Precision),
                  RoundingToString(options->Rounding),
                  options->Sequential != 0 ? "sequential" : "interleaved");
    callback(0, information, SeverityInformation);

    if (options->Rounding == RoundingSafe) {
        // The rewards' fractions are converted like the probabilities'.
        if (HoldsFractions(model->TransitionValues, model->TransitionCount) ||
            (expectRewards && rewards != nullptr &&
             HoldsFractions(rewards->ChoiceRewards,
                            rewards->ChoiceRewards != nullptr ? rewards->ChoiceCount : 0))) {
            callback(0, kInexactValueText, SeverityWarning);
        }
    }

    const DriverFunction driver =
        SelectDriver(options->Precision, options->Rounding, options->Fpu, avx512);
    if (driver == nullptr) {
        return Refuse(callback, kUnsupportedCombinationText);
    }
    // A malformed model is refused rather than read out of bounds; a valid
    // call sends exactly the messages above.
    char fault[256];
    if (!CheckModel(*model, options->Precision, fault, sizeof fault)) {
        return Refuse(callback, fault);
    }
    if (expectRewards && !CheckRewards(*model, rewards, options->Precision, fault, sizeof fault)) {
        return Refuse(callback, fault);
    }
    return driver(model, expectRewards ? rewards : nullptr, options, iterationCount,
                  achievedPrecision, warnedFlag, callback, abortFlag, tuning);
}

}  // namespace

IterationResult RunIntervalIteration(bool avx512, const SparseMdp* model,
                                     const IterationOptions* options, int64_t* iterationCount,
                                     double* achievedPrecision, int32_t* warnedFlag,
                                     MessageCallback callback, const int32_t* abortFlag,
                                     Tuning tuning) {
    return Run(avx512, model, false, nullptr, options, iterationCount, achievedPrecision,
               warnedFlag, callback, abortFlag, tuning);
}

IterationResult RunExpectedRewardIteration(bool avx512, const SparseMdp* model,
                                           const SparseRewards* rewards,
                                           const IterationOptions* options,
                                           int64_t* iterationCount, double* achievedPrecision,
                                           int32_t* warnedFlag, MessageCallback callback,
                                           const int32_t* abortFlag, Tuning tuning) {
    return Run(avx512, model, true, rewards, options, iterationCount, achievedPrecision,
               warnedFlag, callback, abortFlag, tuning);
}

}  // namespace ii

extern "C" {

const char* PrecisionToString(uint8_t value) {
    switch (value) {
        case PrecisionDouble: return "double";
        case PrecisionExtended: return "extended";
        case PrecisionSingle: return "single";
        default: return ii::kInvalidName;
    }
}

const char* FpuToString(uint8_t value) {
    switch (value) {
        case FpuDefault: return "default";
        case FpuX87: return "x87";
        case FpuSSE: return "SSE";
        case FpuAVX512: return "AVX-512";
        default: return ii::kInvalidName;
    }
}

const char* RoundingToString(uint8_t value) {
    switch (value) {
        case RoundingDefault: return "default";
        case RoundingSafe: return "safe";
        default: return ii::kInvalidName;
    }
}

IterationResult IntervalIteration(const SparseMdp* model, const IterationOptions* options,
                                  int64_t* iterationCount, double* achievedPrecision,
                                  int32_t* warnedFlag, MessageCallback callback,
                                  const int32_t* abortFlag) {
    return ii::RunIntervalIteration(ii::Avx512Supported(), model, options, iterationCount,
                                    achievedPrecision, warnedFlag, callback, abortFlag);
}

IterationResult ExpectedRewardIteration(const SparseMdp* model, const SparseRewards* rewards,
                                        const IterationOptions* options, int64_t* iterationCount,
                                        double* achievedPrecision, int32_t* warnedFlag,
                                        MessageCallback callback, const int32_t* abortFlag) {
    return ii::RunExpectedRewardIteration(ii::Avx512Supported(), model, rewards, options,
                                          iterationCount, achievedPrecision, warnedFlag,
                                          callback, abortFlag);
}

}  // extern "C"
