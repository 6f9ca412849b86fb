#include <gtest/gtest.h>

#include <windows.h>

#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

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
    void TearDown() override {
        EnableTestPatternCameras(false);  // other tests expect the system's list
        StopMediaFoundation();
    }
};

}  // namespace

TEST(MediaFoundationStartup, StartsOnceAndLeavesAnotherApartmentAlone) {
    ASSERT_TRUE(StartMediaFoundation());
    ASSERT_TRUE(StartMediaFoundation());
    EXPECT_TRUE(MediaFoundationRunning());
    StopMediaFoundation();
    EXPECT_FALSE(MediaFoundationRunning()) << "MFStartup was called more than once";
    StopMediaFoundation();  // a second stop changes nothing

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

TEST_F(MediaFoundation, TestPatternsFollowTheRealDevicesOnlyWhileEnabled) {
    const std::vector<CameraDevice> real = EnumerateCameras();
    EnableTestPatternCameras();
    const std::vector<CameraDevice> all = EnumerateCameras();
    CameraError error = CAMERA_ERROR_NONE;
    ASSERT_EQ(all.size(), real.size() + 4);
    for (size_t i = 0; i < real.size(); ++i) EXPECT_EQ(all[i].symbolicLink, real[i].symbolicLink);
    const wchar_t* names[] = {L"Snapward Test Pattern (NV12)", L"Snapward Test Pattern (YUY2)",
                              L"Snapward Test Pattern (MJPG)", L"Snapward Test Pattern (RGB24)"};
    for (size_t i = 0; i < 4; ++i) {
        const CameraDevice& device = all[real.size() + i];
        EXPECT_EQ(device.friendlyName, names[i]);
        EXPECT_NE(OpenCameraReader(device.symbolicLink, error), nullptr);
    }
    EXPECT_EQ(OpenCameraReader(L"snapward-testpattern:none", error), nullptr);

    // Unknown links, and the test patterns once switched off (as the
    // production program always has them), open nothing.
    EnableTestPatternCameras(false);
    EXPECT_EQ(EnumerateCameras().size(), real.size());
    EXPECT_EQ(OpenCameraReader(all[real.size()].symbolicLink, error), nullptr);
    Camera camera(OpenCameraReader);
    EXPECT_FALSE(camera.Open(L"\\\\?\\usb#vid_0000&pid_0000&mi_00#0&0&0&0#{e5323777-f976-4f5b-9b55-b94699c46e44}"));
    EXPECT_FALSE(camera.Open(L""));
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(camera.width(), 0);
}

// Each test camera goes the way a real one does: Camera's negotiation over the
// reader, then frames through the conversion (and for MJPG, WIC).
TEST_F(MediaFoundation, TestPatternCamerasDeliverThePattern) {
    EnableTestPatternCameras();
    const std::vector<CameraDevice> devices = TestPatternCameras();
    const PixelFormat subtypes[] = {PixelFormat::NV12, PixelFormat::YUY2, PixelFormat::MJPG, PixelFormat::RGB24};
    ASSERT_EQ(devices.size(), 4u);
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "camera " << i);
        Camera camera(OpenCameraReader);
        ASSERT_TRUE(camera.Open(devices[i].symbolicLink));
        EXPECT_EQ(camera.width(), 1280);
        EXPECT_EQ(camera.height(), 720);
        EXPECT_EQ(camera.subtype(), subtypes[i]);
        CapturedFrame frame;
        uint32_t counters[2] = {};
        for (uint32_t& counter : counters) {
            ASSERT_TRUE(camera.GrabFrame(frame));
            EXPECT_TRUE(MatchesTestPattern(frame, 12, counter)) << TestPatternDeviation(frame, counter);
        }
        EXPECT_GT(counters[1], counters[0]);
    }
}

// 2D buffers report their own pitch; a bottom-up one starts at its bottom row.
TEST_F(MediaFoundation, TwoDimensionalBufferLockUsesThePitch) {
    const struct {
        DWORD fourcc;
        BOOL bottomUp;
        MediaFormat format;
        int32_t rows;
    } cases[] = {{MAKEFOURCC('N', 'V', '1', '2'), FALSE, {PixelFormat::NV12, 64, 48, 64}, 72},
                 {20 /* D3DFMT_R8G8B8 */, TRUE, {PixelFormat::RGB24, 30, 16, -92}, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.format.subtype));
        ComPtr<IMFMediaBuffer> buffer;
        ASSERT_HRESULT_SUCCEEDED(MFCreate2DMediaBuffer(c.format.width, c.format.height, c.fourcc, c.bottomUp, &buffer));
        ComPtr<IMF2DBuffer> twoD;
        BYTE* scanLine0 = nullptr;
        LONG pitch = 0;
        ASSERT_HRESULT_SUCCEEDED(buffer.As(&twoD));
        ASSERT_HRESULT_SUCCEEDED(twoD->Lock2D(&scanLine0, &pitch));
        twoD->Unlock2D();

        LockedSampleBuffer locked;
        ASSERT_TRUE(locked.Lock(buffer.Get(), c.format));
        const SampleView view = locked.view();
        EXPECT_EQ(view.stride, pitch);
        EXPECT_EQ(c.bottomUp != FALSE, view.stride < 0);
        const int32_t magnitude = view.stride < 0 ? -view.stride : view.stride;
        EXPECT_EQ(view.length, magnitude * c.rows);
        // Scan line 0, the top row, is first in memory top-down, last bottom-up.
        EXPECT_EQ(view.stride < 0 ? view.data + ptrdiff_t{magnitude} * (c.format.height - 1) : view.data, scanLine0);
    }
    EXPECT_FALSE(LockedSampleBuffer().Lock(nullptr, MediaFormat{}));
}
