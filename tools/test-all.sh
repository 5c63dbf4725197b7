#!/usr/bin/env bash
# Sets up the machine, builds the Windows program and the native tree, and
# runs every test: the native unit and end-to-end tests and the Wine tests of
# the Windows build. Ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
echo "== Windows build (mingw-w64 i686)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

echo "== Native build"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"

echo "== Tests"
ctest --preset native -j "$jobs"
