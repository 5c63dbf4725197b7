#!/usr/bin/env bash
# test_no_images.sh APP_NOIMAGES_EXE: a package without either image shows the
# package's "no image" error in a box with no window behind it, and the
# program ends with exit code 1 without ever making its main window.
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/gui_lib.sh"

APP=$(readlink -f "$1")
if [[ ${TQ_WINE_RUN:-} != 1 ]]; then
  gui_require_file "$APP"
  gui_enter --netns --hide-serial -- "$@"
fi

PROPERTIES=$TQ_SOURCE_DIR/resources/package/updater.properties
gui_require_file "$PROPERTIES"
MESSAGE=$(properties_value "$PROPERTIES" error-message.NoHexFile) || gui_fail "no error-message.NoHexFile"
[[ -n $MESSAGE ]] || gui_fail "error-message.NoHexFile is empty"

start_app "$APP"
drive <<END_OF_STEPS
wait-box 60000
expect Error
box-text
expect $MESSAGE
box-buttons
expect ok
box-icon
expect error
# The box is all there is: no main window, not while the box is up either.
windows
expect #32770
absent FWUPDATER 2000
answer-box ok
wait-exit -- 30000
expect 1
absent FWUPDATER
END_OF_STEPS
app_wait 30
[[ $APP_RC == 1 ]] || gui_fail "the program ended with $APP_RC, not 1"
gui_say "all checks passed"
