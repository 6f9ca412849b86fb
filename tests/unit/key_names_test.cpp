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
    uint32_t lastScanCodeNamed = 0;
};
FakeLayoutState fake;

uint32_t FakeScanCodeOf(uint32_t virtualKey) {
    ++fake.scanQueries;
    auto found = fake.scanCodes.find(virtualKey);
    return found == fake.scanCodes.end() ? 0 : found->second;
}

std::wstring FakeNameOfScanCode(uint32_t scanCode) {
    ++fake.nameQueries;
    fake.lastScanCodeNamed = scanCode;
    auto found = fake.names.find(scanCode);
    return found == fake.names.end() ? std::wstring() : found->second;
}

constexpr KeyboardLayout FAKE_LAYOUT = {FakeScanCodeOf, FakeNameOfScanCode};

class KeyNames : public ::testing::Test {
protected:
    void SetUp() override { fake = {}; }

    // Gives every code from 1 to 0xFF a scan code and the name "layout <code>".
    static void NameEveryKey() {
        for (uint32_t code = 1; code <= 0xFF; ++code) {
            fake.scanCodes[code] = code + 0x100;
            fake.names[code + 0x100] = L"layout " + std::to_wstring(code);
        }
    }
};

TEST_F(KeyNames, FixedNamesWinOverTheLayout) {
    NameEveryKey();
    EXPECT_EQ(KeyDisplayName(0, FAKE_LAYOUT), L"(none)");
    EXPECT_EQ(KeyDisplayName(0x70, FAKE_LAYOUT), L"F1");
    EXPECT_EQ(KeyDisplayName(0x79, FAKE_LAYOUT), L"F10");
    EXPECT_EQ(KeyDisplayName(0x21, FAKE_LAYOUT), L"Page Up");
    EXPECT_EQ(KeyDisplayName(0x60, FAKE_LAYOUT), L"Numpad 0");
    EXPECT_EQ(KeyDisplayName(0x6F, FAKE_LAYOUT), L"Numpad /");
    EXPECT_EQ(KeyDisplayName(0x41, FAKE_LAYOUT), L"A");
    EXPECT_EQ(KeyDisplayName(0x5A, FAKE_LAYOUT), L"Z");
    EXPECT_EQ(KeyDisplayName(0x30, FAKE_LAYOUT), L"0");
    EXPECT_EQ(KeyDisplayName(0x39, FAKE_LAYOUT), L"9");
}

// Exactly the 41 table codes, the 26 letters and the 10 digits are named
// without the layout; every other code asks it.
TEST_F(KeyNames, OnlyTableLettersAndDigitsBypassTheLayout) {
    NameEveryKey();
    int bypassed = 0;
    for (uint32_t code = 1; code <= 0xFF; ++code) {
        int before = fake.scanQueries;
        std::wstring name = KeyDisplayName(code, FAKE_LAYOUT);
        bool askedLayout = fake.scanQueries != before;
        EXPECT_EQ(askedLayout, name == L"layout " + std::to_wstring(code)) << code;
        if (!askedLayout) ++bypassed;
    }
    EXPECT_EQ(bypassed, 41 + 26 + 10);
    // Neighbours of the fixed ranges and the codes the table leaves out.
    for (uint32_t code : {0x2Fu, 0x3Au, 0x40u, 0x5Bu, 0x6Cu, 0x7Cu, 0x80u, 0x87u}) {
        EXPECT_EQ(KeyDisplayName(code, FAKE_LAYOUT), L"layout " + std::to_wstring(code)) << code;
    }
}

TEST_F(KeyNames, LayoutNameThenHexForKeysWithoutFixedName) {
    fake.scanCodes = {{0x6C, 0x53}, {0x7C, 0x64}, {0x87, 0x76}, {0x90, 0x45}};
    fake.names = {{0x53, L"Num Sep"}, {0x64, L"F13"}, {0x76, L"F24"}};

    EXPECT_EQ(KeyDisplayName(0x6C, FAKE_LAYOUT), L"Num Sep");
    EXPECT_EQ(fake.lastScanCodeNamed, 0x53u);
    EXPECT_EQ(KeyDisplayName(0x7C, FAKE_LAYOUT), L"F13");
    EXPECT_EQ(KeyDisplayName(0x87, FAKE_LAYOUT), L"F24");

    // A scan code the layout cannot name.
    EXPECT_EQ(KeyDisplayName(0x90, FAKE_LAYOUT), L"VK 0x90");
    // No scan code at all: the name is not asked for.
    int namesBefore = fake.nameQueries;
    EXPECT_EQ(KeyDisplayName(0x7D, FAKE_LAYOUT), L"VK 0x7D");
    EXPECT_EQ(fake.nameQueries, namesBefore);
}

TEST_F(KeyNames, HexFallbackIsUpperCaseWithAtLeastTwoDigits) {
    EXPECT_EQ(KeyDisplayName(0x07, FAKE_LAYOUT), L"VK 0x07");
    EXPECT_EQ(KeyDisplayName(0x0F, FAKE_LAYOUT), L"VK 0x0F");
    EXPECT_EQ(KeyDisplayName(0xE9, FAKE_LAYOUT), L"VK 0xE9");
    EXPECT_EQ(KeyDisplayName(0xFF, FAKE_LAYOUT), L"VK 0xFF");
    EXPECT_EQ(KeyDisplayName(0x1AB, FAKE_LAYOUT), L"VK 0x1AB");
    EXPECT_EQ(KeyDisplayName(0xFFFFFFFFu, FAKE_LAYOUT), L"VK 0xFFFFFFFF");
}

TEST_F(KeyNames, LayoutKeyNameAsksTheLayoutEvenForFixedNames) {
    fake.scanCodes = {{0x79, 0x44}, {0x41, 0x1E}, {0x7C, 0x64}};
    fake.names = {{0x44, L"F10 key"}, {0x1E, L"a"}};

    EXPECT_EQ(LayoutKeyName(0x79, FAKE_LAYOUT), L"F10 key");
    EXPECT_EQ(LayoutKeyName(0x41, FAKE_LAYOUT), L"a");
    EXPECT_EQ(LayoutKeyName(0x7C, FAKE_LAYOUT), L"");  // scan code, no name
    EXPECT_EQ(LayoutKeyName(0x6C, FAKE_LAYOUT), L"");  // no scan code
}

}  // namespace
