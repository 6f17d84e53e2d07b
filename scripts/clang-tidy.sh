#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over the project's own sources -- driver/, platform/,
# sim/, sdk/ and tools/ as the host build compiles them, with their own headers -- one process per
# source, in parallel. Prints every finding and fails when there is one.
# Usage: scripts/clang-tidy.sh [BUILD_DIR] [FILE...]
#   BUILD_DIR  a configured build with compile_commands.json (default build/host)
#   FILE...    only these sources (as the compile database names them, relative to the tree)
# TOVRIK_TIDY_JOBS sets the number of parallel processes (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=build/host
if [ $# -gt 0 ]; then
  build=$1
  shift
fi
database="$build/compile_commands.json"
if [ ! -f "$database" ]; then
  echo "clang-tidy: no $database (configure first: cmake --preset host)" >&2
  exit 2
fi

if [ $# -gt 0 ]; then
  files=("$@")
else
  # Generated sources (under the build folder) and the tests are left out.
  mapfile -t files < <(jq -r '.[].file' "$database" | sed "s|^$root/||" |
    grep -E '^(driver|platform|sim|sdk|tools)/' | sort -u)
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "clang-tidy: no sources to check in $database" >&2
  exit 2
fi

jobs=${TOVRIK_TIDY_JOBS:-$(nproc)}
header_filter="^$root/(driver|platform|sim|sdk|tools|include)/"
started=$(date +%s)

# Each source's report is printed whole, after its process ends, so that parallel reports do not
# interleave; a finding is an error (WarningsAsErrors in .clang-tidy), so the process fails.
check_one() {
  local report
  if ! report=$(clang-tidy -p "$1" --quiet --header-filter="$2" "$3" 2>&1); then
    printf '%s\n' "$report" | grep -v ' warnings\? generated\.$' || true
    echo "clang-tidy: findings in $3" >&2
    return 1
  fi
}
export -f check_one

status=0
printf '%s\0' "${files[@]}" |
  xargs -0 -P "$jobs" -I{} bash -c 'check_one "$@"' _ "$build" "$header_filter" {} || status=$?

elapsed=$(($(date +%s) - started))
if [ "$status" -ne 0 ]; then
  echo "clang-tidy: FAILED (${#files[@]} sources, $jobs processes, ${elapsed} s)" >&2
  exit 1
fi
echo "clang-tidy: no findings (${#files[@]} sources, $jobs processes, ${elapsed} s)"
