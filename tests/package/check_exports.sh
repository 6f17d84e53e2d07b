#!/usr/bin/env bash
# Checks a library's exports against the SDK header: every call the header declares is exported,
# and nothing but the SDK's own tovrik_ calls is (a kernel routine of the simulated system, say,
# would clash with a program's own names).
#
#   check_exports.sh SDK_HEADER EXPORTS_FILE      (one exported name per line)
set -u
header=$1
exports=$(LC_ALL=C sort -u "$2")
failures=0
declared=$(tr '\n' ' ' <"$header" | grep -oE 'TOVRIK_SDK_API[^;{]*\(' |
    grep -oE 'tovrik_[a-z0-9_]+[[:space:]]*\($' | tr -d ' (' | LC_ALL=C sort -u)
if [ -z "$declared" ]; then
    echo "FAIL: no TOVRIK_SDK_API calls found in $header"
    exit 1
fi
missing=$(comm -23 <(echo "$declared") <(echo "$exports"))
foreign=$(grep -v '^tovrik_' <<<"$exports" | grep -v '^$')
if [ -n "$missing" ]; then
    echo "FAIL: declared in the header, not exported: $(tr '\n' ' ' <<<"$missing")"
    failures=1
else
    echo "ok: all $(wc -l <<<"$declared") calls of the header are exported"
fi
if [ -n "$foreign" ]; then
    echo "FAIL: exported but not the SDK's: $(head -20 <<<"$foreign" | tr '\n' ' ')"
    failures=1
else
    echo "ok: nothing but tovrik_ calls is exported"
fi
exit $failures
