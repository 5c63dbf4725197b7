#!/usr/bin/env bash
# wine-arch.sh: prints which Windows build the Wine tests can run here.
#
#   win32  this machine runs 32-bit Linux programs, so 32-bit Wine runs the
#          shipped 32-bit program itself (build/windows)
#   win64  it does not (some virtual machines run 64-bit user code only, and
#          every i386 program fails with "Exec format error"); 64-bit Wine
#          then runs a 64-bit build of the same sources (build/windows64)
#
# The shipped program stays the 32-bit build either way.
set -euo pipefail
loader=/lib/ld-linux.so.2
if [[ -x $loader ]] && "$loader" --version >/dev/null 2>&1; then
  echo win32
elif [[ -e $loader ]] || dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386; then
  echo win64
else
  # No i386 libraries at all: not set up yet, assume the ordinary case.
  echo win32
fi
