#!/usr/bin/env bash
# The main job: update a (simulated) TQ35B unit with the command-line
# updater, and check what reached the unit's memory.
#
#   bash tools/main-job.sh                 # the command-line updater on Linux
#   bash tools/main-job.sh --wine [SHOT]   # then the Windows program under Wine
#
# It installs what it needs (tools/setup.sh), builds the command-line updater
# and the simulated unit, and starts the unit inside a private network
# namespace whose only interface is its own loopback: nothing leaves the
# machine. There it finds the unit by network discovery, asks it for its
# versions, updates it (a progress bar on a terminal, plain lines
# otherwise), and compares the unit's memory with the package byte for byte.
#
# --wine also builds the Windows programs and, in a fresh Wine prefix on a
# private X server inside a private network namespace, updates another
# simulated unit from the windowed program's main window, writes a picture
# of the window during the update to SHOT (default build/main-job-wine.png),
# checks the unit's memory the same way and asks the unit for its versions
# with the Windows build of the command-line updater.
#
# --fast: the simulated unit answers at once (the update then takes a
# fraction of a second); by default it takes 1 ms over each frame, roughly
# as a unit writing its memory does, so that the progress bar can be seen.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
say() { echo "main job: $*"; }
die() { echo "main job: FAILED: $*" >&2; exit 1; }

# ------------------------------------------------------- inside the namespace
# Each part below runs in a private namespace; the outer part (at the end)
# builds and then calls them.

unit_ready() {  # unit_ready READY-FILE: waits for the simulated unit
  for _ in $(seq 200); do
    grep -q '^ready' "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  die "the simulated unit did not start: $(cat "$1" 2>/dev/null)"
}

verify_dump() {  # verify_dump DUMP: the unit's memory against the package
  local verdict
  verdict=$("$root/build/native/sim/tq35b_sim" --verify-dump "$1") || die "the unit's memory: $verdict"
  say "verified: $verdict (application image and flash image, byte for byte)"
}

native_inside() {
  local cli=$root/build/native/cli/tq35b sim=$root/build/native/sim/tq35b_sim
  local work unit=10.77.0.20
  work=$(mktemp -d)
  local pace=(--delay-out 100%:1)
  [[ ${TQ_MAIN_JOB_FAST:-0} == 1 ]] && pace=()
  "$sim" --bind "$unit" --announce-from "$unit" --no-pty --app-version 1.7 --dump "$work/unit.dump" \
    "${pace[@]+"${pace[@]}"}" >"$work/ready" 2>"$work/unit.log" &
  unit_ready "$work/ready"
  say "a simulated TQ35B unit in bootload mode answers at $unit, inside a private network namespace"
  echo
  echo "\$ tq35b info"
  "$cli" info | sed -n '1,7p'
  echo
  echo "\$ tq35b discover --time 3"
  "$cli" discover --time 3
  echo
  echo "\$ tq35b query --ip $unit"
  "$cli" query --ip "$unit"
  echo
  echo "\$ tq35b update --ip $unit"
  "$cli" update --ip "$unit" || die "the update ended with exit code $?"
  echo
  # The unit wrote its dump when the update ended.
  verify_dump "$work/unit.dump"
  echo
  echo "\$ tq35b query --ip $unit"
  "$cli" query --ip "$unit"
}

# drive WHAT: runs the driver script on standard input; its step log is shown
# only when a step does not hold.
drive() {
  local log
  log=$(mktemp)
  if ! "$WINE" "$root/$win_build/tests/gui/tq_driver.exe" script - >"$log" 2>&1; then
    tr -d '\r' <"$log" >&2
    die "$1"
  fi
}

wine_inside() {
  local shot=$1
  local sim=$root/build/native/sim/tq35b_sim
  local app=$root/$win_build/app/tq35b_updater.exe
  local driver=$root/$win_build/tests/gui/tq_driver.exe
  local cli=$root/$win_build/cli/tq35b.exe
  local work unit=10.77.0.21
  work=$(mktemp -d)
  "$sim" --bind "$unit" --no-pty --app-version 1.7 --dump "$work/unit.dump" >"$work/ready" 2>"$work/unit.log" &
  unit_ready "$work/ready"
  say "Wine: a simulated unit at $unit; the windowed program updates it"
  "$WINE" "$app" &
  local app_pid=$!
  drive "the update did not get under way in the main window" <<EOF
wait-window FWUPDATER 60000
set-ip 1000 $unit
text 1051
expect-within 20000 1.7
enabled 1004
expect-within 5000 1
click 1004
wait-box 5000
expect Warning
answer-box ok
text 1011
expect-within 60000 Progress: Server UI
EOF
  sleep 0.5
  local left top right bottom
  read -r left top right bottom < <("$WINE" "$driver" rect window | tr -d '\r') || die "no window to picture"
  mkdir -p "$(dirname "$shot")"
  xwd -root -silent -display "$DISPLAY" |
    convert xwd:- -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "png:$shot" ||
    die "cannot take the picture"
  say "Wine: picture of the main window during the update: $shot"
  drive "the windowed program did not report success" <<'EOF'
wait-box 120000
expect Success
box-text
expect The firmware updated successfully.
answer-box ok
text 1011
expect-within 10000 Progress: Idle
EOF
  say "Wine: the main window reported: The firmware updated successfully."
  verify_dump "$work/unit.dump"
  drive "the windowed program did not close" <<'EOF'
wait-window FWUPDATER 10000
close
wait-box
expect Close
answer-box yes
wait-exit -- 30000
expect 0
EOF
  wait "$app_pid" || true
  echo
  echo "> tq35b.exe query --ip $unit      (the Windows console build, under Wine)"
  "$WINE" "$cli" query --ip "$unit" | tr -d '\r'
}

# The Windows build that Wine runs here: the shipped 32-bit one, or where this
# machine runs no 32-bit programs the 64-bit build of the same sources.
win_preset=windows
[[ $(bash "$root/tools/wine-arch.sh") == win32 ]] || win_preset=windows64
win_build=build/$win_preset

case "${1:-}" in
  --inside-native) native_inside; exit 0 ;;
  --inside-wine) wine_inside "$2"; exit 0 ;;
esac

# ---------------------------------------------------------------- outside
wine=0
shot=build/main-job-wine.png
while [[ $# -gt 0 ]]; do
  case "$1" in
    --wine)
      wine=1
      if [[ $# -ge 2 && $2 != --* ]]; then shot=$2; shift; fi
      shift ;;
    --fast) export TQ_MAIN_JOB_FAST=1; shift ;;
    *) echo "usage: $0 [--fast] [--wine [SHOT.png]]" >&2; exit 2 ;;
  esac
done
shot=$(readlink -m "$shot")

bash tools/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
say "building the command-line updater and the simulated unit"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target tq35b tq35b_sim >/dev/null
if [[ $wine == 1 ]]; then
  say "building the Windows programs"
  cmake --preset "$win_preset" >/dev/null
  cmake --build --preset "$win_preset" -j "$jobs" --target tq35b_updater tq_driver tq35b >/dev/null
fi

bash tools/netns-run.sh --addr 10.77.0.1/24 -- bash "$root/tools/main-job.sh" --inside-native ||
  die "the command-line update (exit code $?)"

if [[ $wine == 1 ]]; then
  echo
  bash tools/wine-run.sh --netns --addr 10.77.0.1/24 --hide-serial -- \
    bash "$root/tools/main-job.sh" --inside-wine "$shot" || die "the update under Wine (exit code $?)"
fi
echo
say "done"
