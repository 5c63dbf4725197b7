#!/usr/bin/env bash
# Figures for a whole venue update (tq35b update --all) against simulated
# units, inside a private network namespace: fleets of 1, 16, 64, 128 and
# 256 units that take 1 ms over each frame, as a unit writing its memory does, the
# first of every two starting in its application (so that it is entered
# with the PIN and restarts into its bootloader first; the one-unit fleet
# is such a unit). Each time is the whole command as a script sees it:
# discovery, the queries, entering bootload mode and the restart, the
# updates, leaving bootload mode and the confirmation, with the default
# search time and number of jobs. Also the processor time the command and
# its workers took (user and system), per unit. Goals: 64 units within 1.5
# times one unit's time, 256 within 4 times. Prints figures; asserts nothing.
#
#   bench/cli_fleet_bench.sh [--build DIR] [--time S] [--sizes "1 16 64 128 256"]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build/native
search=6
sizes="1 16 64 128 256"
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --time) search=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    --inside) inside=1; shift ;;
    *) echo "usage: $0 [--build DIR] [--time S] [--sizes \"1 16 64 128 256\"]" >&2; exit 2 ;;
  esac
done
cli=$build/cli/tq35b
sim=$build/sim/tq35b_sim
for program in "$cli" "$sim"; do
  [[ -x $program ]] || { echo "cli_fleet_bench: $program is not built" >&2; exit 2; }
done

if [[ -z ${inside:-} ]]; then
  # One subnet on the namespace's lo holds every unit's address.
  exec bash "$here/tools/netns-run.sh" --addr 10.77.0.1/16 -- \
    bash "$0" --inside --build "$build" --time "$search" --sizes "$sizes"
fi

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

start_fleet() {  # start_fleet N: units at 10.77.1.0 and up
  local n=$1 i address mode
  for i in $(seq 0 $((n - 1))); do
    address=10.77.$((1 + i / 256)).$((i % 256))
    mode=bootload
    (( i % 2 == 0 )) && mode=application
    "$sim" --bind "$address" --announce-from "$address" --no-pty --mode "$mode" --handling 1 \
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
  # The processor time of the command and of every worker it waited for.
  echo 1234 | python3 -c 'import resource, subprocess, sys
code = subprocess.run(sys.argv[2:]).returncode
u = resource.getrusage(resource.RUSAGE_CHILDREN)
open(sys.argv[1], "w").write("%.2f" % (u.ru_utime + u.ru_stime))
sys.exit(code)' "$work/run.cpu" "$cli" update --all --time "$search" --yes --json >"$work/run.json" 2>"$work/run.err" || code=$?
  t1=$(date +%s.%N)
  stop_fleet
  bad=0
  for i in $(seq 0 $((n - 1))); do
    "$sim" --verify-dump "$work/u$i.dump" >/dev/null || bad=$((bad + 1))
  done
  python3 - "$work/run.json" "$n" "$t0" "$t1" "$code" "$bad" "$(cat "$work/run.cpu")" "${one:-}" <<'PY'
import json, sys
path, n, t0, t1, code, bad, cpu, one = sys.argv[1:]
wall = float(t1) - float(t0)
units = [json.loads(l) for l in open(path) if l.strip()][-1]["units"]
updated = sum(1 for u in units if u["result"] == "succeeded")
slowest = max(u["elapsed_ms"] for u in units) / 1000.0
line = "  %3s units: %6.1f s command (slowest unit's round %5.1f s), %d found, %d updated, exit %s, %s memories differ, %.2f s CPU a unit" % (
    n, wall, slowest, len(units), updated, code, bad, float(cpu) / int(n))
if one:
    line += "; %.2f x one unit" % (wall / float(one))
print(line)
open(path + ".wall", "w").write("%.3f" % wall)
PY
  [[ -n $one ]] || one=$(cat "$work/run.json.wall")
done
echo "goals: 64 units within 1.50 x one unit, 256 within 4 x"
echo "== done"
