#!/usr/bin/env bash
# The main job: installs what is missing, builds, loads real places and answers a few questions.
set -euo pipefail
cd "$(dirname "$0")/.."
KORVANE_SKIP_PYPY=1 scripts/setup.sh
.venv/bin/python -m pip install -q -r bench/requirements.txt
scripts/build.sh .venv
.venv/bin/python examples/demo.py "$@"
