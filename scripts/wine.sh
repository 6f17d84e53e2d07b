#!/usr/bin/env bash
# Runs the tovrik tool against the real tovrik.sys under Wine's NT kernel, a second, independent
# implementation of the kernel interfaces the driver calls, over the simulated USB bus usbsim.sys
# with its cameras.
#
# Usage: scripts/wine.sh [--fresh] [--cameras N] [--identity foreign|own] [--pcap FILE] -- TOOL-ARGS...
#   --fresh            make a new Wine prefix (build/wine/prefix) instead of reusing the last one
#   --cameras N        cameras plugged in (default 1, at most 8)
#   --identity ID      foreign (default): the cameras arrive without firmware and the driver
#                      downloads it; own: they arrive running their program
#   --pcap FILE        every URB of the bus goes to FILE (USBPcap, for Wireshark or tshark)
#   TOOL-ARGS          the arguments of tovrik.exe (e.g. -- --json info, -- shell)
#
# Installs Wine (apt-get install -y wine64) when it is missing and builds the windows preset when
# needed; the Wine prefix is kept under build/wine between runs. The tool's standard input, output
# and error are passed through and its exit code is this script's; the script's own messages go
# to standard error. No Wine process is left running.
set -uo pipefail
cd "$(dirname "$0")/.."
source sim/wine/lane.sh

# The usage text above; to standard output for --help, to standard error after a mistake.
usage() {
  local status=${1:-2}
  if [ "$status" -eq 0 ]; then
    sed -n '6,17p' "$0" | sed 's/^# \{0,1\}//'
  else
    sed -n '6,17p' "$0" | sed 's/^# \{0,1\}//' >&2
  fi
  exit "$status"
}

fresh=0
cameras=1
identity=foreign
pcap=
while [ $# -gt 0 ]; do
  case "$1" in
    --fresh) fresh=1; shift ;;
    --cameras) [ $# -ge 2 ] || usage; cameras=$2; shift 2 ;;
    --identity) [ $# -ge 2 ] || usage; identity=$2; shift 2 ;;
    --pcap) [ $# -ge 2 ] || usage; pcap=$2; shift 2 ;;
    --) shift; break ;;
    -h | --help) usage 0 ;;
    *) echo "wine.sh: unknown argument '$1' (the tool's arguments go after --)" >&2; usage ;;
  esac
done
[ $# -gt 0 ] || { echo "wine.sh: no tool arguments after --" >&2; usage; }
case "$identity" in foreign | own) ;; *) echo "wine.sh: --identity is foreign or own" >&2; exit 2 ;; esac
case "$cameras" in
  [1-8]) ;;
  *) echo "wine.sh: --cameras is 1 to 8" >&2; exit 2 ;;
esac
if [ -n "$pcap" ]; then
  mkdir -p "$(dirname "$pcap")" || exit 2
  pcap=$(readlink -m "$pcap")
fi

lane_setup . || exit 1
lane_ensure_wine || exit 1
lane_ensure_build || exit 1
lane_lock
trap lane_stop EXIT
trap 'exit 130' INT TERM
lane_prepare_prefix "$fresh" || exit 1
lane_install || exit 1
lane_start || exit 1
LANE_STARTED=1
lane_log "plugging in $cameras camera(s), identity $identity${pcap:+, capture $pcap}"
lane_up "$cameras" "$identity" "$pcap" || exit 1
lane_tool "$@"
status=$?
exit $status
