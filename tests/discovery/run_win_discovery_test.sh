#!/usr/bin/env bash
# The network worker of the Windows build under Wine, against simulated units,
# inside one private network namespace (tools/wine-run.sh starts wineserver
# there, so the worker's broadcasts stay inside too): it must report the same
# units, with the same flags, as the native build of the same worker.
#
#   run_win_discovery_test.sh SIM NATIVE_REPORT WIN_EXE
#
# SIM is tq35b_sim, NATIVE_REPORT the native discovery_report program and
# WIN_EXE win_discovery_test.exe. Exit 0 when both agree and find what the
# units announce; 77 when tools/wine-run.sh skips the run.
set -euo pipefail

seconds=5

if [[ "${1:-}" == --inside ]]; then
  sim=$2 native=$3 exe=$4
  [[ "${TQ_WINE_NETNS:-}" == 1 ]] || { echo "not inside a private network namespace" >&2; exit 1; }
  work=$(mktemp -d /tmp/tq-windisc.XXXXXX)
  pids=()
  finish() {
    for p in "${pids[@]+"${pids[@]}"}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
  }
  trap finish EXIT

  n=0
  unit() {  # a unit with no bootloader lines, only its discovery answers
    n=$((n + 1))
    "$sim" --udp-port -1 --no-pty "$@" >"$work/unit$n.out" 2>&1 &
    pids+=($!)
  }
  unit --mode bootload --announce-from 10.77.0.20
  unit --mode application --announce-from 10.77.0.21
  unit --mode application --announce-from 169.254.7.9
  unit --mode bootload --announce-from 10.77.0.30 --model-line "Varno TQ36B"
  for i in $(seq 1 "$n"); do
    for _ in $(seq 100); do grep -q '^ready' "$work/unit$i.out" 2>/dev/null && break; sleep 0.05; done
    grep -q '^ready' "$work/unit$i.out" || { echo "unit $i did not start:"; cat "$work/unit$i.out"; exit 1; }
  done

  "$native" "$seconds" >"$work/native.txt"
  "$WINE" "$exe" "$seconds" | tr -d '\r' >"$work/wine.txt"
  echo "--- native"; cat "$work/native.txt"
  echo "--- wine"; cat "$work/wine.txt"

  passed=0 failed=0
  check() {  # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
  }
  expected=$'unit 10.77.0.20 flags 0x0001\nunit 10.77.0.21 flags 0x0000\nunit 169.254.7.9 flags 0xc000'
  check "native reports the three units" test "$(grep '^unit' "$work/native.txt")" == "$expected"
  check "Wine reports the same units as native" \
    test "$(grep '^unit' "$work/wine.txt")" == "$(grep '^unit' "$work/native.txt")"
  check "Wine reported something" grep -q '^reports [1-9]' "$work/wine.txt"
  echo "$passed passed, $failed failed"
  [[ $failed == 0 ]]
  exit
fi

[[ $# == 3 ]] || { echo "usage: $0 SIM NATIVE_REPORT WIN_EXE" >&2; exit 2; }
here=$(dirname "$(readlink -f "$0")")
exec "$here/../../tools/wine-run.sh" --program "$1" --program "$2" --windows-program "$3" \
  --addr 10.77.0.1/24 --link-local --timeout 240 -- \
  bash "$here/run_win_discovery_test.sh" --inside "$(readlink -m "$1")" "$(readlink -m "$2")" "$(readlink -m "$3")"
