#!/usr/bin/env bash
# The soak: 25 consecutive full updates over UDP against one simulated unit
# that loses 5% of the round trips, every update compared with the package
# through the unit's dump, and the updater's resident memory and open
# descriptors before the first update, after each and at the end.
#
#   bash tools/soak.sh [--updates N] [--loss PERCENT] [--seed N] [--rss-slack KB]
#
# With 5% loss each update waits out some 300 one-second time-outs, so the
# default run takes about two hours. TQ_BUILD names a native build tree
# (default build/native, built here if needed). Exit status 0 when every
# update was exact and memory and descriptors stayed flat.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TQ_BUILD:-build/native}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target soak tq35b_sim -j "${TQ_JOBS:-2}" >/dev/null
exec "$build/tests/faults/soak" --sim "$build/sim/tq35b_sim" "$@"
