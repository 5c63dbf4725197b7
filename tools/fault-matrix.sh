#!/usr/bin/env bash
# The fault matrix: full updates against the simulated unit over UDP and
# over a pseudo-terminal, in plain and in sequence mode, under each fault
# (loss of 1%, 10% and 30% of round trips, single-byte corruption,
# duplicated frames, replies delayed past the host's time-out, alone and
# with frames lost, status 0 at a random frame, silence at a random frame,
# the serial line closed mid-update). Prints one row per case and a closing
# count; exits 1 when a case failed.
#
#   bash tools/fault-matrix.sh [--jobs N] [--seed N] [CASE...]
#
# The cases run as separate processes, N at a time (default 6: they spend
# most of their time waiting out the host's time-outs). The lossy cases take
# minutes each, since every lost round trip costs the host its one-second
# time-out. TQ_BUILD names a native build tree (default build/native, built
# here if needed).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=6
seed=7
cases=()
while [ $# -gt 0 ]; do
  case "$1" in
    --jobs) jobs=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) cases+=("$1"); shift ;;
  esac
done

build=${TQ_BUILD:-build/native}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target fault_matrix -j "${TQ_JOBS:-2}" >/dev/null
matrix="$build/tests/faults/fault_matrix"
[ ${#cases[@]} -gt 0 ] || mapfile -t cases < <("$matrix" --list)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
n=0
for c in "${cases[@]}"; do
  for link in udp serial; do
    for mode in plain sequence; do
      [ "$c" = line-closed ] && [ "$link" = udp ] && continue
      n=$((n + 1))
      printf '%03d %s %s %s\n' "$n" "$c" "$link" "$mode"
    done
  done
done > "$work/list"

echo "fault matrix: $n cases, $jobs at a time, seed $seed"
start=$(date +%s)
# Each case writes its row into a file named by its place in the table.
xargs -P "$jobs" -L 1 sh -c '"$0" --case "$2" --link "$3" --mode "$4" --seed "$5" > "$6/$1.row" 2>&1 || true' \
  "$matrix" < <(sed "s|\$| $seed $work|" "$work/list")

"$matrix" --header
cat "$work"/*.row
passed=$(cat "$work"/*.row | grep -c ' PASS' || true)
failed=$((n - passed))
echo "fault matrix: $(( $(date +%s) - start )) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
