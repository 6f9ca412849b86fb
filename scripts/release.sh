#!/usr/bin/env bash
# Release build: the windows preset in Release mode, without tests, and the
# shipped files with their SHA-256 checksums in one folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=build/release
cmake --preset windows -B "$build" -DCMAKE_BUILD_TYPE=Release -DSNAPWARD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
version=$(sed -n 's/^#define SNAPWARD_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/snapward_version.h")
out=dist/Snapward-$version
rm -rf "$out"
mkdir -p "$out"
for f in Snapward.exe Orvendel.ds SnapwardSetup.exe; do
  [ -f "$build/$f" ] || { echo "release: $build/$f was not built" >&2; exit 1; }
  cp "$build/$f" "$out/"
done
cp README.md "$out/"
(cd "$out" && sha256sum Snapward.exe Orvendel.ds SnapwardSetup.exe README.md > SHA256SUMS)
echo "release: $out"
cat "$out/SHA256SUMS"
