#!/usr/bin/env bash
# Installs what is missing, builds the presets and runs every test in one ctest
# run (native tests, short fuzz runs, then the Windows tests under 32-bit and 64-bit Wine).
# When all pass, records the checksums of the files that ship, which
# scripts/release.sh then packages unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
# The windows build also builds the 64-bit data sources and their tests in
# build/windows64 (the windows64 preset's tree).
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
# One ctest run over the four build trees, so that its summary is the last word.
# Tests of one Wine prefix take turns (a resource lock each); the native and fuzz
# tests and the other prefixes run beside them. Each Wine session starts a display
# of its own unless DISPLAY names one, and sessions sharing one would steal each
# other's focus: then the run is serial.
printf 'subdirs("native" "fuzz" "windows" "windows64")\n' > build/CTestTestfile.cmake
bash scripts/check-test-names.sh build
parallel=$jobs
[ -n "${DISPLAY:-}" ] && parallel=1
rm -f build/tested.sha256
ctest --test-dir build --output-on-failure --timeout 600 -j "$parallel"
sha256sum build/windows/Snapward.exe build/windows/Orvendel.ds build/windows/SnapwardSetup.exe \
  build/windows64/Orvendel.ds > build/tested.sha256
