#!/usr/bin/env bash
# test_startup.sh APP_EXE: the program starts into its idle main window (title,
# filled template texts, initial control and menu states), lists exactly the
# COM ports it can open, and asks before it closes: No keeps the window, Yes
# ends the program with exit code 0.
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

APP=$(readlink -f "$1")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  gui_require_file "$APP"
  GUI_PTY_DIR=$(mktemp -d /tmp/tq-gui-pty.XXXXXX)
  export GUI_PTY_DIR
  # COM3 leads to a pty that the test makes later; the machine's own serial
  # devices are hidden, and nothing the program sends leaves the namespace.
  gui_enter --netns --hide-serial --com "3=$GUI_PTY_DIR/ttyA" -- "$@"
fi

PTY_PID=""
trap '[[ -z $PTY_PID ]] || kill "$PTY_PID" 2>/dev/null; rm -rf "$GUI_PTY_DIR"' EXIT

# ------------------------------------------------ no serial port at all
start_app "$APP"
drive <<'EOF2'
wait-window FWUPDATER 60000
expect TQ35B Firmware Updater
no-box
# Template texts, filled once.
text 1002
expect Product Name:\t\tTQ35B
text 1014
expect Build Version:\t\tV1.8
text 1011
expect Progress: Idle
text 1051
expect
text 1020
expect 4999
# Menu: Update greyed until a unit in bootload mode is found.
menu-state 32771
expect grayed
menu-state 105
expect enabled
menu-state 32772
expect enabled
menu-state 32773
expect enabled
menu-state 104
expect enabled
# Unit commands wait for a unit; Discover and More do not.
enabled 1004
expect 0
enabled 1043
expect 0
enabled 1039
expect 0
enabled 1001
expect 1
enabled 1023
expect 1
# Overwrite choices follow the package: both images present.
checked 1007
expect 0
enabled 1007
expect 1
checked 1030
expect 1
enabled 1030
expect 1
checked 1032
expect 1
enabled 1032
expect 1
# No serial port: IP Address chosen, the COM choice unusable.
checked 1053
expect 1
checked 1055
expect 0
enabled 1055
expect 0
items 1057
expect
enabled 1057
expect 0
enabled 1000
expect 1
ip 1000
expect ...
enabled 1020
expect 1
focused
expect 1000
# Closing asks; No keeps the window as it was.
close
wait-box
expect Close
box-text
expect Close the application ?
box-buttons
expect yes no
box-icon
expect question
enabled window
expect 0
answer-box no
no-box 1000
text title
expect TQ35B Firmware Updater
enabled window
expect 1
text 1011
expect Progress: Idle
# File > Exit and Escape ask the same question.
command 105
wait-box
expect Close
box-text
expect Close the application ?
answer-box no
command 2
wait-box
expect Close
answer-box no
no-box 1000
# Yes ends the program.
close
wait-box
expect Close
answer-box yes
wait-gone 15000
wait-exit -- 30000
expect 0
EOF2
app_wait 30
[[ $APP_RC == 0 ]] || gui_fail "the program ended with $APP_RC, not 0"
gui_say "idle main window, close question, exit code 0"

# ------------------------------------------------ one port, on a pty
python3 "$(dirname "$(readlink -f "$0")")/responder.py" pty "$GUI_PTY_DIR/ttyA" --for 300 &
PTY_PID=$!
for ((i = 0; i < 100; i++)); do [[ -e $GUI_PTY_DIR/ttyA ]] && break; sleep 0.1; done
[[ -e $GUI_PTY_DIR/ttyA ]] || gui_fail "the pty did not appear"

start_app "$APP"
drive <<'EOF2'
wait-window FWUPDATER 60000
no-box
# The list shows the port without its device prefix, nothing selected; the
# COM choice may be made, but IP Address stays the chosen link.
items 1057
expect COM3
selected 1057
expect -1
enabled 1055
expect 1
checked 1055
expect 0
checked 1053
expect 1
enabled 1057
expect 0
close
wait-box
expect Close
answer-box yes
wait-exit -- 30000
expect 0
EOF2
app_wait 30
[[ $APP_RC == 0 ]] || gui_fail "the program ended with $APP_RC, not 0"
gui_say "a pty port is listed as COM3"
gui_say "all checks passed"
