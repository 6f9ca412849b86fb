#!/usr/bin/env bash
# Installs what is missing, builds both presets and runs every test in one ctest
# run (native tests, then the Windows tests under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
# One ctest run over both build trees, so that its summary is the last word.
printf 'subdirs("native" "windows")\n' > build/CTestTestfile.cmake
ctest --test-dir build --output-on-failure --timeout 600
