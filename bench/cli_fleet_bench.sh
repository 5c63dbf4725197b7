#!/usr/bin/env bash
# Figures for a whole venue update (tq35b update --all) against simulated
# units, inside a private network namespace: fleets of 1, 16 and 64 units
# that take 1 ms over each frame, as a unit writing its memory does, the
# first of every two starting in its application (so that it is entered
# with the PIN and restarts into its bootloader first; the one-unit fleet
# is such a unit). Each time is the whole command as a script sees it:
# discovery, the queries, entering bootload mode and the restart, the
# updates, leaving bootload mode and the confirmation. Goal: 64 units within
# 1.5 times one unit's time. The search lasts 10 s for every fleet: the
# discovery worker takes in about ten answers a second, so a 64-unit venue
# needs more than the default 6 s to be found whole. Prints figures;
# asserts nothing.
#
#   bench/cli_fleet_bench.sh [--build DIR] [--time S] [--sizes "1 16 64"]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build/native
search=10
sizes="1 16 64"
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --time) search=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    --inside) inside=1; shift ;;
    *) echo "usage: $0 [--build DIR] [--time S] [--sizes \"1 16 64\"]" >&2; exit 2 ;;
  esac
done
cli=$build/cli/tq35b
sim=$build/sim/tq35b_sim
for program in "$cli" "$sim"; do
  [[ -x $program ]] || { echo "cli_fleet_bench: $program is not built" >&2; exit 2; }
done

if [[ -z ${inside:-} ]]; then
  # One subnet on the namespace's lo holds every unit's address.
  exec bash "$here/tools/netns-run.sh" --addr 10.77.0.1/24 -- \
    bash "$0" --inside --build "$build" --time "$search" --sizes "$sizes"
fi

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

start_fleet() {  # start_fleet N: units at 10.77.0.10 and up
  local n=$1 i address mode
  for i in $(seq 0 $((n - 1))); do
    address=10.77.0.$((10 + i))
    mode=bootload
    (( i % 2 == 0 )) && mode=application
    "$sim" --bind "$address" --announce-from "$address" --no-pty --mode "$mode" --delay-out 100%:1 \
      --dump "$work/u$i.dump" >"$work/u$i.ready" 2>"$work/u$i.log" &
  done
  for i in $(seq 0 $((n - 1))); do
    for _ in $(seq 200); do
      grep -q '^ready' "$work/u$i.ready" 2>/dev/null && break
      sleep 0.05
    done
    grep -q '^ready' "$work/u$i.ready" || { echo "cli_fleet_bench: unit $i did not start" >&2; exit 1; }
  done
}

stop_fleet() {
  kill $(jobs -p) 2>/dev/null || true
  wait 2>/dev/null || true
}

echo "== update --all of simulated fleets (1 ms per frame, half starting in their application; search $search s)"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
one=""
for n in $sizes; do
  start_fleet "$n"
  t0=$(date +%s.%N)
  code=0
  echo 1234 | "$cli" update --all --time "$search" --yes --json >"$work/run.json" 2>"$work/run.err" || code=$?
  t1=$(date +%s.%N)
  stop_fleet
  bad=0
  for i in $(seq 0 $((n - 1))); do
    "$sim" --verify-dump "$work/u$i.dump" >/dev/null || bad=$((bad + 1))
  done
  python3 - "$work/run.json" "$n" "$t0" "$t1" "$code" "$bad" "${one:-}" <<'PY'
import json, sys
path, n, t0, t1, code, bad, one = sys.argv[1:]
wall = float(t1) - float(t0)
units = [json.loads(l) for l in open(path) if l.strip()][-1]["units"]
updated = sum(1 for u in units if u["result"] == "succeeded")
slowest = max(u["elapsed_ms"] for u in units) / 1000.0
line = "  %2s units: %6.1f s command (slowest unit's round %5.1f s), %d found, %d updated, exit %s, %s memories differ" % (
    n, wall, slowest, len(units), updated, code, bad)
if one:
    line += "; %.2f x one unit" % (wall / float(one))
print(line)
open(path + ".wall", "w").write("%.3f" % wall)
PY
  [[ -n $one ]] || one=$(cat "$work/run.json.wall")
done
echo "goal: 64 units within 1.50 x one unit"
echo "== done"
