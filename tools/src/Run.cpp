#include "Run.hpp"

#include "Interrupt.hpp"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace iicheck {
namespace {

// The callback has no context argument of its own: the messages of the
// call in progress go here. Calls run one at a time on the main thread.
std::vector<LibraryMessage>* gMessages = nullptr;
const std::string* gPropertyName = nullptr;

extern "C" void CollectMessage(uint64_t, const char* text, uint64_t severity) {
    std::string message(text);
    for (std::size_t at = message.find("{0}"); at != std::string::npos;
         at = message.find("{0}", at + gPropertyName->size())) {
        message.replace(at, 3, *gPropertyName);
    }
    gMessages->push_back({severity, std::move(message)});
}

// Prints the iteration count and the achieved precision a few times a
// second once the run has taken a second, reading the library's output
// locations with relaxed atomic loads.
class ProgressWatcher {
public:
    ProgressWatcher(const int64_t* iterations, const double* precision, bool enabled)
        : iterations_(iterations), precision_(precision) {
        if (enabled) thread_ = std::thread([this] { Watch(); });
    }

    ~ProgressWatcher() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        if (printedOnTerminal_) std::fputs("\r\033[K", stderr);
    }

private:
    void Watch() {
        const bool terminal = ::isatty(STDERR_FILENO) != 0;
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; })) return;
        const auto period = terminal ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
        do {
            const int64_t iterations = __atomic_load_n(iterations_, __ATOMIC_RELAXED);
            double precision;
            __atomic_load(precision_, &precision, __ATOMIC_RELAXED);
            std::fprintf(stderr, "%siicheck: iteration %lld, achieved precision %.3g%s",
                         terminal ? "\r\033[K" : "", static_cast<long long>(iterations), precision,
                         terminal ? "" : "\n");
            std::fflush(stderr);
            printedOnTerminal_ = terminal;
        } while (!wake_.wait_for(lock, period, [this] { return done_; }));
    }

    const int64_t* iterations_;
    const double* precision_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool printedOnTerminal_ = false;
    std::thread thread_;
};

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

std::string Describe(const Variant& variant) {
    return std::string(FpuToString(variant.Fpu)) + " instruction set, " +
           PrecisionToString(variant.Precision) + " precision, " +
           RoundingToString(variant.Rounding) + " rounding, " +
           (variant.Sequential ? "sequential" : "interleaved") + " layout";
}

RunOutcome RunLibrary(const SparseMdp& model, const Variant& variant, const RunSettings& settings) {
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
    gMessages = &outcome.Messages;
    gPropertyName = &settings.PropertyName;
    int64_t iterations = 0;
    double achieved = 1.0;
    int32_t warned = 0;
    const bool interruptedBefore = InterruptRequested();
    const auto start = std::chrono::steady_clock::now();
    {
        ProgressWatcher watcher(&iterations, &achieved, settings.ShowProgress);
        outcome.Result = IntervalIteration(&model, &options, &iterations, &achieved, &warned,
                                           CollectMessage, AbortFlag());
    }
    outcome.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.Iterations = iterations;
    outcome.AchievedPrecision = achieved;
    outcome.Interrupted = !interruptedBefore && InterruptRequested();
    gMessages = nullptr;
    gPropertyName = nullptr;
    return outcome;
}

bool BoundsConsistent(const IterationResult& result) {
    return 0.0 <= result.Lower && result.Lower <= result.Upper && result.Upper <= 1.0;
}

bool BoundsBroken(const Variant& variant, const RunOutcome& outcome) {
    return variant.Rounding == RoundingSafe && outcome.Result.Status != IterationStatusError &&
           !BoundsConsistent(outcome.Result);
}

}  // namespace iicheck
