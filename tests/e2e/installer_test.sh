#!/usr/bin/env bash
# SnapwardSetup.exe in a scratch Wine prefix: silent install, the installed
# program starts, an upgrade while it runs, silent uninstall leaves only the
# user's settings behind.
# Usage: installer_test.sh BUILD_DIR
set -u
build=$(cd "${1:?build dir}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
setup=$build/SnapwardSetup.exe
[ -f "$setup" ] || { echo "no $setup"; exit 1; }

export SNAPWARD_WINE_HOME=$build/wine-installer
rm -rf "$SNAPWARD_WINE_HOME"
"$root/scripts/wine-session.sh" start "$SNAPWARD_WINE_HOME" >/dev/null || exit 1
trap '"$root/scripts/wine-session.sh" stop "$SNAPWARD_WINE_HOME" >/dev/null' EXIT
export DISPLAY=$(cat "$SNAPWARD_WINE_HOME/session/display")
run() { "$root/scripts/wine-run.sh" "$@"; }

prefix=$SNAPWARD_WINE_HOME/prefix
drive=$prefix/drive_c
appdir="$drive/Program Files/Snapward"
shortcut=$(printf '%s' "$drive/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Snapward.lnk")
failures=0
check() {  # check "what" command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
reg_has() { run reg query "$1" /v "$2" >/dev/null 2>&1; }
reg_key() { run reg query "$1" >/dev/null 2>&1; }
dialog_count() { xdotool search --name '^Snapward$' 2>/dev/null | wc -l; }
wait_for() {  # wait_for seconds command...
  local limit=$1; shift
  for _ in $(seq $((limit * 5))); do "$@" && return 0; sleep 0.2; done
  return 1
}
running() { [ "$(dialog_count)" -ge 1 ]; }
stopped() { [ "$(dialog_count)" -eq 0 ]; }
RUN_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Snapward'

# Install.
run "$setup" /S
check "install exits 0" [ $? -eq 0 ]
check "Snapward.exe installed" [ -f "$appdir/Snapward.exe" ]
check "Orvendel.ds beside it" [ -f "$appdir/Orvendel.ds" ]
check "Orvendel.ds in twain_32" [ -f "$drive/windows/twain_32/Orvendel.ds" ]
check "uninstaller written" [ -f "$appdir/Uninstall.exe" ]
check "Start-menu shortcut" [ -f "$shortcut" ]
check "Run entry" reg_has "$RUN_KEY" Snapward
check "Apps & features entry" reg_has "$UNINSTALL_KEY" DisplayName
check "publisher Quillmere" bash -c "'$root/scripts/wine-run.sh' reg query '$UNINSTALL_KEY' /v Publisher | grep -q Quillmere"

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
# for its work rather than for the first process.
run reg add 'HKCU\Software\Quillmere\Orvendel' /v Keybind /t REG_DWORD /d 121 /f >/dev/null
run "$appdir/Uninstall.exe" /S
check "uninstall stops the program" wait_for 30 stopped
check "program folder removed" wait_for 30 bash -c "[ ! -e '$appdir' ]"
check "twain_32 copy removed" [ ! -e "$drive/windows/twain_32/Orvendel.ds" ]
check "shortcut removed" [ ! -e "$shortcut" ]
check "Run entry removed" bash -c "! '$root/scripts/wine-run.sh' reg query '$RUN_KEY' /v Snapward >/dev/null 2>&1"
check "Apps & features entry removed" bash -c "! '$root/scripts/wine-run.sh' reg query '$UNINSTALL_KEY' >/dev/null 2>&1"
check "settings key kept" reg_has 'HKCU\Software\Quillmere\Orvendel' Keybind

echo "$failures failed"
[ "$failures" -eq 0 ]
