#!/usr/bin/env bash
# test_help_pages.sh CHECK_EXE: runs help_pages_check.exe (the help wizard
# with a missing or empty first page, a gap and an empty page) under Wine.
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

CHECK=$(readlink -f "$1")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  gui_require_file "$CHECK"
  gui_enter --netns -- "$@"
fi
out=$("$WINE" "$CHECK" | tr -d '\r') || { echo "$out"; gui_fail "help_pages_check.exe failed"; }
echo "$out"
gui_say "all checks passed"
