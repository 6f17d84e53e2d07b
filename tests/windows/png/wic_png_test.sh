#!/usr/bin/env bash
# The Windows tool's PNG writer (WIC) under Wine, against the host tool's libpng writer: for each
# test frame, the PNG the Windows writer makes must decode, with libpng on the host, to a 16-bit
# grayscale image of exactly the frame's pixels, as the host tool's PNG of the same frame does.
# Frames the writer must refuse leave no file behind.
#
#   wic_png_test.sh WINE_RUN PREFIX PNG_WRITER_EXE PNG_PIXELS WORK_DIR
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../support/checks.sh"
arguments wine_run prefix writer pixels work -- "$@"

rm -rf "$work" && mkdir -p "$work"
winpath() { echo "Z:$1"; }

for frame in "ramp 640 480" "extremes 7 5" "noise 257 3" "extremes 1 1" "noise 1 1000"; do
    read -r kind width height <<<"$frame"
    name="$work/$kind-${width}x$height"
    "$pixels" frame "$kind" "$width" "$height" "$name.raw"
    if ! output=$(bash "$wine_run" "$prefix" "$writer" "$(winpath "$name.raw")" "$width" "$height" \
        "$(winpath "$name.wic.png")" 2>&1); then
        fail "$kind ${width}x$height: the Windows writer failed: $output"
        continue
    fi
    if result=$("$pixels" compare "$name.wic.png" "$name.raw" "$width" "$height"); then
        ok "$kind ${width}x$height through WIC: $result"
    else
        fail "$kind ${width}x$height through WIC: $result"
    fi
    "$pixels" libpng "$name.raw" "$width" "$height" "$name.libpng.png"
    if result=$("$pixels" compare "$name.libpng.png" "$name.raw" "$width" "$height"); then
        ok "$kind ${width}x$height through the host tool's libpng writer: the same pixels"
    else
        fail "$kind ${width}x$height through libpng: $result"
    fi
done

# A frame whose byte count does not match its size: refused before any file exists.
"$pixels" frame noise 4 4 "$work/short.raw"
if output=$(bash "$wine_run" "$prefix" "$writer" "$(winpath "$work/short.raw")" 5 4 \
    "$(winpath "$work/short.png")" 2>&1); then
    fail "a 4x4 frame written as 5x4 was accepted"
elif [[ $output == *"bytes are not a 5 x 4 frame"* ]] && [ ! -e "$work/short.png" ]; then
    ok "a frame of the wrong size is refused, no file written"
else
    fail "a frame of the wrong size: '$output', file left: $([ -e "$work/short.png" ] && echo yes || echo no)"
fi

# A folder that cannot be made (a file is in the way): a clear message and no file.
touch "$work/in-the-way"
if output=$(bash "$wine_run" "$prefix" "$writer" "$(winpath "$work/short.raw")" 4 4 \
    "$(winpath "$work/in-the-way/frame.png")" 2>&1); then
    fail "writing below a plain file succeeded"
elif [[ $output == *"cannot "* ]]; then
    ok "an output folder that cannot be made is reported: $output"
else
    fail "an output folder that cannot be made: '$output'"
fi

finish "" "all PNG checks passed"
