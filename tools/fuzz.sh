#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) in a clang tree of their own and runs
# each of them for a bounded time, starting from the committed seed corpora.
# Any crash, sanitizer report, leak or failed check stops that target and
# fails the script; the input that did it is kept under the work folder.
#
#   bash tools/fuzz.sh                  every target for 15 s (the test command's run)
#   bash tools/fuzz.sh --seconds 600    every target for 10 minutes
#   bash tools/fuzz.sh --seconds 600 --parallel 2 exchange_fuzz hex_line_fuzz
#   bash tools/fuzz.sh --build-only     build the targets, run none
#   bash tools/fuzz.sh --no-build       run the targets as last built
#
# Environment: TQ_FUZZ_BUILD (the clang tree, default build/fuzz),
# TQ_FUZZ_WORK (corpora grown by the runs, crash inputs and logs, default
# build/fuzz-work), TQ_WERROR (ON: warnings are errors, as in CI) and
# TQ_LINE_TABLES_ONLY (ON: debug information as line tables only). The
# committed seeds in fuzz/corpus/ are never written.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=15
parallel=1
build_step=1
run_step=1
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --parallel) parallel=$2; shift 2 ;;
    --build-only) run_step=0; shift ;;
    --no-build) build_step=0; shift ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
all=(properties_line_fuzz hex_line_fuzz frame_receiver_fuzz exchange_fuzz discovery_answer_fuzz
     identity_split_fuzz text_reply_fuzz)
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

build=${TQ_FUZZ_BUILD:-$root/build/fuzz}
work=${TQ_FUZZ_WORK:-$root/build/fuzz-work}
if [ $build_step -eq 1 ]; then
  echo "== Fuzz build (clang-14, libFuzzer, ASan, UBSan) in $build"
  CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DTQ_FUZZ=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQ_WERROR="${TQ_WERROR:-OFF}" \
    -DTQ_LINE_TABLES_ONLY="${TQ_LINE_TABLES_ONLY:-OFF}" >/dev/null
  cmake --build "$build" --target fuzzers -j "${TQ_JOBS:-2}"
fi
[ $run_step -eq 1 ] || exit 0

# Largest input per target: room for its longest useful script.
max_len() {
  case "$1" in
    properties_line_fuzz|hex_line_fuzz) echo 8192 ;;
    frame_receiver_fuzz) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

run_one() {
  local t=$1 corpus=$work/$1/corpus log=$work/$1/run.log
  mkdir -p "$corpus" "$work/$t/crashes"
  # Leaks are checked at the end of every run by LeakSanitizer as well.
  if "$build/fuzz/$t" "$corpus" "$root/fuzz/corpus/$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
      -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 -detect_leaks=1 \
      -artifact_prefix="$work/$t/crashes/" >"$log" 2>&1; then
    local done_line execs
    # The last status line has the coverage; the final stats the executions.
    done_line=$(grep -E '^#[0-9]+[[:space:]].*cov: ' "$log" | tail -1 || true)
    execs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
    printf '%-24s ok   %8ss  execs %10s  %s\n' "$t" "$seconds" "${execs:-?}" \
      "$(echo "$done_line" | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]+')"
  else
    printf '%-24s FAILED (see %s)\n' "$t" "$log"
    grep -E 'ERROR|check failed|SUMMARY|Test unit written' "$log" | head -5 | sed 's/^/    /'
    return 1
  fi
}

echo "== Fuzzing ${#targets[@]} targets, ${seconds}s each, $parallel at a time"
failed=0
pids=()
names=()
mkdir -p "$work"
for t in "${targets[@]}"; do
  run_one "$t" > "$work.$t.result" 2>&1 &
  pids+=($!)
  names+=("$t")
  if [ ${#pids[@]} -ge "$parallel" ]; then
    wait "${pids[0]}" || failed=1
    cat "$work.${names[0]}.result"; rm -f "$work.${names[0]}.result"
    pids=("${pids[@]:1}"); names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || failed=1
  cat "$work.${names[$i]}.result"; rm -f "$work.${names[$i]}.result"
done
[ $failed -eq 0 ] && echo "fuzz: every target ran clean" || echo "fuzz: a target failed"
exit $failed
