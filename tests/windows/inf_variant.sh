#!/usr/bin/env bash
# Runs check_inf.sh on a copy of an INF changed by one sed script: the INF checks' own tests,
# each with one fault put into the built INF.
#
#   inf_variant.sh SED_SCRIPT CHECK_INF INF ARGS...
set -u
script=$1
check=$2
inf=$3
shift 3
variant=$(mktemp --suffix=.inf)
trap 'rm -f "$variant"' EXIT
sed -e "$script" "$inf" >"$variant"
if cmp -s "$inf" "$variant"; then
    echo "the sed script '$script' changed nothing in $inf: the fault was not put in"
    exit 1
fi
bash "$check" "$variant" "$@"
