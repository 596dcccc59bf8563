#!/bin/sh
# Builds and runs the hosts of docs/guide.md in one language (the
# probability host and the expected-reward host), exactly as the guide shows
# them, against the built library:
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
    for name in host rewards; do
        extract c $name.c
        echo "== $name.c"
        "$tool" -std=c11 -Wall -Wextra -Werror -I"$include" -o "$work/$name" "$work/$name.c" \
            "$library" -Wl,-rpath,"$libdir"
        "$work/$name"
    done
    ;;
cpp)
    for name in host rewards; do
        extract cpp $name.cpp
        for standard in c++17 c++20; do
            echo "== $name.cpp as $standard"
            "$tool" -std=$standard -Wall -Wextra -Werror -I"$include" -o "$work/$name" \
                "$work/$name.cpp" "$library" -Wl,-rpath,"$libdir"
            "$work/$name"
        done
    done
    ;;
python)
    for name in host rewards; do
        extract python $name.py
        echo "== $name.py"
        PYTHONDONTWRITEBYTECODE=1 "$tool" "$work/$name.py" "$library"
    done
    ;;
java)
    for name in Host Rewards; do
        extract java $name.java
        echo "== $name.java"
        javac -Xlint:all -Werror -d "$work/classes" -cp "$tool" \
            "$source/bindings/java/intervaliteration/IntervalIteration.java" "$work/$name.java"
        java -cp "$tool:$work/classes" $name "$library"
    done
    ;;
*)
    echo "unknown language $language" >&2
    exit 2
    ;;
esac
