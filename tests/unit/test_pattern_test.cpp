#include "camera/test_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "camera/camera.h"

namespace {

using enum PixelFormat;
using Key = std::tuple<PixelFormat, int32_t, int32_t>;  // subtype, width, height

std::unique_ptr<VideoReader> Open(const std::wstring& query) {
    CameraError error = CAMERA_ERROR_NONE;
    return OpenTestPatternReader(L"snapward-testpattern:nv12?" + query, {}, error);
}

bool Same(const MediaFormat& a, const MediaFormat& b) {
    return std::tie(a.subtype, a.width, a.height, a.defaultStride, a.rateNumerator, a.rateDenominator) ==
           std::tie(b.subtype, b.width, b.height, b.defaultStride, b.rateNumerator, b.rateDenominator);
}

double Rate(const MediaFormat& f) { return double(f.rateNumerator) / f.rateDenominator; }

// What the real cameras show: how many types, the first, the subtypes that come in pairs at each size and rate, the
// best rate of some sizes.
struct Best { PixelFormat subtype; int32_t width, height; double rate; };
const struct { const wchar_t* modes; size_t count; MediaFormat first; std::vector<PixelFormat> pair; std::vector<Best> best; }
    MODES[] = {
    {L"c920", 143, {YUY2, 640, 480, 1280, 30, 1}, {},
     {{YUY2, 160, 90, 30}, {YUY2, 800, 600, 24}, {YUY2, 960, 720, 15}, {YUY2, 1280, 720, 10}, {YUY2, 1600, 896, 7.5},
      {YUY2, 1920, 1080, 5}, {YUY2, 2304, 1536, 2}, {MJPG, 160, 90, 30}, {MJPG, 1280, 720, 30}, {MJPG, 1920, 1080, 30}}},
    {L"laptop", 36, {MJPG, 640, 480, 0, 30, 1}, {MJPG, NV12}, {{NV12, 1280, 720, 30}}},
    {L"uhd", 81, {MJPG, 640, 480, 0, 30, 1}, {}, {{MJPG, 3840, 2160, 30}, {NV12, 3840, 2160, 30}, {YUY2, 1920, 1080, 5}}},
    {L"frameserver", 40, {NV12, 640, 480, 640, 30, 1}, {NV12, MJPG}, {{MJPG, 1920, 1080, 30}, {NV12, 160, 120, 30}}},
};

// Each list as real cameras give it: one type per rate, highest first; one size's rates together (in pairs where
// the camera pairs subtypes); no RGB24, so a partial RGB24 type fails while the others pick their first type.
TEST(TestPatternModes, ListTheTypesOfRealCamerasInTheirOrder) {
    const std::set<double> ladder = {30, 24, 20, 15, 10, 7.5, 5, 2};
    for (const auto& m : MODES) {
        SCOPED_TRACE(testing::Message() << std::string(m.modes, m.modes + wcslen(m.modes)));
        auto reader = Open(std::wstring(L"modes=") + m.modes);
        ASSERT_TRUE(reader);
        std::vector<MediaFormat> types;
        for (MediaFormat f; types.size() < 1000 && reader->GetNativeFormat(uint32_t(types.size()), f);) types.push_back(f);
        ASSERT_EQ(types.size(), m.count);
        EXPECT_TRUE(Same(types[0], m.first));
        std::map<Key, std::vector<size_t>> at;  // where each subtype and size is listed
        const size_t step = m.pair.empty() ? 1 : 2;
        for (size_t i = 0; i < types.size(); ++i) {
            const MediaFormat& t = types[i];
            const int32_t stride = t.subtype == MJPG ? 0 : t.subtype == NV12 ? t.width : 2 * t.width;
            EXPECT_TRUE(t.width % 2 == 0 && t.height % 2 == 0 && t.defaultStride == stride && ladder.count(Rate(t))) << i;
            std::vector<size_t>& seen = at[{t.subtype, t.width, t.height}];
            EXPECT_TRUE(seen.empty() || (seen.back() + step == i && Rate(types[seen.back()]) > Rate(t))) << i;
            seen.push_back(i);
            const MediaFormat& leader = types[i - i % step];
            EXPECT_TRUE(step == 1 || (t.subtype == m.pair[i % 2] && t.width == leader.width &&
                                      t.height == leader.height && Rate(t) == Rate(leader))) << i;
        }
        for (const Best& b : m.best) {
            ASSERT_TRUE(at.count({b.subtype, b.width, b.height})) << b.width << "x" << b.height;
            EXPECT_EQ(Rate(types[at[{b.subtype, b.width, b.height}][0]]), b.rate) << b.width << "x" << b.height;
        }
        for (PixelFormat subtype : {NV12, YUY2, MJPG, RGB24}) {
            const auto first = std::ranges::find_if(types, [&](const MediaFormat& t) { return t.subtype == subtype; });
            MediaFormat current;
            // Refused as Media Foundation refuses a type; past the list, its end.
            EXPECT_EQ(reader->SetPartialType(subtype).error,
                      first != types.end() ? CAMERA_ERROR_NONE : CAMERA_ERROR_TYPE_REFUSED);
            EXPECT_TRUE(reader->GetCurrentFormat(current) && Same(current, first != types.end() ? *first : types[0]));
            ASSERT_TRUE(reader->UseNativeFormat(0));
            EXPECT_EQ(reader->UseNativeFormat(uint32_t(m.count)).error, CAMERA_ERROR_NO_MORE_TYPES);
        }
    }
}

CapturedFrame Picture(int32_t width, int32_t height, uint32_t counter, int32_t drawnHeight = 0) {
    CapturedFrame frame{std::vector<uint8_t>(size_t(PaddedStride(width)) * height), width, height, PaddedStride(width)};
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const TestPatternColour c = TestPatternColourAt(x, y, counter, width, drawnHeight ? drawnHeight : height);
            uint8_t* p = &frame.pixels[size_t(height - 1 - y) * frame.stride + 3 * x];
            p[0] = c.blue, p[1] = c.green, p[2] = c.red;
        }
    return frame;
}

// Each raw size of each list streams the pattern drawn at that size, the counter running on across types; MJPG
// gives no sample without an encoder. The first frame of a stream comes at once, the next when the rate says.
TEST(TestPatternModes, StreamThePatternAtTheSelectedSizeSubtypeAndRate) {
    for (const auto& m : MODES) {
        auto reader = Open(std::wstring(L"name=s&modes=") + m.modes);
        std::set<Key> done;
        uint32_t reads = 0;
        MediaFormat t, current;
        for (uint32_t i = 0; reader->GetNativeFormat(i, t); ++i) {
            if (!done.insert({t.subtype, t.width, t.height}).second) continue;
            SCOPED_TRACE(testing::Message() << int(t.subtype) << " " << t.width << "x" << t.height);
            ASSERT_TRUE(reader->UseNativeFormat(i) && reader->GetCurrentFormat(current) && Same(current, t));
            CapturedFrame frame;
            bool converted = false;
            CameraError error = CAMERA_ERROR_NONE;
            const ReadOutcome outcome = reader->ReadSample([&](const SampleView& s) {
                converted = s.stride == t.defaultStride &&
                            ConvertFrame(s.data, s.length, t.width, t.height, {t.subtype, s.stride}, frame);
            }, error);
            ASSERT_EQ(outcome, t.subtype == MJPG ? ReadOutcome::NoSample : ReadOutcome::Sample);
            uint32_t counter = 0;
            EXPECT_TRUE(t.subtype == MJPG || (converted && MatchesTestPattern(frame, 2, counter) && counter == reads));
            ++reads;
        }
    }
    auto c920 = Open(L"modes=c920");
    MediaFormat t;
    uint32_t twoFps = 0;
    while (c920->GetNativeFormat(twoFps, t) && Rate(t) != 2) ++twoFps;
    ASSERT_TRUE(c920->UseNativeFormat(twoFps));
    const auto start = std::chrono::steady_clock::now();
    CameraError error = CAMERA_ERROR_NONE;
    for (int n = 0; n < 2; ++n) EXPECT_EQ(c920->ReadSample([](const SampleView&) {}, error), ReadOutcome::Sample);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

// Stand-ins for the JPEG encoder: the "JPEG" is the counter that the checker reads from the picture, or all ones.
bool WriteCounter(const CapturedFrame& picture, std::vector<uint8_t>& jpeg) {
    uint32_t counter = UINT32_MAX;
    MatchesTestPattern(picture, 0, counter);
    jpeg.assign(reinterpret_cast<const uint8_t*>(&counter), reinterpret_cast<const uint8_t*>(&counter + 1));
    return true;
}
std::atomic<int> sharedEncodes{0};
bool CounterJpeg(const CapturedFrame& picture, std::vector<uint8_t>& jpeg) { return ++sharedEncodes, WriteCounter(picture, jpeg); }

// MJPG frames are encoded when a stream of their size starts, a cycle of them, and sent round: the picture encoded is
// the pattern with the counter n % cycle. A plain function's cycles serve every later camera of the process; another
// encoder's only its own reader. Darkened frames are encoded one by one, and a failing encoder gives no samples.
TEST(TestPatternModes, EncodeMjpgFramesOncePerSizeAndSendThemRound) {
    std::atomic<int> ownEncodes{0};
    const JpegEncoder own = [&](const CapturedFrame& p, std::vector<uint8_t>& j) { return ++ownEncodes, WriteCounter(p, j); };
    const JpegEncoder failing = [](const CapturedFrame&, std::vector<uint8_t>&) { return false; };
    const JpegEncoder empty = [](const CapturedFrame&, std::vector<uint8_t>& j) { return j.clear(), true; };
    constexpr int CYCLE = int(TEST_PATTERN_MJPG_CYCLE);
    // encoder, link, reads, encodes expected from them (-1: at most a cycle), whether samples carry n % cycle or none
    const struct { JpegEncoder encoder; const wchar_t* link; int reads, encodes; bool cycled, samples; } cases[] = {
        {own, L"laptop", 6, CYCLE, true, true}, {own, L"laptop", 1, CYCLE, true, true},
        {CounterJpeg, L"laptop", 2, -1, true, true}, {CounterJpeg, L"laptop&name=x", 5, 0, true, true},
        {own, L"laptop&ramp=100000", 3, CYCLE + 3, false, true}, {failing, L"frameserver", 2, 0, false, false},
        {empty, L"laptop&ramp=100000", 1, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        CameraError error = CAMERA_ERROR_NONE;
        const int before = ownEncodes + sharedEncodes;
        auto reader = OpenTestPatternReader(std::wstring(L"snapward-testpattern:yuy2?modes=") + c.link, c.encoder, error);
        MediaFormat mjpg;
        uint32_t index = 0;
        while (reader->GetNativeFormat(index, mjpg) && mjpg.subtype != MJPG) ++index;
        ASSERT_TRUE(reader->UseNativeFormat(index) && ownEncodes + sharedEncodes == before);  // none at the open
        for (uint32_t n = 0; n < uint32_t(c.reads); ++n) {
            uint32_t sent = 0;
            const ReadOutcome outcome = reader->ReadSample([&](const SampleView& s) {
                if (s.length == 4) std::memcpy(&sent, s.data, 4);
            }, error);
            EXPECT_EQ(outcome, c.samples ? ReadOutcome::Sample : ReadOutcome::NoSample);
            EXPECT_TRUE(!c.cycled || sent == n % TEST_PATTERN_MJPG_CYCLE) << n;
        }
        const int encodes = ownEncodes + sharedEncodes - before;
        EXPECT_TRUE(c.encodes < 0 ? encodes <= CYCLE : encodes == c.encodes) << encodes;
    }
}

// The camera negotiates a modes camera as any other (the first type) and lists it by the name it was given, or by
// its keys, without the plain camera's subtype; modes that do not exist or would be overridden make no camera.
TEST(TestPatternModes, OpenThroughTheCameraAndAreNamedByTheirLinks) {
    const ReaderOpener patterns = [](const std::wstring& link, auto& e) { return OpenTestPatternReader(link, {}, e); };
    Camera camera(patterns);
    CapturedFrame frame;
    uint32_t counter = 9;
    ASSERT_TRUE(camera.Open(L"snapward-testpattern:mjpg?modes=c920") && camera.GrabFrame(frame));
    EXPECT_TRUE(camera.subtype() == YUY2 && MatchesTestPattern(frame, 2, counter) && counter == 0 && frame.width == 640);
    for (const wchar_t* bad : {L"modes=", L"modes=C920", L"modes=c920&huge=640x480", L"modes=uhd&noformat=1", L"huge=641x480",
                               L"huge=640x0", L"stall=x", L"wait=-1"})
        EXPECT_FALSE(IsTestPatternLink(std::wstring(L"snapward-testpattern:yuy2?") + bad));
    SetExtraTestPatternCameras({L"snapward-testpattern:nv12?modes=c920&name=C920",
                                L"snapward-testpattern:yuy2?modes=uhd&slow=10", L"snapward-testpattern:nv12?slow=1"}, false);
    const std::vector<CameraDevice> cameras = TestPatternCameras();
    SetExtraTestPatternCameras({}, false);
    ASSERT_EQ(cameras.size(), 7u);
    EXPECT_EQ(cameras[4].friendlyName, L"Snapward Test Pattern (C920)");
    EXPECT_EQ(cameras[5].friendlyName, L"Snapward Test Pattern (modes=uhd&slow=10)");
    EXPECT_EQ(cameras[6].friendlyName, L"Snapward Test Pattern (NV12, slow=1)");
}

// Edges fall on even pixels, on multiples of 16 where the pattern is large enough, and 1280 x 720 is the layout the
// header describes. The checkers take the pattern at any size from the smallest they read, and refuse it with
// another counter, drawn for another size, or too small to read.
TEST(TestPatternModes, GeometryScalesAndTheCheckersReadEverySize) {
    const TestPatternColour bars[8] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                       {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
    const auto described = [&](int32_t x, int32_t y, uint32_t c) {
        const int32_t left = 16 * int32_t(c % 77);
        const bool square = y >= 592 && y < 656 && x >= left && x < left + 64, one = (c >> (31 - x / 40)) & 1;
        return y < 576 ? bars[x / 160] : y < 672 ? (square ? TestPatternColour{255, 255, 255} : TestPatternColour{64, 64, 64})
                                      : (one ? TestPatternColour{255, 255, 255} : TestPatternColour{});
    };
    const auto same = [](TestPatternColour a, TestPatternColour b) { return a.red == b.red && a.green == b.green && a.blue == b.blue; };
    for (uint32_t c : {76u, 0xDEADBEEFu})
        for (int32_t y = 0; y < 720; ++y)
            for (int32_t x = 0; x < 1280; ++x)
                ASSERT_TRUE(same(TestPatternColourAt(x, y, c), described(x, y, c)) &&
                            same(TestPatternColourAt(x, y, c, 1280, 720), described(x, y, c))) << x << "," << y;
    // size, and the multiple that the bars' and the rows' edges keep
    const struct { int32_t w, h, barsOn, rowsOn; } sizes[] = {
        {160, 90, 2, 2}, {176, 144, 2, 2}, {320, 180, 8, 2}, {424, 240, 8, 2}, {640, 480, 16, 8}, {800, 448, 16, 8},
        {1280, 720, 16, 16}, {1920, 1080, 16, 16}, {2304, 1536, 16, 16}, {3840, 2160, 16, 16}};
    const uint32_t alternate = 0xAAAAAAAAu;  // every counter block's edge shows
    for (const auto& s : sizes) {
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
        int barEdges = 0, blockEdges = 0, rowEdges = 0;
        for (int32_t x = 1; x < s.w; ++x) {
            const bool bar = !same(TestPatternColourAt(x - 1, 0, 0, s.w, s.h), TestPatternColourAt(x, 0, 0, s.w, s.h));
            const bool block = !same(TestPatternColourAt(x - 1, s.h - 1, alternate, s.w, s.h),
                                     TestPatternColourAt(x, s.h - 1, alternate, s.w, s.h));
            EXPECT_TRUE((!bar || x % s.barsOn == 0) && (!block || x % 2 == 0)) << x;
            barEdges += bar, blockEdges += block;
        }
        for (int32_t y = 1; y < s.h; ++y) {
            const bool edge = !same(TestPatternColourAt(2, y - 1, 0, s.w, s.h), TestPatternColourAt(2, y, 0, s.w, s.h));
            EXPECT_TRUE(!edge || y % s.rowsOn == 0) << y;
            rowEdges += edge;
        }
        EXPECT_TRUE(barEdges == 7 && blockEdges == 31 && rowEdges == 4);  // bar, square's top and bottom, counter
        const uint32_t c = s.w % 3 ? 0xFFFF0000u + s.h : s.w;  // high and low bits set across the sizes
        const CapturedFrame picture = Picture(s.w, s.h, c);
        uint32_t counter = c + 1;
        EXPECT_TRUE(MatchesTestPattern(picture, 0, counter) && counter == c);
        EXPECT_GT(TestPatternDeviation(picture, c ^ 0x10000u), 100) << "another counter";
        EXPECT_TRUE(s.w == 3840 || TestPatternDeviation(Picture(s.w, s.h, c, s.h + 32), c) > 50) << "drawn for another size";
    }
    // The smallest frame read, and the same too small, too narrow for its stride, or missing a byte.
    const CapturedFrame smallest = Picture(TEST_PATTERN_MIN_WIDTH, TEST_PATTERN_MIN_HEIGHT, 3);
    uint32_t counter = 0;
    ASSERT_TRUE(DecodeFrameCounter(smallest, counter) && counter == 3);
    CapturedFrame spoilt[4] = {smallest, smallest, smallest, smallest};
    --spoilt[0].height, --spoilt[1].width, --spoilt[2].stride, spoilt[3].pixels.pop_back();
    for (const CapturedFrame& frame : spoilt)
        EXPECT_TRUE(!DecodeFrameCounter(frame, counter) && TestPatternDeviation(frame, 3) == -1) << &frame - spoilt;
}

}  // namespace
