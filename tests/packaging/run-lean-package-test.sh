#!/bin/sh
# The lean build: with the test and benchmark packages unavailable, the
# library and iicheck configure, build and package; the Debian package,
# unpacked into a scratch root, holds an iicheck that checks its bundled
# model and a library that consumers build against.
#   run-lean-package-test.sh SOURCE_DIR C_COMPILER CXX_COMPILER PYTHON WORK_DIR
set -eu
source=$1
cc=$2
cxx=$3
python=$4
work=$5
rm -rf "$work"
mkdir -p "$work"
# Unused when nothing asks for them, which is the point: no warning about it.
unavailable="--no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"

echo "== as a subproject, tests and benchmarks are off by default"
# shellcheck disable=SC2086
cmake -S "$source/tests/packaging/subproject" -B "$work/subproject" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_CXX_COMPILER="$cxx" -DINTERVAL_ITERATION_SOURCE_DIR="$source" $unavailable >/dev/null
test ! -e "$work/subproject/CPackConfig.cmake"

echo "== lean build"
# shellcheck disable=SC2086
cmake -S "$source" -B "$work/build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DINTERVAL_ITERATION_BUILD_TESTS=OFF \
    -DINTERVAL_ITERATION_BUILD_BENCHMARKS=OFF -DINTERVAL_ITERATION_BUILD_EXAMPLES=OFF \
    $unavailable >/dev/null
cmake --build "$work/build" -j "$(nproc)" >/dev/null
(cd "$work/build" && cpack -G "TGZ;DEB" >/dev/null)

version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$work/build/IntervalIterationConfigVersion.cmake")
archive=$work/build/intervaliteration-$version-Linux.tar.gz
deb=$(ls "$work/build"/intervaliteration_"$version"_*.deb)

echo "== $(basename "$archive")"
tar -tzf "$archive" > "$work/archive.txt"
for file in bin/iicheck lib/libIntervalIteration.so.1 include/IntervalIteration.h \
        include/IntervalIteration.hpp lib/pkgconfig/IntervalIteration.pc \
        lib/cmake/IntervalIteration/IntervalIterationConfig.cmake \
        share/doc/IntervalIteration/LICENSE; do
    grep -q "/$file\$" "$work/archive.txt" || { echo "missing: $file"; exit 1; }
done

echo "== $(basename "$deb")"
test "$(dpkg-deb -f "$deb" Version)" = "$version"
dpkg-deb -f "$deb" Depends
root=$work/root
dpkg-deb -x "$deb" "$root"
cmp "$source/LICENSE" "$root/usr/share/doc/IntervalIteration/LICENSE"
"$root/usr/bin/iicheck" --version
"$root/usr/bin/iicheck" --quiet --json > "$work/bundled.json"
"$python" - "$work/bundled.json" <<'PYTHON'
import json, sys
from fractions import Fraction
run = json.load(open(sys.argv[1]))["runs"][0]
print("iicheck: [%r, %r] %s" % (run["lower"], run["upper"], run["status"]))
assert Fraction(run["lower"]) <= Fraction(10, 21) <= Fraction(run["upper"]), run
PYTHON
sh "$source/tests/consumer/run-consumer-test.sh" "$source" "$cc" "$cxx" --prefix "$root/usr"
