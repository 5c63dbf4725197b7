#!/usr/bin/env bash
# test_update_gui.sh APP_EXE SIM [SHOT_DIR]: updates from the main window
# against simulated units on the network, inside a private network namespace.
#
# - Update asks with the "update-warning" text; Cancel starts nothing.
# - File > Update asks the same; OK runs the update: the busy state (version
#   reports of a query still on its way enable nothing), the status line
#   through its steps, the progress range of the package and a moving bar,
#   "The firmware updated successfully.", then "Progress: Idle" with the bar
#   at 0 and the controls back. The unit's memory equals the package, and
#   the Factory Defaults choice reached it.
# - A unit that falls silent mid-update: "The firmware update could not
#   complete." under "Error".
# - Closing during an update asks; No lets it go on, Yes ends the program.
# A picture of the window during the update goes to SHOT_DIR (default: the
# test output folder) as main-window-update.png.
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

APP=$(readlink -f "$1")
SIM=$(readlink -f "$2")
SHOT_DIR=$(readlink -m "${3:-$TQ_OUTPUT_DIR}")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  gui_require_file "$APP"
  gui_require_file "$SIM"
  gui_enter --addr 10.77.0.1/24 -- "$APP" "$SIM" "$SHOT_DIR"
fi
source "$(dirname "$(readlink -f "$0")")/sim_lib.sh"
trap 'sim_stop_all; rm -rf "$SIM_DIR"' EXIT
HERE=$(dirname "$(readlink -f "$0")")
WARNING=$(properties_value "$TQ_SOURCE_DIR/resources/package/updater.properties" update-warning)

# The package's progress range: application records, flash bytes and 10 for
# the factory defaults.
RANGE=$((19762 + 246516 + 10))

# Replies 1 ms late: each step then lasts some seconds, long enough to be
# seen on a busy machine, and the whole update still takes well under a
# minute.
sim_start unit --bind 10.77.0.20 --no-pty --app-version 1.2 --delay-out 1:1
sim_start silent --bind 10.77.0.21 --no-pty --silent-from 200
# Replies 20 ms late: this update lasts minutes, so it is surely running
# when the window is closed.
sim_start closing --bind 10.77.0.22 --no-pty --delay-out 1:20

start_app "$APP"
drive <<EOF
wait-window FWUPDATER 60000
set-ip 1000 10.77.0.20
text 1051
expect-within 15000 1.2
enabled 1004
expect 1
# ---- Cancel on the warning starts nothing
click 1004
wait-box 5000
expect Warning
box-text
expect $WARNING
box-buttons
expect ok cancel
box-icon
expect warning
answer-box cancel
no-box 1500
text 1011
expect-within 5000 Progress: Idle
enabled 1004
expect-within 5000 1
enabled 1001
expect-within 5000 1
send-to 1003 0x408 0 0
expect-within 5000 0

# ---- File > Update, with Factory Defaults chosen
click 1007
checked 1007
expect-within 3000 1
command 32771
wait-box 5000
expect Warning
box-text
expect $WARNING
answer-box ok
enabled 1001
expect-within 5000 0
enabled 1004
expect-within 5000 0
enabled 1039
expect-within 5000 0
enabled 1007
expect-within 5000 0
enabled 1030
expect-within 5000 0
enabled 1032
expect-within 5000 0
enabled 1000
expect-within 5000 0
enabled 1023
expect-within 5000 0
menu-state 32771
expect grayed
menu-state 32773
expect grayed
menu-state 105
expect enabled
# The progress range the update sent.
send-to 1003 0x407 0 0
expect-within 10000 $RANGE
text 1011
expect-within 20000 Progress: Server Application
# Reports of a version query that was under way when the update started
# must not enable the unit commands of the busy window.
post 32777 0x0301 0
post 32782 1 0
post 32778 0 0
sync
enabled 1004
expect 0
enabled 1001
expect 0
enabled 1039
expect 0
menu-state 32771
expect grayed
text 1011
expect-within 60000 Progress: Server UI
EOF

# The bar has moved on from the application records and stands below full.
pos=$("$WINE" "$TQ_DRIVER" send-to 1003 0x408 0 0 | tr -d '\r')
((pos >= 19762 && pos < RANGE)) || gui_fail "the bar stands at $pos while the flash is written"
mkdir -p "$SHOT_DIR"
window_shot "$SHOT_DIR/main-window-update.png"
gui_say "picture of the update at position $pos of $RANGE: $SHOT_DIR/main-window-update.png"

drive <<EOF
wait-window FWUPDATER 5000
text 1011
expect-within 60000 Progress: Factory Defaults
wait-box 60000
expect Success
box-text
expect The firmware updated successfully.
box-icon
expect information
# The outcome is shown before the window is reset.
send-to 1003 0x408 0 0
expect $RANGE
enabled 1004
expect 0
answer-box ok
text 1011
expect-within 5000 Progress: Idle
send-to 1003 0x408 0 0
expect-within 5000 0
enabled 1004
expect-within 5000 1
enabled 1001
expect-within 5000 1
enabled 1039
expect-within 5000 1
enabled 1007
expect-within 5000 1
enabled 1030
expect-within 5000 1
enabled 1032
expect-within 5000 1
enabled 1000
expect-within 5000 1
enabled 1020
expect-within 5000 1
menu-state 32771
expect enabled
menu-state 32772
expect enabled
no-box 500
EOF
# The dump is written when the update ends; the unit keeps running.
sim_verify unit
sim_expect unit 'd["factory_defaults"]' True
sim_expect unit 'd["updates_ended"]' 1
# V1.8 in the package's properties.
sim_expect unit 'd["version_stamp"]' 08000100
[[ $(sim_command_count unit 2 130) == 1 ]] || gui_fail "the application was begun $(sim_command_count unit 2 130) times, not once"
gui_say "update over UDP: memory equals package"

# ---- a unit that falls silent
drive <<'EOF'
wait-window FWUPDATER 5000
set-ip 1000 ...
set-ip 1000 10.77.0.21
text 1051
expect-within 15000 Not found
enabled 1004
expect-within 5000 1
click 1004
wait-box 5000
expect Warning
answer-box ok
text 1011
expect-within 10000 Progress: Server Application
wait-box 60000
expect Error
box-text
expect The firmware update could not complete.
box-icon
expect error
answer-box ok
text 1011
expect-within 5000 Progress: Idle
send-to 1003 0x408 0 0
expect-within 5000 0
enabled 1004
expect-within 5000 1
no-box 500
EOF
gui_say "silent unit: the update failed with its message"

# ---- closing during an update
drive <<'EOF'
wait-window FWUPDATER 5000
set-ip 1000 ...
set-ip 1000 10.77.0.22
text 1051
expect-within 15000 Not found
enabled 1004
expect-within 5000 1
click 1004
wait-box 5000
expect Warning
answer-box ok
text 1011
expect-within 10000 Progress: Server Application
close
wait-box 5000
expect Close
box-text
expect Close the application ?
answer-box no
no-box 500
EOF
# No lets the update go on: the bar moves on.
pos1=$("$WINE" "$TQ_DRIVER" send-to 1003 0x408 0 0 | tr -d '\r')
for ((i = 0; i < 300; i++)); do
  pos2=$("$WINE" "$TQ_DRIVER" send-to 1003 0x408 0 0 | tr -d '\r')
  ((pos2 > pos1)) && break
  sleep 0.1
done
((pos2 > pos1)) || gui_fail "the update stood still after No (bar at $pos1, then $pos2)"
drive <<'EOF'
wait-window FWUPDATER 5000
enabled 1004
expect 0
close
wait-box 5000
expect Close
answer-box yes
wait-exit -- 30000
EOF
app_wait 30
((APP_RC == 0)) || gui_fail "closing during an update ended the program with exit code $APP_RC"
sim_stop closing
sim_expect closing 'd["updates_ended"]' 0
gui_say "closing during an update ends the program"
gui_say "all checks passed"
