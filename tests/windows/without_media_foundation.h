#pragma once
// The runs without Media Foundation (as on Windows N) disable it through Wine's
// DLL overrides, which fail silently when misspelt: such a run checks that the
// libraries are really gone rather than assume it.

#include <windows.h>

#include <psapi.h>

#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <string>

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

// Whether `process` has a module of this name loaded from a folder whose path
// holds `folder` (any case).
inline bool ProcessHasModuleIn(HANDLE process, const wchar_t* name, const wchar_t* folder) {
    HMODULE modules[1024];
    DWORD bytes = 0;
    if (!K32EnumProcessModules(process, modules, sizeof modules, &bytes)) return false;
    for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 1024; ++i) {
        wchar_t path[MAX_PATH] = {};
        if (!K32GetModuleFileNameExW(process, modules[i], path, MAX_PATH)) continue;
        std::wstring text = path, part = folder;
        for (std::wstring* s : {&text, &part}) {
            for (wchar_t& c : *s) c = towlower(c);
        }
        const std::wstring base = text.substr(text.find_last_of(L'\\') + 1);
        if (_wcsicmp(base.c_str(), name) == 0 && text.find(part) != std::wstring::npos) return true;
    }
    return false;
}
