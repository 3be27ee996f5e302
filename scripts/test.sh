#!/usr/bin/env bash
# The whole test suite: C++ core tests (under AddressSanitizer and
# UndefinedBehaviorSanitizer), the Python suite against the extension, the
# Python suite again against a sanitizer build of the extension, and a short
# run of every fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
scripts/setup.sh
JOBS="${JOBS:-2}"
FUZZ_SECONDS="${FUZZ_SECONDS:-20}"

section() { printf '\n=== %s ===\n' "$*"; }

section "C++ core tests (ASan + UBSan)"
cmake -S . -B build/core-tests -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DVANTRIC_BUILD_TESTS=ON -DVANTRIC_SANITIZE=ON >/dev/null
cmake --build build/core-tests -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/core-tests --output-on-failure -j"$JOBS"

section "Python suite"
.venv/bin/python -m pip install -q --no-build-isolation \
  -C cmake.define.VANTRIC_TEST_HOOKS=ON -C build-dir=build/py-tests .
.venv/bin/python -m pytest -q tests/py

section "Python suite against the ASan + UBSan build"
if [[ ! -x .venv-asan/bin/python ]]; then
  "${PYTHON:-python3}" -m venv .venv-asan
fi
.venv-asan/bin/python -m pip install -q -r requirements-dev.txt
.venv-asan/bin/python -m pip install -q --no-build-isolation \
  -C cmake.build-type=Debug -C cmake.define.VANTRIC_TEST_HOOKS=ON \
  -C cmake.define.VANTRIC_SANITIZE=ON -C build-dir=build/py-asan .
# The interpreter is not instrumented, so the runtime is preloaded, together
# with the C++ runtime whose exception entry point ASan must find at start-up;
# the interpreter's own allocator is bypassed so ASan sees every object.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  .venv-asan/bin/python -m pytest -q -p no:cacheprovider tests/py

section "Fuzzers (${FUZZ_SECONDS}s each)"
if compgen -G "fuzz/*_fuzzer.cpp" >/dev/null; then
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTRIC_BUILD_FUZZERS=ON >/dev/null
  cmake --build build/fuzz -j"$JOBS"
  for src in fuzz/*_fuzzer.cpp; do
    name="$(basename "$src" .cpp)"
    corpus="fuzz/corpus/${name%_fuzzer}"
    work="build/fuzz/corpus-$name"
    mkdir -p "$work"
    seeds=()
    [[ -d "$corpus" ]] && seeds+=("$corpus")
    echo "--- $name"
    "build/fuzz/$name" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -timeout=10 \
      -print_final_stats=1 "$work" "${seeds[@]}" 2>&1 | tail -n 3
  done
else
  echo "no fuzzers"
fi

section "all tests passed"
