#!/usr/bin/env bash
# The project's main job: build and install the package, then serve the demo
# application over HTTP/1.1 (http://127.0.0.1:8000/ by default; Ctrl-C stops).
# Arguments go to `python -m vantric serve`, e.g. --host 0.0.0.0 --port 8080.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pip install -q --no-build-isolation -C build-dir=build/release .
exec .venv/bin/python -m vantric serve "$@"
