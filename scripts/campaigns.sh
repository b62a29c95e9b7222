#!/usr/bin/env bash
# Reruns the seeded reliability campaigns (kill -9 during writes and vacuum, damaged files,
# fuzzed JSON texts, full disks) at full size under CPython and prints their counts as a table
# for the README. Options: --scale S ("small", or a factor of the full size; default 1), then
# pytest arguments. Builds korvane into build/campaigns.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${KORVANE_PYTHON:-.venv/bin/python}
BUILD=build/campaigns

cmake -S . -B "$BUILD" -G Ninja -DKORVANE_MODULE=ON -DPython_EXECUTABLE="$PWD/$PY" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" >/dev/null
PYTHONPATH="$PWD/$BUILD" "$PY" tests/tools/campaigns.py "$@"
