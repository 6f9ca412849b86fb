// How the live preview keeps up, in the shipped 32-bit build under Wine: the
// capture dialog runs against a test-pattern camera streaming one size and
// subtype, and after a warm-up we count for a while the frames the camera
// delivered to the preview, the frames that reached the screen, and the CPU
// time the whole process spent (camera, conversion, painting).
// Usage: preview_timing [seconds]   (default 10 seconds a case)

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera.h"
#include "camera/frame_sizes.h"
#include "camera/media_foundation_win.h"
#include "camera/test_pattern.h"
#include "capture/jpeg_win.h"
#include "capture/mjpeg.h"
#include "ui/capture_dialog.h"

namespace {

constexpr wchar_t SCRATCH_KEY[] = L"Software\\Quillmere\\OrvendelPreviewTiming";
constexpr DWORD WARM_UP_MS = 3000;

// Passes on only the types of one subtype, so that a camera listing NV12 and
// MJPG at a size can be measured with either.
class OneSubtypeReader final : public VideoReader {
public:
    OneSubtypeReader(std::unique_ptr<VideoReader> inner, PixelFormat subtype) : inner_(std::move(inner)) {
        MediaFormat format;
        for (uint32_t i = 0; inner_->GetNativeFormat(i, format); ++i) {
            if (format.subtype == subtype) kept_.push_back(i);
        }
    }
    FormatResult SetPartialType(PixelFormat) override { return FormatResult{CAMERA_ERROR_TYPE_REFUSED}; }
    FormatResult GetNativeFormat(uint32_t index, MediaFormat& format) override {
        return index < kept_.size() ? inner_->GetNativeFormat(kept_[index], format)
                                    : FormatResult{CAMERA_ERROR_NO_MORE_TYPES};
    }
    FormatResult UseNativeFormat(uint32_t index) override {
        return index < kept_.size() ? inner_->UseNativeFormat(kept_[index]) : FormatResult{CAMERA_ERROR_NO_MORE_TYPES};
    }
    FormatResult GetCurrentFormat(MediaFormat& format) override { return inner_->GetCurrentFormat(format); }
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample, CameraError& error) override {
        return inner_->ReadSample(onSample, error);
    }

private:
    std::unique_ptr<VideoReader> inner_;
    std::vector<uint32_t> kept_;
};

bool EncodeWebcamJpeg(const CapturedFrame& frame, std::vector<uint8_t>& jpeg) {
    if (!EncodeJpegFrame(frame, jpeg)) return false;
    RemoveStandardHuffmanTables(jpeg);
    return true;
}

struct Case {
    const wchar_t* link;
    PixelFormat subtype;
    FrameSize size;
};

PixelFormat measuredSubtype = PixelFormat::Unknown;
const wchar_t* measuredLink = nullptr;
std::vector<CameraDevice> Devices() { return {{L"Timing camera", measuredLink}}; }

double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](FILETIME t) {
        return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

struct Reading {
    PreviewFrameCounts counts;
    double cpu = 0;
    ULONGLONG at = 0;
};
Reading Read() { return {CountPreviewFrames(), ProcessCpuSeconds(), GetTickCount64()}; }

DWORD measureMs = 10000;
Reading first, last;

// Runs inside the dialog's modal loop: waits out the warm-up, reads, waits the
// measured time, reads again and closes the dialog.
void CALLBACK Step(HWND, UINT, UINT_PTR timer, DWORD) {
    static int stage = 0;
    static ULONGLONG started = 0;
    const HWND dialog = FindWindowW(L"#32770", L"Snapward");
    if (!dialog) return;
    if (stage == 0) {
        started = GetTickCount64();
        stage = 1;
    } else if (stage == 1 && GetTickCount64() - started >= WARM_UP_MS) {
        first = Read();
        stage = 2;
    } else if (stage == 2 && GetTickCount64() - first.at >= measureMs) {
        last = Read();
        stage = 0;
        KillTimer(nullptr, timer);
        PostMessageW(dialog, WM_COMMAND, IDC_CLOSE, 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) measureMs = static_cast<DWORD>(std::atoi(argv[1])) * 1000;
    StartMediaFoundation();
    const Case cases[] = {
        {L"snapward-testpattern:nv12?modes=laptop&name=Laptop", PixelFormat::NV12, {640, 480}},
        {L"snapward-testpattern:nv12?modes=uhd&name=UHD", PixelFormat::NV12, {1920, 1080}},
        {L"snapward-testpattern:mjpg?modes=c920&name=C920", PixelFormat::MJPG, {1920, 1080}},
        {L"snapward-testpattern:mjpg?modes=uhd&name=UHD", PixelFormat::MJPG, {3840, 2160}},
    };
    std::printf("%-12s %-5s %6s %9s %9s %9s %8s %8s\n", "size", "type", "fps", "expected", "delivered", "shown",
                "shown%", "cpu%");
    for (const Case& c : cases) {
        measuredLink = c.link;
        measuredSubtype = c.subtype;
        Camera camera([](const std::wstring& link, CameraError& error) -> std::unique_ptr<VideoReader> {
            std::unique_ptr<VideoReader> inner = OpenTestPatternReader(link, EncodeWebcamJpeg, error);
            if (!inner) return nullptr;
            return std::make_unique<OneSubtypeReader>(std::move(inner), measuredSubtype);
        });
        Settings settings;
        settings.DeviceSymLink = c.link;
        settings.FrameSize = FormatFrameSize(c.size);
        wchar_t pictures[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, pictures);
        DialogEnvironment environment{SCRATCH_KEY, pictures, Devices};
        const UINT_PTR timer = SetTimer(nullptr, 0, 50, Step);
        CaptureDialog::Show(nullptr, GetModuleHandleW(nullptr), &settings, &camera, environment);
        KillTimer(nullptr, timer);
        const FrameSizeOption* option = nullptr;
        const std::vector<FrameSizeOption> sizes = ListFrameSizes(camera.formats());
        for (const FrameSizeOption& o : sizes) {
            if (o.size == c.size) option = &o;
        }
        const double seconds = static_cast<double>(last.at - first.at) / 1000.0;
        const double fps = option && option->rateDenominator ? double(option->rateNumerator) / option->rateDenominator : 0;
        const unsigned delivered = last.counts.made - first.counts.made;
        const unsigned shown = last.counts.shown - first.counts.shown;
        const bool honoured = camera.sizeHonoured() && camera.subtype() == c.subtype;
        std::printf("%5dx%-6d %-5s %6.1f %9.0f %9u %9u %7.1f%% %7.1f%%%s\n", c.size.width, c.size.height,
                    c.subtype == PixelFormat::MJPG ? "MJPG" : "NV12", fps, fps * seconds, delivered, shown,
                    delivered ? 100.0 * shown / delivered : 0.0, 100.0 * (last.cpu - first.cpu) / seconds,
                    honoured ? "" : "  (the camera did not open at this size and subtype)");
        camera.Close();
        RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
    }
    StopMediaFoundation();
    return 0;
}
