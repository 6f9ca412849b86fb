#include <windows.h>

#include "settings/key_names.h"

namespace {

// GetKeyNameTextW writes into this many units, terminator included.
constexpr int KEY_NAME_UNITS = 64;

uint32_t SystemScanCodeOf(uint32_t virtualKey) {
    return ::MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
}

std::wstring SystemNameOfScanCode(uint32_t scanCode) {
    wchar_t name[KEY_NAME_UNITS] = {};
    // The scan code goes in bits 16-23; the extended-key bit (24) and the
    // "don't care" bit (25) stay clear.
    LONG keyParameter = static_cast<LONG>((scanCode & 0xFF) << 16);
    int length = ::GetKeyNameTextW(keyParameter, name, KEY_NAME_UNITS);
    if (length <= 0) return {};
    if (length > KEY_NAME_UNITS - 1) length = KEY_NAME_UNITS - 1;
    // The text ends at its first NUL whatever length was reported.
    return std::wstring(name, wcsnlen(name, static_cast<size_t>(length)));
}

constexpr KeyboardLayout SYSTEM_LAYOUT = {SystemScanCodeOf, SystemNameOfScanCode};

}  // namespace

const KeyboardLayout& SystemKeyboardLayout() {
    return SYSTEM_LAYOUT;
}

std::wstring KeyDisplayName(uint32_t virtualKey) {
    return KeyDisplayName(virtualKey, SYSTEM_LAYOUT);
}

std::wstring LayoutKeyName(uint32_t virtualKey) {
    return LayoutKeyName(virtualKey, SYSTEM_LAYOUT);
}
