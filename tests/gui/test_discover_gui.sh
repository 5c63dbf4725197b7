#!/usr/bin/env bash
# test_discover_gui.sh APP_EXE SIM [SHOT_DIR]: the Discover dialog against
# simulated units, inside a private network namespace (10.77.0.1/24 on lo,
# link-local addresses routed to lo; every unit address is namespace-local,
# so the dialog's broadcasts never leave it) and on pseudo-terminals.
#
# Network mode:
# - Units in application mode, one outside the computer's subnets and one
#   with a link-local address, are listed, and units in bootload mode are
#   listed above them whatever order the answers come in: the five units
#   answer each request one after the other, 300 ms apart, application and
#   bootload units taking turns. The order holds over later search cycles,
#   and no unit is listed twice, also one that answers every request twice.
# - The entries are drawn bold (bootload), grey (other subnet) and green
#   (link-local): checked on a picture of the dialog, which also goes to
#   SHOT_DIR/discover.png.
# - Selecting an application-mode unit leaves the version fields disabled;
#   selecting a bootload unit shows its bootloader and application versions.
# - OK puts the unit's address into the main window, which queries it once.
# - Cancel, and a double click with nothing selected, change nothing.
# - Choosing an application-mode unit shows the bootload reminder first.
# Serial mode: units on COM1 (application) and COM3 (bootload) are listed in
# the order found; choosing COM3 selects it in the main window's list and
# queries it.
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

APP=$(readlink -f "$1")
SIM=$(readlink -f "$2")
SHOT_DIR=$(readlink -m "${3:-$TQ_OUTPUT_DIR}")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  gui_require_file "$APP"
  gui_require_file "$SIM"
  GUI_PTY_DIR=$(mktemp -d /tmp/tq-gui-pty.XXXXXX)
  export GUI_PTY_DIR
  gui_enter --addr 10.77.0.1/24 --link-local --com "1=$GUI_PTY_DIR/com1" --com "3=$GUI_PTY_DIR/com3" -- \
    "$APP" "$SIM" "$SHOT_DIR"
fi
source "$(dirname "$(readlink -f "$0")")/sim_lib.sh"
trap 'sim_stop_all; rm -rf "$SIM_DIR" "$GUI_PTY_DIR"' EXIT

# discover_units: one line per entry of the Discover dialog's list, in list
# order: "TEXT boot=B linklocal=L othersubnet=O port=P". The entries' item
# data are the dialog's unit records (address, link-local, other-subnet,
# port index, bootload, then the 64 wide characters of text), read from the
# program's memory.
discover_units() {
  local count i
  count=$("$WINE" "$TQ_DRIVER" --class '#32770' send-to 1012 0x18B 0 0 | tr -d '\r') ||
    gui_fail "cannot count the Discover list"
  for ((i = 0; i < count; i++)); do
    "$WINE" "$TQ_DRIVER" --class '#32770' item-bytes 1012 "$i" 148 | tr -d '\r' || gui_fail "cannot read entry $i"
  done | python3 -c '
import struct, sys
for line in sys.stdin:
    raw = bytes.fromhex(line.strip())
    address, link_local, other_subnet, port, boot = struct.unpack("<5i", raw[:20])
    text = raw[20:148].decode("utf-16-le").split("\0")[0]
    print(f"{text} boot={boot} linklocal={link_local} othersubnet={other_subnet} port={port}")
'
}

# discover_wait_count N: waits until the list holds N entries.
discover_wait_count() {
  local i n=0
  for ((i = 0; i < 60; i++)); do
    n=$("$WINE" "$TQ_DRIVER" --class '#32770' send-to 1012 0x18B 0 0 | tr -d '\r') || n=0
    ((n >= $1)) && return 0
    sleep 0.5
  done
  gui_fail "the Discover list holds $n entries, not $1"
}

# Serial units first: the program lists the ports it can open at start-up.
sim_start com1 --udp-port -1 --no-tcp --pty-link "$GUI_PTY_DIR/com1" --mode application
sim_start com3 --udp-port -1 --no-tcp --pty-link "$GUI_PTY_DIR/com3" --app-version 2.4 --bootloader-version 3.0
# Network units, answering each request in turn 300 ms apart: application,
# bootload, application (outside the subnets), bootload, application (link-
# local). The first answers every request twice. Each unit logs its answers,
# so that the test can wait for search cycles rather than sleep.
network_unit() {
  local name=$1 address=$2 delay=$3
  shift 3
  sim_start "$name" --bind "$address" --no-pty --announce-from "$address" --announce-delay "$delay" \
    --announce-log "$SIM_DIR/$name.answers" "$@"
}
network_unit app 10.77.0.21 0 --announce-repeat 2 --mode application
network_unit boot 10.77.0.20 300 --app-version 1.8 --bootloader-version 3.1
network_unit grey 127.0.0.5 600 --no-tcp --mode application
network_unit boot2 10.77.0.22 900 --no-tcp --app-version 2.3 --bootloader-version 3.2
network_unit green 169.254.7.9 1200 --no-tcp --mode application

# answers_at_least N: waits until every network unit has answered N requests
# (the unit that answers twice: 2N answers).
answers_at_least() {
  local i name lines ok
  for ((i = 0; i < 120; i++)); do
    ok=1
    for name in app boot grey boot2 green; do
      lines=$(wc -l <"$SIM_DIR/$name.answers" 2>/dev/null || echo 0)
      [[ $name == app ]] && lines=$((lines / 2))
      ((lines >= $1)) || ok=0
    done
    ((ok)) && return 0
    sleep 0.5
  done
  gui_fail "the network units did not answer $1 requests each"
}

# check_network_order WHEN: five entries, the two bootload units first.
check_network_order() {
  units=$(discover_units)
  gui_say "network list $1:"$'\n'"$units"
  [[ $(wc -l <<<"$units") == 5 ]] || gui_fail "$1: the list holds $(wc -l <<<"$units") entries, not 5"
  local boot_first
  boot_first=$(head -n 2 <<<"$units" | cut -d' ' -f1 | sort | tr '\n' ' ')
  [[ $boot_first == "10.77.0.20 10.77.0.22 " ]] || gui_fail "$1: the bootload units are not listed first: $boot_first"
  tail -n 3 <<<"$units" | grep -q ' boot=1' && gui_fail "$1: a bootload unit is listed below the others"
  return 0
}

start_app "$APP"
drive <<'EOF'
wait-window FWUPDATER 60000
items 1057
expect COM1|COM3
click 1001
wait-window #32770 10000 Discover
enabled 1
expect 0
enabled 1047
expect 0
enabled 1049
expect 0
EOF
discover_wait_count 5
check_network_order "after the first answers"
# More search cycles: the order holds and nobody comes twice.
answers_at_least 3
check_network_order "after three search cycles"
grep -qx '10.77.0.20 boot=1 linklocal=0 othersubnet=0 port=0' <<<"$units" || gui_fail "10.77.0.20 is not listed as a bootload unit on the subnet"
grep -qx '10.77.0.21 boot=0 linklocal=0 othersubnet=0 port=0' <<<"$units" || gui_fail "10.77.0.21 is not listed as an application unit on the subnet"
grep -qx '127.0.0.5 boot=0 linklocal=0 othersubnet=1 port=0' <<<"$units" || gui_fail "127.0.0.5 is not listed as outside the subnets"
grep -qx '169.254.7.9 boot=0 linklocal=1 othersubnet=1 port=0' <<<"$units" || gui_fail "169.254.7.9 is not listed as link-local"

# ---- how the entries are drawn, on a picture with nothing selected
mkdir -p "$SHOT_DIR"
SHOT=$SHOT_DIR/discover.png
window_shot "$SHOT" Discover
read -r shot_w shot_h < <(identify -format '%w %h\n' "$SHOT")
gui_say "picture of the Discover dialog: $SHOT"
read -r dl dt dr db < <("$WINE" "$TQ_DRIVER" --class '#32770' rect window | tr -d '\r')
((shot_w == dr - dl && shot_h == db - dt)) || gui_fail "the picture is ${shot_w}x${shot_h}, the dialog $((dr - dl))x$((db - dt))"
read -r ll lt lr lb < <("$WINE" "$TQ_DRIVER" --class '#32770' rect 1012 | tr -d '\r')
row_height=$("$WINE" "$TQ_DRIVER" --class '#32770' send-to 1012 0x1A1 0 0 | tr -d '\r')
((row_height > 8 && row_height < 40)) || gui_fail "odd item height $row_height"
# row_stats INDEX: "dark grey green" pixel counts of one entry's row: dark is
# near black, grey a neutral mid grey without any near-black pixel around,
# green the link-local green.
row_stats() {
  local y=$((lt - dt + 2 + $1 * row_height)) x=$((ll - dl + 2)) w=$((lr - ll - 24))
  convert "$SHOT" -crop "${w}x${row_height}+${x}+${y}" +repage -depth 8 txt:- | python3 -c '
import re, sys
dark = grey = green = 0
for line in sys.stdin:
    m = re.search(r"\((\d+),(\d+),(\d+)", line)
    if not m or line.startswith("#"):
        continue
    r, g, b = map(int, m.groups())
    if max(r, g, b) < 70:
        dark += 1
    elif abs(r - g) < 12 and abs(g - b) < 12 and 100 <= r <= 160:
        grey += 1
    elif g > 150 and r < 90 and b < 90:
        green += 1
print(dark, grey, green)
'
}
index_of() { grep -n "^$1 " <<<"$units" | cut -d: -f1 | head -n1; }
read -r boot_dark _ boot_green < <(row_stats $(($(index_of 10.77.0.20) - 1)))
read -r app_dark _ app_green < <(row_stats $(($(index_of 10.77.0.21) - 1)))
read -r grey_dark grey_grey _ < <(row_stats $(($(index_of 127.0.0.5) - 1)))
read -r green_dark _ green_green < <(row_stats $(($(index_of 169.254.7.9) - 1)))
gui_say "row pixels: bootload dark $boot_dark, application dark $app_dark, grey row dark $grey_dark grey $grey_grey, green row dark $green_dark green $green_green"
((app_dark > 20 && boot_green == 0 && app_green == 0)) || gui_fail "the application unit is not drawn in black"
# The same number of digits, bold strokes: clearly more ink.
((boot_dark * 100 > app_dark * 115)) || gui_fail "the bootload unit is not drawn bold ($boot_dark vs $app_dark dark pixels)"
((grey_dark == 0 && grey_grey > 20)) || gui_fail "the unit outside the subnets is not drawn grey"
((green_dark == 0 && green_green > 20)) || gui_fail "the link-local unit is not drawn green"

drive <<EOF
wait-window #32770 5000 Discover
# ---- an application-mode unit: no versions
select 1012 $(($(index_of 10.77.0.21) - 1))
enabled 1
expect-within 10000 1
# OK comes on before the search has stopped; the version fields follow.
enabled 1045
expect-within 10000 0
enabled 1047
expect 0
text 1045
expect
text 1051
expect
# ---- a bootload unit: its versions
select 1012 $(($(index_of 10.77.0.20) - 1))
enabled 1047
expect-within 10000 1
enabled 1049
expect 1
text 1045
expect-within 15000 3.1
text 1051
expect-within 15000 1.8
click 1
wait-gone 10000
wait-window FWUPDATER 5000
ip 1000
expect 10.77.0.20
text 1051
expect-within 15000 1.8
enabled 1004
expect 1
no-box
EOF
gui_say "a bootload unit chosen: its address queried in the main window"

# ---- Cancel, and a double click with nothing selected, change nothing
drive <<'EOF'
wait-window FWUPDATER 5000
click 1001
wait-window #32770 10000 Discover
EOF
discover_wait_count 5
drive <<'EOF'
wait-window #32770 5000 Discover
click 2
wait-gone 10000
wait-window FWUPDATER 5000
ip 1000
expect 10.77.0.20
text 1051
expect 1.8
enabled 1004
expect 1
click 1001
wait-window #32770 10000 Discover
command 1012 2
wait-gone 10000
wait-window FWUPDATER 5000
ip 1000
expect 10.77.0.20
text 1051
expect 1.8
no-box 1000
EOF

# ---- an application-mode unit chosen: the reminder, then its address
drive <<'EOF'
wait-window FWUPDATER 5000
click 1001
wait-window #32770 10000 Discover
EOF
discover_wait_count 5
units=$(discover_units)
drive <<EOF
wait-window #32770 5000 Discover
select 1012 $(($(index_of 10.77.0.21) - 1))
enabled 1
expect-within 10000 1
click 1
wait-box 10000
expect Bootload Mode
box-text
expect Please remember to place the selected unit into bootload mode.
box-icon
expect information
answer-box ok
wait-gone 10000
wait-window FWUPDATER 5000
ip 1000
expect 10.77.0.21
text 1051
expect-within 20000 Not found
enabled 1043
expect-within 10000 1
enabled 1004
expect 0
EOF
sim_stop boot
# Two queries of the chosen unit: the dialog's and the main window's, which
# ran once for the address it was given.
[[ $(sim_command_count boot 1) == 2 ]] || gui_fail "the chosen unit's version was read $(sim_command_count boot 1) times, not twice"
gui_say "an application-mode unit chosen after the reminder"

# ---- serial mode
drive <<'EOF'
wait-window FWUPDATER 5000
click 1055
checked 1055
expect-within 3000 1
click 1001
wait-window #32770 10000 Discover
EOF
discover_wait_count 2
units=$(discover_units)
gui_say "serial list:"$'\n'"$units"
[[ $units == $'COM1 boot=0 linklocal=0 othersubnet=0 port=0\nCOM3 boot=1 linklocal=0 othersubnet=0 port=1' ]] ||
  gui_fail "the serial list is not COM1 (application) then COM3 (bootload)"
drive <<'EOF'
wait-window #32770 5000 Discover
select 1012 1
text 1045
expect-within 30000 3.0
text 1051
expect-within 15000 2.4
click 1
wait-gone 20000
wait-window FWUPDATER 5000
selected 1057
expect 1
text 1051
expect-within 20000 2.4
enabled 1004
expect 1
close
wait-box
expect Close
answer-box yes
wait-exit -- 30000
expect 0
EOF
app_wait 30
gui_say "a serial unit chosen: COM3 selected and queried"
gui_say "all checks passed"
