#!/usr/bin/env bash
# Packages what the last passing test run built and tested: scripts/test.sh
# records the SHA-256 of the shipped files of build/windows (its configuration,
# RelWithDebInfo) once every test has passed, the installer's own test among
# them, and this script ships exactly those files: nothing is rebuilt here.
# They go with their checksums into dist/Snapward-<version>/, the version being
# project()'s in CMakeLists.txt; the 64-bit source as x64/Orvendel.ds, where the
# installer also puts it beside the program.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/windows
tested=build/tested.sha256
if [ ! -f "$tested" ]; then
  echo "release: no passing test run recorded; run scripts/test.sh first" >&2
  exit 1
fi
# Any file rebuilt or changed since the tests passed stops the release.
if ! sha256sum --quiet -c "$tested"; then
  echo "release: the files differ from the tested ones; run scripts/test.sh again" >&2
  exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "release: no project version in $build/CMakeCache.txt" >&2; exit 1; }
out=dist/Snapward-$version
rm -rf "$out"
mkdir -p "$out/x64"
cp "$build/Snapward.exe" "$build/Orvendel.ds" "$build/SnapwardSetup.exe" "$out/"
cp "${build}64/Orvendel.ds" "$out/x64/"
cp README.md "$out/"
(cd "$out" && sha256sum Snapward.exe Orvendel.ds x64/Orvendel.ds SnapwardSetup.exe README.md > SHA256SUMS)
echo "release: $out"
cat "$out/SHA256SUMS"
