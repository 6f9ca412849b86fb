#include "camera/test_pattern.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "camera/camera.h"

namespace {

struct Subtyped {
    const wchar_t* link;
    PixelFormat subtype;
};

const Subtyped RAW_CAMERAS[] = {
    {L"snapward-testpattern:nv12", PixelFormat::NV12},
    {L"snapward-testpattern:yuy2", PixelFormat::YUY2},
    {L"snapward-testpattern:rgb24", PixelFormat::RGB24},
};
const wchar_t* const MJPG_LINK = L"snapward-testpattern:mjpg";

// Reads one sample and converts it as the camera would.
bool ReadConverted(VideoReader& reader, CapturedFrame& frame) {
    MediaFormat format;
    EXPECT_TRUE(reader.GetCurrentFormat(format));
    bool converted = false;
    const ReadOutcome outcome = reader.ReadSample([&](const SampleView& sample) {
        const int32_t stride = sample.stride != 0 ? sample.stride : format.defaultStride;
        converted = ConvertFrame(sample.data, sample.length, format.width, format.height,
                                 SampleLayout{format.subtype, stride}, frame);
    });
    return outcome == ReadOutcome::Sample && converted;
}

TestPatternColour PixelAt(const CapturedFrame& frame, int32_t x, int32_t y) {
    const uint8_t* p = frame.pixels.data() + (frame.height - 1 - y) * frame.stride + 3 * x;
    return {p[2], p[1], p[0]};
}

int Distance(TestPatternColour a, TestPatternColour b) {
    return std::max({std::abs(a.red - b.red), std::abs(a.green - b.green),
                     std::abs(a.blue - b.blue)});
}

TEST(TestPattern, EachRawSubtypeConvertsBackToThePicture) {
    for (const Subtyped& camera : RAW_CAMERAS) {
        SCOPED_TRACE(static_cast<int>(camera.subtype));
        auto reader = OpenTestPatternReader(camera.link, nullptr);
        ASSERT_NE(reader, nullptr);
        MediaFormat native;
        ASSERT_TRUE(reader->GetNativeFormat(0, native));
        EXPECT_EQ(native.subtype, camera.subtype);
        EXPECT_EQ(native.width, 1280);
        EXPECT_EQ(native.height, 720);
        EXPECT_FALSE(reader->GetNativeFormat(1, native));
        EXPECT_EQ(reader->SetPartialType(PixelFormat::RGB24),
                  camera.subtype == PixelFormat::RGB24);

        CapturedFrame frame;
        for (uint32_t expected = 0; expected < 3; ++expected) {
            ASSERT_TRUE(ReadConverted(*reader, frame));
            uint32_t counter = 99;
            EXPECT_TRUE(DecodeFrameCounter(frame, counter));
            EXPECT_EQ(counter, expected);
            // Every pixel, edges included: the layouts are exact up to rounding.
            EXPECT_LE(TestPatternDeviation(frame, expected), 2);
            for (int32_t y = 0; y < 720; y += 8) {
                for (int32_t x = 0; x < 1280; x += 8) {
                    const TestPatternColour want = TestPatternColourAt(x, y, expected);
                    ASSERT_LE(Distance(PixelAt(frame, x, y), want), 2) << x << ", " << y;
                }
            }
        }
    }
}

// The bars are what an end-to-end check looks for: eight colours, each far
// from the others, filling the top 80% of the picture in order from the left.
TEST(TestPattern, BarsAreDistinctAndWhereTheyShouldBe) {
    for (int a = 0; a < TEST_PATTERN_BAR_COUNT; ++a) {
        for (int b = a + 1; b < TEST_PATTERN_BAR_COUNT; ++b) {
            EXPECT_GE(Distance(TestPatternBarColour(a), TestPatternBarColour(b)), 128) << a << b;
        }
        const TestPatternColour bar = TestPatternBarColour(a);
        for (int32_t y : {0, 300, 575}) {
            EXPECT_EQ(Distance(TestPatternColourAt(a * 160, y, 5), bar), 0);
            EXPECT_EQ(Distance(TestPatternColourAt(a * 160 + 159, y, 5), bar), 0);
        }
    }
    const TestPatternColour red = TestPatternBarColour(5);
    EXPECT_GT(red.red, 128);
    EXPECT_EQ(red.green, 0);
    EXPECT_EQ(red.blue, 0);
}

TEST(TestPattern, ConsecutiveFramesDifferAndArePaced) {
    auto reader = OpenTestPatternReader(L"snapward-testpattern:rgb24", nullptr);
    ASSERT_NE(reader, nullptr);
    CapturedFrame previous, frame;
    // The first frame comes at once, each further one an interval later.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ReadConverted(*reader, previous));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(ReadConverted(*reader, frame));
        EXPECT_NE(frame.pixels, previous.pixels);
        std::swap(frame, previous);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::microseconds(3 * TEST_PATTERN_FRAME_INTERVAL_US));
    EXPECT_LT(elapsed, std::chrono::milliseconds(500));
}

// The MJPG camera hands the encoder the picture as a bottom-up BGR frame and
// ships whatever it returns. A pass-through "encoder" lets the picture be
// checked without a JPEG codec.
TEST(TestPattern, MjpgCameraShipsTheEncodersOutput) {
    EXPECT_EQ(OpenTestPatternReader(MJPG_LINK, nullptr), nullptr);

    CapturedFrame seen;
    bool failNext = false;
    auto reader = OpenTestPatternReader(
        MJPG_LINK, [&](const CapturedFrame& bgr, std::vector<uint8_t>& jpeg) {
            if (failNext) {
                return false;
            }
            seen = bgr;
            jpeg.assign({0xFF, 0xD8, 0xFF, 0xD9});
            return true;
        });
    ASSERT_NE(reader, nullptr);
    EXPECT_FALSE(reader->SetPartialType(PixelFormat::RGB24));
    MediaFormat native;
    ASSERT_TRUE(reader->GetNativeFormat(0, native));
    EXPECT_EQ(native.subtype, PixelFormat::MJPG);

    std::vector<uint8_t> shipped;
    for (uint32_t expected = 0; expected < 2; ++expected) {
        ASSERT_EQ(reader->ReadSample([&](const SampleView& sample) {
            shipped.assign(sample.data, sample.data + sample.length);
        }), ReadOutcome::Sample);
        EXPECT_EQ(shipped, (std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xD9}));
        uint32_t counter = 99;
        EXPECT_TRUE(MatchesTestPattern(seen, 0, counter));
        EXPECT_EQ(counter, expected);
    }
    failNext = true;
    EXPECT_EQ(reader->ReadSample([](const SampleView&) { FAIL(); }), ReadOutcome::NoSample);
}

TEST(TestPattern, CamerasOpenThroughTheCameraObject) {
    const auto cameras = TestPatternCameras();
    ASSERT_EQ(cameras.size(), 4u);
    Camera camera([](const std::wstring& link) { return OpenTestPatternReader(link, nullptr); });
    for (const Subtyped& expected : RAW_CAMERAS) {
        ASSERT_TRUE(IsTestPatternLink(expected.link));
        ASSERT_TRUE(camera.Open(expected.link));
        EXPECT_EQ(camera.subtype(), expected.subtype);
        EXPECT_EQ(camera.width(), 1280);
        EXPECT_EQ(camera.height(), 720);
        CapturedFrame frame;
        ASSERT_TRUE(camera.GrabFrame(frame));
        uint32_t counter = 99;
        EXPECT_TRUE(MatchesTestPattern(frame, 2, counter));
        EXPECT_EQ(counter, 0u);
    }
    // Four distinct links, each opening its own subtype.
    for (size_t i = 0; i < cameras.size(); ++i) {
        EXPECT_TRUE(IsTestPatternLink(cameras[i].symbolicLink));
        for (size_t j = i + 1; j < cameras.size(); ++j) {
            EXPECT_NE(cameras[i].symbolicLink, cameras[j].symbolicLink);
        }
    }
    EXPECT_FALSE(IsTestPatternLink(L"snapward-testpattern:"));
    EXPECT_EQ(OpenTestPatternReader(L"\\\\?\\usb#vid_046d", nullptr), nullptr);
}

TEST(TestPattern, CheckersRejectWhatIsNotThePattern) {
    auto reader = OpenTestPatternReader(L"snapward-testpattern:rgb24", nullptr);
    ASSERT_NE(reader, nullptr);
    CapturedFrame frame;
    ASSERT_TRUE(ReadConverted(*reader, frame));
    uint32_t counter = 0;
    ASSERT_TRUE(MatchesTestPattern(frame, 0, counter));

    // A frame that is the right picture but for another counter.
    EXPECT_GT(TestPatternDeviation(frame, 1), 100);

    // Upside down: the counter band is now at the top, over the bars.
    CapturedFrame flipped = frame;
    for (int32_t row = 0; row < 720; ++row) {
        std::copy_n(frame.pixels.begin() + row * frame.stride, frame.stride,
                    flipped.pixels.begin() + (719 - row) * frame.stride);
    }
    EXPECT_FALSE(MatchesTestPattern(flipped, 16, counter));

    // A grey smear over the counter band.
    CapturedFrame smeared = frame;
    std::fill_n(smeared.pixels.begin(), 48 * smeared.stride, uint8_t{128});
    EXPECT_FALSE(DecodeFrameCounter(smeared, counter));

    CapturedFrame small;
    small.width = 640;
    small.height = 480;
    small.stride = 1920;
    small.pixels.assign(1920 * 480, 0);
    EXPECT_FALSE(DecodeFrameCounter(small, counter));
    EXPECT_EQ(TestPatternDeviation(small, 0), -1);
    CapturedFrame truncated = frame;
    truncated.pixels.resize(100);
    EXPECT_FALSE(DecodeFrameCounter(truncated, counter));
}

}  // namespace
