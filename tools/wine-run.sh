#!/usr/bin/env bash
# wine-run.sh [options] -- COMMAND...
#
# Runs COMMAND against a fresh Wine prefix and a private X server (Xvfb), so
# that a GUI test starts from the same clean state every time and leaves
# nothing running behind it. COMMAND usually starts the Windows program with
# "$WINE prog.exe &" and drives it with "$WINE tq_driver.exe script -".
#
# Options:
#   --netns              run everything (Xvfb, wineserver, COMMAND) in a private
#                        network namespace whose only interface is lo (up)
#   --addr CIDR          add CIDR to lo in that namespace (repeatable; implies --netns)
#   --link-local         add "local 169.254.0.0/16 dev lo", so a simulated unit
#                        may send from any link-local address (implies --netns)
#   --hide-serial        hide the machine's serial devices from Wine (the default;
#                        accepted so that callers can say it)
#   --com N=PATH         link COMN of the prefix to PATH, e.g. a pty made by the
#                        test (repeatable); PATH may be made later by COMMAND
#   --screenshot FILE    after COMMAND, save the whole screen as FILE (PNG)
#   --keep-prefix DIR    keep a prepared template prefix in DIR (made on first
#                        use) and start each run from a copy of it; without
#                        the option, TQ_WINE_TEMPLATE names DIR when set
#   --size WxH           screen and virtual desktop size (default 1024x768)
#   --timeout SECONDS    limit for COMMAND (default 600)
#   --winedebug CHANNELS WINEDEBUG for the run (default -all)
#   --program FILE       COMMAND needs FILE (a program of the native build, say):
#                        a missing one fails the run (repeatable)
#   --windows-program FILE  COMMAND needs FILE of the Windows build (repeatable)
#
# Preflight, the one place where a Wine test may be skipped: without a Wine
# that runs, Xvfb, root (for the namespaces) or a --windows-program, the run
# is skipped with exit code 77, which the tests register as "skipped". Under
# CI (CI set to anything but "", 0 or false) the same lack fails the run
# instead, since a CI run must run every Wine test. A missing --program
# always fails. Once COMMAND runs, its exit code 77 is turned into 1, so that
# a failure inside a test can never read as a skip.
#
# COMMAND sees DISPLAY, WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES, WINE (the wine
# loader to call), WINESERVER, TQ_WINE_RUN=1, TQ_WINE_SERIAL_HIDDEN=1 and, in a
# private network namespace, TQ_WINE_NETNS=1. The exit code is COMMAND's (77
# aside); 125 is this script's own error.
#
# Wine is 32-bit where this machine runs 32-bit programs, and 64-bit where it
# cannot (tools/wine-arch.sh says which); COMMAND's programs must match.
#
# Serial devices: Wine maps the machine's /dev/ttyS*, /dev/ttyUSB* and
# /dev/ttyACM* to COM ports by itself at every start, and programs probe every
# COM port they can see. So the whole run goes into a private mount namespace
# whose /dev holds only the few devices Wine needs; the test's own
# pseudo-terminals (under /dev/pts, or links to them) are then the only ports.
#
# Network: under Wine the sockets are made by wineserver, so the private network
# namespace only protects the machine if wineserver starts inside it. A fresh
# prefix has no server yet; this script starts one inside and checks where it
# runs before COMMAND starts.
set -euo pipefail

SELF=$(readlink -f "${BASH_SOURCE[0]}")
PROG=wine-run.sh

die() { echo "$PROG: error: $*" >&2; exit 125; }
note() { echo "$PROG: $*" >&2; }

in_ci() {
  case ${CI:-} in '' | 0 | false) return 1 ;; esac
  return 0
}
# Something this machine lacks for Wine tests: skipped here, failed in CI.
unavailable() {
  if in_ci; then die "$* (CI=$CI: the Wine tests must run here)"; fi
  echo "$PROG: skipped: $*"
  exit 77
}

usage() {
  sed -n '2,/^set -euo/p' "$SELF" | sed -e '$d' -e 's/^# \{0,1\}//' >&2
  exit 125
}

# ------------------------------------------------------------------ options
ORIG_ARGS=("$@")
NETNS=0
LINK_LOCAL=0
ADDRS=()
COMS=()
SHOT=""
# A fresh prefix costs a wineboot of 15 s and more (far more on a busy
# machine); a copy of the template takes a tenth of a second.
TEMPLATE=${TQ_WINE_TEMPLATE:-}
SIZE=1024x768
TIMEOUT=600
DEBUG_CHANNELS=-all
PROGRAMS=()
WINDOWS_PROGRAMS=()

while (($#)); do
  case "$1" in
    --netns) NETNS=1 ;;
    --addr) (($# >= 2)) || die "--addr needs CIDR"; ADDRS+=("$2"); NETNS=1; shift ;;
    --link-local) LINK_LOCAL=1; NETNS=1 ;;
    --hide-serial) ;;
    --com) (($# >= 2)) || die "--com needs N=PATH"; COMS+=("$2"); shift ;;
    --screenshot) (($# >= 2)) || die "--screenshot needs FILE"; SHOT=$2; shift ;;
    --keep-prefix) (($# >= 2)) || die "--keep-prefix needs DIR"; TEMPLATE=$2; shift ;;
    --size) (($# >= 2)) || die "--size needs WxH"; SIZE=$2; shift ;;
    --timeout) (($# >= 2)) || die "--timeout needs SECONDS"; TIMEOUT=$2; shift ;;
    --winedebug) (($# >= 2)) || die "--winedebug needs CHANNELS"; DEBUG_CHANNELS=$2; shift ;;
    --program) (($# >= 2)) || die "--program needs FILE"; PROGRAMS+=("$2"); shift ;;
    --windows-program) (($# >= 2)) || die "--windows-program needs FILE"; WINDOWS_PROGRAMS+=("$2"); shift ;;
    -h|--help) usage ;;
    --) shift; break ;;
    *) die "unknown option '$1' (the command follows --)" ;;
  esac
  shift
done
(($#)) || die "no command given (wine-run.sh [options] -- COMMAND...)"

[[ $SIZE =~ ^[0-9]+x[0-9]+$ ]] || die "--size wants WxH, not '$SIZE'"
[[ $TIMEOUT =~ ^[0-9]+$ ]] || die "--timeout wants whole seconds, not '$TIMEOUT'"
for spec in "${COMS[@]}"; do
  [[ $spec =~ ^([1-9][0-9]{0,2})=(.+)$ ]] && ((BASH_REMATCH[1] <= 255)) ||
    die "--com wants N=PATH with N from 1 to 255, not '$spec'"
done
for cidr in "${ADDRS[@]}"; do
  [[ $cidr =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+/[0-9]+$ ]] || die "--addr wants an IPv4 CIDR, not '$cidr'"
done
# Absolute paths, since the run may change directory and namespace.
[[ -z $SHOT ]] || SHOT=$(readlink -m "$SHOT")
[[ -z $TEMPLATE ]] || TEMPLATE=$(readlink -m "$TEMPLATE")

# ------------------------------------------------------------------ preflight
for f in "${PROGRAMS[@]}"; do
  [[ -f $f ]] || die "no such program: $f"
done
for f in "${WINDOWS_PROGRAMS[@]}"; do
  [[ -f $f ]] || unavailable "no $f (build the Windows tree first)"
done

find_tool() { # name fallback...
  local t
  for t in "$@"; do
    if command -v "$t" >/dev/null 2>&1; then command -v "$t"; return 0; fi
    if [[ -x $t ]]; then echo "$t"; return 0; fi
  done
  return 1
}
# A machine that cannot run 32-bit programs runs 64-bit Wine, and the tests
# then run the 64-bit build of the Windows programs (tools/wine-arch.sh).
WINE_ARCH=$("$(dirname "$SELF")/wine-arch.sh")
if [[ $WINE_ARCH == win64 ]]; then
  WINE=$(find_tool /usr/lib/wine/wine64 wine64) || unavailable "64-bit wine is not installed (install wine64)"
  export WINELOADER=$WINE WINEARCH=win64
else
  WINE=$(find_tool wine wine-stable /usr/lib/wine/wine) || unavailable "wine is not installed (install wine and wine32)"
  export WINEARCH=win32
fi
WINESERVER=$(find_tool wineserver /usr/lib/wine/wineserver) || unavailable "wineserver is not installed"
XVFB=$(find_tool Xvfb) || unavailable "Xvfb is not installed (install xvfb)"
# Installed is not enough: the loader must start on this machine.
if ! wine_says=$("$WINE" --version 2>&1); then
  unavailable "wine does not run here: $(tail -n 1 <<<"$wine_says")"
fi
WINE_FONTS=/usr/share/wine/fonts
for t in unshare timeout setpriv flock; do command -v $t >/dev/null || die "$t not found"; done

# ------------------------------------------------- namespaces (re-exec inside)
# Everything below runs inside the namespaces: the script starts itself again
# there, so that Xvfb, wineboot, wineserver and COMMAND are all children of it.
if [[ -z ${TQ_WINE_RUN_INNER:-} ]]; then
  flags=(--mount --propagation private)
  ((NETNS)) && flags+=(--net)
  [[ $(id -u) == 0 ]] || unavailable "private namespaces need root"
  unshare "${flags[@]}" -- true 2>/dev/null || unavailable "cannot make private namespaces"
  export TQ_WINE_RUN_INNER=1
  exec unshare "${flags[@]}" -- "$BASH" "$SELF" "${ORIG_ARGS[@]}"
fi
unset TQ_WINE_RUN_INNER

ns_of() { readlink "/proc/$1/ns/$2" 2>/dev/null || true; }

setup_network() {
  # Refuse to go on unless this really is a namespace of our own: traffic
  # that a test sends must not reach the machine's interfaces.
  [[ $(ns_of self net) != "$(ns_of 1 net)" ]] || die "not in a private network namespace"
  ip link set lo up || die "cannot bring lo up"
  local cidr
  for cidr in "${ADDRS[@]}"; do
    ip addr add "$cidr" dev lo || die "cannot add $cidr to lo"
  done
  if ((LINK_LOCAL)); then
    ip route add local 169.254.0.0/16 dev lo || die "cannot add the link-local route"
  fi
  local links
  links=$(ip -o link show | awk -F': ' '{print $2}' | tr '\n' ' ')
  [[ $links == "lo " ]] || die "private network namespace has more than lo: $links"
  export TQ_WINE_NETNS=1
}

hide_serial_devices() {
  # Build the new /dev aside, then move it over the old one: once a tmpfs
  # covers /dev, the devices to bind are no longer reachable.
  [[ $(ns_of self mnt) != "$(ns_of 1 mnt)" ]] || die "not in a private mount namespace"
  local stage
  stage=$(mktemp -d /tmp/tq-dev.XXXXXX)
  mount -t tmpfs -o mode=755,nosuid tq-dev "$stage" || die "cannot mount a tmpfs for /dev"
  local dev
  for dev in null zero full random urandom tty; do
    touch "$stage/$dev"
    mount --bind "/dev/$dev" "$stage/$dev" || die "cannot bind /dev/$dev"
  done
  for dev in pts shm; do
    mkdir "$stage/$dev"
    mount --bind "/dev/$dev" "$stage/$dev" || die "cannot bind /dev/$dev"
  done
  # A bind mount of /dev/ptmx gave pseudo-terminals without names; the link
  # into the devpts instance works.
  ln -s pts/ptmx "$stage/ptmx"
  # Not devices, but shells and tools expect them.
  ln -s /proc/self/fd "$stage/fd"
  ln -s /proc/self/fd/0 "$stage/stdin"
  ln -s /proc/self/fd/1 "$stage/stdout"
  ln -s /proc/self/fd/2 "$stage/stderr"
  mount --move "$stage" /dev || die "cannot move the new /dev into place"
  rmdir "$stage" 2>/dev/null || true
  local left
  left=$(compgen -G '/dev/ttyS*' || true; compgen -G '/dev/ttyUSB*' || true; compgen -G '/dev/ttyACM*' || true)
  [[ -z $left ]] || die "serial devices still visible: $left"
  export TQ_WINE_SERIAL_HIDDEN=1
}

((NETNS)) && setup_network
hide_serial_devices

# ------------------------------------------------------------------ clean-up
WORK=$(mktemp -d /tmp/tq-wine-run.XXXXXX)
PREFIX=$WORK/prefix
XVFB_PID=""
DISPLAY_NUM=""

# Wine keeps its server socket in a directory of its own under /tmp, named in
# the prefix's "wineserver" file (each prefix gets a new one).
server_base_dir() { # prefix
  local name
  [[ -f $1/wineserver ]] || return 1
  name=$(head -c 200 "$1/wineserver")
  [[ $name == /* ]] || name=${TMPDIR:-/tmp}/$name
  [[ -d $name && $(basename "$name") == wine-* ]] && echo "$name"
}

# Process ids of every process that runs with this prefix (server included),
# the X server aside.
prefix_pids() { # prefix
  local p env
  for p in /proc/[0-9]*; do
    [[ ${p#/proc/} == "$XVFB_PID" ]] && continue
    env=$({ tr '\0' '\n' <"$p/environ"; } 2>/dev/null) || continue
    grep -qxF "WINEPREFIX=$1" <<<"$env" && echo "${p#/proc/}"
  done
  return 0
}

stop_prefix() { # prefix
  local prefix=$1 pid
  [[ -d $prefix ]] || return 0
  WINEPREFIX=$prefix timeout 20 "$WINESERVER" -k >/dev/null 2>&1 || true
  WINEPREFIX=$prefix timeout 20 "$WINESERVER" -w >/dev/null 2>&1 || true
  for pid in $(prefix_pids "$prefix"); do
    [[ $pid == "$$" || $pid == "$BASHPID" ]] && continue
    note "process $pid of the prefix outlived wineserver -k; killing it"
    kill -KILL "$pid" 2>/dev/null || true
  done
  local base
  if base=$(server_base_dir "$prefix"); then rm -rf "$base"; fi
}

cleanup() {
  local rc=$?
  trap - EXIT INT TERM HUP
  stop_prefix "$PREFIX"
  if [[ -n $XVFB_PID ]]; then
    kill -TERM "$XVFB_PID" 2>/dev/null || true
    local i
    for ((i = 0; i < 50; i++)); do kill -0 "$XVFB_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

export WINEDEBUG=$DEBUG_CHANNELS
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINE WINESERVER
unset DISPLAY WAYLAND_DISPLAY

# ------------------------------------------------------------------ prefixes
# A new prefix: wineboot, then one virtual desktop for every process of the
# prefix, so that a driver started on its own sees the program's windows. The
# desktop setting takes effect at the next server start.
make_prefix() { # dir
  local dir=$1 t0=$SECONDS
  mkdir -p "$dir"
  WINEPREFIX=$dir timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 ||
    die "wineboot -i failed or took longer than 300 s in $dir"
  WINEPREFIX=$dir timeout 60 "$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 ||
    die "cannot set the virtual desktop in $dir"
  WINEPREFIX=$dir timeout 60 "$WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$SIZE" /f >/dev/null 2>&1 ||
    die "cannot set the desktop size in $dir"
  stop_prefix "$dir"
  # Wine's own fonts (Marlett draws the caption buttons) are not found from
  # the data folder here; in the prefix's Fonts folder they are.
  if [[ -d $WINE_FONTS && -d $dir/drive_c/windows/Fonts ]]; then
    cp -n "$WINE_FONTS"/* "$dir/drive_c/windows/Fonts/" 2>/dev/null || true
  fi
  note "prepared a prefix in $((SECONDS - t0)) s"
}

template_stamp() { "$WINE" --version 2>/dev/null; echo "$WINE_ARCH, desktop $SIZE, fonts"; }

# The template is made once, under a lock so that parallel runs wait for it,
# and marked with the wine version that made it.
ensure_template() {
  mkdir -p "$(dirname "$TEMPLATE")"
  exec {lock}>"$TEMPLATE.lock"
  flock -w 600 "$lock" || die "timed out waiting for the template lock $TEMPLATE.lock"
  if [[ ! -f $TEMPLATE/.tq-template || $(cat "$TEMPLATE/.tq-template") != "$(template_stamp)" ]]; then
    rm -rf "$TEMPLATE"
    make_prefix "$TEMPLATE"
    rm -f "$TEMPLATE/wineserver"
    template_stamp >"$TEMPLATE/.tq-template"
  fi
  flock -u "$lock"
}

# A copy of the template. The system DLL folders (over a gigabyte) are hard
# links, since nothing in a run writes to them; everything else (registry,
# user folders) is a real copy. The copy is a new directory, so Wine gives it a
# new server: nothing from another run is reused.
clone_template() { # dst
  local dst=$1 t0 big=(system32 syswow64 winsxs) d
  t0=$(date +%s%N)
  mkdir -p "$dst"
  (cd "$TEMPLATE" && tar --exclude=./.tq-template "${big[@]/#/--exclude=./drive_c/windows/}" -cf - .) |
    tar -C "$dst" -xf - || die "cannot copy the template $TEMPLATE"
  for d in "${big[@]}"; do
    [[ -d $TEMPLATE/drive_c/windows/$d ]] || continue
    # Hard links need one file system; elsewhere a plain copy does (slower).
    cp -al "$TEMPLATE/drive_c/windows/$d" "$dst/drive_c/windows/" 2>/dev/null ||
      { rm -rf "$dst/drive_c/windows/$d"; cp -a "$TEMPLATE/drive_c/windows/$d" "$dst/drive_c/windows/"; } ||
      die "cannot copy $d from the template"
  done
  note "copied the template prefix in $((($(date +%s%N) - t0) / 1000000)) ms"
}

if [[ -n $TEMPLATE ]]; then
  ensure_template
  clone_template "$PREFIX"
else
  make_prefix "$PREFIX"
fi
rm -f "$PREFIX/wineserver"
export WINEPREFIX=$PREFIX

# COM links: the ones Wine made for the machine's ports go (they point at
# hidden devices anyway), the test's own go in.
rm -f "$PREFIX"/dosdevices/com[0-9]*
for spec in "${COMS[@]}"; do
  ln -s "${spec#*=}" "$PREFIX/dosdevices/com${spec%%=*}"
done

# ------------------------------------------------------------------ X server
start_xvfb() {
  local dfile=$WORK/display i
  : >"$dfile"
  # The server dies with this script even if the script is killed outright.
  setpriv --pdeathsig KILL "$XVFB" -displayfd 3 -screen 0 "${SIZE}x24" -nolisten tcp -noreset \
    3>"$dfile" >"$WORK/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for ((i = 0; i < 200; i++)); do
    if [[ -s $dfile ]] && grep -q '^[0-9]\+$' "$dfile"; then
      DISPLAY_NUM=$(head -n1 "$dfile")
      export DISPLAY=:$DISPLAY_NUM
      return 0
    fi
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$WORK/xvfb.log" >&2 || true
  die "Xvfb did not start within 20 s"
}
start_xvfb

# ------------------------------------------------------------------ wineserver
# Started here, by us, inside the namespaces; COMMAND's wine processes then use
# it. It stays 10 s after its last client, so the short gaps between the
# test's wine starts do not restart it, and it still ends by itself if this
# script is killed.
start_wineserver() {
  "$WINESERVER" -p10 >"$WORK/wineserver.log" 2>&1 || { cat "$WORK/wineserver.log" >&2; die "wineserver did not start"; }
  local pid="" i
  for ((i = 0; i < 100; i++)); do
    for pid in $(prefix_pids "$PREFIX"); do
      [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == */wineserver* ]] && break 2
      pid=""
    done
    sleep 0.1
  done
  [[ -n $pid ]] || die "cannot find the wineserver of $PREFIX"
  [[ $(ns_of "$pid" net) == "$(ns_of self net)" ]] || die "wineserver $pid runs in another network namespace"
  [[ $(ns_of "$pid" mnt) == "$(ns_of self mnt)" ]] || die "wineserver $pid runs in another mount namespace"
}
start_wineserver

# ------------------------------------------------------------------ command
export TQ_WINE_RUN=1
set +e
setpriv --pdeathsig TERM timeout --kill-after=10 "$TIMEOUT" "$@"
RC=$?
set -e
if ((RC == 124)); then
  note "command timed out after $TIMEOUT s: $*"
elif ((RC == 77)); then
  note "command ended with 77, which would read as a skip; failing instead"
  RC=1
fi

if [[ -n $SHOT ]]; then
  mkdir -p "$(dirname "$SHOT")"
  CONVERT=$(find_tool /usr/bin/convert convert) || die "convert not found (install imagemagick)"
  if ! timeout 60 xwd -root -silent -display "$DISPLAY" | timeout 60 "$CONVERT" xwd:- "png:$SHOT" || [[ ! -s $SHOT ]]; then
    note "screenshot to $SHOT failed"
    ((RC != 0)) || RC=1
  fi
fi

exit $RC
