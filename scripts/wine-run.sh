#!/usr/bin/env bash
# Runs one Windows program under Wine: a project-local prefix, no debug noise, a
# virtual display when none is set. Inside a test session (wine-session.sh) it
# joins the session's display and persistent wineserver; on its own it starts
# what it needs and stops it again, leaving no process behind.
# Usage: wine-run.sh program.exe [args...]
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/wine-common.sh"

if [ $# -lt 1 ]; then echo "usage: wine-run.sh program.exe [args...]" >&2; exit 2; fi

# The Wine home lives in the build tree that holds the program.
home=${SNAPWARD_WINE_HOME:-}
if [ -z "$home" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  if [ -f "$dir/CMakeCache.txt" ]; then home="$dir/wine"; else home="$HOME/.cache/snapward-wine"; fi
fi
wine_env "$home"

session=$home/session
in_session=
if [ -f "$session/display" ] && kill -0 "$(cat "$session/xvfb.pid" 2>/dev/null || echo 0)" 2>/dev/null; then
  in_session=1
  [ -z "${DISPLAY:-}" ] && export DISPLAY=$(cat "$session/display")
elif [ -f "$session/display" ] && [ "$(cat "$session/xvfb.pid")" = none ]; then
  in_session=1
fi

xvfb_pid=
if [ -z "${DISPLAY:-}" ]; then
  read -r display xvfb_pid < <(start_xvfb) || exit 1
  export DISPLAY=$display
fi

ensure_prefix "$home" || { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; exit 1; }
wine "$@"
rc=$?

if [ -z "$in_session" ]; then
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
fi
[ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
exit $rc
