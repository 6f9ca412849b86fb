#include "ui/capture_dialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>

#include "app/tray_window.h"
#include "capture/capture_action.h"

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

int ChooseDeviceIndex(const std::vector<CameraDevice>& devices, const std::wstring& savedLink) {
    if (devices.empty()) return -1;
    int chosen = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        // Exact comparison: links that differ only in case are different devices.
        if (devices[i].symbolicLink == savedLink) chosen = static_cast<int>(i);
    }
    return chosen;
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
        const bool selectionChange = id == IDC_DEVICE_COMBO && HIWORD(wParam) == CBN_SELCHANGE;
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
            camera->StopPreview();
            camera->Close();
            FillDeviceList();
            break;
        case IDC_SUPPORT:
            ::ShellExecuteW(window, L"open", SUPPORT_URL, nullptr, nullptr, SW_SHOWNORMAL);
            break;
        default:
            break;
        }
        return TRUE;
    }
    case WM_TIMER:
        if (wParam == PREVIEW_TIMER_ID && previewControl) {
            ::InvalidateRect(previewControl, nullptr, FALSE);
        }
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
        ::SetWindowSubclass(previewControl, PreviewSubclassProc, PREVIEW_SUBCLASS_ID,
                            reinterpret_cast<DWORD_PTR>(this));
    }

    FillDeviceList();
    UpdateKeyLabel(dialog);
    ::SetTimer(dialog, PREVIEW_TIMER_ID, PREVIEW_INTERVAL_MS, nullptr);
    // The instruction would hide why no camera is open ("No webcams detected",
    // "Failed to open camera"): those stay until the user acts.
    if (camera->IsOpen()) SetStatus(STATUS_INSTRUCTIONS);
}

void CaptureDialog::FillDeviceList() {
    const HWND combo = ::GetDlgItem(dialog, IDC_DEVICE_COMBO);
    ::SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    devices = environment.enumerateCameras();

    for (const CameraDevice& device : devices) {
        ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(device.friendlyName.c_str()));
    }
    if (devices.empty()) {
        ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(NO_DEVICES_ENTRY));
        ::SendMessageW(combo, CB_SETCURSEL, 0, 0);
        SetStatus(STATUS_NO_WEBCAMS);
        return;
    }
    const int selection = ChooseDeviceIndex(devices, settings->DeviceSymLink);
    ::SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
    OpenSelectedDevice(selection);
}

void CaptureDialog::OpenSelectedDevice(int index) {
    camera->StopPreview();
    if (index < 0 || static_cast<size_t>(index) >= devices.size()) return;

    // Copied before the open: a device that fails to open is still the user's
    // choice and is saved as such.
    const CameraDevice device = devices[static_cast<size_t>(index)];
    settings->DeviceSymLink = device.symbolicLink;
    settings->DeviceIndex = index;
    settings->DeviceName = device.friendlyName;

    SetStatus(STATUS_OPENING);
    camera->Close();
    if (!camera->Open(device.symbolicLink)) {
        SetStatus(STATUS_OPEN_FAILED);
        return;
    }
    if (camera->IsOpen()) {
        wchar_t resolution[RESOLUTION_TEXT_UNITS] = {};
        std::swprintf(resolution, RESOLUTION_TEXT_UNITS, RESOLUTION_FORMAT, camera->width(),
                      camera->height());
        ::SetDlgItemTextW(dialog, IDC_RESOLUTION, resolution);
        camera->StartPreview(
            [this](const uint8_t* pixels, int32_t width, int32_t height, int32_t stride) {
                OnPreviewFrame(pixels, width, height, stride);
            });
    }
    SetStatus(STATUS_READY);
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
    camera->StopPreview();
    if (previewControl) ::RemoveWindowSubclass(previewControl, PreviewSubclassProc, PREVIEW_SUBCLASS_ID);
}

void CaptureDialog::SetStatus(const wchar_t* text) const {
    ::SetDlgItemTextW(dialog, IDC_STATUS, text);
}
