// The tray window's procedure driven by real messages: icon and balloons (seen
// through the notify-icon hook), Exit, the capture key's registration after the
// dialog and its capture onto the real clipboard from a test-pattern camera.

#include "app/tray_window.h"

#include <algorithm>

#include "app/dialog_from_tray.h"
#include "app/hotkey.h"
#include "capture_test_support.h"
#include "settings/key_names.h"
#include "ui/resource_ids.h"

using namespace capture_test;

namespace {

using Texts = std::vector<std::wstring>;
constexpr wchar_t CAPTURED[] = L"Captured to clipboard.";
constexpr wchar_t FAILED[] = L"Capture failed. The camera sent no picture.";
constexpr wchar_t NO_CAMERA[] = L"No camera open. Open the app and select a device first.";
constexpr wchar_t IN_USE[] = L"Capture failed. The camera is in use by another app.";
constexpr wchar_t GONE[] = L"Capture failed. The camera is disconnected.";

std::vector<std::pair<DWORD, NOTIFYICONDATAW>> notifyCalls;
BOOL WINAPI RecordNotify(DWORD message, PNOTIFYICONDATAW data) {
    notifyCalls.emplace_back(message, *data);
    return TRUE;
}

// Calls the shell refuses before it takes the next, as at logon while Explorer starts.
int refusals = 0;
BOOL WINAPI RefusingNotify(DWORD message, PNOTIFYICONDATAW data) {
    notifyCalls.emplace_back(message, *data);
    return refusals > 0 ? (--refusals, FALSE) : TRUE;
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

// What the capture key finds listed when the saved camera does not open.
std::vector<CameraDevice> trayDevices;
std::vector<CameraDevice> TrayDevices() { return trayDevices; }

bool TakeQuit() {
    MSG message;
    return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Tray().window) CreateTrayWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(Tray().window, nullptr);
        saved = Tray();
        Tray().settings = &settings;
        Tray().camera = &camera;
        Tray().notifyIcon = RecordNotify;
        Tray().enumerateCameras = TrayDevices;
        Tray().dialogOpen = false;
        AddTrayIcon();
        notifyCalls.clear();
    }
    void TearDown() override {
        UnregisterHotKey(Tray().window, CAPTURE_HOTKEY_ID);
        camera.Close();
        Tray() = saved;
        while (TakeQuit()) {}
    }

    std::shared_ptr<ReaderScript> script = std::make_shared<ReaderScript>();
    Settings settings;
    Camera camera{ScriptedPatternOpener(script)};
    TrayWindow saved;
};

// The shell broadcasts "TaskbarCreated" to every top-level window; a
// message-only window would never hear it.
TEST_F(TrayTest, TaskbarRestartPutsTheIconBackUntilExitOrDestroyRemovesIt) {
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    SendMessageTimeoutW(HWND_BROADCAST, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
    ASSERT_EQ(CountCalls(NIM_ADD), 1);
    EXPECT_EQ(notifyCalls[0].second.hWnd, Tray().window);
    // Ours, drawn at the notification area's size rather than shrunk from 32 pixels.
    ICONINFO icon{};
    BITMAP colour{};
    ASSERT_TRUE(GetIconInfo(notifyCalls[0].second.hIcon, &icon));
    UniqueBitmap mask(icon.hbmMask), colours(icon.hbmColor);
    ASSERT_TRUE(GetObjectW(icon.hbmColor, sizeof colour, &colour));
    EXPECT_EQ(colour.bmWidth, GetSystemMetrics(SM_CXSMICON));
    EXPECT_EQ(colour.bmHeight, GetSystemMetrics(SM_CYSMICON));
    EXPECT_NE(notifyCalls[0].second.hIcon, LoadIconW(nullptr, IDI_APPLICATION));
    SendMessageW(Tray().window, WM_COMMAND, ID_TRAY_EXIT, 0);
    EXPECT_EQ(CountCalls(NIM_DELETE), 1);
    EXPECT_TRUE(TakeQuit());
    SendMessageW(Tray().helperWindow, taskbarCreated, 0, 0);
    EXPECT_EQ(CountCalls(NIM_ADD), 1) << "once Exit has removed it, it stays away";
    TrayWindowProc(Tray().window, WM_DESTROY, 0, 0);
    EXPECT_EQ(CountCalls(NIM_DELETE), 2);
    EXPECT_TRUE(TakeQuit());
}

// A press of the capture key as the system delivers it; with the dialog closed
// the capture finishes on this thread's queue.
void PressCaptureKey() {
    SendMessageW(Tray().window, WM_HOTKEY, CAPTURE_HOTKEY_ID, MAKELPARAM(0, VK_F10));
    EXPECT_TRUE(Eventually([] { return !HotkeyCaptureRunning(); }));
}

// The logon entry's argument, however the line quotes or spells it; a path
// that merely contains it is no such start.
TEST(TrayStart, AtLogonOnlyWithTheArgumentOfItsOwn) {
    const std::pair<const wchar_t*, bool> lines[] = {
        {L"Snapward.exe", false},
        {L"\"C:\\Program Files (x86)\\Snapward\\Snapward.exe\" /tray", true},
        {L"Snapward.exe /TRAY", true},
        {L"Snapward.exe other \"/tray\"", true},
        {L"\"C:\\x /tray\\Snapward.exe\"", false},
        {L"/tray", false},
        {L"Snapward.exe /trays", false},
        {L"Snapward.exe -tray", false},
        {L"", false},
    };
    for (const auto& [line, logon] : lines) EXPECT_EQ(IsLogonStart(line), logon) << std::wstring(line).size();
    EXPECT_FALSE(IsLogonStart(nullptr));
}

// An icon the shell refuses is offered again on the timer until it is there
// (a NIM_ADD that timed out although the shell took the icon: NIM_MODIFY
// finds it), a bounded number of times, and again when the taskbar is
// (re)created.
TEST_F(TrayTest, ARefusedIconIsOfferedAgainUntilTheShellTakesItForABoundedTime) {
    Tray().notifyIcon = RefusingNotify;
    // A tick of the retry timer, but only while the program keeps it set, as
    // Windows would deliver it: a timer stopped early gets no more ticks.
    const auto tick = [] {
        if (!KillTimer(Tray().window, ICON_RETRY_TIMER_ID)) return;
        SetTimer(Tray().window, ICON_RETRY_TIMER_ID, ICON_RETRY_MS, nullptr);
        SendMessageW(Tray().window, WM_TIMER, ICON_RETRY_TIMER_ID, 0);
    };
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    const struct {
        int refusals;
        bool byTaskbar;
        int adds;
        int modifies;
    } cases[] = {{5, false, 3, 3}, {INT_MAX, false, 1 + ICON_RETRY_ATTEMPTS, 1 + ICON_RETRY_ATTEMPTS}, {2, true, 2, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusals);
        refusals = c.refusals;
        notifyCalls.clear();
        if (c.byTaskbar) {
            SendMessageW(Tray().helperWindow, taskbarCreated, 0, 0);
        } else {
            AddTrayIcon();
        }
        for (int i = 0; i < ICON_RETRY_ATTEMPTS + 5; ++i) tick();
        EXPECT_EQ(CountCalls(NIM_ADD), c.adds);
        EXPECT_EQ(CountCalls(NIM_MODIFY), c.modifies);
        EXPECT_FALSE(KillTimer(Tray().window, ICON_RETRY_TIMER_ID)) << "the retries are over";
    }
    refusals = 0;
}

// Capture-key presses one after the other on one camera record. A camera that
// fails is let go, so that the next press opens it afresh; while the dialog is
// open the camera is the dialog's and stays open, even when idle. The
// clipboard, held by another program for a moment, is waited for; held for
// long, the balloon says so.
struct Press {
    const wchar_t* link;
    int failReads;        // 1: every read fails from now, 0: reads succeed again, -1: as before
    bool dialogOpen;
    DWORD clipboardHeldMs;
    const wchar_t* balloon;
    bool openAfter;
};

TEST_F(TrayTest, CaptureKeyCapturesFromTheSavedCameraSaysWhyNotAndLetsItGoWhenIdle) {
    const std::wstring nv12 = PatternLink();
    const Press presses[] = {
        {L"", -1, false, 0, NO_CAMERA, false},
        {L"\\\\?\\usb#vid_0000&pid_0000#unplugged", -1, false, 0, NO_CAMERA, false},
        {L"snapward-testpattern:rgb24?name=k1&busy=C00D3704", -1, false, 0, IN_USE, false},
        {L"snapward-testpattern:nv12?name=k2&busy=C00D3EA3", -1, false, 0, IN_USE, false},
        {L"snapward-testpattern:rgb24?name=k3&privacy=open", -1, false, 0,
         L"Capture failed. The camera is blocked by Windows privacy settings (Settings > Privacy > Camera).", false},
        {L"snapward-testpattern:rgb24?name=k5&unplug=1", -1, false, 0, GONE, false},
        {nv12.c_str(), -1, false, 0, CAPTURED, true},
        {nv12.c_str(), -1, false, 2000, L"Could not open clipboard.", true},
        {nv12.c_str(), -1, false, 100, CAPTURED, true},
        {nv12.c_str(), 1, false, 0, FAILED, false},
        {nv12.c_str(), 0, false, 0, CAPTURED, true},  // opened afresh
        {nv12.c_str(), -1, true, 100, CAPTURED, true},
        {nv12.c_str(), 1, true, 0, FAILED, true},
    };
    for (const Press& press : presses) {
        SCOPED_TRACE(std::string(press.link, press.link + wcslen(press.link)));
        settings.DeviceSymLink = press.link;
        if (press.failReads >= 0) script->goodReads = press.failReads ? script->reads.load() : INT_MAX;
        Tray().dialogOpen = press.dialogOpen;
        ASSERT_TRUE(PutTextOnClipboard(L"before"));
        {
            std::unique_ptr<ClipboardHolder> holder(press.clipboardHeldMs ? new ClipboardHolder(press.clipboardHeldMs)
                                                                          : nullptr);
            PressCaptureKey();
        }
        EXPECT_EQ(TakeBalloons(), Texts{press.balloon});
        EXPECT_EQ(camera.IsOpen(), press.openAfter);
        EXPECT_EQ(ClipboardText(), press.balloon == CAPTURED ? L"" : L"before");
        if (press.balloon == CAPTURED) EXPECT_TRUE(GetClipboardOwner() == Tray().window && ClipboardHoldsPattern());
    }
    // The idle time lets the camera go, but not from under the open dialog.
    SendMessageW(Tray().window, WM_TIMER, CAMERA_IDLE_TIMER_ID, 0);
    EXPECT_TRUE(camera.IsOpen());
    Tray().dialogOpen = false;
    SendMessageW(Tray().window, WM_TIMER, CAMERA_IDLE_TIMER_ID, 0);
    EXPECT_FALSE(camera.IsOpen());

    // Moved to another port: the one camera bearing its name is it, and its
    // new link is saved; two of that name, and neither is taken for it.
    SettingsKeyKeeper keeper;
    script->goodReads = INT_MAX;
    trayDevices = {{L"Twin", L"snapward-testpattern:rgb24?name=Twin"}, {L"Moved", nv12}, {L"Twin", nv12}};
    for (const wchar_t* name : {L"Twin", L"Moved"}) {
        settings.DeviceSymLink = L"\\\\?\\usb#vid_0000&pid_0000#old-port";
        settings.DeviceName = name;
        PressCaptureKey();
        const bool moved = name == std::wstring(L"Moved");
        EXPECT_EQ(TakeBalloons(), Texts{moved ? CAPTURED : NO_CAMERA});
        EXPECT_EQ(settings.DeviceSymLink, moved ? nv12 : L"\\\\?\\usb#vid_0000&pid_0000#old-port");
        EXPECT_EQ(LoadSettings().DeviceSymLink, moved ? nv12 : L"");
    }
    trayDevices.clear();
}

// Closes the dialog once the tray shows it, noting whether a balloon came first.
bool toldBeforeClosing = false;
Texts shownBeforeClosing;
void CALLBACK CloseShownDialog(HWND, UINT, UINT_PTR, DWORD) {
    const HWND dialog = FindWindowW(L"#32770", L"Snapward");
    if (!dialog || !IsWindowVisible(dialog) || !Tray().dialogOpen) return;
    shownBeforeClosing = TakeBalloons();
    toldBeforeClosing = !shownBeforeClosing.empty();
    PostMessageW(dialog, WM_COMMAND, IDC_CLOSE, 0);
}

// Shown as the tray shows it, with the program's own settings key: afterwards
// the key chosen is registered (letting go of the one held before) and named in
// balloons, and the camera the capture key left open is closed.
TEST_F(TrayTest, DialogFromTrayRegistersTheKeyOnClosingSaysSoAndClosesTheCamera) {
    SettingsKeyKeeper keeper;
    const uint32_t namelessKey = 0x07;  // unassigned: the layout has no name for it
    ASSERT_TRUE(LayoutKeyName(namelessKey).empty());
    const wchar_t* const f9 = L"Hotkey registered: F9  (press it anywhere to capture)";
    const wchar_t* const f9Running = L"Still running in the tray. Press F9 anywhere to capture.";
    const struct {
        uint32_t key;
        bool heldElsewhere;
        Texts balloons;
    } cases[] = {
        {VK_F9, false, {f9, f9Running}},
        {VK_F9, false, {f9, f9Running}},  // the key it holds let go first
        // Named as the dialog named it, not "Press  anywhere".
        {namelessKey, false, {L"Hotkey registered: VK 0x07  (press it anywhere to capture)",
                              L"Still running in the tray. Press VK 0x07 anywhere to capture."}},
        {0, false, {L"No capture hotkey set. Open the app and click Change to set one.",
                    L"Still running in the tray. Open the app to set a capture hotkey."}},
        // The failure stays the last word: no hint to press a key that does nothing.
        {VK_F9, true, {L"Could not register hotkey (error 1409). Another app may be using that key. Open the app and "
                       L"pick a different one."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        settings.Keybind = c.key;
        ASSERT_TRUE(camera.Open(PatternLink()));  // as a capture key press leaves it
        if (c.heldElsewhere) ASSERT_TRUE(RegisterHotKey(nullptr, 1, 0, c.key));
        toldBeforeClosing = true;
        const UINT_PTR timer = SetTimer(nullptr, 0, 15, CloseShownDialog);
        OpenDialogFromTray();
        KillTimer(nullptr, timer);
        if (c.heldElsewhere) UnregisterHotKey(nullptr, 1);
        EXPECT_FALSE(toldBeforeClosing);
        EXPECT_FALSE(Tray().dialogOpen);
        EXPECT_FALSE(camera.IsOpen());
        EXPECT_EQ(TakeBalloons(), c.balloons);
        EXPECT_EQ(KeyIsFree(VK_F9), c.key != VK_F9 || c.heldElsewhere);
        EXPECT_EQ(KeyIsFree(namelessKey), c.key != namelessKey);
    }
}

// A cold camera takes seconds to start. Meanwhile the tray answers at once:
// another press is no second capture, the idle time leaves the camera alone,
// and the dialog asked for follows the capture instead of waiting for it.
// At exit a capture that waits on a camera that sends nothing is woken and fails, not waited out: its read would wait
// a minute, and ends cancelled.
TEST_F(TrayTest, AtExitACaptureWaitingOnASilentCameraIsWokenNotWaitedOut) {
    settings.DeviceSymLink = L"snapward-testpattern:nv12?name=Silent&stall=0&wait=60000";
    settings.Keybind = 0;
    SendMessageW(Tray().window, WM_HOTKEY, CAPTURE_HOTKEY_ID, MAKELPARAM(0, VK_F10));
    ASSERT_TRUE(HotkeyCaptureRunning());
    ASSERT_TRUE(Eventually([&] { return script->reads > 0; }));
    FinishHotkeyCapture(true);
    EXPECT_FALSE(HotkeyCaptureRunning());
    EXPECT_EQ(camera.lastError(), CAMERA_ERROR_CANCELLED);
    EXPECT_EQ(TakeBalloons(), Texts{FAILED});
}

TEST_F(TrayTest, ACaptureLeavesTheTrayFreeIgnoresPressesMeanwhileAndTheDialogFollowsIt) {
    SettingsKeyKeeper keeper;
    settings.DeviceSymLink = PatternLink();
    settings.Keybind = 0;
    script->readsHeld = true;
    SendMessageW(Tray().window, WM_HOTKEY, CAPTURE_HOTKEY_ID, MAKELPARAM(0, VK_F10));
    // Back here while the camera has not yet given a frame.
    EXPECT_EQ(script->reads, 0);
    EXPECT_TRUE(HotkeyCaptureRunning());
    SendMessageW(Tray().window, WM_HOTKEY, CAPTURE_HOTKEY_ID, MAKELPARAM(0, VK_F10));
    SendMessageW(Tray().window, WM_TIMER, CAMERA_IDLE_TIMER_ID, 0);
    SendMessageW(Tray().window, WM_TRAYICON, 0, WM_LBUTTONUP);
    EXPECT_FALSE(Tray().dialogOpen);
    EXPECT_EQ(TakeBalloons(), Texts{});
    shownBeforeClosing.clear();
    const UINT_PTR timer = SetTimer(nullptr, 0, 15, CloseShownDialog);
    script->readsHeld = false;
    EXPECT_TRUE(Eventually([] { return !HotkeyCaptureRunning() && !Tray().dialogWanted && !Tray().dialogOpen; }));
    KillTimer(nullptr, timer);
    EXPECT_EQ(shownBeforeClosing, Texts{CAPTURED});
    EXPECT_EQ(TakeBalloons(), (Texts{L"No capture hotkey set. Open the app and click Change to set one.",
                                     L"Still running in the tray. Open the app to set a capture hotkey."}));
    EXPECT_TRUE(ClipboardHoldsPattern());
}

}  // namespace
