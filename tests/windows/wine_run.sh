#!/usr/bin/env bash
# Runs a Windows program under Wine in the test prefix, quietly and without a display.
#
#   wine_run.sh PREFIX PROGRAM [ARGS...]
#
# PREFIX is created on first use (the test fixture does that once, before the tests that need
# it). Mono and Gecko are left out: no test needs them, and their installers would ask for a
# window. Arguments that are file paths must be given as Windows paths (Z:/path/to/file).
set -u
export WINEPREFIX=$1
shift
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
exec wine "$@"
