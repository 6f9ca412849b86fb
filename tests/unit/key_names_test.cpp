#include "settings/key_names.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// A keyboard layout from two tables, counting how often it is asked.
struct FakeLayoutState {
    std::map<uint32_t, uint32_t> scanCodes;
    std::map<uint32_t, std::wstring> names;
    int scanQueries = 0, nameQueries = 0;
} fake;

constexpr KeyboardLayout FAKE_LAYOUT = {
    [](uint32_t key) -> uint32_t { return ++fake.scanQueries, fake.scanCodes.count(key) ? fake.scanCodes[key] : 0; },
    [](uint32_t scan) { return ++fake.nameQueries, fake.names.count(scan) ? fake.names[scan] : std::wstring(); }};

// Fixed names win over the layout; the neighbours of the letter and digit ranges and the codes the table leaves out
// ask the layout once each, else the code in upper-case hexadecimal (0x90: a scan code without a name; 0x07 and codes
// past 0xFF: no scan code, so no name is asked for). LayoutKeyName gives the layout's own name, fixed names or not.
TEST(KeyNames, FixedNamesLettersAndDigitsBypassTheLayoutOthersTakeItsNameElseHex) {
    for (uint32_t code = 1; code <= 0xFF; ++code) {
        if (code != 0x07) fake.scanCodes[code] = code + 0x100;
        if (code != 0x90) fake.names[code + 0x100] = L"layout " + std::to_wstring(code);
    }
    const std::pair<uint32_t, std::wstring> expected[] = {
        {0, L"(none)"}, {0x79, L"F10"}, {0x41, L"A"}, {0x5A, L"Z"}, {0x30, L"0"}, {0x39, L"9"}, {0x2F, L"layout 47"},
        {0x3A, L"layout 58"}, {0x40, L"layout 64"}, {0x5B, L"layout 91"}, {0x6C, L"layout 108"}, {0x87, L"layout 135"},
        {0x90, L"VK 0x90"}, {0x07, L"VK 0x07"}, {0x1AB, L"VK 0x1AB"}, {0xFFFFFFFF, L"VK 0xFFFFFFFF"}};
    for (const auto& [code, name] : expected) EXPECT_EQ(KeyDisplayName(code, FAKE_LAYOUT), name) << code;
    EXPECT_TRUE(fake.scanQueries == 10 && fake.nameQueries == 7) << fake.scanQueries << ", " << fake.nameQueries;
    for (auto [code, name] : {std::pair{0x79u, L"layout 121"}, {0x41u, L"layout 65"}, {0x90u, L""}, {0x07u, L""}})
        EXPECT_EQ(LayoutKeyName(code, FAKE_LAYOUT), name);
}

}  // namespace
