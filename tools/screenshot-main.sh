#!/usr/bin/env bash
# screenshot-main.sh EXE OUT.png
#
# Starts the Windows program EXE under Wine (tools/wine-run.sh: fresh prefix,
# private X server, private network namespace, the machine's serial devices
# hidden), waits for its idle main window, saves a picture of that window as
# OUT.png, and closes the program through its own close question. Builds
# nothing.
#
# Environment:
#   TQ_DRIVER         tq_driver.exe (default: tests/gui/tq_driver.exe of the
#                     Windows build that holds EXE, i.e. EXE/../../tests/gui)
#   TQ_WINE_TEMPLATE  a template prefix to copy instead of a new wineboot
set -euo pipefail

die() { echo "screenshot-main.sh: error: $*" >&2; exit 1; }

if [[ ${TQ_SCREENSHOT_INNER:-} != 1 ]]; then
  (($# == 2)) || die "usage: screenshot-main.sh EXE OUT.png"
  exe=$(readlink -f "$1") && [[ -f $exe ]] || die "no program $1"
  out=$(readlink -m "$2")
  driver=${TQ_DRIVER:-$(dirname "$exe")/../tests/gui/tq_driver.exe}
  driver=$(readlink -f "$driver") && [[ -f $driver ]] ||
    die "no test driver at $driver (build tq_driver in the Windows tree or set TQ_DRIVER)"
  mkdir -p "$(dirname "$out")"
  template=()
  [[ -z ${TQ_WINE_TEMPLATE:-} ]] || template=(--keep-prefix "$TQ_WINE_TEMPLATE")
  export TQ_SCREENSHOT_INNER=1
  exec "$(dirname "$(readlink -f "$0")")/wine-run.sh" "${template[@]}" --netns --hide-serial -- \
    bash "$(readlink -f "$0")" "$exe" "$out" "$driver"
fi

exe=$1 out=$2 driver=$3
"$WINE" "$exe" &
app=$!

"$WINE" "$driver" script - <<'EOF' || die "the main window did not come up idle"
wait-window FWUPDATER 60000
no-box
text 1011
expect Progress: Idle
EOF
sleep 1  # let the first paint finish
read -r left top right bottom < <("$WINE" "$driver" rect window | tr -d '\r') ||
  die "cannot read the window's position"
xwd -root -silent -display "$DISPLAY" |
  convert xwd:- -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "png:$out" ||
  die "cannot take the picture"

"$WINE" "$driver" script - <<'EOF' >/dev/null || die "the program did not close cleanly"
wait-window FWUPDATER 10000
close
wait-box
expect Close
answer-box yes
wait-exit -- 30000
expect 0
EOF
wait "$app" || die "the program ended with exit code $?"
echo "screenshot-main.sh: wrote $out ($((right - left))x$((bottom - top)))"
