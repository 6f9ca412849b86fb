#include "app/hotkey.h"

#include <cwchar>
#include <iterator>
#include <string>
#include <utility>

#include "app/tray_state.h"
#include "camera/camera.h"
#include "camera/frame_sizes.h"
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
    const bool registered = RegisterHotKey(tray.window, CAPTURE_HOTKEY_ID, 0, key);
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

void CaptureFromHotkey(HWND owner) {
    TrayWindow& tray = Tray();
    if (!tray.camera) return;
    Camera& camera = *tray.camera;

    const bool saved = tray.settings && !tray.settings->DeviceSymLink.empty();
    if (!camera.IsOpen() && saved &&
        !camera.Open(tray.settings->DeviceSymLink, ParseFrameSize(tray.settings->FrameSize))) {
        // A device that told us why (unplugged, held, blocked) is named as
        // such; anything else is the plain "no camera".
        const CameraProblem problem = ClassifyCameraError(camera.lastError());
        const bool told = problem != CameraProblem::None && problem != CameraProblem::Other;
        ShowTrayBalloon(SNAPWARD_TITLE, told ? CaptureFailedText(camera.lastError()) : NO_CAMERA_TEXT);
        return;
    }
    if (!camera.IsOpen()) {
        ShowTrayBalloon(SNAPWARD_TITLE, NO_CAMERA_TEXT);
        return;
    }

    // A camera that has only just started delivers dark frames; one that has
    // been streaming is captured from at once.
    camera.Settle();
    UniqueGlobal dib = CaptureDib(camera);
    if (!dib) {
        const CameraError error = camera.lastError();
        // Outside the dialog the capture key alone keeps the camera open. A
        // device that failed (unplugged, taken by another program) is let go,
        // so that the next press opens it afresh instead of failing on the
        // stale reader until the dialog has been shown again.
        if (!tray.dialogOpen) {
            KillTimer(tray.window, CAMERA_IDLE_TIMER_ID);
            camera.Close();
        }
        ShowTrayBalloon(SNAPWARD_TITLE, CaptureFailedText(error));
        return;
    }
    // Warm for the next press; every capture restarts the wait.
    if (!tray.dialogOpen && tray.window) SetTimer(tray.window, CAMERA_IDLE_TIMER_ID, CAMERA_IDLE_RELEASE_MS, nullptr);

    switch (PutDibOnClipboard(owner, std::move(dib))) {
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

void ReleaseIdleCamera() {
    TrayWindow& tray = Tray();
    if (tray.window) KillTimer(tray.window, CAMERA_IDLE_TIMER_ID);
    if (!tray.dialogOpen && tray.camera) tray.camera->Close();
}
