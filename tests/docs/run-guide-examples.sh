#!/bin/sh
# Builds and runs a host of docs/guide.md, exactly as the guide shows it,
# against the built library:
#   run-guide-examples.sh SOURCE_DIR LIBRARY c C_COMPILER
#   run-guide-examples.sh SOURCE_DIR LIBRARY cpp CXX_COMPILER   (as C++17 and as C++20)
#   run-guide-examples.sh SOURCE_DIR LIBRARY python PYTHON      (with intervaliteration installed)
#   run-guide-examples.sh SOURCE_DIR LIBRARY java JNA_JAR       (with bindings/java)
set -eu
source=$1
library=$2
language=$3
tool=$4
include=$source/include
libdir=$(dirname "$library")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The fenced block whose info string is "LANGUAGE FILE".
extract() {
    awk -v open="\`\`\`$1 $2" 'index($0, "```") == 1 { if (inside) exit; if ($0 == open) { inside = 1; next } }
                                inside { print }' "$source/docs/guide.md" > "$work/$2"
    test -s "$work/$2"
}

case $language in
c)
    extract c host.c
    "$tool" -std=c11 -Wall -Wextra -Werror -I"$include" -o "$work/host" "$work/host.c" \
        "$library" -Wl,-rpath,"$libdir"
    "$work/host"
    ;;
cpp)
    extract cpp host.cpp
    for standard in c++17 c++20; do
        echo "== host.cpp as $standard"
        "$tool" -std=$standard -Wall -Wextra -Werror -I"$include" -o "$work/host" \
            "$work/host.cpp" "$library" -Wl,-rpath,"$libdir"
        "$work/host"
    done
    ;;
python)
    extract python host.py
    PYTHONDONTWRITEBYTECODE=1 "$tool" "$work/host.py" "$library"
    ;;
java)
    extract java Host.java
    javac -Xlint:all -Werror -d "$work/classes" -cp "$tool" \
        "$source/bindings/java/intervaliteration/IntervalIteration.java" "$work/Host.java"
    java -cp "$tool:$work/classes" Host "$library"
    ;;
*)
    echo "unknown language $language" >&2
    exit 2
    ;;
esac
