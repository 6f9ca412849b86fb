#include <algorithm>
#include <tuple>

#include "capture_test_support.h"
#include "settings/key_names.h"

namespace {

// Every test works under this scratch key, never under the program's own.
constexpr const wchar_t* SCRATCH_ROOT = L"Software\\SnapwardTests";
constexpr const wchar_t* SETTINGS_SCRATCH_KEY = L"Software\\SnapwardTests\\Quillmere\\Orvendel";

bool KeyExists(const wchar_t* path) {
    UniqueHKey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// A registry value: its type and the first `bytes` bytes of `data` (and of
// the NUL behind it).
struct Stored {
    const wchar_t* name;
    DWORD type;
    std::wstring data;
    DWORD bytes;
};

std::tuple<std::wstring, int32_t, std::wstring, uint32_t, std::wstring> Fields(const Settings& s) {
    return {s.DeviceSymLink, s.DeviceIndex, s.DeviceName, s.Keybind, s.FrameSize};
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
    EXPECT_EQ(Fields(LoadSettings(SETTINGS_SCRATCH_KEY)), Fields(Settings{}));
    EXPECT_FALSE(KeyExists(SCRATCH_ROOT)) << "a first start leaves no trace";
    const Settings first{L"\\\\?\\usb#vid_046d&pid_0825&mi_00#6&2a3c&0&0000#{e5323777-f976-4f5b-9b55-b94699c46e44}",
                         -1, L"Cam\u00e9ra \u2713 HD", 0, L"1920x1080"};
    SaveSettings(first, SETTINGS_SCRATCH_KEY);
    EXPECT_EQ(Fields(LoadSettings(SETTINGS_SCRATCH_KEY)), Fields(first));
    // A string with one terminator, as other readers of the key expect.
    DWORD type = REG_NONE, bytes = 0;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, SETTINGS_SCRATCH_KEY, L"DeviceName", RRF_RT_ANY, &type, nullptr, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(std::make_pair(type, bytes), std::make_pair(DWORD{REG_SZ}, DWORD((first.DeviceName.size() + 1) * 2)));

    const Settings second{L"", 2, L"", 0x41, L""};
    SaveSettings(second, SETTINGS_SCRATCH_KEY);
    EXPECT_EQ(Fields(LoadSettings(SETTINGS_SCRATCH_KEY)), Fields(second));
}

// Each value holds data that would read as something other than the default
// if its type, size or the read's buffer were ignored; what the bytes of a
// string value decode to is the registry string fuzz target's.
TEST_F(SettingsStore, OddRegistryDataIsReadSafelyAndSparesItsNeighbours) {
    const std::wstring z1025(1025, L'z');
    const struct {
        std::vector<Stored> stored;
        Settings loaded;
    } cases[] = {
        {{{L"Keybind", REG_DWORD, {0, 0}, 4}}, {L"", 0, L"", 0}},
        {{{L"DeviceName", REG_DWORD, {5, 0}, 4}}, {}},
        {{{L"FrameSize", REG_DWORD, {5, 0}, 4}, {L"Keybind", REG_DWORD, {7, 0}, 4}}, {L"", 0, L"", 7}},
        {{{L"Keybind", REG_DWORD_BIG_ENDIAN, {5, 0}, 4}}, {}},
        {{{L"Keybind", REG_DWORD, {5, 0}, 2}}, {}},
        {{{L"DeviceSymLink", REG_SZ, z1025, 2048}}, {z1025.substr(1)}},
        {{{L"DeviceName", REG_EXPAND_SZ, z1025, 2050}}, {}},
        {{{L"DeviceSymLink", REG_BINARY, L"abc", 8}, {L"Keybind", REG_SZ, L"12", 6}, {L"DeviceName", REG_SZ, L"Front", 12},
          {L"DeviceIndex", REG_DWORD, {4, 0}, 4}}, {L"", 4, L"Front"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_ROOT);
        UniqueHKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_SCRATCH_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        for (const Stored& value : c.stored) {
            ASSERT_EQ(RegSetValueExW(key.get(), value.name, 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                                     value.bytes), ERROR_SUCCESS);
        }
        EXPECT_EQ(Fields(LoadSettings(SETTINGS_SCRATCH_KEY)), Fields(c.loaded));
    }
}

// The extended keys share their scan codes with the numeric keypad's keys and
// are told apart by the extended bit alone: without it, Home is named "Num 7".
// Named by the layout itself, each has its own name, and none is its twin's.
TEST(SystemKeyNames, ExtendedKeysAreNotNamedAfterTheirKeypadTwins) {
    const std::pair<UINT, UINT> twins[] = {
        {VK_HOME, VK_NUMPAD7}, {VK_END, VK_NUMPAD1},  {VK_INSERT, VK_NUMPAD0}, {VK_DELETE, VK_DECIMAL},
        {VK_UP, VK_NUMPAD8},   {VK_DOWN, VK_NUMPAD2}, {VK_LEFT, VK_NUMPAD4},   {VK_RIGHT, VK_NUMPAD6},
        {VK_PRIOR, VK_NUMPAD9}, {VK_NEXT, VK_NUMPAD3}, {VK_SNAPSHOT, VK_MULTIPLY}, {VK_PAUSE, VK_NUMLOCK},
        {VK_DIVIDE, VK_OEM_2}};
    std::vector<std::wstring> names;
    for (const auto& [key, twin] : twins) {
        const std::wstring name = LayoutKeyName(key), twinName = LayoutKeyName(twin);
        EXPECT_FALSE(name.empty()) << key;
        EXPECT_NE(name, twinName) << key;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
}
