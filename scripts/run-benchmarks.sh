#!/bin/sh
# Runs the benchmark suite (every variant and layout, the floor, generated
# and real models) and writes the ratios into docs/performance.md, then the
# benchmark of iicheck's reductions (its own section of the same file). Takes
# about an hour; extra arguments go to the library's benchmark program.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target IntervalIterationBenchmark ReductionBenchmark
./build/bench/IntervalIterationBenchmark --benchmark_repetitions=5 \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.5 \
    --report=docs/performance.md "$@"
./build/bench/ReductionBenchmark --report=docs/performance.md
