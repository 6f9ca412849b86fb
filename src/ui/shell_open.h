#pragma once
// The shell's verbs (opening a web page, starting a program elevated), from
// the program's windows.

#include <windows.h>

#include <functional>

using ShellOpenFunction = HINSTANCE(WINAPI*)(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                              LPCWSTR directory, INT show);

// Opens `url` with the user's browser, from a short-lived thread of its own.
// `open` is ShellExecuteW but for tests. False when no thread could be made;
// then nothing was opened.
bool OpenInShell(const wchar_t* url, ShellOpenFunction open = nullptr);

// Runs `work` on a thread of its own in the apartment the shell wants, and
// waits for it. False when no thread could be made; then `work` did not run.
bool RunInShellApartment(const std::function<void()>& work);
