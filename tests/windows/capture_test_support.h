#pragma once
// Shared by the capture tests: a test-pattern camera whose reads can be made
// to fail after a number of good ones, the clipboard's CF_DIB read back as a
// frame, a thread that keeps the clipboard open, and a scratch folder.

#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/camera.h"
#include "camera/test_pattern.h"
#include "camera/video_reader.h"
#include "capture/frame.h"
#include "platform/win_handles.h"

namespace capture_test {

// The NV12 pattern camera: the one the program's default device list offers first.
inline std::wstring PatternLink() {
    return TestPatternCameras().at(0).symbolicLink;
}

struct ReaderScript {
    int goodReads = INT_MAX;  // reads passed to the pattern before every read fails
    ReadOutcome failure = ReadOutcome::Failed;
    int reads = 0;  // every ReadSample so far
    int opens = 0;
};

// Passes everything to a pattern reader, except reads past script.goodReads.
class ScriptedReader : public VideoReader {
public:
    ScriptedReader(std::unique_ptr<VideoReader> inner, std::shared_ptr<ReaderScript> script)
        : inner_(std::move(inner)), script_(std::move(script)) {}
    bool SetPartialType(PixelFormat subtype) override { return inner_->SetPartialType(subtype); }
    bool GetNativeFormat(uint32_t index, MediaFormat& format) override {
        return inner_->GetNativeFormat(index, format);
    }
    bool UseNativeFormat(uint32_t index) override { return inner_->UseNativeFormat(index); }
    bool GetCurrentFormat(MediaFormat& format) override { return inner_->GetCurrentFormat(format); }
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample) override {
        if (script_->reads++ >= script_->goodReads) return script_->failure;
        return inner_->ReadSample(onSample);
    }

private:
    std::unique_ptr<VideoReader> inner_;
    std::shared_ptr<ReaderScript> script_;
};

inline ReaderOpener ScriptedPatternOpener(std::shared_ptr<ReaderScript> script) {
    return [script](const std::wstring& link) -> std::unique_ptr<VideoReader> {
        auto inner = OpenTestPatternReader(link, nullptr);
        if (!inner) return nullptr;
        ++script->opens;
        return std::make_unique<ScriptedReader>(std::move(inner), script);
    };
}

inline ReaderOpener PatternOpener() {
    return [](const std::wstring& link) { return OpenTestPatternReader(link, nullptr); };
}

// Checks a packed DIB as the clipboard and the files carry it (40-byte header,
// bottom-up 24-bit BI_RGB, no colour table) and turns it into a frame.
inline ::testing::AssertionResult DibToFrame(const uint8_t* dib, size_t size, CapturedFrame& frame) {
    if (size < 40) return ::testing::AssertionFailure() << "block of " << size << " bytes";
    BITMAPINFOHEADER header;
    std::memcpy(&header, dib, sizeof(header));
    const int64_t stride = (int64_t{3} * header.biWidth + 3) & ~int64_t{3};
    if (header.biSize != 40 || header.biPlanes != 1 || header.biBitCount != 24 ||
        header.biCompression != BI_RGB || header.biClrUsed != 0 || header.biWidth <= 0 ||
        header.biHeight <= 0 || header.biXPelsPerMeter != 3780 || header.biYPelsPerMeter != 3780 ||
        header.biSizeImage != stride * header.biHeight || size < 40 + header.biSizeImage) {
        return ::testing::AssertionFailure()
               << "header: size " << header.biSize << ", " << header.biWidth << " x "
               << header.biHeight << ", " << header.biBitCount << " bits, compression "
               << header.biCompression << ", image " << header.biSizeImage << ", block " << size;
    }
    frame.width = header.biWidth;
    frame.height = header.biHeight;
    frame.stride = static_cast<int32_t>(stride);
    frame.pixels.assign(dib + 40, dib + 40 + header.biSizeImage);
    return ::testing::AssertionSuccess();
}

// Another process that has just put data there may not have closed the
// clipboard yet: a second is allowed for that.
inline bool OpenClipboardSoon() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (OpenClipboard(nullptr)) return true;
        Sleep(5);
    }
    return false;
}

// The clipboard's CF_DIB as a frame; fails when there is none or it is malformed.
inline ::testing::AssertionResult ReadClipboardDib(CapturedFrame& frame) {
    if (!OpenClipboardSoon()) return ::testing::AssertionFailure() << "clipboard busy";
    ::testing::AssertionResult result = ::testing::AssertionFailure() << "no CF_DIB on the clipboard";
    if (HANDLE data = GetClipboardData(CF_DIB)) {
        if (const void* bytes = GlobalLock(data)) {
            result = DibToFrame(static_cast<const uint8_t*>(bytes), GlobalSize(data), frame);
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return result;
}

// Leaves a text on the clipboard, so a test can tell whether a capture
// replaced it. False when the clipboard could not be opened.
inline bool PutTextOnClipboard(const wchar_t* text) {
    if (!OpenClipboard(nullptr)) return false;
    EmptyClipboard();
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, bytes));
    bool placed = false;
    if (block) {
        {
            GlobalLockGuard lock(block.get());
            if (lock.data()) std::memcpy(lock.data(), text, bytes);
        }
        placed = SetClipboardData(CF_UNICODETEXT, block.get()) != nullptr;
        if (placed) block.release();
    }
    CloseClipboard();
    return placed;
}

inline std::wstring ClipboardText() {
    std::wstring text;
    if (!OpenClipboard(nullptr)) return text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

// Another thread that has the clipboard open for as long as this object lives.
class ClipboardHolder {
public:
    ClipboardHolder() {
        thread_ = std::thread([this] {
            // With a window of its own, as another program would: Wine lets a
            // second OpenClipboard with the same (null) window through.
            UniqueWindow window(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                                nullptr, nullptr, nullptr));
            const bool opened = OpenClipboard(window.get()) != FALSE;
            std::unique_lock<std::mutex> lock(mutex_);
            opened_ = opened;
            ready_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return release_; });
            if (opened) CloseClipboard();
        });
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return ready_; });
    }
    ~ClipboardHolder() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            release_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    bool opened() const { return opened_; }

private:
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_ = false;
    bool release_ = false;
    bool opened_ = false;
};

// A fresh, empty folder under the temporary directory, removed with its files.
class ScratchFolder {
public:
    explicit ScratchFolder(const wchar_t* name) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + name;
        Clear();
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { Clear(); }
    const std::wstring& path() const { return path_; }
    std::vector<std::wstring> Files() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return names;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return names;
    }

private:
    void Clear() {
        for (const std::wstring& name : Files()) DeleteFileW((path_ + L"\\" + name).c_str());
        RemoveDirectoryW(path_.c_str());
    }
    std::wstring path_;
};

inline std::vector<uint8_t> ReadWholeFile(const std::wstring& path) {
    std::vector<uint8_t> bytes;
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (!file) return bytes;
    const DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE) return bytes;
    bytes.resize(size);
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.data(), size, &read, nullptr) || read != size) bytes.clear();
    return bytes;
}

}  // namespace capture_test
