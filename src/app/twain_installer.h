#pragma once
// Copies the companion TWAIN data source into the Windows TWAIN folder.

#include <windows.h>

#include <cstddef>
#include <string>

// The destination exists: the tray menu shows the source as installed.
bool IsTwainSourceInstalled();

// Asks, copies through an elevated cmd.exe, and tells the outcome in message
// boxes owned by `owner`. `instance` locates the executable's folder.
void InstallTwainSource(HWND owner, HINSTANCE instance);

// The pieces below take the Windows directory and the executable's path as
// arguments, so that tests can point them at scratch folders.

// Every path fits in this many UTF-16 units, terminator included; a builder
// that cannot make a path that fits fails rather than truncate it.
constexpr size_t TWAIN_PATH_UNITS = 260;
constexpr size_t TWAIN_COMMAND_UNITS = 1040;  // the elevated command line, likewise

inline constexpr wchar_t TWAIN_SOURCE_FILE_NAME[] = L"Orvendel.ds";

// "<windows>\twain_32".
bool BuildTwainFolder(const std::wstring& windowsDirectory, std::wstring& folder);
// "<folder>\Orvendel.ds".
bool BuildTwainDestination(const std::wstring& folder, std::wstring& destination);
// The executable's path with its file name replaced by "Orvendel.ds".
bool BuildTwainSourcePath(const std::wstring& modulePath, std::wstring& source);

// True when cmd.exe passes `path`, written between double quotes, on to the
// command unchanged.
bool PassesThroughCommandProcessor(const std::wstring& path);

enum class CommandLineResult { Built, UnsafePath, TooLong };

// `/c mkdir "<folder>" 2>nul & copy /Y "<source>" "<destination>"`, or the
// reason it cannot be handed to cmd.exe.
CommandLineResult BuildInstallCommandLine(const std::wstring& folder, const std::wstring& source,
                                          const std::wstring& destination,
                                          std::wstring& commandLine);

bool IsTwainSourceInstalledIn(const std::wstring& windowsDirectory);
void InstallTwainSourceFrom(HWND owner, const std::wstring& windowsDirectory,
                            const std::wstring& modulePath);
