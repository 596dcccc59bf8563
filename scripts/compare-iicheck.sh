#!/bin/bash
# Times two iicheck binaries (say, before and after a change) on large
# generated models: processor seconds (user + system) and wall seconds of
# one run each, the default against --no-bisimulation for the second, with
# what the bisimulation did and the bounds. For docs/performance.md.
#
#   scripts/compare-iicheck.sh BEFORE_IICHECK AFTER_IICHECK IIGEN FOLDER
#
# writes the models into FOLDER (about 600 MB) unless they are there.
set -euo pipefail
if [ $# -ne 4 ]; then
    echo "usage: $0 BEFORE_IICHECK AFTER_IICHECK IIGEN FOLDER" >&2
    exit 1
fi
before=$(realpath "$1") after=$(realpath "$2") iigen=$(realpath "$3")
mkdir -p "$4" && cd "$4"
[ -f zn8.tra ] || "$iigen" --zeroconf 8 --binary64 zn8
[ -f c62.tra ] || "$iigen" --consensus 6 2 c62
[ -f r10.tra ] || "$iigen" r10
run() {  # label iicheck arguments...
    local label=$1
    shift
    /usr/bin/time -f "%U %S %e" -o times.txt "$@" --json --quiet > run.json 2> /dev/null || true
    read -r user system wall < <(tail -n 1 times.txt)
    /usr/bin/python3 - "$label" "$user" "$system" "$wall" <<'PYTHON'
import json, sys
label, user, system, wall = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
document = json.load(open("run.json"))
property = document["properties"][0]
run = property["runs"][0]
b = property["bisimulation"]
quotient = "off" if b is None else f"{b['states']} states, {b['rounds']} rounds" + \
    (", stopped" + (f": {b['stop_reason']}" if b.get("stop_reason") else "") if b.get("stopped") else "")
print(f"| {label} | {user + system:.2f} | {wall} | {quotient} | {run['fpu']} {run['layout']} | "
      f"[{run['lower']!r}, {run['upper']!r}] |")
PYTHON
}
echo "| run | processor s | wall s | bisimulation | variant | bounds |"
echo "|---|---|---|---|---|---|"
for property in "zn8 --min --target target1" "zn8 --max --target target1" "c62 --max --target target2" \
                "r10 --max --target goal --max-iterations 100"; do
    # shellcheck disable=SC2086
    run "before: $property" "$before" $property
    # shellcheck disable=SC2086
    run "after: $property" "$after" $property
    # shellcheck disable=SC2086
    run "after, --no-bisimulation: $property" "$after" $property --no-bisimulation
done
