# Sourced by the shell checks of tests/windows, tests/package and tests/wine: each check prints
# one line ("ok: ..." or "FAIL: ..."), failures are counted rather than stopping at the first, and
# the script ends with finish (the Wine lane's tests end in their harness's exit trap instead).
failures=0
ok() { echo "ok: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# check OK_LINE FAIL_LINE COMMAND...: one check, passed when COMMAND succeeds. Both lines are
# written before COMMAND runs, so neither may depend on what it does.
check() {
    local passed=$1 failed=$2
    shift 2
    if "$@"; then ok "$passed"; else fail "$failed"; fi
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
# arguments NAME... -- "$@": sets each NAME to the script's argument in its place. A last NAME
# written `name...` takes the rest (one at least) as an array. Any other count prints the usage
# (the names in capitals) and exits 2, rather than running on with an argument missing.
arguments() {
    local _names=() _rest="" _usage="" _name
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        _names+=("$1")
        shift
    done
    shift
    if [[ ${_names[-1]} == *... ]]; then
        _rest=${_names[-1]%...}
        unset '_names[-1]'
    fi
    for _name in "${_names[@]}"; do _usage+=" ${_name^^}"; done
    [ -n "$_rest" ] && _usage+=" ${_rest^^} [${_rest^^}...]"
    if { [ -z "$_rest" ] && [ $# -ne ${#_names[@]} ]; } || { [ -n "$_rest" ] && [ $# -le ${#_names[@]} ]; }; then
        echo "usage: $0$_usage" >&2
        exit 2
    fi
    for _name in "${_names[@]}"; do
        printf -v "$_name" '%s' "$1"
        shift
    done
    if [ -n "$_rest" ]; then
        local -n _list=$_rest
        _list=("$@")
    fi
}
