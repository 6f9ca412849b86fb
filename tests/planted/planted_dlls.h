#pragma once
// A folder of planted DLLs for the tests: copies of planted_marker.dll (built
// beside the test executables) under the names of system libraries, with Wine
// told to prefer a native DLL of those names, so that any copy found along a
// search path is loaded and leaves its mark. Wine reads a process's overrides
// from HKCU\Software\Wine\AppDefaults\<exe>\DllOverrides whenever it looks a
// library up, so the executable named there may be this one or a child.

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

struct PlantedDlls {
    // The imaging component, Media Foundation, two of their own imports, and
    // the common controls (no KnownDLL, and loaded by the system's own DLLs
    // too), which the default search would look for in the folder.
    static constexpr const wchar_t* NAMES[] = {L"windowscodecs", L"mfplat", L"mf",      L"mfreadwrite",
                                               L"rtworkq",       L"propsys", L"comctl32"};

    std::filesystem::path folder;
    std::wstring appKey;

    // A fresh `folder` under the temporary one, planted for the process
    // started from the executable named `exe`.
    PlantedDlls(const wchar_t* folderName, const std::wstring& exe) {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::filesystem::path marker = std::filesystem::path(self).parent_path() / L"planted_marker.dll";
        folder = std::filesystem::temp_directory_path() / folderName;
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        std::filesystem::create_directories(folder);
        appKey = L"Software\\Wine\\AppDefaults\\" + exe;
        const std::wstring overrides = appKey + L"\\DllOverrides";
        for (const wchar_t* name : NAMES) {
            std::filesystem::copy_file(marker, folder / (std::wstring(name) + L".dll"));
            RegSetKeyValueW(HKEY_CURRENT_USER, overrides.c_str(), name, REG_SZ, L"native,builtin",
                            sizeof(L"native,builtin"));
        }
    }
    ~PlantedDlls() {
        RegDeleteTreeW(HKEY_CURRENT_USER, appKey.c_str());
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    PlantedDlls(const PlantedDlls&) = delete;
    PlantedDlls& operator=(const PlantedDlls&) = delete;

    // The planted copies that some process has loaded, by file name.
    std::vector<std::wstring> Loaded() const {
        std::vector<std::wstring> loaded;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.path().extension() == L".loaded") loaded.push_back(entry.path().stem().wstring());
        }
        return loaded;
    }
};
