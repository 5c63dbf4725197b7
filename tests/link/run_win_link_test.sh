#!/usr/bin/env bash
# Runs win_link_test.exe under Wine the safe way: in a private network
# namespace (only its own loopback) and a private mount namespace whose /dev
# holds no serial device of this machine, so that the only COM ports Wine
# sees are COM5 and COM6, the two ends of a pseudo-terminal pair.
#
#   run_win_link_test.sh path/to/win_link_test.exe
#
# The machine's /dev is shared by everything running here: inside the
# namespace nothing is ever deleted, the view of the real /dev is detached
# as soon as the stand-in /dev is built, and the scratch folder is removed
# only after the namespace is gone, and never across a mount point.
set -euo pipefail

if [[ "${1:-}" == --inside ]]; then
  exe=$2 work=$3
  socat_pid=
  finish() {
    [[ -n "$socat_pid" ]] && kill "$socat_pid" 2>/dev/null || true
    WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
    WINEPREFIX="$work/prefix" wineserver -w 2>/dev/null || true
  }
  trap finish EXIT

  ip link set lo up

  # The stand-in /dev: a tmpfs with bind mounts of what Wine needs.
  mount --make-rprivate /
  mount --rbind /dev "$work/realdev"
  mount -t tmpfs -o mode=755 tmpfs /dev
  for node in null zero full random urandom tty; do
    touch "/dev/$node"
    mount --bind "$work/realdev/$node" "/dev/$node"
  done
  mkdir /dev/pts /dev/shm
  mount --bind "$work/realdev/pts" /dev/pts
  mount --bind "$work/realdev/shm" /dev/shm
  ln -s pts/ptmx /dev/ptmx
  ln -s /proc/self/fd /dev/fd
  umount -R -l "$work/realdev"  # from here on nothing under $work leads into /dev
  [[ -z "$(ls -A "$work/realdev")" ]] || { echo "real /dev still visible" >&2; exit 1; }

  export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wineboot -i >/dev/null 2>&1

  socat pty,raw,echo=0,link="$work/com5" pty,raw,echo=0,link="$work/com6" &
  socat_pid=$!
  for _ in $(seq 50); do [[ -e "$work/com5" && -e "$work/com6" ]] && break; sleep 0.1; done
  ln -sfn "$(readlink -f "$work/com5")" "$WINEPREFIX/dosdevices/com5"
  ln -sfn "$(readlink -f "$work/com6")" "$WINEPREFIX/dosdevices/com6"

  wine "$exe" '\\.\COM5' '\\.\COM6'
  exit
fi

for tool in wine wineboot wineserver socat unshare ip; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
[[ $(id -u) == 0 ]] || { echo "skipped: namespaces need root"; exit 77; }
[[ -f "$1" ]] || { echo "no such program: $1 (build the Windows tree first)"; exit 1; }

exe=$(readlink -f "$1")
work=$(mktemp -d /tmp/tq-winlink.XXXXXX)
mkdir "$work/realdev"
status=0
unshare -n -m "$0" --inside "$exe" "$work" || status=$?
# The namespace and its mounts are gone; still, never cross into another
# file system while clearing up.
rm -rf --one-file-system "$work"
exit "$status"
