# Sourced by consumer_host.sh and consumer_windows.sh after tests/support/checks.sh.
#
# check_consumer_output STATUS OUTPUT LINE...: shows the consumer program's OUTPUT, and checks
# that it exited with 0 and printed each LINE as a whole line.
check_consumer_output() {
    local status=$1 output=$2 line
    shift 2
    echo "$output" | sed 's/^/  consumer: /'
    [ "$status" -eq 0 ] && ok "the consumer runs" || fail "the consumer exited with $status"
    for line in "$@"; do
        grep -qxF "$line" <<<"$output" && ok "consumer: $line" || fail "consumer did not say '$line'"
    done
}
