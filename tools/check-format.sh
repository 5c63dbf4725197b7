#!/usr/bin/env bash
# Checks that every C and C++ source file git tracks is laid out as
# .clang-format says, with clang-format-14 (Debian 12's: another version may
# lay out the same file differently). Lists each file that is not and exits 1.
#
#   bash tools/check-format.sh            check the tree (tools/test-all.sh runs this)
#   bash tools/check-format.sh --fix      reformat the tree in place
#   bash tools/check-format.sh FILE...    check only these files (--fix FILE... too)
#
# The seed inputs of the fuzz targets (fuzz/corpus/) are data, not code, and
# nothing under build/ is tracked.
set -euo pipefail
cd "$(dirname "$0")/.."

fix=0
if [[ ${1:-} == --fix ]]; then
  fix=1
  shift
fi

format=clang-format-14
command -v "$format" >/dev/null || { echo "check-format: $format not found (tools/setup.sh installs it)" >&2; exit 2; }
[[ -f .clang-format ]] || { echo "check-format: no .clang-format at the top of the tree" >&2; exit 2; }

files=("$@")
if ((${#files[@]} == 0)); then
  mapfile -t files < <(git ls-files -- '*.c' '*.h' '*.cpp' '*.hpp' '*.cc' ':!:fuzz/corpus/**')
fi
((${#files[@]})) || { echo "check-format: no files to check" >&2; exit 2; }

if ((fix)); then
  printf '%s\0' "${files[@]}" | xargs -0 -n 50 "$format" -i --style=file
  echo "check-format: formatted ${#files[@]} files"
  exit 0
fi

# One clang-format run for all files (it starts slowly); each place it would
# change is reported as FILE:LINE:COLUMN, and the files are listed once.
rc=0
report=$(printf '%s\0' "${files[@]}" | xargs -0 "$format" --dry-run --Werror --style=file 2>&1) || rc=$?
if ((rc == 0)); then
  echo "check-format: ${#files[@]} files formatted"
  exit 0
fi
mapfile -t bad < <(grep -oE '^[^:]+:[0-9]+:[0-9]+: (error|warning): code should be clang-formatted' <<<"$report" |
  cut -d: -f1 | sort -u)
if ((${#bad[@]} == 0)); then
  # Not a layout difference: a bad .clang-format, an unreadable file...
  echo "$report" >&2
  echo "check-format: $format failed (exit $rc)" >&2
  exit 2
fi
echo "check-format: ${#bad[@]} of ${#files[@]} files are not formatted:" >&2
printf '  %s\n' "${bad[@]}" >&2
echo "check-format: 'bash tools/check-format.sh --fix' formats them; 'clang-format-14 --dry-run FILE' shows where" >&2
exit 1
