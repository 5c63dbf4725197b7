#!/usr/bin/env bash
# take_screenshots.sh WIN_EXTRAS_TEST_EXE OUT_DIR: pictures of the splash
# screen, Version Information, Notes and the About box as the program draws
# them (the test program holds the same dialogs and resources), written as
# splash.png, version-information.png, notes.png and about.png.
#
#   tests/extras/take_screenshots.sh /tmp/buildwin/tests/extras/win_extras_test.exe docs/screenshots
set -euo pipefail

if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  (($# == 2)) || { echo "usage: take_screenshots.sh WIN_EXTRAS_TEST_EXE OUT_DIR" >&2; exit 2; }
  exe=$(readlink -f "$1")
  out=$(readlink -m "$2")
  [[ -f $exe ]] || { echo "no such program: $1" >&2; exit 1; }
  mkdir -p "$out"
  here=$(dirname "$(readlink -f "$0")")
  exec "$here/../../tools/wine-run.sh" --netns -- bash "$(readlink -f "$0")" "$exe" "$out"
fi

exe=$1 out=$2
# Wine's own theme greys the hot-light colour of links; pictures show the
# system's usual blue.
"$WINE" reg add 'HKCU\Control Panel\Colors' /v HotTrackingColor /d '0 102 204' /f >/dev/null 2>&1
"$WINE" "$exe" show about 10 >/dev/null  # desktop, fonts and server up first

# The picture of the dialog of that title: its window rectangle, found by
# the dark frame of the screen around it (no driver needed).
picture() { # WHAT FILE
  "$WINE" "$exe" show "$1" 5000 >/dev/null &
  local shown=$!
  sleep 3
  xwd -root -silent -display "$DISPLAY" | convert xwd:- "png:$out/.screen.png"
  wait "$shown"
  # The desktop is one colour; the dialog is whatever differs from it.
  convert "$out/.screen.png" -fuzz 2% -trim +repage "png:$2"
  rm -f "$out/.screen.png"
  echo "take_screenshots.sh: $2 ($(identify -format '%wx%h' "$2"))"
}

picture splash "$out/splash.png"
picture versions "$out/version-information.png"
picture notes "$out/notes.png"
picture about "$out/about.png"
