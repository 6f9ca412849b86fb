#pragma once
// Shared by the Windows tests: cameras that fail on cue, the clipboard read
// back and held open, scratch folders, typed keys, waits with a deadline, and
// the program's settings key kept safe while a test writes it.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/camera.h"
#include "camera/test_pattern.h"
#include "camera/video_reader.h"
#include "capture/frame.h"
#include "platform/win_handles.h"
#include "settings/settings.h"
#include "ui/resource_ids.h"

namespace capture_test {

// The dialog's status texts that more than one test waits for.
inline constexpr wchar_t READY[] = L"Ready. Click Capture or press the hotkey anywhere on screen.";
inline constexpr wchar_t DISCONNECTED[] = L"Camera disconnected. The preview resumes when it is plugged in.";

// Positions in TestPatternCameras(); the MJPG one needs an encoder.
constexpr int NV12_CAMERA = 0;
constexpr int RGB24_CAMERA = 3;

inline std::wstring PatternLink(int camera = NV12_CAMERA) { return TestPatternCameras().at(camera).symbolicLink; }

struct ReaderScript {
    int goodReads = INT_MAX;  // reads passed to the pattern before every read fails
    std::atomic<int> reads{0};  // every ReadSample so far
    std::atomic<int> opens{0};
    // While set, reads wait (a camera still starting) until it is cleared or
    // a few seconds have passed, so that a test that waits wrongly on the
    // reading thread fails instead of hanging.
    std::atomic<bool> readsHeld{false};
};

// Passes everything to a pattern reader, except reads past script.goodReads.
class ScriptedReader : public ForwardingReader {
public:
    ScriptedReader(std::unique_ptr<VideoReader> inner, std::shared_ptr<ReaderScript> script)
        : ForwardingReader(std::move(inner)), script_(std::move(script)) {}
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample, CameraError& error) override {
        for (int waited = 0; script_->readsHeld && waited < 5000; ++waited) Sleep(1);
        if (script_->reads++ >= script_->goodReads) return ReadOutcome::Failed;
        return inner_->ReadSample(onSample, error);
    }

private:
    std::shared_ptr<ReaderScript> script_;
};

inline ReaderOpener ScriptedPatternOpener(std::shared_ptr<ReaderScript> script) {
    return [script](const std::wstring& link, CameraError& error) -> std::unique_ptr<VideoReader> {
        auto inner = OpenTestPatternReader(link, nullptr, error);
        if (!inner) return nullptr;
        ++script->opens;
        return std::make_unique<ScriptedReader>(std::move(inner), script);
    };
}

// Checks a packed DIB as the clipboard and the files carry it (40-byte header,
// bottom-up 24-bit BI_RGB, no colour table) and turns it into a frame.
inline ::testing::AssertionResult DibToFrame(const uint8_t* dib, size_t size, CapturedFrame& frame) {
    if (size < 40) return ::testing::AssertionFailure() << "block of " << size << " bytes";
    BITMAPINFOHEADER header;
    std::memcpy(&header, dib, sizeof(header));
    const int64_t stride = (int64_t{3} * header.biWidth + 3) & ~int64_t{3};
    if (header.biSize != 40 || header.biPlanes != 1 || header.biBitCount != 24 || header.biCompression != BI_RGB ||
        header.biClrUsed != 0 || header.biWidth <= 0 || header.biHeight <= 0 || header.biXPelsPerMeter != 3780 ||
        header.biYPelsPerMeter != 3780 || header.biSizeImage != stride * header.biHeight ||
        size < 40 + header.biSizeImage) {
        return ::testing::AssertionFailure() << "a " << header.biWidth << " x " << header.biHeight << " header in "
                                             << size << " bytes that is no packed bottom-up 24-bit DIB";
    }
    frame.width = header.biWidth;
    frame.height = header.biHeight;
    frame.stride = static_cast<int32_t>(stride);
    frame.pixels.assign(dib + 40, dib + 40 + header.biSizeImage);
    return ::testing::AssertionSuccess();
}

// The clipboard holds the test pattern as a well-formed CF_DIB (NV12's subsampled
// chroma allows a deviation of 12). Another process that has just put data there
// may not have closed the clipboard yet: a second is allowed for that.
// With a size, the picture must have it.
inline ::testing::AssertionResult ClipboardHoldsPattern(int32_t width = 0, int32_t height = 0,
                                                       uint32_t* counter = nullptr) {
    bool opened = false;
    for (int attempt = 0; attempt < 200 && !(opened = OpenClipboard(nullptr) != FALSE); ++attempt) Sleep(5);
    if (!opened) return ::testing::AssertionFailure() << "clipboard busy";
    ScopeExit close([] { CloseClipboard(); });
    HANDLE data = GetClipboardData(CF_DIB);
    GlobalLockGuard lock(data);
    if (!lock.data()) return ::testing::AssertionFailure() << "no CF_DIB on the clipboard";
    CapturedFrame frame;
    uint32_t seen = 0;
    auto parsed = DibToFrame(static_cast<const uint8_t*>(lock.data()), GlobalSize(data), frame);
    if (!parsed) return parsed;
    if (width && (frame.width != width || frame.height != height)) {
        return ::testing::AssertionFailure() << "a " << frame.width << " x " << frame.height << " picture";
    }
    if (!MatchesTestPattern(frame, 12, seen)) {
        return ::testing::AssertionFailure() << "not the pattern, deviation " << TestPatternDeviation(frame, seen);
    }
    if (counter) *counter = seen;
    return ::testing::AssertionSuccess();
}

// A text on the clipboard, to tell whether a capture replaced it.
inline bool PutTextOnClipboard(const wchar_t* text) {
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, bytes));
    if (GlobalLockGuard lock(block.get()); lock.data()) std::memcpy(lock.data(), text, bytes);
    ClipboardGuard clipboard(nullptr);
    if (!clipboard.opened() || !EmptyClipboard() || !SetClipboardData(CF_UNICODETEXT, block.get())) return false;
    block.release();  // the system's now
    return true;
}

inline std::wstring ClipboardText() {
    ClipboardGuard clipboard(nullptr);
    GlobalLockGuard lock(clipboard.opened() ? GetClipboardData(CF_UNICODETEXT) : nullptr);
    return lock.data() ? static_cast<const wchar_t*>(lock.data()) : L"";
}

// Another thread that has the clipboard open for as long as this object lives,
// or for `holdMs` if that ends first (as a clipboard manager reads a change).
class ClipboardHolder {
public:
    explicit ClipboardHolder(DWORD holdMs = INFINITE)
        : thread_([this, holdMs] {
              // With a window of its own, as another program would: Wine lets a
              // second OpenClipboard with the same (null) window through.
              UniqueWindow window(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                                  nullptr, nullptr));
              opened_ = OpenClipboard(window.get()) != FALSE;
              ready_ = true;
              const ULONGLONG start = GetTickCount64();
              while (!release_ && GetTickCount64() - start < holdMs) Sleep(1);
              if (opened_) CloseClipboard();
          }) {
        while (!ready_) Sleep(1);
    }
    ~ClipboardHolder() {
        release_ = true;
        thread_.join();
    }
    bool opened() const { return opened_; }

private:
    std::atomic<bool> opened_{false};
    std::atomic<bool> ready_{false};
    std::atomic<bool> release_{false};
    std::thread thread_;  // last: it starts once the flags above exist
};

// A fresh, empty folder under the temporary directory, removed with its files.
class ScratchFolder {
public:
    explicit ScratchFolder(const wchar_t* name) : path_((std::filesystem::temp_directory_path() / name).wstring()) {
        std::filesystem::remove_all(path_, ignored_);
        std::filesystem::create_directories(path_, ignored_);
    }
    ~ScratchFolder() { std::filesystem::remove_all(path_, ignored_); }
    const std::wstring& path() const { return path_; }
    std::vector<std::wstring> Files() const {
        std::vector<std::wstring> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            if (entry.is_regular_file()) names.push_back(entry.path().filename().wstring());
        }
        return names;
    }

private:
    std::wstring path_;
    std::error_code ignored_;
};

inline std::vector<uint8_t> ReadWholeFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A key typed on the keyboard: through the system's input queue, so that
// keyboard hooks and global hotkeys see it as they would a real key.
inline void PressKey(WORD key) {
    INPUT input[2] = {{INPUT_KEYBOARD}, {INPUT_KEYBOARD}};
    input[0].ki.wVk = input[1].ki.wVk = key;
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
}

// Polls `test` until it holds or `timeout` has passed, pumping this thread's
// messages in between as a modal dialog's loop would (its keys are dialog
// keys); generous, as a step under Wine on a busy machine can take seconds.
inline bool Eventually(const std::function<bool()>& test,
                       std::chrono::steady_clock::duration timeout = std::chrono::seconds(30)) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !test(); Sleep(5)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        // A bounded batch between two looks: paints and timers never run out
        // while a window repaints slower than its frames come.
        MSG message;
        for (int batch = 0; batch < 64 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++batch) {
            const HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
            if (!root || !IsDialogMessageW(root, &message)) DispatchMessageW(&message);
        }
    }
    return true;
}

// As the user picks entry `index` of a capture dialog's device list (or
// another of its lists); the
// dialog may belong to another thread or process.
inline void ChooseDevice(HWND dialog, int index, int list = IDC_DEVICE_COMBO) {
    const HWND combo = GetDlgItem(dialog, list);
    SendMessageTimeoutW(combo, CB_SETCURSEL, index, 0, SMTO_NORMAL, 5000, nullptr);
    SendMessageTimeoutW(dialog, WM_COMMAND, MAKEWPARAM(list, CBN_SELCHANGE),
                        reinterpret_cast<LPARAM>(combo), SMTO_NORMAL, 10000, nullptr);
}

// Whether no program holds `key` as a global hotkey.
inline bool KeyIsFree(UINT key) {
    if (!RegisterHotKey(nullptr, 0x7E57, 0, key)) return false;
    UnregisterHotKey(nullptr, 0x7E57);
    return true;
}

// While it lives, the program's settings key starts empty and belongs to the
// test; the settings it held before are written back afterwards.
class SettingsKeyKeeper {
public:
    SettingsKeyKeeper() : saved_(LoadSettings()) { RegDeleteTreeW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH); }
    ~SettingsKeyKeeper() {
        RegDeleteTreeW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH);
        SaveSettings(saved_);
    }

private:
    Settings saved_;
};

}  // namespace capture_test
