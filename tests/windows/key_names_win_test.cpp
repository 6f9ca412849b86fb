#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "settings/key_names.h"

// Against whatever layout the system has: Wine's follows the X keymap, which
// names fewer keys than Windows does, so the expectations hold either way.
TEST(SystemKeyNames, FixedNamesThenTheLayoutThenHex) {
    EXPECT_EQ(KeyDisplayName(VK_RETURN), L"Enter");      // the layout says "Return" or "Enter"
    EXPECT_EQ(KeyDisplayName(VK_NUMPAD0), L"Numpad 0");  // "Num 0", or no scan code at all
    EXPECT_EQ(LayoutKeyName(VK_F12), L"F12");
    EXPECT_EQ(LayoutKeyName(0x41), L"A");
    // A punctuation key has no fixed name: the layout's own is shown.
    EXPECT_FALSE(LayoutKeyName(VK_OEM_2).empty());
    EXPECT_EQ(KeyDisplayName(VK_OEM_2), LayoutKeyName(VK_OEM_2));
    // 0x07 is reserved and unassigned: no scan code in any layout.
    EXPECT_EQ(LayoutKeyName(0x07), L"");
    EXPECT_EQ(KeyDisplayName(0x07), L"VK 0x07");
}
