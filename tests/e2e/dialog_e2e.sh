#!/usr/bin/env bash
# The development program started from the command line on the Wine session's
# display, as a user starts it: its dialog maps as an X window, a key typed on
# the X keyboard closes it, and the program keeps running in the tray. What the
# windows do inside is checked by the E2e* cases of windows_tests.exe.
# Usage: dialog_e2e.sh BUILD_DIR
set -u
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
build=$(cd "${1:?usage: dialog_e2e.sh BUILD_DIR}" && pwd)
export SNAPWARD_WINE_HOME=${SNAPWARD_WINE_HOME:-$build/wine}
own_session=
if [ ! -f "$SNAPWARD_WINE_HOME/session/display" ]; then
  "$scripts/wine-session.sh" start "$SNAPWARD_WINE_HOME" >/dev/null || exit 1
  own_session=1
fi
export DISPLAY=${DISPLAY:-$(cat "$SNAPWARD_WINE_HOME/session/display")}
rc=0
fail() { echo "dialog_e2e: $*" >&2; rc=1; }
dialog_shown() { xdotool search --onlyvisible --name '^Snapward$' 2>/dev/null | head -1; }
# Polls `$1` (a shell condition) for up to 60 seconds.
eventually() { for _ in $(seq 600); do eval "$1" && return 0; sleep 0.1; done; return 1; }

"$scripts/wine-run.sh" "$build/Snapward-testcam.exe" &
program=$!
if ! eventually '[ -n "$(dialog_shown)" ]'; then
  fail "no Snapward dialog on $DISPLAY"
else
  xdotool windowfocus --sync "$(dialog_shown)" key Escape
  eventually '[ -z "$(dialog_shown)" ]' || fail "Escape typed on the X keyboard did not close the dialog"
  kill -0 "$program" 2>/dev/null || fail "the program ended with its dialog"
fi
"$scripts/wine-run.sh" taskkill /f /im Snapward-testcam.exe >/dev/null 2>&1
eventually '! kill -0 $program 2>/dev/null' || fail "the program could not be ended"
[ -n "$own_session" ] && "$scripts/wine-session.sh" stop "$SNAPWARD_WINE_HOME" >/dev/null
exit $rc
