#include "platform/system_library.h"

#include <cwchar>

HMODULE LoadSystemLibrary(const wchar_t* name, LibraryLoader load) {
    const size_t nameLength = name ? std::wcslen(name) : 0;
    // A path in the name would leave the system folder.
    if (nameLength == 0 || std::wcspbrk(name, L"\\/:") != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    wchar_t path[MAX_PATH];
    const UINT folderLength = GetSystemDirectoryW(path, MAX_PATH);
    if (folderLength == 0 || folderLength + 1 + nameLength >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    path[folderLength] = L'\\';
    std::wmemcpy(path + folderLength + 1, name, nameLength + 1);
    HMODULE module = load(path, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Without KB2533623 Windows 7 refuses the flag as an invalid parameter. A
    // full path with the altered order then searches the imports from the
    // system folder first, where the plain default would start at the
    // program's folder.
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER) {
        module = load(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return module;
}

bool RestrictDllSearchToSystemFolder() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD flags);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto restrict = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
    return restrict && restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
