#!/usr/bin/env bash
# The lane's fixture: Wine present, the Windows package built and unpacked, the bus built, a
# Wine prefix made (once; later runs reuse it).
set -uo pipefail
source "$TOVRIK_SOURCE/sim/wine/lane.sh"
lane_setup "$TOVRIK_SOURCE"
lane_ensure_wine || exit 1
lane_ensure_build || exit 1
lane_lock
lane_prepare_prefix 0 || exit 1
echo "lane ready: package $LANE_PACKAGE, prefix $WINEPREFIX"
