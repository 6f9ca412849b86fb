#include <windows.h>

#include <algorithm>
#include <iterator>

#include "settings/key_names.h"

namespace {

// GetKeyNameTextW writes into this many units, terminator included.
constexpr int KEY_NAME_UNITS = 64;

// The prefix bytes a scan code of MAPVK_VK_TO_VSC_EX carries in its second byte.
constexpr uint32_t EXTENDED_PREFIX = 0xE0;
constexpr uint32_t PAUSE_PREFIX = 0xE1;
// Pause sends E1 1D 45; the layout names it by 45 without the extended bit
// (45 with it is Num Lock). Print Screen sends E0 37 (alone, 54: Sys Req).
constexpr uint32_t PAUSE_SCAN_CODE = 0x45;
constexpr uint32_t PRINT_SCREEN_SCAN_CODE = 0xE037;
// Bits of GetKeyNameTextW's key parameter: the scan code, the extended key.
constexpr int SCAN_CODE_SHIFT = 16;
constexpr LONG EXTENDED_KEY_BIT = 1L << 24;

// Keys that send the extended prefix and share their scan code with another
// key: the editing and arrow keys with the numeric keypad's, keypad / and
// Enter, Num Lock with Pause, the right-hand modifiers with the left. Windows
// says so in MAPVK_VK_TO_VSC_EX's result; Wine (8.0) does not for most of
// them, so they are known here too.
constexpr UINT EXTENDED_KEYS[] = {VK_INSERT, VK_DELETE, VK_HOME,   VK_END,     VK_PRIOR, VK_NEXT,
                                  VK_LEFT,   VK_RIGHT,  VK_UP,     VK_DOWN,    VK_DIVIDE, VK_NUMLOCK,
                                  VK_RCONTROL, VK_RMENU, VK_LWIN,  VK_RWIN,    VK_APPS};

// With the extended prefix (0xE0 in the second byte): without it Home, Insert,
// the arrows and the rest would be named after their keypad twins.
uint32_t SystemScanCodeOf(uint32_t virtualKey) {
    if (virtualKey == VK_PAUSE) return PAUSE_SCAN_CODE;
    if (virtualKey == VK_SNAPSHOT) return PRINT_SCREEN_SCAN_CODE;
    const uint32_t code = ::MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC_EX);
    if (code == 0 || (code >> 8) == PAUSE_PREFIX) return 0;
    const bool extended = std::find(std::begin(EXTENDED_KEYS), std::end(EXTENDED_KEYS), virtualKey) !=
                          std::end(EXTENDED_KEYS);
    return extended ? ((code & 0xFF) | (EXTENDED_PREFIX << 8)) : code;
}

std::wstring SystemNameOfScanCode(uint32_t scanCode) {
    wchar_t name[KEY_NAME_UNITS] = {};
    // The scan code goes in bits 16-23, its extended prefix becomes bit 24; the
    // "don't care" bit (25) stays clear.
    LONG keyParameter = static_cast<LONG>((scanCode & 0xFF) << SCAN_CODE_SHIFT);
    if ((scanCode >> 8) == EXTENDED_PREFIX) keyParameter |= EXTENDED_KEY_BIT;
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
