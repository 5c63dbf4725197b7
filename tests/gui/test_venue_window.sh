#!/usr/bin/env bash
# test_venue_window.sh VENUE_EXE CLI_EXE SIM [SHOT_DIR]: the venue window
# against six simulated units on the network, inside a private network
# namespace.
#
# - The search lists six rows with the right actions and check boxes: two
#   units in bootload mode (numbered and plain frames) and two running their
#   application are checked for an update, the current unit is not, and the
#   one that falls silent during its update is checked too.
# - "Update checked units" asks once, naming five units, and asks the PIN
#   once. Afterwards four memories equal the package and run their
#   application, the current unit was never written, the silent one failed
#   and stays in bootload mode; the summary line, the copied table and the
#   saved report agree with the rows.
# - The failed unit, answering again, checked again and retried, ends exact.
# - Closing while units are written asks first, naming them; No keeps the
#   window, Yes closes it and the units being written are finished all the
#   same by their workers.
# - Cancel while units are written (two at a time): the window names the
#   units being written; every unit that had begun ends exact, the others
#   are never written.
# - Keyboard focus starts in the list, Space toggles a row's check box, and
#   the list grows with the window.
# Pictures of the window during and after the update go to SHOT_DIR
# (default: the test output folder).
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

VENUE=$(readlink -f "$1")
CLI=$(readlink -f "$2")
SIM=$(readlink -f "$3")
SHOT_DIR=$(readlink -m "${4:-$TQ_OUTPUT_DIR}")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  for f in "$VENUE" "$CLI" "$SIM"; do gui_require_file "$f"; done
  gui_enter --addr 10.77.0.1/24 -- "$VENUE" "$CLI" "$SIM" "$SHOT_DIR"
fi
source "$(dirname "$(readlink -f "$0")")/sim_lib.sh"
trap 'sim_stop_all; rm -rf "$SIM_DIR"' EXIT
mkdir -p "$SHOT_DIR"

# The window runs its workers in the console tool beside it, as in the zip.
BIN=$SIM_DIR/bin
mkdir -p "$BIN"
cp "$VENUE" "$CLI" "$BIN/"
APP=$BIN/$(basename "$VENUE")
LIST=1102
STATUS=1100
CURRENT=1.8 # the package's server firmware version

unit() { # unit NAME LAST-OCTET OPTIONS...
  local name=$1 address=10.77.0.$2
  shift 2
  sim_start "$name" --bind "$address" --announce-from "$address" --no-pty "$@"
}

# row NAME ADDRESS: the list row of the unit, found by its address.
row_of() { "$WINE" "$TQ_DRIVER" --class TQVENUE lv-find $LIST "$1" | tr -d '\r'; }
cells() { "$WINE" "$TQ_DRIVER" --class TQVENUE lv-row $LIST "$(row_of "$1")" | tr -d '\r'; }
cell() { cells "$1" | awk -F'|' -v c="$2" '{print $(c + 1)}'; }
checked() { "$WINE" "$TQ_DRIVER" --class TQVENUE lv-checked $LIST "$(row_of "$1")" | tr -d '\r'; }

close_window() {
  drive <<'EOF'
wait-window TQVENUE 5000
close
wait-gone 10000
EOF
  app_wait 30
}

expect_eq() { [[ $2 == "$3" ]] || gui_fail "$1: \"$2\", not \"$3\""; }

# Columns: address, MAC, mode, bootloader, application, action, progress,
# %, step / result, version now, now in.
C_MODE=2 C_ACTION=5 C_PERCENT=7 C_STEP=8 C_NOW=9 C_NOWIN=10

# ------------------------------------------------------------ the venue ----
unit numbered 5
unit plain 6 --no-sequence
unit app1 7 --mode application --pin 4711 --app-version 1.2
unit app2 8 --mode application --pin 4711
unit current 9 --app-version "$CURRENT"
unit silent 10 --silent-from 3000
# The application units take 1 ms over each frame: the update is then
# surely under way when the picture is taken.
start_app "$APP" --time 2

drive <<'EOF'
wait-window TQVENUE 60000
text 1100
expect-within 60000 6 units found: 5 to update, 0 that cannot be updated
lv-count 1102
expect 6
enabled 1110
expect 1
enabled 1111
expect 0
EOF

declare -A ACTION=(
  [numbered]="update" [plain]="update"
  [app1]="enter bootload mode, then update unless current" [app2]="enter bootload mode, then update unless current"
  [current]="skip (current)" [silent]="update")
declare -A ADDRESS=([numbered]=5 [plain]=6 [app1]=7 [app2]=8 [current]=9 [silent]=10)
for name in "${!ACTION[@]}"; do
  a=10.77.0.${ADDRESS[$name]}
  expect_eq "$name action" "$(cell "$a" $C_ACTION)" "${ACTION[$name]}"
  want=1
  [[ $name == current ]] && want=0
  expect_eq "$name check box" "$(checked "$a")" "$want"
done
expect_eq "app1 mode" "$(cell 10.77.0.7 $C_MODE)" application
expect_eq "numbered MAC" "$(cell 10.77.0.5 1)" 02-54-51-4D-00-05

# A click on Address sorts ascending, the next descending.
sort_address() { "$WINE" "$TQ_DRIVER" --class TQVENUE lv-sort $LIST 0 >/dev/null; }
sort_address
sort_address
expect_eq "row of .10 sorted descending" "$(row_of 10.77.0.10)" 0
sort_address
expect_eq "row of .10 sorted ascending" "$(row_of 10.77.0.10)" 5

# Keyboard: the list has the focus at the start, and Space on the focused
# row (the first) toggles its check box.
drive <<'EOF'
wait-window TQVENUE 5000
focused
expect 1102
lv-checked 1102 0
expect 1
send-to 1102 0x0100 0x20 0
lv-checked 1102 0
expect-within 5000 0
send-to 1102 0x0100 0x20 0
lv-checked 1102 0
expect-within 5000 1
EOF

# The list grows with the window.
rect_width() { "$WINE" "$TQ_DRIVER" --class TQVENUE rect "$1" | tr -d '\r' | awk '{print $3 - $1, $4 - $2}'; }
read -r list_w list_h < <(rect_width $LIST)
"$WINE" "$TQ_DRIVER" --class TQVENUE post 0x0112 0xF030 0 # SC_MAXIMIZE
for _ in $(seq 100); do
  read -r wide_w wide_h < <(rect_width $LIST)
  ((wide_w > list_w && wide_h > list_h)) && break
  sleep 0.1
done
((wide_w > list_w && wide_h > list_h)) || gui_fail "the list did not grow with the window ($list_w x $list_h, then $wide_w x $wide_h)"
"$WINE" "$TQ_DRIVER" --class TQVENUE post 0x0112 0xF120 0 # SC_RESTORE

# ----------------------------------------------------------- the update ----
drive <<'EOF'
wait-window TQVENUE 5000
click 1110
wait-box 10000
box-text
expect Update 5 units?
answer-box yes
wait-window #32770 10000 Installer PIN
chars 1022 4711
enabled 1
expect-within 5000 1
click 1
wait-window TQVENUE 5000
enabled 1111
expect-within 10000 1
EOF
# A picture while units are written: some row shows its percentage.
for _ in $(seq 600); do
  [[ -n $(cell 10.77.0.5 $C_PERCENT)$(cell 10.77.0.6 $C_PERCENT) ]] && break
  sleep 0.1
done
window_shot "$SHOT_DIR/venue-window-update.png" "TQ35B Venue Update"

drive <<'EOF'
wait-window TQVENUE 5000
text 1100
expect-within 300000 4 updated, 1 skipped, 1 failed
enabled 1112
expect 1
EOF
window_shot "$SHOT_DIR/venue-window-done.png" "TQ35B Venue Update"

for name in numbered plain app1 app2; do
  a=10.77.0.${ADDRESS[$name]}
  expect_eq "$name result" "$(cell "$a" $C_STEP)" succeeded
  expect_eq "$name now in" "$(cell "$a" $C_NOWIN)" application
  expect_eq "$name version now" "$(cell "$a" $C_NOW)" "$CURRENT"
done
[[ $(cell 10.77.0.10 $C_STEP) == "FAILED at update"* ]] || gui_fail "silent unit: $(cell 10.77.0.10 $C_STEP)"
expect_eq "silent now in" "$(cell 10.77.0.10 $C_NOWIN)" bootload
expect_eq "current result" "$(cell 10.77.0.9 $C_STEP)" ""

# Copy table: a heading and six rows, tab-separated.
drive <<'EOF'
wait-window TQVENUE 5000
click 1113
sync
EOF
"$WINE" "$TQ_DRIVER" clipboard >"$SIM_DIR/clip.txt"
python3 - "$SIM_DIR/clip.txt" <<'PY' || gui_fail "the copied table is not the list (see above)"
import sys
text = open(sys.argv[1], encoding="utf-8").read().strip()
rows = [r.split("\\t") for r in text.split("\\r\\n") if r]
assert rows[0][:3] == ["Address", "MAC", "Mode"], rows[0]
assert len(rows) == 7 and all(len(r) == len(rows[0]) for r in rows), rows
done = {r[0]: r for r in rows[1:]}
assert done["10.77.0.7"][rows[0].index("Step / result")] == "succeeded", done["10.77.0.7"]
PY

# Save report: the file dialog takes a path; the report agrees with the rows.
# (A Windows path, its backslashes escaped for the driver.)
REPORT_WIN=$(printf 'Z:%s/venue.json' "$SIM_DIR" | sed 's|/|\\\\|g')
drive <<EOF
wait-window TQVENUE 5000
post 0x0111 1112 0
wait-window #32770 10000 Save report
set-text 1148 $REPORT_WIN
click 1
wait-window TQVENUE 10000
EOF
for _ in $(seq 100); do [[ -s $SIM_DIR/venue.json ]] && break; sleep 0.1; done
python3 - "$SIM_DIR/venue.json" <<'PY' || gui_fail "the saved report does not agree with the rows"
import json, sys
report = json.load(open(sys.argv[1]))
units = {u["unit"]: u for u in report["units"]}
assert len(units) == 6, units.keys()
for a in ("10.77.0.5", "10.77.0.6", "10.77.0.7", "10.77.0.8"):
    assert units[a]["result"] == "succeeded" and units[a]["mode_after"] == "application", units[a]
assert units["10.77.0.9"]["result"] == "skipped", units["10.77.0.9"]
assert units["10.77.0.10"]["result"] == "failed" and units["10.77.0.10"]["mode_after"] == "bootload", units["10.77.0.10"]
assert units["10.77.0.5"]["mac"] == "02-54-51-4D-00-05"
PY

for name in numbered plain app1 app2 current silent; do sim_stop "$name"; done
for name in numbered plain app1 app2; do sim_verify "$name"; done
sim_expect current 'd["program_erases"] + d["flash_erases"] + d["program"]["bytes"] + d["flash"]["bytes"]' 0
sim_expect silent 'd["mode"]' bootload

# ------------------------------------------------------------ the retry ----
unit silent2 10
drive <<'EOF'
wait-window TQVENUE 5000
lv-find 1102 10.77.0.10
EOF
drive <<EOF
wait-window TQVENUE 5000
lv-check $LIST $(row_of 10.77.0.10) 1
click 1110
wait-box 10000
box-text
expect Update 1 unit?
answer-box yes
text 1100
expect-within 300000 5 updated, 1 skipped, 0 failed
EOF
expect_eq "retried unit" "$(cell 10.77.0.10 $C_STEP)" succeeded
sim_stop silent2
sim_verify silent2

close_window

# ----------------------------------------------------------- the cancel ----
# Four units two at a time, each 2 ms over every frame: the first two are
# being written when Cancel comes, the other two never start.
for i in 1 2 3 4; do unit "slow$i" $((20 + i)) --handling 2; done
start_app "$APP" --time 2 --jobs 2
drive <<'EOF'
wait-window TQVENUE 60000
text 1100
expect-within 60000 4 units found: 4 to update, 0 that cannot be updated
click 1110
wait-box 10000
answer-box yes
wait-window TQVENUE 5000
EOF
writing=""
for _ in $(seq 600); do
  writing=""
  for i in 1 2 3 4; do [[ -n $(cell 10.77.0.$((20 + i)) $C_PERCENT) ]] && writing+=" $i"; done
  [[ $(wc -w <<<"$writing") -ge 2 ]] && break
  sleep 0.1
done
[[ $(wc -w <<<"$writing") -ge 2 ]] || gui_fail "two units were not being written together (writing:$writing)"
# Closing while units are written asks first, naming them; No keeps the
# window and the update.
drive <<'EOF' >"$SIM_DIR/close.log"
wait-window TQVENUE 5000
close
wait-box 10000
box-caption
expect Units being written
box-text
answer-box no
wait-window TQVENUE 5000
enabled 1111
expect 1
EOF
grep -q 'being written: 10.77.0.2' "$SIM_DIR/close.log" || gui_fail "the question names no unit: $(cat "$SIM_DIR/close.log")"
drive <<'EOF'
wait-window TQVENUE 5000
click 1111
text 1100
expect-within 10000 Cancelling: 2 units are being written and will finish (10.77.0.21, 10.77.0.22); the others are left alone
expect-within 300000 2 updated, 0 skipped, 2 failed
EOF
for i in 1 2 3 4; do
  a=10.77.0.$((20 + i))
  step=$(cell "$a" $C_STEP)
  sim_stop "slow$i"
  if [[ " $writing " == *" $i "* ]]; then
    expect_eq "slow$i (being written at Cancel)" "$step" succeeded
    sim_verify "slow$i"
  else
    [[ $step == "not reached: stopped by the user"* ]] || gui_fail "slow$i (not begun at Cancel): $step"
    sim_expect "slow$i" 'd["program_erases"] + d["flash_erases"] + d["program"]["bytes"] + d["flash"]["bytes"]' 0
  fi
done
close_window
# Closing while units are written, answered Yes: the window goes, and the
# units being written are finished by their workers all the same.
for i in 5 6; do unit "close$i" $((20 + i)) --handling 2; done
start_app "$APP" --time 2
drive <<'EOF'
wait-window TQVENUE 60000
text 1100
expect-within 60000 2 units found: 2 to update, 0 that cannot be updated
click 1110
wait-box 10000
answer-box yes
wait-window TQVENUE 5000
EOF
for _ in $(seq 600); do
  [[ -n $(cell 10.77.0.25 $C_PERCENT) && -n $(cell 10.77.0.26 $C_PERCENT) ]] && break
  sleep 0.1
done
drive <<'EOF'
wait-window TQVENUE 5000
close
wait-box 10000
answer-box yes
EOF
app_wait 30
# The workers go on without the window; once none of ours is left (their
# path holds this test's own folder), both units are exact.
ours="$(basename "$SIM_DIR").bin.tq35b\.exe"
for _ in $(seq 3000); do
  pgrep -f "$ours" >/dev/null || break
  sleep 0.1
done
if pgrep -f "$ours" >/dev/null; then gui_fail "the workers did not finish within 300 s of the window closing"; fi
for i in 5 6; do
  sim_stop "close$i"
  sim_verify "close$i"
done
gui_say "ok"
