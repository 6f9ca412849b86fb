# Shared by wine-run.sh and wine-session.sh (sourced, not run).
# $1: the Wine home, holding the prefix and the session files.

# The prefix's architecture: SNAPWARD_WINEARCH when set, else what the build
# tree holding the Wine home was configured for (64-bit programs need a win64
# prefix), else win32. A prefix keeps the architecture it was created with.
wine_arch() {
  local cache arch=${SNAPWARD_WINEARCH:-}
  cache=$(dirname "$1")/CMakeCache.txt
  if [ -z "$arch" ] && [ -f "$cache" ]; then
    arch=$(sed -n 's/^SNAPWARD_WINEARCH:[A-Z]*=//p' "$cache")
  fi
  echo "${arch:-win32}"
}

wine_env() {
  mkdir -p "$1"
  export WINEPREFIX="$(cd "$1" && pwd)/prefix"
  export WINEARCH=$(wine_arch "$1")
  export WINEDEBUG=-all
  # No Mono or Gecko install prompts: the program needs neither. Overrides a
  # caller set (a test that takes Media Foundation away) are kept.
  export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
}

# Starts Xvfb on a free display; prints "display pid".
start_xvfb() {
  local fifo out pid display
  out=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$out" </dev/null >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    display=$(cat "$out")
    [ -n "$display" ] && break
    sleep 0.1
  done
  rm -f "$out"
  if [ -z "$display" ]; then
    kill "$pid" 2>/dev/null
    echo "wine: could not start Xvfb" >&2
    return 1
  fi
  echo ":$display $pid"
}

# Creates the prefix once; several runners may race for it.
ensure_prefix() {
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "wine: creating the prefix in $WINEPREFIX (once)" >&2
      wineboot -i >/dev/null 2>&1
      wineserver -w
    fi
  ) 9>"$1/prefix.lock"
}
