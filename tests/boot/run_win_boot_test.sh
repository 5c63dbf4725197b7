#!/usr/bin/env bash
# The Windows build's frame engine under Wine against three native simulated
# units: one that answers, one that has fallen silent, and one behind a line
# that drops and corrupts frames (seeded). Each unit listens on UDP loopback
# and on a pseudo-terminal that Wine sees as a COM port (COM5, COM6, COM7),
# and logs every frame that reaches it, which win_boot_test.exe reads back.
#
#   run_win_boot_test.sh SIM WIN_EXE
#
# Everything runs inside tools/wine-run.sh: a private network namespace
# (wineserver started inside it) and a /dev without the machine's serial
# devices, so the only COM ports Wine has are the units' pseudo-terminals.
# Exit 0 when every check passed; 77 when tools/wine-run.sh skips the run.
set -euo pipefail

if [[ "${1:-}" == --inside ]]; then
  sim=$2 exe=$3 work=$4
  [[ "${TQ_WINE_NETNS:-}" == 1 ]] || { echo "not inside a private network namespace" >&2; exit 1; }
  pids=()
  stop_units() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
  }
  trap stop_units EXIT

  args=()
  start_unit() {  # name com, then the unit's own options
    local name=$1 com=$2
    shift 2
    "$sim" --udp-port 0 --pty-link "$work/$name-pty" --log "$work/$name.log" "$@" >"$work/$name.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q '^ready' "$work/$name.out" 2>/dev/null && break; sleep 0.05; done
    grep -q '^ready' "$work/$name.out" || { echo "the $name unit did not start:"; cat "$work/$name.out"; exit 1; }
    local port
    port=$(sed -n 's/^ready udp=[0-9.]*:\([0-9]*\).*/\1/p' "$work/$name.out")
    local log="Z:$work/$name.log"
    args+=("$name" "$port" "\\\\.\\$com" "${log//\//\\}")
  }
  start_unit answering COM5
  start_unit silent COM6 --silent-from 0
  start_unit lossy COM7 --seed 7 --drop 2% --corrupt 2%

  echo "--- win_boot_test.exe ${args[*]}"
  set +e
  "$WINE" "$exe" "${args[@]}" | tr -d '\r'
  status=${PIPESTATUS[0]}
  exit "$status"
fi

[[ $# == 2 ]] || { echo "usage: $0 SIM WIN_EXE" >&2; exit 2; }
here=$(dirname "$(readlink -f "$0")")
work=$(mktemp -d /tmp/tq-winboot.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
status=0
"$here/../../tools/wine-run.sh" --program "$1" --windows-program "$2" \
  --netns --com "5=$work/answering-pty" --com "6=$work/silent-pty" --com "7=$work/lossy-pty" --timeout 240 -- \
  bash "$here/run_win_boot_test.sh" --inside "$(readlink -m "$1")" "$(readlink -m "$2")" "$work" || status=$?
exit "$status"
