// The tray window's procedure driven by real messages: icon and balloons (seen
// through the notify-icon hook), menu, Exit, the capture key's registration and
// its capture onto the real clipboard from a test-pattern camera.

#include "app/tray_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/hotkey.h"
#include "camera/camera.h"
#include "camera/test_pattern.h"
#include "capture_test_support.h"
#include "settings/key_names.h"

using namespace capture_test;

namespace {

std::vector<std::pair<DWORD, NOTIFYICONDATAW>> notifyCalls;

BOOL WINAPI RecordNotify(DWORD message, PNOTIFYICONDATAW data) {
    notifyCalls.emplace_back(message, *data);
    return TRUE;
}

// The texts of the balloons requested since the last call.
std::vector<std::wstring> TakeBalloons() {
    std::vector<std::wstring> texts;
    for (const auto& [message, data] : notifyCalls) {
        if (message == NIM_MODIFY && (data.uFlags & NIF_INFO)) texts.push_back(data.szInfo);
    }
    notifyCalls.clear();
    return texts;
}

int CountCalls(DWORD message) {
    int count = 0;
    for (const auto& call : notifyCalls) count += call.first == message;
    return count;
}

// Whether WM_QUIT is waiting in this thread's queue (and takes it).
bool TakeQuit() {
    MSG message;
    return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

// A reader that opens but reports a 0 x 0 picture.
class ZeroSizeReader : public VideoReader {
public:
    bool SetPartialType(PixelFormat) override { return true; }
    bool GetNativeFormat(uint32_t, MediaFormat&) override { return false; }
    bool UseNativeFormat(uint32_t) override { return false; }
    bool GetCurrentFormat(MediaFormat& format) override {
        format = MediaFormat{PixelFormat::RGB24, 0, 0, 0};
        return true;
    }
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample) override {
        static const uint8_t nothing[4] = {};
        onSample(SampleView{nothing, 0, 0});
        return ReadOutcome::Sample;
    }
};

class TrayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!Tray().window) CreateTrayWindow(GetModuleHandleW(nullptr));
    }

    void SetUp() override {
        ASSERT_NE(Tray().window, nullptr);
        saved_ = Tray();
        Tray().settings = &settings;
        Tray().camera = &camera;
        Tray().notifyIcon = RecordNotify;
        Tray().dialogOpen = false;
        AddTrayIcon();
        notifyCalls.clear();
        ASSERT_TRUE(PutTextOnClipboard(L"before"));
    }

    void TearDown() override {
        UnregisterHotKey(Tray().window, CAPTURE_HOTKEY_ID);
        camera.Close();
        Tray() = saved_;
        while (TakeQuit()) {
        }
    }

    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam = 0) {
        return SendMessageW(Tray().window, message, wParam, lParam);
    }

    // One capture-key press; returns how long the window procedure took.
    double PressCaptureKey() {
        const auto start = std::chrono::steady_clock::now();
        Send(WM_HOTKEY, CAPTURE_HOTKEY_ID, MAKELPARAM(0, VK_F10));
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    }

    uint32_t ClipboardPatternCounter() {
        CapturedFrame frame;
        EXPECT_TRUE(ReadClipboardDib(frame));
        uint32_t counter = 0;
        EXPECT_TRUE(MatchesTestPattern(frame, 12, counter)) << TestPatternDeviation(frame, counter);
        return counter;
    }

    std::shared_ptr<ReaderScript> script = std::make_shared<ReaderScript>();
    Settings settings;
    Camera camera{ScriptedPatternOpener(script)};

private:
    TrayWindow saved_;
};

}  // namespace

TEST_F(TrayTest, BalloonsAreCutToFitAndLeaveTheIconRecordAlone) {
    EXPECT_NE(Tray().iconData.hIcon, nullptr);  // the test has no icon 201: the system's
    const std::wstring longTitle(100, L't');
    const std::wstring longText(300, L'x');
    ShowTrayBalloon(longTitle.c_str(), longText.c_str());
    ASSERT_EQ(notifyCalls.size(), 1u);
    const NOTIFYICONDATAW& balloon = notifyCalls[0].second;
    EXPECT_EQ(notifyCalls[0].first, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(balloon.uFlags, Tray().iconData.uFlags | NIF_INFO);
    EXPECT_EQ(std::wstring(balloon.szInfoTitle), longTitle.substr(0, 63));  // cut, terminated
    EXPECT_EQ(std::wstring(balloon.szInfo), longText.substr(0, 255));
    EXPECT_EQ(balloon.uTimeout, 3000u);
    EXPECT_EQ(balloon.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
    // Later modifies and the delete use the stored record: no balloon of their own.
    EXPECT_EQ(Tray().iconData.uFlags & NIF_INFO, 0u);
}

TEST_F(TrayTest, ExitAndDestroyRemoveTheIconAndEndTheLoop) {
    Send(WM_COMMAND, 2003);
    EXPECT_EQ(CountCalls(NIM_DELETE), 1);
    EXPECT_TRUE(TakeQuit());

    notifyCalls.clear();
    TrayWindowProc(Tray().window, WM_DESTROY, 0, 0);
    EXPECT_EQ(CountCalls(NIM_DELETE), 1);
    EXPECT_TRUE(TakeQuit());

    // Unknown commands and other hotkeys do nothing.
    notifyCalls.clear();
    Send(WM_COMMAND, 2005);
    Send(WM_HOTKEY, 1);
    EXPECT_TRUE(notifyCalls.empty());
    EXPECT_FALSE(TakeQuit());
    EXPECT_EQ(script->opens, 0);
}

TEST_F(TrayTest, TaskbarRestartPutsTheIconBack) {
    // The shell broadcasts it to every top-level window; a message-only window
    // would never hear it.
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    SendMessageTimeoutW(HWND_BROADCAST, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
    ASSERT_EQ(CountCalls(NIM_ADD), 1);
    EXPECT_EQ(notifyCalls[0].second.hWnd, Tray().window);
    EXPECT_EQ(notifyCalls[0].second.uFlags & NIF_INFO, 0u);

    // Once Exit has removed it, it stays away.
    Send(WM_COMMAND, 2003);
    notifyCalls.clear();
    Send(taskbarCreated, 0);
    EXPECT_EQ(CountCalls(NIM_ADD), 0);
}

namespace {

struct MenuItem {
    UINT id;
    std::wstring text;
    UINT state;
};

// Opens the tray menu with a right button release on the icon; another thread
// reads the menu's items and then presses `keys` in it.
std::vector<MenuItem> OpenTrayMenu(std::vector<WPARAM> keys, HWND* foreground = nullptr) {
    std::vector<MenuItem> items;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < 200 && !done; ++i) {
            HWND menuWindow = FindWindowW(L"#32768", nullptr);
            if (menuWindow && IsWindowVisible(menuWindow)) {
                if (foreground) *foreground = GetForegroundWindow();
                HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
                for (int item = 0; item < GetMenuItemCount(menu); ++item) {
                    wchar_t text[64] = {};
                    GetMenuStringW(menu, item, text, 64, MF_BYPOSITION);
                    items.push_back({GetMenuItemID(menu, item), text,
                                     GetMenuState(menu, item, MF_BYPOSITION)});
                }
                for (WPARAM key : keys) PostMessageW(menuWindow, WM_KEYDOWN, key, 0);
                return;
            }
            Sleep(25);
        }
    });
    SendMessageW(Tray().window, WM_TRAYICON, 1, WM_RBUTTONUP);
    done = true;
    reader.join();
    return items;
}

void ExpectMenu(const std::vector<MenuItem>& items, const wchar_t* twainText, bool twainGrayed) {
    const std::vector<std::pair<UINT, std::wstring>> expected = {
        {2001, L"Open Snapward"}, {0, L""}, {2002, twainText},
        {2004, L"Submit Support Ticket..."}, {0, L""}, {2003, L"Exit"},
    };
    ASSERT_EQ(items.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        if (expected[i].first == 0) {
            EXPECT_TRUE(items[i].state & MF_SEPARATOR) << i;
            continue;
        }
        EXPECT_EQ(items[i].id, expected[i].first) << i;
        EXPECT_EQ(items[i].text, expected[i].second) << i;
        EXPECT_EQ((items[i].state & MF_GRAYED) != 0, expected[i].first == 2002 && twainGrayed) << i;
    }
}

}  // namespace

TEST_F(TrayTest, MenuListsTheCommandsAndPostsTheChosenOne) {
    // Escape: the menu closes and nothing is posted. Meanwhile the menu's owner
    // had the foreground, which a message-only window cannot have: without it
    // a click elsewhere would not close the menu.
    HWND foreground = nullptr;
    ExpectMenu(OpenTrayMenu({VK_ESCAPE}, &foreground), L"Install TWAIN source (admin)...", false);
    EXPECT_EQ(foreground, Tray().helperWindow);
    EXPECT_NE(foreground, nullptr);
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, Tray().window, WM_COMMAND, WM_COMMAND, PM_REMOVE));

    // The last item, Exit, arrives as a posted command and runs from the queue.
    ExpectMenu(OpenTrayMenu({VK_UP, VK_RETURN}), L"Install TWAIN source (admin)...", false);
    ASSERT_TRUE(PeekMessageW(&message, Tray().window, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_EQ(message.wParam, 2003u);
    DispatchMessageW(&message);
    EXPECT_EQ(CountCalls(NIM_DELETE), 1);
    EXPECT_TRUE(TakeQuit());
}

TEST_F(TrayTest, MenuShowsAnInstalledTwainSourceGreyed) {
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring folder = std::wstring(windows) + L"\\twain_32";
    const std::wstring source = folder + L"\\Orvendel.ds";
    CreateDirectoryW(folder.c_str(), nullptr);
    const bool placedHere =
        UniqueFile(CreateFileW(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr))
            .operator bool();
    ASSERT_NE(GetFileAttributesW(source.c_str()), INVALID_FILE_ATTRIBUTES);

    ExpectMenu(OpenTrayMenu({VK_ESCAPE}), L"TWAIN source: installed", true);
    if (placedHere) DeleteFileW(source.c_str());
}

TEST_F(TrayTest, CaptureKeyRegistrationBalloons) {
    settings.Keybind = VK_F10;
    RegisterCaptureHotkey();
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{L"Hotkey registered: " + KeyDisplayName(VK_F10) +
                                                       L"  (press it anywhere to capture)"});
    EXPECT_FALSE(RegisterHotKey(nullptr, 1, 0, VK_F10)) << "the key was not taken";

    // Registering again first lets go of the key it holds.
    RegisterCaptureHotkey();
    EXPECT_EQ(TakeBalloons().size(), 1u);

    settings.Keybind = 0;
    RegisterCaptureHotkey();
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{
                                  L"No capture hotkey set. Open the app and click Change to set one."});
    ASSERT_TRUE(RegisterHotKey(nullptr, 1, 0, VK_F10)) << "F10 still registered";

    // Someone else holds the key now.
    settings.Keybind = VK_F10;
    RegisterCaptureHotkey();
    UnregisterHotKey(nullptr, 1);
    wchar_t expected[160];
    swprintf(expected, 160,
             L"Could not register hotkey (error %lu). Another app may be using that key. Open the "
             L"app and pick a different one.",
             static_cast<unsigned long>(ERROR_HOTKEY_ALREADY_REGISTERED));
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{expected});
}

TEST_F(TrayTest, CaptureKeyWithoutACamera) {
    const std::wstring noCamera = L"No camera open. Open the app and select a device first.";
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{noCamera});
    EXPECT_EQ(script->opens, 0);

    settings.DeviceSymLink = L"\\\\?\\usb#vid_0000&pid_0000#unplugged";
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{noCamera});

    // A device that only offers an empty picture is no camera, and an empty
    // bitmap never reaches the clipboard.
    Camera empty([](const std::wstring&) { return std::make_unique<ZeroSizeReader>(); });
    Tray().camera = &empty;
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{noCamera});
    EXPECT_EQ(ClipboardText(), L"before");
}

TEST_F(TrayTest, CaptureKeyOpensSettlesAndCapturesPattern) {
    settings.DeviceSymLink = PatternLink();

    const double coldMs = PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{L"Captured to clipboard."});
    EXPECT_TRUE(camera.IsOpen()) << "the camera stays open for the next press";
    EXPECT_EQ(GetClipboardOwner(), Tray().window);
    // The frames of the first half second were read and dropped.
    const uint32_t first = ClipboardPatternCounter();
    EXPECT_GE(coldMs, CAMERA_SETTLE_MS);
    EXPECT_GE(first, 10u);

    // From a running camera: the next frame, at once.
    const double warmMs = PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{L"Captured to clipboard."});
    const uint32_t second = ClipboardPatternCounter();
    EXPECT_GT(second, first);
    EXPECT_LE(second, first + 3);
    EXPECT_LT(warmMs, 250.0);
    EXPECT_EQ(script->opens, 1);
    std::printf("capture key to clipboard (window procedure): camera closed %.0f ms, open %.0f ms\n",
                coldMs, warmMs);
}

TEST_F(TrayTest, CaptureKeyFailuresAreToldAndNothingIsClaimed) {
    settings.DeviceSymLink = PatternLink();
    PressCaptureKey();
    TakeBalloons();

    ASSERT_TRUE(PutTextOnClipboard(L"before"));
    {
        ClipboardHolder holder;
        ASSERT_TRUE(holder.opened());
        EXPECT_FALSE(PutTextOnClipboard(L"unchanged"));
        PressCaptureKey();
    }
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{L"Could not open clipboard."});
    EXPECT_EQ(ClipboardText(), L"before");

    // The device stops delivering: the failure is told, and the stale device
    // is let go so that the next press opens it afresh.
    script->goodReads = script->reads;
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{
                                  L"Capture failed. Camera may be in use by another application."});
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(ClipboardText(), L"before");

    script->goodReads = INT_MAX;
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{L"Captured to clipboard."});
    EXPECT_EQ(script->opens, 2);

    // While the dialog is open the camera is the dialog's: a failed press
    // leaves it open.
    Tray().dialogOpen = true;
    script->goodReads = script->reads;
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), std::vector<std::wstring>{
                                  L"Capture failed. Camera may be in use by another application."});
    EXPECT_TRUE(camera.IsOpen());
}
