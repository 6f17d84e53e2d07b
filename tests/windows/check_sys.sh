#!/usr/bin/env bash
# Checks that a built tovrik.sys is an image the Windows kernel will load as a driver.
#
#   check_sys.sh OBJDUMP IMAGE
#
# OBJDUMP is the mingw-w64 objdump. Prints one line per check ("ok: ..." or "FAIL: ...") and
# exits non-zero if any check failed. What it guards against, and why each matters:
#   - not a PE32+ x86-64 image, or not the native subsystem: the loader refuses it;
#   - an entry point other than DriverEntry: the kernel would call something else with the
#     driver object;
#   - an import from anything but ntoskrnl.exe, HAL.dll and USBD.SYS: a user-mode DLL (msvcrt,
#     kernel32) cannot be loaded into the kernel, so the driver would not load at all;
#   - relocations stripped: a driver is never loaded at its preferred base;
#   - a TLS directory, .tls/.CRT sections or entries in the constructor list: nothing runs
#     them in the kernel (there is no C runtime), so the objects they set up would stay
#     unconstructed;
#   - no unwind data (an empty exception directory, no .pdata/.xdata, DriverEntry not covered by
#     a function table entry): on x64 the kernel debugger, crash dumps and stack traces can only
#     walk through a driver's frames by its unwind records.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../support/pe_imports.sh"
arguments objdump image -- "$@"

if ! headers=$(pe_headers "$objdump" "$image"); then
    echo "$headers"
    exit 1
fi
sections=$("$objdump" -h "$image" 2>&1)
symbols=$("$objdump" -t "$image" 2>/dev/null)

# --- Image kind ------------------------------------------------------------------------------

check "PE image for x86-64 (pei-x86-64)" "not a pei-x86-64 image: $(grep -m1 'file format' <<<"$headers")" \
    grep -q 'file format pei-x86-64' <<<"$headers"

magic=$(awk '$1 == "Magic" { print $2; exit }' <<<"$headers")
check "optional header magic 020b (PE32+)" "optional header magic is '$magic', a 64-bit driver needs 020b (PE32+)" \
    [ "$magic" = "020b" ]

subsystem=$(awk '$1 == "Subsystem" { print $2; exit }' <<<"$headers")
check "subsystem 1 (native)" "subsystem is '${subsystem:-none}', a driver needs 1 (native)" \
    [ $((16#${subsystem:-0})) -eq 1 ]

# objdump lists the set Characteristics flags one per line under the Characteristics line.
if awk '/^Characteristics/ { in_flags = 1; next } in_flags && /^\t/ { print; next } { in_flags = 0 }' <<<"$headers" |
    grep -q 'relocations stripped'; then
    fail "relocations stripped: the kernel loads a driver wherever there is room, never at its preferred base"
else
    ok "relocations kept"
fi

# --- Entry point -----------------------------------------------------------------------------

entry=$(awk '$1 == "AddressOfEntryPoint" { print $2; exit }' <<<"$headers")
image_base=$(awk '$1 == "ImageBase" { print $2; exit }' <<<"$headers")

# DriverEntry's address: from the export table when it is exported, else from the symbol table
# (section-relative there, so add the section's address).
driver_entry=$(awk '
    /^Export Address Table -- Ordinal Base/ { in_eat = 1; in_names = 0; next }
    /^\[Ordinal\/Name Pointer\] Table/ { in_names = 1; in_eat = 0; next }
    /^$/ { in_eat = 0; in_names = 0; next }
    in_eat && /Export RVA/ { gsub(/[\[\]]/, " "); rva[$1] = $4 }
    in_names && /^\t\[/ { gsub(/[\[\]]/, " "); if ($2 == "DriverEntry") { print rva[$1]; exit } }
' <<<"$headers")
source="export table"
if [ -z "$driver_entry" ] && [ -n "$symbols" ]; then
    source="symbol table"
    sec_value=$(awk '$NF == "DriverEntry" && /\(sec +[0-9]+\)/ {
        match($0, /\(sec +[0-9]+\)/); sec = substr($0, RSTART + 4, RLENGTH - 5) + 0
        print sec, $(NF - 1); exit }' <<<"$symbols")
    if [ -n "$sec_value" ]; then
        read -r sec value <<<"$sec_value"
        # objdump -h numbers sections from 0; symbol sections count from 1.
        vma=$(awk -v idx=$((sec - 1)) '$1 == idx { print $4; exit }' <<<"$sections")
        if [ -n "$vma" ]; then
            driver_entry=$(printf '%x' $((16#$vma - 16#$image_base + value)))
        fi
    fi
fi
if [ -z "$driver_entry" ]; then
    fail "DriverEntry is neither exported nor in the symbol table, so the entry point cannot be checked"
elif [ $((16#${entry:-0})) -eq $((16#$driver_entry)) ]; then
    ok "entry point $entry is DriverEntry (from the $source)"
else
    fail "entry point is RVA ${entry:-none}, DriverEntry is at RVA $driver_entry (from the $source)"
fi

# --- Imports ---------------------------------------------------------------------------------

imports=$(pe_imports <<<"$headers")
dlls=$(grep '^	DLL Name: ' <<<"$headers" | sed 's/^	DLL Name: //')

check "imports from ntoskrnl.exe" "no import from ntoskrnl.exe; a driver that calls no kernel routine is not this driver" \
    grep -qix 'ntoskrnl.exe' <<<"$dlls"
while IFS= read -r dll; do
    [ -z "$dll" ] && continue
    case "${dll,,}" in
    ntoskrnl.exe | hal.dll | usbd.sys) ok "imports from $dll allowed" ;;
    *)
        routines=$(awk -F'\t' -v d="$dll" '$1 == d { printf "%s%s", sep, $2; sep = ", " }' <<<"$imports")
        fail "imports from $dll, which the kernel cannot load: $routines"
        ;;
    esac
done <<<"$dlls"
if ordinals=$(grep '<ordinal' <<<"$imports"); then
    fail "imports by ordinal only (the kernel's exports are resolved by name): $(tr '\n' ' ' <<<"$ordinals")"
fi

# --- Nothing that needs a C runtime to run before DriverEntry ---------------------------------

tls_size=$(awk '$1 == "Entry" && $2 == "9" { print $4; exit }' <<<"$headers")
check "no TLS directory" \
    "a TLS directory of $tls_size bytes: the kernel runs no TLS callbacks and sets up no thread-local data" \
    [ $((16#${tls_size:-0})) -eq 0 ]
bad_sections=$(awk '$1 ~ /^[0-9]+$/ && ($2 ~ /^\.(tls|CRT|ctors|dtors|init_array|fini_array)/) { print $2 }' <<<"$sections")
check "no .tls, .CRT, .ctors or .init_array sections" \
    "sections that only a C runtime would act on: $(tr '\n' ' ' <<<"$bad_sections")" [ -z "$bad_sections" ]

# The linker keeps a constructor list in .text: an all-ones marker, the constructors, then a
# zero terminator, 16 bytes in all when there are none. __DTOR_LIST__ follows it directly.
ctor=$(awk '$NF == "__CTOR_LIST__" { print $(NF - 1); exit }' <<<"$symbols")
dtor=$(awk '$NF == "__DTOR_LIST__" { print $(NF - 1); exit }' <<<"$symbols")
if [ -n "$ctor" ] && [ -n "$dtor" ]; then
    length=$((dtor - ctor))
    check "constructor list empty" \
        "constructor list holds $(((length - 16) / 8)) entries: a static object with a constructor (nothing calls it in the kernel)" \
        [ "$length" -eq 16 ]
else
    # No symbols (a stripped image): look for the two empty lists back to back in the image.
    empty_lists='ffffffffffffffff0000000000000000ffffffffffffffff0000000000000000'
    check "constructor list empty (found in the stripped image)" \
        "no empty constructor list found in the stripped image: a static object with a constructor?" \
        grep -qE "^(..)*$empty_lists" < <(od -An -v -tx1 "$image" | tr -d ' \n')
fi

# --- Unwind data ----------------------------------------------------------------------------

# "Entry 3 <rva> <size> Exception Directory [.pdata]": the table of RUNTIME_FUNCTION records.
exception_size=$(awk '$1 == "Entry" && $2 == "3" { print $4; exit }' <<<"$headers")
check "exception directory of $((16#${exception_size:-0} / 12)) function entries" \
    "no exception directory: nothing can unwind through this driver's frames (built with -fno-asynchronous-unwind-tables?)" \
    [ $((16#${exception_size:-0})) -gt 0 ]
missing_sections=""
for section in .pdata .xdata; do
    if ! awk -v s="$section" '$1 ~ /^[0-9]+$/ && $2 == s { found = 1 } END { exit !found }' <<<"$sections"; then
        missing_sections="$missing_sections $section"
    fi
done
check ".pdata and .xdata sections present" "unwind sections missing:$missing_sections" [ -z "$missing_sections" ]
# The interpreted table lists "vma: BeginAddress EndAddress UnwindData" per function, as
# addresses of the image at its preferred base.
if [ -n "$driver_entry" ] && [ -n "$image_base" ]; then
    entry_va=$((16#$image_base + 16#$driver_entry))
    covered=0
    while read -r begin end; do
        if [ $((16#$begin)) -le "$entry_va" ] && [ "$entry_va" -lt $((16#$end)) ]; then
            covered=1
            break
        fi
    done < <(awk '
        /^The Function Table/ { in_table = 1; next }
        in_table && /^$/ { in_table = 0 }
        in_table && /^ *[0-9a-f]+:/ { print $2, $3 }' <<<"$headers")
    if [ "$covered" -eq 1 ]; then
        ok "DriverEntry has an unwind record"
    else
        fail "DriverEntry is not covered by any function table entry"
    fi
fi

finish "$image" "all checks passed for $image"
