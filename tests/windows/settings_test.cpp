#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
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

struct StoredValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        realKeyExisted = KeyExists(SETTINGS_KEY_PATH);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
        ASSERT_FALSE(KeyExists(SCRATCH_ROOT));
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
        EXPECT_EQ(KeyExists(SETTINGS_KEY_PATH), realKeyExisted);
    }

    static void Write(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        UniqueHKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, SCRATCH_KEY, 0, nullptr, 0, KEY_WRITE, nullptr,
                                    key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes),
                  ERROR_SUCCESS);
    }
    static void WriteText(const wchar_t* name, DWORD type, const std::wstring& units) {
        Write(name, type, units.data(), static_cast<DWORD>(units.size() * sizeof(wchar_t)));
    }
    static void WriteDword(const wchar_t* name, DWORD value) {
        Write(name, REG_DWORD, &value, sizeof value);
    }

    static StoredValue Read(const wchar_t* name) {
        StoredValue value;
        UniqueHKey key;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, SCRATCH_KEY, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
            return value;
        }
        DWORD bytes = 0;
        if (::RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &bytes) != ERROR_SUCCESS) {
            return value;
        }
        value.data.resize(bytes);
        ::RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &bytes);
        value.data.resize(bytes);
        return value;
    }

    static void ExpectDefaults(const Settings& s) {
        EXPECT_EQ(s.DeviceSymLink, L"");
        EXPECT_EQ(s.DeviceIndex, 0);
        EXPECT_EQ(s.DeviceName, L"");
        EXPECT_EQ(s.Keybind, 0x79u);
    }

    bool realKeyExisted = false;
};

TEST_F(SettingsStore, FirstStartGivesDefaultsAndCreatesNoKey) {
    ExpectDefaults(LoadSettings(SCRATCH_KEY));
    EXPECT_FALSE(KeyExists(SCRATCH_KEY));
    EXPECT_FALSE(KeyExists(SCRATCH_ROOT));

    // An existing but empty key is no different.
    Write(L"Unrelated", REG_SZ, L"", 2);
    ExpectDefaults(LoadSettings(SCRATCH_KEY));
}

TEST_F(SettingsStore, KeybindZeroAloneMeansNoCaptureKey) {
    WriteDword(L"Keybind", 0);
    Settings s = LoadSettings(SCRATCH_KEY);
    EXPECT_EQ(s.Keybind, 0u);
    EXPECT_EQ(s.DeviceSymLink, L"");
    EXPECT_EQ(s.DeviceIndex, 0);
    EXPECT_EQ(s.DeviceName, L"");
}

TEST_F(SettingsStore, SaveWritesAllFourValuesInTheirFormats) {
    Settings s;
    s.DeviceSymLink = L"abc";
    s.DeviceIndex = 3;
    s.DeviceName = L"";
    s.Keybind = 0x7C;
    SaveSettings(s, SCRATCH_KEY);

    StoredValue link = Read(L"DeviceSymLink");
    EXPECT_EQ(link.type, static_cast<DWORD>(REG_SZ));
    ASSERT_EQ(link.data.size(), 8u);
    EXPECT_EQ(std::memcmp(link.data.data(), L"abc", 8), 0);

    StoredValue name = Read(L"DeviceName");
    EXPECT_EQ(name.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(name.data, (std::vector<BYTE>{0, 0}));

    StoredValue index = Read(L"DeviceIndex");
    EXPECT_EQ(index.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(index.data, (std::vector<BYTE>{3, 0, 0, 0}));

    StoredValue keybind = Read(L"Keybind");
    EXPECT_EQ(keybind.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(keybind.data, (std::vector<BYTE>{0x7C, 0, 0, 0}));
}

TEST_F(SettingsStore, SaveThenLoadGivesTheRecordBack) {
    Settings first;
    first.DeviceSymLink = L"\\\\?\\usb#vid_046d&pid_0825&mi_00#6&2a3c&0&0000#{e5323777-f976-4f5b-9b55-b94699c46e44}\\global";
    first.DeviceIndex = -1;
    first.DeviceName = L"Cam\u00e9ra \u2713 HD";
    first.Keybind = 0;
    SaveSettings(first, SCRATCH_KEY);
    Settings loaded = LoadSettings(SCRATCH_KEY);
    EXPECT_EQ(loaded.DeviceSymLink, first.DeviceSymLink);
    EXPECT_EQ(loaded.DeviceIndex, -1);
    EXPECT_EQ(loaded.DeviceName, first.DeviceName);
    EXPECT_EQ(loaded.Keybind, 0u);

    // A later save replaces every value, emptied strings included.
    Settings second;
    second.DeviceIndex = 2;
    second.Keybind = 0x41;
    SaveSettings(second, SCRATCH_KEY);
    loaded = LoadSettings(SCRATCH_KEY);
    EXPECT_EQ(loaded.DeviceSymLink, L"");
    EXPECT_EQ(loaded.DeviceIndex, 2);
    EXPECT_EQ(loaded.DeviceName, L"");
    EXPECT_EQ(loaded.Keybind, 0x41u);
}

TEST_F(SettingsStore, StringsAreReadUpTo2048Bytes) {
    std::wstring fits(1023, L'x');
    fits.push_back(L'\0');
    WriteText(L"DeviceSymLink", REG_SZ, fits);                  // 2048 bytes
    std::wstring tooLong(1024, L'y');
    tooLong.push_back(L'\0');
    WriteText(L"DeviceName", REG_SZ, tooLong);                  // 2050 bytes
    Settings s = LoadSettings(SCRATCH_KEY);
    EXPECT_EQ(s.DeviceSymLink, std::wstring(1023, L'x'));
    EXPECT_EQ(s.DeviceName, L"");

    // 1024 units with no terminator fill the buffer exactly: all of them and
    // nothing beyond. The source must not have a NUL right behind the data
    // either, or the registry quietly stores that terminator too.
    std::wstring unterminated(1025, L'z');
    Write(L"DeviceSymLink", REG_SZ, unterminated.data(), 2048);
    ASSERT_EQ(Read(L"DeviceSymLink").data.size(), 2048u);
    WriteText(L"DeviceName", REG_EXPAND_SZ, std::wstring(1025, L'z'));
    s = LoadSettings(SCRATCH_KEY);
    EXPECT_EQ(s.DeviceSymLink, std::wstring(1024, L'z'));
    EXPECT_EQ(s.DeviceName, L"");
}

TEST_F(SettingsStore, StringDataIsTakenAsStoredUpToTheFirstNul) {
    // Unterminated, and an odd byte count: the half unit is dropped.
    Write(L"DeviceSymLink", REG_SZ, L"abcd", 7);
    ASSERT_EQ(Read(L"DeviceSymLink").data.size(), 7u);
    // An embedded NUL ends the text.
    WriteText(L"DeviceName", REG_SZ, std::wstring(L"ab\0cd", 6));
    Settings s = LoadSettings(SCRATCH_KEY);
    EXPECT_EQ(s.DeviceSymLink, L"abc");
    EXPECT_EQ(s.DeviceName, L"ab");

    // REG_EXPAND_SZ is accepted and not expanded; zero bytes are an empty text.
    WriteText(L"DeviceSymLink", REG_EXPAND_SZ, L"%SystemRoot%\\cam");
    Write(L"DeviceName", REG_SZ, nullptr, 0);
    s = LoadSettings(SCRATCH_KEY);
    EXPECT_EQ(s.DeviceSymLink, L"%SystemRoot%\\cam");
    EXPECT_EQ(s.DeviceName, L"");
}

// Each value holds data that would read as something other than the default
// if its type or size were ignored.
TEST_F(SettingsStore, ValuesOfTheWrongTypeOrSizeKeepTheirDefaults) {
    const DWORD five = 5;
    const BYTE bytesFive[4] = {5, 0, 0, 0};
    const unsigned long long wide = 5;
    struct Case {
        const char* what;
        const wchar_t* name;
        DWORD type;
        const void* data;
        DWORD bytes;
    };
    const Case cases[] = {
        {"string as binary", L"DeviceSymLink", REG_BINARY, L"abc", 8},
        {"string as dword", L"DeviceName", REG_DWORD, &five, 4},
        {"string as multi-string", L"DeviceSymLink", REG_MULTI_SZ, L"abc\0", 10},
        {"string as none", L"DeviceName", REG_NONE, L"abc", 8},
        {"number as text", L"DeviceIndex", REG_SZ, L"12", 4},
        {"number as binary", L"Keybind", REG_BINARY, bytesFive, 4},
        {"number big-endian", L"Keybind", REG_DWORD_BIG_ENDIAN, bytesFive, 4},
        {"number as qword", L"DeviceIndex", REG_QWORD, &wide, 8},
        {"dword of two bytes", L"Keybind", REG_DWORD, bytesFive, 2},
        {"dword of no bytes", L"DeviceIndex", REG_DWORD, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
        Write(c.name, c.type, c.data, c.bytes);
        ExpectDefaults(LoadSettings(SCRATCH_KEY));
    }

    // A bad value does not spoil its good neighbours.
    ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
    Write(L"DeviceSymLink", REG_BINARY, L"abc", 8);
    Write(L"Keybind", REG_SZ, L"12", 4);
    WriteText(L"DeviceName", REG_SZ, L"Front camera");
    WriteDword(L"DeviceIndex", 4);
    Settings s = LoadSettings(SCRATCH_KEY);
    EXPECT_EQ(s.DeviceName, L"Front camera");
    EXPECT_EQ(s.DeviceIndex, 4);
    EXPECT_EQ(s.DeviceSymLink, L"");
    EXPECT_EQ(s.Keybind, 0x79u);
}

}  // namespace
