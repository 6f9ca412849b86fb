#include "settings/key_names.h"

#include <gtest/gtest.h>

// Every code up to 0xFF but 0x07 has a scan code; every scan code but 0x90's has a name, even 0, which means none.
constexpr KeyboardLayout FAKE_LAYOUT = {
    [](uint32_t key) -> uint32_t { return key <= 0xFF && key != 0x07 ? key + 0x100 : 0; },
    [](uint32_t scan) { return scan == 0x190 ? std::wstring() : L"layout " + std::to_wstring(int(scan) - 0x100); }};

// Fixed names win over the layout; the neighbours of the letter and digit ranges and the codes the table leaves out
// take the layout's name, else the code in upper-case hexadecimal (0x90: a scan code without a name; 0x07 and codes
// past 0xFF: no scan code, so no name is asked for). LayoutKeyName gives the layout's own name, fixed names or not.
TEST(KeyNames, FixedNamesLettersAndDigitsBypassTheLayoutOthersTakeItsNameElseHex) {
    const std::pair<uint32_t, std::wstring> expected[] = {
        {0, L"(none)"}, {0x79, L"F10"}, {0x41, L"A"}, {0x5A, L"Z"}, {0x30, L"0"}, {0x39, L"9"}, {0x2F, L"layout 47"},
        {0x3A, L"layout 58"}, {0x40, L"layout 64"}, {0x5B, L"layout 91"}, {0x6C, L"layout 108"}, {0x87, L"layout 135"},
        {0x90, L"VK 0x90"}, {0x07, L"VK 0x07"}, {0x1AB, L"VK 0x1AB"}, {0xFFFFFFFF, L"VK 0xFFFFFFFF"}};
    for (const auto& [code, name] : expected) EXPECT_EQ(KeyDisplayName(code, FAKE_LAYOUT), name) << code;
    EXPECT_TRUE(LayoutKeyName(0x79, FAKE_LAYOUT) == L"layout 121" && LayoutKeyName(0x07, FAKE_LAYOUT).empty());
}
