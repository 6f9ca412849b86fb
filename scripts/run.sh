#!/usr/bin/env bash
# Builds Snapward-testcam.exe (the program with built-in test-pattern cameras,
# so that it works without a webcam) and runs it: under Wine on Linux, on a
# virtual display when no display is set. It runs until you pick Exit in its
# tray menu or press Ctrl-C here; either way no Wine or Xvfb process is left.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

case "$(uname -s)" in
  MINGW* | MSYS* | CYGWIN*)
    # On Windows the program runs as it is.
    cmake -S . -B build/windows-local -DSNAPWARD_TESTS=OFF >/dev/null
    cmake --build build/windows-local --config Release --target Snapward-testcam
    exe=$(find build/windows-local -name Snapward-testcam.exe | head -n 1)
    echo "Starting $exe: look for its icon in the notification area."
    exec "$exe"
    ;;
esac

if [ "$(id -u)" -eq 0 ]; then bash scripts/setup.sh; fi

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target Snapward-testcam
exe=$root/build/windows/Snapward-testcam.exe

. scripts/wine-common.sh
wine_env "$root/build/windows/wine"  # the prefix wine-run.sh picks for this build tree

xvfb_pid=
program=
cleanup() {
  trap - INT TERM EXIT
  if [ -n "$program" ] && kill -0 "$program" 2>/dev/null; then
    # Ends every Wine process of this prefix, the program included; the
    # runner then finishes its own clean-up.
    wineserver -k 2>/dev/null || true
    wait "$program" 2>/dev/null || true
  fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
trap 'echo; echo "Stopping Snapward."; exit 130' INT TERM

if [ -z "${DISPLAY:-}" ]; then
  # In a session of its own: the terminal's Ctrl-C would end it before Wine.
  read -r display xvfb_pid < <(setsid bash -c '. "$0"; start_xvfb' scripts/wine-common.sh)
  export DISPLAY=$display
  cat <<EOF
No display is set, so Snapward runs on a virtual display ($DISPLAY) that you cannot
see. It is running all the same: its capture dialog opened at start, and the
capture key (F10) works while a window on that display has the focus.
To look at it:   DISPLAY=$DISPLAY import -window root snapward.png
To stop it:      press Ctrl-C here.
EOF
else
  cat <<EOF
Snapward is starting on $DISPLAY: the capture dialog opens first, then the program
keeps running in the tray. Under Wine the capture key (F10) reaches it while a
Wine window has the focus. Stop it with Exit in the tray menu or Ctrl-C here.
EOF
fi

# In the background, so that Ctrl-C reaches the trap above at once rather than
# after the program has ended; in a session of its own, so that Ctrl-C reaches
# only this script, which then ends the program and the display in order.
setsid scripts/wine-run.sh "$exe" &
program=$!
status=0
wait "$program" || status=$?
program=
exit "$status"
