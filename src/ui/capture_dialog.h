#pragma once
// The modal capture dialog: camera list, live preview, still capture and the
// capture-key change. One CaptureDialog record lives for one showing.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/camera_trouble.h"
#include "camera/device_changes_win.h"
#include "camera/devices.h"
#include "camera/frame_sizes.h"
#include "platform/win_handles.h"
#include "settings/settings.h"
#include "ui/resource_ids.h"

constexpr UINT_PTR PREVIEW_TIMER_ID = 1;
constexpr UINT PREVIEW_INTERVAL_MS = 33;
constexpr UINT_PTR PREVIEW_SUBCLASS_ID = 1;

// A camera that fails (held by another program, blocked, or sending nothing)
// is closed and opened again after the waits of NextRecoveryDelay: the user
// sees it come back by itself without the device being hammered. An unplugged
// camera is not retried: it is reopened when Windows says it has come back.
constexpr UINT_PTR RECOVERY_TIMER_ID = 2;
// Windows announces a device in several steps (each interface, then its
// drivers); the list is read once they have come, not at the first.
constexpr UINT_PTR DEVICE_CHANGE_TIMER_ID = 3;
constexpr UINT DEVICE_CHANGE_DELAY_MS = 300;

// What EndDialog reports when the user closed the dialog (any of its ways).
constexpr INT_PTR CAPTURE_DIALOG_CLOSED = 2;

// What a showing reads and writes besides the settings record and the camera.
// The defaults are the program's; tests point them at a scratch registry key,
// a scratch folder and lists of devices of their own.
struct DialogEnvironment {
    const wchar_t* settingsKeyPath = SETTINGS_KEY_PATH;
    const wchar_t* picturesFolder = nullptr;  // null: the user's Pictures folder
    std::vector<CameraDevice> (*enumerateCameras)() = EnumerateCameras;
};

struct CaptureDialog {
    HWND dialog = nullptr;
    HWND owner = nullptr;
    HINSTANCE instance = nullptr;
    Settings* settings = nullptr;
    Camera* camera = nullptr;
    bool keyChangeActive = false;
    // What the status line would have said while a key change held its prompt;
    // shown once the change ends. Empty: nothing came meanwhile.
    std::wstring statusAfterKeyChange;
    UniqueBitmap previewBitmap;  // latest preview frame; guarded by previewLock
    uint32_t previewSerial = 0;  // raised with every frame stored; guarded by previewLock
    uint32_t paintedSerial = 0;  // the frame the preview control last painted; UI thread
    std::mutex previewLock;
    HWND previewControl = nullptr;
    std::vector<CameraDevice> devices;  // entry i of the combo box is device i
    // Entry i + 1 of the size list is frameSizes[i]; entry 0 is the default.
    std::vector<FrameSizeOption> frameSizes;
    int32_t captureCount = 0;
    DialogEnvironment environment;
    std::unique_ptr<CameraChangeNotifications> cameraChanges;
    // The camera problem the status line shows (0: none), and the wait before
    // the next attempt to reopen the camera (0: none planned).
    CameraError shownProblem = CAMERA_ERROR_NONE;
    UINT recoveryDelayMs = 0;
    bool recoveryPlanned = false;
    // The saved camera was unplugged: it is opened again when it comes back.
    bool waitingForDevice = false;

    // Runs the dialog modally and returns when it has closed. The camera is
    // left open with its preview stopped; the caller closes it.
    static void Show(HWND owner, HINSTANCE instance, Settings* settings, Camera* camera,
                     const DialogEnvironment& environment = {});
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    INT_PTR HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    void FillDeviceList();
    void ShowDeviceList(int selection);
    void OpenSelectedDevice(int index);
    // Opens the saved camera at the saved size (the default when it is not
    // offered) and shows what it offers.
    bool OpenSavedCamera();
    void ShowFrameSizes();
    void OnFrameSizeChosen(int entry);
    // Camera trouble: shown, and recovered from without the user.
    void StartPreview();
    void CheckCamera();
    void ShowCameraProblem(CameraError error);
    void ScheduleRecovery();
    void WaitForDevice();
    void ResetRecovery();
    void Recover();
    void LetCameraGo();
    void OnCameraChange();
    void OnCapture();
    void CloseDialog();
    void OnDestroy();
    // The status line; while a key change waits, its prompt stays and `text`
    // is kept for afterwards (camera checks, recoveries and device changes
    // must not make the prompt vanish while the next key is still taken as the
    // capture key).
    void SetStatus(const wchar_t* text);

    // Capture-key change.
    void UpdateKeyLabel(HWND window);
    void BeginKeyChange(HWND window);
    void FinishKeyChange(HWND window, uint32_t key, bool escape);
    void CancelKeyChange(HWND window);
    // Ends a key change's hold on the status line with `text`, or with what
    // came meanwhile.
    void EndKeyChangeStatus(HWND window, const wchar_t* text);

    // Live preview, on the camera's preview thread.
    void OnPreviewFrame(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride);
};

// Every text the dialog's status line can show (numbers at their widest): it
// must hold each of them whole, at every display scale. The key change's part
// comes from KeyChangeStatusTexts.
std::vector<std::wstring> DialogStatusTexts();
std::vector<std::wstring> KeyChangeStatusTexts();

// The keyboard hook of a waiting key change, and the dialog it serves. Only the
// dialog's thread touches them; both are null whenever no change waits.
extern UniqueHook activeKeyHook;
extern CaptureDialog* keyHookOwner;

LRESULT CALLBACK CaptureKeyHookProc(int code, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK PreviewSubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR subclassId, DWORD_PTR referenceData);

// How many preview frames the dialogs of this process have made into screen
// bitmaps, and how many of those reached the screen: a frame replaced before
// the UI thread painted it is lost to the user. For measuring the preview.
struct PreviewFrameCounts {
    uint32_t made = 0;
    uint32_t shown = 0;
};
PreviewFrameCounts CountPreviewFrames();

// Virtual-key codes refused as the capture key: a modifier alone.
inline constexpr uint32_t MODIFIER_KEYS[] = {0x10, 0x11, 0x12, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
bool IsModifierKey(uint32_t key);
