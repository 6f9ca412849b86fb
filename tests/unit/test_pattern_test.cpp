#include "camera/test_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "camera/camera.h"

namespace {

int Distance(TestPatternColour a, TestPatternColour b) {
    return std::max({std::abs(a.red - b.red), std::abs(a.green - b.green), std::abs(a.blue - b.blue)});
}

const ReaderOpener PATTERNS = [](const std::wstring& link) { return OpenTestPatternReader(link, nullptr); };

// Through the camera's own negotiation and conversion, every pixel (edges
// included) comes back to within rounding, the counter advances by one a frame
// and frames come at the camera's rate, the first at once.
TEST(TestPattern, EachRawCameraConvertsBackToThePicture) {
    const struct {
        const wchar_t* link;
        PixelFormat subtype;
    } cameras[] = {{L"snapward-testpattern:nv12", PixelFormat::NV12},
                   {L"snapward-testpattern:yuy2", PixelFormat::YUY2},
                   {L"snapward-testpattern:rgb24", PixelFormat::RGB24}};
    for (const auto& expected : cameras) {
        SCOPED_TRACE(static_cast<int>(expected.subtype));
        Camera camera(PATTERNS);
        ASSERT_TRUE(camera.Open(expected.link));
        EXPECT_EQ(camera.subtype(), expected.subtype);
        EXPECT_EQ(camera.width(), 1280);
        EXPECT_EQ(camera.height(), 720);

        CapturedFrame frames[3];
        const auto start = std::chrono::steady_clock::now();
        for (CapturedFrame& frame : frames) ASSERT_TRUE(camera.GrabFrame(frame));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, std::chrono::microseconds(2 * TEST_PATTERN_FRAME_INTERVAL_US));
        EXPECT_LT(elapsed, std::chrono::milliseconds(500));
        for (uint32_t n = 0; n < 3; ++n) {
            const CapturedFrame& frame = frames[n];
            uint32_t counter = 99;
            EXPECT_TRUE(DecodeFrameCounter(frame, counter));
            EXPECT_EQ(counter, n);
            for (int32_t y = 0; y < 720; y += 8) {
                for (int32_t x = 0; x < 1280; x += 8) {
                    const uint8_t* p = frame.pixels.data() + (719 - y) * frame.stride + 3 * x;
                    ASSERT_LE(Distance({p[2], p[1], p[0]}, TestPatternColourAt(x, y, n)), 2) << x << ", " << y;
                }
            }
        }
    }
    EXPECT_FALSE(IsTestPatternLink(L"snapward-testpattern:"));
    EXPECT_EQ(OpenTestPatternReader(L"\\\\?\\usb#vid_046d", nullptr), nullptr);
}

// The checkers are the oracle of the end-to-end tests: they must not pass a
// picture that is wrong, nor read outside one that is too small.
TEST(TestPattern, CheckersRejectWhatIsNotThePattern) {
    Camera camera(PATTERNS);
    CapturedFrame frame;
    ASSERT_TRUE(camera.Open(L"snapward-testpattern:rgb24") && camera.GrabFrame(frame));
    uint32_t counter = 7;
    ASSERT_TRUE(MatchesTestPattern(frame, 0, counter));
    EXPECT_EQ(counter, 0u);
    EXPECT_GT(TestPatternDeviation(frame, 1), 100);  // the picture of another frame

    CapturedFrame flipped = frame;  // the counter band now over the bars
    for (int32_t row = 0; row < 720; ++row) {
        std::copy_n(frame.pixels.begin() + row * frame.stride, frame.stride,
                    flipped.pixels.begin() + (719 - row) * frame.stride);
    }
    EXPECT_FALSE(MatchesTestPattern(flipped, 16, counter));

    CapturedFrame smeared = frame;  // grey over the counter band
    std::fill_n(smeared.pixels.begin(), 48 * smeared.stride, uint8_t{128});
    EXPECT_FALSE(DecodeFrameCounter(smeared, counter));

    CapturedFrame small{std::vector<uint8_t>(1920 * 480), 640, 480, 1920};
    EXPECT_FALSE(DecodeFrameCounter(small, counter));
    EXPECT_EQ(TestPatternDeviation(small, 0), -1);
    CapturedFrame truncated = frame;
    truncated.pixels.resize(100);
    EXPECT_FALSE(DecodeFrameCounter(truncated, counter));
    EXPECT_EQ(TestPatternDeviation(truncated, 0), -1);
}

}  // namespace
