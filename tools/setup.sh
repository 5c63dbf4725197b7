#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine:
# the native toolchain and test libraries, the mingw-w64 i686 toolchain, Wine
# (32-bit, so the i386 architecture), Xvfb and the screenshot tools, the
# format checker, and what CPack and the package checks use (dpkg-dev, file,
# man-db).
# Safe to run again: it does nothing when everything is there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build python3 pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  clang-14 libclang-rt-14-dev clang-format-14
  dpkg-dev file man-db
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  wine wine32:i386
  xvfb xauth x11-apps imagemagick fonts-wine
  socat iproute2 util-linux procps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
