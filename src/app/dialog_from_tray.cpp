#include "app/dialog_from_tray.h"

#include <cwchar>
#include <string>

#include "app/hotkey.h"
#include "app/tray_state.h"
#include "settings/key_names.h"
#include "ui/capture_dialog.h"

namespace {

constexpr const wchar_t* STILL_RUNNING_FORMAT =
    L"Still running in the tray. Press %ls anywhere to capture.";
constexpr const wchar_t* STILL_RUNNING_NO_KEY =
    L"Still running in the tray. Open the app to set a capture hotkey.";

constexpr size_t BALLOON_TEXT_UNITS = 128;

}  // namespace

void OpenDialogFromTray() {
    TrayWindow& tray = Tray();
    // Tray clicks reach us through the dialog's own modal loop: one dialog only.
    if (tray.dialogOpen) return;
    // The capture key's worker has the camera: the dialog follows its capture
    // rather than blocking the tray until it ends.
    if (HotkeyCaptureRunning()) {
        tray.dialogWanted = true;
        return;
    }
    tray.dialogWanted = false;
    tray.dialogOpen = true;
    // The dialog has the camera now, and closes it when it is done.
    if (tray.window) KillTimer(tray.window, CAMERA_IDLE_TIMER_ID);

    CaptureDialog::Show(nullptr, tray.instance, tray.settings, tray.camera);

    // The key chosen in the dialog takes effect only now.
    const bool registered = RegisterCaptureHotkey();
    tray.camera->Close();

    const uint32_t key = tray.settings->Keybind;
    // A key that could not be registered keeps the balloon saying so: a hint
    // to press a key that does nothing would replace it.
    if (key != 0 && registered) {
        // The layout's own name for the key; where the layout has none, the
        // name the dialog showed, rather than "Press  anywhere".
        std::wstring name = LayoutKeyName(key);
        if (name.empty()) name = KeyDisplayName(key);
        wchar_t text[BALLOON_TEXT_UNITS] = {};
        std::swprintf(text, BALLOON_TEXT_UNITS, STILL_RUNNING_FORMAT, name.c_str());
        ShowTrayBalloon(SNAPWARD_TITLE, text);
    } else if (key == 0) {
        ShowTrayBalloon(SNAPWARD_TITLE, STILL_RUNNING_NO_KEY);
    }

    tray.dialogOpen = false;
}
