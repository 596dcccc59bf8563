// Time per iteration of every variant the library computes, in both layouts,
// on generated models; at the end, the ratios that matter, measured in this
// one run.
#include "GeneratedModel.hpp"
#include "IntervalIteration.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Variant {
    uint8_t Precision;
    uint8_t Rounding;
    uint8_t Fpu;
    const char* Name;
};

const Variant kVariants[] = {
    {PrecisionDouble, RoundingDefault, FpuDefault, "DoubleDefaultDefault"},
    {PrecisionSingle, RoundingDefault, FpuDefault, "SingleDefaultDefault"},
    {PrecisionDouble, RoundingDefault, FpuSSE, "DoubleDefaultSSE"},
    {PrecisionSingle, RoundingDefault, FpuSSE, "SingleDefaultSSE"},
    {PrecisionDouble, RoundingDefault, FpuX87, "DoubleDefaultX87"},
    {PrecisionSingle, RoundingDefault, FpuX87, "SingleDefaultX87"},
    {PrecisionExtended, RoundingDefault, FpuX87, "ExtendedDefaultX87"},
    {PrecisionDouble, RoundingDefault, FpuAVX512, "DoubleDefaultAVX512"},
    {PrecisionDouble, RoundingSafe, FpuDefault, "DoubleSafeDefault"},
    {PrecisionSingle, RoundingSafe, FpuDefault, "SingleSafeDefault"},
    {PrecisionDouble, RoundingSafe, FpuSSE, "DoubleSafeSSE"},
    {PrecisionSingle, RoundingSafe, FpuSSE, "SingleSafeSSE"},
    {PrecisionDouble, RoundingSafe, FpuX87, "DoubleSafeX87"},
    {PrecisionSingle, RoundingSafe, FpuX87, "SingleSafeX87"},
    {PrecisionExtended, RoundingSafe, FpuX87, "ExtendedSafeX87"},
    {PrecisionDouble, RoundingSafe, FpuAVX512, "DoubleSafeAVX512"},
};

// Iterations per library call: enough that allocation and initialisation of
// the bounds are a small part of the time.
constexpr int kIterationsPerCall = 10;

void IgnoreMessage(uint64_t, const char*, uint64_t) {}

IterationOptions Options(const Variant& variant, bool sequential) {
    IterationOptions options{};
    options.Epsilon = 0;  // never converged: every call runs to the limit
    options.MaxIterations = kIterationsPerCall;
    options.Maximize = 1;
    options.Fpu = variant.Fpu;
    options.Precision = variant.Precision;
    options.Rounding = variant.Rounding;
    options.Sequential = sequential ? 1 : 0;
    return options;
}

// Whether the library computes this variant here (it refuses the others).
bool Computes(const Variant& variant) {
    if (variant.Fpu == FpuAVX512 && (GetNativeSupportMask() & 2) == 0) {
        return false;
    }
    const bench::GeneratedModel tiny = bench::Generate(12);
    const SparseMdp mdp = tiny.Mdp();
    IterationOptions options = Options(variant, true);
    options.MaxIterations = 1;
    int64_t count = 0;
    double achieved = 0;
    int32_t warned = 0, abortFlag = 0;
    return IntervalIteration(&mdp, &options, &count, &achieved, &warned, IgnoreMessage,
                             &abortFlag)
               .Status != IterationStatusError;
}

void RunVariant(benchmark::State& state, const bench::GeneratedModel* model, Variant variant,
                bool sequential) {
    const SparseMdp mdp = model->Mdp();
    const IterationOptions options = Options(variant, sequential);
    for (auto _ : state) {
        int64_t count = 0;
        double achieved = 0;
        int32_t warned = 1, abortFlag = 0;
        const IterationResult result = IntervalIteration(&mdp, &options, &count, &achieved,
                                                         &warned, IgnoreMessage, &abortFlag);
        benchmark::DoNotOptimize(result);
        if (count != kIterationsPerCall + 1) {
            state.SkipWithError("the run did not reach the iteration limit");
            break;
        }
    }
    const double iterations = static_cast<double>(state.iterations()) * kIterationsPerCall;
    // Seconds per iteration and per transition swept (shown with SI
    // prefixes: m, u, n).
    state.counters["time/iteration"] = benchmark::Counter(
        iterations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["time/transition"] = benchmark::Counter(
        iterations * static_cast<double>(model->TransitionCount()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Collects the time per iteration of every run and prints the ratios at the
// end, next to the usual console output.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                const auto found = run.counters.find("time/iteration");
                if (found != run.counters.end()) {
                    times_[run.benchmark_name()] = found->second.value;
                }
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nRatios of time per iteration, measured in this run:\n");
        for (const auto& [name, time] : times_) {
            // name: Variant/layout/model
            const std::size_t first = name.find('/');
            const std::string variant = name.substr(0, first);
            const std::string rest = name.substr(first);
            const std::size_t safe = variant.find("Safe");
            if (safe != std::string::npos) {
                const std::string twin = variant.substr(0, safe) + "Default" +
                                         variant.substr(safe + 4) + rest;
                Print(name, time, twin, "its default-rounding twin");
            }
            const std::size_t interleaved = rest.find("/interleaved/");
            if (interleaved != std::string::npos) {
                const std::string sequential = variant + "/sequential/" +
                                               rest.substr(interleaved + 13);
                Print(name, time, sequential, "the sequential layout");
            }
        }
    }

private:
    void Print(const std::string& name, double time, const std::string& other,
               const char* what) const {
        const auto found = times_.find(other);
        if (found != times_.end() && found->second > 0) {
            std::printf("  %-50s %6.3f x %s\n", name.c_str(), time / found->second, what);
        }
    }

    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // At least a million transitions, far beyond the caches.
    static const bench::GeneratedModel large = bench::Generate(1'200'000);
    for (const Variant& variant : kVariants) {
        if (!Computes(variant)) {
            continue;
        }
        for (bool sequential : {true, false}) {
            const std::string name = std::string(variant.Name) +
                                     (sequential ? "/sequential" : "/interleaved") +
                                     "/generated-1.2M";
            benchmark::RegisterBenchmark(name.c_str(), RunVariant, &large, variant, sequential)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
