#!/usr/bin/env bash
# Runs the fuzz targets of the fuzz preset (cmake --preset fuzz && cmake --build --preset fuzz),
# each for a fixed time or number of runs, from a copy of its seed corpus with the request-code
# dictionary. A crash, leak, time-out or host verifier finding stops the target: its input is
# written to build/fuzz/findings/<target>/ (keep it under fuzz/regressions/<target>/ with a name
# that says what it found, so the normal test build replays it). Prints each target's executions,
# executions per second and corpus size.
# --keep-going fuzzes on past findings (libFuzzer's fork mode; each finding is still written),
# for long runs while known faults are still open.
# Usage: scripts/fuzz.sh [--seconds N | --runs N] [--keep-going] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=60)
mode=()
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) limit=(-max_total_time="$2"); shift 2 ;;
    --runs) limit=(-runs="$2"); shift 2 ;;
    --keep-going) mode=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1); shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  targets=(intel_hex descriptors ioctl_sequence)
fi

build=build/fuzz/fuzz
failed=0
for target in "${targets[@]}"; do
  program="$build/$target"
  if [ ! -x "$program" ]; then
    echo "fuzz: $program is not built (cmake --preset fuzz && cmake --build --preset fuzz)" >&2
    exit 2
  fi
  work="build/fuzz/work/$target"
  findings="build/fuzz/findings/$target"
  rm -rf "$work"
  mkdir -p "$work" "$findings"
  cp fuzz/corpus/"$target"/* "$work"/
  log="build/fuzz/$target.log"
  echo "== fuzz $target (${limit[*]})"
  start=$(date +%s.%N)
  set +e
  # One input must end within 30 s (a hang is a finding); memory is capped at 2 GiB per input.
  # The process-wide leak scan is off, both libFuzzer's during the run (-detect_leaks=0) and
  # LeakSanitizer's at exit (ASAN_OPTIONS): the bench keeps its last camera, its bus threads and
  # their thread-local records alive until the process ends, and what the driver leaves behind
  # is the host kernel's check after every input.
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$program" "$work" -dict=fuzz/dictionaries/tovrik.dict "${limit[@]}" "${mode[@]}" -timeout=30 \
    -rss_limit_mb=2048 -malloc_limit_mb=2048 -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$findings/" >"$log" 2>&1
  status=$?
  set -e
  end=$(date +%s.%N)
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
  if [ -z "$runs" ]; then
    # Fork mode: the parent's last progress line counts every job's executions.
    runs=$(grep -o '^#[0-9]*' "$log" | tr -d '#' | tail -1 || true)
  fi
  runs=${runs:-0}
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.0f", b - a }')
  rate=$(awk -v n="$runs" -v a="$start" -v b="$end" 'BEGIN { printf "%.0f", n / (b - a) }')
  echo "fuzz $target: $runs executions in $seconds s ($rate per second), corpus $(ls "$work" | wc -l) inputs, $(ls "$findings" | wc -l) findings kept in $findings, exit $status"
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "fuzz $target found something; the end of its log ($log):" >&2
    tail -40 "$log" >&2
    ls -l "$findings" >&2
  fi
done
exit "$failed"
