#include "ui/capture_dialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "camera/saved_camera.h"
#include "capture/capture_action.h"
#include "platform/product.h"
#include "ui/shell_open.h"
#include "ui/window_subclass.h"

namespace {

constexpr const wchar_t* CAPTURE_BUTTON_TEXT = L"Capture";
constexpr const wchar_t* CLOSE_BUTTON_TEXT = L"Close";
constexpr const wchar_t* STATUS_INSTRUCTIONS =
    L"Select webcam and press Capture (or your hotkey) to grab a frame.";
constexpr const wchar_t* STATUS_OPENING = L"Opening camera...";
constexpr const wchar_t* STATUS_OPEN_FAILED =
    L"Failed to open camera. Try another device or click Refresh.";
constexpr const wchar_t* STATUS_READY = L"Ready. Click Capture or press the hotkey anywhere on screen.";
constexpr const wchar_t* STATUS_NO_WEBCAMS = L"No webcams detected. Connect a camera and click Refresh.";
constexpr const wchar_t* NO_DEVICES_ENTRY = L"(No video devices found)";
constexpr const wchar_t* STATUS_NO_CAMERA = L"No camera open. Select a device first.";
constexpr const wchar_t* RESOLUTION_FORMAT = L"Resolution: %d x %d";

constexpr size_t RESOLUTION_TEXT_UNITS = 64;

}  // namespace

std::vector<std::wstring> DialogStatusTexts() {
    std::vector<std::wstring> texts = {STATUS_INSTRUCTIONS, STATUS_OPENING, STATUS_OPEN_FAILED, STATUS_READY,
                                       STATUS_NO_WEBCAMS, STATUS_NO_CAMERA};
    for (const CameraError error : {CAMERA_ERROR_START_STREAMING, CAMERA_ERROR_INVALIDATED, CAMERA_ERROR_ACCESS_DENIED,
                                    CAMERA_ERROR_OUT_OF_MEMORY, CAMERA_ERROR_NO_PICTURE}) {
        texts.emplace_back(CameraTroubleText(error));
    }
    for (auto* part : {CaptureStatusTexts, KeyChangeStatusTexts}) {
        for (std::wstring& text : part()) texts.push_back(std::move(text));
    }
    return texts;
}

void CaptureDialog::Show(HWND owner, HINSTANCE instance, Settings* settings, Camera* camera,
                         const DialogEnvironment& environment) {
    CaptureDialog record;
    record.owner = owner;
    record.instance = instance;
    record.settings = settings;
    record.camera = camera;
    record.environment = environment;

    INT_PTR result = ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_CAPTURE), owner, DialogProc,
                                       reinterpret_cast<LPARAM>(&record));

    // The callback bound in OpenSelectedDevice refers to this record: the
    // preview thread must be gone before the record is.
    camera->StopPreview();

    // A WM_QUIT reaching the modal loop (Exit from the tray menu while the
    // dialog is open) destroys the dialog without CloseDialog; the device
    // chosen in it is kept all the same.
    if (record.dialog != nullptr && result != CAPTURE_DIALOG_CLOSED) {
        SaveSettings(*settings, environment.settingsKeyPath);
    }

    std::lock_guard<std::mutex> lock(record.previewLock);
    record.previewBitmap.reset();
}

INT_PTR CALLBACK CaptureDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CaptureDialog* record = nullptr;
    if (message == WM_INITDIALOG) {
        record = reinterpret_cast<CaptureDialog*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        if (record) record->dialog = window;
    } else {
        record = reinterpret_cast<CaptureDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
    }
    if (!record) return FALSE;
    return record->HandleMessage(window, message, wParam, lParam);
}

INT_PTR CaptureDialog::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog();
        return TRUE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const bool selectionChange =
            (id == IDC_DEVICE_COMBO || id == IDC_FRAME_SIZE) && HIWORD(wParam) == CBN_SELCHANGE;
        // A waiting key change shows its prompt in the status line; a command
        // that overwrites that line ends the change, or the next key (Enter for
        // another capture, say) would silently become the capture key.
        if (keyChangeActive &&
            (selectionChange || id == IDOK || id == IDC_CAPTURE || id == IDC_REFRESH)) {
            CancelKeyChange(window);
        }
        switch (id) {
        case IDC_DEVICE_COMBO:
            if (selectionChange) {
                OpenSelectedDevice(static_cast<int>(
                    ::SendDlgItemMessageW(window, IDC_DEVICE_COMBO, CB_GETCURSEL, 0, 0)));
            }
            break;
        case IDC_FRAME_SIZE:
            if (selectionChange) {
                OnFrameSizeChosen(static_cast<int>(
                    ::SendDlgItemMessageW(window, IDC_FRAME_SIZE, CB_GETCURSEL, 0, 0)));
            }
            break;
        case IDOK:
        case IDC_CAPTURE:
            OnCapture();
            break;
        case IDCANCEL:
        case IDC_CLOSE:
            CloseDialog();
            break;
        case IDC_CHANGE_KEY:
            BeginKeyChange(window);
            break;
        case IDC_REFRESH:
            LetCameraGo();
            FillDeviceList();
            break;
        case IDC_SUPPORT:
            OpenInShell(SUPPORT_URL);
            break;
        default:
            break;
        }
        return TRUE;
    }
    case WM_TIMER:
        if (wParam == PREVIEW_TIMER_ID) {
            CheckCamera();
        } else if (wParam == RECOVERY_TIMER_ID) {
            Recover();
        } else if (wParam == DEVICE_CHANGE_TIMER_ID) {
            ::KillTimer(dialog, DEVICE_CHANGE_TIMER_ID);
            OnCameraChange();
        }
        return TRUE;
    case WM_DEVICECHANGE:
        // Read once the device has settled in, from our own queue rather than
        // inside the system's notification.
        if (IsCameraChange(wParam, lParam)) ::SetTimer(dialog, DEVICE_CHANGE_TIMER_ID, DEVICE_CHANGE_DELAY_MS, nullptr);
        return TRUE;
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) == previewControl && previewControl) {
            ::SetBkColor(reinterpret_cast<HDC>(wParam), RGB(0, 0, 0));
            return reinterpret_cast<INT_PTR>(::GetStockObject(BLACK_BRUSH));
        }
        return FALSE;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        if (keyChangeActive) {
            FinishKeyChange(window, static_cast<uint32_t>(wParam), wParam == VK_ESCAPE);
        }
        return TRUE;
    case WM_CLOSE:
        CloseDialog();
        return TRUE;
    case WM_DESTROY:
        OnDestroy();
        return FALSE;
    default:
        return FALSE;
    }
}

void CaptureDialog::OnInitDialog() {
    RECT bounds{};
    ::GetWindowRect(dialog, &bounds);
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    ::SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);

    ::SetWindowTextW(dialog, SNAPWARD_TITLE);
    ::SetDlgItemTextW(dialog, IDC_CAPTURE, CAPTURE_BUTTON_TEXT);
    ::SetDlgItemTextW(dialog, IDC_CLOSE, CLOSE_BUTTON_TEXT);

    previewControl = ::GetDlgItem(dialog, IDC_PREVIEW);
    if (previewControl) {
        // Preview frames are made no larger than the control shows them.
        RECT client{};
        ::GetClientRect(previewControl, &client);
        camera->SetPreviewBox(client.right, client.bottom);
        SubclassWindow(previewControl, PreviewSubclassProc, PREVIEW_SUBCLASS_ID, reinterpret_cast<DWORD_PTR>(this));
    }

    cameraChanges = std::make_unique<CameraChangeNotifications>(dialog);
    FillDeviceList();
    UpdateKeyLabel(dialog);
    ::SetTimer(dialog, PREVIEW_TIMER_ID, PREVIEW_INTERVAL_MS, nullptr);
    // The instruction would hide why no camera is open ("No webcams detected",
    // "Failed to open camera"): those stay until the user acts.
    if (camera->IsOpen()) SetStatus(STATUS_INSTRUCTIONS);
}

void CaptureDialog::FillDeviceList() {
    ResetRecovery();
    devices = environment.enumerateCameras();
    if (devices.empty()) {
        ShowDeviceList(0);
        SetStatus(STATUS_NO_WEBCAMS);
        return;
    }
    const int selection = FindSavedCamera(devices, settings->DeviceSymLink, settings->DeviceName);
    if (selection < 0) {
        // Not here yet (a camera behind a dock enumerates late) or unplugged:
        // no other camera is opened in its place, which closing the dialog
        // would save over the user's choice. It is opened when it comes.
        LetCameraGo();
        ShowDeviceList(-1);
        ShowCameraProblem(CAMERA_ERROR_INVALIDATED);
        WaitForDevice();
        return;
    }
    // Found under another link (moved to another port) or spelt in another
    // case: the same camera, so its saved picture size stays with it.
    settings->DeviceSymLink = devices[static_cast<size_t>(selection)].symbolicLink;
    ShowDeviceList(selection);
    OpenSelectedDevice(selection);
}

// The combo box shows `devices` (or the "none found" entry) with `selection`
// chosen; -1 chooses none.
void CaptureDialog::ShowDeviceList(int selection) {
    const HWND combo = ::GetDlgItem(dialog, IDC_DEVICE_COMBO);
    ::SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const CameraDevice& device : devices) {
        ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(device.friendlyName.c_str()));
    }
    if (devices.empty()) {
        ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(NO_DEVICES_ENTRY));
        selection = 0;
    }
    ::SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
}

void CaptureDialog::OpenSelectedDevice(int index) {
    camera->StopPreview();
    if (index < 0 || static_cast<size_t>(index) >= devices.size()) return;
    ResetRecovery();

    // Copied before the open: a device that fails to open is still the user's
    // choice and is saved as such. A size belongs to the camera it was chosen
    // for: another camera starts from its default.
    const CameraDevice device = devices[static_cast<size_t>(index)];
    if (!SameCameraLink(device.symbolicLink, settings->DeviceSymLink)) settings->FrameSize.clear();
    settings->DeviceSymLink = device.symbolicLink;
    settings->DeviceIndex = index;
    settings->DeviceName = device.friendlyName;

    SetStatus(STATUS_OPENING);
    camera->Close();
    if (!OpenSavedCamera()) {
        // A device that says why (held, blocked, gone) is waited for; any
        // other failure is the user's to act on.
        const CameraError error = camera->lastError();
        if (ClassifyCameraError(error) == CameraProblem::Other) {
            SetStatus(STATUS_OPEN_FAILED);
            return;
        }
        ShowCameraProblem(error);
        if (ClassifyCameraError(error) == CameraProblem::Disconnected) {
            WaitForDevice();
        } else {
            ScheduleRecovery();
        }
        return;
    }
    if (camera->IsOpen()) StartPreview();
    SetStatus(STATUS_READY);
}

bool CaptureDialog::OpenSavedCamera() {
    const bool opened = camera->Open(settings->DeviceSymLink, ParseFrameSize(settings->FrameSize));
    ShowFrameSizes();
    return opened;
}

// The sizes the open camera offers, with the one in use chosen: the default
// entry also when the saved size is not offered (any more). A closed camera
// offers only the default.
void CaptureDialog::ShowFrameSizes() {
    frameSizes = ListFrameSizes(camera->formats());
    const HWND combo = ::GetDlgItem(dialog, IDC_FRAME_SIZE);
    ::SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const std::wstring& entry : FrameSizeEntries(frameSizes)) {
        ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    const int selection =
        FrameSizeEntryInUse(frameSizes, camera->sizeHonoured(), FrameSize{camera->width(), camera->height()});
    ::SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
}

void CaptureDialog::OnFrameSizeChosen(int entry) {
    if (entry < 0 || static_cast<size_t>(entry) > frameSizes.size()) return;
    settings->FrameSize = FormatFrameSize(FrameSizeOfEntry(frameSizes, entry));
    const int device = static_cast<int>(::SendDlgItemMessageW(dialog, IDC_DEVICE_COMBO, CB_GETCURSEL, 0, 0));
    // The same camera again, now at the chosen size.
    OpenSelectedDevice(device);
}

// Whichever way the camera was opened (chosen, recovered, by the capture key),
// the resolution shown is the one it opened with.
void CaptureDialog::StartPreview() {
    wchar_t resolution[RESOLUTION_TEXT_UNITS] = {};
    std::swprintf(resolution, RESOLUTION_TEXT_UNITS, RESOLUTION_FORMAT, camera->width(), camera->height());
    ::SetDlgItemTextW(dialog, IDC_RESOLUTION, resolution);
    camera->StartPreview([this](const uint8_t* pixels, int32_t width, int32_t height, int32_t stride) {
        OnPreviewFrame(pixels, width, height, stride);
    });
}

// Runs with the preview timer: shows what the preview thread found wrong, plans
// the camera's recovery, and says "Ready" again once frames come back.
void CaptureDialog::CheckCamera() {
    // While the saved camera is away, only its return changes anything (the
    // capture key may open it meanwhile, without a preview).
    if (!camera->IsOpen() || waitingForDevice) return;
    // An open camera is previewed. The capture key opens a closed one for its
    // still and leaves it open without a preview; when that happens while a
    // recovery waits, the camera it opened is the recovery.
    if (!camera->IsPreviewing()) {
        ShowFrameSizes();
        StartPreview();
    }
    const CameraError error = camera->previewError();
    if (error == CAMERA_ERROR_NONE) {
        if (shownProblem != CAMERA_ERROR_NONE && camera->firstFrameTime()) {
            ResetRecovery();
            SetStatus(STATUS_READY);
        }
        return;
    }
    if (error != shownProblem) ShowCameraProblem(error);
    if (ClassifyCameraError(error) == CameraProblem::Disconnected) {
        // Reading a device that is gone is pointless; Windows tells us when
        // it is back.
        LetCameraGo();
        WaitForDevice();
    } else if (!recoveryPlanned) {
        ScheduleRecovery();
    }
}

void CaptureDialog::ShowCameraProblem(CameraError error) {
    shownProblem = error;
    SetStatus(CameraTroubleText(error));
}

void CaptureDialog::ScheduleRecovery() {
    recoveryDelayMs = NextRecoveryDelay(recoveryDelayMs);
    recoveryPlanned = true;
    ::SetTimer(dialog, RECOVERY_TIMER_ID, recoveryDelayMs, nullptr);
}

// Windows' word that the camera is back can be lost: a window too busy to take
// it in time, or a device that left and came back within one notice. So the
// list is also looked at now and then, on the recovery timer's back-off.
void CaptureDialog::WaitForDevice() {
    waitingForDevice = true;
    ScheduleRecovery();
}

void CaptureDialog::ResetRecovery() {
    ::KillTimer(dialog, RECOVERY_TIMER_ID);
    shownProblem = CAMERA_ERROR_NONE;
    recoveryDelayMs = 0;
    recoveryPlanned = false;
    waitingForDevice = false;
}

// A failed stream stays failed: only a fresh open of the device can bring the
// picture back once the other program or the setting lets go.
void CaptureDialog::Recover() {
    ::KillTimer(dialog, RECOVERY_TIMER_ID);
    recoveryPlanned = false;
    if (waitingForDevice) {
        const std::vector<CameraDevice> listed = environment.enumerateCameras();
        if (FindSavedCamera(listed, settings->DeviceSymLink, settings->DeviceName) >= 0) {
            OnCameraChange();
        } else {
            ScheduleRecovery();
        }
        return;
    }
    if (shownProblem == CAMERA_ERROR_NONE) return;
    LetCameraGo();
    if (OpenSavedCamera()) {
        // The problem stays on show until a frame arrives.
        StartPreview();
        return;
    }
    const CameraError error = camera->lastError();
    ShowCameraProblem(error == CAMERA_ERROR_NONE ? CAMERA_ERROR_NO_PICTURE : error);
    if (ClassifyCameraError(error) == CameraProblem::Disconnected) {
        WaitForDevice();
    } else {
        ScheduleRecovery();
    }
}

// Closes the camera and drops its last picture, which would otherwise stay on
// show as if it were live.
void CaptureDialog::LetCameraGo() {
    camera->StopPreview();
    camera->Close();
    std::lock_guard<std::mutex> lock(previewLock);
    previewBitmap.reset();
}

// Windows says a camera came or went: the list follows, the saved camera is
// let go when it has gone and opened again when it is back. While it is away
// no other camera is opened in its place: that stays the user's choice.
void CaptureDialog::OnCameraChange() {
    devices = environment.enumerateCameras();
    const int saved = FindSavedCamera(devices, settings->DeviceSymLink, settings->DeviceName);
    if (saved >= 0 && camera->IsOpen() && !waitingForDevice) {
        ShowDeviceList(saved);
        return;
    }
    if (saved < 0 && (camera->IsOpen() || waitingForDevice)) {
        // Ours has gone; the list shows no choice until it is back or the
        // user makes one.
        LetCameraGo();
        ShowDeviceList(-1);
        ShowCameraProblem(CAMERA_ERROR_INVALIDATED);
        if (!waitingForDevice) WaitForDevice();
        return;
    }
    // Nothing was open (no camera at all, or ours has come back): as the
    // dialog's start would.
    FillDeviceList();
}

void CaptureDialog::OnCapture() {
    if (camera->IsOpen()) {
        CaptureFromDialog(*camera, dialog, previewControl, captureCount, environment.picturesFolder);
    } else {
        SetStatus(STATUS_NO_CAMERA);
    }
}

void CaptureDialog::CloseDialog() {
    SaveSettings(*settings, environment.settingsKeyPath);
    ::EndDialog(dialog, CAPTURE_DIALOG_CLOSED);
}

void CaptureDialog::OnDestroy() {
    if (keyChangeActive) CancelKeyChange(dialog);
    ::KillTimer(dialog, PREVIEW_TIMER_ID);
    ::KillTimer(dialog, RECOVERY_TIMER_ID);
    ::KillTimer(dialog, DEVICE_CHANGE_TIMER_ID);
    cameraChanges.reset();
    camera->StopPreview();
    camera->SetPreviewBox(0, 0);
    if (previewControl) UnsubclassWindow(previewControl, PreviewSubclassProc, PREVIEW_SUBCLASS_ID);
}

void CaptureDialog::SetStatus(const wchar_t* text) {
    if (keyChangeActive) {
        statusAfterKeyChange = text;
        return;
    }
    ::SetDlgItemTextW(dialog, IDC_STATUS, text);
}
