#!/bin/sh
# Checks the Python binding's type hints, installs it with pip into a fresh
# virtual environment (on the system's NumPy, SciPy and pytest, without
# network), then runs its tests and the guide's Python host against the
# built library.
#   run-python-tests.sh SOURCE_DIR LIBRARY PYTHON WORK_DIR
set -eu
source=$1
library=$2
python=$3
work=$4
rm -rf "$work"
mkdir -p "$work/package/bindings" "$work/package/include"
# pip builds in the package's folder: a copy keeps the checkout clean. The
# package takes its version from the header beside it.
cp -R "$source/bindings/python" "$work/package/bindings/"
cp "$source/include/IntervalIteration.h" "$work/package/include/"
"$python" -m mypy --strict --cache-dir=/dev/null "$work/package/bindings/python/intervaliteration"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-build-isolation \
    "$work/package/bindings/python"

export INTERVAL_ITERATION_LIBRARY="$library" PYTHONDONTWRITEBYTECODE=1
cd "$work"
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$source/bindings/python/tests"
sh "$source/tests/docs/run-guide-examples.sh" "$source" "$library" python "$work/venv/bin/python"
