#!/usr/bin/env bash
# The project's main job: build and install the package, then run it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pip install -q --no-build-isolation -C build-dir=build/release .
exec .venv/bin/python examples/demo.py "$@"
