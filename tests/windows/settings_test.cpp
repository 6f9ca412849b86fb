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
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void ExpectSettings(const Settings& s, const std::wstring& link, int32_t index, const std::wstring& name,
                    uint32_t keybind) {
    EXPECT_EQ(s.DeviceSymLink, link);
    EXPECT_EQ(s.DeviceIndex, index);
    EXPECT_EQ(s.DeviceName, name);
    EXPECT_EQ(s.Keybind, keybind);
}

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        realKeyExisted = KeyExists(SETTINGS_KEY_PATH);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
        EXPECT_EQ(KeyExists(SETTINGS_KEY_PATH), realKeyExisted);
    }

    static void Write(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        UniqueHKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, SCRATCH_KEY, 0, nullptr, 0, KEY_WRITE, nullptr,
                                    key.put(), nullptr), ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes),
                  ERROR_SUCCESS);
    }

    // The type and bytes stored under `name`.
    static std::pair<DWORD, std::vector<BYTE>> Read(const wchar_t* name) {
        UniqueHKey key;
        DWORD type = REG_NONE, bytes = 4096;
        std::vector<BYTE> data(bytes);
        EXPECT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, SCRATCH_KEY, 0, KEY_READ, key.put()), ERROR_SUCCESS);
        if (::RegQueryValueExW(key.get(), name, nullptr, &type, data.data(), &bytes) != ERROR_SUCCESS) bytes = 0;
        data.resize(bytes);
        return {type, data};
    }

    bool realKeyExisted = false;
};

TEST_F(SettingsStore, FirstStartGivesDefaultsAndCreatesNoKey) {
    ExpectSettings(LoadSettings(SCRATCH_KEY), L"", 0, L"", 0x79);
    EXPECT_FALSE(KeyExists(SCRATCH_ROOT));

    // Keybind 0 alone: no capture key, everything else as on a first start.
    const DWORD zero = 0;
    Write(L"Keybind", REG_DWORD, &zero, 4);
    ExpectSettings(LoadSettings(SCRATCH_KEY), L"", 0, L"", 0);
}

TEST_F(SettingsStore, SaveThenLoadGivesTheRecordBack) {
    Settings first;
    first.DeviceSymLink = L"\\\\?\\usb#vid_046d&pid_0825&mi_00#6&2a3c&0&0000#{e5323777-f976-4f5b-9b55-b94699c46e44}";
    first.DeviceIndex = -1;
    first.DeviceName = L"Cam\u00e9ra \u2713 HD";
    first.Keybind = 0;
    SaveSettings(first, SCRATCH_KEY);
    ExpectSettings(LoadSettings(SCRATCH_KEY), first.DeviceSymLink, -1, first.DeviceName, 0);
    // Strings with their terminator, numbers as 4-byte DWORDs.
    EXPECT_EQ(Read(L"DeviceSymLink").first, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(Read(L"DeviceName").second.size(), (first.DeviceName.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(Read(L"DeviceIndex"), std::make_pair(DWORD{REG_DWORD}, std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Read(L"Keybind"), std::make_pair(DWORD{REG_DWORD}, std::vector<BYTE>{0, 0, 0, 0}));

    // A later save replaces every value, emptied strings included.
    Settings second;
    second.DeviceIndex = 2;
    second.Keybind = 0x41;
    SaveSettings(second, SCRATCH_KEY);
    ExpectSettings(LoadSettings(SCRATCH_KEY), L"", 2, L"", 0x41);
    EXPECT_EQ(Read(L"DeviceName"), std::make_pair(DWORD{REG_SZ}, std::vector<BYTE>{0, 0}));
}

// Each value holds data that would read as something other than the default
// if its type, size or terminator were ignored. Strings are read up to 2048
// bytes, as stored, up to the first NUL; an odd last byte is dropped.
TEST_F(SettingsStore, OddRegistryDataIsReadSafely) {
    const DWORD five = 5;
    const BYTE bytesFive[4] = {5, 0, 0, 0};
    const unsigned long long wide = 5;
    const std::wstring x1023 = std::wstring(1023, L'x') + L'\0', y1024 = std::wstring(1024, L'y') + L'\0';
    // No NUL right behind the data either, or the registry quietly stores it too.
    const std::wstring z1025(1025, L'z'), z1024(1024, L'z');
    const struct {
        const wchar_t* name;
        DWORD type;
        const void* data;
        DWORD bytes;
        const wchar_t* text;  // what a string value reads as
    } cases[] = {
        {L"DeviceSymLink", REG_BINARY, L"abc", 8, L""},
        {L"DeviceName", REG_DWORD, &five, 4, L""},
        {L"DeviceSymLink", REG_MULTI_SZ, L"abc\0", 10, L""},
        {L"DeviceIndex", REG_SZ, L"12", 4},
        {L"Keybind", REG_DWORD_BIG_ENDIAN, bytesFive, 4},
        {L"DeviceIndex", REG_QWORD, &wide, 8},
        {L"Keybind", REG_DWORD, bytesFive, 2},
        {L"DeviceIndex", REG_DWORD, nullptr, 0},
        {L"DeviceSymLink", REG_SZ, x1023.data(), 2048, x1023.c_str()},
        {L"DeviceName", REG_SZ, y1024.data(), 2050, L""},
        {L"DeviceSymLink", REG_SZ, z1025.data(), 2048, z1024.c_str()},
        {L"DeviceName", REG_EXPAND_SZ, z1025.data(), 2050, L""},
        {L"DeviceSymLink", REG_SZ, L"abcd", 7, L"abc"},
        {L"DeviceName", REG_SZ, L"ab\0cd", 12, L"ab"},
        {L"DeviceSymLink", REG_EXPAND_SZ, L"%SystemRoot%\\cam", 32, L"%SystemRoot%\\cam"},
        {L"DeviceName", REG_SZ, nullptr, 0, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << &c - cases);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
        Write(c.name, c.type, c.data, c.bytes);
        // The unterminated texts must reach the registry just as they are.
        if (c.bytes == 2048 || c.bytes == 7) ASSERT_EQ(Read(c.name).second.size(), c.bytes);
        const std::wstring name = c.name;
        ExpectSettings(LoadSettings(SCRATCH_KEY), name == L"DeviceSymLink" ? c.text : L"", 0,
                       name == L"DeviceName" ? c.text : L"", 0x79);
    }

    // A bad value does not spoil its good neighbours.
    ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
    const DWORD four = 4;
    Write(L"DeviceSymLink", REG_BINARY, L"abc", 8);
    Write(L"Keybind", REG_SZ, L"12", 4);
    Write(L"DeviceName", REG_SZ, L"Front", 12);
    Write(L"DeviceIndex", REG_DWORD, &four, 4);
    ExpectSettings(LoadSettings(SCRATCH_KEY), L"", 4, L"Front", 0x79);
}

}  // namespace
