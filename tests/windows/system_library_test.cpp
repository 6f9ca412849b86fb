// Libraries from the system folder, and from nowhere else.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system_library.h"

namespace {

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
}

// A loader that records its calls and fails those with the search flags for
// `refusal` when set (ERROR_INVALID_PARAMETER: Windows 7 without KB2533623).
struct LoaderCall {
    std::wstring path;
    DWORD flags;
};
std::vector<LoaderCall> calls;
DWORD refusal = 0;
const HMODULE LOADED = reinterpret_cast<HMODULE>(0x10000);

HMODULE WINAPI RecordingLoader(LPCWSTR path, HANDLE, DWORD flags) {
    calls.push_back({path, flags});
    if (refusal && (flags & LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        SetLastError(refusal);
        return nullptr;
    }
    return LOADED;
}

}  // namespace

TEST(SystemLibrary, ComesFromTheSystemFolderAndANameWithAPathOrNoneIsRefused) {
    const HMODULE platform = LoadSystemLibrary(L"mfplat.dll");
    ASSERT_NE(platform, nullptr);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(platform, path, MAX_PATH);
    EXPECT_EQ(CompareStringOrdinal(path, -1, (SystemFolder() + L"\\mfplat.dll").c_str(), -1, TRUE), CSTR_EQUAL)
        << std::string(path, path + wcslen(path));
    // Beside this test, in the current folder, not in the system folder.
    EXPECT_EQ(LoadSystemLibrary(L"planted_marker.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleW(L"planted_marker.dll"), nullptr);
    // One longer than the longest that fits (below) beside the folder.
    const std::wstring tooLong(MAX_PATH - SystemFolder().size() - 1, L'a');
    const std::pair<const wchar_t*, DWORD> refused[] = {
        {nullptr, ERROR_INVALID_PARAMETER},       {L"", ERROR_INVALID_PARAMETER},
        {L"..\\mfplat.dll", ERROR_INVALID_PARAMETER}, {L"wbem/wmiutils.dll", ERROR_INVALID_PARAMETER},
        {L"C:mfplat.dll", ERROR_INVALID_PARAMETER},   {tooLong.c_str(), ERROR_FILENAME_EXCED_RANGE}};
    calls.clear();
    for (const auto& [name, reason] : refused) {
        SetLastError(0);
        EXPECT_EQ(LoadSystemLibrary(name, RecordingLoader), nullptr);
        EXPECT_EQ(GetLastError(), reason) << (name ? std::string(name, name + wcslen(name)) : "null");
    }
    EXPECT_TRUE(calls.empty());
}

// The longest name that fits beside the folder is loaded by its whole path,
// with the imports searched in the system folder alone; on Windows that refuses
// the flag, from the library's own folder first; any other failure stands.
TEST(SystemLibrary, TheSearchFlagsOrWhereRefusedTheLibrarysOwnFolderFirst) {
    const std::wstring path = SystemFolder() + L"\\" + std::wstring(MAX_PATH - SystemFolder().size() - 2, L'b');
    const std::vector<LoaderCall> flagsOnly = {{path, LOAD_LIBRARY_SEARCH_SYSTEM32}};
    const std::vector<LoaderCall> thenAltered = {{path, LOAD_LIBRARY_SEARCH_SYSTEM32},
                                                 {path, LOAD_WITH_ALTERED_SEARCH_PATH}};
    const struct {
        DWORD refusal;
        HMODULE loaded;
        const std::vector<LoaderCall>& calls;
    } cases[] = {{0, LOADED, flagsOnly},
                 {ERROR_INVALID_PARAMETER, LOADED, thenAltered},
                 {ERROR_MOD_NOT_FOUND, nullptr, flagsOnly}};
    for (const auto& c : cases) {
        calls.clear();
        refusal = c.refusal;
        EXPECT_EQ(LoadSystemLibrary(path.c_str() + SystemFolder().size() + 1, RecordingLoader), c.loaded);
        ASSERT_EQ(calls.size(), c.calls.size()) << c.refusal;
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_TRUE(calls[i].path == c.calls[i].path && calls[i].flags == c.calls[i].flags) << c.refusal << i;
        }
    }
    refusal = 0;
}
