#!/usr/bin/env bash
# End to end through the capture dialog: runs the disabled DialogEndToEnd cases
# of windows_tests.exe, which start Snapward-testcam.exe and Snapward.exe and
# drive them, and takes the screenshots they ask for with ImageMagick's import
# on the Wine session's display. The pictures land in BUILD_DIR/e2e-screenshots.
# Usage: dialog_e2e.sh BUILD_DIR
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scripts=$(cd "$here/../../scripts" && pwd)
build=$(cd "${1:?usage: dialog_e2e.sh BUILD_DIR}" && pwd)
home=${SNAPWARD_WINE_HOME:-$build/wine}
export SNAPWARD_WINE_HOME=$home

# Join the test session when ctest runs one; else run one of our own.
own_session=
if [ ! -f "$home/session/display" ]; then
  "$scripts/wine-session.sh" start "$home" >/dev/null || exit 1
  own_session=1
fi
display=${DISPLAY:-$(cat "$home/session/display")}

shots=$build/e2e-screenshots
mkdir -p "$shots"
rm -f "$shots"/dialog-*.png
exchange=$(mktemp -d)
# Z: is the Unix root in every Wine prefix.
export SNAPWARD_SHOT_DIR="Z:${exchange//\//\\}"
export WINEDEBUG=-all

"$scripts/wine-run.sh" "$build/windows_tests.exe" --gtest_also_run_disabled_tests \
  --gtest_filter='DISABLED_DialogEndToEnd.*' &
driver=$!

shot_failed=0
take_requests() {
  local request name x y w h
  for request in "$exchange"/*.request; do
    [ -e "$request" ] || continue
    read -r name x y w h <"$request"
    if DISPLAY=$display import -window root -crop "${w}x${h}+${x}+${y}" +repage "$shots/$name.png"; then
      echo "screenshot: $shots/$name.png"
    else
      echo "screenshot $name failed" >&2
      shot_failed=1
    fi
    mv "$request" "${request%.request}.done"
  done
}
while kill -0 "$driver" 2>/dev/null; do
  take_requests
  sleep 0.1
done
wait "$driver"
rc=$?
take_requests
rm -rf "$exchange"

for name in dialog-live-preview dialog-key-changed dialog-no-preview; do
  if [ ! -s "$shots/$name.png" ]; then
    echo "missing screenshot $name" >&2
    shot_failed=1
  fi
done

[ -n "$own_session" ] && "$scripts/wine-session.sh" stop "$home" >/dev/null
[ "$rc" -eq 0 ] || exit "$rc"
exit "$shot_failed"
