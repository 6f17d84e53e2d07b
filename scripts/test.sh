#!/usr/bin/env bash
# Checks the formatting of every source, builds everything (host kernel build, the sanitizer
# build, and the Windows cross build of tovrik.sys, the SDK DLL and the tool) and runs every test
# (the fault tests, label "faults", among them), then builds the fuzz targets and runs each for a
# short fixed time.
# Usage: scripts/test.sh [--no-asan] [--no-fuzz]
# TOVRIK_FUZZ_SECONDS sets the time of each fuzz target (default 45).
set -euo pipefail
cd "$(dirname "$0")/.."

run_asan=1
run_fuzz=1
for argument in "$@"; do
  case "$argument" in
    --no-asan) run_asan=0 ;;
    --no-fuzz) run_fuzz=0 ;;
    *) echo "usage: scripts/test.sh [--no-asan] [--no-fuzz]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh
jobs=$(nproc)

echo "== format"
scripts/check-format.sh

# clang-tidy needs only the host preset's compile database, so it runs before the builds: a
# finding fails the command.
echo "== clang-tidy"
cmake --preset host >/dev/null
scripts/clang-tidy.sh build/host

build_and_test() {
  local preset=$1
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

build_and_test host
build_and_test windows
if [ "$run_asan" -eq 1 ]; then
  build_and_test asan
fi
if [ "$run_fuzz" -eq 1 ]; then
  echo "== fuzz"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  scripts/fuzz.sh --seconds "${TOVRIK_FUZZ_SECONDS:-45}"
fi
