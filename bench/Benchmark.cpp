// Time per iteration of every variant the library computes, in both layouts,
// on a generated model far larger than the caches, on one that fits in the
// L2 cache, and on any real models given; next to it the floor, the simplest
// hand-written in-place sweep over the same arrays. At the end: the ratios
// that matter, all measured in this one run, and the peak memory of a call.
#include "Floor.hpp"
#include "GeneratedModel.hpp"
#include "IntervalIteration.h"
#include "MemoryCounter.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
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

struct NamedModel {
    std::string Name;
    bench::GeneratedModel Model;
};

void IgnoreMessage(uint64_t, const char*, uint64_t) {}

IterationOptions Options(const Variant& variant, bool sequential, int maxIterations) {
    IterationOptions options{};
    options.Epsilon = 0;  // never converged: every call runs to the limit
    options.MaxIterations = maxIterations;
    options.Maximize = 1;
    options.Fpu = variant.Fpu;
    options.Precision = variant.Precision;
    options.Rounding = variant.Rounding;
    options.Sequential = sequential ? 1 : 0;
    return options;
}

IterationResult Call(const SparseMdp& mdp, const IterationOptions& options, int64_t& count) {
    double achieved = 0;
    int32_t warned = 1, abortFlag = 0;
    return IntervalIteration(&mdp, &options, &count, &achieved, &warned, IgnoreMessage,
                             &abortFlag);
}

bool Runnable(const Variant& variant) {
    return variant.Fpu != FpuAVX512 || (GetNativeSupportMask() & 2) != 0;
}

void SetCounters(benchmark::State& state, uint64_t transitions) {
    const double iterations = static_cast<double>(state.iterations()) * kIterationsPerCall;
    // Seconds per iteration and per transition swept (shown with SI
    // prefixes: m, u, n).
    state.counters["time/iteration"] = benchmark::Counter(
        iterations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["time/transition"] =
        benchmark::Counter(iterations * static_cast<double>(transitions),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void RunVariant(benchmark::State& state, const NamedModel* model, Variant variant,
                bool sequential) {
    const SparseMdp mdp = model->Model.Mdp();
    const IterationOptions options = Options(variant, sequential, kIterationsPerCall);
    for (auto _ : state) {
        int64_t count = 0;
        const IterationResult result = Call(mdp, options, count);
        benchmark::DoNotOptimize(result);
        if (count != kIterationsPerCall + 1) {
            state.SkipWithError("the run did not reach the iteration limit");
            break;
        }
    }
    SetCounters(state, model->Model.TransitionCount());
}

void RunFloor(benchmark::State& state, const NamedModel* model, bool sequential) {
    const SparseMdp mdp = model->Model.Mdp();
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench::RunFloor(mdp, sequential, kIterationsPerCall));
    }
    SetCounters(state, model->Model.TransitionCount());
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
                    std::string name = run.benchmark_name();
                    name = name.substr(0, name.rfind("/real_time"));
                    times_[name] = found->second.value;
                }
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nTime per iteration as ratios, all measured in this run.\n");
        std::printf("%-22s %-12s %-16s %8s %12s %14s\n", "variant", "layout", "model", "floor",
                    "safe/default", "interl./seq.");
        for (const auto& [name, time] : times_) {
            const std::size_t first = name.find('/');
            const std::size_t second = name.find('/', first + 1);
            const std::string variant = name.substr(0, first);
            const std::string layout = name.substr(first + 1, second - first - 1);
            const std::string model = name.substr(second + 1);
            if (variant == "Floor") {
                continue;
            }
            std::string safeRatio = "";
            const std::size_t safe = variant.find("Safe");
            if (safe != std::string::npos) {
                safeRatio = Ratio(time, variant.substr(0, safe) + "Default" +
                                            variant.substr(safe + 4) + "/" + layout + "/" + model);
            }
            const std::string layoutRatio =
                layout == "interleaved" ? Ratio(time, variant + "/sequential/" + model) : "";
            std::printf("%-22s %-12s %-16s %8s %12s %14s\n", variant.c_str(), layout.c_str(),
                        model.c_str(), Ratio(time, "Floor/" + layout + "/" + model).c_str(),
                        safeRatio.c_str(), layoutRatio.c_str());
        }
    }

private:
    std::string Ratio(double time, const std::string& other) const {
        const auto found = times_.find(other);
        if (found == times_.end() || found->second <= 0) {
            return "";
        }
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", time / found->second);
        return text;
    }

    std::map<std::string, double> times_;
};

// Peak memory a call takes beyond the caller's model, against the bound
// storage it needs.
void ReportMemory(const NamedModel& model) {
    const SparseMdp mdp = model.Model.Mdp();
    std::printf("\nPeak memory of one call beyond the model (%s, %llu states):\n",
                model.Name.c_str(), static_cast<unsigned long long>(model.Model.StateCount()));
    std::printf("%-22s %-12s %14s %14s %14s\n", "variant", "layout", "peak bytes", "bounds bytes",
                "peak - bounds");
    for (const Variant& variant : kVariants) {
        if (!Runnable(variant)) {
            continue;
        }
        for (bool sequential : {true, false}) {
            const std::size_t element = variant.Precision == PrecisionSingle     ? 4
                                        : variant.Precision == PrecisionDouble ? 8
                                                                               : 16;
            const std::size_t bounds = 2 * element * model.Model.StateCount();
            int64_t count = 0;
            bench::MemoryCounter::Start();
            Call(mdp, Options(variant, sequential, 1), count);
            const std::size_t peak = bench::MemoryCounter::Stop();
            std::printf("%-22s %-12s %14zu %14zu %14lld\n", variant.Name,
                        sequential ? "sequential" : "interleaved", peak, bounds,
                        static_cast<long long>(peak) - static_cast<long long>(bounds));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    static std::vector<NamedModel> models;
    // Far larger than the caches, and small enough for the L2 cache (1 MiB
    // on the machine this was written on: about 4,000 states).
    models.push_back({"generated-10M", bench::Generate(10'000'000)});
    models.push_back({"generated-L2", bench::Generate(24'000)});
    for (const NamedModel& model : models) {
        for (bool sequential : {true, false}) {
            const std::string layout = sequential ? "/sequential/" : "/interleaved/";
            benchmark::RegisterBenchmark(("Floor" + layout + model.Name).c_str(), RunFloor,
                                         &model, sequential)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
            for (const Variant& variant : kVariants) {
                if (!Runnable(variant)) {
                    continue;
                }
                benchmark::RegisterBenchmark((variant.Name + layout + model.Name).c_str(),
                                             RunVariant, &model, variant, sequential)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
        }
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    ReportMemory(models.front());
    benchmark::Shutdown();
    return 0;
}
