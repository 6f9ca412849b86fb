#pragma once
// The global capture key: its registration on the tray window and the capture
// it runs.

#include <windows.h>

constexpr int CAPTURE_HOTKEY_ID = 0xBEEF;

// Registers Settings' Keybind as the capture key on Tray().window (after
// dropping any earlier registration) and tells the outcome in a balloon.
// Does nothing without a tray window.
void RegisterCaptureHotkey();

// One frame to the clipboard (owned by `owner`) from the camera, opening the
// saved device first if no camera is open; the outcome in a balloon.
void CaptureFromHotkey(HWND owner);
