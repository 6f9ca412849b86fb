// The tray window's procedure driven by real messages: icon and balloons (seen
// through the notify-icon hook), menu, Exit, the capture key's registration and
// its capture onto the real clipboard from a test-pattern camera.

#include "app/tray_window.h"

#include <algorithm>
#include <chrono>

#include "app/hotkey.h"
#include "capture_test_support.h"

using namespace capture_test;

namespace {

using Texts = std::vector<std::wstring>;
constexpr wchar_t CAPTURED[] = L"Captured to clipboard.";
constexpr wchar_t FAILED[] = L"Capture failed. The camera sent no picture.";
constexpr wchar_t NO_CAMERA[] = L"No camera open. Open the app and select a device first.";
constexpr wchar_t IN_USE[] = L"Capture failed. The camera is in use by another app.";
constexpr wchar_t BLOCKED[] =
    L"Capture failed. The camera is blocked by Windows privacy settings (Settings > Privacy > Camera).";
constexpr wchar_t GONE[] = L"Capture failed. The camera is disconnected.";
constexpr wchar_t EMPTY_LINK[] = L"\\\\?\\test#empty";  // a device whose picture is empty

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

bool TakeQuit() {
    MSG message;
    return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

// Opens the tray menu with a right button release on the icon; another thread
// notes the foreground window while the menu shows and then presses `keys` in it.
HWND OpenTrayMenu(std::vector<WPARAM> keys) {
    HWND foreground = nullptr;
    std::thread presser([&] {
        Eventually([&] { return (foreground = FindWindowW(L"#32768", nullptr)) && IsWindowVisible(foreground); });
        foreground = GetForegroundWindow();
        for (WPARAM key : keys) PostMessageW(FindWindowW(L"#32768", nullptr), WM_KEYDOWN, key, 0);
    });
    SendMessageW(Tray().window, WM_TRAYICON, TRAY_ICON_ID, WM_RBUTTONUP);
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

    std::shared_ptr<ReaderScript> script = std::make_shared<ReaderScript>();
    Settings settings;
    std::atomic<int> emptyReads{0};
    Camera camera{[this](const std::wstring& link, CameraError& error) -> std::unique_ptr<VideoReader> {
        if (link == EMPTY_LINK) return std::make_unique<FastReader>(0, 0, emptyReads);
        return ScriptedPatternOpener(script)(link, error);
    }};

private:
    TrayWindow saved_;
};

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
    // The shell broadcasts it to every top-level window; a message-only window would never hear it.
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    SendMessageTimeoutW(HWND_BROADCAST, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
    ASSERT_EQ(CountCalls(NIM_ADD), 1);
    EXPECT_EQ(notifyCalls[0].second.hWnd, Tray().window);
    SendMessageW(Tray().window, WM_COMMAND, ID_TRAY_EXIT, 0);
    EXPECT_EQ(CountCalls(NIM_DELETE), 1);
    EXPECT_TRUE(TakeQuit());
    SendMessageW(Tray().helperWindow, taskbarCreated, 0, 0);
    EXPECT_EQ(CountCalls(NIM_ADD), 1) << "once Exit has removed it, it stays away";
    TrayWindowProc(Tray().window, WM_DESTROY, 0, 0);
    EXPECT_EQ(CountCalls(NIM_DELETE), 2);
    EXPECT_TRUE(TakeQuit());
}

TEST_F(TrayTest, MenuPostsTheChosenCommand) {
    // Escape: nothing is posted. Meanwhile the menu's owner had the foreground,
    // which a message-only window cannot have: without it a click elsewhere
    // would not close the menu.
    EXPECT_EQ(OpenTrayMenu({VK_ESCAPE}), Tray().helperWindow);
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

// Capture-key presses one after the other on one camera record: the device
// saved, what the reader and the clipboard do meanwhile, and what must follow.
// A camera that fails is let go, so that the next press opens it afresh;
// while the dialog is open the camera is the dialog's and stays open.
enum class Timing { Any, Cold, Warm };
struct Press {
    const wchar_t* link;  // after "snapward-testpattern:", or a whole link
    int failReads;        // 1: every read fails from now, 0: reads succeed again, -1: as before
    bool dialogOpen;
    bool clipboardHeld;
    const wchar_t* balloon;
    bool openAfter;
    Timing timing = Timing::Any;  // the picture on the clipboard, from a cold or a warm camera
};

TEST_F(TrayTest, CaptureKeyCapturesFromTheSavedCameraAndSaysWhyNot) {
    const std::wstring nv12 = PatternLink();
    const Press presses[] = {
        {L"", -1, false, false, NO_CAMERA, false},
        {L"\\\\?\\usb#vid_0000&pid_0000#unplugged", -1, false, false, NO_CAMERA, false},
        {EMPTY_LINK, -1, false, false, NO_CAMERA, false},  // an empty bitmap never reaches the clipboard
        {L"rgb24?name=k1&busy=C00D3704", -1, false, false, IN_USE, false},
        {L"nv12?name=k2&busy=C00D3EA3", -1, false, false, IN_USE, false},
        {L"rgb24?name=k3&privacy=open", -1, false, false, BLOCKED, false},
        {L"rgb24?name=k4&privacy=read", -1, false, false, BLOCKED, false},
        {L"rgb24?name=k5&unplug=1", -1, false, false, GONE, false},
        {L"rgb24?name=k5&unplug=1", -1, false, false, GONE, false},  // still gone: at the open
        {nv12.c_str(), -1, false, false, CAPTURED, true, Timing::Cold},
        {nv12.c_str(), -1, false, false, CAPTURED, true, Timing::Warm},
        {nv12.c_str(), -1, false, true, L"Could not open clipboard.", true},
        {nv12.c_str(), 1, false, false, FAILED, false},
        {nv12.c_str(), 0, false, false, CAPTURED, true, Timing::Cold},
        {nv12.c_str(), 1, true, false, FAILED, true},
    };
    uint32_t lastCounter = 0;
    for (const Press& press : presses) {
        SCOPED_TRACE(std::string(press.link, press.link + wcslen(press.link)));
        settings.DeviceSymLink = wcschr(press.link, L'?') ? std::wstring(L"snapward-testpattern:") + press.link
                                                          : std::wstring(press.link);
        if (press.failReads >= 0) script->goodReads = press.failReads ? script->reads : INT_MAX;
        Tray().dialogOpen = press.dialogOpen;
        const int opens = script->opens;
        ASSERT_TRUE(PutTextOnClipboard(L"before"));
        const auto start = std::chrono::steady_clock::now();
        {
            std::unique_ptr<ClipboardHolder> holder(press.clipboardHeld ? new ClipboardHolder : nullptr);
            SendMessageW(Tray().window, WM_HOTKEY, CAPTURE_HOTKEY_ID, MAKELPARAM(0, VK_F10));
        }
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(TakeBalloons(), Texts{press.balloon});
        EXPECT_EQ(camera.IsOpen(), press.openAfter);
        if (press.timing == Timing::Any) {
            EXPECT_EQ(ClipboardText(), L"before");
            continue;
        }
        EXPECT_EQ(GetClipboardOwner(), Tray().window);
        uint32_t counter = 0;
        EXPECT_TRUE(ClipboardHoldsPattern(&counter));
        if (press.timing == Timing::Cold) {
            // Opened afresh, and the frames of the first half second read and dropped.
            EXPECT_EQ(script->opens, opens + 1);
            EXPECT_GE(took, CAMERA_SETTLE_TIME);
            EXPECT_GE(counter, 10u);
        } else {  // from a running camera: the next frame, at once
            EXPECT_GT(counter, lastCounter);
            EXPECT_LE(counter, lastCounter + 3);
            EXPECT_LT(took, CAMERA_SETTLE_TIME);  // no settling: it has streamed for long
        }
        lastCounter = counter;
    }
}

// After a capture the camera stays open for the next press, until the idle
// time passes without one; the dialog, once open, owns the camera.
TEST_F(TrayTest, CaptureKeyKeepsTheCameraWarmUntilIdle) {
    ASSERT_TRUE(camera.Open(PatternLink()));
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
        EXPECT_TRUE(Eventually([&] { return camera.previewError() == CAMERA_ERROR_OUT_OF_MEMORY; }));
        camera.StopPreview();
        SendMessageW(Tray().window, WM_HOTKEY, CAPTURE_HOTKEY_ID, MAKELPARAM(0, VK_F10));
    }
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(TakeBalloons(), Texts{L"Capture failed. Not enough memory for a picture of this camera's size."});
    EXPECT_EQ(ClipboardText(), L"before");
}

}  // namespace
