#!/usr/bin/env bash
# Checks that tovrik.inf installs the driver this build makes, for the devices it serves.
#
#   check_inf.sh INF IMAGE_NAME VERSION OWN_ID_HEADER FOREIGN_ID_HEADER
#
# IMAGE_NAME is the file name of the built driver (tovrik.sys), VERSION the project version.
# OWN_ID_HEADER declares CAMERA_VENDOR_ID/CAMERA_PRODUCT_ID (the identity of a camera running
# its firmware, which the driver tests at start); FOREIGN_ID_HEADER declares kForeignVendorId/
# kForeignProductId (the camera model's identity before the download). An INF that misses either
# identity leaves a camera without the driver: before the download nothing would load the
# firmware, after it the renumerated camera would find no driver.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
arguments inf image_name version own_id_header foreign_id_header -- "$@"

if [ ! -s "$inf" ]; then
    fail "$inf does not exist or is empty"
    exit 1
fi

# Section contents without comments, blank lines or the spaces around '=' and ','. A ';' inside
# double quotes (an SDDL string) is text, not a comment.
section() {
    awk -v want="$1" '
        function uncomment(line,    i, c, quoted) {
            quoted = 0
            for (i = 1; i <= length(line); i++) {
                c = substr(line, i, 1)
                if (c == "\"") quoted = !quoted
                else if (c == ";" && !quoted) return substr(line, 1, i - 1)
            }
            return line
        }
        { sub(/\r$/, ""); $0 = uncomment($0); sub(/[ \t]+$/, "") }
        /^[ \t]*\[/ { name = $0; gsub(/^[ \t]*\[|\][ \t]*$/, "", name); inside = (tolower(name) == tolower(want)); next }
        inside && NF > 0 { gsub(/[ \t]*=[ \t]*/, "="); gsub(/[ \t]*,[ \t]*/, ","); sub(/^[ \t]+/, ""); print }
    ' "$inf"
}
value() { section "$1" | awk -F= -v key="$2" 'tolower($1) == tolower(key) { print $2; exit }'; }

# A hexadecimal #define or constexpr from a header, as four upper-case hex digits.
id_from() {
    local header=$1 name=$2 raw
    raw=$(grep -E "(#define[ \t]+$name[ \t]|[ \t]$name[ \t]*=)" "$header" | grep -oE '0[xX][0-9A-Fa-f]+' | head -1)
    [ -n "$raw" ] && printf '%04X' $((raw))
}

# --- Version section -------------------------------------------------------------------------

signature=$(value Version Signature)
if [ "$signature" = '"$WINDOWS NT$"' ]; then
    ok "signature \$WINDOWS NT\$"
else
    fail "signature is '$signature', a Windows NT INF needs \"\$WINDOWS NT\$\""
fi
for key in Class ClassGuid Provider; do
    if [ -n "$(value Version "$key")" ]; then ok "$key set"; else fail "no $key in [Version]"; fi
done
driver_ver=$(value Version DriverVer)
if [[ $driver_ver =~ ^[01][0-9]/[0-3][0-9]/[0-9]{4},([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+)$ ]]; then
    ok "DriverVer $driver_ver"
    # Windows ranks candidate drivers by DriverVer; one left behind makes a new build lose to
    # the installed old one.
    want=$version
    while [[ $(tr -cd . <<<"$want" | wc -c) -lt 3 ]]; do want+=".0"; done
    if [[ ${BASH_REMATCH[1]} == "$want" ]]; then
        ok "DriverVer carries the project version $want"
    else
        fail "DriverVer version ${BASH_REMATCH[1]} is not the project version $want"
    fi
else
    fail "DriverVer '$driver_ver' is not mm/dd/yyyy,w.x.y.z"
fi

# --- Models: x64 decoration and the two identities -------------------------------------------

manufacturer=$(section Manufacturer | head -1)
models=$(cut -d= -f2 <<<"$manufacturer" | cut -d, -f1)
decorations=$(cut -d= -f2 <<<"$manufacturer" | cut -s -d, -f2-)
amd64=$(tr ',' '\n' <<<"$decorations" | grep -iE '^NTamd64' | head -1)
if [ -n "$amd64" ]; then
    ok "models decorated for $amd64"
else
    fail "no NTamd64 decoration in [Manufacturer]: an x64 system installs nothing from it"
fi
hardware_ids=$(section "$models.$amd64" | cut -s -d= -f2 | cut -s -d, -f2- | tr ',' '\n' | tr '[:lower:]' '[:upper:]')
install_section=$(section "$models.$amd64" | cut -s -d= -f2 | cut -d, -f1 | head -1)

own_vid=$(id_from "$own_id_header" CAMERA_VENDOR_ID)
own_pid=$(id_from "$own_id_header" CAMERA_PRODUCT_ID)
foreign_vid=$(id_from "$foreign_id_header" kForeignVendorId)
foreign_pid=$(id_from "$foreign_id_header" kForeignProductId)
for pair in "own:$own_vid:$own_pid" "foreign:$foreign_vid:$foreign_pid"; do
    IFS=: read -r which vid pid <<<"$pair"
    if [ -z "$vid" ] || [ -z "$pid" ]; then
        fail "could not read the $which identity from its header"
        continue
    fi
    if grep -qxF "USB\\VID_${vid}&PID_${pid}" <<<"$hardware_ids"; then
        ok "installs for the $which identity USB\\VID_${vid}&PID_${pid}"
    else
        fail "no model line for the $which identity USB\\VID_${vid}&PID_${pid}"
    fi
done

# Wine's setupapi (Wine 8) takes only the architecture from the decoration and then reads the
# models section under its own suffix: MODELS.NTamd64, else MODELS.NT, else MODELS. That section
# must list what the one Windows reads, or the two kernels install different things.
wine_models=""
for candidate in "$models.NTamd64" "$models.NT" "$models"; do
    if grep -qiE "^[ \t]*\[$(sed 's/\./\\./g' <<<"$candidate")\][ \t]*$" <(tr -d '\r' <"$inf"); then
        wine_models=$candidate
        break
    fi
done
if [ -z "$wine_models" ]; then
    fail "no [$models.NTamd64], [$models.NT] or [$models] section: Wine's setup finds no driver"
elif [ "${wine_models,,}" = "${models,,}.${amd64,,}" ]; then
    ok "Wine's setup reads the same models section as Windows ([$wine_models])"
elif [ "$(section "$wine_models")" = "$(section "$models.$amd64")" ]; then
    ok "[$wine_models] (read by Wine's setup) lists the same models as [$models.$amd64]"
else
    fail "[$wine_models] (read by Wine's setup) differs from [$models.$amd64] (read by Windows)"
fi

# --- Device security -------------------------------------------------------------------------
#
# Every request of the driver is FILE_ANY_ACCESS: whoever opens the device can write the camera's
# memory and reset its port. The device's descriptor, set by the INF's hardware section, admits
# the system, administrators and the interactive user, nobody else, and FILE_DEVICE_SECURE_OPEN
# makes opens of names below the device's pass the same check.

hw_regs=""
for list in $(section "$install_section.NT.HW" | awk -F= 'tolower($1) == "addreg" { print $2 }' | tr ',' ' '); do
    hw_regs+=$(section "$list")$'\n'
done
sddl=$(awk -F, 'toupper($1) == "HKR" && $2 == "" && tolower($3) == "security" { print $5; exit }' <<<"$hw_regs" | tr -d '"')
if [ -z "$sddl" ]; then
    fail "no HKR,,Security in $install_section.NT.HW: the device gets the default descriptor and any local user opens it"
elif [[ ! $sddl =~ ^D:P(\([^()]*\))+$ ]]; then
    fail "security descriptor '$sddl' is not a protected DACL (D:P followed by ACEs)"
else
    ok "security descriptor $sddl"
    declare -A granted=()
    aces=$(grep -oE '\([^()]*\)' <<<"${sddl#D:P}" | tr -d '()')
    while IFS=';' read -r type flags rights object inherited sid; do
        if [ "$type" != "A" ]; then
            fail "ACE ($type;$flags;$rights;$object;$inherited;$sid) is not a plain allow"
            continue
        fi
        granted[$sid]=$rights
    done <<<"$aces"
    for sid in "${!granted[@]}"; do
        case "$sid" in
        SY | BA | IU) ;;
        *) fail "the descriptor admits $sid (${granted[$sid]}); only SY, BA and IU may open the camera" ;;
        esac
    done
    for sid in SY BA IU; do
        if [ -z "${granted[$sid]:-}" ]; then fail "the descriptor does not admit $sid"; fi
    done
    # The user at the console reads and writes; changing the descriptor or the owner stays with
    # administrators.
    if [ -n "${granted[IU]:-}" ]; then
        if [[ ${granted[IU]} =~ ^(GR|GW)+$ ]]; then
            ok "interactive user gets ${granted[IU]}"
        else
            fail "interactive user gets ${granted[IU]}; read and write (GR, GW) are all it needs"
        fi
    fi
fi
characteristics=$(awk -F, 'toupper($1) == "HKR" && $2 == "" && tolower($3) == "devicecharacteristics" { print $4 "," $5; exit }' <<<"$hw_regs")
IFS=, read -r char_flags char_value <<<"$characteristics"
if [ -z "$characteristics" ]; then
    fail "no HKR,,DeviceCharacteristics in $install_section.NT.HW"
elif (( char_flags != 0x10001 )); then
    fail "DeviceCharacteristics has flags $char_flags, a REG_DWORD needs 0x10001"
elif (( (char_value & 0x100) == 0 )); then
    fail "DeviceCharacteristics $char_value lacks FILE_DEVICE_SECURE_OPEN (0x100)"
else
    ok "DeviceCharacteristics $char_value sets FILE_DEVICE_SECURE_OPEN"
fi

# --- Catalog ---------------------------------------------------------------------------------

catalog=$(value Version CatalogFile)
if [[ $catalog =~ ^[A-Za-z0-9_.-]+\.cat$ ]]; then
    ok "CatalogFile $catalog"
else
    fail "CatalogFile is '$catalog'; the signed package needs a named catalog (name.cat)"
fi

# --- Files and service -----------------------------------------------------------------------

if section SourceDisksFiles | cut -d= -f1 | grep -qixF "$image_name"; then
    ok "$image_name is on the source disk"
else
    fail "$image_name is not in [SourceDisksFiles]"
fi
copy_files=$(section "$install_section.NT" | awk -F= 'tolower($1) == "copyfiles" { print $2 }' | tr ',' '\n')
copied=""
for list in $copy_files; do
    copied+=$(section "$list")$'\n'
done
if grep -qixF "$image_name" <<<"$copied"; then
    ok "$install_section.NT copies $image_name"
else
    fail "$install_section.NT does not copy $image_name"
fi

add_service=$(section "$install_section.NT.Services" | awk -F= 'tolower($1) == "addservice" { print $2; exit }')
IFS=, read -r service_name service_flags service_section <<<"$add_service"
if [ "$service_name" = "tovrik" ] && (( (service_flags & 2) != 0 )); then
    ok "service tovrik installed as the function driver"
else
    fail "AddService is '$add_service', expected the service tovrik with flag 0x2 (function driver)"
fi
expect_service() {
    local key=$1 want=$2 got
    got=$(value "${service_section:-none}" "$key")
    if [ "${got,,}" = "${want,,}" ]; then ok "$key = $want"; else fail "$key is '$got', expected $want"; fi
}
expect_service ServiceType 1
expect_service StartType 3
expect_service ErrorControl 1
expect_service ServiceBinary "%12%\\$image_name"

finish "$inf" "all checks passed for $inf"
