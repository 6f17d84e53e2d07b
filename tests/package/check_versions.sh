#!/usr/bin/env bash
# Checks that every version the package shows is the project's: the VERSIONINFO resource of the
# three binaries (read back out of the PE files with windres), the INF's DriverVer, the SDK's CMake
# package version and the archive's name.
#
#   check_versions.sh WINDRES PACKAGE_ROOT VERSION VERSION_QUAD
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
arguments windres root version quad -- "$@"

# file, FILETYPE, FILESUBTYPE as windres writes them
for entry in "driver/tovrik.sys 0x3 0x7" "bin/tovrik_sdk.dll 0x2 0x0" "bin/tovrik.exe 0x1 0x0"; do
    read -r file type subtype <<<"$entry"
    name=$(basename "$file")
    if ! rc=$("$windres" -J coff -O rc -i "$root/$file" 2>&1) || ! grep -q VERSIONINFO <<<"$rc"; then
        fail "$name has no VERSIONINFO resource"
        continue
    fi
    fixed() { awk -v key="$1" '$1 == key { $1 = ""; gsub(/[ ,]+/, "."); sub(/^\./, ""); print; exit }' <<<"$rc"; }
    string() { sed -n "s/.*VALUE \"$1\", \"\\(.*\\)\".*/\\1/p" <<<"$rc" | head -1; }
    for key in FILEVERSION PRODUCTVERSION; do
        got=$(fixed "$key")
        [ "$got" = "$quad" ] && ok "$name $key $got" || fail "$name $key is '$got', the project version is $quad"
    done
    for key in FileVersion ProductVersion; do
        got=$(string "$key")
        [ "$got" = "$quad" ] && ok "$name $key \"$got\"" || fail "$name $key is '$got', the project version is $quad"
    done
    got=$(string OriginalFilename)
    [ "$got" = "$name" ] && ok "$name OriginalFilename" || fail "$name OriginalFilename is '$got'"
    # windres leaves FILESUBTYPE out when it is 0.
    got_subtype=$(awk '$1 == "FILESUBTYPE" { print $2 }' <<<"$rc")
    got="$(awk '$1 == "FILETYPE" { print $2 }' <<<"$rc") ${got_subtype:-0x0}"
    [ "$got" = "$type $subtype" ] && ok "$name file type $got" || fail "$name file type is '$got', want '$type $subtype'"
done

driver_ver=$(tr -d '\r' <"$root/driver/tovrik.inf" | sed -n 's/^DriverVer *= *[0-9/]*, *\([0-9.]*\).*/\1/p')
[ "$driver_ver" = "$quad" ] && ok "INF DriverVer $driver_ver" || fail "INF DriverVer is '$driver_ver', the project version is $quad"

package_version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")/\1/p' "$root/sdk/lib/cmake/tovrik_sdk/tovrik_sdkConfigVersion.cmake")
[ "$package_version" = "$version" ] && ok "CMake package version $package_version" || fail "CMake package version is '$package_version', want $version"

[[ $(basename "$root") == "tovrik-$version-windows-x64" ]] && ok "archive named for $version" || fail "archive folder is $(basename "$root")"

finish "" "every version in the package is $version ($quad)"
