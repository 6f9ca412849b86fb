#pragma once
// Process-wide state of the tray application and its window procedure.

#include <windows.h>
#include <shellapi.h>

#include "camera/camera.h"
#include "settings/settings.h"

constexpr UINT WM_TRAYICON = WM_USER + 100;
constexpr UINT TRAY_ICON_ID = 1;

constexpr UINT ID_TRAY_OPEN = 2001;
constexpr UINT ID_TRAY_TWAIN = 2002;
constexpr UINT ID_TRAY_EXIT = 2003;
constexpr UINT ID_TRAY_SUPPORT = 2004;

inline constexpr wchar_t TRAY_WINDOW_CLASS[] = L"OrvendelTray";
inline constexpr wchar_t SNAPWARD_TITLE[] = L"Snapward";  // balloon titles, message box captions
inline constexpr wchar_t SUPPORT_URL[] = L"https://quillmere.example/support";

using NotifyIconFunction = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAW data);

// Lives for the whole process; everything here belongs to the UI thread.
struct TrayWindow {
    HINSTANCE instance = nullptr;
    Settings* settings = nullptr;
    Camera* camera = nullptr;
    HWND window = nullptr;          // the message-only tray window; null until created
    HWND helperWindow = nullptr;    // hidden top-level: hears "TaskbarCreated", owns the menu
    NOTIFYICONDATAW iconData{};     // filled once at start-up
    bool dialogOpen = false;        // keeps a second capture dialog from opening
    bool iconAdded = false;         // between AddTrayIcon and the icon's removal
    UINT taskbarCreatedMessage = 0; // broadcast when the taskbar (re)starts
    // Every Shell_NotifyIconW call of the tray goes through here, so that tests
    // can see the icon's and the balloons' requests.
    NotifyIconFunction notifyIcon = Shell_NotifyIconW;
};

// The one instance (defined by the tray module).
TrayWindow& Tray();

// Registers the class "OrvendelTray" and creates the message-only tray window
// of `instance`, and beside it a hidden top-level helper window (which a
// message-only window cannot stand in for: it hears the taskbar's restart and
// can take the foreground for the tray menu); keeps the handles in Tray().
// Returns the tray window, null if it cannot be made.
HWND CreateTrayWindow(HINSTANCE instance);

// Fills the icon record for Tray().window and puts the icon into the
// notification area.
void AddTrayIcon();

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void ShowTrayBalloon(const wchar_t* title, const wchar_t* text);
