#include <gtest/gtest.h>

#include <windows.h>

#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "camera/camera.h"
#include "camera/devices.h"
#include "camera/media_foundation_win.h"
#include "camera/test_pattern.h"

using Microsoft::WRL::ComPtr;

namespace {

// MFAllocateWorkQueue answers only while Media Foundation is started, so it
// shows whether one MFShutdown balanced every MFStartup.
bool MediaFoundationRunning() {
    DWORD queue = 0;
    if (FAILED(MFAllocateWorkQueue(&queue))) return false;
    MFUnlockWorkQueue(queue);
    return true;
}

class MediaFoundation : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartMediaFoundation()); }
    void TearDown() override { StopMediaFoundation(); }
};

}  // namespace

TEST(MediaFoundationStartup, StartsOnceAndStops) {
    ASSERT_TRUE(StartMediaFoundation());
    ASSERT_TRUE(StartMediaFoundation());
    EXPECT_TRUE(MediaFoundationRunning());
    StopMediaFoundation();
    EXPECT_FALSE(MediaFoundationRunning()) << "MFStartup was called more than once";
    StopMediaFoundation();  // a second stop changes nothing

    ASSERT_TRUE(StartMediaFoundation());
    EXPECT_TRUE(MediaFoundationRunning());
    StopMediaFoundation();
}

TEST(MediaFoundationStartup, LeavesAnotherApartmentAlone) {
    std::thread ui([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_TRUE(StartMediaFoundation());
        EXPECT_TRUE(MediaFoundationRunning());
        StopMediaFoundation();
        // Still initialised once: S_FALSE; had the stop uninitialised the
        // thread, it would be S_OK.
        const HRESULT again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        EXPECT_EQ(again, S_FALSE);
        if (SUCCEEDED(again)) CoUninitialize();
        CoUninitialize();
    });
    ui.join();
}

TEST_F(MediaFoundation, EnumerationListsTestPatternsAfterTheRealDevices) {
    const std::vector<CameraDevice> real = EnumerateCameras();
    for (const CameraDevice& device : real) EXPECT_FALSE(IsTestPatternLink(device.symbolicLink));

    EnableTestPatternCameras();
    const std::vector<CameraDevice> all = EnumerateCameras();
    ASSERT_EQ(all.size(), real.size() + 4);
    for (size_t i = 0; i < real.size(); ++i) EXPECT_EQ(all[i].symbolicLink, real[i].symbolicLink);
    const wchar_t* names[] = {L"Snapward Test Pattern (NV12)", L"Snapward Test Pattern (YUY2)",
                              L"Snapward Test Pattern (MJPG)", L"Snapward Test Pattern (RGB24)"};
    std::set<std::wstring> links;
    for (size_t i = 0; i < 4; ++i) {
        const CameraDevice& device = all[real.size() + i];
        EXPECT_EQ(device.friendlyName, names[i]);
        EXPECT_TRUE(IsTestPatternLink(device.symbolicLink));
        links.insert(device.symbolicLink);
    }
    EXPECT_EQ(links.size(), 4u);
}

TEST_F(MediaFoundation, UnknownLinkDoesNotOpen) {
    Camera camera(OpenCameraReader);
    EXPECT_FALSE(camera.Open(L"\\\\?\\usb#vid_0000&pid_0000&mi_00#0&0&0&0#{e5323777-f976-4f5b-9b55-b94699c46e44}\\global"));
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(camera.width(), 0);
    EXPECT_EQ(camera.height(), 0);
    EXPECT_FALSE(camera.Open(L""));
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(OpenCameraReader(L"snapward-testpattern:none"), nullptr);
}

// Plain memory buffers carry no pitch: the type's default stride goes with
// the bytes, and the current length bounds them.
TEST_F(MediaFoundation, PlainBufferLockUsesTheDefaultStride) {
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_HRESULT_SUCCEEDED(MFCreateMemoryBuffer(1000, &buffer));
    ASSERT_HRESULT_SUCCEEDED(buffer->SetCurrentLength(600));
    MediaFormat format{PixelFormat::RGB24, 10, 20, -32};
    {
        LockedSampleBuffer locked;
        ASSERT_TRUE(locked.Lock(buffer.Get(), format));
        EXPECT_NE(locked.view().data, nullptr);
        EXPECT_EQ(locked.view().length, 600);
        EXPECT_EQ(locked.view().stride, -32);
    }
    // Unlocked again when the guard ends: a second lock is the first.
    BYTE* data = nullptr;
    ASSERT_HRESULT_SUCCEEDED(buffer->Lock(&data, nullptr, nullptr));
    buffer->Unlock();
    EXPECT_TRUE(LockedSampleBuffer().Lock(buffer.Get(), format));
}

// 2D buffers report their own pitch; a bottom-up one starts at its bottom row.
TEST_F(MediaFoundation, TwoDimensionalBufferLockUsesThePitch) {
    struct Case {
        DWORD fourcc;
        BOOL bottomUp;
        MediaFormat format;
        int32_t minimumRowBytes;
        int64_t rows;
    };
    const Case cases[] = {
        {MAKEFOURCC('N', 'V', '1', '2'), FALSE, {PixelFormat::NV12, 64, 48, 64}, 64, 72},
        {MAKEFOURCC('Y', 'U', 'Y', '2'), FALSE, {PixelFormat::YUY2, 64, 48, 128}, 128, 48},
        {20 /* D3DFMT_R8G8B8 */, TRUE, {PixelFormat::RGB24, 30, 16, -92}, 90, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.format.subtype));
        ComPtr<IMFMediaBuffer> buffer;
        if (FAILED(MFCreate2DMediaBuffer(c.format.width, c.format.height, c.fourcc, c.bottomUp, &buffer))) {
            ADD_FAILURE() << "MFCreate2DMediaBuffer";
            continue;
        }
        ComPtr<IMF2DBuffer> twoD;
        ASSERT_HRESULT_SUCCEEDED(buffer.As(&twoD));
        BYTE* scanLine0 = nullptr;
        LONG pitch = 0;
        ASSERT_HRESULT_SUCCEEDED(twoD->Lock2D(&scanLine0, &pitch));
        twoD->Unlock2D();

        LockedSampleBuffer locked;
        ASSERT_TRUE(locked.Lock(buffer.Get(), c.format));
        const SampleView view = locked.view();
        EXPECT_EQ(view.stride, pitch);
        EXPECT_EQ(c.bottomUp != FALSE, view.stride < 0);
        const int32_t magnitude = view.stride < 0 ? -view.stride : view.stride;
        EXPECT_GE(magnitude, c.minimumRowBytes);
        EXPECT_EQ(view.length, magnitude * c.rows);
        // Scan line 0, the top row, is the first in memory for a top-down
        // buffer and the last for a bottom-up one.
        const BYTE* top = view.stride < 0 ? view.data + static_cast<ptrdiff_t>(magnitude) * (c.format.height - 1)
                                          : view.data;
        EXPECT_EQ(top, scanLine0);
    }
}

TEST_F(MediaFoundation, CompressedBuffersAreLockedWhole) {
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_HRESULT_SUCCEEDED(MFCreateMemoryBuffer(5000, &buffer));
    ASSERT_HRESULT_SUCCEEDED(buffer->SetCurrentLength(1234));
    LockedSampleBuffer locked;
    ASSERT_TRUE(locked.Lock(buffer.Get(), MediaFormat{PixelFormat::MJPG, 1280, 720, 0}));
    EXPECT_EQ(locked.view().length, 1234);
    EXPECT_FALSE(locked.Lock(nullptr, MediaFormat{}));
}

// Each test camera goes the way a real one does: Camera's negotiation over the
// reader, then frames through the conversion (and for MJPG, WIC).
TEST_F(MediaFoundation, TestPatternCamerasDeliverThePattern) {
    EnableTestPatternCameras();
    const std::vector<CameraDevice> devices = TestPatternCameras();
    ASSERT_EQ(devices.size(), 4u);
    const PixelFormat subtypes[] = {PixelFormat::NV12, PixelFormat::YUY2, PixelFormat::MJPG,
                                    PixelFormat::RGB24};
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "camera " << i);
        Camera camera(OpenCameraReader);
        ASSERT_TRUE(camera.Open(devices[i].symbolicLink));
        EXPECT_TRUE(camera.IsOpen());
        EXPECT_EQ(camera.width(), 1280);
        EXPECT_EQ(camera.height(), 720);
        EXPECT_EQ(camera.subtype(), subtypes[i]);

        CapturedFrame frame;
        uint32_t first = 0;
        uint32_t second = 0;
        ASSERT_TRUE(camera.GrabFrame(frame));
        EXPECT_TRUE(MatchesTestPattern(frame, 12, first)) << TestPatternDeviation(frame, first);
        ASSERT_TRUE(camera.GrabFrame(frame));
        EXPECT_TRUE(MatchesTestPattern(frame, 12, second)) << TestPatternDeviation(frame, second);
        EXPECT_GT(second, first);
        camera.Close();
        EXPECT_FALSE(camera.IsOpen());
    }
}

// The MJPG camera's preview: frames decoded on the preview thread, which has
// no COM of its own.
TEST_F(MediaFoundation, MjpgPreviewDecodesOnThePreviewThread) {
    EnableTestPatternCameras();
    Camera camera(OpenCameraReader);
    ASSERT_TRUE(camera.Open(L"snapward-testpattern:mjpg"));
    std::mutex lock;
    int matching = 0;
    int seen = 0;
    ASSERT_TRUE(camera.StartPreview([&](const uint8_t* pixels, int32_t width, int32_t height, int32_t stride) {
        CapturedFrame frame;
        frame.width = width;
        frame.height = height;
        frame.stride = stride;
        frame.pixels.assign(pixels, pixels + static_cast<size_t>(stride) * height);
        uint32_t counter = 0;
        const bool match = MatchesTestPattern(frame, 12, counter);
        std::lock_guard<std::mutex> guard(lock);
        ++seen;
        if (match) ++matching;
    }));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (seen >= 3 || std::chrono::steady_clock::now() > deadline) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    camera.Close();
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_GE(seen, 3);
    EXPECT_EQ(matching, seen);
}
