#!/usr/bin/env bash
# The main command: installs what is missing, builds the tovrik tool (host-release), plugs in a
# simulated Tovrik 318QX that arrives without firmware, brings it up (firmware download,
# renumeration, start), captures one frame with a chunked read into out/demo/frame.png (and
# frame.raw), runs a short isochronous stream into out/demo/stream.bin and prints the summary.
#
# Usage: scripts/demo.sh [--clock-scale F] [--packets N] [--out DIR] [--build-dir DIR]
#   --clock-scale F  the camera's time runs F times faster than real time (default 1: the
#                    driver's multi-second start-up delays take their real time)
#   --packets N      packets of the isochronous stream (default 2000)
#   --out DIR        where the files go (default out/demo)
#   --build-dir DIR  build folder (default build/host-release, the preset's)
set -euo pipefail
cd "$(dirname "$0")/.."

clock_scale=1
packets=2000
out_dir=out/demo
build_dir=build/host-release
usage() { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --clock-scale) [ $# -ge 2 ] || usage; clock_scale=$2; shift 2 ;;
    --packets) [ $# -ge 2 ] || usage; packets=$2; shift 2 ;;
    --out) [ $# -ge 2 ] || usage; out_dir=$2; shift 2 ;;
    --build-dir) [ $# -ge 2 ] || usage; build_dir=$2; shift 2 ;;
    -h|--help) usage ;;
    *) echo "demo.sh: unknown argument '$1'" >&2; usage ;;
  esac
done

echo "== Installing what is missing"
scripts/install-deps.sh

echo "== Building the tovrik tool ($build_dir)"
jobs=${JOBS:-$(nproc)}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake --preset host-release -B "$build_dir" >/dev/null
fi
cmake --build "$build_dir" --target tovrik_cli_exe -j "$jobs"
tool="$build_dir/tools/tovrik/tovrik"

mkdir -p "$out_dir"
rm -f "$out_dir/frame.png" "$out_dir/frame.raw" "$out_dir/stream.bin"

echo
echo "== One simulated camera without firmware, brought up; a frame and a stream"
echo "   (camera time runs ${clock_scale}x real time; the start-up delays are part of the wait)"
started=$(date +%s.%N)
# One world for all the lines: the camera is plugged in, takes its firmware and comes back once.
# The USB 2.0 high-speed timing paces the stream as the bus would (one packet per microframe).
"$tool" --sim-clock-scale "$clock_scale" --sim-timing high-speed shell --human <<COMMANDS
list
pipes
capture --method chunked --output $out_dir/frame.png --raw $out_dir/frame.raw
stream --packets $packets --ring 1024 --output $out_dir/stream.bin
COMMANDS
finished=$(date +%s.%N)

echo "== Summary"
for f in "$out_dir/frame.png" "$out_dir/frame.raw" "$out_dir/stream.bin"; do
  [ -s "$f" ] || { echo "demo.sh: $f was not written" >&2; exit 1; }
  printf '  %-24s %10d bytes\n' "$f" "$(stat -c %s "$f")"
done
printf '  wall time with the camera  %.1f s (bring-up, capture and stream)\n' \
  "$(echo "$finished - $started" | bc -l 2>/dev/null || awk "BEGIN { print $finished - $started }")"
echo "  Open $out_dir/frame.png in any image viewer (16-bit grayscale, 1280 x 960)."
