// End to end: Snapward-testcam.exe (test-pattern cameras), built beside this
// test, driven from outside as a user would.

#include <chrono>
#include <climits>
#include <cstdio>

#include "app/hotkey.h"
#include "app/tray_window.h"
#include "camera/devices.h"
#include "capture_test_support.h"
#include "planted/planted_dlls.h"
#include "test_clips.h"
#include "without_media_foundation.h"
#include "ui/resource_ids.h"

using namespace capture_test;
using namespace std::chrono;

namespace {


// The windows of class `className` that belong to `process`: the top-level
// ones that show, or (`parent` HWND_MESSAGE) the message-only ones.
std::vector<HWND> WindowsOf(DWORD process, const wchar_t* className, HWND parent = nullptr) {
    std::vector<HWND> found;
    for (HWND window = nullptr; (window = FindWindowExW(parent, window, className, nullptr)) != nullptr;) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == process && (parent || IsWindowVisible(window))) found.push_back(window);
    }
    return found;
}

HWND First(const std::vector<HWND>& windows) { return windows.empty() ? nullptr : windows[0]; }

// The dialog's status line shows each of `texts` in turn.
::testing::AssertionResult ShowsInTurn(HWND dialog, const std::vector<const wchar_t*>& texts) {
    wchar_t now[512] = {};
    for (const wchar_t* text : texts) {
        const bool shown = Eventually([&] {
            SendMessageTimeoutW(GetDlgItem(dialog, IDC_STATUS), WM_GETTEXT, 512, reinterpret_cast<LPARAM>(now),
                                SMTO_NORMAL, 5000, nullptr);
            return std::wstring(now) == text;
        });
        if (!shown) return ::testing::AssertionFailure() << "stuck at \"" << std::string(now, now + wcslen(now)) << '"';
    }
    return ::testing::AssertionSuccess();
}

struct Program {
    UniqueKernelHandle process;
    DWORD id = 0;
    HWND tray = nullptr;
    HWND dialog = nullptr;

    // Started with these test cameras, from `folder` when one is given; with
    // its tray window and the dialog it shows at a start by the user; as at
    // logon, with its tray window.
    bool Start(const std::wstring& cameras, const std::filesystem::path& folder = {}, bool atLogon = false) {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        const std::wstring program =
            (folder.empty() ? std::filesystem::path(path).parent_path() : folder) / L"Snapward-testcam.exe";
        STARTUPINFOW startup{sizeof(startup)};
        PROCESS_INFORMATION info{};
        SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", cameras.c_str());
        std::wstring line = L"\"" + program + L"\"" + (atLogon ? L" " + std::wstring(LOGON_START_ARGUMENT) : L"");
        const BOOL started =
            CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
        SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", nullptr);
        if (!started) return false;
        process.reset(info.hProcess);
        UniqueKernelHandle thread(info.hThread);
        id = info.dwProcessId;
        if (!Eventually([&] { return (tray = First(WindowsOf(id, L"OrvendelTray", HWND_MESSAGE))); })) return false;
        // Answered from the message loop: past the point where the dialog would have been shown.
        return atLogon || WaitForDialog();
    }
    bool WaitForDialog() {
        return Eventually([&] { return (dialog = First(WindowsOf(id, L"#32770"))); });
    }
    // Clicks, a double click and the menu's Open: one dialog, never two.
    bool OpenFromTray() {
        for (LPARAM mouse : {WM_LBUTTONUP, WM_LBUTTONDBLCLK}) PostMessageW(tray, WM_TRAYICON, TRAY_ICON_ID, mouse);
        PostMessageW(tray, WM_COMMAND, ID_TRAY_OPEN, 0);
        return WaitForDialog() && !Eventually([&] { return WindowsOf(id, L"#32770").size() > 1; }, seconds(3));
    }
    // Closed as the user would; then, answered from the program's message loop,
    // the dialog's aftermath (key registration, camera closed) has run.
    bool CloseDialog() {
        SendMessageTimeoutW(GetDlgItem(dialog, IDC_CLOSE), BM_CLICK, 0, 0, SMTO_NORMAL, 10000, nullptr);
        return Eventually([&] { return !IsWindow(dialog); }) &&
               SendMessageTimeoutW(tray, WM_NULL, 0, 0, SMTO_NORMAL, 10000, nullptr);
    }
    // Exit from the tray menu: the program ends with code 0.
    bool Exit() {
        PostMessageW(tray, WM_COMMAND, ID_TRAY_EXIT, 0);
        DWORD code = 1;
        return WaitForSingleObject(process.get(), 15000) == WAIT_OBJECT_0 &&
               GetExitCodeProcess(process.get(), &code) && code == 0;
    }
    ~Program() {
        if (process && TerminateProcess(process.get(), 1)) WaitForSingleObject(process.get(), 5000);
    }
};

// The capture key pressed in a window of this process, as a user presses it in
// any other program: the pattern reaches the clipboard. The time it took is
// printed, not judged: a busy machine may take any time.
::testing::AssertionResult KeyCaptures(HWND focus, uint32_t* counter = nullptr) {
    SetForegroundWindow(focus);
    if (!PutTextOnClipboard(L"before")) return ::testing::AssertionFailure() << "clipboard busy";
    const auto start = steady_clock::now();
    PressKey(VK_F10);
    const bool captured = Eventually([] { return IsClipboardFormatAvailable(CF_DIB) != FALSE; }, seconds(15));
    const auto ms = duration_cast<milliseconds>(steady_clock::now() - start).count();
    if (!captured) return ::testing::AssertionFailure() << "nothing captured in " << ms << " ms";
    std::printf("capture key: %lld ms\n", static_cast<long long>(ms));
    return ClipboardHoldsPattern(0, 0, counter);
}

// What the program told through one of the development build's named
// semaphores (pattern-camera streams started or ended, balloons shown) since the
// last Take.
struct NamedCounter {
    explicit NamedCounter(const wchar_t* name) : semaphore(CreateSemaphoreW(nullptr, 0, LONG_MAX, name)) {}
    int Take() {
        int n = 0;
        while (WaitForSingleObject(semaphore.get(), 0) == WAIT_OBJECT_0) ++n;
        return n;
    }
    UniqueKernelHandle semaphore;
};

// A camera that takes 1.5 s to start and then ramps its exposure: the cold
// capture key waits for the exposure to settle (the picture is the pattern,
// not a dark one), a press within the idle time is captured at once from the
// camera kept open, with a frame taken after the press though the camera kept
// its last frames meanwhile, and after the idle time the camera has been let go
// and is opened again. Opens and closes are counted, not timed. Then misbehaving cameras chosen in the dialog: the
// status line says what went wrong, then that it recovered by itself.
TEST(E2eMainPath, CaptureKeyColdWarmAfterIdleAndMisbehavingCamerasRecoverBySelf) {
    ASSERT_TRUE(KeyIsFree(VK_F10)) << "something else holds F10";
    SettingsKeyKeeper keeper;
    // No Media Foundation, as on Windows N; a child takes Wine's DLL overrides from the registry only.
    const wchar_t* const app = L"Software\\Wine\\AppDefaults\\Snapward-testcam.exe";
    for (const wchar_t* dll : {L"mfplat", L"mf", L"mfreadwrite"})
        RegSetKeyValueW(HKEY_CURRENT_USER, (app + std::wstring(L"\\DllOverrides")).c_str(), dll, REG_SZ, L"", 2);
    ScopeExit restore([&] { RegDeleteTreeW(HKEY_CURRENT_USER, app); });
    UniqueWindow focus(CreateWindowExW(0, L"STATIC", L"snapward e2e", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50, 300,
                                       200, nullptr, nullptr, nullptr, nullptr));
    const wchar_t* const cameras[] = {
        L"rgb24?name=Cold&slow=1500&ramp=400&queue=8", L"nv12?name=Unplugged&unplug=30&replug=1500",
        L"yuy2?name=Held&busy=C00D3704&for=800", L"rgb24?name=Private&privacy=open&for=800",
        L"nv12?name=Quiet&unplug=30&replug=1500&quiet=1", L"mjpg?name=Jpeg&busy=C00D3704&for=800"};
    std::wstring listed = L"!";
    for (const wchar_t* camera : cameras) listed += L"snapward-testpattern:" + std::wstring(camera) + L";";
    SaveSettings({listed.substr(1, listed.find(L';') - 1), 0, L"", VK_F10});
    NamedCounter opens(TEST_PATTERN_OPENS_SEMAPHORE), closes(TEST_PATTERN_CLOSES_SEMAPHORE),
        balloons(TEST_BALLOONS_SEMAPHORE);
    ASSERT_TRUE(opens.semaphore && closes.semaphore && balloons.semaphore);
    Program first;
    // At logon the tray alone: no dialog, and no camera before the capture key
    // (which takes seconds, while the dialog of a start by the user shows at once).
    ASSERT_TRUE(first.Start(listed, {}, true)) << "tray window " << first.tray;
    // The registration ends with a balloon; the key is tried once after it, not polled: each try holds the key for a
    // moment, and one that met the program's registration would make it fail.
    ASSERT_TRUE(Eventually([&] { return balloons.Take() > 0; })) << "no balloon at logon";
    ASSERT_FALSE(KeyIsFree(VK_F10)) << "the capture key not registered at logon";
    EXPECT_TRUE(KeyCaptures(focus.get()));
    EXPECT_TRUE(WindowsOf(first.id, L"#32770").empty()) << "a dialog at logon";
    const int capturedAtLogon = opens.Take();
    EXPECT_EQ(capturedAtLogon, 1) << "the capture key's open alone";
    PostMessageW(first.tray, WM_COMMAND, ID_TRAY_OPEN, 0);
    ASSERT_TRUE(first.WaitForDialog());
    // The dialog has listed the cameras, which loads Media Foundation where it exists. The module list is read
    // for sure: the program's own window library is in it.
    EXPECT_TRUE(ProcessHasModule(first.process.get(), L"user32.dll"));
    // Visual styles: the manifest brings the side-by-side common controls (6) into the process.
    EXPECT_TRUE(ProcessHasModuleIn(first.process.get(), L"comctl32.dll", L"\\winsxs\\"));
    for (const wchar_t* dll : MEDIA_FOUNDATION_DLLS)
        EXPECT_FALSE(ProcessHasModule(first.process.get(), dll)) << "the override left Media Foundation in place";
    ASSERT_TRUE(first.CloseDialog());
    // The camera is let go on the dialog's own thread as it ends, maybe after the close returned.
    const int opened = capturedAtLogon + opens.Take();
    int closed = 0;
    EXPECT_TRUE(Eventually([&] { return (closed += closes.Take()) == opened; }))
        << "the dialog leaves the camera open: " << opened << " opens, " << closed << " closes";
    EXPECT_TRUE(KeyCaptures(focus.get()));
    EXPECT_EQ(opens.Take(), 1) << "the cold capture opens the camera";
    Eventually([] { return false; }, milliseconds(3000));
    // The camera kept its last 8 frames meanwhile; the capture is of the scene after the press.
    const uint32_t pressed = TestPatternClockTicks(steady_clock::now());
    uint32_t counter = 0;
    EXPECT_TRUE(KeyCaptures(focus.get(), &counter));
    EXPECT_GE(static_cast<int32_t>(counter - pressed), 0) << "a frame taken before the press";
    const int warmOpens = opens.Take(), warmCloses = closes.Take();
    EXPECT_TRUE(warmOpens == 0 && warmCloses == 0)
        << "the warm capture did not use the open camera: " << warmOpens << " opens, " << warmCloses << " closes";
    closed = 0;
    EXPECT_TRUE(Eventually([&] { return (closed += closes.Take()) > 0; }, milliseconds(CAMERA_IDLE_RELEASE_MS + 15000)))
        << "the camera is let go when idle";
    EXPECT_TRUE(KeyCaptures(focus.get())) << "past the idle time";
    EXPECT_TRUE(closed == 1 && opens.Take() == 1) << "past the idle time the capture opens the camera afresh";
    ASSERT_TRUE(first.OpenFromTray());
    const std::pair<int, const wchar_t*> choices[] = {
        {1, DISCONNECTED},
        {2, L"Camera in use by another app. The preview resumes when it is free."},
        {3, L"Camera blocked by Windows privacy settings (Settings > Privacy > Camera)."},
        {4, DISCONNECTED},  // gone and back without a word from Windows: found again by looking
        {5, L"Camera in use by another app. The preview resumes when it is free."}};  // frames without Huffman tables
    for (const auto& [camera, problem] : choices) {
        ChooseDevice(first.dialog, camera);
        EXPECT_TRUE(ShowsInTurn(first.dialog, {problem, READY})) << camera;
        EXPECT_TRUE(KeyCaptures(focus.get())) << camera;
    }
    ASSERT_TRUE(first.CloseDialog());
    ASSERT_TRUE(first.Exit());
    EXPECT_TRUE(KeyIsFree(VK_F10)) << "the key lives as long as the program";
}

// The dialog's resolution label reads `text`.
bool ShowsResolution(HWND dialog, const wchar_t* text) {
    wchar_t now[128] = {};
    return Eventually([&] {
        SendMessageTimeoutW(GetDlgItem(dialog, IDC_RESOLUTION), WM_GETTEXT, 128, reinterpret_cast<LPARAM>(now),
                            SMTO_NORMAL, 5000, nullptr);
        return std::wstring(now) == text;
    });
}

// A camera that lists its picture sizes as a C920 does (its default is 640 x 480 YUY2): 1920 x 1080 chosen in the
// dialog (MJPG, the only type with 30 fps there) is what the dialog's capture and, after the dialog has closed, the
// capture key take; the registry keeps it beside the other values, and the next start opens the camera at it. Then a
// clip listed as a file camera, played through Wine's Media Foundation, chosen: the capture key takes its picture.
// The program runs from a folder of planted DLLs, as from Downloads: neither it nor Media Foundation nor the
// imaging component (which encodes and decodes the MJPG frames) loads any of them.
TEST(E2eMainPath, APictureSizeChosenInTheDialogServesTheCaptureKeyAndTheNextStart) {
    ASSERT_TRUE(KeyIsFree(VK_F10)) << "something else holds F10";
    SettingsKeyKeeper keeper;
    PlantedDlls downloads(L"snapward-downloads", L"Snapward-testcam.exe");
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::filesystem::copy_file(std::filesystem::path(self).parent_path() / L"Snapward-testcam.exe",
                               downloads.folder / L"Snapward-testcam.exe");
    UniqueWindow focus(CreateWindowExW(0, L"STATIC", L"snapward e2e", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50, 300,
                                       200, nullptr, nullptr, nullptr, nullptr));
    const std::wstring c920 = L"snapward-testpattern:mjpg?modes=c920&name=C920";
    SaveSettings({c920, 0, L"", VK_F10});
    {
        Program first;
        ASSERT_TRUE(first.Start(L"!" + c920, downloads.folder));
        ASSERT_TRUE(ShowsResolution(first.dialog, L"Resolution: 640 x 480"));
        ChooseDevice(first.dialog, 3, IDC_FRAME_SIZE);  // after the default, 2304 x 1536 and 2304 x 1296
        ASSERT_TRUE(ShowsResolution(first.dialog, L"Resolution: 1920 x 1080"));
        ASSERT_TRUE(ShowsInTurn(first.dialog, {READY}));
        ASSERT_TRUE(PutTextOnClipboard(L"before"));
        SendMessageTimeoutW(GetDlgItem(first.dialog, IDC_CAPTURE), BM_CLICK, 0, 0, SMTO_NORMAL, 20000, nullptr);
        EXPECT_TRUE(Eventually([] { return IsClipboardFormatAvailable(CF_DIB) != FALSE; }));
        EXPECT_TRUE(ClipboardHoldsPattern(1920, 1080)) << "from the dialog";
        ASSERT_TRUE(first.CloseDialog());
        EXPECT_EQ(LoadSettings().FrameSize, L"1920x1080");
        EXPECT_TRUE(KeyCaptures(focus.get()));
        EXPECT_TRUE(ClipboardHoldsPattern(1920, 1080)) << "with the capture key";
        ASSERT_TRUE(first.Exit());
    }
    ScratchFolder clips(L"snapward-e2e-clips");
    std::wstring clip;
    {
        ASSERT_TRUE(StartMediaFoundation());  // and COM, for the clip's JPEG encoder
        ScopeExit stop([] { StopMediaFoundation(); });
        clip = test_clips::WriteClip(clips.path(), PixelFormat::MJPG);
    }
    ASSERT_FALSE(clip.empty());
    Program second;
    // Listed first: the clip, then the C920.
    ASSERT_TRUE(second.Start(L"!" + c920 + L";" + clip, downloads.folder));
    EXPECT_TRUE(ShowsResolution(second.dialog, L"Resolution: 1920 x 1080"));
    EXPECT_EQ(SendMessageW(GetDlgItem(second.dialog, IDC_FRAME_SIZE), CB_GETCURSEL, 0, 0), 3);
    ChooseDevice(second.dialog, 0);
    ASSERT_TRUE(ShowsResolution(second.dialog, L"Resolution: 320 x 180"));
    ASSERT_TRUE(ShowsInTurn(second.dialog, {READY}));
    ASSERT_TRUE(second.CloseDialog());
    EXPECT_EQ(LoadSettings().DeviceSymLink, clip);
    EXPECT_TRUE(KeyCaptures(focus.get()));
    EXPECT_TRUE(ClipboardHoldsPattern(test_clips::CLIP_WIDTH, test_clips::CLIP_HEIGHT)) << "from the clip";
    ASSERT_TRUE(second.Exit());
    EXPECT_EQ(downloads.Loaded(), std::vector<std::wstring>{});
}

}  // namespace
