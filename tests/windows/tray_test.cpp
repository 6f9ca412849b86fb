// The tray window's procedure driven by real messages: icon and balloons (seen
// through the notify-icon hook), menu, Exit, the capture key's registration and
// its capture onto the real clipboard from a test-pattern camera.

#include "app/tray_window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "app/hotkey.h"
#include "capture_test_support.h"

using namespace capture_test;

namespace {

using Texts = std::vector<std::wstring>;
constexpr wchar_t CAPTURED[] = L"Captured to clipboard.";
constexpr wchar_t CAPTURE_FAILED[] = L"Capture failed. The camera sent no picture.";

std::vector<std::pair<DWORD, NOTIFYICONDATAW>> notifyCalls;
BOOL WINAPI RecordNotify(DWORD message, PNOTIFYICONDATAW data) {
    notifyCalls.emplace_back(message, *data);
    return TRUE;
}

// The texts of the balloons requested since the last call.
Texts TakeBalloons() {
    Texts texts;
    for (const auto& [message, data] : notifyCalls) {
        if (message == NIM_MODIFY && (data.uFlags & NIF_INFO)) texts.push_back(data.szInfo);
    }
    notifyCalls.clear();
    return texts;
}

int CountCalls(DWORD message) {
    return std::count_if(notifyCalls.begin(), notifyCalls.end(), [&](const auto& c) { return c.first == message; });
}

// Whether WM_QUIT is waiting in this thread's queue (and takes it).
bool TakeQuit() {
    MSG message;
    return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

// Opens the tray menu with a right button release on the icon; another thread
// notes the foreground window while the menu shows and then presses `keys` in it.
HWND OpenTrayMenu(std::vector<WPARAM> keys) {
    HWND foreground = nullptr;
    std::atomic<bool> done{false};
    std::thread presser([&] {
        for (int i = 0; i < 200 && !done; ++i, Sleep(25)) {
            HWND menu = FindWindowW(L"#32768", nullptr);
            if (!menu || !IsWindowVisible(menu)) continue;
            foreground = GetForegroundWindow();
            for (WPARAM key : keys) PostMessageW(menu, WM_KEYDOWN, key, 0);
            return;
        }
    });
    SendMessageW(Tray().window, WM_TRAYICON, TRAY_ICON_ID, WM_RBUTTONUP);
    done = true;
    presser.join();
    return foreground;
}

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Tray().window) CreateTrayWindow(GetModuleHandleW(nullptr));
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
        while (TakeQuit()) {}
    }

    // One capture-key press; returns how long the window procedure took.
    double PressCaptureKey() {
        const auto start = std::chrono::steady_clock::now();
        SendMessageW(Tray().window, WM_HOTKEY, CAPTURE_HOTKEY_ID, MAKELPARAM(0, VK_F10));
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }

    std::shared_ptr<ReaderScript> script = std::make_shared<ReaderScript>();
    Settings settings;
    Camera camera{ScriptedPatternOpener(script)};

private:
    TrayWindow saved_;
};

}  // namespace

TEST_F(TrayTest, BalloonsAreCutToFitAndLeaveTheIconRecordAlone) {
    ShowTrayBalloon(std::wstring(100, L't').c_str(), std::wstring(300, L'x').c_str());
    ASSERT_EQ(notifyCalls.size(), 1u);
    const NOTIFYICONDATAW& balloon = notifyCalls[0].second;
    EXPECT_EQ(balloon.uFlags, Tray().iconData.uFlags | NIF_INFO);
    EXPECT_EQ(std::wstring(balloon.szInfoTitle), std::wstring(63, L't'));  // cut, terminated
    EXPECT_EQ(std::wstring(balloon.szInfo), std::wstring(255, L'x'));
    // Later modifies and the delete use the stored record: no balloon of their own.
    EXPECT_EQ(Tray().iconData.uFlags & NIF_INFO, 0u);
}

TEST_F(TrayTest, TaskbarRestartPutsTheIconBackUntilExitOrDestroyRemovesItAndEndsTheLoop) {
    // The shell broadcasts it to every top-level window; a message-only window
    // would never hear it.
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    SendMessageTimeoutW(HWND_BROADCAST, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
    ASSERT_EQ(CountCalls(NIM_ADD), 1);
    EXPECT_EQ(notifyCalls[0].second.hWnd, Tray().window);
    EXPECT_EQ(notifyCalls[0].second.uFlags & NIF_INFO, 0u);

    SendMessageW(Tray().window, WM_COMMAND, ID_TRAY_EXIT, 0);
    EXPECT_EQ(CountCalls(NIM_DELETE), 1);
    EXPECT_TRUE(TakeQuit());
    notifyCalls.clear();
    SendMessageW(Tray().helperWindow, taskbarCreated, 0, 0);
    EXPECT_EQ(CountCalls(NIM_ADD), 0) << "once Exit has removed it, it stays away";

    TrayWindowProc(Tray().window, WM_DESTROY, 0, 0);
    EXPECT_EQ(CountCalls(NIM_DELETE), 1);
    EXPECT_TRUE(TakeQuit());
}

TEST_F(TrayTest, MenuPostsTheChosenCommand) {
    // Escape: the menu closes and nothing is posted. Meanwhile the menu's owner
    // had the foreground, which a message-only window cannot have: without it
    // a click elsewhere would not close the menu.
    HWND foreground = OpenTrayMenu({VK_ESCAPE});
    EXPECT_EQ(foreground, Tray().helperWindow);
    EXPECT_NE(foreground, nullptr);
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, Tray().window, WM_COMMAND, WM_COMMAND, PM_REMOVE));

    // The last item, Exit, arrives as a posted command and runs from the queue.
    OpenTrayMenu({VK_UP, VK_RETURN});
    ASSERT_TRUE(PeekMessageW(&message, Tray().window, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_EQ(message.wParam, ID_TRAY_EXIT);
    DispatchMessageW(&message);
    EXPECT_EQ(CountCalls(NIM_DELETE), 1);
    EXPECT_TRUE(TakeQuit());
}

TEST_F(TrayTest, CaptureKeyRegistrationBalloons) {
    settings.Keybind = VK_F10;
    RegisterCaptureHotkey();
    RegisterCaptureHotkey();  // again: it first lets go of the key it holds
    EXPECT_EQ(TakeBalloons(), Texts(2, L"Hotkey registered: F10  (press it anywhere to capture)"));
    EXPECT_FALSE(RegisterHotKey(nullptr, 1, 0, VK_F10)) << "the key was not taken";

    settings.Keybind = 0;
    RegisterCaptureHotkey();
    EXPECT_EQ(TakeBalloons(), Texts{L"No capture hotkey set. Open the app and click Change to set one."});
    ASSERT_TRUE(RegisterHotKey(nullptr, 1, 0, VK_F10)) << "F10 still registered";
    // Someone else holds the key now.
    settings.Keybind = VK_F10;
    RegisterCaptureHotkey();
    UnregisterHotKey(nullptr, 1);
    EXPECT_EQ(TakeBalloons(), Texts{L"Could not register hotkey (error 1409). Another app may be using that key. "
                                    L"Open the app and pick a different one."});
}

TEST_F(TrayTest, CaptureKeyWithoutACamera) {
    const Texts noCamera{L"No camera open. Open the app and select a device first."};
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), noCamera);
    settings.DeviceSymLink = L"\\\\?\\usb#vid_0000&pid_0000#unplugged";
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), noCamera);
    EXPECT_EQ(script->opens, 0);

    // A device that only offers an empty picture is no camera, and an empty
    // bitmap never reaches the clipboard.
    std::atomic<int> reads{0};
    Camera empty([&](const std::wstring&, CameraError&) { return std::make_unique<FastReader>(0, 0, reads); });
    Tray().camera = &empty;
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), noCamera);
    EXPECT_EQ(ClipboardText(), L"before");
}

TEST_F(TrayTest, CaptureKeyOpensSettlesCapturesAndTellsFailures) {
    settings.DeviceSymLink = PatternLink();
    const double coldMs = PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), Texts{CAPTURED});
    EXPECT_TRUE(camera.IsOpen()) << "the camera stays open for the next press";
    EXPECT_EQ(GetClipboardOwner(), Tray().window);
    // The frames of the first half second were read and dropped.
    uint32_t first = 0;
    EXPECT_TRUE(ClipboardHoldsPattern(&first));
    EXPECT_GE(coldMs, CAMERA_SETTLE_TIME.count());
    EXPECT_GE(first, 10u);
    // From a running camera: the next frame, at once.
    const double warmMs = PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), Texts{CAPTURED});
    uint32_t second = 0;
    EXPECT_TRUE(ClipboardHoldsPattern(&second));
    EXPECT_GT(second, first);
    EXPECT_LE(second, first + 3);
    EXPECT_LT(warmMs, 250.0);
    std::printf("capture key to clipboard (window procedure): camera closed %.0f ms, open %.0f ms\n", coldMs, warmMs);

    ASSERT_TRUE(PutTextOnClipboard(L"before"));
    {
        ClipboardHolder holder;
        ASSERT_TRUE(holder.opened());
        PressCaptureKey();
    }
    EXPECT_EQ(TakeBalloons(), Texts{L"Could not open clipboard."});
    EXPECT_EQ(ClipboardText(), L"before");

    // The device stops delivering: the failure is told, and the stale device
    // is let go so that the next press opens it afresh.
    script->goodReads = script->reads;
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), Texts{CAPTURE_FAILED});
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(ClipboardText(), L"before");
    script->goodReads = INT_MAX;
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), Texts{CAPTURED});
    EXPECT_EQ(script->opens, 2);

    // While the dialog is open the camera is the dialog's: a failed press leaves it open.
    Tray().dialogOpen = true;
    script->goodReads = script->reads;
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), Texts{CAPTURE_FAILED});
    EXPECT_TRUE(camera.IsOpen());
}

// Each way a camera fails has its own balloon, at the open or at the grab; a
// camera that fails is let go.
TEST_F(TrayTest, CaptureKeyBalloonSaysWhyTheCameraFailed) {
    const wchar_t* const inUse = L"Capture failed. The camera is in use by another app.";
    const wchar_t* const blocked =
        L"Capture failed. The camera is blocked by Windows privacy settings (Settings > Privacy > Camera).";
    const struct {
        const wchar_t* camera;
        const wchar_t* balloon;
    } cases[] = {
        {L"rgb24?name=k1&busy=C00D3704", inUse},
        {L"nv12?name=k2&busy=C00D3EA3", inUse},
        {L"rgb24?name=k3&privacy=open", blocked},
        {L"rgb24?name=k4&privacy=read", blocked},
        {L"rgb24?name=k5&unplug=1", L"Capture failed. The camera is disconnected."},
        {L"rgb24?name=k5&unplug=1", L"Capture failed. The camera is disconnected."},  // still gone: at the open
    };
    for (const auto& c : cases) {
        settings.DeviceSymLink = std::wstring(L"snapward-testpattern:") + c.camera;
        PressCaptureKey();
        EXPECT_EQ(TakeBalloons(), Texts{c.balloon}) << std::string(c.camera, c.camera + wcslen(c.camera));
        EXPECT_FALSE(camera.IsOpen());
        EXPECT_EQ(ClipboardText(), L"before");
    }
}

// After a capture the camera stays open for the next press, until the idle
// time passes without one; the dialog, once open, owns the camera.
TEST_F(TrayTest, CaptureKeyKeepsTheCameraWarmUntilIdle) {
    settings.DeviceSymLink = PatternLink();
    PressCaptureKey();
    EXPECT_EQ(TakeBalloons(), Texts{CAPTURED});
    ASSERT_TRUE(camera.IsOpen());
    Tray().dialogOpen = true;
    SendMessageW(Tray().window, WM_TIMER, CAMERA_IDLE_TIMER_ID, 0);
    EXPECT_TRUE(camera.IsOpen()) << "closed under the dialog";
    Tray().dialogOpen = false;
    SendMessageW(Tray().window, WM_TIMER, CAMERA_IDLE_TIMER_ID, 0);
    EXPECT_FALSE(camera.IsOpen());
}

// A camera whose pictures cannot be allocated in a crowded 32-bit process: the
// grab fails on the preview thread and under the capture key alike, nothing is
// thrown out of either, and the balloon says why.
TEST_F(TrayTest, HugeCameraInACrowdedProcessFailsCleanly) {
    settings.DeviceSymLink = L"snapward-testpattern:nv12?name=k6&huge=16384x5456";
    ASSERT_TRUE(camera.Open(settings.DeviceSymLink));
    std::atomic<int> frames{0};
    {
        CrowdedAddressSpace crowded(64 << 20);
        ASSERT_TRUE(camera.StartPreview([&](const uint8_t*, int32_t, int32_t, int32_t) { ++frames; }));
        for (int i = 0; i < 200 && camera.previewError() == CAMERA_ERROR_NONE; ++i) Sleep(10);
        EXPECT_EQ(camera.previewError(), CAMERA_ERROR_OUT_OF_MEMORY);
        camera.StopPreview();
        PressCaptureKey();
    }
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(TakeBalloons(), Texts{L"Capture failed. Not enough memory for a picture of this camera's size."});
    EXPECT_EQ(ClipboardText(), L"before");
}
