#pragma once
// The persisted settings and their registry store.

#include <cstdint>
#include <string>

struct Settings {
    std::wstring DeviceSymLink;
    int32_t DeviceIndex = 0;
    std::wstring DeviceName;
    uint32_t Keybind = 0x79;  // VK_F10; 0 = no capture key
    // The picture size chosen for the saved camera, as stored ("1920x1080");
    // empty for the camera's default. Kept as text so that what the registry
    // holds is written back unchanged; ParseFrameSize reads it.
    std::wstring FrameSize;
};

// Under HKEY_CURRENT_USER. Tests pass a scratch key path instead.
inline constexpr const wchar_t* SETTINGS_KEY_PATH = L"Software\\Quillmere\\Orvendel";

Settings LoadSettings(const wchar_t* keyPath = SETTINGS_KEY_PATH);
void SaveSettings(const Settings& settings, const wchar_t* keyPath = SETTINGS_KEY_PATH);
