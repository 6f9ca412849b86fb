#pragma once
// Copies the companion TWAIN data source into the Windows TWAIN folder.

#include <windows.h>

// The destination exists: the tray menu shows the source as installed.
bool IsTwainSourceInstalled();

// Asks, copies through an elevated cmd.exe, and tells the outcome in message
// boxes owned by `owner`. `instance` locates the executable's folder.
void InstallTwainSource(HWND owner, HINSTANCE instance);
