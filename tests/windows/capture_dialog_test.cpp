// The capture dialog driven for real: DialogBoxParamW runs its modal loop on
// the test's thread, and a thread timer (dispatched by that loop) plays a
// script of steps against it: button clicks as WM_COMMAND, keys through
// SendInput so that they pass the keyboard hook as typed keys do.

#include <windows.h>

#include <psapi.h>

#include <tuple>

#include "app/dialog_from_tray.h"
#include "app/hotkey.h"
#include "app/tray_window.h"
#include "capture_test_support.h"
#include "settings/key_names.h"
#include "ui/capture_dialog.h"

using namespace capture_test;

namespace {

constexpr wchar_t SCRATCH_KEY[] = L"Software\\Quillmere\\OrvendelDialogTest";

// Live GDI objects of this process. Wine does not implement GetGuiResources;
// there every live object has a slot in the process's handle table, and a
// handle given by its slot number alone names it.
int GdiObjectCount() {
    ::SetLastError(0);
    DWORD count = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    if (count != 0 || ::GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return static_cast<int>(count);
    int live = 0;
    for (UINT_PTR slot = 1; slot < 0x10000; ++slot) live += ::GetObjectType(reinterpret_cast<HGDIOBJ>(slot)) != 0;
    return live;
}

SIZE_T WorkingSetBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return counters.WorkingSetSize;
}

std::atomic<int> fastFrames{0};

constexpr wchar_t FAST_LINK[] = L"\\\\?\\test#fast-640x480";
constexpr wchar_t FAST_SMALL_LINK[] = L"\\\\?\\test#fast-320x240";
constexpr wchar_t MISSING_LINK[] = L"\\\\?\\usb#vid_0000&pid_0000#unplugged";

std::unique_ptr<VideoReader> OpenTestReader(const std::wstring& link, CameraError& error) {
    if (link == FAST_LINK) return std::make_unique<FastReader>(640, 480, fastFrames);
    if (link == FAST_SMALL_LINK) return std::make_unique<FastReader>(320, 240, fastFrames);
    return OpenTestPatternReader(link, nullptr, error);  // MISSING_LINK opens nothing
}

// What EnumerateCameras reports to the dialog; tests change it between steps
// (a camera unplugged before Refresh).
std::vector<CameraDevice> presentDevices;
std::vector<CameraDevice> PresentDevices() { return presentDevices; }

std::tuple<std::wstring, int32_t, std::wstring> DeviceOf(const Settings& settings) {
    return {settings.DeviceSymLink, settings.DeviceIndex, settings.DeviceName};
}

struct Step {
    const char* name;
    std::function<bool()> done;  // true when the step has finished
    DWORD timeoutMs = 8000;
};
Step Do(const char* name, std::function<void()> action) { return {name, [action] { action(); return true; }}; }
Step WaitFor(const char* name, std::function<bool()> condition, DWORD timeoutMs = 8000) {
    return {name, std::move(condition), timeoutMs};
}

class CaptureDialogTest : public ::testing::Test {
public:
    void SetUp() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
        fastFrames = 0;
        environment = {SCRATCH_KEY, pictures.path().c_str(), PresentDevices};
    }
    void TearDown() override {
        camera.Close();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
    }

    // Shows the dialog (as the tray does, if `fromTray`) and plays `script`
    // against it; returns when it has closed.
    void Run(std::vector<Step> script, bool fromTray = false) {
        steps = std::move(script);
        next = 0;
        dialog = nullptr;
        stepStart = ::GetTickCount();
        current = this;
        const UINT_PTR timer = ::SetTimer(nullptr, 0, 15, Tick);
        if (fromTray) OpenDialogFromTray();
        else CaptureDialog::Show(nullptr, ::GetModuleHandleW(nullptr), &settings, &camera, environment);
        ::KillTimer(nullptr, timer);
        current = nullptr;
        EXPECT_EQ(next, steps.size()) << "the dialog closed before the script ended";
    }
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        CaptureDialogTest* self = current;
        if (!self || self->inTick || self->next >= self->steps.size()) return;
        self->inTick = true;
        HWND found = self->dialog ? nullptr : ::FindWindowW(L"#32770", L"Snapward");
        if (found && ::IsWindowVisible(found) && ::GetWindowLongPtrW(found, DWLP_USER)) {
            self->dialog = found;
            self->record = reinterpret_cast<CaptureDialog*>(::GetWindowLongPtrW(found, DWLP_USER));
            ::SetForegroundWindow(found);
        }
        if (self->dialog) {
            Step& step = self->steps[self->next];
            if (step.done()) {
                ++self->next;
                self->stepStart = ::GetTickCount();
            } else if (::GetTickCount() - self->stepStart > step.timeoutMs) {
                ADD_FAILURE() << "step \"" << step.name << "\" did not finish";
                self->next = self->steps.size();
                ::PostMessageW(self->dialog, WM_COMMAND, IDC_CLOSE, 0);
            }
        }
        self->inTick = false;
    }

    void Click(int id) { ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
    void ChooseEntry(int index) {
        ::SendDlgItemMessageW(dialog, IDC_DEVICE_COMBO, CB_SETCURSEL, index, 0);
        ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_DEVICE_COMBO, CBN_SELCHANGE), 0);
    }
    std::wstring Text(int id) const {
        wchar_t text[512] = {};
        ::GetDlgItemTextW(dialog, id, text, 512);
        return text;
    }
    LRESULT Selection() const { return ::SendDlgItemMessageW(dialog, IDC_DEVICE_COMBO, CB_GETCURSEL, 0, 0); }
    bool HasPreviewFrame() const {
        std::lock_guard<std::mutex> lock(record->previewLock);
        return static_cast<bool>(record->previewBitmap);
    }

    static inline CaptureDialogTest* current = nullptr;
    Settings settings;
    Camera camera{OpenTestReader};
    ScratchFolder pictures{L"snapward-dialog-test"};
    DialogEnvironment environment;
    std::vector<Step> steps;
    size_t next = 0;
    DWORD stepStart = 0;
    bool inTick = false;
    HWND dialog = nullptr;
    CaptureDialog* record = nullptr;
};

constexpr wchar_t READY[] = L"Ready. Click Capture or press the hotkey anywhere on screen.";
constexpr wchar_t KEY_UNCHANGED[] = L"Hotkey unchanged.";

TEST(ChooseDeviceIndex, LastExactMatchElseFirst) {
    const std::vector<CameraDevice> devices = {
        {L"Cam", L"\\\\?\\usb#a"}, {L"Cam", L"\\\\?\\usb#b"}, {L"Other", L"\\\\?\\usb#a"}, {L"", L""}};
    EXPECT_EQ(ChooseDeviceIndex(devices, L"\\\\?\\usb#a"), 2);
    EXPECT_EQ(ChooseDeviceIndex(devices, L"\\\\?\\usb#b"), 1);
    EXPECT_EQ(ChooseDeviceIndex(devices, L"\\\\?\\USB#B"), 0) << "links compare case-sensitively";
    EXPECT_EQ(ChooseDeviceIndex(devices, L""), 3) << "an unreadable link is empty";
    EXPECT_EQ(ChooseDeviceIndex({}, L"\\\\?\\usb#a"), -1);
}

TEST_F(CaptureDialogTest, OpensTheSavedDeviceAndSavesTheChoiceOnClosing) {
    presentDevices = {{L"Zeta", PatternLink(RGB24_CAMERA)}, {L"Alpha", FAST_SMALL_LINK}, {L"Mid", PatternLink()}};
    settings.DeviceSymLink = PatternLink();
    Run({WaitFor("first frame", [&] { return HasPreviewFrame(); }),
         Do("the saved device", [&] {
             EXPECT_EQ(Selection(), 2);  // in enumeration order, not sorted
             EXPECT_EQ(Text(IDC_DEVICE_COMBO), L"Mid");
             EXPECT_EQ(DeviceOf(settings), DeviceOf({PatternLink(), 2, L"Mid"}));
             EXPECT_EQ(Text(IDC_RESOLUTION), L"Resolution: 1280 x 720");
             // The instruction replaces the open's "Ready." at the end of initialisation.
             EXPECT_EQ(Text(IDC_STATUS), L"Select webcam and press Capture (or your hotkey) to grab a frame.");
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"F10  (global hotkey)");
             RECT bounds{};  // centred on the primary screen
             ::GetWindowRect(dialog, &bounds);
             EXPECT_EQ(bounds.left, (::GetSystemMetrics(SM_CXSCREEN) - (bounds.right - bounds.left)) / 2);
             EXPECT_EQ(bounds.top, (::GetSystemMetrics(SM_CYSCREEN) - (bounds.bottom - bounds.top)) / 2);
             ChooseEntry(1);
         }),
         WaitFor("second device previewing", [&] { return fastFrames.load() > 5; }),
         Do("second device", [&] {
             EXPECT_EQ(DeviceOf(settings), DeviceOf({FAST_SMALL_LINK, 1, L"Alpha"}));
             EXPECT_EQ(Text(IDC_RESOLUTION), L"Resolution: 320 x 240");
             EXPECT_EQ(Text(IDC_STATUS), READY);
             EXPECT_EQ(LoadSettings(SCRATCH_KEY).DeviceSymLink, L"") << "saved only on closing";
             Click(IDC_CLOSE);
         })});
    EXPECT_EQ(DeviceOf(LoadSettings(SCRATCH_KEY)), DeviceOf({FAST_SMALL_LINK, 1, L"Alpha"}));
    // Left open, preview stopped: a new preview can start.
    EXPECT_TRUE(camera.IsOpen());
    EXPECT_TRUE(camera.StartPreview([](const uint8_t*, int32_t, int32_t, int32_t) {}));
}

TEST_F(CaptureDialogTest, FailedOpenUnpluggingAndRefresh) {
    presentDevices = {{L"Good", PatternLink(RGB24_CAMERA)}, {L"Gone", MISSING_LINK}};
    Run({WaitFor("first frame", [&] { return HasPreviewFrame(); }),
         Do("a device that fails to open, all unplugged, one plugged in again", [&] {
             ChooseEntry(1);
             EXPECT_EQ(Text(IDC_STATUS), L"Failed to open camera. Try another device or click Refresh.");
             EXPECT_FALSE(camera.IsOpen());
             EXPECT_EQ(DeviceOf(settings), DeviceOf({MISSING_LINK, 1, L"Gone"})) << "still the user's choice";
             // The old camera's last frame and resolution stay on display.
             EXPECT_TRUE(HasPreviewFrame());
             EXPECT_EQ(Text(IDC_RESOLUTION), L"Resolution: 1280 x 720");
             Click(IDC_CAPTURE);
             EXPECT_EQ(Text(IDC_STATUS), L"No camera open. Select a device first.");
             presentDevices = {};
             Click(IDC_REFRESH);
             EXPECT_EQ(Text(IDC_DEVICE_COMBO), L"(No video devices found)");
             EXPECT_EQ(Text(IDC_STATUS), L"No webcams detected. Connect a camera and click Refresh.");
             ChooseEntry(0);  // the placeholder opens nothing
             EXPECT_FALSE(camera.IsOpen());
             presentDevices = {{L"Cam", PatternLink(RGB24_CAMERA)}};
             Click(IDC_REFRESH);
             EXPECT_TRUE(camera.IsOpen());
             EXPECT_EQ(Text(IDC_STATUS), READY);
             Click(IDC_CLOSE);
         })});
}

TEST_F(CaptureDialogTest, StartShowsWhyNoCameraOpened) {
    presentDevices = {};
    Run({Do("no devices", [&] {
        EXPECT_EQ(Text(IDC_STATUS), L"No webcams detected. Connect a camera and click Refresh.");
        Click(IDC_CLOSE);
    })});
    presentDevices = {{L"Gone", MISSING_LINK}};
    Run({Do("the only device fails to open", [&] {
        EXPECT_EQ(Text(IDC_STATUS), L"Failed to open camera. Try another device or click Refresh.");
        Click(IDC_CLOSE);
    })});
}

// Keys reach a waiting change through a thread keyboard hook, which also sees
// keys meant for other windows of the thread (a message box, the tray menu):
// only those for the dialog end the change.
TEST_F(CaptureDialogTest, KeyChangeTakesAKeyForTheDialogRefusesEscapeAndModifiersAndEndsWithCaptureOrClose) {
    presentDevices = {{L"Cam", PatternLink(RGB24_CAMERA)}};
    const auto changed = [&] { return !record->keyChangeActive; };
    UniqueWindow elsewhere;
    Run({Do("Enter", [&] {
             ::SetFocus(::GetDlgItem(dialog, IDC_DEVICE_COMBO));
             PressKey(VK_RETURN);
         }),
         WaitFor("Enter captures", [&] { return record->captureCount == 1; }),
         Do("Change..., then a key for another window", [&] {
             EXPECT_EQ(Text(IDC_STATUS), L"Captured! Image #1 copied to clipboard and saved to Pictures.");
             Click(IDC_CHANGE_KEY);
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"[press any key]");
             EXPECT_EQ(Text(IDC_STATUS), L"Press a key to use as the capture hotkey, or Escape to cancel...");
             EXPECT_TRUE(activeKeyHook);
             EXPECT_EQ(keyHookOwner, record);
             elsewhere.reset(::CreateWindowExW(0, L"EDIT", L"", WS_POPUP | WS_VISIBLE, 0, 0, 100, 20, nullptr, nullptr,
                                               nullptr, nullptr));
             ::SetForegroundWindow(elsewhere.get());
             ::SetFocus(elsewhere.get());
             PressKey('X');
         }),
         WaitFor("the other window got the key", [&] { return ::GetWindowTextLengthW(elsewhere.get()) > 0; }),
         Do("still waiting; F9 for the dialog", [&] {
             EXPECT_TRUE(record->keyChangeActive);
             elsewhere.reset();
             ::SetForegroundWindow(dialog);
             ::SetFocus(dialog);
             PressKey(VK_F9);
         }),
         WaitFor("F9 taken", changed),
         Do("F9 stored, then Escape", [&] {
             EXPECT_EQ(LoadSettings(SCRATCH_KEY).Keybind, static_cast<uint32_t>(VK_F9)) << "saved at once";
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"F9  (global hotkey)");
             EXPECT_EQ(Text(IDC_STATUS), L"Hotkey updated. It works globally, even when this window is closed.");
             EXPECT_FALSE(activeKeyHook);
             EXPECT_EQ(keyHookOwner, nullptr);
             Click(IDC_CHANGE_KEY);
             PressKey(VK_ESCAPE);
         }),
         WaitFor("Escape cancels", changed),
         Do("still open after Escape; then a modifier alone", [&] {
             EXPECT_TRUE(::IsWindowVisible(dialog));
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"F9  (global hotkey)");
             EXPECT_EQ(Text(IDC_STATUS), KEY_UNCHANGED);
             Click(IDC_CHANGE_KEY);
             PressKey(VK_LSHIFT);
         }),
         WaitFor("the modifier ends the change", changed),
         Do("modifier refused; Change... twice, then Enter", [&] {
             EXPECT_EQ(settings.Keybind, static_cast<uint32_t>(VK_F9));
             EXPECT_EQ(Text(IDC_STATUS), KEY_UNCHANGED);
             Click(IDC_CHANGE_KEY);
             HHOOK first = activeKeyHook.get();
             Click(IDC_CHANGE_KEY);
             EXPECT_EQ(activeKeyHook.get(), first) << "one hook";
             PressKey(VK_RETURN);
         }),
         WaitFor("Enter taken", changed),
         Do("Enter is the key, no capture made; Capture, a key without a hook, Close, while waiting", [&] {
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"Enter  (global hotkey)");
             EXPECT_EQ(record->captureCount, 1);
             Click(IDC_CHANGE_KEY);
             Click(IDC_CAPTURE);
             EXPECT_FALSE(record->keyChangeActive);
             EXPECT_FALSE(activeKeyHook);
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"Enter  (global hotkey)");
             EXPECT_EQ(record->captureCount, 2);
             // Without a hook the dialog's own key message ends a change.
             Click(IDC_CHANGE_KEY);
             activeKeyHook.reset();
             ::SendMessageW(dialog, WM_KEYDOWN, VK_F7, 0);
             EXPECT_EQ(settings.Keybind, static_cast<uint32_t>(VK_F7));
             ::SendMessageW(dialog, WM_KEYDOWN, VK_F8, 0);
             EXPECT_EQ(settings.Keybind, static_cast<uint32_t>(VK_F7)) << "no change waiting";
             Click(IDC_CHANGE_KEY);
             ASSERT_TRUE(activeKeyHook);
             Click(IDC_CLOSE);
         })});
    // The hook is gone with the dialog: no key of this thread reaches a dead record.
    EXPECT_FALSE(activeKeyHook);
    EXPECT_EQ(keyHookOwner, nullptr);
    EXPECT_EQ(LoadSettings(SCRATCH_KEY).Keybind, static_cast<uint32_t>(VK_F7));
    EXPECT_EQ(pictures.Files().size(), 2u);
    EXPECT_TRUE(ClipboardHoldsPattern());
}

TEST_F(CaptureDialogTest, SettingsSavedOnEveryWayOfClosing) {
    const std::pair<const char*, std::function<void()>> ways[] = {
        {"Escape key",
         [&] {
             ::SetFocus(::GetDlgItem(dialog, IDC_DEVICE_COMBO));
             PressKey(VK_ESCAPE);
         }},
        {"caption close box", [&] { ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        // Exit from the tray menu while the dialog is open ends its modal loop.
        {"quit message", [] { ::PostQuitMessage(0); }},
    };
    for (const auto& [name, close] : ways) {
        SCOPED_TRACE(name);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
        settings = Settings{};
        presentDevices = {{L"A", PatternLink(RGB24_CAMERA)}, {L"B", PatternLink()}};
        Run({Do("choose B", [&] { ChooseEntry(1); }), Do("close", close)});
        MSG quit;
        ::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        EXPECT_EQ(DeviceOf(LoadSettings(SCRATCH_KEY)), DeviceOf({PatternLink(), 1, L"B"}));
    }
}

TEST_F(CaptureDialogTest, PreviewSoakKeepsGdiObjectsAndMemoryFlat) {
    presentDevices = {{L"Fast", FAST_LINK}, {L"Fast small", FAST_SMALL_LINK}};
    // A first showing creates what the system makes once per process (fonts,
    // the screen's context): only later showings must leave no object behind.
    Run({WaitFor("frames painted", [&] { return fastFrames >= 30; }), Do("close", [&] { Click(IDC_CLOSE); })});
    fastFrames = 0;
    const int gdiBefore = GdiObjectCount();
    const SIZE_T memoryBefore = WorkingSetBytes();
    int gdiWarm = 0;
    SIZE_T memoryWarm = 0;
    Run({WaitFor("warm up", [&] { return fastFrames >= 100; }),
         Do("measure", [&] {
             gdiWarm = GdiObjectCount();
             memoryWarm = WorkingSetBytes();
             // The dialog's own objects (its font), the record's bitmap and
             // perhaps one between conversion and swap; not a hundred frames.
             EXPECT_LE(gdiWarm, gdiBefore + 8);
             EXPECT_LT(memoryWarm, memoryBefore + 32 * 1024 * 1024);
         }),
         WaitFor("500 frames", [&] { return fastFrames >= 500; }, 60000),
         Do("device change and Refresh while frames arrive", [&] {
             ChooseEntry(1);
             Click(IDC_REFRESH);
         }),
         WaitFor("1000 frames", [&] { return fastFrames >= 1000; }, 60000),
         Do("measure again and close while frames arrive", [&] {
             EXPECT_TRUE(HasPreviewFrame());
             EXPECT_NEAR(GdiObjectCount(), gdiWarm, 1);  // one frame between conversion and swap
             EXPECT_LT(WorkingSetBytes(), memoryWarm + 16 * 1024 * 1024) << "from " << memoryWarm;
             Click(IDC_CLOSE);
         })});
    // The preview thread is joined and the last bitmap deleted.
    EXPECT_EQ(GdiObjectCount(), gdiBefore);
    const int framesAfterClose = fastFrames;
    ::Sleep(100);
    EXPECT_EQ(fastFrames, framesAfterClose) << "the preview still reads";
}

// Balloons asked of the tray while a test runs.
std::vector<std::wstring> balloons;
BOOL WINAPI RecordBalloon(DWORD message, PNOTIFYICONDATAW data) {
    if (message == NIM_MODIFY && (data->uFlags & NIF_INFO)) balloons.push_back(data->szInfo);
    return TRUE;
}

// Shown as the tray shows it: the program's own settings key (kept safe) and
// the system's device list, which is empty under Wine and leaves the camera alone.
TEST_F(CaptureDialogTest, FromTrayThenKeyRegisteredCameraClosedAndStillRunningBalloon) {
    SettingsKeyKeeper keeper;
    if (!Tray().window) CreateTrayWindow(::GetModuleHandleW(nullptr));
    ASSERT_NE(Tray().window, nullptr);
    ScopeExit restoreTray([saved = Tray()] { Tray() = saved; });
    Tray().instance = ::GetModuleHandleW(nullptr);
    Tray().settings = &settings;
    Tray().camera = &camera;
    Tray().notifyIcon = RecordBalloon;
    Tray().dialogOpen = false;

    const uint32_t namelessKey = 0x07;  // unassigned: the layout has no name for it
    ASSERT_TRUE(LayoutKeyName(namelessKey).empty());
    const std::tuple<uint32_t, const wchar_t*, const wchar_t*> cases[] = {
        {VK_F9, L"Hotkey registered: F9  (press it anywhere to capture)",
         L"Still running in the tray. Press F9 anywhere to capture."},
        // Named as the dialog named it, not "Press  anywhere".
        {namelessKey, L"Hotkey registered: VK 0x07  (press it anywhere to capture)",
         L"Still running in the tray. Press VK 0x07 anywhere to capture."},
        {0, L"No capture hotkey set. Open the app and click Change to set one.",
         L"Still running in the tray. Open the app to set a capture hotkey."},
    };
    for (const auto& [key, registration, stillRunning] : cases) {
        SCOPED_TRACE(key);
        settings.Keybind = key;
        balloons.clear();
        ASSERT_TRUE(camera.Open(PatternLink()));  // as a capture key press leaves it
        Run({Do("close", [&] {
                 EXPECT_TRUE(Tray().dialogOpen);
                 EXPECT_TRUE(balloons.empty()) << "nothing is told before the dialog closes";
                 Click(IDC_CLOSE);
             })},
            true);
        EXPECT_FALSE(Tray().dialogOpen);
        EXPECT_FALSE(camera.IsOpen()) << "the tray releases the camera after the dialog";
        EXPECT_EQ(balloons, (std::vector<std::wstring>{registration, stillRunning}));
        EXPECT_TRUE(key == 0 || !::RegisterHotKey(nullptr, 0x7E58, 0, key)) << "the key is not registered";
        ::UnregisterHotKey(nullptr, 0x7E58);
        ::UnregisterHotKey(Tray().window, CAPTURE_HOTKEY_ID);
    }
}

}  // namespace
