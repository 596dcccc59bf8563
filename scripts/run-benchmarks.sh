#!/bin/sh
# Runs the benchmark suite (every variant and layout, the floor, generated
# and real models) and writes the ratios into docs/performance.md. Takes
# about half an hour; extra arguments go to the benchmark program.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target IntervalIterationBenchmark
./build/bench/IntervalIterationBenchmark --benchmark_repetitions=5 \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.5 \
    --report=docs/performance.md "$@"
