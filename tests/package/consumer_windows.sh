#!/usr/bin/env bash
# A developer's program against the unpacked Windows package: configured with the package's CMake
# package (find_package(tovrik_sdk CONFIG)), cross-built with MinGW-w64, run under Wine with the
# package's DLL beside it; and the package's tool answers --version. Without a driver under this
# Wine the system has no cameras, which is what the program must then report.
#
#   consumer_windows.sh CMAKE TOOLCHAIN PACKAGE_ROOT CONSUMER_SOURCE WORK_DIR WINE_RUN PREFIX VERSION
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
arguments cmake toolchain root source work wine_run prefix version -- "$@"
source "$(dirname "${BASH_SOURCE[0]}")/consumer_output.sh"

rm -rf "$work"
if ! "$cmake" -S "$source" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$root/sdk" >"$work.configure.log" 2>&1; then
    cat "$work.configure.log"
    echo "FAIL: the consumer does not configure against the package's SDK"
    exit 1
fi
ok "find_package(tovrik_sdk CONFIG) found the package's SDK"
if ! "$cmake" --build "$work" >"$work.build.log" 2>&1; then
    cat "$work.build.log"
    echo "FAIL: the consumer does not build against the package's SDK"
    exit 1
fi
ok "the consumer builds and links against sdk/lib/tovrik_sdk.lib"
cp "$root/bin/tovrik_sdk.dll" "$work/"

output=$(bash "$wine_run" "$prefix" "$work/consumer.exe" 2>&1)
status=$?
check_consumer_output "$status" "$(tr -d '\r' <<<"$output")" "sdk_version $version" \
    "sdk_version_parts $version" "backend win32" "cameras 0" "cpp_view_cameras 0"

output=$(bash "$wine_run" "$prefix" "$root/bin/tovrik.exe" --version 2>&1 | tr -d '\r')
want="tovrik $version (SDK $version, win32 backend)"
[ "$output" = "$want" ] && ok "bin/tovrik.exe --version: $output" || fail "bin/tovrik.exe --version said '$output', want '$want'"

finish "" "the package's SDK works for a program built elsewhere"
