#pragma once
// Opening a web page through the shell, from the program's windows.

#include <windows.h>

using ShellOpenFunction = HINSTANCE(WINAPI*)(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                              LPCWSTR directory, INT show);

// Opens `url` with the user's browser, from a short-lived thread of its own.
// `open` is ShellExecuteW but for tests. False when no thread could be made;
// then nothing was opened.
bool OpenInShell(const wchar_t* url, ShellOpenFunction open = nullptr);
