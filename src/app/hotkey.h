#pragma once
// The global capture key: its registration on the tray window and the capture
// it runs.

#include <windows.h>

constexpr int CAPTURE_HOTKEY_ID = 0xBEEF;

// After a capture-key picture with the dialog closed, the camera stays open
// this long for the next press, then it is let go: a burst of pictures taken a
// few seconds apart is captured at once (a cold webcam takes 0.5 to 2 seconds
// to start, plus the settling time), while the camera's light goes out and
// video-call programs can have the device soon after the last picture. Ten
// seconds covers a person framing the next shot and pressing again.
constexpr UINT_PTR CAMERA_IDLE_TIMER_ID = 1;
constexpr UINT CAMERA_IDLE_RELEASE_MS = 10000;

// Registers Settings' Keybind as the capture key on Tray().window (after
// dropping any earlier registration) and tells the outcome in a balloon.
// Does nothing without a tray window. True when the key now captures.
bool RegisterCaptureHotkey();

// One frame to the clipboard (owned by `owner`) from the camera, opening the
// saved device first if no camera is open; the outcome in a balloon. With the
// dialog closed the camera is kept open for CAMERA_IDLE_RELEASE_MS after it.
void CaptureFromHotkey(HWND owner);

// The idle time has passed without a capture: closes the camera, unless the
// dialog has it.
void ReleaseIdleCamera();
