#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need on a fresh
# Debian 12 machine (idempotent; safe to run again).
#
# The virtual environment is .venv on python3 unless PYTHON (an interpreter)
# and VENV (a directory) say otherwise: scripts/test.sh makes one per
# supported interpreter that way.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(build-essential binutils python3-dev python3-venv pkg-config libgtest-dev libnghttp2-dev clang libclang-rt-14-dev curl nghttp2-client nghttp2-server clang-format)
scripts/apt-install.sh "${APT_PACKAGES[@]}"

PYTHON="${PYTHON:-python3}"
VENV="${VENV:-.venv}"
# make_venv DIR: a virtual environment with the build, test and packaging requirements.
make_venv() {
  local dir="$1"
  if [[ ! -x "$dir/bin/python" ]]; then
    "$PYTHON" -m venv "$dir"
    "$dir/bin/python" -m pip install -q --upgrade pip
  fi
  "$dir/bin/python" -m pip install -q -r requirements-dev.txt -r requirements-packaging.txt
}
make_venv "$VENV"
