// The installer test's eyes inside Wine.
//   installer_probe hold FLAG load:PATH|open:PATH...
//     Keeps each data source in use the way a scanning host would (load: maps
//     it as a DLL; open: an open handle that shares reading only, as a host of
//     the other bitness or a virus scanner may hold it) for as long as the file
//     FLAG exists, at most two minutes. Prints "held" once all are in use.
//   installer_probe launch PROGRAM EXE_NAME [ARGS...]
//     Runs PROGRAM (the installer) and waits for it, then for a process named
//     EXE_NAME, and prints "exit N", then "parent installer|other" and
//     "elevated yes|no" for that process, or "started none".
// Exit code: 0 when the probe did its work, 2 on a usage or system error.

#include "platform/win_handles.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD HOLD_LIMIT_MS = 120000;
constexpr DWORD POLL_MS = 100;
constexpr DWORD START_WAIT_MS = 20000;

struct ProcessEntry {
    DWORD pid = 0;
    DWORD parentPid = 0;
};

bool FindProcess(const wchar_t* exeName, ProcessEntry& found) {
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName) == 0) {
            found = {entry.th32ProcessID, entry.th32ParentProcessID};
            return true;
        }
    }
    return false;
}

// The token's elevation, the thing that "started at the user's rights" means;
// false when it cannot be read.
bool IsElevated(DWORD pid, bool& elevated) {
    UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return false;
    UniqueKernelHandle token;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size))
        return false;
    elevated = elevation.TokenIsElevated != 0;
    return true;
}

int Hold(const wchar_t* flag, int count, wchar_t** paths) {
    std::vector<UniqueModule> modules;
    std::vector<UniqueFile> files;
    for (int i = 0; i < count; ++i) {
        std::wstring item = paths[i];
        if (item.rfind(L"load:", 0) == 0) {
            UniqueModule module(LoadLibraryW(item.c_str() + 5));
            if (!module) {
                std::fwprintf(stderr, L"cannot load %ls (%lu)\n", item.c_str() + 5, GetLastError());
                return 2;
            }
            modules.push_back(std::move(module));
        } else if (item.rfind(L"open:", 0) == 0) {
            UniqueFile file(CreateFileW(item.c_str() + 5, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) {
                std::fwprintf(stderr, L"cannot open %ls (%lu)\n", item.c_str() + 5, GetLastError());
                return 2;
            }
            files.push_back(std::move(file));
        } else {
            return 2;
        }
    }
    std::wprintf(L"held\n");
    std::fflush(stdout);
    for (DWORD waited = 0; waited < HOLD_LIMIT_MS && GetFileAttributesW(flag) != INVALID_FILE_ATTRIBUTES;
         waited += POLL_MS)
        Sleep(POLL_MS);
    return 0;
}

int Launch(const wchar_t* program, const wchar_t* exeName, int count, wchar_t** args) {
    std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";
    for (int i = 0; i < count; ++i) commandLine += L" " + std::wstring(args[i]);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        std::fwprintf(stderr, L"cannot start %ls (%lu)\n", program, GetLastError());
        return 2;
    }
    UniqueKernelHandle process(info.hProcess);
    UniqueKernelHandle thread(info.hThread);
    // A silent installer runs its whole work in this one process; a reboot
    // request or a failure shows only in its exit code.
    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    std::wprintf(L"exit %lu\n", exitCode);

    ProcessEntry started;
    bool found = false;
    for (DWORD waited = 0; waited < START_WAIT_MS && !(found = FindProcess(exeName, started));
         waited += POLL_MS)
        Sleep(POLL_MS);
    if (!found) {
        std::wprintf(L"started none\n");
        return 0;
    }
    // The installer's id stays reserved while we hold its handle, so no later
    // process can have taken it over.
    std::wprintf(L"parent %ls\n", started.parentPid == info.dwProcessId ? L"installer" : L"other");
    bool elevated = false;
    if (IsElevated(started.pid, elevated))
        std::wprintf(L"elevated %ls\n", elevated ? L"yes" : L"no");
    else
        std::wprintf(L"elevated unknown\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 4 && std::wcscmp(argv[1], L"hold") == 0) return Hold(argv[2], argc - 3, argv + 3);
    if (argc >= 4 && std::wcscmp(argv[1], L"launch") == 0)
        return Launch(argv[2], argv[3], argc - 4, argv + 4);
    std::fwprintf(stderr, L"usage: installer_probe hold FLAG load:PATH|open:PATH...\n"
                          L"       installer_probe launch PROGRAM EXE_NAME [ARGS...]\n");
    return 2;
}
