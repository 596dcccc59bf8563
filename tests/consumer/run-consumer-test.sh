#!/bin/sh
# Installs the built library into a temporary prefix and builds and runs a
# small consumer against it, once through CMake's find_package and once
# through pkg-config.
#   run-consumer-test.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -eu
build=$1
source=$2
cc=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null

echo "== find_package"
cmake -S "$source/tests/consumer" -B "$prefix/with-cmake" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/with-cmake" >/dev/null
"$prefix/with-cmake/consumer"

echo "== pkg-config"
pcfile=$(find "$prefix" -name IntervalIteration.pc)
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pcfile")
libdir=$(pkg-config --variable=libdir IntervalIteration)
# shellcheck disable=SC2046
"$cc" -o "$prefix/with-pkg-config" "$source/tests/consumer/consumer.c" \
    $(pkg-config --cflags --libs IntervalIteration) -Wl,-rpath,"$libdir"
"$prefix/with-pkg-config"

echo "== SONAME"
objdump -p "$libdir/libIntervalIteration.so" | grep -q "SONAME *libIntervalIteration.so.1"
