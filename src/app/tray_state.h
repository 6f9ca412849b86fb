#pragma once
// The tray program's process-wide state and its balloons: what the capture key,
// the dialog from the tray and the TWAIN installer share with the tray window.

#include <windows.h>
#include <shellapi.h>

#include "camera/camera.h"
#include "camera/devices.h"
#include "platform/product.h"
#include "settings/settings.h"

constexpr UINT WM_TRAYICON = WM_USER + 100;
constexpr UINT TRAY_ICON_ID = 1;

using NotifyIconFunction = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAW data);

// The development builds add one to this named semaphore, when a test in
// another process made it, for every balloon they show: the start's key
// registration ends with one, so the test knows it has run without trying the
// key itself (a try that met the registration would make it fail).
constexpr wchar_t TEST_BALLOONS_SEMAPHORE[] = L"Local\\SnapwardTestBalloons";

// Lives for the whole process; everything here belongs to the UI thread.
struct TrayWindow {
    HINSTANCE instance = nullptr;
    Settings* settings = nullptr;
    Camera* camera = nullptr;
    HWND window = nullptr;          // the message-only tray window; null until created
    HWND helperWindow = nullptr;    // hidden top-level: hears "TaskbarCreated", owns the menu
    NOTIFYICONDATAW iconData{};     // filled once at start-up
    bool dialogOpen = false;        // keeps a second capture dialog from opening
    bool dialogWanted = false;      // asked for while a capture had the camera: shown after it
    bool iconAdded = false;         // between AddTrayIcon and the icon's removal
    int iconAttemptsLeft = 0;       // retries of an icon the shell refused, on ICON_RETRY_TIMER_ID
    UINT taskbarCreatedMessage = 0; // broadcast when the taskbar (re)starts
    // Every Shell_NotifyIconW call of the tray goes through here, so that tests
    // can see the icon's and the balloons' requests.
    NotifyIconFunction notifyIcon = Shell_NotifyIconW;
    // The capture key looks here for a saved camera that has moved to another
    // port; tests give lists of their own.
    std::vector<CameraDevice> (*enumerateCameras)() = EnumerateCameras;
};

// The one instance (defined by the tray module).
TrayWindow& Tray();

// A balloon from the tray icon (cut to fit the icon record's fields).
void ShowTrayBalloon(const wchar_t* title, const wchar_t* text);
