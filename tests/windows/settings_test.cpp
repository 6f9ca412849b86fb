#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win_handles.h"
#include "settings/settings.h"

namespace {

// Every test works under this scratch key, never under the program's own.
constexpr const wchar_t* SCRATCH_ROOT = L"Software\\SnapwardTests";
constexpr const wchar_t* SCRATCH_KEY = L"Software\\SnapwardTests\\Quillmere\\Orvendel";

bool KeyExists(const wchar_t* path) {
    UniqueHKey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// A registry value: its type and its first `bytes` bytes of `data`. Data
// longer than `bytes` keeps a NUL from right behind it, which the registry
// would quietly store too.
struct Stored {
    const wchar_t* name;
    DWORD type;
    std::wstring data;
    DWORD bytes;
};

std::pair<DWORD, std::vector<BYTE>> Read(const wchar_t* name) {
    UniqueHKey key;
    DWORD type = REG_NONE, bytes = 4096;
    std::vector<BYTE> data(bytes);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, SCRATCH_KEY, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    if (RegQueryValueExW(key.get(), name, nullptr, &type, data.data(), &bytes) != ERROR_SUCCESS) bytes = 0;
    data.resize(bytes);
    return {type, data};
}

void ExpectSettings(const Settings& got, const Settings& want) {
    EXPECT_EQ(got.DeviceSymLink, want.DeviceSymLink);
    EXPECT_EQ(got.DeviceIndex, want.DeviceIndex);
    EXPECT_EQ(got.DeviceName, want.DeviceName);
    EXPECT_EQ(got.Keybind, want.Keybind);
}

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT); }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
        EXPECT_EQ(KeyExists(SETTINGS_KEY_PATH), realKeyExisted);
    }
    const bool realKeyExisted = KeyExists(SETTINGS_KEY_PATH);
};

}  // namespace

TEST_F(SettingsStore, SaveThenLoadGivesTheRecordBackAndALaterSaveReplacesIt) {
    ExpectSettings(LoadSettings(SCRATCH_KEY), Settings{});
    EXPECT_FALSE(KeyExists(SCRATCH_ROOT)) << "a first start leaves no trace";
    const Settings first{L"\\\\?\\usb#vid_046d&pid_0825&mi_00#6&2a3c&0&0000#{e5323777-f976-4f5b-9b55-b94699c46e44}",
                         -1, L"Cam\u00e9ra \u2713 HD", 0};
    SaveSettings(first, SCRATCH_KEY);
    ExpectSettings(LoadSettings(SCRATCH_KEY), first);
    // Strings with their terminator, numbers as 4-byte DWORDs.
    EXPECT_EQ(Read(L"DeviceSymLink").first, DWORD{REG_SZ});
    EXPECT_EQ(Read(L"DeviceName").second.size(), (first.DeviceName.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(Read(L"DeviceIndex"), std::make_pair(DWORD{REG_DWORD}, std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Read(L"Keybind"), std::make_pair(DWORD{REG_DWORD}, std::vector<BYTE>{0, 0, 0, 0}));

    const Settings second{L"", 2, L"", 0x41};
    SaveSettings(second, SCRATCH_KEY);
    ExpectSettings(LoadSettings(SCRATCH_KEY), second);
    EXPECT_EQ(Read(L"DeviceName"), std::make_pair(DWORD{REG_SZ}, std::vector<BYTE>{0, 0}));
}

// Each value holds data that would read as something other than the default
// if its type, size or terminator were ignored. Strings are read up to 2048
// bytes, as stored, up to the first NUL; an odd last byte is dropped.
TEST_F(SettingsStore, OddRegistryDataIsReadSafelyAndSparesItsNeighbours) {
    const std::wstring x1023 = std::wstring(1023, L'x') + L'\0' + L'x', y1024 = std::wstring(1024, L'y');
    const std::wstring z1025(1025, L'z'), z1024(1024, L'z');
    const struct {
        std::vector<Stored> stored;
        Settings loaded;
    } cases[] = {
        {{{L"Keybind", REG_DWORD, {0, 0}, 4}}, {L"", 0, L"", 0}},
        {{{L"DeviceSymLink", REG_BINARY, L"abc", 8}}, {}},
        {{{L"DeviceName", REG_DWORD, {5, 0}, 4}}, {}},
        {{{L"DeviceSymLink", REG_MULTI_SZ, {L"abc\0\0", 5}, 10}}, {}},
        {{{L"DeviceIndex", REG_SZ, L"12", 6}}, {}},
        {{{L"Keybind", REG_DWORD_BIG_ENDIAN, {5, 0}, 4}}, {}},
        {{{L"DeviceIndex", REG_QWORD, {5, 0, 0, 0}, 8}}, {}},
        {{{L"Keybind", REG_DWORD, {5, 0}, 2}}, {}},
        {{{L"DeviceIndex", REG_DWORD, L"", 0}}, {}},
        {{{L"DeviceSymLink", REG_SZ, x1023, 2048}}, {x1023.substr(0, 1023)}},
        {{{L"DeviceName", REG_SZ, y1024 + L'\0', 2050}}, {}},
        {{{L"DeviceSymLink", REG_SZ, z1025, 2048}}, {z1024}},
        {{{L"DeviceName", REG_EXPAND_SZ, z1025, 2052}}, {}},
        {{{L"DeviceSymLink", REG_SZ, L"abcd", 7}}, {L"abc"}},
        {{{L"DeviceName", REG_SZ, {L"ab\0cd", 6}, 12}}, {L"", 0, L"ab"}},
        {{{L"DeviceSymLink", REG_EXPAND_SZ, L"%SystemRoot%\\cam", 34}}, {L"%SystemRoot%\\cam"}},
        {{{L"DeviceName", REG_SZ, L"", 0}}, {}},
        {{{L"DeviceSymLink", REG_BINARY, L"abc", 8}, {L"Keybind", REG_SZ, L"12", 6}, {L"DeviceName", REG_SZ, L"Front", 12},
          {L"DeviceIndex", REG_DWORD, {4, 0}, 4}}, {L"", 4, L"Front"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
        UniqueHKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, SCRATCH_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        for (const Stored& value : c.stored) {
            ASSERT_EQ(RegSetValueExW(key.get(), value.name, 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                                     value.bytes), ERROR_SUCCESS);
            ASSERT_EQ(Read(value.name).second.size(), value.bytes) << "stored just as given";
        }
        ExpectSettings(LoadSettings(SCRATCH_KEY), c.loaded);
    }
}
