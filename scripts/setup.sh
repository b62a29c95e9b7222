#!/usr/bin/env bash
# Installs what one of korvane's commands needs, skipping what is already there: Debian packages
# through apt-get, then a CPython virtual environment (.venv) and, where PyPy is needed, a PyPy
# one (.venv-pypy) with the Python packages. The argument names the command:
#   demo   building korvane into .venv (the demo and the benchmark add their own packages)
#   wheel  building the sdist and the wheels for CPython and PyPy, and repairing the wheels
#   test   (the default) all of the above, the C++ test and memory-check tools, the test packages
# KORVANE_SKIP_PYPY=1 leaves PyPy out.
set -euo pipefail
cd "$(dirname "$0")/.."
WHAT=${1:-test}

# Building the module: the compiler and build tools, the three libraries, the Python headers.
BUILD_DEBS=(g++ cmake ninja-build libroaring-dev nlohmann-json3-dev libabsl-dev python3-dev python3-venv)
PYPY_DEBS=(pypy3 pypy3-dev pypy3-venv)
PYPY=1
case $WHAT in
  demo)  DEBS=("${BUILD_DEBS[@]}"); REQS=requirements-build.txt; PYPY=0 ;;
  wheel) DEBS=("${BUILD_DEBS[@]}" "${PYPY_DEBS[@]}"); REQS=requirements-wheel.txt ;;
  test)  DEBS=("${BUILD_DEBS[@]}" "${PYPY_DEBS[@]}" libgtest-dev valgrind); REQS=requirements-dev.txt ;;
  *) echo "usage: $0 [demo|wheel|test]" >&2; exit 2 ;;
esac
if [ "${KORVANE_SKIP_PYPY:-0}" = 1 ]; then PYPY=0; fi

missing=()
for p in "${DEBS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== apt-get install ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
make_venv() {  # make_venv DIR INTERPRETER
  local dir=$1 interp=$2
  if [ ! -x "$dir/bin/python" ]; then
    echo "== creating $dir with $interp"
    "$interp" -m venv "$dir"
  fi
  "$dir/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$dir/bin/python" -m pip install -q -r "$REQS"
}
make_venv .venv "$PY"
if [ "$PYPY" = 1 ]; then
  make_venv .venv-pypy pypy3
fi
