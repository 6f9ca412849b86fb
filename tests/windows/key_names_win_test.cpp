#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "settings/key_names.h"

// These run against whatever layout the system has: Wine's follows the X
// keymap, which names fewer keys than Windows does (no scan code for F13-F24 or
// the numeric keypad digits, for one), so the expectations hold either way.

namespace {

std::wstring Hex(uint32_t virtualKey) {
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"VK 0x%02X", virtualKey);
    return text;
}

}  // namespace

TEST(SystemKeyNames, FixedNamesDoNotDependOnTheLayout) {
    EXPECT_EQ(KeyDisplayName(VK_RETURN), L"Enter");     // the layout says "Return" or "Enter"
    EXPECT_EQ(KeyDisplayName(VK_PRIOR), L"Page Up");
    EXPECT_EQ(KeyDisplayName(VK_NUMPAD0), L"Numpad 0");  // "Num 0", or no scan code at all
    EXPECT_EQ(KeyDisplayName(0x41), L"A");
    EXPECT_EQ(KeyDisplayName(0x30), L"0");
}

TEST(SystemKeyNames, LayoutNamesComeFromTheScanCode) {
    EXPECT_EQ(LayoutKeyName(VK_F1), L"F1");
    EXPECT_EQ(LayoutKeyName(VK_F12), L"F12");
    EXPECT_EQ(LayoutKeyName(0x41), L"A");
    // A punctuation key has no fixed name: the layout's own is shown.
    std::wstring oemName = LayoutKeyName(VK_OEM_2);
    EXPECT_FALSE(oemName.empty());
    EXPECT_EQ(KeyDisplayName(VK_OEM_2), oemName);
}

TEST(SystemKeyNames, KeysOutsideTheTableFallBackToTheLayoutThenHex) {
    for (uint32_t code : {uint32_t{VK_SEPARATOR}, uint32_t{VK_F13}, uint32_t{VK_F14}, uint32_t{VK_F20},
                          uint32_t{VK_F24}}) {
        SCOPED_TRACE(code);
        std::wstring layoutName = LayoutKeyName(code);
        if (::MapVirtualKeyW(code, MAPVK_VK_TO_VSC) == 0) EXPECT_EQ(layoutName, L"");
        EXPECT_EQ(KeyDisplayName(code), layoutName.empty() ? Hex(code) : layoutName);
    }
    // Reserved and unassigned codes have no scan code in any layout.
    for (uint32_t code : {0x07u, 0x0Au, 0xE8u}) {
        ASSERT_EQ(::MapVirtualKeyW(code, MAPVK_VK_TO_VSC), 0u) << code;
        EXPECT_EQ(LayoutKeyName(code), L"");
    }
    EXPECT_EQ(KeyDisplayName(0x07), L"VK 0x07");
    EXPECT_EQ(KeyDisplayName(0x0A), L"VK 0x0A");
    EXPECT_EQ(KeyDisplayName(0xE8), L"VK 0xE8");
}
