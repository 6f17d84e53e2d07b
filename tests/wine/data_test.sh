#!/usr/bin/env bash
# The data paths of the real driver under Wine, at the bus's real pace: a chunked capture
# byte-exact (the host kernel's frame for the same camera) that went through the lane's stand-in
# for IoBuildPartialMdl, a one-shot isochronous read in order, and a stream of 10,000 packets at
# real time with none lost, by the packets' sequence numbers and by the bus's own count.
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/harness.sh"
need_tool "$JQ" jq
mkdir -p "$WORK/wine"

harness_up 1 own
before=$(bus_state)
expect_eq "import slots the bus replaced in tovrik.sys" 2 "$("$JQ" -r '.stand_ins.import_slots_replaced' <<<"$before")"
partial_before=$("$JQ" -r '.stand_ins.IoBuildPartialMdl_calls' <<<"$before")

(cd "$WORK/wine" && lane_tool --json capture --method chunked --raw chunked.raw | unix_lines >capture.json)
expect_eq "exit code of the chunked capture" 0 "$?"
expect_eq "bytes of the chunked capture" 2457600 "$("$JQ" -r .bytes "$WORK/wine/capture.json")"
after=$(bus_state)
# 2,457,600 bytes in 64 KiB pieces: 38 pieces, each described by a partial MDL.
expect_eq "partial MDLs the chunked read built through the stand-in" 38 \
  "$(($("$JQ" -r '.stand_ins.IoBuildPartialMdl_calls' <<<"$after") - partial_before))"
host_tool --sim-identity own --sim-clock-scale 50 capture --method chunked --raw host.raw >/dev/null
expect_eq "exit code of the host tool's capture" 0 "$?"
if cmp -s "$WORK/wine/chunked.raw" "$WORK/host.raw"; then
  ok "the frame is byte for byte the host kernel's"
else
  fail "the frame differs from the host kernel's: $(cmp "$WORK/wine/chunked.raw" "$WORK/host.raw" 2>&1 | head -n 1)"
fi

lost_before=$(lane_ctl counters 0 0x83 | unix_lines | "$JQ" -r .lost_iso_packets)
(cd "$WORK/wine" && lane_tool --json stream --packets 10000 --ring 4096 --per-urb 32 --urbs 8 \
  --output stream.bin | unix_lines >stream.json)
expect_eq "exit code of the stream" 0 "$?"
stream=$WORK/wine/stream.json
expect_fields "$stream" <<'EOF'
packets 10000 packets of the stream
lost_sequence_numbers 0 sequence numbers lost in the stream
ring_full_drops 0 packets the rings dropped
out_of_order 0 stream packets out of order
EOF
lost_after=$(lane_ctl counters 0 0x83 | unix_lines | "$JQ" -r .lost_iso_packets)
expect_eq "packets the bus lost during the stream (its own count)" 0 "$((lost_after - lost_before))"
# The bus paces microframes by the clock: 10,000 packets, one per 125-us microframe, take 1.25 s
# of bus time (the tool's clock starts when the stream has started).
expect_true "the stream ran at the bus's pace, not faster ($("$JQ" -r .seconds "$stream") s)" \
  awk -v s="$("$JQ" -r .seconds "$stream")" 'BEGIN { exit !(s >= 1.2) }'

(cd "$WORK/wine" && lane_tool --json iso --packets 64 --output iso.bin | unix_lines >iso.json)
expect_eq "exit code of the one-shot isochronous read" 0 "$?"
iso=$WORK/wine/iso.json
expect_fields "$iso" <<'EOF'
packets 64 packets of the isochronous read
out_of_order 0 isochronous packets out of order
sequence_gaps 0 sequence gaps in the isochronous read
error_packets 0 isochronous packets with an error
EOF
