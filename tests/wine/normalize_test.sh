#!/usr/bin/env bash
# What the shell comparison takes out of an answer, checked on made-up answers without Wine: the
# host's own bus losses are forgiven only where they account for every missing sequence number.
# Usage: normalize_test.sh (JQ names jq)
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/../support/checks.sh"
JQ=${JQ:-jq}

# normalized JSON_LINE: the line as the comparison sees it.
normalized() { printf '%s\n' "$1" | "$JQ" -c -f "$HERE/normalize.jq"; }
lossless_iso='{"command":"iso","packets":64,"sequence_gaps":0,"lost_sequence_numbers":0,"out_of_order":0}'

check "an iso read whose one missing number the bus lost compares as a lossless read" \
  "an iso read whose missing number the bus lost still differs from a lossless one" \
  test "$(normalized '{"command":"iso","packets":64,"sequence_gaps":1,"lost_sequence_numbers":1,"out_of_order":0,"lost_on_bus":1}')" \
  = "$lossless_iso"
check "Wine's answer (no bus counters) is compared as it stands" \
  "Wine's lossless answer was changed" \
  test "$(normalized '{"command":"iso","packets":64,"sequence_gaps":0,"lost_sequence_numbers":0,"out_of_order":0,"lost_on_bus":null}')" \
  = "$lossless_iso"
check "a missing number the bus does not account for stays" \
  "a missing number the bus does not account for was taken out" \
  test "$(normalized '{"command":"iso","packets":64,"sequence_gaps":2,"lost_sequence_numbers":3,"out_of_order":0,"lost_on_bus":1}')" \
  = '{"command":"iso","packets":64,"sequence_gaps":2,"lost_sequence_numbers":3,"out_of_order":0}'
check "packets out of order stay, whatever the bus lost" \
  "packets out of order were taken out with the bus's losses" \
  test "$(normalized '{"command":"iso","packets":64,"sequence_gaps":1,"lost_sequence_numbers":1,"out_of_order":1,"lost_on_bus":1}')" \
  = '{"command":"iso","packets":64,"sequence_gaps":0,"lost_sequence_numbers":0,"out_of_order":1}'
check "a stream whose missing numbers the bus lost has no gaps and no drops to compare" \
  "a stream's bus losses still show" \
  test "$(normalized '{"command":"stream","sequence_gaps":2,"lost_sequence_numbers":341,"missing_sequence_numbers":341,"ring_full_drops":0,"lost_on_bus":341,"reads":9}')" \
  = '{"command":"stream","sequence_gaps":0,"lost_sequence_numbers":0,"missing_sequence_numbers":0,"ring_full_drops":0}'
check "a stream's ring-full drops stay beside the bus's losses" \
  "a stream's ring-full drops were taken out" \
  test "$(normalized '{"command":"stream","sequence_gaps":3,"lost_sequence_numbers":350,"missing_sequence_numbers":350,"ring_full_drops":9,"lost_on_bus":341}')" \
  = '{"command":"stream","sequence_gaps":3,"lost_sequence_numbers":350,"missing_sequence_numbers":350,"ring_full_drops":9}'
finish "the shell comparison's normalizer" "the shell comparison forgives only what the bus lost"
