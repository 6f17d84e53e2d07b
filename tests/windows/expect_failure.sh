#!/usr/bin/env bash
# Runs a check that must fail, and requires that it fails for the stated reason.
#
#   expect_failure.sh REGEX COMMAND [ARGS...]
#
# Passes when COMMAND exits non-zero and its output has a line matching the extended REGEX; a
# check that fails for some other reason, or not at all, fails this test.
set -u
regex=$1
shift
output=$("$@" 2>&1)
status=$?
printf '%s\n' "$output"
if [ "$status" -eq 0 ]; then
    echo "expected the check to fail, it passed"
    exit 1
fi
if ! grep -qE -- "$regex" <<<"$output"; then
    echo "expected the check to fail with a line matching: $regex"
    exit 1
fi
echo "failed as expected"
