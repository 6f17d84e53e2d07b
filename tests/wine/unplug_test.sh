#!/usr/bin/env bash
# Surprise removal under the real driver on Wine: the camera is pulled out while a stream runs,
# and again (a fault of the bus) in the middle of a chunked read. Each time every request ends
# (the tool returns, the bus has nothing pending), the device goes (its PDO is removed, its name
# no longer opens), and the camera plugged back in comes back (a new download) and works.
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/harness.sh"
need_tool "$JQ" jq
harness_up 1 own

port_field() { bus_state | "$JQ" -r ".ports[] | select(.port == 0) | .$1"; }
# wait_for WHAT SECONDS TEST...: polls TEST every 0.1 s, bounded in real time.
wait_for() {
  local what=$1 seconds=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      fail "$what (not within $seconds s)"
      return 1
    fi
    sleep 0.1
  done
  ok "$what"
}
pending_urbs_at_least() { [ "$(port_field pending_urbs)" -ge "$1" ]; }
tool_done() { ! kill -0 "$1" 2>/dev/null; }

back_and_working() {
  lane_ctl wait-gone 0 --timeout-ms 30000
  expect_eq "$1: the device is removed" 0 "$?"
  expect_eq "$1: URBs still pending on the bus" 0 "$(port_field pending_urbs)"
  lane_tool --json version >/dev/null 2>&1
  expect_eq "$1: exit code of a request to the removed camera" 1 "$?"
  lane_ctl replug 0 --identity foreign
  lane_ctl wait --timeout-ms 60000
  expect_eq "$1: the camera plugged back in is started again" 0 "$?"
  (cd "$WORK" && lane_tool --json capture --method chunked --raw after.raw | unix_lines >after.json)
  expect_eq "$1: exit code of a capture after the camera came back" 0 "$?"
  expect_eq "$1: bytes of that capture" 2457600 "$("$JQ" -r .bytes "$WORK/after.json")"
}

# 1. Pulled out during a stream.
(cd "$WORK" && lane_tool --json stream --packets 100000000 --idle-seconds 2 | unix_lines >stream.json) &
tool=$!
wait_for "the stream runs (URBs pending on the bus)" 30 pending_urbs_at_least 2
lane_ctl unplug 0
wait_for "the stream ends once the camera is gone" 30 tool_done "$tool"
wait "$tool"
expect_eq "exit code of the stream whose camera went" 1 "$?"
expect_true "the stream reports a failure status" \
  test "$("$JQ" -r .status "$WORK/stream.json")" != 0x00000000
back_and_working "pulled out during a stream"

# 2. Pulled out in the middle of a chunked read: the eleventh piece arrives on a bus the camera
#    leaves (the bus's unplug fault), pieces before it and after it are under way.
lane_ctl fault 0 unplug --function 0x0009 --endpoint 0x82 --skip 10
(cd "$WORK" && lane_tool --json capture --method chunked --raw cut.raw | unix_lines >cut.json) &
tool=$!
wait_for "the chunked read ends once the camera is gone" 60 tool_done "$tool"
wait "$tool"
expect_eq "exit code of the chunked read whose camera went" 1 "$?"
# The driver answers a read whose pieces failed below with the bytes that came (a short count),
# a failure when a piece could not even be handed down; either way no whole frame.
expect_true "the chunked read reports no whole frame ($("$JQ" -c '{status, bytes}' "$WORK/cut.json"))" \
  test "$("$JQ" -r '.status != "0x00000000" or .bytes < .frame_bytes' "$WORK/cut.json")" = true
back_and_working "pulled out during a chunked read"
