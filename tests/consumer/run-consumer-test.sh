#!/bin/sh
# Builds and runs small consumers against an installed IntervalIteration,
# once through CMake's find_package and once through pkg-config:
#   run-consumer-test.sh SOURCE_DIR C_COMPILER CXX_COMPILER --build BUILD_DIR
#       installs BUILD_DIR into a temporary prefix first;
#   run-consumer-test.sh SOURCE_DIR C_COMPILER CXX_COMPILER --prefix PREFIX
#       uses what is installed under PREFIX.
set -eu
source=$1
cc=$2
cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
case $4 in
--build)
    prefix=$work/prefix
    cmake --install "$5" --prefix "$prefix" >/dev/null
    ;;
--prefix) prefix=$5 ;;
*) echo "expected --build or --prefix" >&2; exit 2 ;;
esac

echo "== find_package"
cmake -S "$source/tests/consumer" -B "$work/with-cmake" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/with-cmake" >/dev/null
"$work/with-cmake/consumer"
"$work/with-cmake/consumer-cpp"

echo "== pkg-config"
pcfile=$(find "$prefix" -name IntervalIteration.pc)
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pcfile")
libdir=$(pkg-config --variable=libdir IntervalIteration)
# shellcheck disable=SC2046
"$cc" -o "$work/with-pkg-config" "$source/tests/consumer/consumer.c" \
    $(pkg-config --cflags --libs IntervalIteration) -Wl,-rpath,"$libdir"
"$work/with-pkg-config"

echo "== SONAME"
objdump -p "$libdir/libIntervalIteration.so" | grep -q "SONAME *libIntervalIteration.so.1"
