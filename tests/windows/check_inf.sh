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

if [ $# -ne 5 ]; then
    echo "usage: $0 INF IMAGE_NAME VERSION OWN_ID_HEADER FOREIGN_ID_HEADER" >&2
    exit 2
fi
inf=$1
image_name=$2
version=$3
own_header=$4
foreign_header=$5
failures=0

ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if [ ! -s "$inf" ]; then
    fail "$inf does not exist or is empty"
    exit 1
fi

# Section contents without comments, blank lines or the spaces around '=' and ','.
section() {
    awk -v want="$1" '
        { sub(/\r$/, ""); sub(/[ \t]*;.*$/, "") }
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
    if [[ ${BASH_REMATCH[1]} == "$version".* || ${BASH_REMATCH[1]} == "$version" ]]; then
        ok "DriverVer carries the project version $version"
    else
        fail "DriverVer version ${BASH_REMATCH[1]} is not the project version $version"
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

own_vid=$(id_from "$own_header" CAMERA_VENDOR_ID)
own_pid=$(id_from "$own_header" CAMERA_PRODUCT_ID)
foreign_vid=$(id_from "$foreign_header" kForeignVendorId)
foreign_pid=$(id_from "$foreign_header" kForeignProductId)
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

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed for $inf"
    exit 1
fi
echo "all checks passed for $inf"
