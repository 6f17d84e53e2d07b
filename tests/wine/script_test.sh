#!/usr/bin/env bash
# scripts/wine.sh as a user runs it: a camera running its program answers `--json info` with its
# own identity and exit code 0; a shell whose line fails exits with the tool's 1, standard input,
# output and error passed through; no Wine process is left either time.
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/harness.sh"
need_tool "$JQ" jq
wine_sh() { TOVRIK_WINE_DIR=$LANE_DIR TOVRIK_WINDOWS_BUILD=$LANE_BUILD "$TOVRIK_SOURCE/scripts/wine.sh" "$@"; }

wine_sh --identity own -- --json info >"$WORK/info.json" 2>"$WORK/info.err"
expect_eq "exit code of --json info" 0 "$?"
expect_eq "idProduct the driver reads from the camera" 0x0E15 \
  "$(unix_lines <"$WORK/info.json" | "$JQ" -r '.device_descriptor.idProduct')"
expect_eq "Wine processes left after wine.sh" 0 "$(prefix_processes)"

printf 'version\nioctl IOCTL_TOVRIK_GET_PIPE_INFO --out-len 3\n' |
  wine_sh --identity own -- shell --human >"$WORK/shell.out" 2>"$WORK/shell.err"
expect_eq "exit code of a shell with a failed line" 1 "$?"
expect_true "the answer to the first line reached standard output" grep -q '^> version' "$WORK/shell.out"
expect_true "the failed line's status reached standard output" grep -q 'STATUS_INVALID_PARAMETER' "$WORK/shell.out"
expect_true "the tool's complaint reached standard error" grep -q 'shell line(s) failed' "$WORK/shell.err"
expect_eq "Wine processes left after wine.sh" 0 "$(prefix_processes)"
