# Simulated units for the GUI tests, sourced after gui_lib.sh inside
# wine-run.sh. Each unit is one tq35b_sim process; the test stops them all
# when it ends, and each writes its dump (what reached its memory, the frames
# it received) when it stops.
#
#   SIM           tq35b_sim of the native build
#   SIM_DIR       folder for the units' output and dumps (made here)

SIM_DIR=${SIM_DIR:-$(mktemp -d /tmp/tq-gui-sim.XXXXXX)}
declare -A SIM_PIDS=()

# sim_start NAME OPTIONS...: starts a unit that dumps to $SIM_DIR/NAME.json
# and waits for its ready line.
sim_start() {
  local name=$1 i
  shift
  [[ -n ${SIM:-} && -x $SIM ]] || gui_fail "no simulated unit program (SIM=${SIM:-})"
  "$SIM" --dump "$SIM_DIR/$name.json" "$@" >"$SIM_DIR/$name.out" 2>&1 &
  SIM_PIDS[$name]=$!
  for ((i = 0; i < 100; i++)); do
    grep -q '^ready' "$SIM_DIR/$name.out" 2>/dev/null && return 0
    kill -0 "${SIM_PIDS[$name]}" 2>/dev/null || break
    sleep 0.05
  done
  cat "$SIM_DIR/$name.out" >&2
  gui_fail "unit $name did not start"
}

# sim_stop NAME: stops the unit; its final dump is then in place.
sim_stop() {
  local pid=${SIM_PIDS[$1]:-}
  [[ -n $pid ]] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  unset "SIM_PIDS[$1]"
}

sim_stop_all() {
  local name
  for name in "${!SIM_PIDS[@]}"; do sim_stop "$name"; done
}

# sim_dump NAME EXPR: a value of the unit's dump, EXPR in Python over the
# parsed JSON "d", e.g. 'd["frames"]["received"]'.
sim_dump() {
  python3 - "$SIM_DIR/$1.json" "$2" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
print(eval(sys.argv[2], {"d": d}))
PY
}

# sim_command_count NAME CODE...: frames of these command codes the unit
# received (plain and numbered codes are given separately).
sim_command_count() {
  local name=$1
  shift
  python3 - "$SIM_DIR/$name.json" "$@" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
print(sum(d["commands"].get(code, {}).get("received", 0) for code in sys.argv[2:]))
PY
}

# sim_expect NAME EXPR WANT: the dump's value must be WANT.
sim_expect() {
  local got
  got=$(sim_dump "$1" "$2") || gui_fail "cannot read the dump of unit $1"
  [[ $got == "$3" ]] || gui_fail "unit $1: $2 is $got, not $3"
}

# sim_verify NAME [program|flash]: what reached the unit's memory equals the
# package (or one of its two images).
sim_verify() {
  local out only=()
  [[ -z ${2:-} ]] || only=(--only "$2")
  out=$("$SIM" --verify-dump "$SIM_DIR/$1.json" "${only[@]}" 2>&1) || gui_fail "unit $1: $out"
  [[ $out == *"memory equals package" ]] || gui_fail "unit $1: $out"
}

# window_shot FILE [TITLE]: a picture of the main window, or of the
# program's window of that title. A dialog is taken from its own X window:
# on Wine's virtual desktop a modal dialog's pixels do not show in a picture
# of the whole screen, which has it black there.
window_shot() {
  local left top right bottom id
  if [[ -n ${2:-} ]]; then
    id=$(xwininfo -root -tree -display "$DISPLAY" | awk -v t="\"$2\":" 'index($0, t) {print $1; exit}')
    [[ -n $id ]] || gui_fail "no X window titled \"$2\""
    xwd -id "$id" -silent -display "$DISPLAY" | convert xwd:- "png:$1" || gui_fail "cannot take the picture $1"
    return 0
  fi
  read -r left top right bottom < <("$WINE" "$TQ_DRIVER" rect window | tr -d '\r') ||
    gui_fail "cannot read the window's position"
  xwd -root -silent -display "$DISPLAY" |
    convert xwd:- -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "png:$1" ||
    gui_fail "cannot take the picture $1"
}
