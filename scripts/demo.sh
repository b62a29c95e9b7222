#!/usr/bin/env bash
# The main job: installs what is missing, builds, loads real places and answers a few questions.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
.venv/bin/python -m pip install -q -r examples/requirements.txt
scripts/build.sh .venv
.venv/bin/python examples/demo.py "$@"
