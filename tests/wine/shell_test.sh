#!/usr/bin/env bash
# One shell session (session.txt: every request code, good and bad lengths) on both kernels: the
# real tovrik.sys under Wine over usbsim.sys, and the driver on the host kernel over its simulated
# bus, each with one camera running its program. The answers, one JSON line per input line, must
# be identical but for the fields normalize.jq takes out (handles, addresses, times); the files
# the session writes must be identical too.
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/harness.sh"
need_tool "$JQ" jq
session=$HERE/session.txt
lines=$(grep -cvE '^\s*(#|$)' "$session")
expect_true "the session has at least 40 lines ($lines)" test "$lines" -ge 40
expect_eq "request codes the session covers" 27 "$(grep -o 'IOCTL_TOVRIK_[A-Z_]*' "$session" | sort -u | wc -l)"

mkdir -p "$WORK/wine" "$WORK/host"
harness_up 1 own
(cd "$WORK/wine" && lane_tool shell <"$session" | unix_lines >answers.jsonl)
expect_eq "exit code of tovrik.exe shell" 0 "$?"
(cd "$WORK/host" && "$TOVRIK_HOST_TOOL" --sim-identity own --sim-timing high-speed --sim-clock-scale 1 \
  shell <"$session" >answers.jsonl)
expect_eq "exit code of the host tool's shell" 0 "$?"

expect_eq "answers under Wine" "$lines" "$(wc -l <"$WORK/wine/answers.jsonl")"
expect_eq "answers on the host kernel" "$lines" "$(wc -l <"$WORK/host/answers.jsonl")"
"$JQ" -c -f "$HERE/normalize.jq" "$WORK/wine/answers.jsonl" >"$WORK/wine.norm" || fail "Wine's answers are not JSON lines"
"$JQ" -c -f "$HERE/normalize.jq" "$WORK/host/answers.jsonl" >"$WORK/host.norm" || fail "the host's answers are not JSON lines"
if [ -s "$WORK/wine.norm" ] && cmp -s "$WORK/wine.norm" "$WORK/host.norm"; then
  ok "the two kernels answer all $lines lines the same"
else
  fail "the kernels answer differently (host first, then Wine, per line):"
  grep -vE '^\s*(#|$)' "$session" >"$WORK/session.lines"
  paste -d '\n' "$WORK/session.lines" "$WORK/host.norm" "$WORK/wine.norm" |
    awk 'NR % 3 == 1 { line = $0 } NR % 3 == 2 { host = $0 } NR % 3 == 0 && host != $0 { print "  line: " line; print "  host: " host; print "  wine: " $0 }' | head -40
fi
if [ -s "$WORK/wine/chunked.raw" ] && cmp -s "$WORK/wine/chunked.raw" "$WORK/host/chunked.raw"; then
  ok "the chunked capture's frame is the same on both kernels"
else
  fail "the chunked capture's frame differs between the kernels"
fi
