#!/usr/bin/env bash
# The main job: build the Windows program and run it under Wine in a virtual
# X display, writing a screenshot of its main window.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc 2>/dev/null || echo 2)" --target tq35b_updater

out=${1:-build/main-window.png}
mkdir -p "$(dirname "$out")"
bash tools/screenshot-main.sh build/windows/app/tq35b_updater.exe "$out"
echo "main job: screenshot of the running program written to $out"
