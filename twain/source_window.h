#pragma once
// The source's own small window, shown when the application enables it with
// its user interface: the live picture, the camera list, Capture and Cancel.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win_handles.h"

constexpr int IDC_TWAIN_PREVIEW = 1101;
constexpr int IDC_TWAIN_CAMERAS = 1102;
constexpr int IDC_TWAIN_STATUS = 1103;
constexpr int IDC_TWAIN_CAPTURE = 1104;
constexpr int IDC_TWAIN_CANCEL = 1105;
constexpr int IDC_TWAIN_SIZES = 1106;

inline constexpr wchar_t TWAIN_WINDOW_CLASS[] = L"OrvendelTwainSource";

// The picture area of the window, in pixels: preview frames need be no larger.
constexpr int TWAIN_PREVIEW_WIDTH = 512;
constexpr int TWAIN_PREVIEW_HEIGHT = 288;

// The newest preview frame: stored on the camera's preview thread, painted on
// the application's thread.
class PreviewFrame {
public:
    // Copies a bottom-up 24-bit frame and asks `window` (if any) to repaint.
    void Store(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride);
    void Clear();
    void SetWindow(HWND window);
    // Paints the frame letterboxed on black into `area`; false without a frame.
    bool Paint(HDC dc, const RECT& area);

private:
    std::mutex lock_;
    std::vector<uint8_t> pixels_;
    int32_t width_ = 0;
    int32_t height_ = 0;
    HWND window_ = nullptr;
};

struct SourceWindowEvents {
    std::function<void()> capture;
    std::function<void()> cancel;  // Cancel, or the window's close box
    std::function<void(size_t)> cameraChosen;
    std::function<void(size_t)> sizeChosen;  // an entry of the size list
    std::function<void()> tick;              // now and then while the window is up
    std::function<void(SIZE)> previewSized;  // the picture area's pixels, at first and at each new scale
};

class SourceWindow {
public:
    SourceWindow() = default;
    SourceWindow(const SourceWindow&) = delete;
    SourceWindow& operator=(const SourceWindow&) = delete;

    // A window owned by `owner` (may be null) listing `cameras` with
    // `selected` chosen.
    bool Create(HINSTANCE instance, HWND owner, const std::vector<std::wstring>& cameras,
                size_t selected, PreviewFrame* preview, SourceWindowEvents events);
    void Destroy();
    // Leaves the window alone: for a module unloaded while still open.
    void Abandon();
    HWND window() const { return window_.get(); }

    void SetStatus(const std::wstring& text);
    // The picture sizes of the open camera, `selected` chosen.
    void SetFrameSizes(const std::vector<std::wstring>& entries, size_t selected);
    void EnableCapture(bool enable);
    // Keyboard navigation between the window's controls.
    bool TranslateDialogKey(MSG* message);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK PreviewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Layout();
    // The window's pixels at `dpi`: the client size, the children's font and
    // their places, all scaled from the 96-dpi layout.
    void ApplyDpi(UINT dpi);
    int Scaled(int pixels) const { return MulDiv(pixels, static_cast<int>(dpi_), 96); }

    UniqueGdiObject font_;  // the children's font at dpi_; null: the stock one
    UniqueWindow window_;   // after the font: destroyed before it
    HWND preview_ = nullptr;
    HWND cameras_ = nullptr;
    HWND sizes_ = nullptr;
    HWND status_ = nullptr;
    HWND capture_ = nullptr;
    HWND cancel_ = nullptr;
    PreviewFrame* previewFrame_ = nullptr;
    SourceWindowEvents events_;
    UINT dpi_ = 96;
};
