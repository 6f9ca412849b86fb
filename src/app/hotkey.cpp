#include "app/hotkey.h"

#include <atomic>
#include <chrono>
#include <cwchar>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app/tray_state.h"
#include "camera/camera.h"
#include "camera/frame_sizes.h"
#include "camera/saved_camera.h"
#include "capture/capture_action.h"
#include "capture/frame.h"
#include "settings/key_names.h"

namespace {

constexpr wchar_t HOTKEY_REGISTERED_FORMAT[] = L"Hotkey registered: %ls  (press it anywhere to capture)";
constexpr wchar_t HOTKEY_FAILED_FORMAT[] =
    L"Could not register hotkey (error %lu). Another app may be using that key. Open the app and "
    L"pick a different one.";
constexpr wchar_t NO_HOTKEY_TEXT[] = L"No capture hotkey set. Open the app and click Change to set one.";
constexpr wchar_t NO_CAMERA_TEXT[] = L"No camera open. Open the app and select a device first.";
constexpr wchar_t CAPTURED_TEXT[] = L"Captured to clipboard.";
constexpr int WAKE_RETRY_MS = 20;

}  // namespace

bool RegisterCaptureHotkey() {
    TrayWindow& tray = Tray();
    if (!tray.window) return false;
    UnregisterHotKey(tray.window, CAPTURE_HOTKEY_ID);
    if (!tray.settings || tray.settings->Keybind == 0) {
        ShowTrayBalloon(SNAPWARD_TITLE, NO_HOTKEY_TEXT);
        return false;
    }
    const UINT key = tray.settings->Keybind;
    wchar_t text[128] = {};
    const bool registered = RegisterHotKey(tray.window, CAPTURE_HOTKEY_ID, MOD_NOREPEAT, key);
    if (!registered) {
        const unsigned long error = GetLastError();
        swprintf(text, std::size(text), HOTKEY_FAILED_FORMAT, error);
    } else {
        const std::wstring name = KeyDisplayName(key);
        swprintf(text, std::size(text), HOTKEY_REGISTERED_FORMAT, name.c_str());
    }
    ShowTrayBalloon(SNAPWARD_TITLE, text);
    return registered;
}

namespace {

// One press of the capture key: what it asks of the camera and what it got.
struct HotkeyCapture {
    std::wstring link;  // the saved camera; empty when none is saved
    std::wstring name;
    FrameSize size;
    std::vector<CameraDevice> (*enumerateCameras)() = nullptr;
    std::wstring movedLink;  // the saved camera was found and opened under this link
    int movedIndex = -1;
    bool dialogOpen = false;
    UniqueGlobal dib;                  // the picture
    const wchar_t* failure = nullptr;  // the balloon when there is no picture
    bool failedGrab = false;           // a grab failed: the idle wait ends
};

// The camera's part of a press, on whichever thread has the camera.
// A camera without a serial number that was moved to another USB port is
// listed under a new link; the one device bearing its name is it.
bool OpenMovedCamera(Camera& camera, HotkeyCapture& capture) {
    if (!capture.enumerateCameras) return false;
    const std::vector<CameraDevice> devices = capture.enumerateCameras();
    const int found = FindSavedCamera(devices, capture.link, capture.name);
    if (found < 0) return false;
    const std::wstring& link = devices[static_cast<size_t>(found)].symbolicLink;
    if (link == capture.link || !camera.Open(link, capture.size)) return false;
    capture.movedLink = link;
    capture.movedIndex = found;
    return true;
}

void GrabForHotkey(Camera& camera, HotkeyCapture& capture) {
    if (!camera.IsOpen() && !capture.link.empty() && !camera.Open(capture.link, capture.size) &&
        !OpenMovedCamera(camera, capture)) {
        // A device that told us why (unplugged, held, blocked) is named as
        // such; anything else is the plain "no camera".
        const CameraProblem problem = ClassifyCameraError(camera.lastError());
        const bool told = problem != CameraProblem::None && problem != CameraProblem::Other;
        capture.failure = told ? CaptureFailedText(camera.lastError()) : NO_CAMERA_TEXT;
        return;
    }
    if (!camera.IsOpen()) {
        capture.failure = NO_CAMERA_TEXT;
        return;
    }
    // A camera that has only just started delivers dark frames; one that has
    // been streaming is captured from at once.
    camera.Settle();
    capture.dib = CaptureDib(camera);
    if (capture.dib) return;
    capture.failure = CaptureFailedText(camera.lastError());
    capture.failedGrab = true;
    // Outside the dialog the capture key alone keeps the camera open. A device
    // that failed (unplugged, taken by another program) is let go, so that the
    // next press opens it afresh instead of failing on the stale reader until
    // the dialog has been shown again.
    if (!capture.dialogOpen) camera.Close();
}

// The UI thread's part: the idle wait, the clipboard and the balloon.
void ShowHotkeyCapture(HWND owner, HotkeyCapture& capture) {
    TrayWindow& tray = Tray();
    if (!capture.movedLink.empty() && tray.settings) {
        tray.settings->DeviceSymLink = capture.movedLink;
        tray.settings->DeviceIndex = capture.movedIndex;
        SaveSettings(*tray.settings);
    }
    if (!capture.dib) {
        if (capture.failedGrab && !tray.dialogOpen && tray.window) KillTimer(tray.window, CAMERA_IDLE_TIMER_ID);
        ShowTrayBalloon(SNAPWARD_TITLE, capture.failure);
        return;
    }
    // Warm for the next press; every capture restarts the wait.
    if (!tray.dialogOpen && tray.window) SetTimer(tray.window, CAMERA_IDLE_TIMER_ID, CAMERA_IDLE_RELEASE_MS, nullptr);
    switch (PutDibOnClipboard(owner, std::move(capture.dib))) {
    case ClipboardHandOver::Copied:
        ShowTrayBalloon(SNAPWARD_TITLE, CAPTURED_TEXT);
        break;
    case ClipboardHandOver::CouldNotOpen:
        ShowTrayBalloon(SNAPWARD_TITLE, CLIPBOARD_OPEN_FAILED_TEXT);
        break;
    case ClipboardHandOver::Refused:
        ShowTrayBalloon(SNAPWARD_TITLE, CLIPBOARD_REFUSED_TEXT);
        break;
    }
}

// The capture under way on the worker. Only the UI thread touches this record;
// the worker touches only its own HotkeyCapture and the camera, both of which
// the UI thread leaves alone until it has joined the worker.
struct CaptureWorker {
    std::thread thread;
    std::atomic<bool> done{false};  // the thread has nothing left to do but end
    HotkeyCapture capture;
    HWND owner = nullptr;
};

CaptureWorker& Worker() {
    static CaptureWorker worker;
    return worker;
}

// Runs the press on the worker; false, with `capture` as it was, when no
// thread could be started.
bool StartCaptureWorker(Camera& camera, HotkeyCapture& capture, HWND owner) {
    CaptureWorker& worker = Worker();
    worker.capture = std::move(capture);
    worker.owner = owner;
    HotkeyCapture* job = &worker.capture;
    std::atomic<bool>* done = &worker.done;
    done->store(false);
    // The UI thread lives in the process's multithreaded apartment (see
    // StartMediaFoundation), which this thread joins implicitly: the reader it
    // opens serves the dialog's thread later just the same.
    try {
        worker.thread = std::thread([&camera, job, owner, done] {
            GrabForHotkey(camera, *job);
            PostMessageW(owner, WM_HOTKEY_CAPTURE_DONE, 0, 0);
            done->store(true);
        });
    } catch (const std::system_error&) {
        capture = std::move(worker.capture);
        worker.capture = HotkeyCapture{};
        return false;
    }
    return true;
}

}  // namespace

void CaptureFromHotkey(HWND owner) {
    TrayWindow& tray = Tray();
    if (!tray.camera || HotkeyCaptureRunning()) return;

    HotkeyCapture capture;
    if (tray.settings) {
        capture.link = tray.settings->DeviceSymLink;
        capture.name = tray.settings->DeviceName;
        capture.size = ParseFrameSize(tray.settings->FrameSize);
    }
    capture.dialogOpen = tray.dialogOpen;
    capture.enumerateCameras = tray.enumerateCameras;
    if (!tray.dialogOpen && StartCaptureWorker(*tray.camera, capture, owner)) return;
    // With the dialog open the camera is running already; without a thread to
    // be had (a 32-bit process short of address space) the press still counts.
    GrabForHotkey(*tray.camera, capture);
    ShowHotkeyCapture(owner, capture);
}

void FinishHotkeyCapture(bool wakeReads) {
    CaptureWorker& worker = Worker();
    if (!worker.thread.joinable()) return;
    // Woken again while it runs: a camera it opens afresh meanwhile starts
    // with its reads uncancelled.
    for (Camera* camera = Tray().camera; wakeReads && camera && !worker.done.load();) {
        camera->CancelReads();
        std::this_thread::sleep_for(std::chrono::milliseconds(WAKE_RETRY_MS));
    }
    worker.thread.join();
    HotkeyCapture capture = std::move(worker.capture);
    worker.capture = HotkeyCapture{};
    ShowHotkeyCapture(worker.owner, capture);
}

bool HotkeyCaptureRunning() {
    return Worker().thread.joinable();
}

void ReleaseIdleCamera() {
    TrayWindow& tray = Tray();
    // The capture under way restarts the wait when it is done.
    if (HotkeyCaptureRunning()) return;
    if (tray.window) KillTimer(tray.window, CAMERA_IDLE_TIMER_ID);
    if (!tray.dialogOpen && tray.camera) tray.camera->Close();
}
