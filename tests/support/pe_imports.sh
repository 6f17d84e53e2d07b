# Sourced by the checks of tovrik.sys's imports (tests/windows).
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
