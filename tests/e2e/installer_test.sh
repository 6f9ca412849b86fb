#!/usr/bin/env bash
# SnapwardSetup.exe in a scratch 64-bit Wine prefix: install, then uninstall
# while the program runs.
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
wait_for() {  # wait_for seconds command...
  local limit=$1; shift
  for _ in $(seq $((limit * 5))); do "$@" && return 0; sleep 0.2; done
  return 1
}
running() { xdotool search --name '^Snapward$' >/dev/null 2>&1; }
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
      none) check "$when: no ${path#"$drive"/}" [ ! -e "$path" ] ;;
      any) check "$when: ${path#"$drive"/}" [ -e "$path" ] ;;
      *) check "$when: ${path#"$drive"/} is ${want##*/build}" cmp -s "$path" "$want" ;;
    esac
  done
}
RUN_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'

# A fresh 64-bit prefix with its own session (and its own display unless one
# was set). The installer is a 32-bit program: its files go to Program Files
# (x86), its HKLM keys to the 32-bit view.
export SNAPWARD_WINEARCH=win64 SNAPWARD_WINE_HOME=$build/wine-installer64
rm -rf "$SNAPWARD_WINE_HOME"
"$root/scripts/wine-session.sh" start "$SNAPWARD_WINE_HOME" >/dev/null || exit 1
trap '"$root/scripts/wine-session.sh" stop "$SNAPWARD_WINE_HOME" >/dev/null' EXIT
export DISPLAY=$(cat "$SNAPWARD_WINE_HOME/session/display")
drive=$SNAPWARD_WINE_HOME/prefix/drive_c
windir=$drive/windows
shortcut=$(printf '%s' "$drive/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Snapward.lnk")
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

echo "$failures failed"
[ "$failures" -eq 0 ]
