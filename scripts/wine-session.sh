#!/usr/bin/env bash
# Starts or stops the Wine session that a test run shares: one Xvfb display
# (unless DISPLAY is set) and one persistent wineserver, so that each test
# executable does not pay for a cold Wine start.
# Usage: wine-session.sh start|stop WINE_HOME
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/wine-common.sh"
cmd=${1:?start or stop}
home=${2:?wine home}
wine_env "$home"
session=$home/session

stop() {
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  if [ -f "$session/xvfb.pid" ]; then
    pid=$(cat "$session/xvfb.pid")
    [ "$pid" != none ] && kill "$pid" 2>/dev/null
  fi
  rm -rf "$session"
}

case "$cmd" in
  start)
    stop
    mkdir -p "$session"
    if [ -n "${DISPLAY:-}" ]; then
      echo "$DISPLAY" >"$session/display"; echo none >"$session/xvfb.pid"
    else
      read -r display pid < <(start_xvfb) || exit 1
      echo "$display" >"$session/display"; echo "$pid" >"$session/xvfb.pid"
      export DISPLAY=$display
    fi
    ensure_prefix "$home" || { stop; exit 1; }
    # Persistent until the stop below kills it; its output must not hold
    # ctest's pipe open.
    wineserver -p </dev/null >/dev/null 2>&1
    # Start Wine's own services now, detached from every pipe: the first test
    # would otherwise start them with its output, and they would hold ctest's
    # pipe open for as long as the session lasts.
    wine cmd /c exit </dev/null >/dev/null 2>&1
    echo "wine session on $(cat "$session/display"), prefix $WINEPREFIX"
    ;;
  stop) stop; echo "wine session stopped" ;;
  *) echo "usage: wine-session.sh start|stop WINE_HOME" >&2; exit 2 ;;
esac
