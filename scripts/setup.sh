#!/usr/bin/env bash
# Installs what building and testing korvane needs, skipping what is already there:
# Debian packages through apt-get, then a CPython and a PyPy virtual environment with the
# Python packages, and korvane built into each.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBS=(g++ cmake ninja-build pkg-config libroaring-dev nlohmann-json3-dev libabsl-dev libgtest-dev
      pypy3 pypy3-dev pypy3-venv valgrind)
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
  "$dir/bin/python" -m pip install -q -r requirements-dev.txt
}
make_venv .venv "$PY"
if [ "${KORVANE_SKIP_PYPY:-0}" != 1 ]; then
  make_venv .venv-pypy pypy3
fi
