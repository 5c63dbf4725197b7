#!/usr/bin/env bash
# update --all of the Windows console build under Wine, stopped while its
# units are being written, as an installer at a Windows console stops it:
# Ctrl-Break twice, the console's close event, and the console window
# closed. A fresh prefix, a private network namespace (wineserver inside it,
# discovery broadcasts stay there) and a private /dev without the machine's
# serial devices, all made by tools/wine-run.sh.
#
#   run_win_venue_stop_test.sh SIM TQ35B.EXE TQ_CONSOLE_EVENT.EXE
#
# Each case: four simulated units in bootload mode that take 1 ms over each
# frame, updated three at a time (--jobs 3) from a console window of the
# updater's own (tq_console_event start), and the event once three units are
# being written. Every unit that had begun must end with memory equal to the
# package and running its application, the fourth must be left alone, and
# the report must say so; where the updater is ended before its units, its
# workers complete the report. Ends with "N passed, M failed".
#
# Wine 8 refuses GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT), and ends the
# programs of a console window closed with its close box at once, with no
# close event. tq_console_event then delivers Ctrl-Break and the close event
# as Windows does (a thread at CtrlRoutine, the process ended when its close
# handler returns); the third case is the window closed the Wine way.
set -euo pipefail

[[ $# == 3 ]] || { echo "usage: $0 SIM TQ35B.EXE TQ_CONSOLE_EVENT.EXE" >&2; exit 2; }
sim=$(readlink -m "$1")
exe=$(readlink -m "$2")
console=$(readlink -m "$3")
here=$(dirname "$(readlink -f "$0")")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  work=$(mktemp -d)
  export TQ_CLI_WORK=$work
  status=0
  bash "$here/../../tools/wine-run.sh" --program "$sim" --windows-program "$exe" --windows-program "$console" \
    --netns --addr 10.77.0.1/24 --hide-serial --timeout 400 -- bash "$(readlink -f "$0")" "$sim" "$exe" "$console" ||
    status=$?
  rm -rf "$work"
  exit "$status"
fi
[[ ${TQ_WINE_NETNS:-} == 1 ]] || { echo "not inside a private network namespace" >&2; exit 1; }

work=$TQ_CLI_WORK
passed=0
failed=0
check() {  # check NAME CONDITION-COMMAND...
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
  fi
}

# wait_for WHAT SECONDS CONDITION-COMMAND...: the condition itself, within a
# generous bound; false when it never came.
wait_for() {
  local what=$1 seconds=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    if ((SECONDS >= deadline)); then
      echo "timed out after $seconds s waiting for $what"
      return 1
    fi
    sleep 0.1
  done
}

winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

units=(10.77.0.11 10.77.0.12 10.77.0.13 10.77.0.14)
sims=()
start_units() {  # start_units DIR
  local address
  sims=()
  for address in "${units[@]}"; do
    "$sim" --bind "$address" --announce-from "$address" --no-pty --handling 1 --dump "$1/$address.dump" \
      >"$1/$address.ready" 2>"$1/$address.log" &
    sims+=($!)
  done
  for address in "${units[@]}"; do
    wait_for "unit $address to start" 10 grep -q '^ready' "$1/$address.ready" ||
      { cat "$1/$address.log"; exit 1; }
  done
}
# The dumps are written whole when a unit stops.
stop_units() {
  kill -TERM "${sims[@]}" 2>/dev/null || true
  wait "${sims[@]}" 2>/dev/null || true
}

# The units with progress on standard output: those whose writing began.
writing() { python3 -c '
import json, sys
units = set()
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    try:
        event = json.loads(line)
    except ValueError:
        continue
    if event.get("event") == "progress":
        units.add(event["unit"])
print(" ".join(sorted(units)))' "$1" 2>/dev/null; }
three_writing() { (($(writing "$1" | wc -w) >= 3)); }
says() { grep -q "$2" <<<"$(tr -d '\r' <"$1")"; }

# What the report says of each unit: "UNIT RESULT MODE_AFTER" lines, and the
# ending first.
report_lines() { python3 -c '
import json, sys
report = json.load(open(sys.argv[1]))
print("ending:", report["ending"])
for unit in report["units"]:
    print(unit["unit"], unit["result"], unit["mode_after"])' "$1" 2>/dev/null; }

# The report as it must end: the units that began succeeded and run their
# application, the others were not reached.
expected_report() {  # expected_report ENDING BEGUN...
  local ending=$1 address
  shift
  echo "ending: $ending"
  for address in "${units[@]}"; do
    if [[ " $* " == *" $address "* ]]; then echo "$address succeeded application"; else echo "$address not-reached bootload"; fi
  done
}
report_is() { [[ $(report_lines "$1") == "$2" ]]; }

memory_equals_package() { "$sim" --verify-dump "$1" >/dev/null; }
dump_field() { python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(eval(sys.argv[2], {}, d))' "$@"; }
# Nothing was written to a unit: no memory, no update ended, still in its bootloader.
left_alone() {
  [[ $(dump_field "$1" '(program["bytes"], flash["bytes"], updates_ended, mode)') == "(0, 0, 0, 'bootload')" ]]
}

# One case: the updater in a console window of its own, and the events
# once three units are being written; each event may name the text the
# updater shows once it took it. Sets dir, pid, begun (the units whose
# writing began) and rc (the updater's exit code).
run_case() {  # run_case NAME EVENT[:TEXT_SHOWN]...
  local name=$1
  shift
  dir=$work/$name
  mkdir -p "$dir"
  start_units "$dir"
  "$WINE" "$console" start "$(winpath "$dir/out")" "$(winpath "$dir/err")" "$(winpath "$dir/pid")" "$exe" \
    update --all --time 2 --json --yes --jobs 3 --report "$(winpath "$dir/visit.json")" >"$dir/console.txt" 2>&1 &
  local started=$! event
  wait_for "the updater's process id" 60 test -s "$dir/pid" || exit 1
  pid=$(tr -d '\r\n' <"$dir/pid")
  wait_for "three units being written" 120 three_writing "$dir/out" || { cat "$dir/err"; exit 1; }
  begun=$(writing "$dir/out")
  "$WINE" "$console" attached "$pid" | tr -d '\r' >"$dir/attached.txt"
  for event in "$@"; do
    "$WINE" "$console" "${event%%:*}" "$pid" | tr -d '\r' | tee -a "$dir/events.txt"
    [[ $event == *:* ]] && { wait_for "'${event#*:}' from the updater" 60 says "$dir/err" "${event#*:}" || true; }
  done
  rc=0
  wait "$started" || rc=$?
}

# What reached the units: the ones begun finished and run their application,
# the other one was left alone.
check_units() {
  local address
  stop_units
  for address in "${units[@]}"; do
    if [[ " $begun " == *" $address "* ]]; then
      check "$1: $address, being written, ends with memory equal to the package" \
        memory_equals_package "$dir/$address.dump"
      check "$1: $address runs its application" test "$(dump_field "$dir/$address.dump" mode)" = application
    else
      check "$1: $address, not begun, is left alone" left_alone "$dir/$address.dump"
    fi
  done
}

# ---- Ctrl-Break twice: the updater stops starting units, names the ones
# still being written, lets them finish and writes the report itself.
run_case break break:'tq35b: stopping' break:'still being written'
check "Ctrl-Break: only the updater is attached to its console, not its workers" \
  test "$(cat "$dir/attached.txt")" = "$pid"
check "Ctrl-Break: the first stops the run" says "$dir/err" \
  '^tq35b: stopping: units being written finish on their own'
check "Ctrl-Break: the second names the units still being written" says "$dir/err" \
  "^tq35b: still being written: ${begun// /, }. They will finish"
check_units Ctrl-Break
check "Ctrl-Break: exit 1 (three updated, one not reached)" test "$rc" = 1
check "Ctrl-Break: the report says so" report_is "$dir/visit.json" "$(expected_report stopped $begun)"
check "Ctrl-Break: standard output ends with the same summary" python3 -c '
import json, sys
events = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
report = json.load(open(sys.argv[2]))
assert events[-1]["event"] == "summary", events[-1]
assert events[-1]["units"] == report["units"], (events[-1], report)
assert sorted(e["unit"] for e in events if e["event"] == "round") == sorted(sys.argv[3:]), events
' "$dir/out" "$dir/visit.json" "${units[@]}"
check "Ctrl-Break: the units' records are cleared away" test "$(ls "$dir" | grep -c 'visit.json.units-')" = 0

# ---- The console's close event, as Windows sends it when the window is
# closed: the updater's handler gets it, and the updater is ended when the
# handler returns. Its workers finish their units and complete the report.
run_case close-event close-event
check "close event: the updater's handler returned and the updater was ended" \
  grep -q "handler returned after .* ms; the process was ended then" "$dir/events.txt"
check "close event: before it was ended, the updater handed the report over to its workers" \
  test -f "$dir/visit.json" -a -n "$(compgen -G "$dir/visit.json.units-*/handed-over")"
expected=$(expected_report "completed by the workers after the updater ended" $begun)
check "close event: the workers complete the report" wait_for "the workers' report" 120 report_is "$dir/visit.json" "$expected"
check_units "close event"

# ---- The console window closed. Wine ends the programs in it at once,
# without a close event; the workers run without it and go on all the same.
run_case close-window close-window
check "window closed: the updater ended with its console window" \
  grep -q "ended .* ms after its console window was closed" "$dir/events.txt"
expected=$(expected_report "completed by the workers after the updater ended" $begun)
check "window closed: the workers complete the report" wait_for "the workers' report" 120 report_is "$dir/visit.json" "$expected"
check_units "window closed"

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
