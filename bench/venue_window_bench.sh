#!/usr/bin/env bash
# Figures for a venue of simulated units updated from the venue window under
# Wine, against the console tool's update --all for the same fleet, inside
# a private network namespace: both search for the same least time, plan,
# and write every unit (each taking 1 ms over every frame, as a unit writing
# its memory does), through the same worker programs. The window's time runs
# from its start to its summary line, with the confirmation answered at
# once; the command's from its start to its end. Goal: the window within 1.2
# times the command, so that the window is never the bottleneck. Prints
# figures; asserts nothing.
#
#   bench/venue_window_bench.sh [--windows DIR] [--native DIR] [--units N] [--time S]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tests/gui/gui_lib.sh"

if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  windows=$here/build/windows
  [[ $(bash "$here/tools/wine-arch.sh") == win64 ]] && windows=$here/build/windows64
  native=$here/build/native
  units=64
  search=4
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --windows) windows=$(cd "$2" && pwd); shift 2 ;;
      --native) native=$(cd "$2" && pwd); shift 2 ;;
      --units) units=$2; shift 2 ;;
      --time) search=$2; shift 2 ;;
      *) echo "usage: $0 [--windows DIR] [--native DIR] [--units N] [--time S]" >&2; exit 2 ;;
    esac
  done
  export TQ_WINE_RUN_SH=$here/tools/wine-run.sh TQ_DRIVER=$windows/tests/gui/tq_driver.exe TQ_SOURCE_DIR=$here
  export TQ_OUTPUT_DIR=${TMPDIR:-/tmp}
  for f in "$windows/venue_window/tq35b_venue.exe" "$windows/cli/tq35b.exe" "$native/sim/tq35b_sim"; do
    gui_require_file "$f"
  done
  gui_enter --addr 10.77.0.1/16 -- "$windows/venue_window/tq35b_venue.exe" "$windows/cli/tq35b.exe" \
    "$native/sim/tq35b_sim" "$units" "$search"
fi
SIM=$3
UNITS=$4
SEARCH=$5
source "$here/tests/gui/sim_lib.sh"
trap 'sim_stop_all; rm -rf "$SIM_DIR"' EXIT
BIN=$SIM_DIR/bin
mkdir -p "$BIN"
cp "$1" "$2" "$BIN/"

start_fleet() {
  local i address
  for ((i = 0; i < UNITS; i++)); do
    address=10.77.1.$((i + 1))
    sim_start "u$i" --bind "$address" --announce-from "$address" --no-pty --handling 1
  done
}

exact_units() {
  local i exact=0
  for ((i = 0; i < UNITS; i++)); do
    sim_stop "u$i"
    "$SIM" --verify-dump "$SIM_DIR/u$i.json" >/dev/null 2>&1 && exact=$((exact + 1))
  done
  echo "$exact"
}

echo "== venue of $UNITS simulated units (1 ms per frame, bootload mode), search $SEARCH s, under Wine"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

start_fleet
t0=$(date +%s.%N)
"$WINE" "$BIN/tq35b.exe" update --all --time "$SEARCH" --yes >"$SIM_DIR/command.out" 2>&1 || true
t1=$(date +%s.%N)
command_s=$(python3 -c "print($t1 - $t0)")
printf 'tq35b.exe update --all: %6.1f s  (%s of %s units exact)\n' "$command_s" "$(exact_units)" "$UNITS"

start_fleet
t0=$(date +%s.%N)
"$WINE" "$BIN/tq35b_venue.exe" --time "$SEARCH" &
APP_PID=$!
"$WINE" "$TQ_DRIVER" --class TQVENUE script - >"$SIM_DIR/driver.log" <<EOF || gui_fail "the window did not finish (see $SIM_DIR/driver.log)"
wait-window TQVENUE 120000
enabled 1110
expect-within 300000 1
click 1110
wait-box 10000
answer-box yes
text 1100
expect-within 1800000 $UNITS updated, 0 skipped, 0 failed
EOF
t1=$(date +%s.%N)
window_s=$(python3 -c "print($t1 - $t0)")
"$WINE" "$TQ_DRIVER" --class TQVENUE close >/dev/null 2>&1 || true
app_wait 60
printf 'tq35b_venue.exe:        %6.1f s  (%s of %s units exact)\n' "$window_s" "$(exact_units)" "$UNITS"
printf 'window / command: %.2f (goal: at most 1.2)\n' "$(python3 -c "print($window_s / $command_s)")"
