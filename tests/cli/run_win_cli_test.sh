#!/usr/bin/env bash
# The Windows console build of the command-line updater under Wine, against
# simulated units: a fresh prefix, a private network namespace (wineserver
# inside it) and a private /dev without the machine's serial devices, all
# made by tools/wine-run.sh. COM5 is the simulated unit's pseudo-terminal.
#
#   run_win_cli_test.sh SIM TQ35B.EXE TQ_WORKER_STOP.EXE
#
# Checks the exit codes, the update over UDP and over COM5 with the unit's
# memory against the package, two units at once in JSON with their summary,
# and the installer PIN read from standard input (the outcome box that core
# code shows must not wait for a click), and a worker asked to stop as the
# runner asks it: ended before its first write, never while it writes.
# Ends with "N passed, M failed".
set -euo pipefail

[[ $# == 3 ]] || { echo "usage: $0 SIM TQ35B.EXE TQ_WORKER_STOP.EXE" >&2; exit 2; }
sim=$(readlink -m "$1")
exe=$(readlink -m "$2")
stopper=$(readlink -m "$3")
here=$(dirname "$(readlink -f "$0")")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  work=$(mktemp -d)
  export TQ_CLI_WORK=$work
  status=0
  bash "$here/../../tools/wine-run.sh" --program "$sim" --windows-program "$exe" --windows-program "$stopper" \
    --netns --hide-serial --com "5=$work/com5" -- bash "$(readlink -f "$0")" "$sim" "$exe" "$stopper" || status=$?
  rm -rf "$work"
  exit "$status"
fi

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

start_unit() {  # start_unit NAME ARGS...
  local name=$1
  shift
  "$sim" --dump "$work/$name.dump" "$@" >"$work/$name.ready" 2>"$work/$name.log" &
  for _ in $(seq 200); do
    grep -q '^ready' "$work/$name.ready" && return 0
    sleep 0.05
  done
  echo "unit $name did not start: $(cat "$work/$name.log")"
  exit 1
}

memory_equals_package() { "$sim" --verify-dump "$work/$1.dump" >/dev/null; }

tool() {  # tool OUT STDIN ARGS...: runs tq35b.exe, sets rc
  local out=$1 input=$2
  shift 2
  rc=0
  printf '%s' "$input" | timeout 120 "$WINE" "$exe" "$@" >"$out" 2>"$out.err" || rc=$?
  tr -d '\r' <"$out" >"$out.txt"
}

start_unit one --bind 127.0.0.2 --no-pty
start_unit good --bind 127.0.0.3 --no-pty
start_unit old --bind 127.0.0.4 --no-pty --bootloader-version 3.3
start_unit app --bind 127.0.0.5 --no-pty --mode application --pin 4711
start_unit serial --udp-port -1 --no-tcp --pty-link "$work/com5"
start_unit slow --bind 127.0.0.6 --no-pty --handling 1

tool "$work/help" "" --help
check "help ends with the exit codes" test "$rc" = 0 -a -n "$(grep -x '  4  wrong response.*' "$work/help.txt")"

tool "$work/one" "" update --ip 127.0.0.2
check "one unit over UDP: exit 0" test "$rc" = 0
check "one unit over UDP: plain lines end with the outcome" \
  grep -q '^127.0.0.2: succeeded: The firmware updated successfully.' "$work/one.txt"
check "one unit over UDP: memory equals package" memory_equals_package one

tool "$work/two" "" update --json --ip 127.0.0.3 --ip 127.0.0.4
check "two units, one updated and one refused: a mix, 1" test "$rc" = 1
check "two units: JSON ends with the summary" python3 -c '
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
summary = events[-1]
assert summary["event"] == "summary", summary
assert [(u["unit"], u["result"]) for u in summary["units"]] == [
    ("127.0.0.3", "succeeded"), ("127.0.0.4", "wrong-response")], summary
' "$work/two.txt"
check "two units: the accepted one has the package" memory_equals_package good

tool "$work/silent" "" query --ip 127.0.0.9
check "nobody at the address: exit 3" test "$rc" = 3

tool "$work/wrong" "1234"$'\n' enter-bootload --ip 127.0.0.5
check "wrong PIN: exit 1 and the unit's refusal" \
  test "$rc" = 1 -a -n "$(grep 'Unable to enter Bootload Mode.' "$work/wrong.err")"
tool "$work/badpin" "12"$'\n' enter-bootload --ip 127.0.0.5
check "a PIN of two digits: exit 2" test "$rc" = 2
tool "$work/right" "4711"$'\n' enter-bootload --ip 127.0.0.5
check "right PIN from standard input: exit 0" test "$rc" = 0 -a -n "$(grep 'Bootload Mode Enabled.' "$work/right.txt")"
tool "$work/after" "" query --ip 127.0.0.5
check "after entering: the bootloader answers" grep -q '^Bootloader: *3.1$' "$work/after.txt"

tool "$work/com" "" update --port COM5
check "over COM5: exit 0" test "$rc" = 0
check "over COM5: memory equals package" memory_equals_package serial

# The runner's stop request: a worker that has not begun to write ends at
# once (nobody at 127.0.0.9: its query would wait seconds for an answer); one
# that writes finishes its unit.
stopped=$(timeout 120 "$WINE" "$stopper" "$exe" at-once query --json --ip 127.0.0.9 | tr -d '\r')
check "a worker asked to stop before it writes ends at once (exit 1)" test "$stopped" = "exit 1 progress 0"
stopped=$(timeout 300 "$WINE" "$stopper" "$exe" after-progress update --worker --json --ip 127.0.0.6 | tr -d '\r')
check "a worker asked to stop while it writes finishes (exit 0): $stopped" test "${stopped%% progress*}" = "exit 0"
check "a worker asked to stop while it writes: memory equals package" memory_equals_package slow

kill $(jobs -p) 2>/dev/null || true
wait 2>/dev/null || true
echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
