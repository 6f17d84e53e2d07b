# Sourced by the checks of tovrik.sys's image and imports (tests/windows).
#
# pe_headers OBJDUMP IMAGE: prints `objdump -p` of IMAGE; when IMAGE is missing, empty or not
# readable, prints a FAIL line that says so instead and returns 1.
pe_headers() {
    local headers
    if [ ! -s "$2" ]; then
        echo "FAIL: $2 does not exist or is empty"
        return 1
    fi
    if ! headers=$("$1" -p "$2" 2>&1); then
        echo "FAIL: objdump -p could not read $2: $headers"
        return 1
    fi
    echo "$headers"
}
#
# pe_imports: reads `objdump -p` of a PE image on standard input and prints "DLL<TAB>routine" per
# imported routine; an import by ordinal has no name and shows "<ordinal N>".
pe_imports() {
    awk '
        /^\tDLL Name: / { dll = $3; next }
        dll != "" && /^\tvma:/ { next }
        dll != "" && /^\t[0-9a-f]+\t/ {
            if (NF >= 3 && $3 != "<none>") print dll "\t" $3
            else print dll "\t<ordinal " $2 ">"
            next
        }
        /^$/ { next }
        !/^\t/ { dll = "" }
    '
}
