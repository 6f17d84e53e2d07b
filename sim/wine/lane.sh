# The second-kernel lane as shell functions: the real tovrik.sys under Wine's NT kernel, over the
# simulated bus usbsim.sys. Sourced by scripts/wine.sh and by the lane's tests; every function
# reports progress on standard error, so standard output stays the tool's.
#
#   lane_setup ROOT          where the checkout is; sets the prefix, build and log paths
#   lane_ensure_wine         installs wine64 when Wine is missing
#   lane_ensure_build        configures and builds what the lane runs (windows preset)
#   lane_lock                one lane at a time per prefix (waits for another run to finish)
#   lane_prepare_prefix F    a Wine prefix under build/ (F=1: a new one)
#   lane_install             the bus, and from the unpacked Windows package the driver with its
#                            INF, the tool and the SDK
#   lane_start               the Wine server, the bus service
#   lane_up N IDENTITY PCAP  N cameras plugged in; waits until every one is started
#   lane_ctl ARGS...         usbsim.exe ARGS (the bus's control tool)
#   lane_tool ARGS...        tovrik.exe ARGS, standard streams passed through
#   lane_stop                flushes the capture, ends every Wine process of the prefix
#
# Settings from the environment: TOVRIK_WINE_DIR (default ROOT/build/wine: prefix, logs, lock),
# TOVRIK_WINDOWS_BUILD (default ROOT/build/windows), LANE_START_TIMEOUT_MS (how long the cameras
# may take to start, real time; default 120000), WINEDEBUG (default -all).

lane_log() { echo "wine lane: $*" >&2; }
lane_fail() {
  echo "wine lane: $*" >&2
  return 1
}

lane_setup() {
  LANE_ROOT=$(cd "$1" && pwd)
  LANE_BUILD=${TOVRIK_WINDOWS_BUILD:-$LANE_ROOT/build/windows}
  LANE_DIR=${TOVRIK_WINE_DIR:-$LANE_ROOT/build/wine}
  LANE_LOGS=$LANE_DIR/logs
  LANE_START_TIMEOUT_MS=${LANE_START_TIMEOUT_MS:-120000}
  export WINEPREFIX=$LANE_DIR/prefix
  export WINEARCH=win64
  # No Mono or Gecko installer dialogs: the lane runs no .NET and no HTML.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEDEBUG=${WINEDEBUG:--all}
  unset DISPLAY WAYLAND_DISPLAY
  LANE_SYSTEM32=$WINEPREFIX/drive_c/windows/system32
  LANE_BIN=$WINEPREFIX/drive_c/tovrik
  mkdir -p "$LANE_DIR" "$LANE_LOGS"
  lane_find_wine 2>/dev/null || true
}

# The 64-bit loader and server straight, so a machine without the 32-bit half (and without the
# wrapper that complains about it) runs the lane all the same.
lane_find_wine() {
  LANE_WINE=
  LANE_WINESERVER=
  local candidate
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      LANE_WINE=$candidate
      break
    fi
  done
  for candidate in /usr/lib/wine/wineserver64 "$(command -v wineserver 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      LANE_WINESERVER=$candidate
      break
    fi
  done
  [ -n "$LANE_WINE" ] && [ -n "$LANE_WINESERVER" ] || return 1
  export WINELOADER=$LANE_WINE WINESERVER=$LANE_WINESERVER
}

lane_ensure_wine() {
  lane_find_wine && return 0
  lane_log "Wine is missing: installing wine64"
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y wine64 >&2 ||
    lane_fail "apt-get install -y wine64 failed" || return 1
  lane_find_wine || lane_fail "wine64 is installed but its loader and server were not found"
}

# The driver, its INF, the tool and the SDK come from the Windows package as a user gets it (the
# zip the package target writes, unpacked under LANE_DIR); the bus and its control tool, which
# are not part of the product, from the build.
lane_ensure_build() {
  if [ ! -f "$LANE_BUILD/CMakeCache.txt" ]; then
    lane_log "configuring the windows preset"
    (cd "$LANE_ROOT" && cmake --preset windows >&2) || lane_fail "cmake --preset windows failed" || return 1
  fi
  lane_log "building the driver, the tool, the SDK and the simulated bus (windows preset)"
  cmake --build "$LANE_BUILD" -j "${JOBS:-$(nproc)}" \
    --target tovrik_sys tovrik_cli_exe tovrik_sdk usbsim_sys usbsim_exe >&2 ||
    lane_fail "the windows build failed" || return 1
  # The package is made again only when what the lane takes from it is newer than the zip.
  local zip newer
  zip=$(ls -t "$LANE_BUILD"/package/tovrik-*-windows-x64.zip 2>/dev/null | head -n 1)
  newer=$(find "$LANE_BUILD/driver" "$LANE_BUILD/tools/tovrik" "$LANE_BUILD/sdk" -maxdepth 1 \
    \( -name tovrik.sys -o -name tovrik.inf -o -name tovrik.exe -o -name tovrik_sdk.dll \) \
    ${zip:+-newer "$zip"} 2>/dev/null)
  if [ -z "$zip" ] || [ -n "$newer" ]; then
    lane_log "making the Windows package"
    cmake --build "$LANE_BUILD" -j "${JOBS:-$(nproc)}" --target package >&2 ||
      lane_fail "the windows package could not be made" || return 1
  fi
  lane_unpack
}

lane_unpack() {
  local zips=("$LANE_BUILD"/package/tovrik-*-windows-x64.zip)
  [ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] ||
    lane_fail "expected one package in $LANE_BUILD/package, found: ${zips[*]}" || return 1
  local name
  name=$(basename "${zips[0]}" .zip)
  rm -rf "$LANE_DIR/package"
  mkdir -p "$LANE_DIR/package"
  unzip -q "${zips[0]}" -d "$LANE_DIR/package" || lane_fail "could not unpack ${zips[0]}" || return 1
  LANE_PACKAGE=$LANE_DIR/package/$name
  LANE_SYS=$LANE_PACKAGE/driver/tovrik.sys
  LANE_INF=$LANE_PACKAGE/driver/tovrik.inf
  LANE_EXE=$LANE_PACKAGE/bin/tovrik.exe
  LANE_DLL=$LANE_PACKAGE/bin/tovrik_sdk.dll
  LANE_BUS=$LANE_BUILD/sim/wine/usbsim.sys
  LANE_CTL=$LANE_BUILD/sim/wine/usbsim.exe
  local f
  for f in "$LANE_SYS" "$LANE_INF" "$LANE_EXE" "$LANE_DLL" "$LANE_BUS" "$LANE_CTL"; do
    [ -f "$f" ] || lane_fail "$f is missing" || return 1
  done
}

# Serialises lane runs on one prefix: two Wine servers on one prefix, or two runs installing into
# it at once, would trip over each other.
lane_lock() {
  exec {LANE_LOCK_FD}>"$LANE_DIR/lock"
  if ! flock -n "$LANE_LOCK_FD"; then
    lane_log "another lane run uses $WINEPREFIX; waiting for it"
    flock "$LANE_LOCK_FD"
  fi
}

lane_prepare_prefix() {
  local fresh=$1
  if [ "$fresh" = 1 ] || [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -f "$WINEPREFIX/.lane-ready" ]; then
    lane_log "making a new Wine prefix in $WINEPREFIX"
    "$LANE_WINESERVER" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    "$LANE_WINE" wineboot -i >"$LANE_LOGS/wineboot.log" 2>&1 ||
      lane_fail "wineboot failed (see $LANE_LOGS/wineboot.log)" || return 1
    "$LANE_WINESERVER" -w
    touch "$WINEPREFIX/.lane-ready"
  fi
}

# The package's INF goes where Wine's PnP manager looks for drivers (C:\windows\inf), as it is,
# with the driver beside it (its SourceDisksFiles); the PnP manager installs it for each camera.
lane_install() {
  local inf_dir=$WINEPREFIX/drive_c/windows/inf
  mkdir -p "$inf_dir" "$LANE_SYSTEM32/drivers" "$LANE_BIN"
  cp "$LANE_INF" "$inf_dir/tovrik.inf"
  cp "$LANE_SYS" "$inf_dir/tovrik.sys"
  # A reused prefix keeps what an earlier run installed; the devices and the driver's service go,
  # so every run installs the INF afresh and loads this build's tovrik.sys.
  rm -f "$LANE_SYSTEM32/drivers/tovrik.sys"
  cp "$LANE_BUS" "$LANE_SYSTEM32/drivers/usbsim.sys"
  cp "$LANE_EXE" "$LANE_DLL" "$LANE_CTL" "$LANE_BIN/"
  local reg=$LANE_DIR/lane.reg
  cat >"$reg" <<'REG'
Windows Registry Editor Version 5.00

[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_5A17&PID_0E10]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_5A17&PID_0E15]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\tovrik]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\usbsim]
"Type"=dword:00000001
"Start"=dword:00000003
"ErrorControl"=dword:00000001
"ImagePath"="\\SystemRoot\\system32\\drivers\\usbsim.sys"
REG
  "$LANE_WINESERVER" -k 2>/dev/null || true
  "$LANE_WINE" regedit /S "$(lane_windows_path "$reg")" >"$LANE_LOGS/regedit.log" 2>&1 ||
    lane_fail "regedit could not import $reg" || return 1
  # services.exe reads its database when it starts: the next start sees the bus service.
  "$LANE_WINESERVER" -w
}

# A Unix path as Wine sees it (drive Z: is the root).
lane_windows_path() {
  local path
  path=$(readlink -m "$1")
  echo "Z:${path//\//\\}"
}

lane_start() {
  "$LANE_WINESERVER" -k 2>/dev/null || true
  "$LANE_WINESERVER" -w
  # The server and with it services.exe and winedevice.exe stay up between the lane's programs
  # until lane_stop ends them.
  "$LANE_WINESERVER" -p
  "$LANE_WINE" net start usbsim >"$LANE_LOGS/net-start.log" 2>&1 ||
    lane_fail "the bus service did not start (see $LANE_LOGS/net-start.log)" || return 1
}

lane_ctl() {
  "$LANE_WINE" 'C:\tovrik\usbsim.exe' "$@"
}

# Plugs N cameras in and waits, bounded in real time, until every one is started and opens.
lane_up() {
  local cameras=$1 identity=$2 pcap=$3
  local args=(up --cameras "$cameras" --identity "$identity" --timeout-ms "$LANE_START_TIMEOUT_MS")
  [ -z "$pcap" ] || args+=(--capture "$(lane_windows_path "$pcap")")
  # The tool bounds its own wait; the outer bound only catches a Wine that hangs outright.
  timeout --kill-after=10 $((LANE_START_TIMEOUT_MS / 1000 + 60)) "$LANE_WINE" 'C:\tovrik\usbsim.exe' "${args[@]}" >&2
  local rc=$?
  [ $rc -eq 0 ] || lane_fail "the cameras did not all start (usbsim.exe up: exit $rc)"
}

lane_tool() {
  "$LANE_WINE" 'C:\tovrik\tovrik.exe' "$@"
}

lane_stop() {
  [ -n "${LANE_WINESERVER:-}" ] || return 0
  if [ -n "${LANE_STARTED:-}" ]; then
    timeout 30 "$LANE_WINE" 'C:\tovrik\usbsim.exe' flush >/dev/null 2>&1 || true
  fi
  "$LANE_WINESERVER" -k 2>/dev/null || true
  timeout 30 "$LANE_WINESERVER" -w 2>/dev/null || true
  LANE_STARTED=
}
