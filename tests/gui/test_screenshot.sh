#!/usr/bin/env bash
# test_screenshot.sh APP_EXE: tools/screenshot-main.sh makes a picture of the
# idle main window, and the picture shows the window (its face colour, many
# colours of text and controls), not a black or empty frame.
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

APP=$(readlink -f "$1")
SHOT=$TQ_OUTPUT_DIR/main-window.png
rm -f "$SHOT"
"$TQ_SOURCE_DIR/tools/screenshot-main.sh" "$APP" "$SHOT" || gui_fail "screenshot-main.sh failed"
gui_require_file "$SHOT"

read -r width height colours mean < <(identify -format '%w %h %k %[fx:mean]\n' "$SHOT")
gui_say "picture ${width}x${height}, $colours colours, mean $mean"
# The window is 327 x 295 dialog units: some 500 to 700 pixels wide.
((width >= 400 && width <= 900 && height >= 350 && height <= 760)) ||
  gui_fail "picture size ${width}x${height} is not the main window's"
((colours >= 16)) || gui_fail "only $colours colours: no window drawn"
awk -v m="$mean" 'BEGIN { exit !(m > 0.5 && m < 0.99) }' || gui_fail "mean brightness $mean: black or blank"
# Most of a dialog is its face colour, a light grey.
face=$(convert "$SHOT" -crop 40x10+20+$((height - 30)) +repage -scale 1x1! -format '%[fx:int(255*r)] %[fx:int(255*g)] %[fx:int(255*b)]' info:)
read -r r g b <<<"$face"
((r > 200 && g > 200 && b > 200 && r - b < 20 && b - r < 20)) ||
  gui_fail "the window's lower left is $face, not the face grey"
gui_say "all checks passed"
