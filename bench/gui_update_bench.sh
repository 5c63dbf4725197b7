#!/usr/bin/env bash
# Figures for an update from the main window of the Windows program under
# Wine, inside a private network namespace: a simulated unit that numbers its
# frames (sequence mode) and one that does not (plain mode), each updated
# twice, the time taken from OK on the warning to the Success box; then the
# same pair taking 1 ms over each frame, as a unit writing its memory does.
# Plain mode watches the line for a little longer than the unit's replies
# take before each frame, so it costs more; goal: at most 2.5 times sequence
# mode. Prints figures; asserts nothing.
#
#   bench/gui_update_bench.sh [--windows DIR] [--native DIR] [--runs N]
#
# The Windows build is the one Wine runs here (build/windows, or
# build/windows64 on a machine without 32-bit support).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tests/gui/gui_lib.sh"

if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  windows=$here/build/windows
  [[ $(bash "$here/tools/wine-arch.sh") == win64 ]] && windows=$here/build/windows64
  native=$here/build/native
  runs=2
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --windows) windows=$(cd "$2" && pwd); shift 2 ;;
      --native) native=$(cd "$2" && pwd); shift 2 ;;
      --runs) runs=$2; shift 2 ;;
      *) echo "usage: $0 [--windows DIR] [--native DIR] [--runs N]" >&2; exit 2 ;;
    esac
  done
  export TQ_WINE_RUN_SH=$here/tools/wine-run.sh TQ_DRIVER=$windows/tests/gui/tq_driver.exe TQ_SOURCE_DIR=$here
  export TQ_OUTPUT_DIR=${TMPDIR:-/tmp}
  gui_require_file "$windows/app/tq35b_updater.exe"
  gui_require_file "$native/sim/tq35b_sim"
  gui_enter --addr 10.77.0.1/24 -- "$windows/app/tq35b_updater.exe" "$native/sim/tq35b_sim" "$runs"
fi
APP=$1
SIM=$2
RUNS=$3
source "$here/tests/gui/sim_lib.sh"
trap 'sim_stop_all; rm -rf "$SIM_DIR"' EXIT

kinds=(sequence plain sequence-1ms plain-1ms)
declare -A address=([sequence]=10.77.0.20 [plain]=10.77.0.21 [sequence-1ms]=10.77.0.22 [plain-1ms]=10.77.0.23)
sim_start sequence --bind "${address[sequence]}" --no-pty
sim_start plain --bind "${address[plain]}" --no-pty --no-sequence
sim_start sequence-1ms --bind "${address[sequence-1ms]}" --no-pty --handling 1
sim_start plain-1ms --bind "${address[plain-1ms]}" --no-pty --no-sequence --handling 1

# timed_update ADDRESS: seconds from OK on the warning to the Success box.
timed_update() {
  drive <<EOF >>"$SIM_DIR/driver.log"
wait-window FWUPDATER 60000
set-ip 1000 ...
set-ip 1000 $1
enabled 1004
expect-within 15000 1
click 1004
wait-box 5000
expect Warning
EOF
  local t0 t1
  t0=$(date +%s.%N)
  drive <<'EOF' >>"$SIM_DIR/driver.log"
answer-box ok
wait-box 600000
expect Success
EOF
  t1=$(date +%s.%N)
  drive <<'EOF' >>"$SIM_DIR/driver.log"
answer-box ok
text 1011
expect-within 5000 Progress: Idle
EOF
  python3 -c "import sys; print('%.2f' % (float(sys.argv[2]) - float(sys.argv[1])))" "$t0" "$t1"
}

start_app "$APP"
echo "== GUI update under Wine, OK to Success (machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
declare -A times=()
for ((run = 1; run <= RUNS; run++)); do
  for kind in "${kinds[@]}"; do
    seconds=$(timed_update "${address[$kind]}")
    printf '  %-12s run %d: %6.2f s\n' "$kind" "$run" "$seconds"
    times[$kind]+="$seconds"$'\n'
  done
done
best() { sort -n <<<"${times[$1]}" | grep . | head -n1; }
drive <<'EOF' >>"$SIM_DIR/driver.log"
close
wait-box 5000
answer-box yes
EOF
app_wait 30
for kind in "${kinds[@]}"; do
  sim_stop "$kind"
  sim_verify "$kind"
done
ratio='import sys; print("  best%s: sequence %.2f s, plain %.2f s; plain is %.2f x sequence" % (sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), float(sys.argv[3]) / float(sys.argv[2])))'
python3 -c "$ratio" "" "$(best sequence)" "$(best plain)"
python3 -c "$ratio" " at 1 ms a frame" "$(best sequence-1ms)" "$(best plain-1ms)"
echo "== done"
