#include <gtest/gtest.h>

#include <map>
#include <string>

#include "settings/key_names.h"

namespace {

// A keyboard layout from two tables, counting how often it is asked.
struct FakeLayoutState {
    std::map<uint32_t, uint32_t> scanCodes;
    std::map<uint32_t, std::wstring> names;
    int scanQueries = 0;
    int nameQueries = 0;
} fake;

constexpr KeyboardLayout FAKE_LAYOUT = {
    [](uint32_t virtualKey) -> uint32_t {
        ++fake.scanQueries;
        auto found = fake.scanCodes.find(virtualKey);
        return found == fake.scanCodes.end() ? 0 : found->second;
    },
    [](uint32_t scanCode) -> std::wstring {
        ++fake.nameQueries;
        auto found = fake.names.find(scanCode);
        return found == fake.names.end() ? std::wstring() : found->second;
    }};

class KeyNames : public ::testing::Test {
protected:
    void SetUp() override { fake = {}; }
};

// Exactly the 41 fixed names, the 26 letters and the 10 digits are named
// without the layout, whatever it says; every other code asks it.
TEST_F(KeyNames, FixedNamesLettersAndDigitsAloneBypassTheLayout) {
    for (uint32_t code = 1; code <= 0xFF; ++code) {
        fake.scanCodes[code] = code + 0x100;
        fake.names[code + 0x100] = L"layout " + std::to_wstring(code);
    }
    int bypassed = 0;
    for (uint32_t code = 1; code <= 0xFF; ++code) {
        const int before = fake.scanQueries;
        const std::wstring name = KeyDisplayName(code, FAKE_LAYOUT);
        const bool askedLayout = fake.scanQueries != before;
        EXPECT_EQ(askedLayout, name == L"layout " + std::to_wstring(code)) << code;
        if (!askedLayout) ++bypassed;
    }
    EXPECT_EQ(bypassed, 41 + 26 + 10);
    EXPECT_EQ(KeyDisplayName(0, FAKE_LAYOUT), L"(none)");
    EXPECT_EQ(KeyDisplayName(0x79, FAKE_LAYOUT), L"F10");
    EXPECT_EQ(KeyDisplayName(0x21, FAKE_LAYOUT), L"Page Up");
    EXPECT_EQ(KeyDisplayName(0x6F, FAKE_LAYOUT), L"Numpad /");
    EXPECT_EQ(KeyDisplayName(0x41, FAKE_LAYOUT), L"A");
    EXPECT_EQ(KeyDisplayName(0x39, FAKE_LAYOUT), L"9");
}

TEST_F(KeyNames, LayoutNameThenUpperCaseHexForKeysWithoutFixedName) {
    fake.scanCodes = {{0x6C, 0x53}, {0x90, 0x45}, {0x79, 0x44}, {0x41, 0x1E}};
    fake.names = {{0x53, L"Num Sep"}, {0x44, L"F10 key"}, {0x1E, L"a"}};
    EXPECT_EQ(KeyDisplayName(0x6C, FAKE_LAYOUT), L"Num Sep");
    EXPECT_EQ(KeyDisplayName(0x90, FAKE_LAYOUT), L"VK 0x90");  // a scan code without a name
    const int namesBefore = fake.nameQueries;
    EXPECT_EQ(KeyDisplayName(0x07, FAKE_LAYOUT), L"VK 0x07");  // no scan code: no name asked for
    EXPECT_EQ(fake.nameQueries, namesBefore);
    EXPECT_EQ(KeyDisplayName(0xE9, FAKE_LAYOUT), L"VK 0xE9");
    EXPECT_EQ(KeyDisplayName(0x1AB, FAKE_LAYOUT), L"VK 0x1AB");
    EXPECT_EQ(KeyDisplayName(0xFFFFFFFFu, FAKE_LAYOUT), L"VK 0xFFFFFFFF");

    // The layout's own name for a key alone, fixed names or not.
    EXPECT_EQ(LayoutKeyName(0x79, FAKE_LAYOUT), L"F10 key");
    EXPECT_EQ(LayoutKeyName(0x41, FAKE_LAYOUT), L"a");
    EXPECT_EQ(LayoutKeyName(0x90, FAKE_LAYOUT), L"");
    EXPECT_EQ(LayoutKeyName(0x7D, FAKE_LAYOUT), L"");
}

}  // namespace
