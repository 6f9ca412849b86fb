#pragma once
// The tray window: its icon, menu and window procedure, which hand the
// capture key, the dialog and the TWAIN installer their messages. The top of
// the tray program: it includes them, none of them includes it.

#include <windows.h>

#include "app/tray_state.h"

constexpr UINT ID_TRAY_OPEN = 2001;
constexpr UINT ID_TRAY_TWAIN = 2002;
constexpr UINT ID_TRAY_EXIT = 2003;
constexpr UINT ID_TRAY_SUPPORT = 2004;

inline constexpr wchar_t TRAY_WINDOW_CLASS[] = L"OrvendelTray";

// The installer's logon entry starts the program with this argument: in the
// tray only, without the dialog, so that the camera (and its light) stays off
// until the user asks for it. A start by the user shows the dialog.
inline constexpr wchar_t LOGON_START_ARGUMENT[] = L"/tray";

// Whether `commandLine` (the whole line, program name first) holds
// LOGON_START_ARGUMENT as an argument of its own, in any case.
bool IsLogonStart(const wchar_t* commandLine);

// Registers the class "OrvendelTray" and creates the message-only tray window
// of `instance`, and beside it a hidden top-level helper window (which a
// message-only window cannot stand in for: it hears the taskbar's restart and
// can take the foreground for the tray menu); keeps the handles in Tray().
// Returns the tray window, null if it cannot be made.
HWND CreateTrayWindow(HINSTANCE instance);

// At logon the shell may not take icons yet (Explorer still starting): an icon
// it refuses is offered again every ICON_RETRY_MS, ICON_RETRY_ATTEMPTS times,
// and again whenever the taskbar says it has been (re)created.
constexpr UINT_PTR ICON_RETRY_TIMER_ID = 2;
constexpr UINT ICON_RETRY_MS = 1000;
constexpr int ICON_RETRY_ATTEMPTS = 120;

// Fills the icon record for Tray().window and puts the icon into the
// notification area, retrying while the shell refuses it.
void AddTrayIcon();

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
