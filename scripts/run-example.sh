#!/bin/sh
# Builds the library and runs the example host on its bundled model.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target ExampleHost
./build/examples/ExampleHost
