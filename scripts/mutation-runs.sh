#!/usr/bin/env bash
# The project's mutation measurements, one per area, with fixed samples: run a
# measurement before and after reshaping tests and compare the last lines.
# Usage (from a checkout whose native and windows build trees exist):
#   bash scripts/mutation-runs.sh unit|windows|twain-logic|twain-source|ui
set -u
cd "$(dirname "$0")/.."
# The tool lives beside the repository; MUTANTS names it elsewhere.
mut() { python3 "${MUTANTS:-../shared/tools/mutants.py}" "$@"; }
wine_tests() { echo "bash scripts/wine-run.sh build/windows/$1.exe --gtest_brief=1 ${2:-}"; }
case "${1:-}" in
unit)
  mut --build 'cmake --build build/native --target unit_tests' --test 'build/native/unit_tests --gtest_brief=1' \
    --max 50 --seed 15 src/capture/frame.cpp src/capture/dib.cpp src/capture/mjpeg.cpp src/capture/letterbox.cpp \
    src/capture/convert_kernels.cpp src/camera/camera.cpp src/camera/test_pattern.cpp src/settings/key_names.cpp ;;
windows)
  mut --build 'cmake --build build/windows --target windows_tests' \
    --test "$(wine_tests windows_tests --gtest_filter=-Tray*:CaptureDialog*:E2e*:DISABLED*)" --max 30 --seed 15 \
    src/settings/settings_win.cpp src/capture/capture_action_win.cpp src/capture/bmp_file_win.cpp \
    src/capture/mjpeg_win.cpp src/camera/media_foundation_win.cpp src/camera/devices_win.cpp \
    src/app/twain_installer.cpp src/settings/key_names_win.cpp ;;
twain-logic)
  mut --build 'cmake --build build/windows --target twain_logic_tests' --test "$(wine_tests twain_logic_tests)" \
    --max 30 --seed 15 twain/ds_capabilities.cpp twain/ds_image.cpp twain/ds_state.cpp ;;
twain-source)
  mut --build 'cmake --build build/windows --target twain_source_tests twain_acquire_tests' \
    --test "$(wine_tests twain_source_tests) && $(wine_tests twain_acquire_tests)" --max 20 --seed 15 \
    twain/data_source.cpp twain/source_window.cpp twain/camera_worker.cpp twain/image_file.cpp ;;
ui)
  mut --build 'cmake --build build/windows --target windows_tests' \
    --test "$(wine_tests windows_tests --gtest_filter=Tray*:CaptureDialog*:E2e*)" --max 16 --seed 15 \
    src/ui/capture_dialog.cpp src/ui/key_change.cpp src/ui/preview.cpp src/app/tray_window.cpp src/app/hotkey.cpp \
    src/app/dialog_from_tray.cpp src/app/tray_state.cpp ;;
*) echo "usage: mutation-runs.sh unit|windows|twain-logic|twain-source|ui" >&2; exit 2 ;;
esac
