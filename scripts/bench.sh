#!/usr/bin/env bash
# The benchmark: korvane against SQLite, scikit-learn's BallTree and DuckDB, same data, same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
.venv/bin/python -m pip install -q -r bench/requirements.txt
scripts/build.sh .venv
.venv/bin/python bench/bench.py --reopen-points 10000000 "$@"
# The result hand-off under both interpreters (PyPy's venv comes with `make test`'s set-up).
if [ -x .venv-pypy/bin/python ]; then
  scripts/build.sh .venv-pypy
  .venv/bin/python bench/pypy_bench.py
fi
