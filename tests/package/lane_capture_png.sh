#!/usr/bin/env bash
# The real driver under Wine's kernel (scripts/wine.sh) captures a frame into C:/f.png through the
# package's tovrik.exe, whose PNG goes through Windows' imaging component; the host tool captures
# the same frame from its simulated camera. Decoded with libpng on the host, the lane's PNG must
# hold exactly the host tool's pixels.
#
#   lane_capture_png.sh ROOT HOST_TOOL PNG_PIXELS WORK_DIR
set -u
root=$1
host_tool=$2
pixels=$3
work=$4
width=320
height=240
rm -rf "$work"
mkdir -p "$work"
if [ ! -x "$host_tool" ]; then
    echo "FAIL: no host tool at $host_tool: build the host preset first (scripts/test.sh does)"
    exit 1
fi
wine_dir=${TOVRIK_WINE_DIR:-$root/build/wine}
lane_png="$wine_dir/prefix/drive_c/f.png"
rm -f "$lane_png"

if ! "$root/scripts/wine.sh" --identity own -- capture --width "$width" --height "$height" \
    --output C:/f.png >"$work/lane.out" 2>&1; then
    cat "$work/lane.out"
    echo "FAIL: tovrik.exe capture --output C:/f.png failed under the lane"
    exit 1
fi
if [ ! -s "$lane_png" ]; then
    cat "$work/lane.out"
    echo "FAIL: the lane's capture reported success but wrote no $lane_png"
    exit 1
fi
cp "$lane_png" "$work/lane.png"

if ! "$host_tool" --sim-identity own --sim-clock-scale 200 capture --width "$width" --height "$height" \
    --output "$work/host.png" --raw "$work/host.raw" >"$work/host.out" 2>&1; then
    cat "$work/host.out"
    echo "FAIL: the host tool's capture failed"
    exit 1
fi
failures=0
for png in lane host; do
    if result=$("$pixels" compare "$work/$png.png" "$work/host.raw" "$width" "$height"); then
        echo "ok: $png PNG: $result"
    else
        echo "FAIL: $png PNG: $result"
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] && echo "the lane's PNG holds the host tool's pixels"
exit $((failures != 0))
