#!/usr/bin/env bash
# Runs the smoke script (every method once, persist, reopen, vacuum) under valgrind's memcheck
# with korvane built with debug information into build/valgrind. Fails on any memory error and
# on memory definitely lost. PYTHONMALLOC=malloc sends every Python allocation through malloc so
# that memcheck sees them; tests/tools/python.supp silences the interpreter's own noise.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${KORVANE_PYTHON:-.venv/bin/python}
BUILD=build/valgrind

cmake -S . -B "$BUILD" -G Ninja -DKORVANE_MODULE=ON -DPython_EXECUTABLE="$PWD/$PY" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" >/dev/null

PYTHONMALLOC=malloc PYTHONPATH="$BUILD" valgrind --quiet --tool=memcheck --error-exitcode=1 \
  --num-callers=40 --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --suppressions=tests/tools/python.supp "$PY" tests/tools/smoke.py
