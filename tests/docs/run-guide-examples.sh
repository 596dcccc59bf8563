#!/bin/sh
# Builds and runs the C and Python hosts of docs/guide.md, exactly as the
# guide shows them, against the built library.
#   run-guide-examples.sh SOURCE_DIR INCLUDE_DIR LIBRARY C_COMPILER
set -eu
source=$1
include=$2
library=$3
cc=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The fenced block whose info string is "LANGUAGE FILE".
extract() {
    awk -v open="\`\`\`$1 $2" 'index($0, "```") == 1 { if (inside) exit; if ($0 == open) { inside = 1; next } }
                                inside { print }' "$source/docs/guide.md" > "$work/$2"
    test -s "$work/$2"
}

extract c host.c
extract python host.py

echo "== host.c"
"$cc" -std=c11 -Wall -Wextra -Werror -I"$include" -o "$work/host" "$work/host.c" "$library" \
    -Wl,-rpath,"$(dirname "$library")"
"$work/host"

echo "== host.py"
python3 "$work/host.py" "$library"
