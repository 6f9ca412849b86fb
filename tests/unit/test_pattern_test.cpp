#include "camera/test_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <random>

#include "camera/camera.h"
#include "wait_until.h"

namespace {

using std::chrono::steady_clock;

int Distance(TestPatternColour a, TestPatternColour b) {
    return std::max({std::abs(a.red - b.red), std::abs(a.green - b.green), std::abs(a.blue - b.blue)});
}

const ReaderOpener PATTERNS = [](const std::wstring& link, auto& e) { return OpenTestPatternReader(link, {}, e); };

std::wstring Link(const wchar_t* rest) { return std::wstring(L"snapward-testpattern:") + rest; }

bool Listed(const std::wstring& link) {
    const auto cameras = TestPatternCameras();
    return std::any_of(cameras.begin(), cameras.end(), [&](const CameraDevice& c) { return c.symbolicLink == link; });
}

std::atomic<int> arrivals{0}, removals{0};
void CountPresence(bool arrived) { ++(arrived ? arrivals : removals); }
}  // namespace

// Through the camera's own negotiation and conversion, every pixel comes back to within rounding, the counter
// advances by one a frame and frames come at the camera's rate, the first at once. The checkers are the oracle of the
// end-to-end tests: they pass that picture, but not one that is wrong, and do not read outside one that is too small.
TEST(TestPattern, EachRawCameraConvertsBackToThePictureThatOnlyTheCheckersPass) {
    CapturedFrame rgb;
    for (const auto& [link, subtype] : {std::pair{L"nv12", PixelFormat::NV12}, {L"yuy2", PixelFormat::YUY2},
                                        {L"rgb24", PixelFormat::RGB24}}) {
        SCOPED_TRACE(static_cast<int>(subtype));
        Camera camera(PATTERNS);
        ASSERT_TRUE(camera.Open(Link(link)));
        EXPECT_TRUE(camera.subtype() == subtype && camera.width() == 1280 && camera.height() == 720);
        CapturedFrame frames[3];
        const auto start = steady_clock::now();
        for (CapturedFrame& frame : frames) ASSERT_TRUE(camera.GrabFrame(frame));
        const auto elapsed = steady_clock::now() - start;
        EXPECT_GE(elapsed, std::chrono::microseconds(2 * TEST_PATTERN_FRAME_INTERVAL_US));
        EXPECT_LT(elapsed, std::chrono::milliseconds(500));
        for (uint32_t n = 0; n < 3; ++n) {
            uint32_t counter = 99;
            EXPECT_TRUE(DecodeFrameCounter(frames[n], counter) && counter == n);
            for (int32_t y = 0; y < 720; y += 8)
                for (int32_t x = 0; x < 1280; x += 8) {
                    const uint8_t* p = frames[n].pixels.data() + (719 - y) * frames[n].stride + 3 * x;
                    ASSERT_LE(Distance({p[2], p[1], p[0]}, TestPatternColourAt(x, y, n)), 2) << x << ", " << y;
                }
        }
        rgb = frames[0];  // RGB24 comes last
    }
    CameraError error = CAMERA_ERROR_NONE;
    EXPECT_EQ(OpenTestPatternReader(L"\\\\?\\usb#vid_046d", nullptr, error), nullptr);
    uint32_t counter = 7;
    ASSERT_TRUE(MatchesTestPattern(rgb, 0, counter) && counter == 0);
    EXPECT_GT(TestPatternDeviation(rgb, 1), 100);  // the picture of another rgb
    CapturedFrame flipped = rgb;  // the counter band now over the bars
    for (int32_t row = 0; row < 720; ++row)
        std::copy_n(rgb.pixels.begin() + row * rgb.stride, rgb.stride,
                    flipped.pixels.begin() + (719 - row) * rgb.stride);
    EXPECT_FALSE(MatchesTestPattern(flipped, 16, counter));
    CapturedFrame smeared = rgb;  // grey over the counter band
    std::fill_n(smeared.pixels.begin(), 48 * smeared.stride, uint8_t{128});
    EXPECT_FALSE(DecodeFrameCounter(smeared, counter));
    CapturedFrame small{std::vector<uint8_t>(1920 * 480), 640, 480, 1920}, truncated = rgb;
    truncated.pixels.resize(100);
    for (const CapturedFrame& wrong : {small, truncated})
        EXPECT_TRUE(!DecodeFrameCounter(wrong, counter) && TestPatternDeviation(wrong, 0) == -1);
    for (int32_t x : {0, 1279}) {  // the counter band begins at row 672, right below the grey band
        const TestPatternColour white{255, 255, 255};
        EXPECT_EQ(Distance(TestPatternColourAt(x, 672, ~0u), white) + Distance(TestPatternColourAt(x, 672, 0), {}), 0);
        EXPECT_GT(Distance(TestPatternColourAt(x, 671, ~0u), white) * Distance(TestPatternColourAt(x, 671, 0), {}), 0);
    }
}

// Links made from random values parse back to them: numbers of up to ten digits, codes in hexadecimal of either case
// with or without 0x. Any one malformed value makes the whole link unknown.
TEST(TestPattern, LinksParseBackToTheirBehaviour) {
    std::mt19937 random(5);
    const std::pair<const wchar_t*, PixelFormat> plain[] = {
        {L"nv12", PixelFormat::NV12}, {L"yuy2", PixelFormat::YUY2}, {L"rgb24", PixelFormat::RGB24}};
    for (int i = 0; i < 300; ++i) {
        const auto [name, format] = plain[i % 3];
        auto text = [](int n) { return std::to_wstring(n); };
        const int number[] = {int(random() % INT32_MAX), 1 + int(random() % INT32_MAX), int(random() % 1000)};
        const uint32_t code = 1 + random() % UINT32_MAX;
        const int32_t w = 2 + 2 * (random() % 8000), h = 2 + 2 * (random() % 8000);
        wchar_t hex[16];
        swprintf(hex, 16, i % 2 ? L"%x" : L"0x%X", code);
        const std::wstring link = Link(name) + L"?name=n" + text(i) + L"&slow=" + text(number[0]) + L"&ramp=" +
                                  text(number[1]) + L"&busy=" + hex + L"&privacy=" + (i % 2 ? L"open" : L"read") +
                                  L"&for=" + text(number[2]) + L"&unplug=" + text(number[0]) + L"&replug=" +
                                  text(number[1]) + L"&huge=" + text(w) + L"x" + text(h) + L"&noformat=1";
        PixelFormat subtype = PixelFormat::Unknown;
        TestCameraBehaviour b;
        ASSERT_TRUE(ParseTestPatternLink(link, subtype, b)) << std::string(link.begin(), link.end());
        EXPECT_TRUE(subtype == format && b.name == L"n" + text(i) && b.slowStartMs == number[0] &&
                    b.rampMs == number[1] && uint32_t(b.busyError) == code && b.conditionMs == number[2] &&
                    b.unplugAfterFrames == number[0] && b.replugAfterMs == number[1] && b.hugeWidth == w &&
                    b.hugeHeight == h && b.noFormat && b.privacy == (i % 2 ? TestCameraBehaviour::Privacy::BlockOpen
                                                                           : TestCameraBehaviour::Privacy::BlockRead));
    }
    for (const wchar_t* bad : {L"rgb24?slow=x", L"rgb24?slow=", L"rgb24?slow=2147483648", L"rgb24?for=00000000001",
                               L"rgb24?ramp=0", L"rgb24?busy=0", L"rgb24?busy=0x", L"rgb24?busy=g", L"rgb24?huge=3x3",
                               L"rgb24?huge=64", L"rgb24?huge=0x2", L"mjpg?huge=64x64", L"rgb24?privacy=",
                               L"rgb24?noformat=0", L"rgb24?name=", L"rgb24?bogus=1", L"rgb24?slow", L"rgb24?name=a&",
                               L"", L"rgb24x"})
        EXPECT_FALSE(IsTestPatternLink(Link(bad))) << std::wstring(bad).size();
    EXPECT_TRUE(IsTestPatternLink(Link(L"mjpg?busy=ffffffff")));
}

// What each misbehaviour does to an open and to the first grab, as the camera sees it; a malformed request is no
// camera at all. A held camera stays failed on the stream that met it; a new open after the other program let go
// works.
TEST(TestPattern, MisbehavioursFailOpensAndReadsAsRealCamerasDo) {
    // Errors NONE: the open, the first grab succeeds; letGoMs: then waits that long, grabs again and reopens.
    const struct { const wchar_t* link; CameraError openError, grabError; int letGoMs = 0; } cases[] = {
        {L"rgb24?name=a&privacy=open", CAMERA_ERROR_ACCESS_DENIED, 0},
        {L"rgb24?name=b&privacy=read", 0, CAMERA_ERROR_ACCESS_DENIED},
        {L"nv12?name=c&busy=C00D3704&for=150", 0, CAMERA_ERROR_START_STREAMING, 200},
        {L"yuy2?name=d&busy=0xC00D3EA3&for=0", 0, 0},  // the other program let go at once
        {L"rgb24?name=e&noformat=1", CAMERA_ERROR_NO_FORMAT, 0},
        {L"rgb24?bogus=1", CAMERA_ERROR_NO_PICTURE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.link, c.link + wcslen(c.link)));
        Camera camera(PATTERNS);
        CapturedFrame frame;
        ASSERT_EQ(camera.Open(Link(c.link)), c.openError == CAMERA_ERROR_NONE);
        EXPECT_EQ(camera.lastError(), c.openError);
        if (c.openError != CAMERA_ERROR_NONE) continue;
        EXPECT_EQ(camera.GrabFrame(frame), c.grabError == CAMERA_ERROR_NONE);
        EXPECT_EQ(camera.lastError(), c.grabError);
        if (c.letGoMs == 0) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(c.letGoMs));
        EXPECT_FALSE(camera.GrabFrame(frame));
        EXPECT_TRUE(camera.Open(Link(c.link)) && camera.GrabFrame(frame));
    }
    Camera huge(PATTERNS);  // the huge camera gives a flat grey picture of its own size
    CapturedFrame grey;
    ASSERT_TRUE(huge.Open(Link(L"nv12?name=g&huge=640x480")) && huge.GrabFrame(grey));
    EXPECT_TRUE(grey.width == 640 && grey.height == 480 &&
                std::all_of(grey.pixels.begin(), grey.pixels.end(), [](uint8_t v) { return v == 128; }));
}

// Unplugged after its third frame: the open stream fails as "invalidated", the camera leaves the list and cannot be
// opened, the listener hears it go and come back; once back it works, and it is not unplugged a second time.
TEST(TestPattern, UnpluggedCameraLeavesTheListAndComesBack) {
    const std::wstring link = Link(L"nv12?name=u&unplug=3&replug=150");
    SetExtraTestPatternCameras({link, Link(L"nv12?broken")}, true);
    SetTestPatternPresenceListener(CountPresence);
    const auto cameras = TestPatternCameras();  // the malformed one is left out
    ASSERT_TRUE(cameras.size() == 5u && cameras[0].symbolicLink == link);
    EXPECT_EQ(cameras[0].friendlyName, L"Snapward Test Pattern (NV12, u)");
    Camera camera(PATTERNS);
    CapturedFrame frame;
    ASSERT_TRUE(camera.Open(link));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(camera.GrabFrame(frame), i < 3);
    EXPECT_TRUE(camera.lastError() == CAMERA_ERROR_INVALIDATED && !Listed(link) && removals == 1);
    EXPECT_TRUE(!camera.Open(link) && camera.lastError() == CAMERA_ERROR_INVALIDATED);
    ASSERT_TRUE(WaitUntil([&] { return arrivals == 1 && Listed(link); }) && camera.Open(link));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(camera.GrabFrame(frame));
    EXPECT_EQ(removals, 1);  // not unplugged a second time
    SetTestPatternPresenceListener(nullptr);
    SetExtraTestPatternCameras({}, false);
}

// A camera that starts slowly and then adjusts its exposure: its first frames are dark, and the settling, counted
// from the first frame rather than from the open, keeps a picture as bright as the pattern itself. Settled once, a
// camera is captured from at once.
TEST(TestPattern, SettlingCountsFromTheFirstFrameOfASlowCamera) {
    Camera camera(PATTERNS);
    const std::wstring link = Link(L"rgb24?name=s&slow=600&ramp=400");
    CapturedFrame frame;
    uint32_t counter = 0;
    ASSERT_TRUE(camera.Open(link) && camera.GrabFrame(frame));
    EXPECT_FALSE(MatchesTestPattern(frame, 16, counter)) << "the first frame is not dark";
    ASSERT_TRUE(camera.Open(link));
    auto start = steady_clock::now();
    SettleCamera(camera);
    EXPECT_TRUE(camera.GrabFrame(frame) && MatchesTestPattern(frame, 2, counter)) << "kept a frame before it settled";
    EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(600) + CAMERA_SETTLE_TIME);
    start = steady_clock::now(), SettleCamera(camera);
    EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(100));
}
