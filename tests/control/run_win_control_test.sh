#!/usr/bin/env bash
# The text commands and the version query of the Windows build under Wine,
# against a native simulated unit running its application: queries over the
# unit's serial line (COM5, its pseudo-terminal) and over UDP and TCP, then
# entering bootload mode over TCP, then the queries again. Everything runs
# inside tools/wine-run.sh's private network and mount namespaces, so only
# this namespace's loopback is used and no serial device of the machine is
# visible to Wine.
#
#   run_win_control_test.sh SIM WIN_EXE
#
# SIM is tq35b_sim, WIN_EXE win_control_test.exe. Exit 0 when every check
# passed; 77 when tools/wine-run.sh skips the run.
set -euo pipefail

if [[ "${1:-}" == --inside ]]; then
  sim=$2 exe=$3 work=$4
  [[ "${TQ_WINE_NETNS:-}" == 1 ]] || { echo "not inside a private network namespace" >&2; exit 1; }
  "$sim" --udp-port 0 --tcp-port 0 --mode application --app-version 1.8 --text-rate 19200 \
    --pty-link "$work/unit-pty" >"$work/unit.out" 2>&1 &
  unit=$!
  trap 'kill "$unit" 2>/dev/null || true; wait "$unit" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do grep -q '^ready' "$work/unit.out" 2>/dev/null && break; sleep 0.05; done
  grep -q '^ready' "$work/unit.out" || { echo "the unit did not start:"; cat "$work/unit.out"; exit 1; }
  cat "$work/unit.out"
  udp=$(grep -o 'udp=[^ ]*' "$work/unit.out" | sed 's/.*://')
  tcp=$(grep -o 'tcp=[^ ]*' "$work/unit.out" | sed 's/.*://')
  [[ $udp =~ ^[0-9]+$ && $tcp =~ ^[0-9]+$ ]] || { echo "no ports in the ready line"; exit 1; }
  set +e
  "$WINE" "$exe" "$udp" "$tcp" '\\.\COM5' | tr -d '\r'
  status=${PIPESTATUS[0]}
  exit "$status"
fi

[[ $# == 2 ]] || { echo "usage: $0 SIM WIN_EXE" >&2; exit 2; }
here=$(dirname "$(readlink -f "$0")")
work=$(mktemp -d /tmp/tq-winctl.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
status=0
"$here/../../tools/wine-run.sh" --program "$1" --windows-program "$2" --netns --com 5="$work/unit-pty" --timeout 240 -- \
  bash "$here/run_win_control_test.sh" --inside "$(readlink -m "$1")" "$(readlink -m "$2")" "$work" || status=$?
exit "$status"
