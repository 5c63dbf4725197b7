#!/usr/bin/env bash
# Figures for full updates through the command-line tool against simulated
# units, inside a private network namespace:
#
#  - one unit over UDP loopback, several runs;
#  - four units at once over UDP loopback (one worker process each), against
#    one unit alone (goal: at most 1.5 times as long), with units that answer
#    at once and with units that take 1 ms over each frame, as a unit
#    writing its memory does;
#  - one unit that does not number its frames (plain mode) over UDP
#    loopback, against the same unit numbering them;
#  - one unit over a pseudo-terminal that the unit paces at 115200 bit/s.
#
# Two times for each run: the whole command as a script sees it (start-up,
# the version query, the update, the worker's closing pause) and the
# transfer alone (from the progress range to the last accepted frame, as
# the tool's JSON events report it). Prints figures; asserts nothing.
#
#   bench/cli_update_bench.sh [--build DIR] [--runs N] [--no-serial]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build/native
runs=3
serial=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --no-serial) serial=0; shift ;;
    --inside) inside=1; shift ;;
    *) echo "usage: $0 [--build DIR] [--runs N] [--no-serial]" >&2; exit 2 ;;
  esac
done
cli=$build/cli/tq35b
sim=$build/sim/tq35b_sim
for program in "$cli" "$sim"; do
  [[ -x $program ]] || { echo "cli_update_bench: $program is not built" >&2; exit 2; }
done

if [[ -z ${inside:-} ]]; then
  args=(--build "$build" --runs "$runs")
  [[ $serial == 1 ]] || args+=(--no-serial)
  exec bash "$here/tools/netns-run.sh" -- bash "$0" --inside "${args[@]}"
fi

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

start_unit() {  # start_unit NAME ARGS...: waits for the unit's ready line
  local name=$1
  shift
  "$sim" --dump "$work/$name.dump" "$@" >"$work/$name.ready" 2>"$work/$name.log" &
  for _ in $(seq 100); do
    grep -q '^ready' "$work/$name.ready" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "cli_update_bench: unit $name did not start" >&2
  exit 1
}

now() { date +%s.%N; }

# The transfer time of each unit in a JSON event stream: the elapsed time of
# its last progress event.
transfer_times() {
  python3 -c '
import json, sys
last = {}
for line in sys.stdin:
    e = json.loads(line)
    if e["event"] == "progress":
        last[e["unit"]] = e["elapsed_ms"] / 1000.0
    if e["event"] == "outcome" and e["result"] != "succeeded":
        sys.exit("update of %s: %s" % (e["unit"], e["result"]))
print(" ".join("%.3f" % last[u] for u in sorted(last)))
'
}

timed_update() {  # timed_update OUT TARGET-ARGS...: prints "wall transfers..."
  local out=$1
  shift
  local t0 t1
  t0=$(now)
  "$cli" update --json "$@" >"$out"
  t1=$(now)
  echo "$(python3 -c "print('%.3f' % ($t1 - $t0))") $(transfer_times <"$out")"
}

median() { python3 -c 'import statistics, sys; print("%.3f" % statistics.median(float(x) for x in sys.argv[1:]))' "$@"; }

echo "== Updates through the command-line tool (package: $("$cli" info --json | python3 -c 'import json,sys; p=json.load(sys.stdin); print("%d records, %d flash bytes" % (p["application_records"], p["flash_bytes"]))'))"

# scenario ID TITLE SIM-ARGS...: one unit alone and four at once, $runs times each.
scenario() {
  local name=$1
  echo "-- $2"
  shift 2
  for i in 1 2 3 4; do start_unit "$name$i" --bind "127.0.0.$((i + 1))" --no-pty "$@"; done
  local one_wall=() one_transfer=() four_wall=() four_slowest=()
  for run in $(seq "$runs"); do
    read -r wall transfer < <(timed_update "$work/one.json" --ip 127.0.0.2)
    one_wall+=("$wall")
    one_transfer+=("$transfer")
    printf '  one unit, run %d:          %6.3f s command, %6.3f s transfer\n' "$run" "$wall" "$transfer"
  done
  "$sim" --verify-dump "$work/${name}1.dump" >/dev/null || { echo "cli_update_bench: unit memory differs" >&2; exit 1; }
  for run in $(seq "$runs"); do
    read -r wall t1 t2 t3 t4 < <(timed_update "$work/four.json" --ip 127.0.0.2 --ip 127.0.0.3 --ip 127.0.0.4 --ip 127.0.0.5)
    four_wall+=("$wall")
    four_slowest+=("$(python3 -c "print('%.3f' % max($t1, $t2, $t3, $t4))")")
    printf '  four units at once, run %d: %6.3f s command, transfers %s %s %s %s s\n' "$run" "$wall" "$t1" "$t2" "$t3" "$t4"
  done
  for i in 2 3 4; do
    "$sim" --verify-dump "$work/$name$i.dump" >/dev/null || { echo "cli_update_bench: unit memory differs" >&2; exit 1; }
  done
  local one four one_t four_t
  one=$(median "${one_wall[@]}")
  four=$(median "${four_wall[@]}")
  one_t=$(median "${one_transfer[@]}")
  four_t=$(median "${four_slowest[@]}")
  echo "  median: one unit $one s command, $one_t s transfer; four at once $four s command, $four_t s slowest transfer"
  python3 -c "print('  four at once / one alone: %.2f (command), %.2f (transfer); goal: at most 1.50' % ($four / $one, $four_t / $one_t))"
  printf -v "${name}_one_t" '%s' "$one_t"
  kill $(jobs -p) 2>/dev/null || true
  wait 2>/dev/null || true
}

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
scenario fast "UDP loopback, the unit answers at once"
scenario slow "UDP loopback, the unit takes 1 ms to answer each frame" --delay-out 100%:1

echo "-- UDP loopback, a unit that does not number its frames (plain mode)"
start_unit plain --bind 127.0.0.6 --no-pty --no-sequence
plain_wall=() plain_transfer=()
for run in $(seq "$runs"); do
  read -r wall transfer < <(timed_update "$work/plain.json" --ip 127.0.0.6)
  plain_wall+=("$wall")
  plain_transfer+=("$transfer")
  printf '  plain unit, run %d:        %6.3f s command, %6.3f s transfer\n' "$run" "$wall" "$transfer"
done
"$sim" --verify-dump "$work/plain.dump" >/dev/null || { echo "cli_update_bench: plain unit memory differs" >&2; exit 1; }
plain_t=$(median "${plain_transfer[@]}")
echo "  median: plain unit $(median "${plain_wall[@]}") s command, $plain_t s transfer"
python3 -c "print('  plain / numbered (transfer, one unit answering at once): %.2f; goal: at most 1.50' % ($plain_t / $fast_one_t))"

if [[ $serial == 1 ]]; then
  start_unit paced --udp-port -1 --pace --pty-link "$work/tty"
  read -r wall transfer < <(timed_update "$work/serial.json" --port "$work/tty")
  printf '  one unit, serial 115200 bit/s (paced): %7.3f s command, %7.3f s transfer\n' "$wall" "$transfer"
  # A floor to read it against: the package bytes alone at 10 bits a byte
  # (frames add their headers, CRCs, escapes and the replies on top).
  "$cli" info --json | python3 -c "
import json, sys
p = json.load(sys.stdin)
floor = (p['application_record_bytes'] + p['flash_bytes']) * 10 / 115200
print('  package bytes alone at 115200 bit/s: %.1f s; transfer / that: %.2f' % (floor, $transfer / floor))
"
  "$sim" --verify-dump "$work/paced.dump" >/dev/null || { echo "cli_update_bench: serial unit memory differs" >&2; exit 1; }
fi
echo "== done"
