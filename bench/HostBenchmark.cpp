// The command-line host's reading and precomputation. For the generated
// model of ten million transitions in every format, the time of reading it
// (the benchmark's time), the peak memory per transition of reading it and of
// reading, precomputing and reducing it as iicheck does, and how many times
// faster each format reads than the .tra/.lab of the same model, measured in
// the same run. "exact": the probabilities as the generator writes them
// (fractions, short decimals; UMB: rationals); "binary64": as an exporter
// that computes in binary64 writes them (shortest decimals; UMB: binary64).
// The speed of reading a real export from a file as iicheck reads it, in
// bytes per second: the consensus protocol of six processes (K = 2), 119 MB
// of .tra and 8.5 MB of .lab. Then the time of reading the worst-case
// inputs of each kind (one probability of very many digits, one choice of
// very many fractions over distinct large primes, a labels file of very many
// labels, a DRN state of very many labels), at sizes growing by four, with
// the fitted complexity, and the peak memory of the labels per byte of their
// names. Last, shipped models with every state initial, as when the
// probability from every state is asked for: each initial state answered as
// iicheck answers it, with a library call only where the precomputation did
// not decide it and no earlier initial state is the same state of the
// reduced model, against a call for every initial state, measured in the
// same run.
#include "formats/DrnReader.hpp"
#include "formats/ModelGenerator.hpp"
#include "formats/ModelReader.hpp"
#include "formats/ModelWriter.hpp"
#include "formats/TraReader.hpp"
#include "formats/UmbReader.hpp"
#include "MemoryCounter.hpp"
#include "pipeline/Pipeline.hpp"
#include "pipeline/Run.hpp"
#include "cli/CommandLine.hpp"
#include "model/Rewards.hpp"
#include "properties/Property.hpp"

#include <benchmark/benchmark.h>
#include <gmp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const kLabels = "0=\"init\" 1=\"target\"\n0: 0\n1: 1\n";

// Reads, precomputes and reduces as iicheck does it, once per benchmark
// iteration; reports the peak memory of that.
void Measure(benchmark::State& state, const std::string& tra, const std::string& lab,
             const char* target, uint64_t transitions) {
    std::size_t peak = 0;
    for (auto _ : state) {
        bench::MemoryCounter::Start();
        try {
            iicheck::Prepared prepared;
            iicheck::Prepare(iicheck::ParseTra(tra, "bench.tra", lab, "bench.lab", iicheck::kDefaultSumTolerance),
                             iicheck::ShorthandProperty(target, "", true), true, {}, prepared);
            benchmark::DoNotOptimize(iicheck::ReduceFrom(prepared, 0));
        } catch (const iicheck::InputError&) {
        }
        peak = bench::MemoryCounter::Stop();
    }
    state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
    if (transitions != 0) {
        state.counters["peak_bytes/transition"] =
            static_cast<double>(peak) / static_cast<double>(transitions);
    }
}

enum class Format { Tra, Drn, Umb, UmbGz, Tra64, Umb64 };

// The generated model in every format, made once.
struct Inputs {
    iicheck::generator::StringSink Tra, Lab, Drn, Tra64, Lab64;
    std::string Umb, UmbGz, Umb64;
    uint64_t Transitions = 0;
};

const Inputs& Generated() {
    static const Inputs inputs = [] {
        constexpr uint64_t kTransitions = 10'000'000;
        Inputs made;
        made.Transitions = iicheck::generator::WriteModel(kTransitions, 1, false, made.Tra, made.Lab).Transitions;
        iicheck::generator::WriteDrn(kTransitions, 1, false, made.Drn);
        iicheck::generator::WriteModel(kTransitions, 1, true, made.Tra64, made.Lab64);
        const double tolerance = iicheck::kDefaultSumTolerance;
        iicheck::Model model = iicheck::ParseTra(made.Tra.Text, "m.tra", made.Lab.Text, "m.lab", tolerance);
        made.Umb = iicheck::UmbArchive(model, iicheck::Compression::None);
        made.UmbGz = iicheck::UmbArchive(model, iicheck::Compression::Gzip);
        model = iicheck::ParseTra(made.Tra64.Text, "m.tra", made.Lab64.Text, "m.lab", tolerance);
        iicheck::RoundToBinary64(model);
        made.Umb64 = iicheck::UmbArchive(model, iicheck::Compression::None);
        return made;
    }();
    return inputs;
}

iicheck::Model Read(Format format) {
    const Inputs& in = Generated();
    const double tolerance = iicheck::kDefaultSumTolerance;
    switch (format) {
        case Format::Tra: return iicheck::ParseTra(in.Tra.Text, "m.tra", in.Lab.Text, "m.lab", tolerance);
        case Format::Drn: return iicheck::ParseDrn(in.Drn.Text, "m.drn", tolerance);
        case Format::Umb: return iicheck::ParseUmb(in.Umb, "m.umb", tolerance);
        case Format::UmbGz: return iicheck::ParseUmb(in.UmbGz, "m.umb.gz", tolerance);
        case Format::Tra64: return iicheck::ParseTra(in.Tra64.Text, "m.tra", in.Lab64.Text, "m.lab", tolerance);
        case Format::Umb64: return iicheck::ParseUmb(in.Umb64, "m.umb", tolerance);
    }
    return {};
}

// The bytes of a format's files.
uint64_t InputBytes(Format format) {
    const Inputs& in = Generated();
    switch (format) {
        case Format::Tra: return in.Tra.Text.size() + in.Lab.Text.size();
        case Format::Drn: return in.Drn.Text.size();
        case Format::Umb: return in.Umb.size();
        case Format::UmbGz: return in.UmbGz.size();
        case Format::Tra64: return in.Tra64.Text.size() + in.Lab64.Text.size();
        case Format::Umb64: return in.Umb64.size();
    }
    return 0;
}

// The mean read time of each format in this run.
std::map<Format, double> gReadSeconds;

void GeneratedModel(benchmark::State& state, Format format, Format sameModelAsTra) {
    const uint64_t transitions = Generated().Transitions;
    std::size_t readPeak = 0;
    std::size_t peak = 0;
    double seconds = 0;
    for (auto _ : state) {
        bench::MemoryCounter::Start();
        const auto start = std::chrono::steady_clock::now();
        iicheck::Model model = Read(format);
        const double read = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        readPeak = bench::MemoryCounter::Peak();
        iicheck::Prepared prepared;
        iicheck::Prepare(std::move(model), iicheck::ShorthandProperty("goal", "", true), true, {}, prepared);
        benchmark::DoNotOptimize(iicheck::ReduceFrom(prepared, 0));
        peak = bench::MemoryCounter::Stop();
        state.SetIterationTime(read);
        seconds += read;
    }
    gReadSeconds[format] = seconds / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * InputBytes(format)));
    const auto perTransition = [&](std::size_t bytes) {
        return static_cast<double>(bytes) / static_cast<double>(transitions);
    };
    state.counters["read_peak_bytes/transition"] = perTransition(readPeak);
    state.counters["peak_bytes/transition"] = perTransition(peak);
    if (format != sameModelAsTra && gReadSeconds.count(sameModelAsTra) != 0) {
        state.counters["x_faster_than_tra"] = gReadSeconds[sameModelAsTra] / gReadSeconds[format];
    }
}

// A folder of files made for the benchmark, removed at its end.
struct Folder {
    std::filesystem::path Path = std::filesystem::temp_directory_path() /
                                 ("iicheck-benchmark-" + std::to_string(::getpid()));
    Folder() { std::filesystem::create_directories(Path); }
    ~Folder() { std::filesystem::remove_all(Path); }
};

// The consensus model's .tra and .lab in a folder, made once.
const std::string& ConsensusFiles() {
    static const Folder folder;
    static const std::string prefix = [] {
        iicheck::generator::StringSink tra;
        iicheck::generator::StringSink lab;
        iicheck::generator::Consensus(6, 2).Write(tra, lab);
        const std::string made = (folder.Path / "c62").string();
        std::ofstream(made + ".tra", std::ios::binary) << tra.Text;
        std::ofstream(made + ".lab", std::ios::binary) << lab.Text;
        return made;
    }();
    return prefix;
}

// Reads the consensus model from its files, as iicheck does.
void ConsensusFromFile(benchmark::State& state) {
    const std::string& prefix = ConsensusFiles();
    const iicheck::ModelFiles files = {iicheck::ModelFormat::Tra, prefix + ".tra", prefix + ".lab"};
    const uint64_t bytes = std::filesystem::file_size(files.Model) + std::filesystem::file_size(files.Labels);
    std::size_t peak = 0;
    uint64_t transitions = 0;
    for (auto _ : state) {
        bench::MemoryCounter::Start();
        const auto start = std::chrono::steady_clock::now();
        {
            const iicheck::Model model = iicheck::ReadModel(files, iicheck::kDefaultSumTolerance);
            transitions = model.Mdp.TransitionCount();
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        peak = bench::MemoryCounter::Stop();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["read_peak_bytes/transition"] = static_cast<double>(peak) / static_cast<double>(transitions);
}

// Expected reward iteration against probability iteration on one model: the
// consensus protocol of six processes with K = 4 (iigen --consensus 6 4) with
// the reward 1 in every state, Rmin=? [F "target1"|"target2"|"avoid"] (the
// expected steps until some process decides) reduced as iicheck does it, then
// the default variant's ExpectedRewardIteration and IntervalIteration (the
// minimum probability of the same targets) on that one reduced model, 200
// iterations each, in turns. The benchmark's time is the reward runs';
// x_of_probability is the ratio of the times per iteration, measured in the
// same run.
void ExpectedReward(benchmark::State& state) {
    iicheck::generator::StringSink tra;
    iicheck::generator::StringSink lab;
    iicheck::generator::Consensus(6, 4).Write(tra, lab);
    iicheck::Model model = iicheck::ParseTra(tra.Text, "c64.tra", lab.Text, "c64.lab", iicheck::kDefaultSumTolerance);
    tra = {};
    lab = {};
    iicheck::RewardStructure steps;
    steps.Name = "steps";
    steps.StateRewards = true;
    TransitionValue one;
    one.Value = 1.0;
    one.Denominator = 0;
    for (uint64_t s = 0; s < model.Mdp.StateCount; ++s) iicheck::AddReward(steps.States, s, one);
    model.Rewards.push_back(std::move(steps));
    const uint64_t transitions = model.Mdp.TransitionCount();
    const iicheck::Property property =
        iicheck::ParseProperty("Rmin=? [F \"target1\"|\"target2\"|\"avoid\"]", "benchmark");
    iicheck::Prepared prepared;
    iicheck::Prepare(std::move(model), property, false, iicheck::PrecomputeOptions(), prepared);
    const iicheck::ReducedModel reduced = iicheck::ReduceFrom(prepared, 0);
    const SparseMdp mdp = reduced.Mdp();
    const SparseRewards rewards = reduced.Rewards();
    const iicheck::Variant variant = iicheck::DefaultVariants((GetNativeSupportMask() & 2) != 0)[0];
    iicheck::RunSettings settings;
    settings.Epsilon = 0;
    settings.MaxIterations = 200;
    settings.Maximize = false;
    settings.ShowProgress = false;
    double rewardSeconds = 0, probabilitySeconds = 0;
    int64_t rewardIterations = 0, probabilityIterations = 0;
    for (auto _ : state) {
        const iicheck::RunOutcome probability = iicheck::RunLibrary(mdp, variant, settings);
        const iicheck::RunOutcome reward = iicheck::RunLibrary(mdp, variant, settings, &rewards);
        probabilitySeconds += probability.Seconds;
        probabilityIterations += probability.Iterations;
        rewardSeconds += reward.Seconds;
        rewardIterations += reward.Iterations;
        state.SetIterationTime(reward.Seconds);
    }
    const double perReward = rewardSeconds / static_cast<double>(rewardIterations);
    const double perProbability = probabilitySeconds / static_cast<double>(probabilityIterations);
    state.counters["transitions_read"] = static_cast<double>(transitions);
    state.counters["transitions_reduced"] = static_cast<double>(reduced.TransitionCount());
    state.counters["reward_us/iteration"] = perReward * 1e6;
    state.counters["probability_us/iteration"] = perProbability * 1e6;
    state.counters["x_of_probability"] = perReward / perProbability;
    state.SetLabel(iicheck::Describe(variant));
}

// A header that declares ten million states over a body of one line.
void LyingHeader(benchmark::State& state) {
    Measure(state, "10000000 1 1\n0 0 0 1\n", kLabels, "target", 1);
}

// One probability of N digits.
void LongProbability(benchmark::State& state) {
    const std::string tra =
        "2 1 1\n0 0 1 0." + std::string(static_cast<std::size_t>(state.range(0)), '3') + "\n";
    Measure(state, tra, kLabels, "target", 0);
    state.SetComplexityN(state.range(0));
}

// One choice of N fractions 1/p over the N primes below 2^62.
void ManyFractions(benchmark::State& state) {
    const auto count = static_cast<uint64_t>(state.range(0));
    std::string tra = "2 1 " + std::to_string(count) + "\n";
    mpz_t prime;
    mpz_init_set_ui(prime, 1);
    mpz_mul_2exp(prime, prime, 62);
    for (uint64_t i = 0; i < count; ++i) {
        mpz_nextprime(prime, prime);
        char digits[32];
        mpz_get_str(digits, 10, prime);
        tra += std::string("0 0 1 1/") + digits + "\n";
    }
    mpz_clear(prime);
    Measure(state, tra, kLabels, "target", 0);
    state.SetComplexityN(state.range(0));
}

// The names of N labels, "label2" to "labelN" and their bytes.
std::vector<std::string> LabelNames(int64_t count, uint64_t& bytes) {
    std::vector<std::string> names;
    bytes = 0;
    for (int64_t i = 2; i < count; ++i) {
        names.push_back("label" + std::to_string(i));
        bytes += names.back().size();
    }
    return names;
}

// A labels file that declares N labels.
void ManyLabels(benchmark::State& state) {
    uint64_t nameBytes;
    std::string lab = "0=\"init\" 1=\"target\"";
    int64_t index = 2;
    for (const std::string& name : LabelNames(state.range(0), nameBytes)) {
        lab.append(" ").append(std::to_string(index++)).append("=\"").append(name).append("\"");
    }
    lab += "\n0: 0\n1: 1\n";
    Measure(state, "2 1 1\n0 0 1 1\n", lab, "target", 0);
    state.SetComplexityN(state.range(0));
    state.counters["peak_bytes/name_byte"] = state.counters["peak_MB"] * 1e6 / static_cast<double>(nameBytes);
}

// A DRN whose first state carries N distinct labels.
void ManyDrnLabels(benchmark::State& state) {
    uint64_t nameBytes;
    std::string drn = "@type: MDP\n@nr_states\n2\n@nr_choices\n2\n@model\nstate 0 init";
    for (const std::string& name : LabelNames(state.range(0), nameBytes)) drn.append(" ").append(name);
    drn += "\n\taction a\n\t\t1 : 1\nstate 1 target\n\taction a\n\t\t1 : 1\n";
    std::size_t peak = 0;
    for (auto _ : state) {
        bench::MemoryCounter::Start();
        benchmark::DoNotOptimize(iicheck::ParseDrn(drn, "bench.drn", iicheck::kDefaultSumTolerance));
        peak = bench::MemoryCounter::Stop();
    }
    state.SetComplexityN(state.range(0));
    state.counters["peak_bytes/name_byte"] = static_cast<double>(peak) / static_cast<double>(nameBytes);
}

// The time of each model's run with a call for every initial state.
std::map<std::string, double> gEverySeconds;

// Reads the model, makes every state initial, precomputes once and answers
// every initial state: shared, as iicheck does (AnswerSources); otherwise
// with a call of its own for each.
void AllInitialStates(benchmark::State& state, const char* name, bool shared) {
    const std::string folder = std::string(INTERVAL_ITERATION_MODELS) + "/" + name;
    iicheck::RunSettings settings;
    settings.ShowProgress = false;
    const iicheck::Variant variant{FpuSSE, PrecisionDouble, RoundingSafe, true};
    uint64_t states = 0, transitions = 0, calls = 0;
    std::size_t peak = 0;
    double seconds = 0;
    for (auto _ : state) {
        bench::MemoryCounter::Start();
        const auto start = std::chrono::steady_clock::now();
        iicheck::Model model = iicheck::ReadModel(iicheck::ResolveModelFiles({folder}, std::nullopt),
                                                  iicheck::kDefaultSumTolerance);
        states = model.Mdp.StateCount;
        transitions = model.Mdp.TransitionCount();
        model.Initial.resize(states);
        std::iota(model.Initial.begin(), model.Initial.end(), uint64_t{0});
        iicheck::Prepared prepared;
        iicheck::Prepare(std::move(model), iicheck::ShorthandProperty("target1", "", true), true, {}, prepared);
        const std::vector<iicheck::InitialAnswer> sources =
            shared ? iicheck::AnswerSources(prepared) : std::vector<iicheck::InitialAnswer>(states);
        calls = 0;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            if (sources[i].Source != iicheck::AnswerSource::Library) continue;
            const iicheck::ReducedModel reduced = iicheck::ReduceFrom(prepared, i);
            benchmark::DoNotOptimize(iicheck::RunLibrary(reduced.Mdp(), variant, settings));
            ++calls;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        peak = bench::MemoryCounter::Stop();
    }
    seconds /= static_cast<double>(state.iterations());
    state.counters["initial_states"] = static_cast<double>(states);
    state.counters["library_calls"] = static_cast<double>(calls);
    state.counters["peak_bytes/transition"] = static_cast<double>(peak) / static_cast<double>(transitions);
    if (!shared) gEverySeconds[name] = seconds;
    if (shared && gEverySeconds.count(name) != 0) {
        state.counters["x_faster_than_every"] = gEverySeconds[name] / seconds;
    }
}

}  // namespace

// In this order: each format after the .tra/.lab of the same model.
BENCHMARK_CAPTURE(GeneratedModel, exact/tra, Format::Tra, Format::Tra)
    ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GeneratedModel, exact/drn, Format::Drn, Format::Tra)
    ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GeneratedModel, exact/umb, Format::Umb, Format::Tra)
    ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GeneratedModel, exact/umb.gz, Format::UmbGz, Format::Tra)
    ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GeneratedModel, binary64/tra, Format::Tra64, Format::Tra64)
    ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GeneratedModel, binary64/umb, Format::Umb64, Format::Tra64)
    ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ConsensusFromFile)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LyingHeader)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ExpectedReward)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LongProbability)
    ->Arg(25'000)->Arg(100'000)->Arg(400'000)->Arg(1'600'000)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ManyFractions)
    ->Arg(2'500)->Arg(10'000)->Arg(40'000)->Arg(160'000)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ManyLabels)
    ->Arg(4'000)->Arg(16'000)->Arg(64'000)->Arg(256'000)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ManyDrnLabels)
    ->Arg(31'250)->Arg(125'000)->Arg(500'000)->Arg(2'000'000)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);

// Each model with a call for every initial state, then shared.
BENCHMARK_CAPTURE(AllInitialStates, firewire_abst_d200/every, "firewire_abst_d200", false)
    ->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(AllInitialStates, firewire_abst_d200/shared, "firewire_abst_d200", true)
    ->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(AllInitialStates, brp_N64_MAX4/every, "brp_N64_MAX4", false)
    ->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(AllInitialStates, brp_N64_MAX4/shared, "brp_N64_MAX4", true)
    ->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
