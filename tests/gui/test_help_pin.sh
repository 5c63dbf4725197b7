#!/usr/bin/env bash
# test_help_pin.sh APP_EXE SIM: the help wizard and the installer PIN dialog,
# inside a private network namespace (10.77.0.1/24 on lo).
#
# Help:
# - Update Instructions: seven pages of the package's UPDATER properties,
#   captioned "Updater Instructions: Step 1" to 7, no "<< Previous" on the
#   first page, "Finish" on the last; back and forth; Esc and IDCANCEL leave
#   it open, the close box ends it; a new opening starts at page 1; Finish
#   on the last page ends it.
# - Unit Preparations: one page, "Unit Preparation: Step 1", "Finish".
# PIN dialog, for a unit running its application with its text port on
# Parser Port 5123 (a recording tap in front of it):
# - OK is disabled for 3 and 5 digits, enabled for 4; letters are not taken;
#   the field is masked.
# - Cancel (and Esc) send nothing to the unit, and a query still follows.
# - A wrong PIN: "Unable to enter Bootload Mode.", the dialog ends, a query
#   follows.
# - The right PIN: the unit gets query, PIN, enable and restart commands,
#   each ended by CR LF; "Bootload Mode Enabled."; the query that follows
#   finds the bootloader (Update and Exit Bootload enabled).
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
HERE=$(dirname "$(readlink -f "$0")")
TAP_PID=""
trap 'sim_stop_all; [[ -z $TAP_PID ]] || kill "$TAP_PID" 2>/dev/null; rm -rf "$SIM_DIR"' EXIT

UPDATER=$TQ_SOURCE_DIR/resources/package/updater.properties
UNIT=$TQ_SOURCE_DIR/resources/package/unit.properties

# ------------------------------------------------------------ help wizard
start_app "$APP"
{
  echo "wait-window FWUPDATER 60000"
  echo "command 32773"
  echo "wait-window #32770 10000 Updater Instructions: Step 1"
  for page in 1 2 3 4 5 6 7; do
    if ((page > 1)); then
      echo "click 1018"
      echo "text title"
      echo "expect-within 5000 Updater Instructions: Step $page"
    fi
    echo "text 1019"
    echo "expect $(properties_value "$UPDATER" "help-message.Updater Instructions.$page")"
    echo "visible 1017"
    echo "expect $((page > 1 ? 1 : 0))"
    echo "text 1018"
    echo "expect $( ((page < 7)) && echo 'Next >>' || echo Finish)"
  done
  cat <<'EOF'
# Back one page.
click 1017
text title
expect-within 5000 Updater Instructions: Step 6
text 1018
expect Next >>
# Esc, as the dialog's own key handling sees it, and IDCANCEL: still open.
post 0x100 0x1B 0x00010001
post 0x101 0x1B 0xC0010001
command 2
sync
text title
expect Updater Instructions: Step 6
visible window
expect 1
# The close box.
post 0x112 0xF060 0
wait-gone 5000
wait-window FWUPDATER 5000
enabled window
expect-within 3000 1
# A new opening starts at the first page; Finish on the last ends it.
command 32773
wait-window #32770 10000 Updater Instructions: Step 1
visible 1017
expect 0
click 1018
click 1018
click 1018
click 1018
click 1018
click 1018
text 1018
expect-within 5000 Finish
text title
expect Updater Instructions: Step 7
click 1018
wait-gone 5000
# Unit Preparations: a single page.
wait-window FWUPDATER 5000
command 32772
wait-window #32770 10000 Unit Preparation: Step 1
visible 1017
expect 0
text 1018
expect Finish
EOF
  echo "text 1019"
  echo "expect $(properties_value "$UNIT" "help-message.Unit Preparation.1")"
  cat <<'EOF'
click 1018
wait-gone 5000
wait-window FWUPDATER 5000
no-box
EOF
} | drive
gui_say "help wizard: seven and one pages, Esc ignored, close box and Finish end it"

# ------------------------------------------------------------ PIN dialog
# The unit's text port is 5124; the program reaches it through the tap on
# 5123, which records what the program says.
TAP_LOG=$SIM_DIR/tap.log
: >"$TAP_LOG"
sim_start unit --bind 10.77.0.30 --mode application --tcp-port 5124 --pin 4321 --app-version 1.5
python3 "$HERE/text_tap.py" 10.77.0.30:5123 10.77.0.30:5124 "$TAP_LOG" >"$SIM_DIR/tap.out" 2>&1 &
TAP_PID=$!
for ((i = 0; i < 100; i++)); do grep -q ready "$SIM_DIR/tap.out" && break; sleep 0.05; done
grep -q ready "$SIM_DIR/tap.out" || gui_fail "the tap did not start: $(cat "$SIM_DIR/tap.out")"

# tap_wait N: waits until the tap has seen N connections end.
tap_wait() {
  local i
  for ((i = 0; i < 300; i++)); do
    (($(wc -l <"$TAP_LOG") >= $1)) && return 0
    sleep 0.1
  done
  gui_fail "the unit's text port saw $(wc -l <"$TAP_LOG") connections, not $1: $(cat "$TAP_LOG")"
}

drive <<'EOF'
wait-window FWUPDATER 5000
mouse 1020
set-text 1020 5123
mouse 1000 1
no-box 1000
set-ip 1000 10.77.0.30
text 1051
expect Searching...
# No bootloader answers; the text port reports bootload mode off.
text 1051
expect-within 20000 Not found
enabled 1043
expect-within 10000 1
enabled 1004
expect 0
EOF
tap_wait 1

drive <<'EOF'
wait-window FWUPDATER 5000
click 1043
wait-window #32770 10000 Enter Bootload
enabled 1
expect 0
chars 1022 123
sync
enabled 1
expect 0
chars 1022 4
enabled 1
expect-within 3000 1
chars 1022 5
sync
enabled 1
expect 0
set-text 1022
enabled 1
expect 0
# Letters do not go in: "9a8b7c6" leaves four digits.
chars 1022 9a8b7c6
enabled 1
expect-within 3000 1
send-to 1022 0x00D2 0 0
expect 42
click 2
wait-gone 5000
EOF
# Cancel: nothing went to the unit, and the query that follows reads its
# state again (one more connection, a query only).
tap_wait 2

# The Esc key, given the way the help test gives it, ends this dialog: it
# reaches the dialog as IDCANCEL. Again a query follows, and nothing else.
drive <<'EOF'
wait-window FWUPDATER 5000
enabled 1043
expect-within 10000 1
click 1043
wait-window #32770 10000 Enter Bootload
post 0x100 0x1B 0x00010001
post 0x101 0x1B 0xC0010001
wait-gone 5000
EOF
tap_wait 3

drive <<'EOF'
wait-window FWUPDATER 5000
enabled 1043
expect-within 10000 1
click 1043
wait-window #32770 10000 Enter Bootload
chars 1022 9999
enabled 1
expect-within 3000 1
click 1
wait-box 10000
expect Bootload Mode
box-text
expect Unable to enter Bootload Mode.
box-icon
expect error
answer-box ok
wait-gone 5000
EOF
tap_wait 5

drive <<'EOF'
wait-window FWUPDATER 5000
enabled 1043
expect-within 10000 1
click 1043
wait-window #32770 10000 Enter Bootload
chars 1022 4321
enabled 1
expect-within 3000 1
click 1
wait-box 20000
expect Bootload Mode
box-text
expect Bootload Mode Enabled.
box-icon
expect information
answer-box ok
wait-gone 5000
# The query after the dialog finds the unit's bootloader.
wait-window FWUPDATER 5000
text 1051
expect-within 20000 1.5
enabled 1004
expect 1
enabled 1039
expect 1
enabled 1043
expect 0
close
wait-box
expect Close
answer-box yes
wait-exit -- 30000
expect 0
EOF
app_wait 30
kill "$TAP_PID" 2>/dev/null || true
wait "$TAP_PID" 2>/dev/null || true
TAP_PID=""

expected='<SY,BQ/>\r\n
<SY,BQ/>\r\n
<SY,BQ/>\r\n
<SY,BQ/>\r\n<SY,BU9999/>\r\n
<SY,BQ/>\r\n
<SY,BQ/>\r\n<SY,BU4321/>\r\n<SY,BE/>\r\n<SY,BR/>\r\n'
got=$(cat "$TAP_LOG")
[[ $got == "$expected" ]] || gui_fail "the unit's text port heard:
$got
and not:
$expected"
sim_stop unit
sim_expect unit 'd["mode"]' bootload
gui_say "PIN dialog: cancel, wrong and right PIN as the unit heard them"
gui_say "all checks passed"
