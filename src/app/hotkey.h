#pragma once
// The global capture key: its registration on the tray window and the capture
// it runs.

#include <windows.h>

constexpr int CAPTURE_HOTKEY_ID = 0xBEEF;

// How long frames are read and thrown away after the capture key has opened
// the camera from closed, before the frame that is kept. Webcams start with a
// guessed exposure and correct it from the frames they stream; most settle
// within a few hundred milliseconds. Counted in time rather than frames
// because frame rates range from 5 to 60 a second with resolution and light.
constexpr DWORD CAMERA_SETTLE_MS = 500;

// Registers Settings' Keybind as the capture key on Tray().window (after
// dropping any earlier registration) and tells the outcome in a balloon.
// Does nothing without a tray window.
void RegisterCaptureHotkey();

// One frame to the clipboard (owned by `owner`) from the camera, opening the
// saved device first if no camera is open; the outcome in a balloon.
void CaptureFromHotkey(HWND owner);
