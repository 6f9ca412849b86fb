// End to end: the real Snapward-testcam.exe, started from the same build
// directory as this test, driven from outside as a user would drive it. The
// program uses the real settings key; it is saved before and put back after.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "camera/test_pattern.h"
#include "capture_test_support.h"
#include "platform/win_handles.h"
#include "settings/settings.h"

using namespace capture_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr wchar_t BACKUP_KEY_PATH[] = L"Software\\Quillmere\\Orvendel-e2e-backup";
constexpr auto START_TIMEOUT = std::chrono::seconds(30);
constexpr auto CAPTURE_TIMEOUT = std::chrono::seconds(10);
constexpr int HOTKEY_PROBE_ID = 0x7E57;

std::wstring ProgramPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L'\\') + 1);
    return folder + L"Snapward-testcam.exe";
}

// Runs `test` until it holds or `timeout` has passed, pumping this thread's
// messages in between.
bool WaitFor(const std::function<bool()>& test, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (test()) return true;
        if (Clock::now() > deadline) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(2);
    }
}

DWORD WindowProcess(HWND window) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process;
}

// A window of `process` with class `className` among the children of `parent`
// (null: the top-level windows; HWND_MESSAGE: the message-only ones).
HWND FindProcessWindow(DWORD process, const wchar_t* className, bool visibleOnly,
                       HWND parent = nullptr) {
    HWND window = nullptr;
    while ((window = FindWindowExW(parent, window, className, nullptr)) != nullptr) {
        if (WindowProcess(window) == process && (!visibleOnly || IsWindowVisible(window))) {
            return window;
        }
    }
    return nullptr;
}

BOOL CALLBACK AppendChildText(HWND child, LPARAM texts) {
    wchar_t text[512] = {};
    GetWindowTextW(child, text, 512);
    *reinterpret_cast<std::wstring*>(texts) += std::wstring(text) + L"|";
    return TRUE;
}

std::wstring AllChildTexts(HWND window) {
    std::wstring texts;
    EnumChildWindows(window, AppendChildText, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

bool KeyIsFree(UINT key) {
    if (!RegisterHotKey(nullptr, HOTKEY_PROBE_ID, 0, key)) return false;
    UnregisterHotKey(nullptr, HOTKEY_PROBE_ID);
    return true;
}

// One running instance of the program.
struct Program {
    UniqueKernelHandle process;
    DWORD id = 0;
    HWND tray = nullptr;

    bool Start() {
        std::wstring path = ProgramPath();
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &info)) {
            return false;
        }
        process.reset(info.hProcess);
        UniqueKernelHandle thread(info.hThread);
        id = info.dwProcessId;
        return true;
    }

    bool Running() const { return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT; }

    // The tray window, then the capture dialog shown at every start, closed as
    // the user would; then the tray side has registered the key again.
    ::testing::AssertionResult StartUpAndCloseDialog() {
        if (!WaitFor([&] { return (tray = FindProcessWindow(id, L"OrvendelTray", false, HWND_MESSAGE)) != nullptr; },
                     START_TIMEOUT)) {
            return ::testing::AssertionFailure() << "no tray window";
        }
        HWND dialog = nullptr;
        if (!WaitFor([&] { return (dialog = FindProcessWindow(id, L"#32770", true)) != nullptr; },
                     START_TIMEOUT)) {
            return ::testing::AssertionFailure() << "no capture dialog at start";
        }
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        if (!WaitFor([&] { return !IsWindow(dialog); }, START_TIMEOUT)) {
            return ::testing::AssertionFailure() << "the dialog did not close";
        }
        // Answered from the message loop, so after the dialog's aftermath
        // (registration, camera closed) has run.
        DWORD_PTR ignored = 0;
        if (!SendMessageTimeoutW(tray, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored)) {
            return ::testing::AssertionFailure() << "the tray window does not answer";
        }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult ExitFromMenu() {
        PostMessageW(tray, WM_COMMAND, 2003, 0);
        if (WaitForSingleObject(process.get(), 15000) != WAIT_OBJECT_0) {
            return ::testing::AssertionFailure() << "still running after Exit";
        }
        DWORD code = 1;
        GetExitCodeProcess(process.get(), &code);
        if (code != 0) return ::testing::AssertionFailure() << "exit code " << code;
        return ::testing::AssertionSuccess();
    }

    ~Program() {
        if (Running()) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
        }
    }
};

// A focused window of this process: the keyboard goes somewhere, as it does
// for a user pressing the capture key in any other program.
class FocusWindow {
public:
    FocusWindow() {
        window_.reset(CreateWindowExW(0, L"STATIC", L"snapward e2e", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                      50, 50, 300, 200, nullptr, nullptr, nullptr, nullptr));
        SetForegroundWindow(window_.get());
        SetFocus(window_.get());
    }

private:
    UniqueWindow window_;
};

void PressKey(WORD key) {
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = key;
    inputs[1] = inputs[0];
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

// Presses F10 and waits for a bitmap on the clipboard; the milliseconds taken,
// or a negative number when none came.
double PressCaptureKeyAndWait() {
    if (!PutTextOnClipboard(L"before")) return -2;
    const auto start = Clock::now();
    PressKey(VK_F10);
    if (!WaitFor([] { return IsClipboardFormatAvailable(CF_DIB) != FALSE; }, CAPTURE_TIMEOUT)) return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class E2eMainPath : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RegDeleteTreeW(HKEY_CURRENT_USER, BACKUP_KEY_PATH);
        UniqueHKey settings;
        hadSettings_ = RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, KEY_READ, settings.put()) ==
                       ERROR_SUCCESS;
        if (hadSettings_) {
            UniqueHKey backup;
            RegCreateKeyExW(HKEY_CURRENT_USER, BACKUP_KEY_PATH, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            backup.put(), nullptr);
            RegCopyTreeW(settings.get(), nullptr, backup.get());
        }
    }

    static void TearDownTestSuite() {
        RegDeleteTreeW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH);
        if (hadSettings_) {
            UniqueHKey backup;
            UniqueHKey settings;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, BACKUP_KEY_PATH, 0, KEY_READ, backup.put()) ==
                    ERROR_SUCCESS &&
                RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, settings.put(), nullptr) == ERROR_SUCCESS) {
                RegCopyTreeW(backup.get(), nullptr, settings.get());
            }
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, BACKUP_KEY_PATH);
    }

    void SetUp() override {
        ASSERT_NE(GetFileAttributesW(ProgramPath().c_str()), INVALID_FILE_ATTRIBUTES)
            << "Snapward-testcam.exe is built beside this test";
        ASSERT_TRUE(KeyIsFree(VK_F10)) << "something else holds F10";
    }

    // The NV12 test-pattern camera as the saved device.
    static void SaveSettingsWithKey(uint32_t key) {
        Settings settings;
        const CameraDevice camera = TestPatternCameras().at(0);
        settings.DeviceSymLink = camera.symbolicLink;
        settings.DeviceName = camera.friendlyName;
        settings.DeviceIndex = 0;
        settings.Keybind = key;
        SaveSettings(settings);
    }

    static bool hadSettings_;
};

bool E2eMainPath::hadSettings_ = false;

}  // namespace

TEST_F(E2eMainPath, CaptureKeyPutsTheCameraPictureOnTheClipboardUntilExit) {
    SaveSettingsWithKey(VK_F10);
    Program program;
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.StartUpAndCloseDialog());
    EXPECT_FALSE(KeyIsFree(VK_F10)) << "the capture key is not registered";

    FocusWindow focus;
    // The dialog has closed the camera: the first press opens it.
    const double coldMs = PressCaptureKeyAndWait();
    ASSERT_GE(coldMs, 0) << "no bitmap after the capture key";
    CapturedFrame frame;
    ASSERT_TRUE(ReadClipboardDib(frame));
    uint32_t first = 0;
    EXPECT_TRUE(MatchesTestPattern(frame, 12, first)) << TestPatternDeviation(frame, first);
    EXPECT_GE(first, 10u) << "the camera's first frames were not let settle";

    const double warmMs = PressCaptureKeyAndWait();
    ASSERT_GE(warmMs, 0) << "no bitmap after the second press";
    ASSERT_TRUE(ReadClipboardDib(frame));
    uint32_t second = 0;
    EXPECT_TRUE(MatchesTestPattern(frame, 12, second));
    EXPECT_GT(second, first);
    std::printf("capture key to clipboard (SendInput to CF_DIB seen by another process): "
                "camera closed %.0f ms, camera open %.0f ms\n",
                coldMs, warmMs);

    ASSERT_TRUE(program.ExitFromMenu());
    EXPECT_TRUE(KeyIsFree(VK_F10)) << "the key outlived the program";
    EXPECT_EQ(FindProcessWindow(program.id, L"OrvendelTray", false, HWND_MESSAGE), nullptr);
}

TEST_F(E2eMainPath, SecondStartSaysAlreadyRunningAndLeavesTheFirstAlone) {
    SaveSettingsWithKey(VK_F10);
    Program first;
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(first.StartUpAndCloseDialog());

    Program second;
    ASSERT_TRUE(second.Start());
    HWND box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = FindProcessWindow(second.id, L"#32770", true)) != nullptr; },
                        START_TIMEOUT));
    wchar_t caption[64] = {};
    GetWindowTextW(box, caption, 64);
    EXPECT_STREQ(caption, L"Snapward");
    EXPECT_NE(AllChildTexts(box).find(L"Snapward is already running.\nLook for its icon in the system "
                                      L"tray (bottom-right of the taskbar)."),
              std::wstring::npos)
        << std::string(AllChildTexts(box).begin(), AllChildTexts(box).end());
    EXPECT_EQ(FindProcessWindow(second.id, L"OrvendelTray", false, HWND_MESSAGE), nullptr);

    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_EQ(WaitForSingleObject(second.process.get(), 15000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(second.process.get(), &code);
    EXPECT_EQ(code, 0u);

    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(IsWindow(first.tray));
    EXPECT_FALSE(KeyIsFree(VK_F10)) << "the first instance lost its key";
    ASSERT_TRUE(first.ExitFromMenu());

    // Once the first has gone, a new start succeeds.
    Program third;
    ASSERT_TRUE(third.Start());
    ASSERT_TRUE(third.StartUpAndCloseDialog());
    ASSERT_TRUE(third.ExitFromMenu());
}

TEST_F(E2eMainPath, NoCaptureKeyRegistersNothing) {
    SaveSettingsWithKey(0);
    Program program;
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.StartUpAndCloseDialog());
    EXPECT_TRUE(KeyIsFree(VK_F10));
    ASSERT_TRUE(program.ExitFromMenu());
}

// Icon group 201 with its six PNG images and the version block, read from the
// program file itself.
TEST(E2eProgramFile, IconGroupAndVersionBlock) {
    UniqueModule module(LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module);
    HRSRC group = FindResourceW(module.get(), MAKEINTRESOURCEW(201), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    const auto* directory = static_cast<const uint8_t*>(LockResource(LoadResource(module.get(), group)));
    ASSERT_NE(directory, nullptr);
    // GRPICONDIR: reserved, type 1, count; then 14-byte entries ending in the
    // icon's resource id.
    const uint16_t count = directory[4] | directory[5] << 8;
    ASSERT_EQ(count, 6);
    std::vector<int> sizes;
    for (int i = 0; i < count; ++i) {
        const uint8_t* entry = directory + 6 + 14 * i;
        sizes.push_back(entry[0] == 0 ? 256 : entry[0]);
        EXPECT_EQ(entry[6] | entry[7] << 8, 32) << "bits per pixel";
        const uint16_t id = entry[12] | entry[13] << 8;
        HRSRC image = FindResourceW(module.get(), MAKEINTRESOURCEW(id), RT_ICON);
        ASSERT_NE(image, nullptr);
        const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module.get(), image)));
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 8), "\x89PNG\r\n\x1a\n");
        // The PNG header's own width.
        EXPECT_EQ(bytes[16] << 24 | bytes[17] << 16 | bytes[18] << 8 | bytes[19], sizes.back());
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48, 64, 128, 256}));

    const std::wstring path = ProgramPath();
    DWORD ignored = 0;
    std::vector<uint8_t> version(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(version.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(version.size()), version.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"CompanyName", L"Quillmere"},   {L"FileDescription", L"Snapward"},
        {L"FileVersion", L"1.0.0.0"},     {L"InternalName", L"Orvendel"},
        {L"OriginalFilename", L"Orvendel.ds"}, {L"ProductName", L"Snapward"},
        {L"ProductVersion", L"1.0.0.0"},
    };
    for (const auto& [name, value] : strings) {
        wchar_t* text = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        ASSERT_TRUE(VerQueryValueW(version.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
            << std::string(query.begin(), query.end());
        EXPECT_STREQ(text, value);
    }
    // No application manifest: the program runs with the rights of its user.
    EXPECT_EQ(FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST), nullptr);
}
