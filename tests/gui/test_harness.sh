#!/usr/bin/env bash
# test_harness.sh FIXTURE_EXE: the GUI harness proves itself on the fixture
# program: what wine-run.sh promises (exit codes, time limit, screenshot,
# hidden serial devices, a pty as COM port, a private network namespace) and
# what the driver reads and does (texts, states, menus, boxes, exit codes).
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

FIXTURE=$(readlink -f "$1")

# ------------------------------------------------------------ outside Wine
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  gui_require_file "$FIXTURE"
  template=(--keep-prefix "$TQ_WINE_TEMPLATE")
  shot=$TQ_OUTPUT_DIR/$GUI_TEST-blank.png

  rc=0
  "$TQ_WINE_RUN_SH" "${template[@]}" --screenshot "$shot" -- sh -c 'exit 7' || rc=$?
  ((rc == 7)) || gui_fail "wine-run.sh gave exit code $rc for a command that ended with 7"
  size=$(identify -format '%wx%h' "$shot") || gui_fail "no screenshot written"
  [[ $size == 1024x768 ]] || gui_fail "screenshot is $size, not 1024x768"
  gui_say "exit code passed through; screenshot written"

  rc=0
  "$TQ_WINE_RUN_SH" "${template[@]}" --timeout 2 -- sleep 60 || rc=$?
  ((rc == 124)) || gui_fail "a command over its time limit gave $rc, not 124"
  gui_say "time limit holds"

  # Outside --netns the driver sends only to loopback.
  rc=0
  "$TQ_WINE_RUN_SH" "${template[@]}" -- sh -c '"$WINE" "$1" udp-send 10.99.0.1 30303 x' sh "$TQ_DRIVER" || rc=$?
  ((rc == 1)) || gui_fail "udp-send to a non-loopback address outside the namespace gave $rc, not 1"
  gui_say "driver refuses non-loopback sends outside the namespace"

  GUI_PTY_DIR=$(mktemp -d /tmp/tq-gui-pty.XXXXXX)
  export GUI_PTY_DIR
  gui_enter --netns --addr 10.77.0.1/24 --link-local --hide-serial --com "5=$GUI_PTY_DIR/ttyA" -- "$@"
fi

# ------------------------------------------------------------ inside Wine
RESPONDERS=()
cleanup_inside() {
  local pid
  for pid in "${RESPONDERS[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$GUI_PTY_DIR"
}
trap cleanup_inside EXIT

RESPONDER=$(dirname "$(readlink -f "$0")")/responder.py

# The namespaces are ours, and the server that makes Wine's sockets is in them.
[[ ${TQ_WINE_NETNS:-} == 1 && ${TQ_WINE_SERIAL_HIDDEN:-} == 1 ]] || gui_fail "namespace variables not set"
[[ $(readlink /proc/self/ns/net) != "$(readlink /proc/1/ns/net)" ]] || gui_fail "not in a private network namespace"
[[ -z $(compgen -G '/dev/ttyS*' || true) ]] || gui_fail "machine serial devices visible"
# (Read whole first: a grep -q that stops early would end ip with SIGPIPE,
# which pipefail counts as a failure.)
grep -q '10\.77\.0\.1/24' <<<"$(ip -o addr show dev lo)" || gui_fail "10.77.0.1/24 missing on lo"
grep -q '^local 169\.254\.0\.0/16 dev lo' <<<"$(ip route show table local)" || gui_fail "link-local route missing"
[[ $(readlink "$WINEPREFIX/dosdevices/com5") == "$GUI_PTY_DIR/ttyA" ]] || gui_fail "com5 link missing"
gui_say "namespaces and COM link in place"

# No port yet: the machine's own serial devices are hidden, and COM5's pty
# does not exist yet.
drive <<'EOF'
com-list
expect
EOF

python3 "$RESPONDER" pty "$GUI_PTY_DIR/ttyA" --for 120 & RESPONDERS+=($!)
# The UDP responder says when it has bound its port.
python3 "$RESPONDER" udp 30303 169.254.7.7 --for 120 >"$GUI_PTY_DIR/udp.out" & RESPONDERS+=($!)
for ((i = 0; i < 300; i++)); do
  [[ -e $GUI_PTY_DIR/ttyA ]] && grep -q '^udp port' "$GUI_PTY_DIR/udp.out" && break
  sleep 0.1
done

# Bytes go through the pty unchanged; datagrams reach the namespace's
# addresses (broadcast too), and a reply from a link-local source comes back.
drive <<'EOF'
com-list
expect COM5
com-send 5 ping\r\n
expect PING\r\n
udp-send 10.77.0.255 30303 hello
expect pong hello
udp-send 10.77.0.1 30303 unicast
expect pong unicast
udp-send 127.0.0.1 30303 loop
expect pong loop
EOF
gui_say "COM port through a pty and UDP inside the namespace work"

# ------------------------------------------------------------ the window
start_app "$FIXTURE"
drive <<'EOF'
wait-window TQGUIFIXTURE 30000
expect GUI Fixture
text 1002
expect Name:\t\tFIXTURE
checked 1007
expect 1
enabled 1004
expect 0
enabled 1001
expect 1
focused
expect 1000
menu-state 401
expect grayed
menu-state 402
expect enabled checked
menu-state 105
expect enabled
# The program's port list holds exactly the test's pty.
items 1057
expect COM5
select 1057 0
text 1011
expect-within 5000 port COM5
selected 1057
expect 0
# The address field is read through its four edit fields, and the program
# hears the change as the user's.
set-ip 1000 10.77.0.5
ip 1000
expect 10.77.0.5
text 1011
expect-within 5000 address 10.77.0.5 (4 fields)
set-ip 1000 192.168..1
ip 1000
expect 192.168..1
set-text 1020
chars 1020 12345
text 1020
expect-within 3000 12345
click 1007
text 1011
expect-within 3000 option off
checked 1007
expect 0
# A box owned by the window: modal, with its own buttons and icon.
click 1001
wait-box
expect Question
box-text
expect Proceed with\tthe test?
box-buttons
expect ok cancel
box-icon
expect warning
enabled window
expect 0
answer-box cancel
text 1011
expect-within 3000 answer cancel
enabled window
expect 1
# Closing asks; No keeps the window, Yes ends the program with code 0.
close
wait-box
expect Quit
box-text
expect Quit the fixture ?
box-buttons
expect yes no
box-icon
expect question
answer-box no
no-box 1000
text title
expect GUI Fixture
close
wait-box
answer-box yes
wait-gone 10000
wait-exit -- 15000
expect 0
EOF
app_wait 30
[[ $APP_RC == 0 ]] || gui_fail "fixture ended with $APP_RC, not 0"
gui_say "window texts, states, menu, boxes and exit code 0 read back"

# A driver step that does not hold fails the script, and one-shot commands
# print their bare result.
start_app "$FIXTURE"
drive <<'EOF'
wait-window TQGUIFIXTURE 30000
EOF
got=$("$WINE" "$TQ_DRIVER" --class TQGUIFIXTURE text 1002)
[[ $got == 'Name:\t\tFIXTURE' ]] || gui_fail "one-shot text gave '$got'"
rc=0
"$WINE" "$TQ_DRIVER" script - >/dev/null 2>&1 <<'EOF' || rc=$?
wait-window TQGUIFIXTURE 5000
text 1002
expect Name: FIXTURE
EOF
((rc == 1)) || gui_fail "a wrong expectation gave driver exit code $rc, not 1"
rc=0
"$WINE" "$TQ_DRIVER" --class TQGUIFIXTURE click 1004 >/dev/null 2>&1 || rc=$?
((rc == 1)) || gui_fail "clicking a disabled button gave $rc, not 1"
drive <<'EOF'
wait-window TQGUIFIXTURE 5000
command 105
wait-box
expect Quit
answer-box yes
wait-exit -- 15000
expect 0
EOF
app_wait 30
gui_say "failed steps are reported"

# ------------------------------------------------------------ the error start
start_app "$FIXTURE" fail
drive <<'EOF'
wait-box 30000
expect Error
box-text
expect Nothing to do.\nThe fixture ends.
box-buttons
expect ok
box-icon
expect error
absent TQGUIFIXTURE 1000
answer-box ok
wait-exit -- 15000
expect 1
absent TQGUIFIXTURE
EOF
app_wait 30
[[ $APP_RC == 1 ]] || gui_fail "fixture fail ended with $APP_RC, not 1"
gui_say "error box and exit code 1 read back"
gui_say "all checks passed"
