#include <windows.h>

#include "platform/win_handles.h"
#include "settings/registry_text.h"
#include "settings/settings.h"

namespace {

static_assert(REGISTRY_STRING == REG_SZ && REGISTRY_EXPANDABLE_STRING == REG_EXPAND_SZ);
static_assert(sizeof(wchar_t) == sizeof(char16_t));

// Replaces `field` with the value's text when DecodeRegistryText takes it;
// otherwise leaves it as it was.
bool ReadRegistryString(HKEY key, const wchar_t* name, std::wstring& field) {
    uint8_t buffer[REGISTRY_TEXT_MAX_BYTES] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof buffer;
    // A longer value fails here with ERROR_MORE_DATA.
    LSTATUS status = ::RegQueryValueExW(key, name, nullptr, &type, buffer, &size);
    if (status != ERROR_SUCCESS) return false;
    const std::optional<std::u16string> text = DecodeRegistryText(type, buffer, size);
    if (!text) return false;
    field.assign(text->begin(), text->end());
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
    ReadRegistryString(key.get(), L"FrameSize", settings.FrameSize);
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
    // Every save writes every value.
    WriteRegistryString(key.get(), L"DeviceSymLink", settings.DeviceSymLink);
    WriteRegistryString(key.get(), L"DeviceName", settings.DeviceName);
    WriteRegistryDword(key.get(), L"DeviceIndex", static_cast<uint32_t>(settings.DeviceIndex));
    WriteRegistryDword(key.get(), L"Keybind", settings.Keybind);
    WriteRegistryString(key.get(), L"FrameSize", settings.FrameSize);
}
