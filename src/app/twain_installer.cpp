#include "app/twain_installer.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <vector>

#include "app/tray_state.h"
#include "platform/win_handles.h"
#include "ui/shell_open.h"

namespace {

constexpr wchar_t ALREADY_INSTALLED_TEXT[] =
    L"Snapward is already installed as a TWAIN source.\n\nScanning applications (Photoshop, "
    L"etc.) can already use your webcam as a scanner.";
constexpr wchar_t SOURCE_MISSING_TEXT[] =
    L"The TWAIN source is not installed.\n\nPlease run SnapwardSetup.exe (the installer) to "
    L"install it automatically, or place Orvendel.ds (and, on 64-bit Windows, x64\\Orvendel.ds) "
    L"in the same folder as this program and try again.";
constexpr wchar_t CONFIRM_TEXT[] =
    L"Install Snapward as a TWAIN source?\n\nThis lets scanning applications (Photoshop, document "
    L"scanners, etc.) use your webcam as a scanner input.\n\nAdministrator rights are required.";
constexpr wchar_t SUCCESS_TEXT[] =
    L"TWAIN source installed successfully!\n\nRestart your scanning application and select "
    L"\"Snapward\" as the source.";
constexpr wchar_t MAY_HAVE_FAILED_TEXT[] =
    L"Installation may have failed.\nPlease check that you approved the administrator prompt.";
constexpr wchar_t PATH_TOO_LONG_TEXT[] =
    L"The TWAIN source cannot be installed from here: a folder path is too long.\n\nPlease run "
    L"SnapwardSetup.exe (the installer) to install it.";
constexpr wchar_t UNSAFE_PATH_TEXT[] =
    L"The TWAIN source cannot be installed from here: a folder path contains a character that "
    L"the command processor would change (% ! or \").\n\nPlease run SnapwardSetup.exe (the "
    L"installer), or move Snapward to another folder and try again.";

constexpr DWORD COPY_WAIT_MS = 10000;

// Long enough for any path the system hands out, so that a path too long for
// TWAIN_PATH_UNITS is seen whole and refused rather than silently cut.
constexpr DWORD SYSTEM_PATH_UNITS = 32768;

bool FitsPathBuffer(const std::wstring& path) {
    return !path.empty() && path.size() < TWAIN_PATH_UNITS;
}

std::wstring JoinPath(const std::wstring& folder, const wchar_t* name) {
    std::wstring joined = folder;
    if (joined.empty() || joined.back() != L'\\') joined += L'\\';
    joined += name;
    return joined;
}

int ShowBox(HWND owner, const wchar_t* text, UINT flags) {
    return MessageBoxW(owner, text, SNAPWARD_TITLE, flags);
}

// The Windows folder or the system folder, by the function that tells it.
std::wstring SystemFolder(UINT(WINAPI* get)(LPWSTR buffer, UINT size)) {
    std::vector<wchar_t> buffer(SYSTEM_PATH_UNITS);
    UINT length = get(buffer.data(), SYSTEM_PATH_UNITS);
    if (length == 0 || length >= SYSTEM_PATH_UNITS) return {};
    return std::wstring(buffer.data(), length);
}

std::wstring ModulePath(HINSTANCE instance) {
    std::vector<wchar_t> buffer(SYSTEM_PATH_UNITS);
    DWORD length = GetModuleFileNameW(instance, buffer.data(), SYSTEM_PATH_UNITS);
    // A full buffer means the path was cut short.
    if (length == 0 || length >= SYSTEM_PATH_UNITS) return {};
    return std::wstring(buffer.data(), length);
}

bool FileExists(const std::wstring& path) {
    return PathFileExistsW(path.c_str()) != FALSE;
}

bool AllInPlace(const std::vector<TwainCopy>& copies) {
    for (const TwainCopy& copy : copies) {
        if (!FileExists(copy.destination)) return false;
    }
    return true;
}

}  // namespace

bool IsWindows64Bit() {
    // IsWow64Process2 (Windows 10 1511 and later) names the machine itself;
    // IsWow64Process answers FALSE for a 32-bit program on ARM64 Windows.
    using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2");
    auto isWow64Process2 = reinterpret_cast<IsWow64Process2Function>(reinterpret_cast<void*>(found));
    USHORT process = 0;
    USHORT native = 0;
    if (isWow64Process2 && isWow64Process2(GetCurrentProcess(), &process, &native)) {
        return native != IMAGE_FILE_MACHINE_I386 && native != IMAGE_FILE_MACHINE_UNKNOWN;
    }
    BOOL wow64 = FALSE;
    return sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
}

bool BuildTwainFolder(const std::wstring& windowsDirectory, const wchar_t* folderName,
                      std::wstring& folder) {
    if (!FitsPathBuffer(windowsDirectory)) return false;
    std::wstring built = JoinPath(windowsDirectory, folderName);
    if (!FitsPathBuffer(built)) return false;
    folder = std::move(built);
    return true;
}

bool BuildTwainDestination(const std::wstring& folder, std::wstring& destination) {
    if (!FitsPathBuffer(folder)) return false;
    std::wstring built = JoinPath(folder, TWAIN_SOURCE_FILE_NAME);
    if (!FitsPathBuffer(built)) return false;
    destination = std::move(built);
    return true;
}

bool BuildTwainSourcePath(const std::wstring& modulePath, const wchar_t* besideProgram,
                          std::wstring& source) {
    if (!FitsPathBuffer(modulePath)) return false;
    size_t lastSlash = modulePath.rfind(L'\\');
    if (lastSlash == std::wstring::npos) return false;
    std::wstring built = modulePath.substr(0, lastSlash + 1) + besideProgram;
    if (!FitsPathBuffer(built)) return false;
    source = std::move(built);
    return true;
}

bool BuildCommandProcessorPath(const std::wstring& systemDirectory, std::wstring& path) {
    if (systemDirectory.size() < 3 || systemDirectory[1] != L':' || systemDirectory[2] != L'\\') return false;
    std::wstring built = JoinPath(systemDirectory, L"cmd.exe");
    if (!FitsPathBuffer(built)) return false;
    path = std::move(built);
    return true;
}

bool PassesThroughCommandProcessor(const std::wstring& path) {
    // Between double quotes cmd.exe still expands %NAME%, and !NAME! when
    // delayed expansion is switched on in the registry; a quote would end the
    // quoted argument. Control characters could end the command itself.
    for (wchar_t c : path) {
        if (c == L'%' || c == L'!' || c == L'"' || c < L' ') return false;
    }
    return !path.empty();
}

bool BuildTwainCopies(const std::wstring& windowsDirectory, bool windows64,
                      std::vector<TwainCopy>& copies) {
    std::vector<TwainFlavour> flavours{TWAIN_32};
    if (windows64) flavours.push_back(TWAIN_64);
    std::vector<TwainCopy> built;
    for (const TwainFlavour& flavour : flavours) {
        TwainCopy copy{flavour, {}, {}, {}};
        if (!BuildTwainFolder(windowsDirectory, flavour.folderName, copy.folder) ||
            !BuildTwainDestination(copy.folder, copy.destination)) {
            return false;
        }
        built.push_back(std::move(copy));
    }
    copies = std::move(built);
    return true;
}

CommandLineResult BuildInstallCommandLine(const std::vector<TwainCopy>& copies,
                                          std::wstring& commandLine) {
    // /d: the command processor would otherwise first run the AutoRun
    // commands of the registry, the user's among them, with the rights of the
    // elevated copy.
    std::wstring built = L"/d /c ";
    for (const TwainCopy& copy : copies) {
        for (const std::wstring* path : {&copy.folder, &copy.source, &copy.destination}) {
            if (!PassesThroughCommandProcessor(*path)) return CommandLineResult::UnsafePath;
        }
        // "&" runs the next command whatever the last one did: mkdir fails
        // when the folder is there already.
        if (&copy != &copies.front()) built += L" & ";
        built += L"mkdir \"" + copy.folder + L"\" 2>nul & copy /Y \"" + copy.source + L"\" \"" +
                 copy.destination + L"\"";
    }
    if (built.size() >= TWAIN_COMMAND_UNITS) return CommandLineResult::TooLong;
    commandLine = std::move(built);
    return CommandLineResult::Built;
}

bool IsTwainSourceInstalledIn(const std::wstring& windowsDirectory, bool windows64) {
    std::vector<TwainCopy> copies;
    return BuildTwainCopies(windowsDirectory, windows64, copies) && AllInPlace(copies);
}

bool IsTwainSourceInstalled() {
    return IsTwainSourceInstalledIn(SystemFolder(GetSystemWindowsDirectoryW), IsWindows64Bit());
}

void InstallTwainSourceFrom(HWND owner, const std::wstring& windowsDirectory,
                            const std::wstring& modulePath, bool windows64) {
    std::vector<TwainCopy> needed;
    if (!BuildTwainCopies(windowsDirectory, windows64, needed)) {
        ShowBox(owner, PATH_TOO_LONG_TEXT, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    // A copy already in place is left as it is (it may be another version's,
    // which its own installer put there); only the missing ones are made.
    std::vector<TwainCopy> missing;
    for (const TwainCopy& copy : needed) {
        if (!FileExists(copy.destination)) missing.push_back(copy);
    }
    if (missing.empty()) {
        ShowBox(owner, ALREADY_INSTALLED_TEXT, MB_OK | MB_ICONINFORMATION);
        return;
    }

    for (TwainCopy& copy : missing) {
        if (!BuildTwainSourcePath(modulePath, copy.flavour.besideProgram, copy.source)) {
            ShowBox(owner, PATH_TOO_LONG_TEXT, MB_OK | MB_ICONEXCLAMATION);
            return;
        }
    }
    for (const TwainCopy& copy : missing) {
        if (!FileExists(copy.source)) {
            ShowBox(owner, SOURCE_MISSING_TEXT, MB_OK | MB_ICONEXCLAMATION);
            return;
        }
    }

    // Refused before asking: a yes that then cannot be carried out would only
    // confuse. One command for every copy, so one elevation prompt. A 32-bit
    // cmd.exe on 64-bit Windows sees System32 redirected, but twain_64 lies
    // in the Windows directory itself, which it sees as it is.
    std::wstring commandLine;
    switch (BuildInstallCommandLine(missing, commandLine)) {
        case CommandLineResult::Built:
            break;
        case CommandLineResult::UnsafePath:
            ShowBox(owner, UNSAFE_PATH_TEXT, MB_OK | MB_ICONEXCLAMATION);
            return;
        case CommandLineResult::TooLong:
            ShowBox(owner, PATH_TOO_LONG_TEXT, MB_OK | MB_ICONEXCLAMATION);
            return;
    }

    std::wstring processor;
    if (!BuildCommandProcessorPath(SystemFolder(GetSystemDirectoryW), processor)) {
        ShowBox(owner, PATH_TOO_LONG_TEXT, MB_OK | MB_ICONEXCLAMATION);
        return;
    }

    if (ShowBox(owner, CONFIRM_TEXT, MB_YESNO | MB_ICONQUESTION) != IDYES) return;

    SHELLEXECUTEINFOW launch{};
    launch.cbSize = sizeof(launch);
    launch.fMask = SEE_MASK_NOCLOSEPROCESS;
    launch.lpVerb = L"runas";
    launch.lpFile = processor.c_str();
    launch.lpParameters = commandLine.c_str();
    launch.nShow = SW_HIDE;
    BOOL launched = FALSE;
    DWORD error = ERROR_SUCCESS;
    const bool ran = RunInShellApartment([&] {
        launched = ShellExecuteExW(&launch);
        if (!launched) error = GetLastError();
    });
    if (!ran || !launched) {
        // A refused elevation prompt also ends here; the user knows already.
        if (!ran || error != ERROR_CANCELLED) ShowBox(owner, MAY_HAVE_FAILED_TEXT, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    UniqueKernelHandle process(launch.hProcess);
    if (!process) return;

    // Whether the wait ended by the copy finishing or by the time-out, the
    // file itself tells what happened.
    WaitForSingleObject(process.get(), COPY_WAIT_MS);
    process.reset();

    if (AllInPlace(needed)) {
        ShowBox(owner, SUCCESS_TEXT, MB_OK | MB_ICONINFORMATION);
    } else {
        ShowBox(owner, MAY_HAVE_FAILED_TEXT, MB_OK | MB_ICONEXCLAMATION);
    }
}

void InstallTwainSource(HWND owner, HINSTANCE instance) {
    InstallTwainSourceFrom(owner, SystemFolder(GetSystemWindowsDirectoryW), ModulePath(instance), IsWindows64Bit());
}
