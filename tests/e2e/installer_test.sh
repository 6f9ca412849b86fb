#!/usr/bin/env bash
# SnapwardSetup.exe in scratch 64-bit and 32-bit Wine prefixes: install,
# upgrade while the program runs, uninstall.
# Usage: installer_test.sh BUILD_DIR
set -u
build=$(cd "${1:?build dir}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
setup=$build/SnapwardSetup.exe
ds32=$build/Orvendel.ds
ds64=$(sed -n 's/^SNAPWARD_WINDOWS64_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")/Orvendel.ds

failures=0
check() {  # check "what" command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
run() { "$root/scripts/wine-run.sh" "$@"; }
reg_has() { run reg query "$1" ${2:+/v "$2"} >/dev/null 2>&1; }
dialog_count() { xdotool search --name '^Snapward$' 2>/dev/null | wc -l; }
wait_for() {  # wait_for seconds command...
  local limit=$1; shift
  for _ in $(seq $((limit * 5))); do "$@" && return 0; sleep 0.2; done
  return 1
}
running() { [ "$(dialog_count)" -ge 1 ]; }
gone() { [ ! -e "$1" ]; }
# The tray program's own check, inside the prefix: the system's bitness, and
# every source it needs in place.
tray_check() {
  run "$build/windows_tests.exe" --gtest_also_run_disabled_tests \
    --gtest_filter='TwainInstallerSystem.Bitness*:TwainInstallerSystem.*AfterSetup*' >/dev/null 2>&1
}
# expect WHEN PATH=WANT...: WANT is the built file it must equal, "any" or "none".
expect() {
  local when=$1 pair path want; shift
  for pair in "$@"; do
    path=${pair%=*} want=${pair##*=}
    case $want in
      none) check "$when: no ${path#"$drive"/}" gone "$path" ;;
      any) check "$when: ${path#"$drive"/}" [ -e "$path" ] ;;
      *) check "$when: ${path#"$drive"/} is ${want##*/build}" cmp -s "$path" "$want" ;;
    esac
  done
}
RUN_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'

# A fresh prefix of architecture $1 with its own session (and its own display
# unless one was set); the paths below follow it.
display=${DISPLAY:-}
stop_session() { "$root/scripts/wine-session.sh" stop "$SNAPWARD_WINE_HOME" >/dev/null; }
use_prefix() {  # use_prefix win32|win64 HOME
  [ -n "${SNAPWARD_WINE_HOME:-}" ] && stop_session
  export SNAPWARD_WINEARCH=$1 SNAPWARD_WINE_HOME=$2
  if [ -n "$display" ]; then export DISPLAY=$display; else unset DISPLAY; fi
  rm -rf "$SNAPWARD_WINE_HOME"
  "$root/scripts/wine-session.sh" start "$SNAPWARD_WINE_HOME" >/dev/null || exit 1
  trap stop_session EXIT
  export DISPLAY=$(cat "$SNAPWARD_WINE_HOME/session/display")
  drive=$SNAPWARD_WINE_HOME/prefix/drive_c
  windir=$drive/windows
  shortcut=$(printf '%s' "$drive/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Snapward.lnk")
}

# 64-bit Windows. The installer is a 32-bit program: its files go to Program
# Files (x86), its HKLM keys to the 32-bit view.
use_prefix win64 "$build/wine-installer64"
appdir="$drive/Program Files (x86)/Snapward"
UNINSTALL_KEY='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\Snapward'

run "$setup" /S
check "install exits 0" [ $? -eq 0 ]
expect install "$appdir/Snapward.exe=any" "$appdir/Uninstall.exe=any" "$shortcut=any" \
  "$appdir/Orvendel.ds=$ds32" "$appdir/x64/Orvendel.ds=$ds64" \
  "$windir/twain_32/Orvendel.ds=$ds32" "$windir/twain_64/Orvendel.ds=$ds64"
check "Run entry" reg_has "$RUN_KEY" Snapward
check "Apps & features entry" reg_has "$UNINSTALL_KEY" DisplayName
check "publisher Quillmere" bash -c "'$root/scripts/wine-run.sh' reg query '$UNINSTALL_KEY' /v Publisher | grep -q Quillmere"
check "the tray sees 64-bit Windows with both sources in place" tray_check

# The installed program starts (its capture dialog shows at every start).
run "$appdir/Snapward.exe" &
check "installed program starts" wait_for 30 running

# Upgrade while it runs: the installer closes it, replaces the files and, in a
# silent run, starts it again.
run "$setup" /S
check "upgrade exits 0" [ $? -eq 0 ]
check "program running again after the upgrade" wait_for 30 running
check "exactly one instance after the upgrade" [ "$(dialog_count)" -eq 1 ]

# Uninstall. The uninstaller re-launches itself from a temporary copy, so wait
# for its work rather than for the first process: for the Apps & features
# entry, which it removes last.
run reg add 'HKCU\Software\Quillmere\Orvendel' /v Keybind /t REG_DWORD /d 121 /f >/dev/null
run "$appdir/Uninstall.exe" /S
check "uninstall stops the program" wait_for 30 eval '! running'
check "Apps & features entry removed" wait_for 30 eval '! reg_has "$UNINSTALL_KEY"'
expect uninstall "$appdir=none" "$windir/twain_32/Orvendel.ds=none" "$windir/twain_64/Orvendel.ds=none" "$shortcut=none"
check "Run entry removed" eval '! reg_has "$RUN_KEY" Snapward'
check "settings key kept" reg_has 'HKCU\Software\Quillmere\Orvendel' Keybind

# 32-bit Windows: no twain_64 copy, nor the 64-bit file beside the program.
use_prefix win32 "$build/wine-installer"
appdir="$drive/Program Files/Snapward"
run "$setup" /S
check "32-bit: install exits 0" [ $? -eq 0 ]
expect 32-bit "$windir/twain_32/Orvendel.ds=$ds32" "$windir/twain_64/Orvendel.ds=none" "$appdir/x64=none"
check "32-bit: the tray sees 32-bit Windows with its source in place" tray_check
run "$appdir/Uninstall.exe" /S
check "32-bit: twain_32 copy removed" wait_for 30 gone "$windir/twain_32/Orvendel.ds"

echo "$failures failed"
[ "$failures" -eq 0 ]
