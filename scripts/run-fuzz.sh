#!/bin/sh
# Builds the libFuzzer targets with Clang, runs every checked-in seed once at
# its full length (the worst-case inputs among them must stay fast), then
# fuzzes each target for a bounded time (seconds, default 30) from its seeds
# with inputs of at most 64 KiB, so that the mutations stay quick.
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
    echo "== $name: every seed once"
    ./build-fuzz/fuzz/"${name}Fuzzer" -timeout=10 -rss_limit_mb=4096 "$target"/*
    echo "== fuzzing $name for $seconds s"
    # New inputs go to the scratch directory; the seeds stay as they are.
    ./build-fuzz/fuzz/"${name}Fuzzer" -max_total_time="$seconds" -timeout=10 -max_len=65536 \
        -artifact_prefix=build-fuzz/ -print_final_stats=1 "$work" "$target"
    rm -rf "$work"
done
