#!/bin/sh
# The version is set once, in the public header; the CMake package, the
# pkg-config file, the library's file name and SONAME, iicheck --version and
# the newest section of the changelog must all say the same.
#   check-versions.sh SOURCE_DIR BUILD_DIR IICHECK LIBRARY
set -eu
source=$1
build=$2
iicheck=$3
library=$4

part() {
    sed -n "s/^#define INTERVAL_ITERATION_VERSION_$1 \([0-9][0-9]*\)\$/\1/p" \
        "$source/include/IntervalIteration.h"
}
major=$(part MAJOR)
version=$major.$(part MINOR).$(part PATCH)
echo "header                $version"

failures=0
check() {
    printf '%-21s %s\n' "$1" "$2"
    if [ "$2" != "$version" ]; then
        echo "  differs from the header's $version"
        failures=$((failures + 1))
    fi
}

check "CMake package" "$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' \
    "$build/IntervalIterationConfigVersion.cmake")"
check "pkg-config" "$(PKG_CONFIG_PATH="$build" pkg-config --modversion IntervalIteration)"
real=$(basename "$(readlink -f "$library")")
check "library file" "${real#libIntervalIteration.so.}"
soname=$(objdump -p "$library" | sed -n 's/^ *SONAME *libIntervalIteration\.so\.//p')
check "SONAME (major)" "$soname${version#"$major"}"
line=$("$iicheck" --version)
check "iicheck" "$(echo "$line" | sed -n 's/^iicheck \([^ ]*\) .*/\1/p')"
check "iicheck's header" "$(echo "$line" | sed -n 's/.*built with IntervalIteration \([^)]*\))$/\1/p')"
check "changelog" "$(sed -n 's/^## \([0-9][^ ]*\).*/\1/p' "$source/CHANGELOG.md" | head -n 1)"
exit "$failures"
