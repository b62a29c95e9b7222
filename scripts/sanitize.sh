#!/usr/bin/env bash
# Builds korvane with AddressSanitizer, UndefinedBehaviorSanitizer and the standard library's
# assertions (-D_GLIBCXX_ASSERTIONS) into build/asan and runs
# the pytest suite against it under CPython, with the sanitizer runtimes preloaded into the
# (unsanitized) interpreter. Leak detection is off: the interpreter itself keeps memory to the
# end. Campaigns run at their small size. Fails if a test fails or any process reports.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${KORVANE_PYTHON:-.venv/bin/python}
BUILD=build/asan

cmake -S . -B "$BUILD" -G Ninja -DKORVANE_MODULE=ON -DKORVANE_SANITIZE=ON \
  -DPython_EXECUTABLE="$PWD/$PY" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" >/dev/null

# AddressSanitizer writes its reports to files, so that one from a child process whose output a
# test does not look at (a killed writer, a reopen in a subprocess) still fails the run.
# UndefinedBehaviorSanitizer ignores log_path when loaded beside ASan: it halts the process
# that hits it, with the report on stderr.
REPORTS="$PWD/$BUILD/reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

status=0
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$REPORTS/asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
KORVANE_SMALL=1 PYTHONPATH="$BUILD" \
  "$PY" -m pytest -q -p no:cacheprovider "$@" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
  echo "== sanitizer reports:"
  for f in "$REPORTS"/*; do
    echo "-- $f"
    cat "$f"
  done
  status=1
fi
exit $status
