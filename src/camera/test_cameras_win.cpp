// The development builds' test-pattern cameras, in the device list beside the
// platform's. Only those builds call EnableTestPatternCameras, so only they
// link this file and the pattern cameras.

#include <windows.h>

#include <vector>

#include "camera/device_changes_win.h"
#include "camera/devices.h"
#include "camera/test_pattern.h"
#include "capture/jpeg_win.h"
#include "capture/mjpeg.h"

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

std::unique_ptr<VideoReader> OpenPatternCamera(const std::wstring& symbolicLink, CameraError& error) {
    return OpenTestPatternReader(symbolicLink, EncodeWebcamJpeg, error);
}

const ExtraCameras PATTERN_CAMERAS{TestPatternCameras, IsTestPatternLink, OpenPatternCamera};

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
}

}  // namespace

void EnableTestPatternCameras(bool enabled) {
    if (enabled) {
        ReadExtraCameras();
        SetTestPatternPresenceListener(AnnounceCameraChange);
    }
    SetExtraCameras(enabled ? &PATTERN_CAMERAS : nullptr);
}
