// The capture dialog driven for real on the test's thread, a scenario one step
// at a time: an action (clicks as WM_COMMAND, keys through SendInput so that
// they pass the keyboard hook as typed keys do), then what must be seen.

#include <sstream>
#include <tuple>

#include "app/hotkey.h"
#include "app/tray_state.h"
#include "camera/file_camera.h"
#include "capture_test_support.h"
#include "capture/frame_scale.h"
#include "test_clips.h"
#include "ui/capture_dialog.h"

using namespace capture_test;

namespace {

constexpr wchar_t SCRATCH_KEY[] = L"Software\\Quillmere\\OrvendelDialogTest";
constexpr wchar_t MISSING_LINK[] = L"\\\\?\\usb#vid_0000&pid_0000#unplugged";
constexpr wchar_t OPEN_FAILED[] = L"Failed to open camera. Try another device or click Refresh.";
constexpr wchar_t NO_WEBCAMS[] = L"No webcams detected. Connect a camera and click Refresh.";
constexpr wchar_t UNCHANGED[] = L"Hotkey unchanged.";
constexpr wchar_t F9_LABEL[] = L"F9  (global hotkey)";
constexpr wchar_t CAMERA_IN_USE[] = L"Camera in use by another app. The preview resumes when it is free.";
constexpr wchar_t BLOCKED[] = L"Camera blocked by Windows privacy settings (Settings > Privacy > Camera).";

BOOL WINAPI NoBalloon(DWORD, PNOTIFYICONDATAW) { return TRUE; }

// What EnumerateCameras reports to the dialog; a Refresh step changes it.
std::vector<CameraDevice> presentDevices;
std::vector<CameraDevice> PresentDevices() { return presentDevices; }

// A step's action on its argument: a device list entry, a button, a key, the
// number of the scenario's devices present (Refresh clicks, DeviceChange is
// Windows' word of a device come or gone), whether opens are blocked; Quit:
// Exit from the tray menu; CaptureKey: the capture key pressed while the dialog
// is up, as the tray handles it; ScalePreview: the preview control resized to
// `arg` % of its first size, as the dialog manager does on a move to a monitor
// of another scale.
enum class Act { None, Choose, ChooseSize, Click, Key, Refresh, DeviceChange, SysClose, Quit, Block, CaptureKey,
                 ScalePreview };

// What must hold before the next step; unset fields are not looked at.
struct Seen {
    const wchar_t* status = nullptr;
    const wchar_t* keyLabel = nullptr;
    const wchar_t* resolution = nullptr;
    const wchar_t* entry = nullptr;  // the device list's text
    int chosen = -1;  // settings name the scenario's device with this index
    int open = -1;  // the camera is open (1) or not (0)
    int frame = -1;  // a preview frame is on show
    int captures = -1;
    int hook = -1;  // a key hook is set for this dialog
    bool centred = false;  // on the primary screen
    std::function<bool()> also;
};
struct Step {
    Act act;
    int arg = 0;
    Seen seen;
};
struct DialogScenario {
    const char* name;
    std::vector<CameraDevice> devices;
    std::wstring savedLink;
    std::vector<Step> steps;
    int savedChosen = -1;  // afterwards the registry holds this device
    std::wstring savedSize;  // the picture size saved with the saved camera
    std::wstring savedName;  // the saved camera's name
    size_t presentAtStart = SIZE_MAX;  // how many of `devices` are present when the dialog opens
};

class CaptureDialogTest : public ::testing::Test {
public:
    void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY); }

    // Shows the dialog, plays `scenario` against it and checks what it left.
    void Play(const DialogScenario& scenario) {
        SCOPED_TRACE(scenario.name);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
        playing = &scenario;
        presentDevices.assign(scenario.devices.begin(),
                              scenario.devices.begin() + std::min(scenario.presentAtStart, scenario.devices.size()));
        settings = Settings{scenario.savedLink, 0, scenario.savedName, settings.Keybind, scenario.savedSize};
        played = 0;
        current = this;
        const UINT_PTR timer = ::SetTimer(nullptr, 0, 15, OnceShown);
        CaptureDialog::Show(nullptr, ::GetModuleHandleW(nullptr), &settings, &camera, environment);
        ::KillTimer(nullptr, timer);
        MSG quit;
        ::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        EXPECT_EQ(played, scenario.steps.size()) << "the dialog closed before the scenario ended";
        // The hook is gone with the dialog: no key of this thread reaches a dead record.
        EXPECT_TRUE(!activeKeyHook && !keyHookOwner);
        if (scenario.savedChosen >= 0) EXPECT_EQ(Chosen(LoadSettings(SCRATCH_KEY)), scenario.savedChosen);
    }

    // From inside the dialog's modal loop once it shows; Eventually dispatches
    // the dialog's messages. The last step closes the dialog.
    static void CALLBACK OnceShown(HWND, UINT, UINT_PTR timer, DWORD) {
        const HWND found = ::FindWindowW(L"#32770", L"Snapward");
        if (!found || !::IsWindowVisible(found) || !::GetWindowLongPtrW(found, DWLP_USER)) return;
        ::KillTimer(nullptr, timer);
        CaptureDialogTest* self = current;
        self->dialog = found;
        self->record = reinterpret_cast<CaptureDialog*>(::GetWindowLongPtrW(found, DWLP_USER));
        ::SetForegroundWindow(found);
        std::string wrong;
        for (const Step& step : self->playing->steps) {
            self->Perform(step.act, step.arg);
            if (++self->played == self->playing->steps.size()) return;
            if (!Eventually([&] { return (wrong = self->Mismatch(step.seen)).empty(); })) {
                ADD_FAILURE() << "step " << self->played - 1 << " did not come true:" << wrong;
                ::PostMessageW(found, WM_COMMAND, IDC_CLOSE, 0);
                return;
            }
        }
    }

    void Perform(Act act, int arg) {
        switch (act) {
        case Act::None: break;
        case Act::Choose: ChooseDevice(dialog, arg); break;
        case Act::ChooseSize: ChooseDevice(dialog, arg, IDC_FRAME_SIZE); break;
        case Act::Click: ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(arg, BN_CLICKED), 0); break;
        case Act::Key:
            ::SetForegroundWindow(dialog);
            ::SetFocus(::GetDlgItem(dialog, IDC_DEVICE_COMBO));
            PressKey(static_cast<WORD>(arg));
            break;
        case Act::Refresh:
            presentDevices.assign(playing->devices.begin(), playing->devices.begin() + arg);
            Perform(Act::Click, IDC_REFRESH);
            break;
        case Act::DeviceChange:
            presentDevices.assign(playing->devices.begin(), playing->devices.begin() + arg);
            ::SendMessageW(dialog, WM_TIMER, DEVICE_CHANGE_TIMER_ID, 0);
            break;
        case Act::SysClose: ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); break;
        case Act::Quit: ::PostQuitMessage(0); break;
        case Act::Block: blocked = arg != 0; break;
        case Act::ScalePreview: {
            RECT box{};
            ::GetClientRect(record->previewControl, &box);
            if (!firstPreviewBox.right) firstPreviewBox = box;
            ::SetWindowPos(record->previewControl, nullptr, 0, 0, MulDiv(firstPreviewBox.right, arg, 100),
                           MulDiv(firstPreviewBox.bottom, arg, 100), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            break;
        }
        case Act::CaptureKey: {
            const TrayWindow kept = Tray();
            Tray().camera = &camera, Tray().settings = &settings, Tray().dialogOpen = true;
            Tray().notifyIcon = NoBalloon;
            CaptureFromHotkey(dialog);
            Tray() = kept;
            break;
        }
        }
    }

    // The index of the scenario's device that `s` names with its place, -1 for none.
    int Chosen(const Settings& s) const {
        const auto& devices = playing->devices;
        const bool named = s.DeviceIndex >= 0 && static_cast<size_t>(s.DeviceIndex) < devices.size() &&
                           devices[s.DeviceIndex].symbolicLink == s.DeviceSymLink &&
                           devices[s.DeviceIndex].friendlyName == s.DeviceName;
        return named ? s.DeviceIndex : -1;
    }

    // What differs from `seen`, empty when nothing does.
    std::string Mismatch(const Seen& seen) const {
        std::ostringstream wrong;
        for (const auto& [id, expected] : {std::pair{IDC_STATUS, seen.status}, {IDC_KEY_LABEL, seen.keyLabel},
                                           {IDC_RESOLUTION, seen.resolution}, {IDC_DEVICE_COMBO, seen.entry}}) {
            wchar_t now[512] = {};
            ::GetDlgItemTextW(dialog, id, now, 512);
            if (expected && std::wstring(now) != expected) wrong << " \"" << std::string(now, now + wcslen(now)) << '"';
        }
        BITMAP shown{};
        std::unique_lock<std::mutex> lock(record->previewLock);
        const bool held = record->previewBitmap && ::GetObjectW(record->previewBitmap.get(), sizeof shown, &shown);
        lock.unlock();
        // The frame on show is the open camera's picture, made no larger than the control shows it.
        RECT box{};
        ::GetClientRect(record->previewControl, &box);
        const int32_t factor = PreviewScaleFactor(camera.width(), camera.height(), box.right, box.bottom);
        const int frame = held && (!camera.IsOpen() || (shown.bmWidth == camera.width() / factor &&
                                                         shown.bmHeight == camera.height() / factor));
        const std::tuple<const char*, int, int> numbers[] = {{"chosen", seen.chosen, Chosen(settings)},
            {"open", seen.open, camera.IsOpen()}, {"frame", seen.frame, frame},
            {"captures", seen.captures, record->captureCount},
            {"hook", seen.hook, activeKeyHook && keyHookOwner == record}};
        for (const auto& [name, expected, now] : numbers) {
            if (expected != -1 && expected != now) wrong << ' ' << name << ' ' << now;
        }
        ::GetWindowRect(dialog, &box);
        const bool centred = box.left == (::GetSystemMetrics(SM_CXSCREEN) - (box.right - box.left)) / 2 &&
                             box.top == (::GetSystemMetrics(SM_CYSCREEN) - (box.bottom - box.top)) / 2;
        if (seen.centred && !centred) wrong << " not centred";
        if (seen.also && !seen.also()) wrong << " condition";
        return wrong.str();
    }

    static inline CaptureDialogTest* current = nullptr;
    Settings settings;
    // While set, every open is refused as Windows' privacy settings refuse one.
    bool blocked = false;
    Camera camera{[this](const std::wstring& link, CameraError& error) -> std::unique_ptr<VideoReader> {
        if (blocked) {
            error = CAMERA_ERROR_ACCESS_DENIED;
            return nullptr;
        }
        std::unique_ptr<VideoReader> clip = OpenFileCameraReader(link, error);
        return clip ? std::move(clip) : OpenTestPatternReader(link, nullptr, error);  // MISSING_LINK opens nothing
    }};
    ScratchFolder pictures{L"snapward-dialog-test"};
    DialogEnvironment environment{SCRATCH_KEY, pictures.path().c_str(), PresentDevices};
    const DialogScenario* playing = nullptr;
    size_t played = 0;
    RECT firstPreviewBox{};
    HWND dialog = nullptr;
    CaptureDialog* record = nullptr;
};

// Every way of closing saves the choice: Escape, a quit message, the close box.
TEST_F(CaptureDialogTest, OpensTheSavedDeviceTellsWhyNoneOpenedRefreshesAndSavesTheChoiceOnClosing) {
    const std::wstring rgb = PatternLink(RGB24_CAMERA), nv12 = PatternLink();
    const DialogScenario scenarios[] = {
        {"a device that fails to open, all unplugged, one plugged in again",
         {{L"Good", rgb}, {L"Gone", MISSING_LINK}},
         L"",
         {{Act::None, 0, {.frame = 1}},
          // Still the user's choice; the old camera's last frame and resolution stay on display.
          {Act::Choose, 1,
           {.status = OPEN_FAILED, .resolution = L"Resolution: 1280 x 720", .chosen = 1, .open = 0, .frame = 1}},
          {Act::Click, IDC_CAPTURE, {.status = L"No camera open. Select a device first."}},
          {Act::Refresh, 0, {.status = NO_WEBCAMS, .entry = L"(No video devices found)"}},
          {Act::Choose, 0, {.open = 0}},  // the placeholder opens nothing
          // The one chosen last is still away: no other camera takes its place unasked.
          {Act::Refresh, 1, {.status = DISCONNECTED, .open = 0}},
          {Act::Choose, 0, {.status = READY, .open = 1}},
          {Act::Key, VK_ESCAPE}},
         0},
        {"the only device fails to open at the start",
         {{L"Gone", MISSING_LINK}},
         L"",
         {{Act::None, 0, {.status = OPEN_FAILED}}, {Act::Quit}},
         0},
        {"saved device opened, another chosen, saved on closing; devices listed in enumeration order",
         {{L"Zeta", rgb}, {L"Alpha", L"snapward-testpattern:yuy2?name=Alpha&huge=320x240"}, {L"Mid", nv12},
          {L"Held", L"snapward-testpattern:nv12?name=Held&busy=C00D3704&for=800"}},
         nv12,
         {{Act::None, 0,
           // The instruction replaces the open's "Ready." at the end of initialisation.
           {.status = L"Select webcam and press Capture (or your hotkey) to grab a frame.",
            .keyLabel = L"F10  (global hotkey)", .resolution = L"Resolution: 1280 x 720", .entry = L"Mid",
            .chosen = 2, .frame = 1, .centred = true}},
          // Half and back: the frames follow the control's size (the 720 lines made 180 or 360).
          {Act::ScalePreview, 50, {.frame = 1}},
          {Act::ScalePreview, 100, {.frame = 1}},
          {Act::Choose, 1,
           {.status = READY, .resolution = L"Resolution: 320 x 240", .chosen = 1, .frame = 1,
            .also = [] { return LoadSettings(SCRATCH_KEY).DeviceSymLink.empty(); }}},  // saved only on closing
          // Another program lets go of it: opened afresh on the recovery timer.
          {Act::Choose, 3, {.status = L"Camera in use by another app. The preview resumes when it is free."}},
          {Act::None, 0, {.status = READY, .frame = 1}},
          {Act::SysClose}},
         3},
    };
    for (const DialogScenario& scenario : scenarios) {
        camera.Close();
        Play(scenario);
    }
    // The last leaves the camera open with its preview stopped: a new preview can start.
    EXPECT_TRUE(camera.StartPreview([](const uint8_t*, int32_t, int32_t, int32_t) {}));
}

// The saved camera is the user's: one that enumerates late is waited for, not
// replaced by the first camera listed; one moved to another port (a new link,
// its name unchanged) or listed with its link in another case is found again,
// with its picture size.
TEST_F(CaptureDialogTest, TheSavedCameraIsWaitedForWhenLateAndFoundAgainWhenMoved) {
    const std::wstring rgb = PatternLink(RGB24_CAMERA), nv12 = PatternLink();
    std::wstring upper = nv12;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    const auto sizeKept = [] { return current->settings.FrameSize == L"1280x720"; };
    const DialogScenario scenarios[] = {
        {"late", {{L"Other", rgb}, {L"Late", nv12}}, nv12,
         {{Act::None, 0, {.status = DISCONNECTED, .entry = L"", .open = 0}},
          {Act::DeviceChange, 2, {.status = READY, .entry = L"Late", .chosen = 1, .open = 1, .also = sizeKept}},
          {Act::Click, IDC_CLOSE}},
         1, L"1280x720", L"Late", 1},
        {"late, and closed before it came", {{L"Other", rgb}, {L"Late", nv12}}, nv12,
         {{Act::None, 0, {.status = DISCONNECTED, .open = 0}}, {Act::Click, IDC_CLOSE}},
         -1, L"1280x720", L"Late", 1},
        {"moved", {{L"Other", rgb}, {L"Moved", nv12}}, L"\\\\?\\usb#vid_0000&pid_0000#old-port",
         {{Act::None, 0, {.entry = L"Moved", .chosen = 1, .open = 1, .frame = 1, .also = sizeKept}},
          {Act::Click, IDC_CLOSE}},
         1, L"1280x720", L"Moved"},
        {"in another case", {{L"Other", rgb}, {L"Cam", nv12}}, upper,
         {{Act::None, 0, {.entry = L"Cam", .chosen = 1, .open = 1, .also = sizeKept}}, {Act::Click, IDC_CLOSE}},
         1, L"1280x720"},
    };
    for (const DialogScenario& scenario : scenarios) {
        camera.Close();
        Play(scenario);
        if (scenario.savedChosen < 0) EXPECT_EQ(LoadSettings(SCRATCH_KEY).DeviceSymLink, nv12) << "kept as it was";
    }
}

// A camera that fails while its type is set, as one taken by another program or unplugged between listing and opening
// does, is named as such and opened again by itself once it works, not left as a camera that cannot be opened.
TEST_F(CaptureDialogTest, CameraThatFailsWhileItsTypeIsSetIsWaitedForAndPreviewed) {
    const struct { const wchar_t* link; const wchar_t* status; } cases[] = {
        {L"snapward-testpattern:nv12?name=Taken&typefail=C00D3704&for=1500", CAMERA_IN_USE},
        {L"snapward-testpattern:yuy2?name=Pulled&typefail=C00D3EA2&for=1500", DISCONNECTED},
    };
    for (const auto& c : cases) {
        camera.Close();
        Play({"fails while its type is set",
              {{L"Cam", c.link}},
              L"",
              {{Act::None, 0, {.status = c.status, .open = 0}},
               {Act::None, 0, {.status = READY, .resolution = L"Resolution: 1280 x 720", .open = 1, .frame = 1}},
               {Act::Click, IDC_CLOSE}}});
    }
}

// A camera that sends a frame and then nothing is named as one that stopped sending; one that sends nothing at all
// does not hold the dialog's closing for as long as its read may wait.
TEST_F(CaptureDialogTest, ACameraThatStopsSendingIsNamedAndTheDialogClosesAtOnce) {
    Play({"stops sending",
          {{L"Cam", L"snapward-testpattern:nv12?name=Silent&stall=1&wait=200"}},
          L"",
          {{Act::None, 0, {.status = L"The camera stopped sending pictures. Retrying..."}}, {Act::Click, IDC_CLOSE}}});
    camera.Close();
    const auto start = std::chrono::steady_clock::now();
    Play({"sends nothing",
          {{L"Cam", L"snapward-testpattern:nv12?name=Mute&stall=0&wait=120000"}},
          L"",
          {{Act::None, 0, {.open = 1}}, {Act::Click, IDC_CLOSE}}});
    // A read that is not woken waits two minutes: far beyond what any busy machine adds to a close.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << "the close waited for the read";
    camera.Close();
}

// The capture key opens the camera for its still while the dialog waits to recover it: the dialog then previews
// that camera rather than calling it ready with its preview left empty for good.
TEST_F(CaptureDialogTest, CaptureKeyThatOpensTheCameraDuringARecoveryBringsThePreviewBack) {
    const auto recoveryFailedOnce = [] { return current->record->recoveryDelayMs == 2 * RECOVERY_FIRST_MS; };
    uint32_t made = 0;
    // Frames keep coming, and the sizes the camera offers are listed as for any open.
    const auto framesFlow = [&made] {
        return CountPreviewFrames().made >= made + 5 &&
               ::SendDlgItemMessageW(current->dialog, IDC_FRAME_SIZE, CB_GETCOUNT, 0, 0) == 2;
    };
    blocked = true;
    Play({"capture key during a recovery",
          {{L"Cam", PatternLink()}},
          L"",
          {{Act::None, 0, {.status = BLOCKED, .open = 0, .also = recoveryFailedOnce}},
           {Act::Block, 0, {.also = [&made] { return made = CountPreviewFrames().made, true; }}},
           {Act::CaptureKey, 0,
            {.status = READY, .resolution = L"Resolution: 1280 x 720", .open = 1, .frame = 1, .also = framesFlow}},
           {Act::Click, IDC_CLOSE}}});
    EXPECT_TRUE(ClipboardHoldsPattern(1280, 720));
}

// The size list of a camera that lists many: a saved size it no longer offers opens its default and keeps the
// saved choice; a size chosen reopens the camera at it and is remembered; another camera starts from its default.
TEST_F(CaptureDialogTest, PictureSizesOfTheOpenCameraAreListedChosenAndBelongToTheirCamera) {
    const auto sizeIs = [](int entry, const wchar_t* saved, int entries) {
        return [=] {
            const HWND list = ::GetDlgItem(current->dialog, IDC_FRAME_SIZE);
            return ::SendMessageW(list, CB_GETCURSEL, 0, 0) == entry && current->settings.FrameSize == saved &&
                   ::SendMessageW(list, CB_GETCOUNT, 0, 0) == entries;
        };
    };
    DialogScenario scenario{"picture sizes",
                            {{L"C920", L"snapward-testpattern:nv12?modes=c920&name=C920"}, {L"Plain", PatternLink()}},
                            L"snapward-testpattern:nv12?modes=c920&name=C920",
                            {{Act::None, 0, {.resolution = L"Resolution: 640 x 480", .also = sizeIs(0, L"3840x2160", 20)}},
                             {Act::ChooseSize, 1,  // 2304 x 1536, YUY2 at 2 fps
                              {.status = READY, .resolution = L"Resolution: 2304 x 1536", .frame = 1,
                               .also = sizeIs(1, L"2304x1536", 20)}},
                             {Act::Choose, 1, {.resolution = L"Resolution: 1280 x 720", .also = sizeIs(0, L"", 2)}},
                             {Act::Choose, 0, {.resolution = L"Resolution: 640 x 480", .also = sizeIs(0, L"", 20)}},
                             {Act::ChooseSize, 0, {.resolution = L"Resolution: 640 x 480", .frame = 1}},
                             {Act::Click, IDC_CLOSE}},
                            0,
                            L"3840x2160"};
    Play(scenario);
}

// A clip played through Wine's Media Foundation as a camera: listed under its
// file's name, previewed for longer than the clip lasts (it loops), and the
// capture is the clip's picture.
TEST_F(CaptureDialogTest, AFileCameraIsListedPreviewedAndCaptured) {
    ASSERT_TRUE(StartMediaFoundation());  // and COM, for the clip's JPEG encoder
    ScopeExit stop([] { StopMediaFoundation(); });
    const std::wstring link = test_clips::WriteClip(pictures.path(), PixelFormat::MJPG);
    ASSERT_FALSE(link.empty());
    static uint32_t madeBefore = 0;
    madeBefore = CountPreviewFrames().made;
    Play({"file camera",
          FileCamerasOf({link}),
          link,
          {{Act::None, 0,
            {.resolution = L"Resolution: 320 x 180", .entry = L"pattern-mjpg.avi", .open = 1, .frame = 1,
             .also = [] { return CountPreviewFrames().made >= madeBefore + 2 * test_clips::CLIP_FRAMES; }}},
           {Act::Click, IDC_CAPTURE,
            {.captures = 1, .also = [] { return bool(ClipboardHoldsPattern(test_clips::CLIP_WIDTH,
                                                                            test_clips::CLIP_HEIGHT)); }}},
           {Act::Click, IDC_CLOSE}},
          0});
}

// Keys reach a waiting change through a thread keyboard hook. A command that
// overwrites the prompt ends the change too; the camera's news does not: it
// waits until the change is over.
TEST_F(CaptureDialogTest, KeyChangeTakesAKeyRefusesEscapeAndModifiersAndEndsWithCaptureOrClose) {
    const wchar_t* const enter = L"Enter  (global hotkey)";
    const wchar_t* const prompt = L"Press a key to use as the capture hotkey, or Escape to cancel...";
    Play({"key change",
          {{L"Cam", PatternLink(RGB24_CAMERA)}},
          L"",
          {{Act::Key, VK_RETURN,
            {.status = L"Captured! Image #1 copied to clipboard and saved to Pictures.", .captures = 1}},
           {Act::Click, IDC_CHANGE_KEY,
            {.status = prompt, .keyLabel = L"[press any key]", .hook = 1}},
           {Act::Key, VK_F9,
            {.status = L"Hotkey updated. It works globally, even when this window is closed.", .keyLabel = F9_LABEL,
             .hook = 0, .also = [] { return LoadSettings(SCRATCH_KEY).Keybind == VK_F9; }}},  // saved at once
           {Act::Click, IDC_CHANGE_KEY},
           {Act::Key, VK_ESCAPE, {.status = UNCHANGED, .keyLabel = F9_LABEL, .hook = 0}},  // and still open
           {Act::Click, IDC_CHANGE_KEY},
           {Act::Key, VK_LSHIFT, {.status = UNCHANGED, .keyLabel = F9_LABEL, .hook = 0}},
           {Act::Click, IDC_CHANGE_KEY},
           {Act::Click, IDC_CHANGE_KEY},
           {Act::Key, VK_RETURN, {.keyLabel = enter, .captures = 1, .hook = 0}},  // the key, not a capture
           {Act::Click, IDC_CHANGE_KEY},
           {Act::Click, IDC_CAPTURE, {.keyLabel = enter, .captures = 2, .hook = 0}},
           {Act::Click, IDC_CHANGE_KEY, {.hook = 1}},
           {Act::DeviceChange, 0, {.status = prompt, .keyLabel = L"[press any key]", .open = 0, .hook = 1}},
           {Act::Key, VK_F9, {.status = DISCONNECTED, .keyLabel = F9_LABEL, .hook = 0}},
           {Act::DeviceChange, 1, {.status = READY, .open = 1}},
           {Act::Click, IDC_CHANGE_KEY, {.hook = 1}},
           {Act::Click, IDC_CLOSE}}});
}

}  // namespace
