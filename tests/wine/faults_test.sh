#!/usr/bin/env bash
# The faults the bus offers, armed from user mode (usbsim.exe fault) under the real driver on
# Wine, each with the answer the driver gives for it on the host kernel too: a stalled pipe fails
# its reads until it is reset; a read the endpoint never answers is cancelled at the driver's
# time limit; a short packet ends a read early; a transfer error and a failed request come back
# as failures with the USBD status the driver keeps; a packet error shows in an isochronous read.
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/harness.sh"
need_tool "$JQ" jq
harness_up 1 own

# run LINE...: one tool command, its JSON answer in $answer.
run() { answer=$(cd "$WORK" && lane_tool --json "$@" | unix_lines); }
field() { "$JQ" -r "$1" <<<"$answer"; }
last_usbd() { run last-error && field .usbd_status; }

lane_ctl fault 0 stall --endpoint 0x81
run ioctl IOCTL_TOVRIK_BULK_READ --in 01000000 --out-len 64
expect_eq "stalled pipe: bulk read status" 0xC0000001 "$(field .status)"
expect_eq "stalled pipe: the USBD status the driver keeps (STALL_PID)" 0xC0000004 "$(last_usbd)"
run ioctl IOCTL_TOVRIK_BULK_READ --in 01000000 --out-len 64
expect_eq "stalled pipe: still stalled before its reset" 0xC0000001 "$(field .status)"
run reset-pipe 1
expect_eq "reset of the stalled pipe" 0x00000000 "$(field .status)"
run ioctl IOCTL_TOVRIK_BULK_READ --in 01000000 --out-len 64
expect_eq "bulk read after the reset" 64 "$(field .information)"

run timeout 500
lane_ctl fault 0 never-answer --endpoint 0x81
run ioctl IOCTL_TOVRIK_BULK_READ --in 01000000 --out-len 512
expect_eq "endpoint that never answers: bulk read status once the driver cancels it" 0xC0000001 "$(field .status)"
expect_eq "endpoint that never answers: the USBD status the driver keeps (CANCELED)" 0xC0010000 "$(last_usbd)"
expect_eq "URBs left pending on the bus after the cancel" 0 \
  "$(bus_state | "$JQ" -r '.ports[0].pending_urbs')"

lane_ctl fault 0 short-packet --endpoint 0x81 --short-length 4
run ioctl IOCTL_TOVRIK_BULK_READ --in 01000000 --out-len 64
expect_eq "short packet: bulk read status" 0x00000000 "$(field .status)"
expect_eq "short packet: bytes read" 4 "$(field .information)"

lane_ctl fault 0 urb-error --endpoint 0x81 --usbd 0xC0000011
run ioctl IOCTL_TOVRIK_BULK_READ --in 01000000 --out-len 64
expect_eq "transfer error: bulk read status" 0xC0000001 "$(field .status)"
expect_eq "transfer error: the USBD status the driver keeps" 0xC0000011 "$(last_usbd)"

lane_ctl fault 0 fail-request --function 0x000B --usbd 0xC0000030 --status 0xC0000001
run string 2
expect_eq "failed request: string descriptor status" 0xC0000001 "$(field .status)"
expect_eq "failed request: the USBD status the driver keeps" 0xC0000030 "$(last_usbd)"

lane_ctl fault 0 packet-error --endpoint 0x83 --packet 3 --usbd 0xC0000011
run iso --packets 64
expect_eq "packet error: isochronous read status" 0x00000000 "$(field .status)"
expect_eq "packet error: packets with an error" 1 "$(field .error_packets)"

expect_eq "faults armed on the port" 6 "$(bus_state | "$JQ" -r '.ports[0].faults')"
lane_ctl clear-faults 0
expect_eq "faults armed after clear-faults" 0 "$(bus_state | "$JQ" -r '.ports[0].faults')"
run string 2
expect_eq "string descriptor once the faults are gone" 0x00000000 "$(field .status)"
