// Entry point and lifetime of the tray program.

#include <windows.h>

#include "app/dialog_from_tray.h"
#include "app/hotkey.h"
#include "app/single_instance.h"
#include "app/tray_window.h"
#include "camera/camera.h"
#include "camera/devices.h"
#include "platform/system_library.h"
#include "platform/win_handles.h"
#include "settings/settings.h"

namespace {

constexpr wchar_t SINGLE_INSTANCE_MUTEX[] = L"Orvendel_SingleInstance";
constexpr wchar_t ALREADY_RUNNING_TEXT[] =
    L"Snapward is already running.\nLook for its icon in the system tray (bottom-right of the "
    L"taskbar).";

#if defined(SNAPWARD_TESTCAM) && SNAPWARD_TESTCAM
BOOL WINAPI NotifyIconCountingBalloons(DWORD message, PNOTIFYICONDATAW data) {
    if (message == NIM_MODIFY && (data->uFlags & NIF_INFO)) AddToSemaphore(TEST_BALLOONS_SEMAPHORE);
    return Shell_NotifyIconW(message, data);
}
#endif

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Before anything loads a library: run from Downloads, the program's folder
    // may hold a planted DLL under the name of one that Windows itself loads
    // later on our behalf (COM servers, the shell's delay-loaded helpers).
    RestrictDllSearchToSystemFolder();

    TrayWindow& tray = Tray();
    tray.instance = instance;

    // No namespace prefix: one instance per logon session.
    UniqueKernelHandle singleInstance;
    if (ClaimSingleInstance(SINGLE_INSTANCE_MUTEX, singleInstance) == InstanceClaim::AlreadyRunning) {
        MessageBoxW(nullptr, ALREADY_RUNNING_TEXT, SNAPWARD_TITLE, MB_OK | MB_ICONINFORMATION);
        return 0;
    }

#if defined(SNAPWARD_TESTCAM) && SNAPWARD_TESTCAM
    EnableTestPatternCameras();
    tray.notifyIcon = NotifyIconCountingBalloons;
#endif

    // A failed start leaves the device list empty and every open failing; the
    // program still runs, with its tray icon and dialog.
    StartMediaFoundation();

    // Both live until the process exits and are destroyed after WinMain has
    // returned, the camera before the settings (reverse order of creation).
    static Settings settings = LoadSettings();
    static Camera camera(OpenCameraReader);
    tray.settings = &settings;
    tray.camera = &camera;

    CreateTrayWindow(instance);
    AddTrayIcon();
    RegisterCaptureHotkey();
    if (!IsLogonStart(GetCommandLineW())) OpenDialogFromTray();

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    UnregisterHotKey(tray.window, CAPTURE_HOTKEY_ID);
    FinishHotkeyCapture(true);
    camera.Close();
    StopMediaFoundation();
    singleInstance.reset();
    return 0;
}
