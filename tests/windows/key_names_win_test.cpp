#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "settings/key_names.h"

// Against whatever layout the system has: Wine's follows the X keymap, which
// names fewer keys than Windows does (no scan code for F13-F24 or the keypad
// digits, for one), so the expectations hold either way.
TEST(SystemKeyNames, FixedNamesThenTheLayoutThenHex) {
    EXPECT_EQ(KeyDisplayName(VK_RETURN), L"Enter");      // the layout says "Return" or "Enter"
    EXPECT_EQ(KeyDisplayName(VK_NUMPAD0), L"Numpad 0");  // "Num 0", or no scan code at all
    EXPECT_EQ(LayoutKeyName(VK_F12), L"F12");
    EXPECT_EQ(LayoutKeyName(0x41), L"A");
    // A punctuation key has no fixed name: the layout's own is shown.
    EXPECT_FALSE(LayoutKeyName(VK_OEM_2).empty());
    EXPECT_EQ(KeyDisplayName(VK_OEM_2), LayoutKeyName(VK_OEM_2));
    // 0x07 and 0xE8 are reserved and unassigned: no scan code in any layout.
    for (uint32_t code : {uint32_t{VK_SEPARATOR}, uint32_t{VK_F13}, uint32_t{VK_F24}, 0x07u, 0xE8u}) {
        const std::wstring layoutName = LayoutKeyName(code);
        if (MapVirtualKeyW(code, MAPVK_VK_TO_VSC) == 0) EXPECT_EQ(layoutName, L"") << code;
        wchar_t hex[16] = {};
        std::swprintf(hex, 16, L"VK 0x%02X", code);
        EXPECT_EQ(KeyDisplayName(code), layoutName.empty() ? std::wstring(hex) : layoutName) << code;
    }
    EXPECT_EQ(KeyDisplayName(0x07), L"VK 0x07");
}
