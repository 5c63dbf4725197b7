#!/usr/bin/env bash
# Sets up the machine, checks the format of the sources, builds the Windows
# program and the native tree, and runs every test: the native suite under
# the sanitizers (less its long end-to-end runs) with a short run of every
# fuzz target beside it, then the native unit and end-to-end tests, the
# packages and the Wine tests of the Windows build. Ends with the whole
# run's time and ctest's summary. With CI set, warnings are errors in every build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

# Every C and C++ file laid out as .clang-format says; seconds, so first.
echo "== Format check"
bash tools/check-format.sh

# CI builds treat warnings as errors, on both compilers and in every tree.
case ${CI:-} in '' | 0 | false) werror=OFF ;; *) werror=ON ;; esac
export TQ_WERROR=$werror
# Line tables are all the debug information these builds need (the
# sanitizers' reports keep their files and lines), and a quarter less to
# compile in each tree.
export TQ_LINE_TABLES_ONLY=ON
# tools/fuzz.sh reads both from the environment; the presets take them here.
options=(-DTQ_WERROR="$TQ_WERROR" -DTQ_LINE_TABLES_ONLY="$TQ_LINE_TABLES_ONLY")

jobs=$(nproc 2>/dev/null || echo 2)
# Most tests spend their time waiting: on simulated units that answer late,
# on time-outs, on Wine. Three per core (the slow ones marked to start first;
# see tests/CMakeLists.txt) keeps the cores busy; more only lengthens each.
test_jobs=$((jobs * 3))

# The Wine tests run the programs of the Windows build that Wine can run
# here: the shipped 32-bit build, or on a machine without 32-bit support the
# same sources built 64-bit. There the 32-bit build makes only the programs
# that ship, since no test can start the others.
win_build=build/windows
shipped=()
if [[ $(bash tools/wine-arch.sh) == win64 ]]; then
  win_build=build/windows64
  shipped=(--target tq35b_updater tq35b)
fi
echo "== Windows build (mingw-w64 i686)"
cmake --preset windows "${options[@]}" >/dev/null
cmake --build --preset windows -j "$jobs" "${shipped[@]}"
if [[ $win_build == build/windows64 ]]; then
  echo "== Windows 64-bit build for the Wine tests (this machine runs no 32-bit programs)"
  cmake --preset windows64 "${options[@]}" >/dev/null
  cmake --build --preset windows64 -j "$jobs"
fi

echo "== Native build"
cmake --preset native -DTQ_WIN_BUILD_DIR="$PWD/$win_build" "${options[@]}" >/dev/null
cmake --build --preset native -j "$jobs"

# The native suite once more with AddressSanitizer, UndefinedBehavior-
# Sanitizer and leak checking (the Windows build's Wine tests are not part
# of this tree), all but the long end-to-end runs (label "long": updates
# under line faults, time-outs waited out on purpose, the command-line
# tool's end-to-end groups), which the main run proves and whose code the
# quick cases already take through the sanitizers. Every fuzz target runs
# for a short bounded time meanwhile, at the lowest priority: each lasts its
# seconds however busy the machine is, and takes only what the tests leave
# (the serial probes' answer windows are a quarter of a second; the cases
# that depend on them run alone in this tree, see tests/CMakeLists.txt).
# Both come before the main run, so that the last lines printed are its
# summary.
echo "== Sanitizer build (ASan, UBSan, leak checks)"
cmake --preset sanitize "${options[@]}" >/dev/null
cmake --build --preset sanitize -j "$jobs"
TQ_JOBS="$jobs" bash tools/fuzz.sh --build-only
fuzz_log=$(mktemp)
TQ_JOBS="$jobs" nice -n 19 bash tools/fuzz.sh --no-build --seconds "${TQ_FUZZ_SECONDS:-15}" --parallel "$jobs" >"$fuzz_log" 2>&1 &
fuzz_pid=$!
echo "== Tests under the sanitizers (all but the label \"long\"), the fuzz targets beside them"
sanitize_rc=0
ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize -j "$test_jobs" --output-on-failure -LE long || sanitize_rc=$?
echo "== Fuzzing"
fuzz_rc=0
wait "$fuzz_pid" || fuzz_rc=$?
cat "$fuzz_log"
rm -f "$fuzz_log"
((sanitize_rc == 0)) || exit "$sanitize_rc"
((fuzz_rc == 0)) || exit "$fuzz_rc"

# ctest's summary stays the last lines; the run's whole time goes just
# before it.
echo "== Tests"
ctest --preset native -j "$test_jobs" | while IFS= read -r line; do
  if [[ $line =~ ^[0-9]+%\ tests\ passed ]]; then
    printf 'Whole run of this command: %d min %02d s\n\n' $((SECONDS / 60)) $((SECONDS % 60))
  fi
  printf '%s\n' "$line"
done
