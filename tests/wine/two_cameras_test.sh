#!/usr/bin/env bash
# Two cameras that arrive without firmware at the same time: the driver brings both up (two
# downloads, two renumerations), each gets its own device name, and both answer and deliver
# frames independently.
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/harness.sh"
need_tool "$JQ" jq
harness_up 2 foreign

state=$(bus_state)
for port in 0 1; do
  expect_eq "port $port: devices it had (the camera before and after its download)" 2 \
    "$("$JQ" -r ".ports[] | select(.port == $port) | .connections" <<<"$state")"
  expect_eq "port $port: devices the PnP manager removed (the one that left)" 1 \
    "$("$JQ" -r ".ports[] | select(.port == $port) | .removals" <<<"$state")"
done
lane_tool --json list | unix_lines >"$WORK/list.json"
expect_eq "exit code of list" 0 "$?"
for device in 0 1; do
  lane_tool --device "$device" --json info | unix_lines >"$WORK/info$device.json"
  expect_eq "device $device: exit code of info" 0 "$?"
  expect_eq "device $device: idProduct" 0x0E15 "$("$JQ" -r .device_descriptor.idProduct "$WORK/info$device.json")"
  (cd "$WORK" && lane_tool --device "$device" --json capture --method chunked --raw "frame$device.raw" |
    unix_lines >"capture$device.json")
  expect_eq "device $device: bytes of a chunked capture" 2457600 "$("$JQ" -r .bytes "$WORK/capture$device.json")"
done
# Two cameras of the same model, each on its first frame: the same picture twice, read through
# two separate devices.
expect_true "both cameras delivered their first frame" cmp -s "$WORK/frame0.raw" "$WORK/frame1.raw"
serials=$("$JQ" -r '.strings[] | select(.role == "serial") | .text' "$WORK/info0.json" "$WORK/info1.json" | wc -l)
expect_eq "serial numbers read (one per camera)" 2 "$serials"
