#!/usr/bin/env bash
# End-to-end HTTP/1.1 server benchmark: vantric.server against uvicorn (and a
# canned-response asyncio ceiling) under wrk on loopback, then a profile of
# vantric.server under the GET load.  Arguments go to bench/e2e/bench.py
# (--rounds, --duration, --connections, --no-profile, ...).
#
# By default the package is built and installed into .venv first, as
# scripts/run.sh does.  With PYTHONPATH set in the environment (for example a
# development shim over the checkout) that install is skipped and the
# package is imported from there.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/apt-install.sh wrk linux-perf util-linux

scripts/setup.sh
.venv/bin/python -m pip install -q -r requirements-bench.txt
if [[ -z "${PYTHONPATH:-}" ]]; then
  .venv/bin/python -m pip install -q --no-build-isolation -C build-dir=build/release .
fi

if [[ $(nproc) -lt 2 ]]; then
  echo "needs 2 CPUs: the servers run on CPU 0, wrk on CPU 1" >&2
  exit 1
fi

exec .venv/bin/python bench/e2e/bench.py --profile "$@"
