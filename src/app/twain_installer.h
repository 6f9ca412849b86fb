#pragma once
// Copies the companion TWAIN data sources into the Windows TWAIN folders: the
// 32-bit one into twain_32 always, the 64-bit one into twain_64 on 64-bit
// Windows, where 64-bit scanning applications look for theirs.

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

// Every source this system needs is in place: the tray menu shows the source
// as installed.
bool IsTwainSourceInstalled();

// Asks, copies through one elevated cmd.exe, and tells the outcome in message
// boxes owned by `owner`. `instance` locates the executable's folder.
void InstallTwainSource(HWND owner, HINSTANCE instance);

// Whether Windows itself is 64-bit, whatever this program's own bitness.
bool IsWindows64Bit();

// The pieces below take the Windows directory, the executable's path and the
// system's bitness as arguments, so that tests can point them at scratch
// folders.

// Every path fits in this many UTF-16 units, terminator included; a builder
// that cannot make a path that fits fails rather than truncate it.
constexpr size_t TWAIN_PATH_UNITS = 260;
constexpr size_t TWAIN_COMMAND_UNITS = 1040;  // the elevated command line, likewise

inline constexpr wchar_t TWAIN_SOURCE_FILE_NAME[] = L"Orvendel.ds";

// One flavour of the source: the Windows directory's folder that hosts of its
// bitness search, and where the program's installer put it beside the
// executable.
struct TwainFlavour {
    const wchar_t* folderName;
    const wchar_t* besideProgram;
};
inline constexpr TwainFlavour TWAIN_32 = {L"twain_32", L"Orvendel.ds"};
inline constexpr TwainFlavour TWAIN_64 = {L"twain_64", L"x64\\Orvendel.ds"};

// "<windows>\<folderName>".
bool BuildTwainFolder(const std::wstring& windowsDirectory, const wchar_t* folderName,
                      std::wstring& folder);
// "<folder>\Orvendel.ds".
bool BuildTwainDestination(const std::wstring& folder, std::wstring& destination);
// The executable's path with its file name replaced by `besideProgram`.
bool BuildTwainSourcePath(const std::wstring& modulePath, const wchar_t* besideProgram,
                          std::wstring& source);

// One copy for the elevated command.
struct TwainCopy {
    TwainFlavour flavour;
    std::wstring folder;
    std::wstring destination;
    std::wstring source;
};

// The copies this system needs, with folders and destinations (sources are
// built later, only for the copies still missing). False when a path would
// not fit.
bool BuildTwainCopies(const std::wstring& windowsDirectory, bool windows64,
                      std::vector<TwainCopy>& copies);

// "<system folder>\cmd.exe": the elevated command processor is named by its
// full path, never found through the search path, where a cmd.exe in the
// current or the program's folder would come first. False for a folder that is
// no absolute drive path, or a path that would not fit.
bool BuildCommandProcessorPath(const std::wstring& systemDirectory, std::wstring& path);

// True when cmd.exe passes `path`, written between double quotes, on to the
// command unchanged.
bool PassesThroughCommandProcessor(const std::wstring& path);

enum class CommandLineResult { Built, UnsafePath, TooLong };

// `/d /c mkdir "<folder>" 2>nul & copy /Y "<source>" "<destination>"`, the
// mkdir-and-copy pair repeated after " & " for each further copy, or the
// reason it cannot be handed to cmd.exe.
CommandLineResult BuildInstallCommandLine(const std::vector<TwainCopy>& copies,
                                          std::wstring& commandLine);

bool IsTwainSourceInstalledIn(const std::wstring& windowsDirectory, bool windows64);
void InstallTwainSourceFrom(HWND owner, const std::wstring& windowsDirectory,
                            const std::wstring& modulePath, bool windows64);
