#!/usr/bin/env bash
# Copies a file with one byte changed in its middle, then runs the given check on the copy: the
# signature check's own test (a signed file changed after signing must not verify).
#
#   tamper.sh FILE COPY CHECK [ARGS...]     (the copy is the check's last argument)
set -eu
file=$1
copy=$2
shift 2
cp "$file" "$copy"
size=$(stat -c %s "$copy")
offset=$((size / 2))
byte=$(od -An -tu1 -j "$offset" -N1 "$copy" | tr -d ' ')
printf "\\x$(printf %02x $(((byte + 1) % 256)))" | dd of="$copy" bs=1 seek="$offset" conv=notrunc status=none
exec "$@" "$copy"
