#pragma once
// Libraries that ship with Windows, loaded so that a DLL planted beside the
// program, beside the data source, in the current folder or on PATH is never
// the one run: a program started from Downloads shares its folder with
// whatever else was downloaded there.

#include <windows.h>

// LoadLibraryExW's shape, so that tests can play a Windows 7 without
// KB2533623, which refuses the LOAD_LIBRARY_SEARCH_* flags.
using LibraryLoader = HMODULE(WINAPI*)(LPCWSTR path, HANDLE reserved, DWORD flags);

// Loads `name` (a bare file name such as L"mfplat.dll") from the system folder
// by its full path, with the libraries it imports searched in the system
// folder alone. Where the search flags are refused, the imports are searched
// from the library's own folder (the system folder) first, never from the
// program's. Null, with the reason in GetLastError, when the library is
// missing or `name` is empty, too long or holds a path.
// Changes no search order of the process: the data source calls it inside
// other programs.
HMODULE LoadSystemLibrary(const wchar_t* name, LibraryLoader load = LoadLibraryExW);

// The program's own search order from now on: the system folder alone, for
// every load without a path of its own, its dependencies and the system's
// delay-loaded libraries included. False where Windows cannot restrict it
// (Windows 7 without KB2533623). Only for the program, at its start; never for
// code that runs inside other programs.
bool RestrictDllSearchToSystemFolder();
