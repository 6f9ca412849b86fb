#!/usr/bin/env bash
# SnapwardSetup.exe in a scratch 64-bit Wine prefix: an interactive install
# that starts the program from its finish page, a silent upgrade while the
# program runs and scanning hosts hold the old data sources, then an uninstall
# while the program runs and a host holds a source.
# Usage: installer_test.sh BUILD_DIR
set -u
build=$(cd "${1:?build dir}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
setup=$build/SnapwardSetup.exe
ds32=$build/Orvendel.ds
ds64=$(sed -n 's/^SNAPWARD_WINDOWS64_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")/Orvendel.ds
probe=$build/installer_probe.exe

failures=0
check() {  # check "what" command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
run() { "$root/scripts/wine-run.sh" "$@"; }
reg_has() { run reg query "$1" ${2:+/v "$2"} >/dev/null 2>&1; }
# reg_absent KEY [VALUE]: gone, as told by a failed query beside one that
# works on the key above it (or the key itself for a value), so that a query
# that could not run at all is never read as "removed".
reg_absent() {
  local above=${1%\\*}
  [ -n "${2:-}" ] && above=$1
  reg_has "$above" || { echo "reg cannot read $above"; return 1; }
  ! reg_has "$@"
}
wait_for() {  # wait_for seconds command...
  local limit=$1; shift
  for _ in $(seq $((limit * 5))); do "$@" && return 0; sleep 0.2; done
  return 1
}
# The installed program's processes, by their command lines: Wine shows a
# program as it was started, its Windows path and arguments. A program in the
# tray has no window that X can see.
installed_program() { ps -eo args= | grep -F 'Snapward\Snapward.exe' | grep -v grep; }
running() { installed_program >/dev/null; }
in_tray() { installed_program | grep -q ' /tray$'; }
dialog_shown() { xdotool search --onlyvisible --name '^Snapward$' >/dev/null 2>&1; }
setup_window() { xdotool search --name '^Snapward Setup' >/dev/null 2>&1; }
# The prefix maps Z: to the Unix root.
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
# The probe runs the installer and reports its exit code and how the program
# it started was started.
# (Wine's console ends lines with CR LF.)
said() { tr -d '\r' <"$scratch/launch.out" | grep -qx "$1"; }
# hold PROBE_ARGS...: a stand-in scanning host keeps sources in use until
# release; see installer_probe.cpp.
hold() {
  : >"$drive/hold.flag"
  run "$probe" hold 'C:\hold.flag' "$@" >"$scratch/hold.out" 2>&1 &
  holder=$!
  wait_for 20 grep -q '^held' "$scratch/hold.out" || echo "the probe holds nothing: $(cat "$scratch/hold.out")"
}
release() { rm -f "$drive/hold.flag"; wait "$holder"; }
# Renames and deletes left for the restart are done by the next Wine boot.
restart_windows() { run wineboot -r >/dev/null 2>&1; }
# The tray program's own check, inside the prefix: the system's bitness, and
# every source it needs in place.
tray_check() {
  local out status
  out=$(run "$build/windows_tests.exe" --gtest_also_run_disabled_tests \
    --gtest_filter='TwainInstallerSystem.Bitness*:TwainInstallerSystem.*AfterSetup*' 2>&1)
  status=$?
  out=${out//$'\r'/}
  # Both tests, run and passed: a filter that matches nothing exits 0 too.
  if [ "$status" -ne 0 ] || ! grep -qx '\[  PASSED  \] 2 tests\.' <<<"$out"; then
    tail -n 20 <<<"$out"
    return 1
  fi
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
scratch=$SNAPWARD_WINE_HOME/scratch
mkdir -p "$scratch"
windir=$drive/windows
shortcut=$(printf '%s' "$drive/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Snapward.lnk")
appdir="$drive/Program Files (x86)/Snapward"
UNINSTALL_KEY='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\Snapward'

# Interactive: Install on the first page, then Finish with "Start Snapward
# now" ticked. Return presses the default button of whichever page shows (on
# the progress page there is none), until the installer has gone.
run "$probe" launch "$(winpath "$setup")" Snapward.exe >"$scratch/launch.out" 2>&1 &
installer=$!
for _ in $(seq 90); do
  sleep 1
  kill -0 "$installer" 2>/dev/null || break
  setup_window && xdotool key Return
done
if kill -0 "$installer" 2>/dev/null; then
  import -window root "$scratch/interactive.png" 2>/dev/null
  echo "the interactive installer did not finish; its screen is in $scratch/interactive.png"
  kill "$installer"
fi
wait "$installer"
check "install exits 0" said 'exit 0'
check "the finish page starts the program, not as the installer's child" said 'parent other'
expect install "$appdir/Snapward.exe=any" "$appdir/Uninstall.exe=any" "$shortcut=any" \
  "$appdir/Orvendel.ds=$ds32" "$appdir/x64/Orvendel.ds=$ds64" \
  "$windir/twain_32/Orvendel.ds=$ds32" "$windir/twain_64/Orvendel.ds=$ds64"
check "Run entry" reg_has "$RUN_KEY" Snapward
check "Run entry starts in the tray" bash -c "'$root/scripts/wine-run.sh' reg query '$RUN_KEY' /v Snapward | grep -q 'Snapward.exe\" /tray'"
check "Apps & features entry" reg_has "$UNINSTALL_KEY" DisplayName
check "publisher Quillmere" bash -c "'$root/scripts/wine-run.sh' reg query '$UNINSTALL_KEY' /v Publisher | grep -q Quillmere"
check "the tray sees 64-bit Windows with both sources in place" tray_check

check "installed program starts" wait_for 30 running
check "started by the user, it shows its dialog" wait_for 30 dialog_shown

# Silent upgrade over sources that differ from the new ones by one byte. One
# host has twain_32's loaded: it can be renamed aside but not replaced. One
# holds twain_64's open without delete sharing: not even a rename goes, so only
# a restart can replace it. Never the old file with a plain success.
for bits in 32 64; do
  printf X | dd of="$windir/twain_$bits/Orvendel.ds" bs=1 seek=100 conv=notrunc status=none
  cp "$windir/twain_$bits/Orvendel.ds" "$scratch/old$bits.ds"
done
hold 'load:C:\windows\twain_32\Orvendel.ds' 'open:C:\windows\twain_64\Orvendel.ds'
run "$probe" launch "$(winpath "$setup")" Snapward.exe /S >"$scratch/launch.out" 2>&1
check "the upgrade reports the restart it needs (exit 3010)" said 'exit 3010'
check "the upgrade restarts the program, not as the installer's child" said 'parent other'
check "the upgraded program is back in the tray" wait_for 30 in_tray
sleep 2
check "without the dialog nobody asked for" eval '! dialog_shown'
expect upgrade "$windir/twain_32/Orvendel.ds=$ds32" "$windir/twain_64/Orvendel.ds=$scratch/old64.ds"
no_old_source_loadable() { ! cmp -s "$1" "$scratch/old32.ds"; }
for file in "$windir"/twain_32/*.ds; do
  check "upgrade: the old source is not left as ${file##*/}" no_old_source_loadable "$file"
done
release
restart_windows
expect "after the restart" "$windir/twain_64/Orvendel.ds=$ds64" "$windir/twain_32/Orvendel.ds=$ds32"
check "upgraded program runs" wait_for 30 running

# Uninstall. The uninstaller re-launches itself from a temporary copy, so wait
# for its work rather than for the first process: for the Apps & features
# entry, which it removes last.
run reg add 'HKCU\Software\Quillmere\Orvendel' /v Keybind /t REG_DWORD /d 121 /f >/dev/null
hold 'open:C:\windows\twain_32\Orvendel.ds'
run "$appdir/Uninstall.exe" /S
check "uninstall stops the program" wait_for 30 eval '! running'
check "Apps & features entry removed" wait_for 30 reg_absent "$UNINSTALL_KEY"
expect uninstall "$appdir=none" "$windir/twain_64/Orvendel.ds=none" "$shortcut=none"
release
restart_windows
expect "uninstall, after the restart" "$windir/twain_32/Orvendel.ds=none"
check "Run entry removed" reg_absent "$RUN_KEY" Snapward
check "settings key kept" reg_has 'HKCU\Software\Quillmere\Orvendel' Keybind

echo "$failures failed"
[ "$failures" -eq 0 ]
