#!/usr/bin/env bash
# A developer's program against the installed host SDK, found both ways a Linux program finds a
# library: CMake's find_package(tovrik_sdk CONFIG) and pkg-config. Each build runs against the
# simulated world inside the library (one camera running its firmware, on a fast clock) and must
# see that camera.
#
#   consumer_host.sh cmake|pkg-config INSTALL_PREFIX CONSUMER_SOURCE WORK_DIR VERSION CC CXX \
#                    C_FLAGS CXX_FLAGS LINKER_FLAGS
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
arguments how prefix source work version cc cxx c_flags cxx_flags linker_flags -- "$@"
source "$(dirname "${BASH_SOURCE[0]}")/consumer_output.sh"

rm -rf "$work"
mkdir -p "$work"
case "$how" in
cmake)
    if ! cmake -S "$source" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_FLAGS="$c_flags" \
        -DCMAKE_CXX_FLAGS="$cxx_flags" -DCMAKE_EXE_LINKER_FLAGS="$linker_flags" >"$work/configure.log" 2>&1 ||
        ! cmake --build "$work" >"$work/build.log" 2>&1; then
        cat "$work"/*.log
        echo "FAIL: the consumer does not build with find_package(tovrik_sdk CONFIG)"
        exit 1
    fi
    ok "built with find_package(tovrik_sdk CONFIG) from $prefix"
    run=("$work/consumer" --sim)
    ;;
pkg-config)
    pc_dir=$(dirname "$(find "$prefix" -name tovrik_sdk.pc | head -1)")
    export PKG_CONFIG_PATH=$pc_dir
    got=$(pkg-config --modversion tovrik_sdk)
    [ "$got" = "$version" ] && ok "pkg-config --modversion tovrik_sdk: $got" || fail "pkg-config version is '$got', want $version"
    # shellcheck disable=SC2046,SC2086
    if ! "$cc" $c_flags -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags tovrik_sdk) -c "$source/consumer.c" -o "$work/consumer.o" ||
        ! "$cxx" $cxx_flags -std=c++20 -Wall -Wextra -Werror $(pkg-config --cflags tovrik_sdk) -c "$source/consumer_cpp.cpp" -o "$work/consumer_cpp.o" ||
        ! "$cxx" $linker_flags "$work/consumer.o" "$work/consumer_cpp.o" $(pkg-config --libs tovrik_sdk) -o "$work/consumer"; then
        echo "FAIL: the consumer does not build with pkg-config's flags"
        exit 1
    fi
    ok "built with pkg-config --cflags --libs tovrik_sdk"
    export LD_LIBRARY_PATH=$(pkg-config --variable=libdir tovrik_sdk)
    run=("$work/consumer" --sim)
    ;;
*)
    echo "usage: consumer_host.sh cmake|pkg-config ..." >&2
    exit 2
    ;;
esac

output=$("${run[@]}" 2>&1)
check_consumer_output $? "$output" "sdk_version $version" "sdk_version_parts $version" \
    "backend host" "cameras 1" "camera 0 5a17:0e15" "cpp_view_cameras 1"
finish "" "the installed host SDK works for a program built elsewhere ($how)"
