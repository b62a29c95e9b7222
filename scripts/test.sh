#!/usr/bin/env bash
# Runs every test: the C++ unit tests (the store's also under ThreadSanitizer), then the Python suite under CPython and under PyPy, under
# the sanitizers, a smoke script under valgrind, and the wheels: built, repaired and used where
# the system's libraries are out of reach.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

echo "== the include order of src/ folders"
python3 scripts/check_layers.py

echo "== C++ unit tests"
cmake -S . -B build/cpp-tests -G Ninja -DKORVANE_CPP_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp-tests >/dev/null
ctest --test-dir build/cpp-tests --output-on-failure

echo "== the engine's own threads (add_many, persist beside add) under ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DKORVANE_CPP_TESTS=ON -DKORVANE_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build/tsan --target store_test >/dev/null
TSAN_OPTIONS=halt_on_error=1 build/tsan/store_test

status=0
scripts/build.sh .venv
echo "== pytest under CPython"
.venv/bin/python -m pytest -q -p no:cacheprovider "$@" || status=$?
if [ "${KORVANE_SKIP_PYPY:-0}" != 1 ]; then
  scripts/build.sh .venv-pypy
  echo "== pytest under PyPy"
  KORVANE_SMALL=1 .venv-pypy/bin/python -m pytest -q -p no:cacheprovider "$@" || status=$?
fi
echo "== pytest under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/sanitize.sh "$@" || status=$?
echo "== valgrind memcheck of the smoke script"
scripts/valgrind.sh || status=$?
echo "== the sdist and the wheels"
KORVANE_SETUP_DONE=1 scripts/wheel.sh || status=$?
exit $status
