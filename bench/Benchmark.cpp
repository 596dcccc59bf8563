// Time per iteration of every variant the library computes, in both layouts,
// on a generated model far larger than the caches, on one that fits in the
// L2 cache, and on the real models under models/; next to it the
// floor, the simplest hand-written in-place sweep over the same arrays. At
// the end: the ratios that matter, all measured in this one run, and the peak
// memory of a call. With --report=FILE the ratios are also written there as
// a Markdown document. Last, whole calls to Epsilon 1e-6 with and without
// skipping the states whose successors did not change.
#include "analysis/Precompute.hpp"
#include "Floor.hpp"
#include "GeneratedModel.hpp"
#include "IntervalIteration.h"
#include "MemoryCounter.hpp"
#include "model/ExplicitModel.hpp"
#include "pipeline/Pipeline.hpp"
#include "ReportSection.hpp"
#include "Variants.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
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

// A model to time: generated, or read and precomputed from a real model.
struct NamedModel {
    std::string Name;
    SparseMdp Mdp;
    uint64_t States;
    uint64_t Transitions;
    std::shared_ptr<const void> Owner;  // the arrays Mdp points into
    // Iterations a library call completes (fewer than the limit when it
    // reaches a fixed point); the floor sweeps as often.
    int Iterations = kIterationsPerCall;
    // Limit of the calls with and without skipping (0: none).
    int SkippingLimit = 0;
};

NamedModel FromGenerated(const std::string& name, bench::GeneratedModel generated) {
    auto owner = std::make_shared<bench::GeneratedModel>(std::move(generated));
    return {name, owner->Mdp(), owner->StateCount(), owner->TransitionCount(), owner};
}

// A real model: the maximal probability of reaching "target1" from its
// first initial state, with the probability-0 states removed and the end
// components collapsed as the command-line host does it, but without its
// further reductions (probability-1 states, bisimulation), after which
// little of some models is left to time.
bool FromFolder(const std::filesystem::path& folder, NamedModel& model) {
    const std::string name = folder.filename().string();
    try {
        iicheck::Prepared prepared;
        iicheck::Prepare(iicheck::ReadModel(iicheck::ResolveModelFiles({folder.string()}, iicheck::ModelFormat::Tra),
                                            iicheck::kDefaultSumTolerance),
                         iicheck::ShorthandProperty("target1", "", true), true,
                         {false, false, iicheck::StateOrder::BreadthFirst}, prepared);
        auto reduced = std::make_shared<iicheck::ReducedModel>(iicheck::ReduceFrom(prepared, 0));
        model = {name, reduced->Mdp(), reduced->StateCount(), reduced->TransitionCount(), reduced};
        return true;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "skipping %s: %s\n", name.c_str(), error.what());
        return false;
    }
}

void IgnoreMessage(uint64_t, const char*, uint64_t) {}

IterationOptions Options(const Variant& variant, bool sequential, int maxIterations) {
    IterationOptions options{};
    options.Epsilon = -1;  // never converged: a call runs to the limit or a fixed point
    options.MaxIterations = maxIterations;
    options.Maximize = 1;
    options.Fpu = variant.Fpu;
    options.Precision = variant.Precision;
    options.Rounding = variant.Rounding;
    options.Sequential = sequential ? 1 : 0;
    return options;
}

// Runs one call; returns the number of iterations it completed.
int64_t Call(const SparseMdp& mdp, const IterationOptions& options) {
    int64_t count = 0;
    double achieved = 0;
    int32_t warned = 1, abortFlag = 0;
    const IterationResult result = IntervalIteration(&mdp, &options, &count, &achieved, &warned,
                                                     IgnoreMessage, &abortFlag);
    benchmark::DoNotOptimize(result);
    return result.Status == IterationStatusStopped ? count - 1 : count;
}

// A call to Epsilon 1e-6 (or the limit) with the given skipping; returns the
// iterations it completed.
int64_t SkippingCall(const SparseMdp& mdp, const Variant& variant, bool sequential,
                     int maxIterations, ii::Skipping skipping, ii::SweepCounts* counts) {
    IterationOptions options = Options(variant, sequential, maxIterations);
    options.Epsilon = 1e-6;
    int64_t count = 0;
    double achieved = 0;
    int32_t warned = 1, abortFlag = 0;
    const IterationResult result = ii::RunIntervalIteration(
        (GetNativeSupportMask() & 2) != 0, &mdp, &options, &count, &achieved, &warned,
        IgnoreMessage, &abortFlag, {skipping, counts});
    benchmark::DoNotOptimize(result);
    return result.Status == IterationStatusStopped ? count - 1 : count;
}

// The variants whose calls are timed with and without skipping: the cheapest
// update (DoubleDefaultSSE), the defaults of iicheck with and without
// AVX-512, and the costly changes of direction of the portable environment
// and of x87.
bool SkippingVariant(const Variant& variant) {
    static const std::set<std::string> names = {"DoubleDefaultSSE", "DoubleSafeSSE",
                                                "DoubleSafeAVX512", "SingleSafeDefault",
                                                "ExtendedSafeX87"};
    return names.count(variant.Name) != 0;
}

bool Runnable(const Variant& variant) {
    return variant.Fpu != FpuAVX512 || (GetNativeSupportMask() & 2) != 0;
}

void SetCounters(benchmark::State& state, double iterations, uint64_t transitions) {
    // Seconds per iteration and per transition swept (shown with SI
    // prefixes: m, u, n).
    state.counters["time/iteration"] = benchmark::Counter(
        iterations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["time/transition"] =
        benchmark::Counter(iterations * static_cast<double>(transitions),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A whole call; counters: the time per iteration and the share of the
// state updates that the sweeps skipped.
void RunSkipping(benchmark::State& state, const NamedModel* model, Variant variant,
                 bool sequential, ii::Skipping skipping) {
    double iterations = 0;
    ii::SweepCounts counts{};
    for (auto _ : state) {
        counts = {};
        iterations += static_cast<double>(SkippingCall(model->Mdp, variant, sequential,
                                                       model->SkippingLimit, skipping, &counts));
    }
    SetCounters(state, iterations, model->Transitions);
    state.counters["skipped"] = static_cast<double>(counts.Skipped) /
                                static_cast<double>(counts.Updates == 0 ? 1 : counts.Updates);
    state.counters["iterations/call"] = iterations / static_cast<double>(state.iterations());
}

void RunVariant(benchmark::State& state, const NamedModel* model, Variant variant,
                bool sequential) {
    const IterationOptions options = Options(variant, sequential, kIterationsPerCall);
    double iterations = 0;
    for (auto _ : state) {
        iterations += static_cast<double>(Call(model->Mdp, options));
    }
    SetCounters(state, iterations, model->Transitions);
}

// Everything a call does before its first iteration: the information
// message, the model check, the allocation and initialisation of the
// bounds (a negative iteration limit stops at the head of the first
// iteration). Against one iteration of the fastest variant.
void RunSetup(benchmark::State& state, const NamedModel* model) {
    const IterationOptions options = Options(kVariants[2], false, -1);  // DoubleDefaultSSE
    for (auto _ : state) {
        benchmark::DoNotOptimize(Call(model->Mdp, options));
    }
    SetCounters(state, static_cast<double>(state.iterations()), model->Transitions);
}

void RunFloor(benchmark::State& state, const NamedModel* model, bool sequential) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench::RunFloor(model->Mdp, sequential, model->Iterations));
    }
    SetCounters(state, static_cast<double>(state.iterations()) * model->Iterations,
                model->Transitions);
}

// Collects the time per iteration of every run (when runs are repeated, the
// median; for the calls with and without skipping, the fastest, since they
// repeat the same work and interference only adds time) and prints the
// ratios at the end, next to the console output.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter(std::vector<NamedModel>* models, std::string report)
        : models_(models), report_(std::move(report)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool summary =
                run.run_type == Run::RT_Aggregate &&
                run.aggregate_name ==
                    (run.run_name.function_name.rfind("Skip/", 0) == 0 ? "min" : "median");
            if (run.error_occurred || (run.run_type != Run::RT_Iteration && !summary)) {
                continue;
            }
            const auto found = run.counters.find("time/iteration");
            if (found == run.counters.end()) {
                continue;
            }
            std::string name = run.run_name.function_name;
            if (summary || summarised_.count(name) == 0) {
                times_[name] = found->second.value;
                const auto skipped = run.counters.find("skipped");
                if (skipped != run.counters.end()) {
                    skipped_[name] = skipped->second.value;
                    perCall_[name] = run.counters.at("iterations/call").value;
                }
            }
            if (summary) {
                summarised_.insert(name);
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const std::string text = Table();
        const std::string skipping = SkippingTable();
        std::printf("\nTime per iteration as ratios, all measured in this run.\n%s%s",
                    text.c_str(), skipping.c_str());
        // The skipping table is copied by hand into its section of the
        // document, with the command that measured it.
        if (!report_.empty()) {
            WriteReport(text);
        }
    }

private:
    std::string Ratio(double time, const std::string& other) const {
        const auto found = times_.find(other);
        if (found == times_.end() || found->second <= 0) {
            return "";
        }
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", time / found->second);
        return text;
    }

    // One Markdown table per model that was measured.
    std::string Table() const {
        std::string out;
        for (const NamedModel& model : *models_) {
            if (times_.count("Floor/sequential/" + model.Name) == 0 &&
                times_.count("Floor/interleaved/" + model.Name) == 0 &&
                std::none_of(std::begin(kVariants), std::end(kVariants), [&](const Variant& v) {
                    return times_.count(v.Name + std::string("/sequential/") + model.Name) +
                               times_.count(v.Name + std::string("/interleaved/") + model.Name) >
                           0;
                })) {
                continue;
            }
            char heading[256];
            std::snprintf(heading, sizeof heading,
                          "\n### %s (%llu states, %llu transitions)\n\n", model.Name.c_str(),
                          static_cast<unsigned long long>(model.States),
                          static_cast<unsigned long long>(model.Transitions));
            out += heading;
            const auto setup = times_.find("Setup/call/" + model.Name);
            double fastest = 0;
            std::string fastestName;
            for (const auto& [name, time] : times_) {
                if (name.rfind("Floor", 0) != 0 && name.rfind("Setup", 0) != 0 &&
                    name.rfind("Skip", 0) != 0 &&
                    name.size() > model.Name.size() &&
                    name.compare(name.size() - model.Name.size() - 1, std::string::npos,
                                 "/" + model.Name) == 0 &&
                    (fastest == 0 || time < fastest)) {
                    fastest = time;
                    fastestName = name;
                }
            }
            if (setup != times_.end() && fastest > 0) {
                char line[256];
                std::snprintf(line, sizeof line,
                              "Setup of a call (information message, model check, bounds): "
                              "%.2f of one iteration of the fastest variant (%s).\n\n",
                              setup->second / fastest, fastestName.c_str());
                out += line;
            }
            out += "| variant | layout | / floor | safe / default | interleaved / sequential | "
                   "ns per transition |\n|---|---|---|---|---|---|\n";
            for (const char* layout : {"sequential", "interleaved"}) {
                const std::string suffix = std::string("/") + layout + "/" + model.Name;
                const auto floor = times_.find("Floor" + suffix);
                if (floor != times_.end()) {
                    out += "| floor | " + std::string(layout) + " | 1.00 | | | " +
                           Nanoseconds(floor->second, model) + " |\n";
                }
                for (const Variant& variant : kVariants) {
                    const std::string name = variant.Name + suffix;
                    const auto found = times_.find(name);
                    if (found == times_.end()) {
                        continue;
                    }
                    const std::string v = variant.Name;
                    const std::size_t safe = v.find("Safe");
                    const std::string twin =
                        safe == std::string::npos
                            ? ""
                            : v.substr(0, safe) + "Default" + v.substr(safe + 4) + suffix;
                    out += "| " + v + " | " + layout + " | " + Ratio(found->second, "Floor" + suffix) +
                           " | " + (twin.empty() ? "" : Ratio(found->second, twin)) + " | " +
                           (std::string(layout) == "interleaved"
                                ? Ratio(found->second, v + "/sequential/" + model.Name)
                                : "") +
                           " | " + Nanoseconds(found->second, model) + " |\n";
                }
            }
        }
        return out;
    }

    // Skipping the states that cannot change: per model and layout, over the
    // variants, the median share of the state updates skipped and the median
    // (lowest, highest) time per call against the same calls without
    // skipping, as the library chooses and with skipping wherever possible
    // (always). The three calls must complete the same iterations.
    std::string SkippingTable() const {
        std::string out;
        std::string variants;
        for (const NamedModel& model : *models_) {
            for (const char* layout : {"sequential", "interleaved"}) {
                std::vector<double> skippedChosen, skippedAlways, chosen, always;
                double perCall = -1;
                bool same = true;
                std::string measured;
                for (const Variant& variant : kVariants) {
                    const std::string suffix =
                        std::string("/") + variant.Name + "/" + layout + "/" + model.Name;
                    const std::string never = "Skip/never" + suffix;
                    const std::string chosenName = "Skip/chosen" + suffix;
                    const std::string alwaysName = "Skip/always" + suffix;
                    if (times_.count(never) == 0 || times_.count(chosenName) == 0 ||
                        times_.count(alwaysName) == 0 || times_.at(never) <= 0) {
                        continue;
                    }
                    measured += (measured.empty() ? "" : ", ") + std::string(variant.Name);
                    skippedChosen.push_back(skipped_.at(chosenName));
                    skippedAlways.push_back(skipped_.at(alwaysName));
                    chosen.push_back(times_.at(chosenName) / times_.at(never));
                    always.push_back(times_.at(alwaysName) / times_.at(never));
                    perCall = perCall_.at(never);
                    same = same && perCall_.at(chosenName) == perCall &&
                           perCall_.at(alwaysName) == perCall;
                }
                if (chosen.empty()) {
                    continue;
                }
                variants = measured;
                const std::string name =
                    model.SkippingLimit == 0
                        ? model.Name
                        : model.Name + " (first " + std::to_string(model.SkippingLimit) +
                              " iterations)";
                char line[320];
                std::snprintf(line, sizeof line, "| %s | %s | %s | %.2f | %s | %.2f | %s |\n",
                              name.c_str(), layout,
                              same ? std::to_string(std::lround(perCall)).c_str() : "differ!",
                              Median(skippedChosen), Spread(chosen).c_str(),
                              Median(skippedAlways), Spread(always).c_str());
                out += line;
            }
        }
        if (out.empty()) {
            return out;
        }
        return "\n### Skipping the states that cannot change\n\n"
               "Whole calls to Epsilon 1e-6 (the generated model far beyond the caches: its "
               "first iterations only), CPU time per call (the fastest of the repetitions) of "
               "the library skipping the states whose successors did not change since their "
               "last update (chosen: as the library does by default; always: from the second "
               "sweep on), against the same calls computing every state; median over the "
               "variants " +
               variants +
               ", lowest and highest in brackets; skipped: the median share of the state "
               "updates skipped.\n\n"
               "| model | layout | iterations per call | skipped, chosen | chosen / never | "
               "skipped, always | always / never |\n|---|---|---|---|---|---|---|\n" +
               out;
    }

    static double Median(std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    }

    static std::string Spread(const std::vector<double>& values) {
        char text[64];
        std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", Median(values),
                      *std::min_element(values.begin(), values.end()),
                      *std::max_element(values.begin(), values.end()));
        return text;
    }

    static std::string Nanoseconds(double secondsPerIteration, const NamedModel& model) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f",
                      secondsPerIteration * 1e9 / static_cast<double>(model.Transitions));
        return text;
    }

    void WriteReport(const std::string& table) const {
        // The other programs' sections stay, and so does a hand-written section
        // at the end of the document.
        const std::string sections = bench::Sections(report_);
        const std::string kept = bench::HandWritten(report_, kKeptSection);
        std::ofstream out(report_);
        const std::time_t now = std::time(nullptr);
        char date[32];
        std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&now));
        out << "# Performance\n\n"
            << "Measured on " << date << " on " << bench::ProcessorName()
            << " by `scripts/run-benchmarks.sh` (Google Benchmark, medians of repeated, randomly "
               "interleaved runs).\n\n"
            << "Every number is a ratio of times per iteration measured in the same run: to the "
               "floor of the same layout (the simplest hand-written in-place sweep over the same "
               "arrays: binary64, one division and one multiply-add per transition and bound, "
               "the same target and zero tests, the maximum over choices and nothing else; for "
               "the sequential layout one such sweep per bound vector), to the default-rounding "
               "twin of a safe variant, and of the interleaved to the sequential layout. The "
               "last column gives the time per transition swept, for scale.\n\n"
            << "Reading these numbers: the model that fits in the L2 cache repeats exactly the same sequence of branches in every sweep (the kind of each probability, the number of transitions of each choice and of choices of each state), and the branch predictor of the processor learns much of it: the floor runs there at about three cycles per transition, and the ratios changed by up to three times with small changes of code layout while the kernels were tuned. Judge by the model of ten million transitions; on the real models, which are small, the fixed work of a call (the information message, the model check, the allocation and initialisation of the bounds) also counts.\n"
            << table << kept << (kept.empty() ? "\n" : "") << sections;
    }

    static constexpr const char* kKeptSection = "## Choosing the default variant";

    std::vector<NamedModel>* models_;
    std::string report_;
    std::map<std::string, double> times_;
    std::map<std::string, double> skipped_;  // share of the updates skipped
    std::map<std::string, double> perCall_;  // iterations per call, of the same runs
    std::set<std::string> summarised_;  // runs whose summary was seen
};

// Peak memory a call takes beyond the caller's model, against the bound
// storage it needs: the bounds and one change stamp byte per state and bound
// vector.
void ReportMemory(const NamedModel& model) {
    std::printf("\nPeak memory of one call beyond the model (%s, %llu states):\n",
                model.Name.c_str(), static_cast<unsigned long long>(model.States));
    std::printf("%-22s %-12s %14s %14s %14s\n", "variant", "layout", "peak bytes", "storage bytes",
                "peak - storage");
    for (const Variant& variant : kVariants) {
        if (!Runnable(variant)) {
            continue;
        }
        for (bool sequential : {true, false}) {
            const std::size_t element = variant.Precision == PrecisionSingle   ? 4
                                        : variant.Precision == PrecisionDouble ? 8
                                                                               : 16;
            const std::size_t bounds = (2 * element + (sequential ? 2 : 1)) * model.States;
            bench::MemoryCounter::Start();
            Call(model.Mdp, Options(variant, sequential, 1));
            const std::size_t peak = bench::MemoryCounter::Stop();
            std::printf("%-22s %-12s %14zu %14zu %14lld\n", variant.Name,
                        sequential ? "sequential" : "interleaved", peak, bounds,
                        static_cast<long long>(peak) - static_cast<long long>(bounds));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string report;
    std::vector<char*> arguments;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--report=", 9) == 0) {
            report = argv[i] + 9;
        } else {
            arguments.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());

    static std::vector<NamedModel> models;
    // Far larger than the caches, and small enough for the L2 cache (1 MiB
    // on the machine this was written on: about 4,000 states).
    models.push_back(FromGenerated("generated-10M", bench::Generate(10'000'000)));
    models.back().SkippingLimit = kIterationsPerCall;  // whole calls take minutes
    models.push_back(FromGenerated("generated-L2", bench::Generate(24'000)));
    std::vector<std::filesystem::path> folders;
    for (const auto& entry : std::filesystem::directory_iterator(INTERVAL_ITERATION_MODELS)) {
        if (entry.is_directory()) {
            folders.push_back(entry.path());
        }
    }
    std::sort(folders.begin(), folders.end());
    for (const auto& folder : folders) {
        NamedModel model;
        if (FromFolder(folder, model)) {
            models.push_back(model);
        }
    }
    for (NamedModel& model : models) {
        const Variant& reference = kVariants[2];  // DoubleDefaultSSE
        model.Iterations = static_cast<int>(
            std::max<int64_t>(1, Call(model.Mdp, Options(reference, true, kIterationsPerCall))));
    }
    for (const NamedModel& model : models) {
        benchmark::RegisterBenchmark(("Setup/call/" + model.Name).c_str(), RunSetup, &model)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
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
    for (const NamedModel& model : models) {
        for (bool sequential : {true, false}) {
            const std::string layout = sequential ? "/sequential/" : "/interleaved/";
            for (const Variant& variant : kVariants) {
                if (!Runnable(variant) || !SkippingVariant(variant)) {
                    continue;
                }
                for (const auto& [mode, skipping] :
                     {std::pair{"never/", ii::Skipping::Never},
                      std::pair{"always/", ii::Skipping::Always},
                      std::pair{"chosen/", ii::Skipping::Chosen}}) {
                    benchmark::RegisterBenchmark(
                        ("Skip/" + std::string(mode) + variant.Name + layout + model.Name).c_str(),
                        RunSkipping, &model, variant, sequential, skipping)
                        ->Unit(benchmark::kMillisecond)
                        ->ComputeStatistics("min", [](const std::vector<double>& values) {
                            return *std::min_element(values.begin(), values.end());
                        });
                }
            }
        }
    }
    RatioReporter reporter(&models, report);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    ReportMemory(models.front());
    benchmark::Shutdown();
    return 0;
}
