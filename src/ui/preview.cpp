#include "ui/capture_dialog.h"

#include <commctrl.h>

#include <atomic>

#include "capture/letterbox.h"
#include "ui/window_subclass.h"

namespace {

std::atomic<uint32_t> previewFramesMade{0};
std::atomic<uint32_t> previewFramesShown{0};

constexpr const wchar_t* NO_PREVIEW_TEXT = L"No preview";
constexpr COLORREF NO_PREVIEW_COLOUR = RGB(80, 80, 80);

// A screen-compatible copy of one bottom-up 24-bit frame, or null.
HBITMAP ScreenBitmapOf(const uint8_t* pixels, int32_t width, int32_t height) {
    if (!pixels || width <= 0 || height <= 0) return nullptr;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // positive: bottom-up rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;

    WindowDc screen(nullptr);
    // Without the screen's context CreateDIBitmap would make a monochrome bitmap.
    if (!screen.get()) return nullptr;
    return ::CreateDIBitmap(screen.get(), &info.bmiHeader, CBM_INIT, pixels, &info, DIB_RGB_COLORS);
}

// In the control's own font, which the dialog scales with the monitor: the
// context's default is a fixed-size system font.
void PaintNoPreview(HDC dc, RECT client, HFONT font) {
    SelectGuard selected(dc, font ? static_cast<HGDIOBJ>(font) : ::GetStockObject(DEFAULT_GUI_FONT));
    ::SetTextColor(dc, NO_PREVIEW_COLOUR);
    ::SetBkMode(dc, TRANSPARENT);
    ::DrawTextW(dc, NO_PREVIEW_TEXT, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

// Stretches the bitmap letterboxed into the client area; false when it could
// not be drawn at all.
bool PaintFrame(HDC dc, HBITMAP bitmap, int32_t areaWidth, int32_t areaHeight) {
    BITMAP description{};
    if (::GetObjectW(bitmap, sizeof description, &description) == 0) return false;
    UniqueMemoryDc memory(::CreateCompatibleDC(dc));
    if (!memory) return false;
    SelectGuard selected(memory.get(), bitmap);

    const LetterboxRect fit =
        FitLetterbox(description.bmWidth, description.bmHeight, areaWidth, areaHeight);
    ::SetStretchBltMode(dc, NeedsSmoothStretch(description.bmWidth, description.bmHeight, fit) ? HALFTONE
                                                                                              : COLORONCOLOR);
    // HALFTONE needs the brush origin set again after the mode change.
    ::SetBrushOrgEx(dc, 0, 0, nullptr);
    ::StretchBlt(dc, fit.x, fit.y, fit.width, fit.height, memory.get(), 0, 0, description.bmWidth,
                 description.bmHeight, SRCCOPY);
    return true;
}

}  // namespace

void CaptureDialog::OnPreviewFrame(const uint8_t* pixels, int32_t width, int32_t height,
                                   int32_t /*stride: implied by the 24-bit header*/) {
    // Converted before the lock is taken: the UI thread never waits for it.
    UniqueBitmap fresh(ScreenBitmapOf(pixels, width, height));
    UniqueBitmap replaced;
    {
        std::lock_guard<std::mutex> lock(previewLock);
        // A failed conversion stores null: the old frame goes too, and the
        // preview shows "No preview" until a frame converts again.
        replaced = std::move(previewBitmap);
        previewBitmap = std::move(fresh);
        ++previewSerial;
    }
    ++previewFramesMade;
    // Painted as it comes, at the camera's rate rather than a timer's: a timer
    // beating against the frame rate would skip frames now and then. Windows
    // merges the requests when the UI thread is behind.
    if (previewControl) ::InvalidateRect(previewControl, nullptr, FALSE);
    // `replaced` is unreachable from the paint now and is deleted here, once.
}

PreviewFrameCounts CountPreviewFrames() {
    return {previewFramesMade.load(), previewFramesShown.load()};
}

LRESULT CALLBACK PreviewSubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR /*subclassId*/, DWORD_PTR referenceData) {
    CaptureDialog* record = reinterpret_cast<CaptureDialog*>(referenceData);
    if (record && message == WM_SIZE) {
        // Moved to a monitor of another scale, the dialog manager resizes the
        // control: frames are made for its new size, neither blurred up from
        // the old one nor larger than needed.
        record->camera->SetPreviewBox(LOWORD(lParam), HIWORD(lParam));
    }
    if (!record || message != WM_PAINT) return DefaultSubclassProc(window, message, wParam, lParam);

    PaintGuard paint(window);
    RECT client{};
    ::GetClientRect(window, &client);
    ::FillRect(paint.dc(), &client, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));

    // A private copy, so that the stretch runs without the lock while the
    // preview thread may replace and delete the record's bitmap.
    UniqueBitmap copy;
    uint32_t serial = 0;
    {
        std::lock_guard<std::mutex> lock(record->previewLock);
        if (record->previewBitmap) {
            copy.reset(static_cast<HBITMAP>(
                ::CopyImage(record->previewBitmap.get(), IMAGE_BITMAP, 0, 0, 0)));
            serial = record->previewSerial;
        }
    }
    if (copy && serial != record->paintedSerial) {
        record->paintedSerial = serial;
        ++previewFramesShown;
    }
    if (!copy || !PaintFrame(paint.dc(), copy.get(), client.right, client.bottom)) {
        PaintNoPreview(paint.dc(), client, reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0)));
    }
    return 0;
}
