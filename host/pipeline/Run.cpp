#include "pipeline/Run.hpp"

#include "support/Interrupt.hpp"
#include "support/Progress.hpp"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <thread>

namespace iicheck {
namespace {

// The library's warning about fractions, before "{0}" is filled in.
constexpr std::string_view kFractionWarning =
    "Encountered a probability represented as an inexact floating-point value. The final result "
    "for property \"{0}\" may be affected by floating-point errors despite safe rounding.";

// The callback has no context argument of its own: the call in progress
// is described here. Calls run one at a time on the main thread.
struct CallContext {
    std::vector<LibraryMessage>* Messages;
    const RunSettings* Settings;
    const SparseMdp* Model;
    const Variant* Chosen;
    const SparseRewards* Rewards;
};
const CallContext* gCall = nullptr;

// Runs inside the library call, possibly under a directed rounding mode:
// it does no floating-point arithmetic.
extern "C" void CollectMessage(uint64_t, const char* text, uint64_t severity) {
    const std::string& name = gCall->Settings->PropertyName;
    std::string message(text);
    for (std::size_t at = message.find("{0}"); at != std::string::npos;
         at = message.find("{0}", at + name.size())) {
        message.replace(at, 3, name);
    }
    std::string shown = text == kFractionWarning
                            ? FractionNote(CountFractions(*gCall->Model, *gCall->Chosen, gCall->Rewards),
                                           *gCall->Chosen)
                            : "library " + std::string(SeverityName(severity)) + ": " + message;
    if (gCall->Settings->PrintMessages &&
        (severity != SeverityInformation || gCall->Settings->Verbose)) {
        WriteMessageLine("iicheck: " + shown);
    }
    gCall->Messages->push_back({severity, std::move(message), std::move(shown)});
}

// Shows the progress of the iteration a few times a second (once a second
// when stderr is not a terminal) once it has run for a second: the
// iteration, the time, the recent rate, the half-width and an estimate of
// the time left. Reads the library's output locations with relaxed atomic
// loads.
class ProgressWatcher {
public:
    ProgressWatcher(const int64_t* iterations, const double* precision, const RunSettings& settings)
        : iterations_(iterations), precision_(precision), settings_(settings) {
        if (settings.ShowProgress) thread_ = std::thread([this] { Watch(); });
    }

    ~ProgressWatcher() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        ClearProgressLine();
    }

private:
    // Samples kept for the rate and the estimate: about the last 5 seconds
    // on a terminal, 20 elsewhere.
    static constexpr std::size_t kRecent = 20;

    void Watch() {
        const auto start = std::chrono::steady_clock::now();
        const bool terminal = ::isatty(STDERR_FILENO) != 0;
        std::vector<ProgressSample> recent;
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; })) return;
        const auto period = terminal ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
        do {
            ProgressSample sample;
            sample.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            sample.Iterations = __atomic_load_n(iterations_, __ATOMIC_RELAXED);
            __atomic_load(precision_, &sample.Precision, __ATOMIC_RELAXED);
            if (recent.size() == kRecent) recent.erase(recent.begin());
            recent.push_back(sample);
            WriteProgressLine(Line(recent));
        } while (!wake_.wait_for(lock, period, [this] { return done_; }));
    }

    // iicheck: iteration 1234, 2.0 s, 617 iterations/s, half-width 3.2e-05, about 12 s left
    std::string Line(const std::vector<ProgressSample>& recent) const {
        const ProgressSample& first = recent.front();
        const ProgressSample& last = recent.back();
        const double rate = recent.size() > 1 && last.Seconds > first.Seconds
                                ? static_cast<double>(last.Iterations - first.Iterations) /
                                      (last.Seconds - first.Seconds)
                                : static_cast<double>(last.Iterations) / last.Seconds;
        const double left = SecondsLeft(recent, settings_.Epsilon);
        char text[160];
        std::snprintf(text, sizeof text,
                      rate < 100 ? "iicheck: iteration %lld, %s, %.2g iterations/s, %shalf-width %.3g, "
                                 : "iicheck: iteration %lld, %s, %.0f iterations/s, %shalf-width %.3g, ",
                      static_cast<long long>(last.Iterations), Duration(last.Seconds).c_str(), rate,
                      settings_.Relative ? "relative " : "", last.Precision);
        return text + (std::isfinite(left) ? "about " + Duration(left) + " left" : std::string("time left unknown"));
    }

    const int64_t* iterations_;
    const double* precision_;
    const RunSettings& settings_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

// Whether magnitude m converts exactly to a binary floating-point type with
// a significand of the given bits: its odd part fits.
bool FitsSignificand(int64_t value, int bits) {
    if (value == 0) return true;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    magnitude >>= __builtin_ctzll(magnitude);
    return magnitude >> bits == 0;
}

}  // namespace

std::vector<Variant> AllVariants(bool sequential) {
    std::vector<Variant> variants;
    auto add = [&](uint8_t fpu, uint8_t precision) {
        for (uint8_t rounding : {uint8_t{RoundingDefault}, uint8_t{RoundingSafe}}) {
            variants.push_back({fpu, precision, rounding, sequential});
        }
    };
    for (uint8_t fpu : {uint8_t{FpuDefault}, uint8_t{FpuX87}, uint8_t{FpuSSE}}) {
        add(fpu, PrecisionSingle);
        add(fpu, PrecisionDouble);
        if (fpu == FpuX87) add(fpu, PrecisionExtended);
    }
    if (GetNativeSupportMask() & 2) add(FpuAVX512, PrecisionDouble);
    return variants;
}

const char* SeverityName(uint64_t severity) {
    switch (severity) {
        case SeverityError: return "error";
        case SeverityWarning: return "warning";
        case SeverityInformation: return "information";
        default: return "message";
    }
}

FractionCount CountFractions(const SparseMdp& model, const Variant& variant, const SparseRewards* rewards) {
    FractionCount count;
    const int bits = variant.Precision == PrecisionSingle ? 24 : 53;
    const uint64_t rewardCount = rewards != nullptr ? rewards->ChoiceCount : 0;
    for (uint64_t i = 0; i < model.TransitionCount + rewardCount; ++i) {
        const TransitionValue& value =
            i < model.TransitionCount ? model.TransitionValues[i] : rewards->ChoiceRewards[i - model.TransitionCount];
        if (value.Denominator == 0) continue;
        ++count.Fractions;
        // Rounding the numerator in the bound's direction keeps the quotient
        // outward only while numerator and denominator are positive.
        const bool both = !FitsSignificand(value.Numerator, bits) || !FitsSignificand(value.Denominator, bits);
        const bool inexact = variant.Fpu == FpuX87 ? false
                             : variant.Fpu == FpuAVX512 || value.Numerator < 0 || value.Denominator < 0
                                 ? both
                                 : !FitsSignificand(value.Denominator, bits);
        count.Inexact += inexact ? 1 : 0;
    }
    return count;
}

std::string FractionNote(const FractionCount& count, const Variant& variant) {
    const std::string fractions = std::to_string(count.Fractions);
    if (count.Inexact == 0) {
        return "note: " + fractions +
               (count.Fractions == 1 ? " probability is a fraction" : " probabilities are fractions") +
               "; the library divides them with outward rounding, so the bounds stay sound";
    }
    const bool single = variant.Precision == PrecisionSingle;
    return "warning: " + std::to_string(count.Inexact) + " of the " + fractions +
           " probabilities that are fractions have " +
           (variant.Fpu == FpuAVX512 ? "a numerator or denominator" : "a denominator") + " that the " +
           FpuToString(variant.Fpu) + " instruction set rounds to " + (single ? "a single" : "a double") +
           " before dividing (its odd part exceeds " + (single ? "24" : "53") +
           " bits), so the bounds may miss the exact ones by a few units in the last place; --fpu x87 "
           "divides them exactly";
}

std::string NotGuaranteedReason(const FractionCount& count, const Variant& variant) {
    if (variant.Rounding != RoundingSafe) return "default rounding does not guarantee the bounds";
    if (count.Inexact == 0) return "";
    return std::string("the ") + FpuToString(variant.Fpu) + " instruction set rounds " + std::to_string(count.Inexact) +
           " of this model's fractions before dividing, so the bounds may miss the exact value";
}

std::string Describe(const Variant& variant) {
    return std::string(FpuToString(variant.Fpu)) + " instruction set, " +
           PrecisionToString(variant.Precision) + " precision, " +
           RoundingToString(variant.Rounding) + " rounding, " +
           (variant.Sequential ? "sequential" : "interleaved") + " layout";
}

RunOutcome RunLibrary(const SparseMdp& model, const Variant& variant, const RunSettings& settings,
                      const SparseRewards* rewards) {
    IterationOptions options{};
    options.Epsilon = settings.Epsilon;
    options.MaxIterations = settings.MaxIterations;
    options.Maximize = settings.Maximize ? 1 : 0;
    options.Relative = settings.Relative ? 1 : 0;
    options.WarnOnAbort = 1;
    options.ReturnBoundsOnFailure = 1;
    options.Fpu = variant.Fpu;
    options.Precision = variant.Precision;
    options.Rounding = variant.Rounding;
    options.Sequential = variant.Sequential ? 1 : 0;

    RunOutcome outcome;
    const CallContext call{&outcome.Messages, &settings, &model, &variant, rewards};
    outcome.Reward = rewards != nullptr;
    gCall = &call;
    int64_t iterations = 0;
    double achieved = 1.0;
    int32_t warned = 0;
    const bool interruptedBefore = InterruptRequested();
    const auto start = std::chrono::steady_clock::now();
    {
        ProgressWatcher watcher(&iterations, &achieved, settings);
        outcome.Result = rewards != nullptr
                             ? ExpectedRewardIteration(&model, rewards, &options, &iterations, &achieved, &warned,
                                                       CollectMessage, AbortFlag())
                             : IntervalIteration(&model, &options, &iterations, &achieved, &warned,
                                                 CollectMessage, AbortFlag());
    }
    outcome.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.Iterations = iterations;
    outcome.AchievedPrecision = achieved;
    outcome.Interrupted = !interruptedBefore && InterruptRequested();
    gCall = nullptr;
    return outcome;
}

bool BoundsConsistent(const IterationResult& result, bool reward) {
    return 0.0 <= result.Lower && result.Lower <= result.Upper && (reward || result.Upper <= 1.0);
}

const char* ConsistentBoundsText(bool reward) {
    return reward ? "0 <= lower <= upper" : "0 <= lower <= upper <= 1";
}

bool BoundsBroken(const Variant& variant, const RunOutcome& outcome) {
    return variant.Rounding == RoundingSafe && outcome.Result.Status != IterationStatusError &&
           !BoundsConsistent(outcome.Result, outcome.Reward);
}

std::string CertifiedUpperBound(const RunOutcome& outcome) {
    constexpr std::string_view kCertified = "certified an upper bound ";
    for (const LibraryMessage& message : outcome.Messages) {
        const std::size_t at = message.Text.find(kCertified);
        if (message.Severity != SeverityInformation || at == std::string::npos) continue;
        std::string text = "certified " + message.Text.substr(at + kCertified.size());
        if (!text.empty() && text.back() == '.') text.pop_back();
        return text;
    }
    return "";
}

}  // namespace iicheck
