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
unset DISPLAY WAYLAND_DISPLAY
# The 64-bit loader itself where there is one: the `wine` wrapper also wants the 32-bit half,
# which these programs do not need.
for loader in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
    if [ -n "$loader" ] && [ -x "$loader" ]; then
        exec "$loader" "$@"
    fi
done
echo "wine_run.sh: no Wine loader found (scripts/install-deps.sh installs Wine)" >&2
exit 127
