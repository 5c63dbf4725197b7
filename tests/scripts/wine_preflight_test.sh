#!/usr/bin/env bash
# The Wine tests' preflight (tools/wine-run.sh) must never turn a failure
# into a skip. Every Wine test runner is started the way ctest starts it, on
# a machine that lacks one thing:
#
#   - no Wine (hidden in a private mount namespace): skipped (77) outside
#     CI, failed under CI=true;
#   - no program of the Windows build: the same;
#   - no program of the native build: failed either way.
#
#   wine_preflight_test.sh SOURCE_DIR
#
# Ends with "N passed, M failed"; 77 when it cannot hide Wine (not root)
# outside CI. (It starts itself again inside the namespace as
# "SOURCE_DIR --no-wine COUNTS_FILE".)
set -euo pipefail

src=$(readlink -f "${1:?usage: wine_preflight_test.sh SOURCE_DIR}")
in_ci() {
  case ${CI:-} in '' | 0 | false) return 1 ;; esac
  return 0
}

if [[ ${2:-} != --no-wine ]]; then
  if [[ $(id -u) != 0 ]] || ! unshare -m --propagation private true 2>/dev/null; then
    in_ci && { echo "cannot make a mount namespace to hide Wine in (CI=$CI)" >&2; exit 1; }
    echo "skipped: hiding Wine needs a private mount namespace (root)"
    exit 77
  fi
fi

work=$(mktemp -d /tmp/tq-preflight.XXXXXX)
trap 'rm -rf "$work"' EXIT
present=$src/README.md          # stands in for any program that exists
missing=$work/not-built.exe

# Each runner with its arguments; WIN is the Windows program, SIM and
# NATIVE programs of the native build.
runners=(
  "tests/boot/run_win_boot_test.sh SIM WIN"
  "tests/control/run_win_control_test.sh SIM WIN"
  "tests/discovery/run_win_discovery_test.sh SIM NATIVE WIN"
  "tests/update/run_win_update_test.sh SIM WIN"
  "tests/cli/run_win_cli_test.sh SIM WIN WIN"
  "tests/cli/run_win_venue_stop_test.sh SIM WIN WIN"
  "tests/link/run_win_link_test.sh WIN"
  "tools/wine-run.sh --windows-program WIN -- true"
)
gui_runner="tests/gui/test_startup.sh WIN"

passed=0 failed=0
# run_case WANT WHAT SIM WIN RUNNER-SPEC ENV...: runs the runner with SIM and
# WIN in place of those words and ENV set (env's syntax), and compares its
# exit code: "skip" is 77, "fail" anything but 0 and 77.
run_case() {
  local want=$1 what=$2 sim=$3 win=$4 spec=$5
  shift 5
  local words=() w rc=0
  for w in $spec; do
    case $w in
      SIM) words+=("$sim") ;; NATIVE) words+=("$sim") ;; WIN) words+=("$win") ;;
      *.sh) words+=("$src/$w") ;; *) words+=("$w") ;;
    esac
  done
  env "$@" TQ_WINE_RUN_SH="$src/tools/wine-run.sh" TQ_DRIVER="$present" \
    timeout 120 bash "${words[@]}" >"$work/out" 2>&1 </dev/null || rc=$?
  local ok=0
  case $want in
    skip) ((rc == 77)) && ok=1 ;;
    fail) ((rc != 0 && rc != 77)) && ok=1 ;;
  esac
  if ((ok)); then
    passed=$((passed + 1))
    echo "ok: $what: ${spec%% *} exit $rc"
  else
    failed=$((failed + 1))
    echo "FAILED: $what: ${spec%% *} exit $rc, wanted $want; its output:"
    sed 's/^/    /' "$work/out"
  fi
}

if [[ ${2:-} == --no-wine ]]; then
  # Inside the namespace: make sure Wine really is gone, or the cases below
  # would prove nothing.
  if command -v wine >/dev/null || command -v wineserver >/dev/null || [[ -x /usr/lib/wine/wine ]]; then
    echo "FAILED: Wine is still visible in the namespace"
    exit 1
  fi
  for spec in "${runners[@]}" "$gui_runner"; do
    run_case skip "no Wine, outside CI" "$present" "$present" "$spec" -u CI
    run_case fail "no Wine, CI=true" "$present" "$present" "$spec" CI=true
  done
  echo "$passed $failed" >"$3"
  exit 0
fi

for spec in "${runners[@]}"; do
  run_case skip "no Windows build, outside CI" "$present" "$missing" "$spec" -u CI
  run_case fail "no Windows build, CI=true" "$present" "$missing" "$spec" CI=true
  [[ $spec == *SIM* ]] || continue
  run_case fail "no native program, outside CI" "$missing" "$present" "$spec" -u CI
done

# A mount namespace in which Wine's programs are not to be found: an empty
# folder over /usr/lib/wine, and a PATH of links to every program on the
# PATH but wine*. (Bash finds a program on the PATH even without execute
# rights, so covering the files themselves would not do.)
hide_wine_and_run() {
  unshare -m --propagation private bash -c '
    set -e
    shopt -s extglob nullglob
    [[ ! -d /usr/lib/wine ]] || mount -t tmpfs -o ro,size=4k tq-no-wine /usr/lib/wine
    mkdir "$1/bin"
    IFS=: read -ra dirs <<<"$PATH"
    # The last folder first, so that an earlier one wins as on the PATH.
    for ((i = ${#dirs[@]} - 1; i >= 0; i--)); do
      entries=("${dirs[i]}"/!(wine*))
      ((${#entries[@]} == 0)) || ln -sf "${entries[@]}" "$1/bin/"
    done
    PATH=$1/bin exec bash "$2" "$3" --no-wine "$1/counts"
  ' hide-wine "$work" "$(readlink -f "$0")" "$src"
}
hide_wine_and_run
read -r p f <"$work/counts"
passed=$((passed + p))
failed=$((failed + f))
echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
