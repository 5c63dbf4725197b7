#!/usr/bin/env bash
# test_main_window_serial.sh APP_EXE SIM: the main window with a simulated
# unit on a serial line: Wine's COM5 leads to the unit's pseudo-terminal (the
# machine's own serial devices are hidden, nothing leaves the namespace).
#
# - The unit's port appears when a device arrives: listed as COM5, nothing
#   selected, the COM Port choice usable.
# - Selecting the port queries it; an update of the application over it
#   (Server UI unchecked) reaches the unit's program memory exactly and
#   leaves its flash alone, and a new query reads the version it stamped.
# - With COM Port chosen and no port selected (a device change refilled the
#   list), Update, Exit Bootload and Enter Bootload... refuse with "Select
#   the COM port of the unit first." and start nothing.
# - When the selection is lost while leaving bootload mode, no query follows
#   the exit; choosing the port again shows the unit's new state (its
#   application answering at 9600 bit/s, Enter Bootload enabled).
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

APP=$(readlink -f "$1")
SIM=$(readlink -f "$2")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  gui_require_file "$APP"
  gui_require_file "$SIM"
  GUI_PTY_DIR=$(mktemp -d /tmp/tq-gui-pty.XXXXXX)
  export GUI_PTY_DIR
  gui_enter --netns --hide-serial --com "5=$GUI_PTY_DIR/unit" -- "$@"
fi
source "$(dirname "$(readlink -f "$0")")/sim_lib.sh"
trap 'sim_stop_all; rm -rf "$SIM_DIR" "$GUI_PTY_DIR"' EXIT

NO_PORT="Select the COM port of the unit first."

# ---- no port yet; then the unit is plugged in
start_app "$APP"
drive <<'EOF'
wait-window FWUPDATER 60000
items 1057
expect
enabled 1055
expect 0
EOF
sim_start unit --udp-port -1 --no-tcp --pty-link "$GUI_PTY_DIR/unit" --app-version 1.2
drive <<EOF
wait-window FWUPDATER 5000
# WM_DEVICECHANGE, DBT_DEVICEARRIVAL
send 0x219 0x8000 0
items 1057
expect-within 10000 COM5
selected 1057
expect -1
enabled 1055
expect 1
checked 1053
expect 1
enabled 1057
expect 0
# The radio buttons are one group: choosing one clears the other.
click 1053
click 1055
checked 1055
expect-within 3000 1
checked 1053
expect 0
enabled 1057
expect 1
enabled 1000
expect 0
enabled 1020
expect 0
enabled 1059
expect 0
select 1057 0
sync
text 1051
expect-within 20000 1.2
enabled 1004
expect 1
enabled 1039
expect 1
enabled 1043
expect 0

# ---- an update of the application over the serial line (the flash image
# goes the same way over UDP in test_update_gui.sh)
click 1032
checked 1032
expect-within 3000 0
click 1004
wait-box 5000
expect Warning
answer-box ok
enabled 1001
expect-within 5000 0
enabled 1057
expect-within 5000 0
enabled 1055
expect-within 5000 0
send-to 1003 0x407 0 0
expect-within 10000 19762
text 1011
expect-within 20000 Progress: Server Application
wait-box 120000
expect Success
box-text
expect The firmware updated successfully.
answer-box ok
text 1011
expect-within 5000 Progress: Idle
enabled 1057
expect-within 5000 1
selected 1057
expect 0
EOF
sim_verify unit program
sim_expect unit 'd["flash"]["bytes"]' 0
sim_expect unit 'd["updates_ended"]' 1
gui_say "update over COM5: program memory equals the package, flash untouched"

drive <<EOF
wait-window FWUPDATER 5000
# The version the update stamped.
select 1057 0
sync
text 1051
expect-within 20000 1.8
enabled 1004
expect 1

# ---- no port selected: the unit commands refuse
send 0x219 0x8000 0
selected 1057
expect-within 5000 -1
items 1057
expect COM5
checked 1055
expect 1
enabled 1004
expect 1
click 1004
wait-box 5000
expect Warning
box-text
expect $NO_PORT
box-icon
expect warning
answer-box ok
no-box 1000
enabled 1001
expect-within 5000 1
click 1039
wait-box 5000
box-text
expect $NO_PORT
answer-box ok
no-box 1000
enabled 1001
expect-within 5000 1
command 1043
wait-box 5000
box-text
expect $NO_PORT
answer-box ok
no-box 1000
windows
expect FWUPDATER
text 1011
expect Progress: Idle

# ---- the selection is lost while the unit leaves bootload mode
select 1057 0
sync
text 1051
expect-within 20000 1.8
enabled 1039
expect-within 5000 1
enabled 1043
expect 0
click 1039
wait-box 15000
expect Success
box-text
expect Bootload mode exited.
send 0x219 0x8004 0
selected 1057
expect-within 5000 -1
answer-box ok
# No query follows: a query would disable Exit Bootload at once and report
# "Not found" once the silent bootloader has had its tries.
sleep 4000
enabled 1039
expect 1
enabled 1004
expect 1
text 1051
expect 1.8
enabled 1043
expect 0

# ---- choosing the port again shows the unit's new state
select 1057 0
sync
text 1051
expect-within 20000 Not found
enabled 1043
expect-within 20000 1
enabled 1004
expect 0
enabled 1039
expect 0
enabled 1001
expect 1

close
wait-box
expect Close
answer-box yes
wait-exit -- 30000
expect 0
EOF
app_wait 30
sim_stop unit
sim_expect unit 'd["mode"]' application
gui_say "all checks passed"
