#!/usr/bin/env bash
# Runs win_link_test.exe under Wine the safe way, inside tools/wine-run.sh: a
# private network namespace (only its own loopback) and a private mount
# namespace whose /dev holds no serial device of this machine, so that the
# only COM ports Wine sees are COM5 and COM6, the two ends of a
# pseudo-terminal pair.
#
#   run_win_link_test.sh path/to/win_link_test.exe
#
# Exit 0 when every check passed; 77 when tools/wine-run.sh skips the run.
set -euo pipefail

if [[ "${1:-}" == --inside ]]; then
  exe=$2 work=$3
  socat pty,raw,echo=0,link="$work/com5" pty,raw,echo=0,link="$work/com6" &
  socat_pid=$!
  trap 'kill "$socat_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [[ -e "$work/com5" && -e "$work/com6" ]] && break; sleep 0.1; done
  [[ -e "$work/com5" && -e "$work/com6" ]] || { echo "socat made no pseudo-terminal pair" >&2; exit 1; }
  "$WINE" "$exe" '\\.\COM5' '\\.\COM6'
  exit
fi

[[ $# == 1 ]] || { echo "usage: $0 WIN_LINK_TEST_EXE" >&2; exit 2; }
command -v socat >/dev/null || { echo "socat is not installed (tools/setup.sh installs it)" >&2; exit 1; }
here=$(dirname "$(readlink -f "$0")")
work=$(mktemp -d /tmp/tq-winlink.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
status=0
"$here/../../tools/wine-run.sh" --windows-program "$1" --netns --com "5=$work/com5" --com "6=$work/com6" \
  --timeout 240 -- bash "$here/run_win_link_test.sh" --inside "$(readlink -m "$1")" "$work" || status=$?
exit "$status"
