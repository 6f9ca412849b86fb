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

# A prefix whose creation was cut short (a full disk, a killed wineboot) has
# its registry but not its system DLLs, and every program in it then fails
# with "could not load kernel32.dll": check the DLLs, not only the registry.
prefix_ready() {
  [ -f "$1/system.reg" ] && [ -f "$1/drive_c/windows/system32/kernel32.dll" ] &&
    { [ "$2" != win64 ] || [ -f "$1/drive_c/windows/syswow64/kernel32.dll" ]; }
}

# wineboot -i into $WINEPREFIX; says why when the prefix did not come out whole.
create_prefix() {
  local log=$WINEPREFIX.wineboot.log
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i >"$log" 2>&1
  wineserver -w
  if ! prefix_ready "$WINEPREFIX" "$WINEARCH"; then
    echo "wine: creating the $WINEARCH prefix $WINEPREFIX failed; wineboot said:" >&2
    tail -n 20 "$log" >&2
    df -h "$(dirname "$WINEPREFIX")" >&2
    return 1
  fi
  rm -f "$log"
}

# Every prefix of one architecture starts as the same fresh wineboot, so it is
# made once per build folder and copied: seconds instead of a wineboot each,
# and the system folders' DLLs (most of a prefix's 0.6 to 1.3 GB) hard-linked
# rather than copied. Nothing writes those but a Wine update of the prefix,
# which would write the same in every copy. Everything else is copied, as
# programs write some files (win.ini) in place.
clone_prefix() {
  local from=$1 to=$2 system="$2/drive_c/windows"
  rm -rf "$to"
  if ! cp -a -l "$from" "$to" 2>/dev/null; then
    rm -rf "$to"
    cp -a "$from" "$to"
    return
  fi
  # Every link but the system folders' executables and tables becomes a copy.
  find "$to" -type f ! \( \( -path "$system/system32/*" -o -path "$system/syswow64/*" \) \
    -iregex '.*\.\(dll\|exe\|drv\|sys\|ocx\|acm\|cpl\|tlb\|ax\|nls\|vxd\|com\|ds\|mui\|dll16\|exe16\|drv16\|mod16\|vxd16\)' \) \
    -exec sh -c 'for f; do cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f" || exit 1; done' sh {} +
}

# The folder that keeps one fresh prefix per architecture: the build folder
# holding the Wine home's build tree, else none (the prefix is made in place).
template_home() {
  local tree build
  tree=$(dirname "$1")
  [ -f "$tree/CMakeCache.txt" ] || return 1
  build=$(dirname "$tree")
  echo "$build/wine-templates/$WINEARCH"
}

# Creates the prefix once; several runners may race for it.
ensure_prefix() {
  (
    flock 9
    prefix_ready "$WINEPREFIX" "$WINEARCH" && exit 0
    echo "wine: creating the prefix in $WINEPREFIX (once)" >&2
    # A second try where the first came out without its DLLs, as a CI run
    # once found the 64-bit prefix.
    template=$(template_home "$1") || { create_prefix || create_prefix; exit; }
    mkdir -p "$template"
    (
      flock 8
      target=$WINEPREFIX
      export WINEPREFIX=$template/prefix
      if ! prefix_ready "$WINEPREFIX" "$WINEARCH"; then create_prefix || create_prefix || exit 1; fi
      clone_prefix "$WINEPREFIX" "$target" || { echo "wine: could not copy $WINEPREFIX to $target" >&2; exit 1; }
    ) 8>"$template.lock"
  ) 9>"$1/prefix.lock"
}
