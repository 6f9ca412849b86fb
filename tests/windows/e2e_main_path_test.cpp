// End to end: Snapward-testcam.exe (test-pattern cameras) and Snapward.exe (none
// under Wine), built beside this test, driven from outside as a user would; the
// real settings key is kept safe meanwhile.

#include <chrono>
#include <cwchar>

#include "app/hotkey.h"
#include "app/tray_window.h"
#include "capture_test_support.h"
#include "ui/resource_ids.h"

using namespace capture_test;
using namespace std::chrono;

namespace {

constexpr wchar_t READY[] = L"Ready. Click Capture or press the hotkey anywhere on screen.";
constexpr wchar_t GONE[] = L"Camera disconnected. The preview resumes when it is plugged in.";
using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

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

// The control's (0xFFFF: a message box's) text shows each of `texts` in turn.
::testing::AssertionResult ShowsInTurn(HWND dialog, int id, const std::vector<const wchar_t*>& texts) {
    wchar_t now[512] = {};
    for (const wchar_t* text : texts) {
        const bool shown = Eventually([&] {
            SendMessageTimeoutW(GetDlgItem(dialog, id), WM_GETTEXT, 512, reinterpret_cast<LPARAM>(now), SMTO_NORMAL,
                                5000, nullptr);
            return std::wcscmp(now, text) == 0;
        });
        if (!shown) return ::testing::AssertionFailure() << "stuck at \"" << std::string(now, now + wcslen(now)) << '"';
    }
    return ::testing::AssertionSuccess();
}

// One running instance of a program.
struct Program {
    UniqueKernelHandle process;
    DWORD id = 0;
    HWND tray = nullptr;
    HWND dialog = nullptr;

    // Started, with `environment` added to ours; with its tray window and the
    // dialog it shows at every start, or as a second instance with no tray
    // window and a box that says it runs already.
    ::testing::AssertionResult Start(const wchar_t* name, const Environment& environment, bool second = false) {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        const std::wstring program = std::wstring(path, wcsrchr(path, L'\\') + 1) + name;
        STARTUPINFOW startup{sizeof(startup)};
        PROCESS_INFORMATION info{};
        for (const auto& [variable, value] : environment) SetEnvironmentVariableW(variable.c_str(), value.c_str());
        const BOOL started =
            CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
        for (const auto& [variable, value] : environment) SetEnvironmentVariableW(variable.c_str(), nullptr);
        if (!started) return ::testing::AssertionFailure() << "cannot start the program";
        process.reset(info.hProcess);
        UniqueKernelHandle thread(info.hThread);
        id = info.dwProcessId;
        const auto trayWindow = [&] { return (tray = First(WindowsOf(id, L"OrvendelTray", HWND_MESSAGE))); };
        if (!second && !Eventually(trayWindow)) return ::testing::AssertionFailure() << "no tray window";
        wchar_t caption[64] = {};
        if (!WaitForDialog() || !GetWindowTextW(dialog, caption, 64) || caption != std::wstring(L"Snapward")) {
            return ::testing::AssertionFailure() << "no dialog or box called Snapward";
        }
        if (second && trayWindow()) return ::testing::AssertionFailure() << "a second tray window";
        return ::testing::AssertionSuccess();
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
    // From the list, as the user would.
    void Choose(int camera) {
        const HWND combo = GetDlgItem(dialog, IDC_DEVICE_COMBO);
        SendMessageTimeoutW(combo, CB_SETCURSEL, camera, 0, SMTO_NORMAL, 5000, nullptr);
        SendMessageTimeoutW(dialog, WM_COMMAND, MAKEWPARAM(IDC_DEVICE_COMBO, CBN_SELCHANGE),
                            reinterpret_cast<LPARAM>(combo), SMTO_NORMAL, 10000, nullptr);
    }
    // Closed as the user would; then, answered from the program's message loop,
    // the dialog's aftermath (key registration, camera closed) has run.
    bool CloseDialog() {
        SendMessageTimeoutW(GetDlgItem(dialog, IDC_CLOSE), BM_CLICK, 0, 0, SMTO_NORMAL, 10000, nullptr);
        return Eventually([&] { return !IsWindow(dialog); }) &&
               SendMessageTimeoutW(tray, WM_NULL, 0, 0, SMTO_NORMAL, 10000, nullptr);
    }
    // Exit from the tray menu (or OK on the second instance's box): the program ends with code 0.
    bool Exit() {
        PostMessageW(tray ? tray : dialog, WM_COMMAND, tray ? ID_TRAY_EXIT : IDOK, 0);
        DWORD code = 1;
        return WaitForSingleObject(process.get(), 15000) == WAIT_OBJECT_0 &&
               GetExitCodeProcess(process.get(), &code) && code == 0;
    }
    ~Program() {
        if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
        }
    }
};

class E2eMainPath : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(KeyIsFree(VK_F10)) << "something else holds F10"; }

    // The capture key pressed with the focus in a window of this process, as a
    // user presses it in any other program: whether the pattern reached the
    // clipboard, within the time allowed.
    ::testing::AssertionResult KeyCaptures(bool expected, int minMs = 0, int maxMs = 15000) {
        SetForegroundWindow(focus.get());
        if (!PutTextOnClipboard(L"before")) return ::testing::AssertionFailure() << "clipboard busy";
        const auto start = steady_clock::now();
        PressKey(VK_F10);
        const bool captured = Eventually([] { return IsClipboardFormatAvailable(CF_DIB) != FALSE; },
                                         milliseconds(expected ? maxMs : 3000));
        const auto ms = duration_cast<milliseconds>(steady_clock::now() - start).count();
        if (captured != expected) return ::testing::AssertionFailure() << "captured in time: " << captured;
        if (captured && ms < minMs) return ::testing::AssertionFailure() << "captured in " << ms << " ms";
        return captured ? ClipboardHoldsPattern() : ::testing::AssertionSuccess();
    }

    SettingsKeyKeeper keeper;
    UniqueWindow focus{CreateWindowExW(0, L"STATIC", L"snapward e2e", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50, 300,
                                       200, nullptr, nullptr, nullptr, nullptr)};
};

// A camera that takes 1.5 s to start and then ramps its exposure: the cold
// capture key waits for the exposure to settle (the picture is the pattern,
// not a dark one), a press within the idle time is captured at once from the
// camera kept open, and after the idle time the camera has been let go (1.5 s
// and the settling again). A second start says so and leaves the first its
// key. Then misbehaving cameras chosen one after the other in the dialog
// opened from the tray: what the status line says, in order, as each fails
// and comes back by itself, and whether the capture key then captures.
TEST_F(E2eMainPath, CaptureKeyColdWarmAfterIdleSecondStartAndMisbehavingCamerasRecoverBySelf) {
    const wchar_t* const cameras[] = {
        L"rgb24?name=Cold&slow=1500&ramp=400", L"nv12?name=Unplugged&unplug=30&replug=1500",
        L"yuy2?name=Held&busy=C00D3704&for=800", L"rgb24?name=Private&privacy=open&for=800",
        L"nv12?name=Quiet&unplug=30&replug=1500&quiet=1"};
    std::wstring listed = L"!";
    for (const wchar_t* camera : cameras) listed += L"snapward-testpattern:" + std::wstring(camera) + L";";
    const Environment environment = {{L"SNAPWARD_TEST_CAMERAS", listed}};
    SaveSettings({listed.substr(1, listed.find(L';') - 1), 0, L"", VK_F10});
    Program first;
    ASSERT_TRUE(first.Start(L"Snapward-testcam.exe", environment));
    ASSERT_TRUE(first.CloseDialog());
    EXPECT_FALSE(KeyIsFree(VK_F10));
    EXPECT_TRUE(KeyCaptures(true, 1500 + 500));
    Eventually([] { return false; }, milliseconds(2000));
    EXPECT_TRUE(KeyCaptures(true, 0, 1500)) << "without the start";
    Eventually([] { return false; }, milliseconds(CAMERA_IDLE_RELEASE_MS + 1000));
    EXPECT_TRUE(KeyCaptures(true, 1500 + 500)) << "past the idle time";
    {
        Program second;
        ASSERT_TRUE(second.Start(L"Snapward-testcam.exe", environment, true));
        EXPECT_TRUE(ShowsInTurn(second.dialog, 0xFFFF, {L"Snapward is already running.\nLook for its icon in the "
                                                        L"system tray (bottom-right of the taskbar)."}));
        ASSERT_TRUE(second.Exit());
    }
    EXPECT_FALSE(KeyIsFree(VK_F10)) << "the first keeps its key";
    ASSERT_TRUE(first.OpenFromTray());
    const struct {
        int camera;
        const wchar_t* problem;
    } choices[] = {{1, GONE},
                   {2, L"Camera in use by another app. The preview resumes when it is free."},
                   {3, L"Camera blocked by Windows privacy settings (Settings > Privacy > Camera)."},
                   {4, GONE}};  // gone and back without a word from Windows: found again by looking
    for (const auto& choice : choices) {
        first.Choose(choice.camera);
        EXPECT_TRUE(ShowsInTurn(first.dialog, IDC_STATUS, {choice.problem, READY})) << choice.camera;
        EXPECT_TRUE(KeyCaptures(true)) << choice.camera;
    }
    ASSERT_TRUE(first.CloseDialog());
    ASSERT_TRUE(first.OpenFromTray());
    ASSERT_TRUE(first.CloseDialog());
    ASSERT_TRUE(first.Exit());
    EXPECT_TRUE(KeyIsFree(VK_F10)) << "the key lives as long as the program";
}

TEST_F(E2eMainPath, WithoutMediaFoundationItStartsAndSaysSoAndWithoutAKeyRegistersNone) {
    SaveSettings({L"", 0, L"", 0});
    Program program;
    const wchar_t* const noMediaFoundation = L"mfplat=d;mf=d;mfreadwrite=d;mscoree,mshtml=";
    ASSERT_TRUE(program.Start(L"Snapward.exe", {{L"WINEDLLOVERRIDES", noMediaFoundation}}));
    EXPECT_TRUE(ShowsInTurn(program.dialog, IDC_STATUS, {L"No webcams detected. Connect a camera and click Refresh."}));
    ASSERT_TRUE(program.CloseDialog());
    EXPECT_TRUE(KeyIsFree(VK_F10));
    ASSERT_TRUE(program.Exit());
}

}  // namespace
