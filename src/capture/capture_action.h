#pragma once
// The capture operations shared by the capture key and the capture dialog: one
// fresh frame as a clipboard-ready packed DIB, the hand-over to the clipboard,
// and the dialog's command (clipboard, then a second frame into Pictures).

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win_handles.h"

#include "camera/video_reader.h"

class Camera;

// Both capture commands report these two clipboard failures in the same words.
inline constexpr wchar_t CLIPBOARD_OPEN_FAILED_TEXT[] = L"Could not open clipboard.";
inline constexpr wchar_t CLIPBOARD_REFUSED_TEXT[] = L"Failed to copy to clipboard.";

// Why a capture (of the capture key or the dialog) failed, in the user's words:
// the camera's last error, where a grab that succeeded but gave no bitmap
// means the bitmap's memory could not be had.
const wchar_t* CaptureFailedText(CameraError error);

// One freshly grabbed frame as a packed 24-bit DIB in a movable, unlocked global
// block. Empty when the camera is closed, the grab fails, the picture is empty
// (no bitmap to make of it) or the block cannot be allocated or locked.
UniqueGlobal CaptureDib(Camera& camera);

enum class ClipboardHandOver {
    Copied,        // the clipboard holds the block; it belongs to the system now
    CouldNotOpen,  // someone else has the clipboard open
    Refused,       // SetClipboardData failed
};

// Empties the clipboard and hands `dib` over as CF_DIB, with `owner` as the
// clipboard owner. Unless the result is Copied, the block has been freed.
ClipboardHandOver PutDibOnClipboard(HWND owner, UniqueGlobal dib);

// Writes `dib` as a .bmp file named after `time` in `folder`: the plain name
// first, then " (2)", " (3)" ... before ".bmp" while that name is taken. An
// existing file is never replaced. Returns the path written, or an empty
// string when no file could be written (a partial file is removed again).
std::wstring SaveCaptureFile(const wchar_t* folder, const SYSTEMTIME& time, HGLOBAL dib);

// Every text CaptureFromDialog can leave in the status line, counts at their
// widest: the status line must hold each of them whole.
std::vector<std::wstring> CaptureStatusTexts();

// The dialog's Capture command: status line `IDC_STATUS` of `dialog`, the
// clipboard, a second frame saved by SaveCaptureFile into `picturesFolder`
// (null: the user's Pictures folder), `captureCount` raised once the clipboard
// holds the frame, and a white flash of `preview` (may be null).
void CaptureFromDialog(Camera& camera, HWND dialog, HWND preview, int32_t& captureCount,
                       const wchar_t* picturesFolder = nullptr);
