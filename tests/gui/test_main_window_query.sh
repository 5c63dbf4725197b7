#!/usr/bin/env bash
# test_main_window_query.sh APP_EXE SIM: the main window against simulated
# units on the network, inside a private network namespace (10.77.0.1/24 on
# lo; every unit address is namespace-local).
#
# - An address typed as soon as the window shows is queried: "Searching..."
#   with Update, Discover and Exit Bootload disabled, then the unit's
#   application version with Update, Discover and Exit Bootload enabled.
# - 0.0.0.0, 255.255.255.255, 127.0.0.1, an incomplete address and the
#   directed broadcast address 10.77.0.255 start no query: the version text
#   keeps its value, Update goes disabled, and units listening at those
#   addresses receive nothing.
# - Application version reports: 1.2 for 0x00010002, "Not found" for 0 and
#   0xFFFFFFFF.
# - Exit Bootload: the busy state, "Bootload mode exited.", then a fresh query
#   that finds the unit running its application (Enter Bootload enabled).
# - Parser Port: 1024 and 65535 taken; 1023, 65536, an empty field and six
#   digits refused with "Out of range" and the previous value restored;
#   04999 taken as 4999. The field is checked when it loses the focus.
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

APP=$(readlink -f "$1")
SIM=$(readlink -f "$2")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  gui_require_file "$APP"
  gui_require_file "$SIM"
  gui_enter --addr 10.77.0.1/24 -- "$@"
fi
source "$(dirname "$(readlink -f "$0")")/sim_lib.sh"
trap 'sim_stop_all; rm -rf "$SIM_DIR"' EXIT

# The unit answers every frame 400 ms late, so that the searching state
# lasts long enough to be seen.
sim_start unit --bind 10.77.0.20 --no-pty --app-version 1.8 --delay-out 1:400
# Units where a query must not go: 0.0.0.0 and 127.0.0.1 lead to loopback,
# the others are the broadcast addresses and the incomplete address.
sim_start loopback --bind 127.0.0.1 --no-pty --no-tcp
sim_start broadcast --bind 10.77.0.255 --no-pty --no-tcp
sim_start limited --bind 255.255.255.255 --no-pty --no-tcp
sim_start incomplete --bind 10.77.0.0 --no-pty --no-tcp

start_app "$APP"
drive <<'EOF'
wait-window FWUPDATER 60000
# Start-up state, beyond the start-up test: the Parser Port label usable,
# the bar at 0.
enabled 1059
expect 1
send-to 1003 0x408 0 0
expect 0
# No pause: the query worker must already be there.
set-ip 1000 10.77.0.20
text 1051
expect Searching...
enabled 1004
expect 0
enabled 1001
expect 0
enabled 1039
expect 0
enabled 1043
expect 0
text 1051
expect-within 15000 1.8
enabled 1004
expect 1
menu-state 32771
expect enabled
enabled 1001
expect 1
enabled 1039
expect 1
enabled 1043
expect 0
text 1011
expect Progress: Idle

# ---- addresses that start no query. Each is completed from a state with
# Update enabled (a bootload report), so that disabling it shows.
set-ip-field 1000 4 255
ip 1000
expect 10.77.0.255
enabled 1004
expect 0
menu-state 32771
expect grayed
text 1051
expect 1.8
enabled 1001
expect 1

set-ip 1000 ...
set-ip 1000 127.0.0.
post 32777 0x0301 0
enabled 1004
expect-within 3000 1
set-ip-field 1000 4 1
enabled 1004
expect 0
text 1051
expect 1.8

set-ip 1000 ...
set-ip 1000 0.0.0.
post 32777 0x0301 0
enabled 1004
expect-within 3000 1
set-ip-field 1000 4 0
ip 1000
expect 0.0.0.0
enabled 1004
expect 0
text 1051
expect 1.8

set-ip 1000 ...
set-ip 1000 255.255.255.
post 32777 0x0301 0
enabled 1004
expect-within 3000 1
set-ip-field 1000 4 255
enabled 1004
expect 0
text 1051
expect 1.8

set-ip 1000 ...
set-ip 1000 10.77.0.
post 32777 0x0301 0
enabled 1004
expect-within 3000 1
set-ip-field 1000 1 10
ip 1000
expect 10.77.0.
enabled 1004
expect 0
text 1051
expect 1.8
# Give a wrongly started query time to show itself.
sleep 3000
text 1051
expect 1.8

# ---- application version reports
post 32779 0 0x00010002
text 1051
expect-within 3000 1.2
post 32779 0 0
text 1051
expect-within 3000 Not found
post 32779 0 0x00010002
text 1051
expect-within 3000 1.2
post 32779 0 0xFFFFFFFF
text 1051
expect-within 3000 Not found

# ---- Exit Bootload, then the fresh query
set-ip 1000 ...
set-ip 1000 10.77.0.20
text 1051
expect-within 15000 1.8
enabled 1039
expect 1
click 1039
enabled 1001
expect-within 3000 0
enabled 1004
expect-within 3000 0
enabled 1039
expect-within 3000 0
enabled 1007
expect-within 3000 0
enabled 1030
expect-within 3000 0
enabled 1032
expect-within 3000 0
enabled 1053
expect-within 3000 0
enabled 1000
expect-within 3000 0
enabled 1020
expect-within 3000 0
enabled 1023
expect-within 3000 0
menu-state 32772
expect grayed
menu-state 32773
expect grayed
menu-state 104
expect grayed
menu-state 105
expect enabled
wait-box 15000
expect Success
box-text
expect Bootload mode exited.
box-icon
expect information
answer-box ok
text 1011
expect-within 5000 Progress: Idle
# The unit now runs its application: its bootloader is silent, its text
# port reports bootload mode off.
text 1051
expect-within 20000 Not found
enabled 1043
expect-within 10000 1
enabled 1004
expect 0
enabled 1039
expect 0
enabled 1001
expect 1
enabled 1030
expect 1
enabled 1000
expect 1
no-box

# ---- Parser Port: checked when the field loses the focus
mouse 1020
set-text 1020 1024
mouse 1000 1
no-box 1000
text 1020
expect 1024
mouse 1020
set-text 1020 1023
mouse 1000 1
wait-box 5000
expect Out of range
box-text
expect Parser Port must be between 1024 and 65535.
box-icon
expect error
answer-box ok
text 1020
expect-within 3000 1024
mouse 1020
set-text 1020 65535
mouse 1000 1
no-box 1000
text 1020
expect 65535
mouse 1020
set-text 1020 65536
mouse 1000 1
wait-box 5000
expect Out of range
answer-box ok
text 1020
expect-within 3000 65535
mouse 1020
set-text 1020
mouse 1000 1
wait-box 5000
expect Out of range
answer-box ok
text 1020
expect-within 3000 65535
# Six digits are too many even when the value is in range.
mouse 1020
set-text 1020 004999
mouse 1000 1
wait-box 5000
expect Out of range
answer-box ok
text 1020
expect-within 3000 65535
mouse 1020
set-text 1020 04999
mouse 1000 1
no-box 1000
mouse 1020
set-text 1020 99
mouse 1000 1
wait-box 5000
expect Out of range
answer-box ok
# The value restored is the one 04999 stored.
text 1020
expect-within 3000 4999

close
wait-box
expect Close
answer-box yes
wait-exit -- 30000
expect 0
EOF
app_wait 30
[[ $APP_RC == 0 ]] || gui_fail "the program ended with $APP_RC, not 0"

sim_stop_all
for trap_unit in loopback broadcast limited incomplete; do
  sim_expect "$trap_unit" 'd["frames"]["received"]' 0
done
sim_expect unit 'd["mode"]' application
# Two queries (version reads 1 and 9 each) and the exit worker (a version
# read and the exit command): no other frame reached the unit.
sim_expect unit 'd["frames"]["received"]' 6
[[ $(sim_command_count unit 1) == 3 ]] || gui_fail "the unit's bootloader version was read $(sim_command_count unit 1) times, not 3"
[[ $(sim_command_count unit 11 139) == 1 ]] || gui_fail "the unit was not told once to leave its bootloader"
gui_say "all checks passed"
