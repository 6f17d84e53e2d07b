# Sourced by the lane's tests (CTest gives them TOVRIK_SOURCE, TOVRIK_WINDOWS_BUILD,
# TOVRIK_WINE_DIR, TOVRIK_HOST_TOOL, JQ, TSHARK): the lane with the test's prefix, a scratch
# folder, and checks that count failures instead of stopping at the first.
set -uo pipefail
source "$TOVRIK_SOURCE/sim/wine/lane.sh"
lane_setup "$TOVRIK_SOURCE"
source "$TOVRIK_SOURCE/tests/support/checks.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tovrik-wine.XXXXXX")

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  if [ "$2" = "$3" ]; then ok "$1: $3"; else fail "$1: expected '$2', got '$3'"; fi
}
# expect_fields FILE: fields of a JSON object the tool wrote, given on standard input as lines
# "FIELD EXPECTED WHAT".
expect_fields() {
  local file=$1 field expected what
  while read -r field expected what; do
    expect_eq "$what" "$expected" "$("$JQ" -r ".$field" "$file")"
  done
}
# expect_true WHAT TEST-ARGS...
expect_true() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
need_tool() {
  [ -n "$1" ] && [ -x "$1" ] || { echo "FAIL: $2 is needed and was not found"; exit 1; }
}

harness_end() {
  local status=$?
  lane_stop
  rm -rf "$WORK"
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  exit "$status"
}
trap harness_end EXIT

# The lane with CAMERAS cameras of IDENTITY (and a capture to PCAP), every one started.
harness_up() {
  lane_find_wine || { echo "FAIL: Wine is not installed"; exit 1; }
  lane_unpack || exit 1
  lane_lock
  lane_prepare_prefix 0 || exit 1
  lane_install || exit 1
  lane_start || exit 1
  LANE_STARTED=1
  lane_up "$1" "$2" "${3:-}" || exit 1
}

# One JSON object per line of tovrik.exe's output, carriage returns gone (the Windows C runtime
# ends lines with CR LF).
unix_lines() { tr -d '\r'; }

bus_state() { lane_ctl status --json | unix_lines; }

# Wine processes still running for this prefix (the loader and the server; this shell's own
# children inherit WINEPREFIX too, so only Wine's programs count).
prefix_processes() {
  local count=0 pid exe
  for pid in /proc/[0-9]*; do
    exe=$(readlink "$pid/exe" 2>/dev/null) || continue
    case "$exe" in
      */wine64* | */wineserver* | */wine-preloader* | */wine64-preloader*) ;;
      *) continue ;;
    esac
    if tr '\0' '\n' <"$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      count=$((count + 1))
    fi
  done
  echo "$count"
}

# Runs the host build's tool (the host kernel with its simulated bus) in the scratch folder.
host_tool() {
  need_tool "$TOVRIK_HOST_TOOL" "the host build's tovrik tool ($TOVRIK_HOST_TOOL; build the host preset)"
  (cd "$WORK" && "$TOVRIK_HOST_TOOL" "$@")
}
