#!/usr/bin/env bash
# What the shell comparison takes out of an answer, checked on made-up answers without Wine: the
# host's own bus losses are forgiven only where they account for every missing sequence number.
# Usage: normalize_test.sh (JQ names jq)
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/../support/checks.sh"
JQ=${JQ:-jq}

# One case a line: what it shows | an answer | that answer as the comparison must see it.
while IFS='|' read -r shows answer expected; do
  seen=$(printf '%s\n' "$answer" | "$JQ" -c -f "$HERE/normalize.jq")
  if [ "$seen" = "$expected" ]; then
    ok "$shows"
  else
    fail "$shows: seen $seen, expected $expected"
  fi
done <<'CASES'
an iso read whose one missing number the bus lost compares as a lossless read|{"command":"iso","packets":64,"sequence_gaps":1,"lost_sequence_numbers":1,"out_of_order":0,"lost_on_bus":1}|{"command":"iso","packets":64,"sequence_gaps":0,"lost_sequence_numbers":0,"out_of_order":0}
Wine's answer (no bus counters) is compared as it stands|{"command":"iso","packets":64,"sequence_gaps":1,"lost_sequence_numbers":1,"out_of_order":0,"lost_on_bus":null}|{"command":"iso","packets":64,"sequence_gaps":1,"lost_sequence_numbers":1,"out_of_order":0}
a missing number the bus does not account for stays|{"command":"iso","packets":64,"sequence_gaps":2,"lost_sequence_numbers":3,"out_of_order":0,"lost_on_bus":1}|{"command":"iso","packets":64,"sequence_gaps":2,"lost_sequence_numbers":3,"out_of_order":0}
packets out of order stay, whatever the bus lost|{"command":"iso","packets":64,"sequence_gaps":1,"lost_sequence_numbers":1,"out_of_order":1,"lost_on_bus":1}|{"command":"iso","packets":64,"sequence_gaps":0,"lost_sequence_numbers":0,"out_of_order":1}
a stream whose missing numbers the bus lost has no gaps to compare|{"command":"stream","sequence_gaps":2,"lost_sequence_numbers":341,"missing_sequence_numbers":341,"ring_full_drops":0,"lost_on_bus":341,"reads":9}|{"command":"stream","sequence_gaps":0,"lost_sequence_numbers":0,"missing_sequence_numbers":0,"ring_full_drops":0}
a stream's ring-full drops stay beside the bus's losses|{"command":"stream","sequence_gaps":3,"lost_sequence_numbers":350,"missing_sequence_numbers":350,"ring_full_drops":9,"lost_on_bus":341}|{"command":"stream","sequence_gaps":3,"lost_sequence_numbers":350,"missing_sequence_numbers":350,"ring_full_drops":9}
CASES
finish "the shell comparison's normalizer" "the shell comparison forgives only what the bus lost"
