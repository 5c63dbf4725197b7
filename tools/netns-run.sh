#!/usr/bin/env bash
# Runs a command inside a private network namespace whose only interface is
# its own loopback, so that discovery broadcasts and every simulated unit
# stay inside it:
#
#   netns-run.sh [--addr A/N]... [--local-route NET/N]... -- COMMAND [ARGS...]
#
# --addr adds an address to lo (an interface the program under test sees);
# --local-route makes a whole network local on lo without adding it to the
# interface table, so that a simulated unit can answer from, say, a
# link-local address the computer has no interface for.
#
# The namespace also has its own process tree: when COMMAND ends, anything
# it left running (simulated units, a wineserver) ends with it.
#
# Exit status: COMMAND's; 77 when no namespace can be made here (not root,
# or the tools are missing); 2 for bad arguments; 3 when the new namespace
# is not private, in which case COMMAND is never started.
set -euo pipefail

usage() {
  echo "usage: $0 [--addr A/N]... [--local-route NET/N]... -- COMMAND [ARGS...]" >&2
  exit 2
}

addrs=()
routes=()
inside=0
if [[ "${1:-}" == --inside ]]; then
  inside=1
  shift
fi
while [[ $# -gt 0 ]]; do
  case "$1" in
    --addr) [[ $# -ge 2 ]] || usage; addrs+=("$2"); shift 2 ;;
    --local-route) [[ $# -ge 2 ]] || usage; routes+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) usage ;;
  esac
done
[[ $# -gt 0 ]] || usage

refuse() {
  echo "netns-run: REFUSING to run '$*': $reason" >&2
  exit 3
}

if [[ $inside == 1 ]]; then
  # Private means: not the namespace we were started from, no interface but
  # lo is up, and no address lives anywhere but on lo. Checked before
  # anything is changed, so that a mistaken call never touches the
  # machine's own interfaces.
  reason=""
  [[ -n "${TQ_OUTER_NETNS:-}" ]] || reason="the outer namespace is unknown"
  [[ -z "$reason" && "$(readlink /proc/self/ns/net)" == "$TQ_OUTER_NETNS" ]] &&
    reason="still in the outer network namespace"
  if [[ -z "$reason" ]]; then
    others_up=$(ip -o link show up | awk -F': ' '{sub(/@.*/, "", $2); print $2}' | grep -vx lo || true)
    [[ -z "$others_up" ]] || reason="interfaces other than lo are up: $others_up"
  fi
  if [[ -z "$reason" ]]; then
    foreign=$(ip -o addr show | awk '{print $2}' | grep -vx lo || true)
    [[ -z "$foreign" ]] || reason="addresses outside lo on: $foreign"
  fi
  [[ -z "$reason" ]] || refuse "$@"

  ip link set lo up
  for a in "${addrs[@]+"${addrs[@]}"}"; do ip addr add "$a" dev lo; done
  for r in "${routes[@]+"${routes[@]}"}"; do ip route add local "$r" dev lo; done

  # Not exec: this shell is the namespace's first process, and when it ends
  # the kernel ends everything else in the namespace.
  status=0
  "$@" || status=$?
  exit "$status"
fi

for tool in unshare ip readlink; do
  command -v "$tool" >/dev/null || { echo "netns-run: skipped: $tool is not installed" >&2; exit 77; }
done
[[ $(id -u) == 0 ]] || { echo "netns-run: skipped: network namespaces need root" >&2; exit 77; }
TQ_OUTER_NETNS=$(readlink /proc/self/ns/net)
export TQ_OUTER_NETNS
# Probe first, so that a machine without namespaces gives "skipped" rather
# than a failure that looks like the command's.
unshare -n -p -f --mount-proc true 2>/dev/null || {
  echo "netns-run: skipped: cannot create a private network namespace" >&2
  exit 77
}
args=()
for a in "${addrs[@]+"${addrs[@]}"}"; do args+=(--addr "$a"); done
for r in "${routes[@]+"${routes[@]}"}"; do args+=(--local-route "$r"); done
exec unshare -n -p -f --mount-proc --kill-child "$0" --inside "${args[@]+"${args[@]}"}" -- "$@"
