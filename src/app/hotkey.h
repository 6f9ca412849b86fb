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

// Posted to the tray window by the capture-key worker when its picture (or its
// failure) is ready for the clipboard and the balloon.
constexpr UINT WM_HOTKEY_CAPTURE_DONE = WM_USER + 101;

// Registers Settings' Keybind as the capture key on Tray().window (after
// dropping any earlier registration; without auto-repeat, so that a held key
// is one capture, not a queue of them) and tells the outcome in a balloon.
// Does nothing without a tray window. True when the key now captures.
bool RegisterCaptureHotkey();

// One frame to the clipboard (owned by `owner`) from the camera, opening the
// saved device first if no camera is open; the outcome in a balloon. With the
// dialog closed the camera is kept open for CAMERA_IDLE_RELEASE_MS after it.
// With the dialog closed the camera is started, settled and read on a worker
// thread, and this returns at once: a cold camera takes seconds, and the tray
// must answer meanwhile. The worker posts WM_HOTKEY_CAPTURE_DONE to `owner`,
// whose FinishHotkeyCapture then fills the clipboard and shows the balloon. With
// the dialog open (its timers use the camera on this thread) the capture runs
// here, as the dialog's own does. A press while a capture runs is ignored.
void CaptureFromHotkey(HWND owner);

// The worker's capture is over, or is waited for (before the camera goes
// away): the clipboard and the balloon. With `wakeReads` (at exit) a capture
// that waits on a camera that sends nothing is woken, and fails, rather than
// waited out. Does nothing when no worker capture is under way.
void FinishHotkeyCapture(bool wakeReads = false);

// Whether a worker capture is under way. Until it is finished, the camera is
// the worker's: the UI thread does not touch it, but to wake its reads at exit.
bool HotkeyCaptureRunning();

// The idle time has passed without a capture: closes the camera, unless the
// dialog or a capture has it.
void ReleaseIdleCamera();
