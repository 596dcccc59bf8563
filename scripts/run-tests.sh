#!/bin/sh
# Builds the library and every test, and runs them all: with GCC and with
# Clang, at the shipped optimisation level (-O2) and at -O3; then under
# AddressSanitizer and UndefinedBehaviorSanitizer; then the fuzz targets for
# a bounded time. The first configuration also tests the Python and Java
# bindings, the lean build and the release packages.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-dependencies.sh
./scripts/build-and-test.sh build gcc g++ RelWithDebInfo -DINTERVAL_ITERATION_TEST_BINDINGS_AND_PACKAGES=ON
./scripts/build-and-test.sh build-clang clang clang++ RelWithDebInfo
./scripts/build-and-test.sh build-gcc-O3 gcc g++ Release
./scripts/build-and-test.sh build-clang-O3 clang clang++ Release
./scripts/build-and-test.sh build-sanitize gcc g++ RelWithDebInfo -DINTERVAL_ITERATION_SANITIZE=ON
./scripts/run-fuzz.sh 30
