#pragma once
// What the data source's files share: the texts its window and messages show,
// the messages its hidden window takes, and the names it starts from.

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "camera/video_reader.h"

namespace ds {

inline constexpr wchar_t NO_CAMERA_TEXT[] =
    L"No camera was found.\n\nConnect a webcam and try again.";
inline constexpr wchar_t CAMERA_FAILED_TEXT[] =
    L"The camera could not be started.\n\nIt may be in use by another program. Close that "
    L"program and try again.";
// Without our window, when a grab failed and a fresh open did not help.
inline constexpr wchar_t CAMERA_LOST_TEXT[] =
    L"The camera stopped sending pictures.\n\nIt may have been unplugged, or another program may be using it. "
    L"Check the camera and try again.";
// After the camera's name, by what its open said.
inline constexpr wchar_t CAMERA_IN_USE_STATUS[] =
    L" is in use by another program. Close that program, or choose another camera.";
inline constexpr wchar_t CAMERA_BLOCKED_STATUS[] =
    L" is blocked by the camera privacy settings of Windows. Allow it there, or choose another "
    L"camera.";
inline constexpr wchar_t CAMERA_GONE_STATUS[] = L" is not connected. Plug it in, or choose another camera.";
inline constexpr wchar_t CAMERA_NO_FORMAT_STATUS[] =
    L" offers no picture format this source can take. Choose another camera.";
inline constexpr wchar_t CAMERA_FAILED_STATUS[] =
    L" could not be started. It may be in use by another program. Choose another camera.";
inline constexpr wchar_t SWITCH_AFTER_CAPTURE_STATUS[] =
    L"Capturing... The camera chosen takes over when this picture is done.";
inline constexpr wchar_t CAPTURING_STATUS[] = L"Capturing...";
inline constexpr wchar_t CAPTURE_FAILED_STATUS[] = L"Capture failed. Try again.";
inline constexpr wchar_t TRANSFERRING_STATUS[] = L"Sending the picture...";

// What the status line says of camera `name` that is not open after `error`.
std::wstring CameraNotOpenText(const std::wstring& name, CameraError error);
// Every text the window's status line can show, with `name` as the camera's.
std::vector<std::wstring> StatusTexts(const std::wstring& name);

inline constexpr wchar_t SIGNAL_WINDOW_CLASS[] = L"OrvendelTwainSignal";
// Posted to the signal window on the application's thread.
inline constexpr UINT WM_TWAIN_GRABBED = WM_APP + 1;  // the worker finished a grab
inline constexpr UINT WM_TWAIN_SIGNAL = WM_APP + 2;   // a signal waits for the application

// What applications are told to expect before they name a file themselves.
inline constexpr char DEFAULT_FILE_NAME[] = "TWAIN.TMP";

template <size_t N>
void CopyName(char (&target)[N], const char* text) {
    std::memset(target, 0, sizeof(target));
    std::strncpy(target, text, sizeof(target) - 1);
}

}  // namespace ds
