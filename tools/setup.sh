#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine:
# the native toolchain and test libraries, the mingw-w64 i686 toolchain, Wine
# (32-bit, so the i386 architecture), Xvfb and the screenshot tools, the
# format checker, and what CPack and the package checks use (dpkg-dev, file,
# man-db). On a machine that cannot run 32-bit programs (tools/wine-arch.sh),
# also 64-bit Wine and the mingw-w64 x86_64 toolchain, for the 64-bit test
# build.
# Safe to run again: it does nothing when everything is there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build python3 pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
  clang-14 libclang-rt-14-dev clang-format-14
  dpkg-dev file man-db
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  wine wine32:i386
  xvfb xauth x11-apps imagemagick fonts-wine
  socat iproute2 util-linux procps
)
packages_win64=(
  wine64
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
updated=0

# install PACKAGE...: installs those that are missing.
install() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    updated=0
  fi
  export DEBIAN_FRONTEND=noninteractive
  if [ $updated -eq 0 ]; then
    $SUDO apt-get update -q
    updated=1
  fi
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
}

install "${packages[@]}"
# Only once the i386 libraries are in place can the machine say whether it
# runs them.
if [ "$(bash "$(dirname "$0")/wine-arch.sh")" = win64 ]; then
  install "${packages_win64[@]}"
fi
echo "setup: all packages present"
