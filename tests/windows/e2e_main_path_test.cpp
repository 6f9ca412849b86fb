// End to end: Snapward-testcam.exe (test-pattern cameras) and Snapward.exe (none
// under Wine), built beside this test, driven from outside as a user would; the
// real settings key is kept safe meanwhile.

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <climits>

#include "app/tray_window.h"
#include "capture_test_support.h"
#include "ui/resource_ids.h"

using namespace capture_test;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Lets time pass, as a user does between two presses.
void Pause(Clock::duration time) { Eventually([] { return false; }, time); }

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

std::wstring ControlText(HWND dialog, int id) {
    wchar_t text[512] = {};
    SendMessageTimeoutW(GetDlgItem(dialog, id), WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 5000, 0);
    return text;
}

// Presses `key` and tells whether a bitmap reached the clipboard within `wait`.
bool KeyCaptures(WORD key, Clock::duration wait) {
    if (!PutTextOnClipboard(L"before")) return false;
    PressKey(key);
    return Eventually([] { return IsClipboardFormatAvailable(CF_DIB) != FALSE; }, wait);
}

// One running instance of a program.
struct Program {
    UniqueKernelHandle process;
    DWORD id = 0;
    HWND tray = nullptr;
    HWND dialog = nullptr;

    // Started, with `environment` (name, value) added to ours; with its tray
    // window and the dialog it shows at every start, or as a second instance
    // with no tray window and a box that says it runs already.
    ::testing::AssertionResult Start(const wchar_t* name, bool secondInstance,
                                     const std::vector<std::pair<std::wstring, std::wstring>>& environment) {
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
        if (!secondInstance && !Eventually(trayWindow)) return ::testing::AssertionFailure() << "no tray window";
        wchar_t caption[64] = {};
        if (!WaitForDialog() || !GetWindowTextW(dialog, caption, 64) || caption != std::wstring(L"Snapward")) {
            return ::testing::AssertionFailure() << "no dialog or box called Snapward";
        }
        if (secondInstance && trayWindow()) return ::testing::AssertionFailure() << "a second tray window";
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult WaitForDialog() {
        const bool shown = Eventually([&] { return (dialog = First(WindowsOf(id, L"#32770"))); });
        return shown ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "no dialog";
    }
    static HWND First(const std::vector<HWND>& windows) { return windows.empty() ? nullptr : windows[0]; }
    // Closed as the user would; then, answered from the program's message loop,
    // the dialog's aftermath (key registration, camera closed) has run.
    ::testing::AssertionResult CloseDialog() {
        SendMessageTimeoutW(GetDlgItem(dialog, IDC_CLOSE), BM_CLICK, 0, 0, SMTO_NORMAL, 10000, 0);
        if (!Eventually([&] { return !IsWindow(dialog); })) return ::testing::AssertionFailure() << "still open";
        if (SendMessageTimeoutW(tray, WM_NULL, 0, 0, SMTO_NORMAL, 10000, 0)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the tray does not answer";
    }
    // Exit from the tray menu (or OK on the second instance's box): the program ends with code 0.
    ::testing::AssertionResult Exit() {
        PostMessageW(tray ? tray : dialog, WM_COMMAND, tray ? ID_TRAY_EXIT : IDOK, 0);
        DWORD code = 1;
        if (WaitForSingleObject(process.get(), 15000) != WAIT_OBJECT_0) return ::testing::AssertionFailure() << "runs";
        GetExitCodeProcess(process.get(), &code);
        return code == 0 ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "exit code " << code;
    }
    ~Program() {
        if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
        }
    }
};

constexpr wchar_t READY[] = L"Ready. Click Capture or press the hotkey anywhere on screen.";
constexpr wchar_t IN_USE[] = L"Camera in use by another app. The preview resumes when it is free.";
constexpr wchar_t BLOCKED[] = L"Camera blocked by Windows privacy settings (Settings > Privacy > Camera).";
constexpr wchar_t TESTCAM[] = L"Snapward-testcam.exe";
constexpr wchar_t PATTERN[] = L"snapward-testpattern:";

// A step: start the program (arg 1: a second instance), close its dialog,
// choose the arg-th camera in it, press nothing more, let arg ms pass, click
// the tray icon, or exit (arg 1: the second instance, from its box).
enum class Do { Start, CloseDialog, Choose, Press, Pause, TrayClick, Exit };
struct E2eStep {
    Do what;
    int arg = 0;
    std::vector<const wchar_t*> statuses;  // the dialog's status line shows these in turn (a box: its text)
    int captures = -1;  // then the capture key puts a picture on the clipboard (1) or not (0)
    int minMs = 0;  // ... and takes this long at least
    int maxMs = INT_MAX;
    int keyFree = -1;  // afterwards no program holds the capture key (1) or one does (0)
};
struct E2eScenario {
    const char* name;
    const wchar_t* program;
    std::vector<std::pair<std::wstring, std::wstring>> environment;
    Settings saved;
    std::vector<E2eStep> steps;
};

// Waits for each status in turn; the failure message lists all it saw.
void ExpectStatuses(HWND dialog, int id, const std::vector<const wchar_t*>& statuses) {
    std::string seen;
    std::wstring last;
    for (const wchar_t* status : statuses) {
        EXPECT_TRUE(Eventually([&] {
            const std::wstring now = ControlText(dialog, id);
            if (now != last) seen += " | " + std::string(now.begin(), now.end());
            last = now;
            return now == status;
        })) << "waited for \"" << std::string(status, status + wcslen(status)) << "\", saw" << seen;
    }
}

class E2eMainPath : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(KeyIsFree(VK_F10)) << "something else holds F10"; }

    void Play(const E2eScenario& scenario) {
        SCOPED_TRACE(scenario.name);
        SaveSettings(scenario.saved);
        Program programs[2];
        // A focused window of this process: the keyboard goes somewhere, as it
        // does for a user pressing the capture key in any other program.
        UniqueWindow focus(CreateWindowExW(0, L"STATIC", L"snapward e2e", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50,
                                           300, 200, nullptr, nullptr, nullptr, nullptr));
        for (const E2eStep& step : scenario.steps) {
            SCOPED_TRACE(testing::Message() << "step " << &step - scenario.steps.data());
            Program& program = programs[step.what == Do::Start || step.what == Do::Exit ? step.arg : 0];
            const HWND combo = GetDlgItem(program.dialog, IDC_DEVICE_COMBO);
            switch (step.what) {
            case Do::Start: ASSERT_TRUE(program.Start(scenario.program, step.arg, scenario.environment)); break;
            case Do::CloseDialog: ASSERT_TRUE(program.CloseDialog()); break;
            case Do::Choose:  // from the list, as the user would
                SendMessageTimeoutW(combo, CB_SETCURSEL, step.arg, 0, SMTO_NORMAL, 5000, nullptr);
                SendMessageTimeoutW(program.dialog, WM_COMMAND, MAKEWPARAM(IDC_DEVICE_COMBO, CBN_SELCHANGE),
                                    reinterpret_cast<LPARAM>(combo), SMTO_NORMAL, 10000, nullptr);
                break;
            case Do::Press: break;
            case Do::Pause: Pause(std::chrono::milliseconds(step.arg)); break;
            case Do::TrayClick:  // clicks, a double click and the menu's Open: one dialog, never two
                for (LPARAM mouse : {WM_LBUTTONUP, WM_LBUTTONDBLCLK}) {
                    PostMessageW(program.tray, WM_TRAYICON, TRAY_ICON_ID, mouse);
                }
                PostMessageW(program.tray, WM_COMMAND, ID_TRAY_OPEN, 0);
                ASSERT_TRUE(program.WaitForDialog());
                EXPECT_FALSE(Eventually([&] { return WindowsOf(program.id, L"#32770").size() > 1; }, 3s));
                break;
            case Do::Exit: ASSERT_TRUE(program.Exit()); break;
            }
            const bool box = step.what == Do::Start && step.arg == 1;  // 0xFFFF: a message box's text
            ExpectStatuses(program.dialog, box ? 0xFFFF : IDC_STATUS, step.statuses);
            if (step.captures >= 0) {
                SetForegroundWindow(focus.get());
                const auto start = Clock::now();
                EXPECT_EQ(KeyCaptures(VK_F10, std::chrono::seconds(step.captures ? 15 : 3)), step.captures == 1);
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                if (step.captures) {
                    EXPECT_TRUE(ClipboardHoldsPattern()) << "the picture is dark or wrong";
                    EXPECT_GE(ms, step.minMs);
                    EXPECT_LT(ms, step.maxMs);
                    std::printf("capture key to clipboard, %s: %.0f ms\n", scenario.name, ms);
                }
            }
            if (step.keyFree >= 0) EXPECT_EQ(KeyIsFree(VK_F10), step.keyFree == 1);
        }
    }

    SettingsKeyKeeper keeper;
};

// A camera that takes 1.5 s to start and then ramps its exposure: the cold
// capture key waits for the exposure to settle (the picture is the pattern,
// not a dark one), a press within the idle time is captured at once from the
// camera kept open, and after the idle time the camera has been let go (the
// next press starts it again, 1.5 s and the settling). The key lives as long
// as the program.
TEST_F(E2eMainPath, CaptureKeyColdWarmAndAfterIdleRelease) {
    const std::wstring cold = std::wstring(PATTERN) + L"rgb24?name=Cold&slow=1500&ramp=400";
    Play({"cold, warm, after the idle release", TESTCAM, {{L"SNAPWARD_TEST_CAMERAS", cold}}, {cold, 0, L"", VK_F10},
          {{Do::Start},
           {.what = Do::CloseDialog, .keyFree = 0},
           {.what = Do::Press, .captures = 1, .minMs = 1500 + 500},
           {.what = Do::Pause, .arg = 2000, .captures = 1, .maxMs = 1500},  // without the start
           {.what = Do::Pause, .arg = 10000 + 1000, .captures = 1, .minMs = 1500 + 500},  // past the idle time
           {.what = Do::Exit, .keyFree = 1}}});
}

TEST_F(E2eMainPath, SecondStartSaysAlreadyRunningAndLeavesTheFirstAloneAndAStartWithoutKeyRegistersNone) {
    const CameraDevice nv12 = TestPatternCameras().at(NV12_CAMERA);
    Play({"second start", TESTCAM, {}, {nv12.symbolicLink, NV12_CAMERA, nv12.friendlyName, VK_F10},
          {{Do::Start},
           {Do::CloseDialog},
           {Do::Start, 1,
            {L"Snapward is already running.\nLook for its icon in the system tray (bottom-right of the taskbar)."}},
           {.what = Do::Exit, .arg = 1, .keyFree = 0},  // the first keeps its key
           {.what = Do::Exit, .keyFree = 1}}});
    Play({"start without a key", TESTCAM, {}, {nv12.symbolicLink, NV12_CAMERA, nv12.friendlyName, 0},
          {{Do::Start}, {.what = Do::CloseDialog, .keyFree = 1}, {Do::Exit}}});
}

// The development build with misbehaving cameras, chosen one after the other
// in the dialog: what the status line says, in order, as each fails and comes
// back by itself, and whether the capture key then captures. Then the program
// where Windows has no Media Foundation: it starts and says so.
TEST_F(E2eMainPath, MisbehavingCamerasAreNamedInTheStatusLineAndRecoverBySelf) {
    const wchar_t* const cameras[] = {
        L"nv12?name=Unplugged&unplug=30&replug=1500", L"yuy2?name=Held&busy=C00D3704&for=800",
        L"rgb24?name=Taken&busy=C00D3EA3&for=800", L"rgb24?name=Private&privacy=open&for=800",
        L"rgb24?name=Private2&privacy=read&for=800", L"rgb24?name=Huge&huge=16384x16384",
        L"nv12?name=Quiet&unplug=30&replug=1500&quiet=1"};
    std::wstring listed = L"!";
    for (const wchar_t* camera : cameras) listed += PATTERN + std::wstring(camera) + L";";
    Play({"misbehaving cameras", TESTCAM, {{L"SNAPWARD_TEST_CAMERAS", listed}},
          {listed.substr(1, listed.find(L';') - 1), 0, L"", VK_F10},
          {{Do::Start, 0, {L"Camera disconnected. The preview resumes when it is plugged in.", READY}, 1},
           {Do::Choose, 1, {IN_USE, READY}, 1},
           {Do::Choose, 2, {IN_USE, READY}, 1},
           {Do::Choose, 3, {BLOCKED, READY}, 1},
           {Do::Choose, 4, {BLOCKED, READY}, 1},
           // More than a 32-bit process may allocate for one picture: refused at the open.
           {Do::Choose, 5, {L"Failed to open camera. Try another device or click Refresh."}, 0},
           // Gone and back without a word from Windows: found again by looking.
           {Do::Choose, 6, {L"Camera disconnected. The preview resumes when it is plugged in.", READY}, 1},
           {Do::TrayClick},
           {Do::CloseDialog},
           {Do::TrayClick},
           {Do::CloseDialog},
           {Do::Exit}}});
    Play({"no Media Foundation", L"Snapward.exe",
          {{L"WINEDLLOVERRIDES", L"mfplat=d;mf=d;mfreadwrite=d;mscoree,mshtml="}}, {},
          {{Do::Start, 0, {L"No webcams detected. Connect a camera and click Refresh."}, 0},
           {Do::CloseDialog},
           {Do::Exit}}});
}

}  // namespace
