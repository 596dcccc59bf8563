#!/bin/sh
# Configures, builds and tests one configuration:
#   build-and-test.sh BUILD_DIR C_COMPILER CXX_COMPILER BUILD_TYPE [CMAKE_ARGS...]
# BUILD_TYPE RelWithDebInfo is the shipped -O2, Release is -O3. Warnings are
# errors here (a developer's build), not in a distribution's.
set -eu
build_dir=$1
c_compiler=$2
cxx_compiler=$3
build_type=$4
shift 4
echo "== $build_dir: $cxx_compiler, $build_type $*"
cmake -S . -B "$build_dir" -DCMAKE_C_COMPILER="$c_compiler" -DCMAKE_CXX_COMPILER="$cxx_compiler" \
    -DCMAKE_BUILD_TYPE="$build_type" -DINTERVAL_ITERATION_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" -j "$(nproc)" --output-on-failure
