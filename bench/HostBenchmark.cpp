// The command-line host's reading and precomputation: the peak memory per
// transition of reading, precomputing and reducing a generated model of ten
// million transitions as iicheck does it, and the time of reading the
// worst-case inputs of each kind (one probability of very many digits, one
// choice of very many fractions over distinct large primes, a labels file of
// very many labels), at sizes growing by four, with the fitted complexity.
#include "MemoryCounter.hpp"
#include "ModelGenerator.hpp"
#include "Pipeline.hpp"

#include <benchmark/benchmark.h>
#include <gmp.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct StringSink {
    std::string Text;
    StringSink& operator<<(uint64_t value) {
        char digits[24];
        Text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        return *this;
    }
    StringSink& operator<<(const char* text) {
        Text += text;
        return *this;
    }
};

const char* const kLabels = "0=\"init\" 1=\"target\"\n0: 0\n1: 1\n";

// Reads and prepares the model as iicheck does it, once per benchmark
// iteration; reports the peak memory of that.
void Measure(benchmark::State& state, const std::string& tra, const std::string& lab,
             const char* target, uint64_t transitions) {
    std::size_t peak = 0;
    for (auto _ : state) {
        bench::MemoryCounter::Start();
        try {
            iicheck::CommandLine line;
            line.Target = target;
            benchmark::DoNotOptimize(iicheck::PrepareTexts(tra, "bench.tra", lab, "bench.lab", line));
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

void GeneratedModel(benchmark::State& state) {
    static StringSink tra;
    static StringSink lab;
    static iicheck::generator::Totals totals;
    if (tra.Text.empty()) {
        totals = iicheck::generator::WriteModel(static_cast<uint64_t>(state.range(0)), 1, tra, lab);
    }
    Measure(state, tra.Text, lab.Text, "goal", totals.Transitions);
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

// A labels file that declares N labels.
void ManyLabels(benchmark::State& state) {
    std::string lab = "0=\"init\" 1=\"target\"";
    for (int64_t i = 2; i < state.range(0); ++i) {
        lab += " " + std::to_string(i) + "=\"label" + std::to_string(i) + "\"";
    }
    lab += "\n0: 0\n1: 1\n";
    Measure(state, "2 1 1\n0 0 1 1\n", lab, "target", 0);
    state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK(GeneratedModel)->Arg(10'000'000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(LyingHeader)->Iterations(1)->Unit(benchmark::kMillisecond);
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

BENCHMARK_MAIN();
