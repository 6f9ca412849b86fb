#pragma once
// The runs without Media Foundation (as on Windows N) disable it through Wine's
// DLL overrides, which fail silently when misspelt: such a run checks that the
// libraries are really gone rather than assume it.

#include <windows.h>

#include <psapi.h>

#include <cstdlib>
#include <cwchar>

#include "platform/win_handles.h"

constexpr const wchar_t* MEDIA_FOUNDATION_DLLS[] = {L"mfplat.dll", L"mf.dll", L"mfreadwrite.dll"};

// Set by the ctest entries that run without Media Foundation.
inline bool RunWithoutMediaFoundation() { return std::getenv("SNAPWARD_WITHOUT_MEDIA_FOUNDATION") != nullptr; }

// Whether any Media Foundation library loads from the system folder, as the
// program and the data source load them.
inline bool MediaFoundationLoads() {
    for (const wchar_t* dll : MEDIA_FOUNDATION_DLLS)
        if (UniqueModule(LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)).get()) return true;
    return false;
}

// Whether `process` has a module of this name loaded; true when its modules
// cannot be listed, so that a failed look never passes for an absence.
inline bool ProcessHasModule(HANDLE process, const wchar_t* name) {
    HMODULE modules[1024];
    DWORD bytes = 0;
    if (!K32EnumProcessModules(process, modules, sizeof modules, &bytes)) return true;
    for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 1024; ++i) {
        wchar_t base[MAX_PATH] = {};
        if (K32GetModuleBaseNameW(process, modules[i], base, MAX_PATH) && _wcsicmp(base, name) == 0) return true;
    }
    return false;
}
