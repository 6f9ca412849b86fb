#include "camera/devices.h"

#include <windows.h>

#include <atomic>

#include "camera/media_foundation_win.h"
#include "camera/test_pattern.h"
#include "capture/jpeg_win.h"
#include "capture/mjpeg.h"

namespace {

std::atomic<bool> testPatternsEnabled{false};

// The MJPG test camera's frames leave out the standard Huffman tables, as a
// webcam's do, so that every run through it exercises the decoder's
// insertion of them.
bool EncodeWebcamJpeg(const CapturedFrame& frame, std::vector<uint8_t>& jpeg) {
    if (!EncodeJpegFrame(frame, jpeg)) return false;
    RemoveStandardHuffmanTables(jpeg);
    return true;
}

}  // namespace

std::vector<CameraDevice> EnumerateCameras() {
    std::vector<CameraDevice> devices = EnumerateMediaFoundationCameras();
    if (testPatternsEnabled.load()) {
        for (CameraDevice& device : TestPatternCameras()) devices.push_back(std::move(device));
    }
    return devices;
}

std::unique_ptr<VideoReader> OpenCameraReader(const std::wstring& symbolicLink) {
    if (testPatternsEnabled.load() && IsTestPatternLink(symbolicLink)) {
        return OpenTestPatternReader(symbolicLink, EncodeWebcamJpeg);
    }
    return OpenMediaFoundationReader(symbolicLink);
}

void EnableTestPatternCameras(bool enabled) { testPatternsEnabled.store(enabled); }
