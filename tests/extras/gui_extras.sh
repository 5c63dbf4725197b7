#!/usr/bin/env bash
# gui_extras.sh APP_EXE SEND_ALT_KEYS_EXE SIM: the presentation
# extras in the running program, driven from outside like a user would:
#
#   - the splash screen shows the picture during start-up and is gone once
#     the main window is up;
#   - Version Information shows the rows of this build's package (1, 4, 5
#     and 6) and only "Build Version" opens the release notes; OK and
#     Escape close both dialogs;
#   - the About box opens from Help > About and from Alt+? and Alt+/;
#   - the tray icon stands still while idle and animates while the Discover
#     dialog is open and while an exit from bootload mode and an update run
#     against the simulated unit (its NIM_MODIFY calls, seen through Wine's
#     own trace of Shell_NotifyIconW, since a virtual desktop draws no tray).
#
# Pictures of the splash, both dialogs and the About box go to the test
# output folder (splash.png, version-information.png, notes.png, about.png;
# docs/screenshots holds copies). A dialog is taken from its own X window:
# on Wine's virtual desktop a modal dialog's pixels do not show in a
# picture of the whole screen, which has it black.
set -euo pipefail
source "${TQ_SOURCE_DIR:?run me through ctest}/tests/gui/gui_lib.sh"

APP=$(readlink -f "$1")
KEYS=$(readlink -f "$2")
SIM=$(readlink -f "$3")
SHOTS=$(readlink -m "${TQ_OUTPUT_DIR:-.}")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  for f in "$APP" "$KEYS" "$SIM"; do gui_require_file "$f"; done
  # The simulated unit listens on an address of the private namespace only.
  gui_enter --netns --addr 10.77.0.1/24 -- "$APP" "$KEYS" "$SIM"
fi

WORK=$(mktemp -d /tmp/tq-gui-extras.XXXXXX)
SIM_PID=""
trap '[[ -z $SIM_PID ]] || kill "$SIM_PID" 2>/dev/null; rm -rf "$WORK"' EXIT
mkdir -p "$SHOTS"
TRACE=$WORK/systray.log

# A picture of the whole screen. While the program starts, the X server
# can refuse the read of the screen ("BadMatch" from GetImage) when the
# screen changes under it; a few more tries, then a clear failure.
shot() { # FILE
  local try
  for try in 1 2 3 4 5; do
    xwd -root -silent -display "$DISPLAY" | convert xwd:- "png:$1" && return 0
    sleep 0.2
  done
  gui_fail "no picture of the screen after $try tries"
}

# A picture of the program's window of that title, from its own X window;
# it must show something (several colours, neither black nor blank).
window_shot() { # TITLE FILE
  local id colours
  id=$(xwininfo -root -tree -display "$DISPLAY" | awk -v t="\"$1\":" '$2 == t || index($0, t) {print $1; exit}')
  [[ -n $id ]] || gui_fail "no X window for \"$1\""
  xwd -id "$id" -silent -display "$DISPLAY" | convert xwd:- "png:$2"
  read -r colours mean < <(identify -format '%k %[fx:mean]\n' "$2")
  ((colours >= 6)) || gui_fail "the picture of \"$1\" has only $colours colours"
  awk -v m="$mean" 'BEGIN { exit !(m > 0.3 && m < 0.99) }' || gui_fail "the picture of \"$1\" is black or blank ($mean)"
  gui_say "picture $2 ($(identify -format '%wx%h' "$2"), $colours colours)"
}

# How many pixels of the picture have exactly the colour R G B.
pixels_of() { # FILE R G B
  convert "$1" -depth 8 rgb:- | python3 -c '
import sys
data = sys.stdin.buffer.read()
colour = bytes(int(v) for v in sys.argv[1:4])
print(sum(1 for i in range(0, len(data), 3) if data[i:i + 3] == colour))' "$2" "$3" "$4"
}

# NIM_MODIFY calls so far: the animation steps of the tray thread.
modifies() { grep -c 'Shell_NotifyIconW dwMessage = 1,' "$TRACE" || true; }

# wait_steps FROM N WHAT: waits until the tray thread has made N animation
# steps since the count FROM. Called while the operation certainly runs, so
# that the check does not depend on how long the operation takes.
wait_steps() {
  local i now
  for ((i = 0; i < 600; i++)); do
    now=$(modifies)
    ((now - $1 >= $2)) && return 0
    sleep 0.1
  done
  gui_fail "the tray icon did not animate $3 ($((now - $1)) steps in a minute)"
}


# Wine's own theme greys the hot-light colour of links; the pictures show
# the system's usual blue.
"$WINE" reg add 'HKCU\Control Panel\Colors' /v HotTrackingColor /d '0 102 204' /f >/dev/null 2>&1

# ------------------------------------------------------------ splash
"$WINE" "$TQ_DRIVER" sleep 0 >/dev/null  # the desktop and the server are up
# One driver follows the splash from its appearance to its end while the
# screen is taken.
printf '%s\n' 'wait-window #32770 60000' 'wait-gone 60000' 'wait-window FWUPDATER 5000' \
  'expect TQ35B Firmware Updater' >"$WORK/splash.script"
"$WINE" "$TQ_DRIVER" script "$WORK/splash.script" >"$WORK/splash.log" 2>&1 &
WATCHER=$!
sleep 1
WINEDEBUG=+timestamp,+systray "$WINE" "$APP" 2>"$TRACE" &
APP_PID=$!
for _ in $(seq 600); do
  grep -q 'wait-window #32770 60000 ->' "$WORK/splash.log" && break
  kill -0 "$WATCHER" 2>/dev/null || break
  sleep 0.1
done
grep -q 'wait-window #32770 60000 ->' "$WORK/splash.log" || gui_fail "no splash window during start-up: $(cat "$WORK/splash.log")"
shot "$WORK/splash-screen.png"
wait "$WATCHER" || gui_fail "the splash did not give way to the main window: $(cat "$WORK/splash.log")"
# The picture's own dark blue covers a good part of the screen's middle.
navy=$(pixels_of "$WORK/splash-screen.png" 14 42 71)
((navy > 20000)) || gui_fail "the splash picture is not on the screen ($navy pixels of its colour)"
convert "$WORK/splash-screen.png" -fuzz 2% -trim +repage "$SHOTS/splash.png"
drive <<'EOF'
wait-window FWUPDATER 5000
absent #32770 300
EOF

# ------------------------------------------------------------ tray, idle
sleep 1
idle=$(modifies)
sleep 2
[[ $(modifies) == "$idle" ]] || gui_fail "the tray icon changed while nothing ran"
((idle >= 1)) || gui_fail "the tray thread never showed its first frame"

# ------------------------------------------------------------ Version Information
notes=$(python3 -c '
import sys
text = open(sys.argv[1], "rb").read().decode("latin-1")
print(text.replace("\\", "\\\\").replace("\t", "\\t").replace("\r", "\\r").replace("\n", "\\n"))' \
  "$TQ_SOURCE_DIR/resources/package/build_notes.txt")
props=$TQ_SOURCE_DIR/resources/package/unit.properties
drive <<EOF
wait-window FWUPDATER 5000
click 1023
wait-window #32770 5000 Version Information
# Rows 1, 4, 5 and 6 of this build's package; 2 and 3 stay hidden.
visible 1031
expect 1
visible 1033
expect 1
visible 1034
expect 0
visible 1046
expect 0
visible 1036
expect 0
visible 1048
expect 0
visible 1038
expect 1
visible 1050
expect 1
visible 1040
expect 1
visible 1052
expect 1
visible 1044
expect 1
visible 1054
expect 1
text 1031
expect Build Version:
text 1033
expect $(properties_value "$props" build-version)
text 1038
expect Server Firmware Version:
text 1050
expect $(properties_value "$props" server-fw-version)
text 1040
expect Server Hardware Version:
text 1052
expect $(properties_value "$props" server-hw-version)
text 1044
expect Server UI Version:
text 1054
expect $(properties_value "$props" server-ui-version)
# Rows without notes and the values open nothing.
command 1038 0
command 1040 0
command 1044 0
command 1033 0
sleep 500
windows
expect #32770 FWUPDATER
EOF
window_shot "Version Information" "$SHOTS/version-information.png"

drive <<EOF
wait-window #32770 5000 Version Information
command 1031 0
wait-window #32770 5000 Notes
visible 1021
expect 1
text 1021
expect $notes
EOF
window_shot "Notes" "$SHOTS/notes.png"

drive <<'EOF'
# Escape closes the notes, OK the second time; Escape and OK the versions.
wait-window #32770 5000 Notes
post 256 27 0
wait-gone 5000
wait-window #32770 5000 Version Information
command 1031 0
wait-window #32770 5000 Notes
click 1
wait-gone 5000
wait-window #32770 5000 Version Information
post 256 27 0
wait-gone 5000
wait-window FWUPDATER 5000
click 1023
wait-window #32770 5000 Version Information
click 1
wait-gone 5000
windows
expect FWUPDATER
EOF

# ------------------------------------------------------------ About
drive <<'EOF'
wait-window FWUPDATER 5000
command 104
wait-window #32770 5000 About Firmware Updater
text 1016
expect Varno Firmware Updater
EOF
window_shot "About Firmware Updater" "$SHOTS/about.png"
drive <<'EOF'
wait-window #32770 5000 About Firmware Updater
click 1
wait-gone 5000
EOF
for key in '?' '/'; do
  "$WINE" "$KEYS" "$key" FWUPDATER || gui_fail "cannot type Alt+$key"
  drive <<'EOF'
wait-window #32770 5000 About Firmware Updater
post 256 27 0
wait-gone 5000
EOF
  gui_say "Alt+$key opened the About box"
done

# ------------------------------------------------------------ tray while Discover is open
before=$(modifies)
drive <<'EOF'
wait-window FWUPDATER 5000
click 1001
wait-window #32770 5000 Discover
EOF
wait_steps "$before" 3 "while Discover was open"
drive <<'EOF'
wait-window #32770 5000 Discover
click 2
wait-gone 5000
EOF
sleep 1
after=$(modifies)
sleep 2
[[ $(modifies) == "$after" ]] || gui_fail "the tray icon went on animating after Discover closed"
gui_say "tray: animation steps while Discover was open, still afterwards"

# ------------------------------------------------------------ tray during exit and update
start_sim() { # [SIM OPTIONS...]
  "$SIM" --bind 10.77.0.1 --udp-port 6234 --no-pty "$@" >"$WORK/sim.out" 2>"$WORK/sim.err" &
  SIM_PID=$!
  for _ in $(seq 100); do grep -q '^ready' "$WORK/sim.out" && break; sleep 0.1; done
  grep -q '^ready' "$WORK/sim.out" || gui_fail "the simulated unit did not start: $(cat "$WORK/sim.err")"
}
stop_sim() { kill "$SIM_PID"; wait "$SIM_PID" 2>/dev/null || true; SIM_PID=""; }

# Leaving bootload mode takes two exchanges; the window stops the animation
# as soon as the worker reports. This unit answers each frame 1.5 s late (its
# late answer to a query's first try is still taken), so the exit surely
# lasts while the steps are counted.
start_sim --delay-out 1:1500
drive <<'EOF'
wait-window FWUPDATER 5000
set-ip 1000 10.77.0.1
enabled 1004
expect-within 30000 1
enabled 1039
expect-within 30000 1
EOF
before=$(modifies)
drive <<'EOF'
click 1039
EOF
wait_steps "$before" 2 "while leaving bootload mode"
drive <<'EOF'
wait-box 30000
expect Success
box-text
expect Bootload mode exited.
answer-box ok
EOF
gui_say "tray: animation steps while leaving bootload mode"

# The unit is in its application now; a fresh one in bootload mode for the
# update, answering each frame 2 ms late: the update then lasts at least 13 s
# however fast the machine.
stop_sim
start_sim --delay-out 1:2
drive <<'EOF'
wait-window FWUPDATER 5000
set-ip 1000 10.77.0.2
set-ip 1000 10.77.0.1
enabled 1004
expect-within 20000 1
click 1004
wait-box 10000
expect Warning
EOF
before=$(modifies)
drive <<'EOF'
answer-box ok
text 1011
expect-within 20000 Progress: Server Application
EOF
wait_steps "$before" 4 "during the update"
drive <<'EOF'
wait-box 600000
expect Success
answer-box ok
EOF
sleep 1
after=$(modifies)
sleep 2
[[ $(modifies) == "$after" ]] || gui_fail "the tray icon went on animating after the update"
gui_say "tray: animation steps during the update, still afterwards"

# ------------------------------------------------------------ shutdown
drive <<'EOF'
wait-window FWUPDATER 5000
close
wait-box 5000
answer-box yes
EOF
app_wait 30
[[ $APP_RC == 0 ]] || gui_fail "the program ended with $APP_RC"
grep -q 'Shell_NotifyIconW dwMessage = 2,' "$TRACE" || gui_fail "the tray icon was not removed at shutdown"
gui_say "passed"
