#!/bin/sh
# Builds the library and the command-line host, and checks the host's
# bundled model (a maximum with an end component and fractions; exact answer
# 10/21) with the default variant: safe rounding, AVX-512 when available.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target iicheck
./build/host/iicheck "$@"
