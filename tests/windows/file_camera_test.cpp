// File cameras through Wine's own Media Foundation: clips of the test pattern
// written here, opened by link and read by the Camera as any camera is.
#include <atomic>
#include <chrono>
#include <thread>

#include "camera/file_camera.h"
#include "camera/media_foundation_win.h"
#include "capture_test_support.h"
#include "test_clips.h"

using namespace std::chrono;

namespace {

class FileCameraTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartMediaFoundation()); }
    void TearDown() override { StopMediaFoundation(); }
    capture_test::ScratchFolder folder{L"snapward-file-camera"};
};

}  // namespace

// Each clip opens at its size and plays on past its end: every grab is the
// pattern, never the same frame twice running, the counter wraps from the
// clip's last frame to its first, and frames come no faster than the clip's
// rate. MJPG decodes to NV12 there, and at a width that is no multiple of 4
// Wine pads those rows without saying so in the type.
TEST_F(FileCameraTest, ClipsPlayAsEndlessCamerasAtTheirRateWithTheirPicture) {
    const struct {
        PixelFormat subtype;
        int32_t width, height;
        int tolerance;
    } clips[] = {
        {PixelFormat::MJPG, test_clips::CLIP_WIDTH, test_clips::CLIP_HEIGHT, 12},
        {PixelFormat::YUY2, test_clips::CLIP_WIDTH, test_clips::CLIP_HEIGHT, 2},
        // At this width the pattern's edges fall on multiples of 8, not 16, so
        // 4:2:0 chroma blocks straddle colours: the JPEG itself deviates by 32
        // (by the program's own decoder too). Rows read 326 bytes apart
        // instead of Wine's 328 deviate by 255.
        {PixelFormat::MJPG, 326, 184, 40},
    };
    for (const auto& clip : clips) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(clip.subtype) << ' ' << clip.width);
        const std::wstring link = test_clips::WriteClip(folder.path(), clip.subtype, clip.width, clip.height);
        ASSERT_FALSE(link.empty());
        Camera camera(OpenFileCameraReader);
        ASSERT_TRUE(camera.Open(link)) << std::hex << camera.lastError();
        EXPECT_EQ(camera.width(), clip.width);
        EXPECT_EQ(camera.height(), clip.height);
        constexpr int GRABS = 2 * test_clips::CLIP_FRAMES + 1;
        std::vector<uint32_t> counters;
        const auto start = steady_clock::now();
        for (int grab = 0; grab < GRABS; ++grab) {
            CapturedFrame frame;
            uint32_t counter = 0;
            ASSERT_TRUE(camera.GrabFrame(frame)) << grab << ' ' << std::hex << camera.lastError();
            EXPECT_TRUE(MatchesTestPattern(frame, clip.tolerance, counter))
                << grab << " deviation " << TestPatternDeviation(frame, counter);
            EXPECT_LT(counter, test_clips::CLIP_FRAMES);
            counters.push_back(counter);
        }
        const auto elapsed = steady_clock::now() - start;
        bool wrapped = false;
        for (size_t i = 1; i < counters.size(); ++i) {
            EXPECT_NE(counters[i], counters[i - 1]) << i;
            wrapped = wrapped || counters[i] < counters[i - 1];
        }
        EXPECT_TRUE(wrapped);
        // A little slack for the clock's granularity.
        EXPECT_GE(elapsed, (GRABS - 1) * milliseconds(1000 / test_clips::CLIP_RATE - 2));
    }
}

// A clip that is not there opens nothing and says why; nor does a link of
// another kind reach Media Foundation.
TEST_F(FileCameraTest, AMissingClipOrAnotherLinkOpensNothing) {
    CameraError error = CAMERA_ERROR_NONE;
    EXPECT_EQ(OpenFileCameraReader(std::wstring(FILE_CAMERA_SCHEME) + folder.path() + L"\\none.avi", error), nullptr);
    EXPECT_LT(error, 0);
    error = CAMERA_ERROR_NONE;
    EXPECT_EQ(OpenFileCameraReader(L"snapward-testpattern:nv12", error), nullptr);
    EXPECT_EQ(OpenFileCameraReader(FILE_CAMERA_SCHEME, error), nullptr);
    EXPECT_EQ(error, CAMERA_ERROR_NONE);
}

// The development build lists a file camera named in the environment under its
// file's name, opens it by that link (never through the device source, which
// has no such device) and forgets it when the extra cameras are switched off.
TEST_F(FileCameraTest, ListedFromTheEnvironmentAndOpenedByTheExtraCameras) {
    const std::wstring link = test_clips::WriteClip(folder.path(), PixelFormat::YUY2);
    ASSERT_FALSE(link.empty());
    // The extra pattern cameras outlive the switch: later tests count on the
    // plain four at their places.
    ScopeExit plain([] { SetExtraTestPatternCameras({}, false); });
    for (const bool first : {false, true}) {
        SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS",
                                ((first ? L"!" : L"") + link + L";snapward-testpattern:nv12?name=Extra").c_str());
        EnableTestPatternCameras();
        SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", nullptr);
        const std::vector<CameraDevice> listed = EnumerateCameras();
        ASSERT_FALSE(listed.empty());
        const CameraDevice& file = first ? listed[listed.size() - TestPatternCameras().size() - 1] : listed.back();
        EXPECT_EQ(file.symbolicLink, link) << first;
        EXPECT_EQ(file.friendlyName, L"pattern-yuy2.avi");
        CameraError error = CAMERA_ERROR_NONE;
        EXPECT_NE(OpenCameraReader(link, error), nullptr);
        EnableTestPatternCameras(false);
        EXPECT_EQ(OpenCameraReader(link, error), nullptr);
        EXPECT_EQ(error, CAMERA_ERROR_INVALIDATED) << "a link no device has";
    }
}

// Wine's own source reader in asynchronous mode: a cancelled reader refuses
// reads until they resume, then reads on; a preview stopped in the middle of
// its reads leaves the camera reading the clip where it was.
TEST_F(FileCameraTest, ACancelEndsReadsAndTheClipReadsOnAfterwards) {
    const std::wstring link = test_clips::WriteClip(folder.path(), PixelFormat::YUY2);
    ASSERT_FALSE(link.empty());
    CameraError error = CAMERA_ERROR_NONE;
    const std::unique_ptr<VideoReader> reader = OpenFileCameraReader(link, error);
    ASSERT_NE(reader, nullptr);
    int samples = 0;
    const auto count = [&](const SampleView& view) { samples += view.length > 0; };
    reader->CancelRead();
    EXPECT_EQ(reader->ReadSample(count, error), ReadOutcome::Failed);
    EXPECT_EQ(error, CAMERA_ERROR_CANCELLED);
    reader->ResumeReads();
    EXPECT_TRUE(reader->ReadSample(count, error) == ReadOutcome::Sample && samples == 1);

    Camera camera(OpenFileCameraReader);
    ASSERT_TRUE(camera.Open(link));
    std::atomic<int> frames{0};
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(camera.StartPreview([&](const uint8_t*, int32_t, int32_t, int32_t) { ++frames; }));
        const int target = frames + 3;
        for (const auto end = steady_clock::now() + seconds(10); frames < target && steady_clock::now() < end;) {
            std::this_thread::sleep_for(milliseconds(5));
        }
        ASSERT_GE(frames, target);
        camera.StopPreview();
        CapturedFrame frame;
        uint32_t counter = 0;
        EXPECT_TRUE(camera.GrabFrame(frame) && MatchesTestPattern(frame, 2, counter)) << std::hex << camera.lastError();
        EXPECT_EQ(camera.previewError(), CAMERA_ERROR_NONE);
    }
    camera.Close();
}
