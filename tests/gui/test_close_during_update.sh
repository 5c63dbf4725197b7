#!/usr/bin/env bash
# test_close_during_update.sh APP_EXE SIM: closing the main window while an
# update runs, inside a private network namespace.
#
# Eight times: the program starts, updates a simulated unit, and the user
# closes the window at a different point of the update and answers Yes. The
# program must end with exit code 0 and no crash report, each time. (Before
# the program ended itself while a worker ran, about one close in ten
# crashed here at exit: the shared session and the images were destroyed
# under the worker.) Then a
# last run updates the same unit to the end, and its memory equals the
# package: the broken-off updates left nothing in the way.
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

APP=$(readlink -f "$1")
SIM=$(readlink -f "$2")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  gui_require_file "$APP"
  gui_require_file "$SIM"
  gui_enter --addr 10.77.0.1/24 -- "$APP" "$SIM"
fi
source "$(dirname "$(readlink -f "$0")")/sim_lib.sh"
trap 'sim_stop_all; rm -rf "$SIM_DIR"' EXIT

# Replies 1 ms late: a whole update takes at least 6 s however fast the
# machine, while each close below comes a fraction of the application step
# in. The worker is then seldom waiting long for a reply, but mostly at work
# between frames, where the crash at exit showed.
sim_start unit --bind 10.77.0.20 --no-pty --delay-out 1:1

# start_logged_app TRY: the program, its standard error kept for the check.
start_logged_app() {
  "$WINE" "$APP" 2>"$SIM_DIR/app-$1.err" &
  APP_PID=$!
}

# start_update: the unit chosen, its version read, Update confirmed.
start_update() {
  drive <<'EOF'
wait-window FWUPDATER 60000
set-ip 1000 10.77.0.20
enabled 1004
expect-within 15000 1
click 1004
wait-box 5000
expect Warning
answer-box ok
text 1011
expect-within 20000 Progress: Server Application
EOF
}

# wait_bar_above N: waits until the progress bar stands above N.
wait_bar_above() {
  local i pos=0
  for ((i = 0; i < 600; i++)); do
    pos=$("$WINE" "$TQ_DRIVER" send-to 1003 0x408 0 0 | tr -d '\r') || pos=0
    ((pos > $1)) && return 0
    sleep 0.1
  done
  gui_fail "the bar stands at $pos, not above $1"
}

# check_clean_exit TRY: exit code 0, and nothing on standard error that
# tells of a crash.
check_clean_exit() {
  ((APP_RC == 0)) || gui_fail "try $1: exit code $APP_RC"
  if grep -Eiq 'unhandled|page fault|exception|starting debugger|backtrace' "$SIM_DIR/app-$1.err"; then
    cat "$SIM_DIR/app-$1.err" >&2
    gui_fail "try $1: the program crashed on its way out"
  fi
}

for try in 1 2 3 4 5 6 7 8; do
  start_logged_app "$try"
  start_update
  # Each try closes at another point: 20 to 160 frames in.
  wait_bar_above $((try * 160))
  drive <<'EOF'
wait-window FWUPDATER 5000
enabled 1004
expect 0
close
wait-box 5000
expect Close
box-text
expect Close the application ?
answer-box yes
wait-exit -- 30000
expect 0
EOF
  app_wait 30
  check_clean_exit "$try"
  gui_say "try $try: closed during the update, clean exit"
done

# ---- the same unit, updated to the end
start_logged_app final
start_update
drive <<'EOF'
wait-window FWUPDATER 5000
wait-box 600000
expect Success
box-text
expect The firmware updated successfully.
answer-box ok
close
wait-box 5000
expect Close
answer-box yes
wait-exit -- 30000
expect 0
EOF
app_wait 30
check_clean_exit final
sim_stop unit
sim_verify unit
# Only the last run ended an update.
sim_expect unit 'd["updates_ended"]' 1
[[ $(sim_command_count unit 2 130) == 9 ]] || gui_fail "the application was begun $(sim_command_count unit 2 130) times, not 9"
gui_say "after eight broken-off updates the same unit was updated exactly"
gui_say "all checks passed"
