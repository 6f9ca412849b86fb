#pragma once
// What the whole product shares, whichever part shows it: the program, its
// dialog and the TWAIN data source. Low in the layout, so that nothing low
// has to reach into the tray program for it; the version is generated beside
// it from the project version (snapward_version.h).

inline constexpr wchar_t SNAPWARD_TITLE[] = L"Snapward";  // balloon titles, window and message box captions
inline constexpr wchar_t SUPPORT_URL[] = L"https://quillmere.example/support";
