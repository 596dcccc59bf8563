// Declarations of the sixteen drivers and the selection of one by the option
// bytes. The drivers and their kernels are defined by INTERVAL_ITERATION_VARIANT
// in the translation unit of their back-end.
#pragma once

#include "IntervalIteration.h"

#include <cstdint>

namespace ii {

// Whether the sweeps skip a state whose successors' bounds have not changed
// since the state's last update (it would compute the same bits again). The
// exported entry point takes the library's choice; benchmarks compare.
enum class Skipping : uint8_t { Chosen, Never, Always };

// What the sweeps of one call did, summed over all its sweeps (not counted
// with Skipping::Never).
struct SweepCounts {
    uint64_t Updates;  // visits of states that are neither targets nor zero states
    uint64_t Skipped;  // of these, the ones skipped
};

// Internal settings of a call, besides the host's options.
struct Tuning {
    Skipping Skip = Skipping::Chosen;
    SweepCounts* Counts = nullptr;  // added to when not null
};

// A variant's driver: reachability probabilities when rewards is null,
// expected rewards otherwise.
using DriverFunction = IterationResult (*)(const SparseMdp*, const SparseRewards*,
                                           const IterationOptions*, int64_t*, double*,
                                           int32_t*, MessageCallback, const int32_t*, Tuning);

#define INTERVAL_ITERATION_DECLARE_DRIVER(Name)                                        \
    IterationResult IntervalIteration##Name(const SparseMdp* model,                    \
                                            const SparseRewards* rewards,              \
                                            const IterationOptions* options,           \
                                            int64_t* iterationCount,                   \
                                            double* achievedPrecision,                 \
                                            int32_t* warnedFlag, MessageCallback callback, \
                                            const int32_t* abortFlag, Tuning tuning)

INTERVAL_ITERATION_DECLARE_DRIVER(DoubleDefaultDefault);
INTERVAL_ITERATION_DECLARE_DRIVER(SingleDefaultDefault);
INTERVAL_ITERATION_DECLARE_DRIVER(DoubleDefaultSSE);
INTERVAL_ITERATION_DECLARE_DRIVER(SingleDefaultSSE);
INTERVAL_ITERATION_DECLARE_DRIVER(DoubleSafeDefault);
INTERVAL_ITERATION_DECLARE_DRIVER(SingleSafeDefault);
INTERVAL_ITERATION_DECLARE_DRIVER(DoubleSafeSSE);
INTERVAL_ITERATION_DECLARE_DRIVER(SingleSafeSSE);
INTERVAL_ITERATION_DECLARE_DRIVER(SingleDefaultX87);
INTERVAL_ITERATION_DECLARE_DRIVER(DoubleDefaultX87);
INTERVAL_ITERATION_DECLARE_DRIVER(ExtendedDefaultX87);
INTERVAL_ITERATION_DECLARE_DRIVER(SingleSafeX87);
INTERVAL_ITERATION_DECLARE_DRIVER(DoubleSafeX87);
INTERVAL_ITERATION_DECLARE_DRIVER(ExtendedSafeX87);
INTERVAL_ITERATION_DECLARE_DRIVER(DoubleDefaultAVX512);
INTERVAL_ITERATION_DECLARE_DRIVER(DoubleSafeAVX512);

// The driver that the option bytes select, or nullptr for a combination the
// library refuses. Every byte value is answered. AVX-512 is refused where
// the processor lacks it (avx512 false), so that no call can execute an
// instruction the processor does not have.
DriverFunction SelectDriver(uint8_t precision, uint8_t rounding, uint8_t fpu, bool avx512);

// IntervalIteration on a processor with or without AVX-512: the exported
// function passes what this processor offers, and the default tuning.
IterationResult RunIntervalIteration(bool avx512, const SparseMdp* model,
                                     const IterationOptions* options, int64_t* iterationCount,
                                     double* achievedPrecision, int32_t* warnedFlag,
                                     MessageCallback callback, const int32_t* abortFlag,
                                     Tuning tuning = {});

// ExpectedRewardIteration on a processor with or without AVX-512.
IterationResult RunExpectedRewardIteration(bool avx512, const SparseMdp* model,
                                           const SparseRewards* rewards,
                                           const IterationOptions* options,
                                           int64_t* iterationCount, double* achievedPrecision,
                                           int32_t* warnedFlag, MessageCallback callback,
                                           const int32_t* abortFlag, Tuning tuning = {});

}  // namespace ii

// Defines the driver of variant Name (a policy type of Backends.hpp) and its
// kernels: IterateUnboundedSequential<Name> and IterateUnboundedInterleaved<Name>
// for probabilities, the same with the reward term for expected rewards.
#define INTERVAL_ITERATION_VARIANT(Name)                                                   \
    IterationResult IterateUnboundedSequential##Name(                                      \
        const SparseMdp* model, Name::Stored* lower, Name::Stored* upper,                  \
        uint8_t* lowerStamps, uint8_t* upperStamps, const KernelArguments& arguments) {    \
        return IterateUnboundedSequential<Name>(model, lower, upper, lowerStamps,          \
                                                upperStamps, arguments);                   \
    }                                                                                      \
    IterationResult IterateUnboundedInterleaved##Name(                                     \
        const SparseMdp* model, BoundPair<Name::Stored>* bounds, uint8_t* stamps,          \
        const KernelArguments& arguments) {                                                \
        return IterateUnboundedInterleaved<Name>(model, bounds, stamps, arguments);        \
    }                                                                                      \
    IterationResult IterateRewardSequential##Name(                                         \
        const SparseMdp* model, Name::Stored* lower, Name::Stored* upper,                  \
        uint8_t* lowerStamps, uint8_t* upperStamps, const KernelArguments& arguments) {    \
        return IterateUnboundedSequential<Name, RewardTerm>(model, lower, upper,           \
                                                            lowerStamps, upperStamps,      \
                                                            arguments);                    \
    }                                                                                      \
    IterationResult IterateRewardInterleaved##Name(                                        \
        const SparseMdp* model, BoundPair<Name::Stored>* bounds, uint8_t* stamps,          \
        const KernelArguments& arguments) {                                                \
        return IterateUnboundedInterleaved<Name, RewardTerm>(model, bounds, stamps,        \
                                                             arguments);                   \
    }                                                                                      \
    INTERVAL_ITERATION_DECLARE_DRIVER(Name) {                                              \
        KernelArguments arguments{options,    iterationCount, achievedPrecision,           \
                                  warnedFlag, callback,       abortFlag,                   \
                                  tuning.Counts, tuning.Skip};                             \
        if (rewards != nullptr) {                                                          \
            arguments.Rewards = rewards->ChoiceRewards;                                    \
            return Drive<Name, RewardTerm>(model, arguments, IterateRewardSequential##Name, \
                                           IterateRewardInterleaved##Name);                \
        }                                                                                  \
        return Drive<Name, ProbabilityTerm>(model, arguments,                              \
                                            IterateUnboundedSequential##Name,              \
                                            IterateUnboundedInterleaved##Name);            \
    }
