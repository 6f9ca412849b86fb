#include "source_window.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "capture/letterbox.h"
#include "platform/product.h"

namespace {

constexpr wchar_t PREVIEW_CLASS[] = L"OrvendelTwainPreview";
constexpr wchar_t CAPTURE_BUTTON_TEXT[] = L"Capture";
constexpr wchar_t CANCEL_BUTTON_TEXT[] = L"Cancel";
constexpr wchar_t NO_PREVIEW_TEXT[] = L"No picture yet";

// Posted by the preview thread: painting belongs to the window's own thread,
// and a posted message never waits for a thread that may be waiting for us.
constexpr UINT WM_PREVIEW_FRAME = WM_APP + 10;

// How often the camera is looked at: a failed stream is seen, and its frozen
// picture cleared, well within a second.
constexpr UINT_PTR CHECK_TIMER_ID = 1;
constexpr UINT CHECK_INTERVAL_MS = 250;

constexpr int MARGIN = 10;
constexpr int PREVIEW_WIDTH = TWAIN_PREVIEW_WIDTH;
constexpr int PREVIEW_HEIGHT = TWAIN_PREVIEW_HEIGHT;
constexpr int BUTTON_WIDTH = 90;
constexpr int SIZES_WIDTH = 132;
// Wide enough for "3840 x 2160 (29.97 fps)" when the list is open.
constexpr int SIZES_DROPPED_WIDTH = 170;
constexpr int ROW_HEIGHT = 26;
// Two lines: the longest status texts (camera trouble, a long camera name) wrap.
constexpr int STATUS_HEIGHT = 2 * ROW_HEIGHT - 6;
constexpr int CLIENT_WIDTH = PREVIEW_WIDTH + 2 * MARGIN;
constexpr int CLIENT_HEIGHT = PREVIEW_HEIGHT + 3 * MARGIN + ROW_HEIGHT + STATUS_HEIGHT + MARGIN;
constexpr DWORD WINDOW_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr UINT DPI_CHANGED_MESSAGE = 0x02E0;  // WM_DPICHANGED

// The window lives in the host's process, whose manifest (or none) decides its
// DPI awareness: an unaware host would have Windows stretch it, blurred. Where
// Windows offers a per-thread DPI context (10, 1607 and later), the window is
// made per-monitor aware (v2) for itself, and lays itself out in real pixels.
// Looked up at run time: older Windows lack these functions.
using ThreadDpiContextFunction = void*(WINAPI*)(void* context);
using WindowDpiFunction = UINT(WINAPI*)(HWND window);
using AdjustForDpiFunction = BOOL(WINAPI*)(RECT* rect, DWORD style, BOOL menu, DWORD exStyle, UINT dpi);
using MetricsForDpiFunction = BOOL(WINAPI*)(UINT action, UINT param, void* data, UINT winIni, UINT dpi);
void* const PER_MONITOR_AWARE_V2 = reinterpret_cast<void*>(static_cast<intptr_t>(-4));

template <typename Function>
Function User32Function(const char* name) {
    const HMODULE user = GetModuleHandleW(L"user32.dll");
    return user ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user, name))) : nullptr;
}

// The thread's DPI context is the window's while it lives: restored as the
// window has been created, since the host's own windows follow it too.
class PerMonitorDpiScope {
public:
    PerMonitorDpiScope() : set_(User32Function<ThreadDpiContextFunction>("SetThreadDpiAwarenessContext")) {
        if (set_) previous_ = set_(PER_MONITOR_AWARE_V2);
    }
    ~PerMonitorDpiScope() {
        if (set_ && previous_) set_(previous_);
    }
    PerMonitorDpiScope(const PerMonitorDpiScope&) = delete;
    PerMonitorDpiScope& operator=(const PerMonitorDpiScope&) = delete;

private:
    ThreadDpiContextFunction set_;
    void* previous_ = nullptr;
};

UINT WindowDpi(HWND window) {
    if (const auto forWindow = User32Function<WindowDpiFunction>("GetDpiForWindow")) {
        if (const UINT dpi = forWindow(window)) return dpi;
    }
    WindowDc screen(nullptr);
    const int dpi = screen.get() ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 96;
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The message font at `dpi`; null where Windows cannot say (then the stock GUI font serves).
HFONT MessageFontFor(UINT dpi) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    const auto forDpi = User32Function<MetricsForDpiFunction>("SystemParametersInfoForDpi");
    const bool read = forDpi ? forDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi) != FALSE
                             : SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0) != FALSE;
    return read ? CreateFontIndirectW(&metrics.lfMessageFont) : nullptr;
}

HWND MakeChild(const wchar_t* className, const wchar_t* text, DWORD style, int id, HWND parent,
               HINSTANCE instance) {
    HWND child = CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                                 parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                                 nullptr);
    if (child) {
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                     FALSE);
    }
    return child;
}

}  // namespace

void PreviewFrame::Store(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride) {
    HWND window = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!pixels || width <= 0 || height <= 0 || stride < width * 3) return;
        // Rows are kept as the callback hands them, stride and all. A frame
        // too large to copy is not shown; the thread must not die of it.
        try {
            pixels_.assign(pixels, pixels + static_cast<size_t>(height) * static_cast<size_t>(stride));
        } catch (...) {
            pixels_.clear();
            width_ = height_ = 0;
            return;
        }
        width_ = width;
        height_ = height;
        window = window_;
    }
    if (window) PostMessageW(window, WM_PREVIEW_FRAME, 0, 0);
}

void PreviewFrame::Clear() {
    HWND window = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        pixels_.clear();
        width_ = 0;
        height_ = 0;
        window = window_;
    }
    // Painted over at once: a picture left on show would look live.
    if (window) PostMessageW(window, WM_PREVIEW_FRAME, 0, 0);
}

void PreviewFrame::SetWindow(HWND window) {
    std::lock_guard<std::mutex> hold(lock_);
    window_ = window;
}

bool PreviewFrame::Paint(HDC dc, const RECT& area) {
    std::lock_guard<std::mutex> hold(lock_);
    if (pixels_.empty()) return false;
    int32_t areaWidth = area.right - area.left;
    int32_t areaHeight = area.bottom - area.top;
    LetterboxRect fit = FitLetterbox(width_, height_, areaWidth, areaHeight);
    if (fit.width <= 0 || fit.height <= 0) return false;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width_;
    info.bmiHeader.biHeight = height_;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    // Black bands around the picture, painted apart from it so it does not flicker.
    HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    RECT picture{area.left + fit.x, area.top + fit.y, area.left + fit.x + fit.width,
                 area.top + fit.y + fit.height};
    RECT bands[4] = {{area.left, area.top, area.right, picture.top},
                     {area.left, picture.bottom, area.right, area.bottom},
                     {area.left, picture.top, picture.left, picture.bottom},
                     {picture.right, picture.top, area.right, picture.bottom}};
    for (const RECT& band : bands) {
        if (band.right > band.left && band.bottom > band.top) FillRect(dc, &band, black);
    }
    SetStretchBltMode(dc, NeedsSmoothStretch(width_, height_, fit) ? HALFTONE : COLORONCOLOR);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchDIBits(dc, area.left + fit.x, area.top + fit.y, fit.width, fit.height, 0, 0, width_,
                  height_, pixels_.data(), &info, DIB_RGB_COLORS, SRCCOPY);
    return true;
}

bool SourceWindow::Create(HINSTANCE instance, HWND owner, const std::vector<std::wstring>& cameras,
                          size_t selected, PreviewFrame* preview, SourceWindowEvents events) {
    Destroy();
    // A second registration by the same module fails harmlessly.
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = TWAIN_WINDOW_CLASS;
    RegisterClassExW(&windowClass);
    windowClass.lpfnWndProc = PreviewProc;
    windowClass.hbrBackground = nullptr;
    windowClass.lpszClassName = PREVIEW_CLASS;
    RegisterClassExW(&windowClass);

    previewFrame_ = preview;
    events_ = std::move(events);

    const PerMonitorDpiScope perMonitor;
    RECT frame{0, 0, CLIENT_WIDTH, CLIENT_HEIGHT};
    AdjustWindowRectEx(&frame, WINDOW_STYLE, FALSE, 0);
    window_.reset(CreateWindowExW(0, TWAIN_WINDOW_CLASS, SNAPWARD_TITLE, WINDOW_STYLE, CW_USEDEFAULT,
                                  CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                                  owner, nullptr, instance, nullptr));
    if (!window_) return false;
    HWND window = window_.get();
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    preview_ = MakeChild(PREVIEW_CLASS, L"", 0, IDC_TWAIN_PREVIEW, window, instance);
    cameras_ = MakeChild(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP,
                         IDC_TWAIN_CAMERAS, window, instance);
    sizes_ = MakeChild(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, IDC_TWAIN_SIZES, window,
                       instance);
    capture_ = MakeChild(L"BUTTON", CAPTURE_BUTTON_TEXT, BS_DEFPUSHBUTTON | WS_TABSTOP,
                         IDC_TWAIN_CAPTURE, window, instance);
    cancel_ = MakeChild(L"BUTTON", CANCEL_BUTTON_TEXT, BS_PUSHBUTTON | WS_TABSTOP, IDC_TWAIN_CANCEL,
                        window, instance);
    status_ = MakeChild(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, IDC_TWAIN_STATUS, window, instance);
    if (!preview_ || !cameras_ || !sizes_ || !capture_ || !cancel_ || !status_) {
        Destroy();
        return false;
    }
    SetWindowLongPtrW(preview_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(previewFrame_));
    for (const std::wstring& name : cameras) {
        SendMessageW(cameras_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    }
    SendMessageW(cameras_, CB_SETCURSEL, selected, 0);
    ApplyDpi(WindowDpi(window));
    if (previewFrame_) previewFrame_->SetWindow(preview_);

    SetTimer(window, CHECK_TIMER_ID, CHECK_INTERVAL_MS, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    SetForegroundWindow(window);
    SetFocus(capture_);
    return true;
}

void SourceWindow::Layout() {
    const int margin = Scaled(MARGIN), row = Scaled(ROW_HEIGHT), button = Scaled(BUTTON_WIDTH);
    const int sizesWidth = Scaled(SIZES_WIDTH);
    const int rowTop = margin + Scaled(PREVIEW_HEIGHT) + margin;
    const int buttonsLeft = Scaled(CLIENT_WIDTH) - margin - 2 * button - margin;
    MoveWindow(preview_, margin, margin, Scaled(PREVIEW_WIDTH), Scaled(PREVIEW_HEIGHT), FALSE);
    if (events_.previewSized) events_.previewSized(SIZE{Scaled(PREVIEW_WIDTH), Scaled(PREVIEW_HEIGHT)});
    // A drop-down list's height includes its open list.
    const int camerasWidth = buttonsLeft - 3 * margin - sizesWidth;
    MoveWindow(cameras_, margin, rowTop + Scaled(2), camerasWidth, Scaled(200), FALSE);
    MoveWindow(sizes_, 2 * margin + camerasWidth, rowTop + Scaled(2), sizesWidth, Scaled(200), FALSE);
    MoveWindow(capture_, buttonsLeft, rowTop, button, row, FALSE);
    MoveWindow(cancel_, buttonsLeft + button + margin, rowTop, button, row, FALSE);
    MoveWindow(status_, margin, rowTop + row + margin, Scaled(PREVIEW_WIDTH), Scaled(STATUS_HEIGHT), FALSE);
}

void SourceWindow::ApplyDpi(UINT dpi) {
    HWND window = window_.get();
    if (!window) return;
    dpi_ = dpi;
    UniqueGdiObject font(MessageFontFor(dpi));
    const HGDIOBJ shown = font ? font.get() : GetStockObject(DEFAULT_GUI_FONT);
    for (HWND child : {cameras_, sizes_, capture_, cancel_, status_}) {
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(shown), FALSE);
    }
    font_ = std::move(font);  // the children have let go of the old one
    SendMessageW(sizes_, CB_SETDROPPEDWIDTH, Scaled(SIZES_DROPPED_WIDTH), 0);
    RECT frame{0, 0, Scaled(CLIENT_WIDTH), Scaled(CLIENT_HEIGHT)};
    const auto adjust = User32Function<AdjustForDpiFunction>("AdjustWindowRectExForDpi");
    if (!adjust || !adjust(&frame, WINDOW_STYLE, FALSE, 0, dpi)) AdjustWindowRectEx(&frame, WINDOW_STYLE, FALSE, 0);
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Layout();
    InvalidateRect(window, nullptr, TRUE);
}

void SourceWindow::Destroy() {
    if (previewFrame_) previewFrame_->SetWindow(nullptr);
    if (window_) SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
    if (preview_) SetWindowLongPtrW(preview_, GWLP_USERDATA, 0);
    window_.reset();
    font_.reset();  // after the children that drew with it
    preview_ = cameras_ = sizes_ = status_ = capture_ = cancel_ = nullptr;
}

void SourceWindow::Abandon() {
    if (previewFrame_) previewFrame_->SetWindow(nullptr);
    window_.release();
    font_.release();  // the window left behind still draws with it
}

void SourceWindow::SetStatus(const std::wstring& text) {
    if (status_) SetWindowTextW(status_, text.c_str());
}

void SourceWindow::SetFrameSizes(const std::vector<std::wstring>& entries, size_t selected) {
    if (!sizes_) return;
    SendMessageW(sizes_, CB_RESETCONTENT, 0, 0);
    for (const std::wstring& entry : entries) {
        SendMessageW(sizes_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    SendMessageW(sizes_, CB_SETCURSEL, selected, 0);
}

void SourceWindow::EnableCapture(bool enable) {
    if (capture_) EnableWindow(capture_, enable ? TRUE : FALSE);
}

bool SourceWindow::TranslateDialogKey(MSG* message) {
    HWND window = window_.get();
    if (!window || !message || !message->hwnd) return false;
    if (message->hwnd != window && !IsChild(window, message->hwnd)) return false;
    return IsDialogMessageW(window, message) != FALSE;
}

LRESULT CALLBACK SourceWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<SourceWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    // What the events run (a camera opened, a grab queued) may throw; nothing
    // may unwind into the application's message loop.
    try {
        return self->Handle(window, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

LRESULT SourceWindow::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    SourceWindow* self = this;
    switch (message) {
        case WM_COMMAND: {
            int id = LOWORD(wParam);
            int code = HIWORD(wParam);
            // Enter and Escape come through IsDialogMessage as IDOK and IDCANCEL.
            if ((id == IDC_TWAIN_CAPTURE && code == BN_CLICKED) || id == IDOK) {
                if (IsWindowEnabled(self->capture_) && self->events_.capture) self->events_.capture();
                return 0;
            }
            if ((id == IDC_TWAIN_CANCEL && code == BN_CLICKED) || id == IDCANCEL) {
                if (self->events_.cancel) self->events_.cancel();
                return 0;
            }
            if (id == IDC_TWAIN_CAMERAS && code == CBN_SELCHANGE) {
                LRESULT chosen = SendMessageW(self->cameras_, CB_GETCURSEL, 0, 0);
                if (chosen != CB_ERR && self->events_.cameraChosen) {
                    self->events_.cameraChosen(static_cast<size_t>(chosen));
                }
                return 0;
            }
            if (id == IDC_TWAIN_SIZES && code == CBN_SELCHANGE) {
                LRESULT chosen = SendMessageW(self->sizes_, CB_GETCURSEL, 0, 0);
                if (chosen != CB_ERR && self->events_.sizeChosen) {
                    self->events_.sizeChosen(static_cast<size_t>(chosen));
                }
                return 0;
            }
            break;
        }
        case WM_TIMER:
            if (wParam == CHECK_TIMER_ID && self->events_.tick) self->events_.tick();
            return 0;
        case DPI_CHANGED_MESSAGE: {
            // Moved to a monitor of another scale: Windows suggests where, we lay out.
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            if (suggested) {
                SetWindowPos(window, nullptr, suggested->left, suggested->top, 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
            self->ApplyDpi(HIWORD(wParam));
            return 0;
        }
        case WM_CLOSE:
            // The application ends the session (MSG_DISABLEDS); we only ask it to.
            if (self->events_.cancel) self->events_.cancel();
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK SourceWindow::PreviewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* frame = reinterpret_cast<PreviewFrame*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_PREVIEW_FRAME:
            InvalidateRect(window, nullptr, FALSE);
            return 0;
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT covers every pixel
        case WM_PAINT: {
            PaintGuard paint(window);
            RECT area;
            GetClientRect(window, &area);
            if (!frame || !frame->Paint(paint.dc(), area)) {
                FillRect(paint.dc(), &area, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
                SetTextColor(paint.dc(), RGB(160, 160, 160));
                SetBkMode(paint.dc(), TRANSPARENT);
                DrawTextW(paint.dc(), NO_PREVIEW_TEXT, -1, &area,
                          DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            }
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
