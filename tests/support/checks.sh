# Sourced by the shell checks of tests/windows, tests/package and tests/wine: each check prints
# one line ("ok: ..." or "FAIL: ..."), failures are counted rather than stopping at the first, and
# the script ends with finish (the Wine lane's tests end in their harness's exit trap instead).
failures=0
ok() { echo "ok: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# finish SUBJECT SUCCESS_LINE: after a failed check prints "N check(s) failed[ for SUBJECT]" and
# exits 1; otherwise prints SUCCESS_LINE and exits 0.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed${1:+ for $1}"
        exit 1
    fi
    echo "$2"
    exit 0
}
