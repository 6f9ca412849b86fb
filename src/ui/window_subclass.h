#pragma once
// The common controls' window subclassing, from the system folder's
// comctl32.dll loaded at run time. Without a manifest naming the common
// controls (the tests, a host of the data source), an import of comctl32
// (which is no KnownDLL) would be looked up in the program's own folder
// first, before anything of ours runs. Subclassing works the same with the
// system folder's version as with the visual-styles one the manifest brings.

#include <windows.h>

#include <commctrl.h>

// As SetWindowSubclass; false when the common controls cannot be loaded.
bool SubclassWindow(HWND window, SUBCLASSPROC procedure, UINT_PTR id, DWORD_PTR data);
// As RemoveWindowSubclass.
void UnsubclassWindow(HWND window, SUBCLASSPROC procedure, UINT_PTR id);
// As DefSubclassProc, for the procedures that SubclassWindow installed.
LRESULT DefaultSubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
