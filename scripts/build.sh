#!/usr/bin/env bash
# Builds and installs korvane into the given virtual environment (default .venv).
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${1:-.venv}
echo "== building korvane for $("$VENV/bin/python" -c 'import sys; print(sys.implementation.name, sys.version.split()[0])')"
"$VENV/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps .
