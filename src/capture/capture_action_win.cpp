#include "capture/capture_action.h"

#include <shlobj.h>

#include <cstdint>
#include <cwchar>
#include <iterator>
#include <optional>
#include <utility>

#include "camera/camera.h"
#include "capture/bmp_file.h"
#include "capture/dib.h"
#include "capture/frame.h"
#include "ui/resource_ids.h"

namespace {

constexpr wchar_t CAPTURING_TEXT[] = L"Capturing...";
constexpr wchar_t CAPTURE_FAILED_IN_USE_TEXT[] = L"Capture failed. The camera is in use by another app.";
constexpr wchar_t CAPTURE_FAILED_DISCONNECTED_TEXT[] = L"Capture failed. The camera is disconnected.";
constexpr wchar_t CAPTURE_FAILED_BLOCKED_TEXT[] =
    L"Capture failed. The camera is blocked by Windows privacy settings (Settings > Privacy > Camera).";
constexpr wchar_t CAPTURE_FAILED_MEMORY_TEXT[] =
    L"Capture failed. Not enough memory for a picture of this camera's size.";
constexpr wchar_t CAPTURE_FAILED_OTHER_TEXT[] = L"Capture failed. The camera sent no picture.";
constexpr wchar_t CAPTURED_AND_SAVED_FORMAT[] =
    L"Captured! Image #%d copied to clipboard and saved to Pictures.";
constexpr wchar_t CAPTURED_NOT_SAVED_FORMAT[] =
    L"Captured! Image #%d copied to clipboard, but it could not be saved to Pictures.";

constexpr wchar_t CAPTURE_FILE_FORMAT[] = L"%ls\\Snapward_Capture_%04d%02d%02d_%02d%02d%02d.bmp";
constexpr wchar_t CAPTURE_FILE_NUMBERED_FORMAT[] =
    L"%ls\\Snapward_Capture_%04d%02d%02d_%02d%02d%02d (%d).bmp";
// Names tried for one second before the file step gives up.
constexpr int MAX_FILES_PER_SECOND = 999;

constexpr DWORD FLASH_MS = 50;

// Clipboard managers, the clipboard history and remote-desktop sync open the
// clipboard for a few milliseconds after every change, ours included: one
// refused open is no reason to lose a picture.
constexpr ULONGLONG CLIPBOARD_PATIENCE_MS = 250;
constexpr DWORD CLIPBOARD_RETRY_MS = 10;

// The file step of the dialog's capture. False when no file was written.
bool SaveSecondFrame(Camera& camera, const wchar_t* picturesFolder) {
    wchar_t folder[MAX_PATH] = {};
    if (picturesFolder) {
        if (wcslen(picturesFolder) >= std::size(folder)) return false;
        lstrcpynW(folder, picturesFolder, static_cast<int>(std::size(folder)));
    } else if (FAILED(SHGetFolderPathW(nullptr, CSIDL_MYPICTURES, nullptr, SHGFP_TYPE_CURRENT,
                                       folder))) {
        return false;
    }
    // The file holds a second, fresh frame, not the clipboard's.
    UniqueGlobal dib = CaptureDib(camera);
    if (!dib) return false;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return !SaveCaptureFile(folder, now, dib.get()).empty();
}

void FlashPreview(HWND preview) {
    if (!preview) return;
    {
        WindowDc dc(preview);
        if (!dc.get()) return;
        RECT client{};
        GetClientRect(preview, &client);
        FillRect(dc.get(), &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
    Sleep(FLASH_MS);
    // The next paint of the preview brings the picture back.
    InvalidateRect(preview, nullptr, FALSE);
}

}  // namespace

const wchar_t* CaptureFailedText(CameraError error) {
    if (error == CAMERA_ERROR_NONE || error == CAMERA_ERROR_OUT_OF_MEMORY) return CAPTURE_FAILED_MEMORY_TEXT;
    switch (ClassifyCameraError(error)) {
    case CameraProblem::InUse:
        return CAPTURE_FAILED_IN_USE_TEXT;
    case CameraProblem::Disconnected:
        return CAPTURE_FAILED_DISCONNECTED_TEXT;
    case CameraProblem::Blocked:
        return CAPTURE_FAILED_BLOCKED_TEXT;
    case CameraProblem::None:
    case CameraProblem::Other:
        break;
    }
    return CAPTURE_FAILED_OTHER_TEXT;
}

UniqueGlobal CaptureDib(Camera& camera) {
    if (!camera.IsOpen()) return {};
    CapturedFrame frame;
    if (!camera.GrabFrame(frame)) return {};
    // 0 for a zero-sized or inconsistent picture: that is no capture, and an
    // empty bitmap must never reach the clipboard.
    const size_t size = PackedDibSize(frame);
    if (size == 0) return {};
    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!block) return {};
    {
        GlobalLockGuard lock(block.get());
        if (!lock.data()) return {};
        WritePackedDib(frame, static_cast<uint8_t*>(lock.data()));
    }
    return block;
}

ClipboardHandOver PutDibOnClipboard(HWND owner, UniqueGlobal dib) {
    // Declared after `dib`, so the clipboard is closed before a refused block
    // is freed.
    std::optional<ClipboardGuard> clipboard;
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        clipboard.emplace(owner);
        if (clipboard->opened()) break;
        if (GetTickCount64() - start >= CLIPBOARD_PATIENCE_MS) return ClipboardHandOver::CouldNotOpen;
        Sleep(CLIPBOARD_RETRY_MS);
    }
    EmptyClipboard();
    if (!SetClipboardData(CF_DIB, dib.get())) return ClipboardHandOver::Refused;
    dib.release();  // the system's from here on
    return ClipboardHandOver::Copied;
}

std::wstring SaveCaptureFile(const wchar_t* folder, const SYSTEMTIME& time, HGLOBAL dib) {
    if (!folder || !dib) return {};
    for (int number = 1; number <= MAX_FILES_PER_SECOND; ++number) {
        wchar_t path[MAX_PATH];
        const int length =
            number == 1
                ? swprintf(path, std::size(path), CAPTURE_FILE_FORMAT, folder, time.wYear,
                           time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond)
                : swprintf(path, std::size(path), CAPTURE_FILE_NUMBERED_FORMAT, folder, time.wYear,
                           time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, number);
        // A path that does not fit is not cut short into another name.
        if (length < 0 || length >= static_cast<int>(std::size(path))) return {};
        switch (WriteNewBmpFile(path, dib)) {
        case NewBmpFile::Written:
            return path;
        case NewBmpFile::NameTaken:
            continue;
        case NewBmpFile::Failed:
            return {};
        }
    }
    return {};
}

std::vector<std::wstring> CaptureStatusTexts() {
    std::vector<std::wstring> texts = {CAPTURING_TEXT, CLIPBOARD_OPEN_FAILED_TEXT, CLIPBOARD_REFUSED_TEXT};
    for (const CameraError error : {CAMERA_ERROR_NONE, CAMERA_ERROR_START_STREAMING, CAMERA_ERROR_INVALIDATED,
                                    CAMERA_ERROR_ACCESS_DENIED, CAMERA_ERROR_NO_PICTURE}) {
        texts.emplace_back(CaptureFailedText(error));
    }
    for (const wchar_t* format : {CAPTURED_AND_SAVED_FORMAT, CAPTURED_NOT_SAVED_FORMAT}) {
        wchar_t status[256] = {};
        swprintf(status, std::size(status), format, INT32_MAX);
        texts.emplace_back(status);
    }
    return texts;
}

void CaptureFromDialog(Camera& camera, HWND dialog, HWND preview, int32_t& captureCount,
                       const wchar_t* picturesFolder) {
    SetDlgItemTextW(dialog, IDC_STATUS, CAPTURING_TEXT);
    UniqueGlobal dib = CaptureDib(camera);
    if (!dib) {
        SetDlgItemTextW(dialog, IDC_STATUS, CaptureFailedText(camera.lastError()));
        return;
    }
    switch (PutDibOnClipboard(dialog, std::move(dib))) {
    case ClipboardHandOver::Copied:
        break;
    case ClipboardHandOver::CouldNotOpen:
        SetDlgItemTextW(dialog, IDC_STATUS, CLIPBOARD_OPEN_FAILED_TEXT);
        return;
    case ClipboardHandOver::Refused:
        SetDlgItemTextW(dialog, IDC_STATUS, CLIPBOARD_REFUSED_TEXT);
        return;
    }

    const bool saved = SaveSecondFrame(camera, picturesFolder);
    ++captureCount;
    FlashPreview(preview);

    wchar_t status[256] = {};
    swprintf(status, std::size(status), saved ? CAPTURED_AND_SAVED_FORMAT : CAPTURED_NOT_SAVED_FORMAT,
             captureCount);
    SetDlgItemTextW(dialog, IDC_STATUS, status);
}
