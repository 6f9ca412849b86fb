#include <windows.h>

#include <cwchar>

#include "platform/win_handles.h"
#include "settings/settings.h"

namespace {

// Longer values are not ours: they leave the field as it was.
constexpr DWORD STRING_BUFFER_BYTES = 2048;

// Replaces `field` with the value's text when the value is a string of at most
// STRING_BUFFER_BYTES bytes; otherwise leaves it as it was. The registry keeps
// whatever bytes a writer gave it, so the text is taken only from the bytes
// returned, up to the first NUL unit, and an odd last byte is dropped.
// REG_EXPAND_SZ is taken as stored, unexpanded.
bool ReadRegistryString(HKEY key, const wchar_t* name, std::wstring& field) {
    wchar_t buffer[STRING_BUFFER_BYTES / sizeof(wchar_t)] = {};
    DWORD type = REG_NONE;
    DWORD size = STRING_BUFFER_BYTES;
    LSTATUS status =
        ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (status != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    if (size > STRING_BUFFER_BYTES) return false;
    // Data that fills the buffer may carry no terminator at all.
    size_t units = size / sizeof(wchar_t);
    field.assign(buffer, wcsnlen(buffer, units));
    return true;
}

// Replaces `field` only with a true 4-byte REG_DWORD; a value of another type
// or size would otherwise be read as a number.
bool ReadRegistryDword(HKEY key, const wchar_t* name, uint32_t& field) {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    LSTATUS status =
        ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) return false;
    field = value;
    return true;
}

// The text's units and one NUL unit.
void WriteRegistryString(HKEY key, const wchar_t* name, const std::wstring& text) {
    DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
}

void WriteRegistryDword(HKEY key, const wchar_t* name, uint32_t number) {
    DWORD value = number;
    ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

Settings LoadSettings(const wchar_t* keyPath) {
    Settings settings;
    UniqueHKey key;
    // Opening for reading never creates the key: a first start leaves no trace.
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        key.release();  // whatever a failed call left in the slot is not ours to close
        return settings;
    }
    ReadRegistryString(key.get(), L"DeviceSymLink", settings.DeviceSymLink);
    ReadRegistryString(key.get(), L"DeviceName", settings.DeviceName);
    uint32_t deviceIndex = static_cast<uint32_t>(settings.DeviceIndex);
    if (ReadRegistryDword(key.get(), L"DeviceIndex", deviceIndex)) {
        settings.DeviceIndex = static_cast<int32_t>(deviceIndex);
    }
    ReadRegistryDword(key.get(), L"Keybind", settings.Keybind);
    return settings;
}

void SaveSettings(const Settings& settings, const wchar_t* keyPath) {
    UniqueHKey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_WRITE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        key.release();
        return;  // this save is lost; the record in memory keeps its values
    }
    // Every save writes all four values.
    WriteRegistryString(key.get(), L"DeviceSymLink", settings.DeviceSymLink);
    WriteRegistryString(key.get(), L"DeviceName", settings.DeviceName);
    WriteRegistryDword(key.get(), L"DeviceIndex", static_cast<uint32_t>(settings.DeviceIndex));
    WriteRegistryDword(key.get(), L"Keybind", settings.Keybind);
}
