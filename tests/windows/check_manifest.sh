#!/usr/bin/env bash
# Checks that every routine tovrik.sys imports is one the host kernel provides.
#
#   check_manifest.sh OBJDUMP IMAGE MANIFEST [MANIFEST...]
#
# The driver is tested on the host kernel, so a routine the real driver imports but the host
# kernel lacks is code that has never run under test. Each MANIFEST is a list of the routines a
# part of the host provides; the names of all that exist are taken together, and at least one
# must exist. Two spellings are read:
#   *.txt  one routine per line, its name first; '#' starts a comment.
#   *.h    an X-macro list: lines such as  HOST_ROUTINE(IoCreateDevice, ...)  or
#          X(IoCreateDevice) \  — every identifier among the arguments counts.
# An entry whose line says it is a stub ("stub", "unimplemented", "missing") does not count:
# a stub would let the import resolve and then hide the call instead of running it.
# memcpy, memset and memmove are no exception: the host takes them from its C library, and the
# manifest says so by listing them.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../support/pe_imports.sh"
arguments objdump image manifest... -- "$@"

if ! headers=$(pe_headers "$objdump" "$image"); then
    echo "$headers"
    exit 1
fi

imports=$(pe_imports <<<"$headers")
if [ -z "$imports" ]; then
    echo "FAIL: no imports found in $image"
    exit 1
fi

provided=""
stubs=""
used=()
for file in "${manifest[@]}"; do
    [ -f "$file" ] || continue
    used+=("$file")
    case "$file" in
    *.h | *.hpp | *.inc | *.def)
        # Macro invocations only: not preprocessor lines, not comments.
        entries=$(sed -e 's://.*$::' "$file" | awk '
            /^[ \t]*#/ { next }
            /^[ \t]*\/?\*/ { next }
            /^[ \t]*[A-Za-z_][A-Za-z0-9_]*[ \t]*\(/ { print }')
        names=$(sed -e 's/^[^(]*(//' -e 's/)[^)]*$//' <<<"$entries" | grep -v -iE '\b(stub|unimplemented|missing)\b' |
            grep -oE '\b[A-Za-z_][A-Za-z0-9_]*\b')
        stub_names=$(grep -iE '\b(stub|unimplemented|missing)\b' <<<"$entries" | sed -e 's/^[^(]*(//' |
            grep -oE '^[ \t]*[A-Za-z_][A-Za-z0-9_]*' | tr -d ' \t')
        ;;
    *)
        entries=$(sed -e 's/#.*$//' "$file" | awk 'NF > 0')
        names=$(grep -v -iE '\b(stub|unimplemented|missing)\b' <<<"$entries" | awk '{ print $1 }')
        stub_names=$(grep -iE '\b(stub|unimplemented|missing)\b' <<<"$entries" | awk '{ print $1 }')
        ;;
    esac
    provided+=$'\n'"$names"
    stubs+=$'\n'"$stub_names"
done

if [ ${#used[@]} -eq 0 ]; then
    echo "FAIL: no host kernel manifest found; looked for:"
    printf '  %s\n' "${manifest[@]}"
    exit 1
fi
echo "manifest: ${used[*]}"
if [ -z "$(tr -d ' \n' <<<"$provided")" ]; then
    echo "FAIL: no routine names could be read from ${used[*]}"
    exit 1
fi

missing=0
count=0
while IFS=$'\t' read -r dll routine; do
    [ -z "$routine" ] && continue
    count=$((count + 1))
    if [[ $routine == "<ordinal"* ]]; then
        echo "FAIL: $dll import by ordinal ($routine) cannot be matched to a manifest entry"
        missing=$((missing + 1))
    elif grep -qxF "$routine" <<<"$provided"; then
        :
    elif grep -qxF "$routine" <<<"$stubs"; then
        echo "FAIL: $routine ($dll) is only a stub in the host kernel"
        missing=$((missing + 1))
    else
        case "$routine" in
        memcpy | memset | memmove | memcmp)
            echo "MISSING: $routine ($dll) - the host takes it from its C library; the manifest has to list it as such" ;;
        *)
            echo "MISSING: $routine ($dll)" ;;
        esac
        missing=$((missing + 1))
    fi
done <<<"$imports"

if [ "$missing" -ne 0 ]; then
    echo "$missing of $count imported routines of $image are not provided by the host kernel"
    exit 1
fi
echo "all $count imported routines of $image are in the host kernel's manifest"
