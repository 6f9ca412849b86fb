#!/usr/bin/env bash
# Release build: the windows preset in Release mode, without tests (it builds
# the 64-bit data source in build/release64 too), and the shipped files with
# their SHA-256 checksums in one folder: the 64-bit source as x64/Orvendel.ds,
# where the installer also puts it beside the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=build/release
cmake --preset windows -B "$build" -DCMAKE_BUILD_TYPE=Release -DSNAPWARD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
version=$(sed -n 's/^#define SNAPWARD_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/snapward_version.h")
out=dist/Snapward-$version
rm -rf "$out"
mkdir -p "$out/x64"
for f in Snapward.exe Orvendel.ds SnapwardSetup.exe; do
  [ -f "$build/$f" ] || { echo "release: $build/$f was not built" >&2; exit 1; }
  cp "$build/$f" "$out/"
done
ds64=$(sed -n 's/^SNAPWARD_WINDOWS64_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")/Orvendel.ds
[ -f "$ds64" ] || { echo "release: $ds64 was not built" >&2; exit 1; }
cp "$ds64" "$out/x64/"
cp README.md "$out/"
(cd "$out" && sha256sum Snapward.exe Orvendel.ds x64/Orvendel.ds SnapwardSetup.exe README.md > SHA256SUMS)
echo "release: $out"
cat "$out/SHA256SUMS"
