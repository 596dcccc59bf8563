#!/bin/sh
# Builds the libFuzzer targets with Clang and runs each for a bounded time
# (seconds, default 30) on its checked-in seed corpus.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DINTERVAL_ITERATION_FUZZ=ON \
    -DINTERVAL_ITERATION_BUILD_TESTS=OFF -DINTERVAL_ITERATION_BUILD_BENCHMARKS=OFF \
    -DINTERVAL_ITERATION_WERROR=ON >/dev/null
for target in fuzz/corpus/*; do
    name=$(basename "$target")
    cmake --build build-fuzz -j "$(nproc)" --target "${name}Fuzzer"
    work=$(mktemp -d)
    echo "== fuzzing $name for $seconds s"
    # New inputs go to the scratch directory; the seeds stay as they are.
    ./build-fuzz/fuzz/"${name}Fuzzer" -max_total_time="$seconds" -timeout=10 \
        -artifact_prefix=build-fuzz/ -print_final_stats=1 "$work" "$target"
    rm -rf "$work"
done
