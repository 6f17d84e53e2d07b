#!/usr/bin/env bash
# Makes the Windows package the way `--target package` does (cpack with the build's
# CPackConfig.cmake), into a folder of its own, and unpacks it there.
#
#   make_package.sh CPACK CPACK_CONFIG WORK_DIR PACKAGE_NAME
set -eu
cpack=$1
config=$2
work=$3
name=$4
rm -rf "$work"
mkdir -p "$work/out" "$work/unpacked"
"$cpack" -G ZIP --config "$config" -B "$work/out" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log"
    echo "FAIL: cpack did not make the package"
    exit 1
}
zip="$work/out/$name.zip"
if [ ! -s "$zip" ]; then
    echo "FAIL: no $name.zip; cpack made: $(ls "$work/out")"
    exit 1
fi
(cd "$work/unpacked" && cmake -E tar xf "$zip")
echo "ok: $zip made and unpacked into $work/unpacked"
