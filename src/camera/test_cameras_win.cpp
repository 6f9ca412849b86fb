// The development builds' test-pattern cameras, and the file cameras named in
// the environment, in the device list beside the platform's. Only those builds
// call EnableTestPatternCameras, so only they link this file and those cameras.

#include <windows.h>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "camera/device_changes_win.h"
#include "camera/devices.h"
#include "camera/file_camera.h"
#include "camera/test_pattern.h"
#include "capture/jpeg_win.h"
#include "capture/mjpeg.h"
#include "platform/win_handles.h"

namespace {

constexpr wchar_t EXTRA_CAMERAS_VARIABLE[] = L"SNAPWARD_TEST_CAMERAS";

// The MJPG test camera's frames leave out the standard Huffman tables, as a
// webcam's do, so that every run through it exercises the decoder's
// insertion of them.
bool EncodeWebcamJpeg(const CapturedFrame& frame, std::vector<uint8_t>& jpeg) {
    if (!EncodeJpegFrame(frame, jpeg)) return false;
    RemoveStandardHuffmanTables(jpeg);
    return true;
}

// Tells a test in another process (the whole-program tests) when a stream
// starts and ends, so that it can tell a capture from the open camera from one
// that opened it afresh without timing either.
class CountedReader final : public ForwardingReader {
public:
    explicit CountedReader(std::unique_ptr<VideoReader> reader) : ForwardingReader(std::move(reader)) {
        AddToSemaphore(TEST_PATTERN_OPENS_SEMAPHORE);
    }
    ~CountedReader() override {
        inner_.reset();
        AddToSemaphore(TEST_PATTERN_CLOSES_SEMAPHORE);
    }
    CountedReader(const CountedReader&) = delete;
    CountedReader& operator=(const CountedReader&) = delete;
};

std::unique_ptr<VideoReader> OpenPatternCamera(const std::wstring& symbolicLink, CameraError& error) {
    std::unique_ptr<VideoReader> reader = OpenTestPatternReader(symbolicLink, EncodeWebcamJpeg, error);
    if (!reader) return nullptr;
    return std::make_unique<CountedReader>(std::move(reader));
}

// The file cameras asked for, listed with the extra pattern cameras: first
// with them when asked, else last. Read by any thread that lists or opens.
std::mutex fileCamerasLock;
std::vector<CameraDevice> fileCameras;
bool fileCamerasFirst = false;

std::vector<CameraDevice> ExtraCameraList() {
    std::vector<CameraDevice> cameras = TestPatternCameras();
    std::lock_guard<std::mutex> hold(fileCamerasLock);
    cameras.insert(fileCamerasFirst ? cameras.begin() : cameras.end(), fileCameras.begin(), fileCameras.end());
    return cameras;
}

bool IsExtraCameraLink(const std::wstring& symbolicLink) {
    std::wstring path, name;
    return IsTestPatternLink(symbolicLink) || ParseFileCameraLink(symbolicLink, path, name);
}

// A file camera's link never reaches the platform's device source: Wine's
// aborts the process for a device it has not listed.
std::unique_ptr<VideoReader> OpenExtraCamera(const std::wstring& symbolicLink, CameraError& error) {
    if (IsTestPatternLink(symbolicLink)) return OpenPatternCamera(symbolicLink, error);
    return OpenFileCameraReader(symbolicLink, error);
}

const ExtraCameras PATTERN_CAMERAS{ExtraCameraList, IsExtraCameraLink, OpenExtraCamera};

// Reads the extra cameras a test asked for in the environment.
void ReadExtraCameras() {
    std::vector<wchar_t> value(32768);
    const DWORD length = GetEnvironmentVariableW(EXTRA_CAMERAS_VARIABLE, value.data(),
                                                 static_cast<DWORD>(value.size()));
    std::wstring text(value.data(), length < value.size() ? length : 0);
    const bool first = !text.empty() && text[0] == L'!';
    if (first) text.erase(0, 1);
    std::vector<std::wstring> links;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L';', start);
        if (end == std::wstring::npos) end = text.size();
        if (end > start) links.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    SetExtraTestPatternCameras(links, first);
    std::lock_guard<std::mutex> hold(fileCamerasLock);
    fileCameras = FileCamerasOf(links);
    fileCamerasFirst = first;
}

}  // namespace

void AddToSemaphore(const wchar_t* name) {
    const UniqueKernelHandle semaphore(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, name));
    if (semaphore) ReleaseSemaphore(semaphore.get(), 1, nullptr);
}

void EnableTestPatternCameras(bool enabled) {
    if (enabled) {
        ReadExtraCameras();
        SetTestPatternPresenceListener(AnnounceCameraChange);
    }
    SetExtraCameras(enabled ? &PATTERN_CAMERAS : nullptr);
}
