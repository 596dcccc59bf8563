// One call of the library's IntervalIteration (or ExpectedRewardIteration)
// with the host's side of it:
// the messages with the property's name filled in, a progress line from a
// watcher thread, and the abort flag of Interrupt.hpp.
#pragma once

#include "IntervalIteration.h"

#include <cstdint>
#include <string>
#include <vector>

namespace iicheck {

struct Variant {
    uint8_t Fpu = FpuSSE;
    uint8_t Precision = PrecisionDouble;
    uint8_t Rounding = RoundingSafe;
    bool Sequential = false;
};

// Every variant the library offers on this processor, in the given layout:
// single and double precision on the portable, x87 and SSE instruction sets,
// extended precision on x87, double precision on AVX-512 when the processor
// has it; each with default and safe rounding.
std::vector<Variant> AllVariants(bool sequential);

// "SSE instruction set, double precision, safe rounding, interleaved layout"
std::string Describe(const Variant& variant);

struct LibraryMessage {
    uint64_t Severity;
    std::string Text;   // "{0}" replaced by the property's name
    std::string Shown;  // the line iicheck prints for it: "library warning: ...", or the
                        // fraction warning's FractionNote for this run
};

struct RunOutcome {
    IterationResult Result;
    int64_t Iterations = 0;
    double AchievedPrecision = 0;
    double Seconds = 0;
    bool Interrupted = false;  // a signal asked to stop during this run
    bool Reward = false;       // an expected reward: bounds in [0, +inf]
    std::vector<LibraryMessage> Messages;
};

struct RunSettings {
    double Epsilon = 1e-6;
    bool Relative = false;
    int32_t MaxIterations = 0;
    bool Maximize = true;
    std::string PropertyName;
    bool ShowProgress = true;  // after a second, on stderr
    // Print each library message's Shown line on stderr as it arrives
    // (text output): warnings and errors, information too when Verbose.
    // Messages are collected in RunOutcome::Messages either way.
    bool PrintMessages = false;
    bool Verbose = false;
};

// "error", "warning", "information"
const char* SeverityName(uint64_t severity);

// With rewards, ExpectedRewardIteration.
RunOutcome RunLibrary(const SparseMdp& model, const Variant& variant, const RunSettings& settings,
                      const SparseRewards* rewards = nullptr);

// How the run's upper bound of an expected reward was obtained, from the
// library's message: "certified at iteration 120 with guess 1: one
// application of the Bellman operator does not increase it"; "" when no
// bound was certified.
std::string CertifiedUpperBound(const RunOutcome& outcome);

// The probabilities of a model that are fractions, and how many of them a
// variant may not divide with outward rounding under safe rounding: the
// portable and SSE back-ends convert numerator and denominator in the
// step's direction, which keeps the quotient of positive integers outward
// unless the denominator is rounded (its odd part beyond 53 bits in double,
// 24 in single precision); AVX-512 converts both to nearest; x87 loads them
// exactly.
struct FractionCount {
    uint64_t Fractions = 0;
    uint64_t Inexact = 0;
};
// With rewards, their fractions too.
FractionCount CountFractions(const SparseMdp& model, const Variant& variant, const SparseRewards* rewards = nullptr);

// What the library's warning about fractions means for this run, one line:
// "note: 12 probabilities are fractions; the library divides them with
// outward rounding, so the bounds stay sound", or a warning naming the
// fractions it cannot divide so.
std::string FractionNote(const FractionCount& count, const Variant& variant);

// Why a variant's bounds are not guaranteed to hold the exact probability of
// a model with these fractions, or "" when they are: default rounding runs
// in whatever direction is in force, and a variant that rounds some
// fraction before dividing may put its quotient on the wrong side. Such a
// run's bounds are an estimate: they decide no threshold.
std::string NotGuaranteedReason(const FractionCount& count, const Variant& variant);

// Whether a run's bounds are ordered within [0, 1]: 0 <= lower <= upper <=
// 1 (false for NaN); for an expected reward 0 <= lower <= upper (upper may
// be +inf). Safe rounding promises it for every run that returns bounds; a
// run that breaks it has computed on something that is not a valid MDP, or
// the library is faulty, and its result is an error.
bool BoundsConsistent(const IterationResult& result, bool reward = false);

// "0 <= lower <= upper <= 1", or for an expected reward "0 <= lower <= upper".
const char* ConsistentBoundsText(bool reward);

// True when the run used safe rounding, returned bounds, and they are not
// consistent.
bool BoundsBroken(const Variant& variant, const RunOutcome& outcome);

}  // namespace iicheck
