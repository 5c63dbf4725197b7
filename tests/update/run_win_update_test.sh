#!/usr/bin/env bash
# The Windows build's update worker under Wine against the native simulated
# unit, over UDP loopback and over a Wine COM port that leads to the unit's
# pseudo-terminal: after each full update the unit's dump must equal the
# package byte for byte.
#
#   run_win_update_test.sh SIM WIN_EXE
#
# Everything runs inside tools/wine-run.sh: a private network namespace
# (wineserver started inside it) and a /dev without the machine's serial
# devices, so the only COM port Wine has is COM5, the unit's pty.
# Exit 0 when both runs pass; 77 when tools/wine-run.sh skips the run.
set -euo pipefail

if [[ "${1:-}" == --inside ]]; then
  sim=$2 exe=$3 work=$4
  [[ "${TQ_WINE_NETNS:-}" == 1 ]] || { echo "not inside a private network namespace" >&2; exit 1; }
  sim_pid=
  stop_unit() {
    if [[ -n $sim_pid ]]; then
      kill "$sim_pid" 2>/dev/null || true
      wait "$sim_pid" 2>/dev/null || true
      sim_pid=
    fi
  }
  trap stop_unit EXIT

  start_unit() {  # name
    rm -f "$work/pty"
    "$sim" --udp-port 0 --pty-link "$work/pty" --dump "$work/$1.json" >"$work/$1.out" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do grep -q '^ready' "$work/$1.out" 2>/dev/null && break; sleep 0.05; done
    grep -q '^ready' "$work/$1.out" || { echo "the unit did not start:"; cat "$work/$1.out"; exit 1; }
  }

  passed=0 failed=0
  run() {  # name, then the program's arguments
    local name=$1
    shift
    start_unit "$name"
    local args=("$@")
    if [[ ${args[0]} == udp ]]; then
      args[1]=$(sed -n 's/^ready udp=[0-9.]*:\([0-9]*\).*/\1/p' "$work/$name.out")
    fi
    echo "--- $name: win_update_test.exe ${args[*]}"
    local rc=0
    "$WINE" "$exe" "${args[@]}" >"$work/$name.txt" 2>&1 || rc=$?
    tr -d '\r' <"$work/$name.txt"
    stop_unit  # writes the dump at exit too
    local verdict
    verdict=$("$sim" --verify-dump "$work/$name.json" 2>&1) || true
    echo "$verdict"
    if [[ $rc == 0 && $verdict == "memory equals package" ]] &&
       grep -q '"version_stamp": *"08000100"' "$work/$name.json" &&
       grep -q '"factory_defaults": *true' "$work/$name.json"; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      echo "FAILED: $name (program exit $rc)"
    fi
  }
  run udp udp PORT
  run com com '\\.\COM5'
  echo "$passed passed, $failed failed"
  [[ $failed == 0 ]]
  exit
fi

[[ $# == 2 ]] || { echo "usage: $0 SIM WIN_EXE" >&2; exit 2; }
here=$(dirname "$(readlink -f "$0")")
work=$(mktemp -d /tmp/tq-winupd.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
rc=0
"$here/../../tools/wine-run.sh" --program "$1" --windows-program "$2" --netns --com "5=$work/pty" --timeout 500 -- \
  bash "$here/run_win_update_test.sh" --inside "$(readlink -m "$1")" "$(readlink -m "$2")" "$work" || rc=$?
exit $rc
