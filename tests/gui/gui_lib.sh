# Shared by the GUI test scripts. A test script runs twice: first outside
# Wine, where gui_enter starts it again under tools/wine-run.sh with the
# options it wants; then inside, where it starts the program and drives it.
#
# Environment (set by tests/gui/CMakeLists.txt):
#   TQ_WINE_RUN_SH    tools/wine-run.sh
#   TQ_WINE_TEMPLATE  template prefix shared by the tests (made on first use)
#   TQ_DRIVER         tq_driver.exe of the Windows build
#   TQ_SOURCE_DIR     the source tree
#   TQ_OUTPUT_DIR     where tests leave screenshots

GUI_TEST=$(basename "${BASH_SOURCE[1]:-$0}" .sh)

gui_say() { echo "$GUI_TEST: $*"; }

gui_fail() {
  echo "$GUI_TEST: FAILED: $*" >&2
  gui_failure_shot
  exit 1
}

# A picture of the screen at the moment of failure, for the log reader.
gui_failure_shot() {
  [[ ${TQ_WINE_RUN:-} == 1 && -n ${DISPLAY:-} && -n ${TQ_OUTPUT_DIR:-} ]] || return 0
  local shot=$TQ_OUTPUT_DIR/$GUI_TEST-failure.png
  if xwd -root -silent -display "$DISPLAY" 2>/dev/null | convert xwd:- "png:$shot" 2>/dev/null; then
    echo "$GUI_TEST: screen at the failure: $shot" >&2
  fi
}

gui_require_file() { [[ -f $1 ]] || gui_fail "missing $1"; }

# gui_enter [wine-run options...] -- "$@": outside Wine, runs this script
# again inside wine-run.sh and ends with its exit code; inside, returns.
gui_enter() {
  [[ ${TQ_WINE_RUN:-} == 1 ]] && return 0
  local opts=()
  while (($#)) && [[ $1 != -- ]]; do opts+=("$1"); shift; done
  (($#)) && shift
  [[ -n ${TQ_WINE_RUN_SH:-} && -n ${TQ_DRIVER:-} ]] || gui_fail "run me through ctest (TQ_WINE_RUN_SH, TQ_DRIVER unset)"
  gui_require_file "$TQ_DRIVER"
  local template=()
  [[ -n ${TQ_WINE_TEMPLATE:-} ]] && template=(--keep-prefix "$TQ_WINE_TEMPLATE")
  local script
  script=$(readlink -f "${BASH_SOURCE[1]}")
  exec "$TQ_WINE_RUN_SH" "${template[@]}" "${opts[@]}" -- bash "$script" "$@"
}

# start_app EXE [ARGS...]: the program under test, in the background.
start_app() {
  gui_require_file "$1"
  "$WINE" "$@" &
  APP_PID=$!
}

# drive: runs the driver script given on standard input; stops the test at
# the first step that does not hold.
drive() {
  "$WINE" "$TQ_DRIVER" script - || gui_fail "driver script failed (see above)"
}

# app_wait [SECONDS]: waits for the program started by start_app and sets
# APP_RC to its exit code. (Not for $(...): only this shell can wait for it.)
app_wait() {
  local limit=${1:-30} i
  for ((i = 0; i < limit * 10; i++)); do
    kill -0 "$APP_PID" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$APP_PID" 2>/dev/null; then
    gui_fail "the program is still running after $limit s"
  fi
  APP_RC=0
  wait "$APP_PID" || APP_RC=$?
}

# properties_value FILE KEY: the value of KEY in a properties text as the
# program stores it (first definition wins, tabs and spaces trimmed, "\n"
# escapes turned into newlines), written in the driver's escaped form.
properties_value() {
  python3 - "$1" "$2" <<'PY'
import re, sys
data = open(sys.argv[1], "rb").read().decode("latin-1")
found = None
lines = re.split(r"[\r\n]+", data)
if lines and not data.endswith(("\r", "\n")):
    lines.pop()  # a last line without its line end is not read
for line in lines:
    if not line:
        continue
    key, _, value = line.partition("=")
    value = value.replace("\\n", "\n").strip(" \t")
    if key.strip(" \t") == sys.argv[2]:
        found = value
        break
if found is None:
    sys.exit(f"no key {sys.argv[2]} in {sys.argv[1]}")
out = []
for c in found:
    out.append({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"}.get(c, c))
print("".join(out))
PY
}
