#pragma once
// Process-wide state of the tray application and its window procedure.

#include <windows.h>
#include <shellapi.h>

#include "camera/camera.h"
#include "settings/settings.h"

// Lives for the whole process; everything here belongs to the UI thread.
struct TrayWindow {
    HINSTANCE instance = nullptr;
    Settings* settings = nullptr;
    Camera* camera = nullptr;
    HWND window = nullptr;          // the message-only window; null until created
    NOTIFYICONDATAW iconData{};     // filled once at start-up
    bool dialogOpen = false;        // keeps a second capture dialog from opening
};

// The one instance (defined by the tray module).
TrayWindow& Tray();

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void ShowTrayBalloon(const wchar_t* title, const wchar_t* text);
