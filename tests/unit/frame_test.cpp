#include "capture/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct Bgr {
    int b, g, r;
    bool operator==(const Bgr&) const = default;
};

void PrintTo(const Bgr& p, std::ostream* os) { *os << "(" << p.b << "," << p.g << "," << p.r << ")"; }

// Pixel x of picture row y (counted from the top).
Bgr PixelAt(const CapturedFrame& f, int x, int y) {
    const uint8_t* p = f.pixels.data() + static_cast<size_t>(f.height - 1 - y) * f.stride + 3 * x;
    return {p[0], p[1], p[2]};
}

CapturedFrame Sentinel() {
    CapturedFrame f;
    f.pixels = {1, 2, 3, 4, 5};
    f.width = 7;
    f.height = 8;
    f.stride = 9;
    return f;
}

void ExpectUntouched(const CapturedFrame& f) {
    EXPECT_EQ(f.pixels, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(f.width, 7);
    EXPECT_EQ(f.height, 8);
    EXPECT_EQ(f.stride, 9);
}

bool Convert(const std::vector<uint8_t>& data, int w, int h, CapturedFrame& f) {
    return ConvertFrame(data.data(), static_cast<int32_t>(data.size()), w, h, f);
}

bool Convert(const std::vector<uint8_t>& data, int w, int h, PixelFormat format, int32_t stride,
             CapturedFrame& f) {
    return ConvertFrame(data.data(), static_cast<int32_t>(data.size()), w, h,
                        SampleLayout{format, stride}, f);
}

// A tight width x height NV12 sample of one colour.
std::vector<uint8_t> UniformNv12(int w, int h, uint8_t y, uint8_t u, uint8_t v) {
    std::vector<uint8_t> s(static_cast<size_t>(w) * h, y);
    for (int i = 0; i < w * h / 4; ++i) {
        s.push_back(u);
        s.push_back(v);
    }
    return s;
}

// trunc(n * c) for the single-precision constant with bit pattern `bits`,
// computed exactly in integers: c = mantissa * 2^-shift. For these constants
// and every 8-bit n no product lies so close below an integer that rounding it
// to single precision first would change the truncation.
int TruncProduct(int n, uint32_t bits) {
    const int64_t mantissa = (bits & 0x7FFFFF) | 0x800000;
    const int shift = 150 - static_cast<int>((bits >> 23) & 0xFF);
    const int64_t magnitude = (std::abs(n) * mantissa) >> shift;
    const bool negative = (n < 0) != ((bits >> 31) != 0);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

Bgr ReferenceYuv(int y, int uByte, int vByte) {
    const int u = uByte - 128, v = vByte - 128;
    auto clamp = [](int x) { return std::clamp(x, 0, 255); };
    return {clamp(y - TruncProduct(u, 0xBFE2D0E5)),
            clamp(y + TruncProduct(u, 0xBEB020C5) - TruncProduct(v, 0x3F36C8B4)),
            clamp(y - TruncProduct(v, 0xBFB374BC))};
}

struct ColourCase {
    uint8_t y, u, v;
    Bgr expected;
};

const ColourCase COLOUR_CASES[] = {
    {100, 128, 128, {100, 100, 100}},
    {16, 128, 128, {16, 16, 16}},     // no range expansion
    {235, 128, 128, {235, 235, 235}},
    {200, 129, 127, {201, 200, 199}},  // -1.772 truncates to -1
    {128, 64, 192, {15, 105, 217}},
    {0, 0, 255, {0, 0, 178}},          // blue -226 and green -46 clamp to 0
    {255, 255, 0, {255, 255, 76}},     // blue 480 and green 303 clamp to 255
};

}  // namespace

TEST(ConvertFrameColour, KnownValuesThroughNv12AndYuy2) {
    for (const ColourCase& c : COLOUR_CASES) {
        SCOPED_TRACE(testing::Message() << "Y=" << +c.y << " U=" << +c.u << " V=" << +c.v);
        CapturedFrame nv12;
        ASSERT_TRUE(Convert(UniformNv12(2, 2, c.y, c.u, c.v), 2, 2, nv12));
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x) EXPECT_EQ(PixelAt(nv12, x, y), c.expected);

        CapturedFrame yuy2;
        ASSERT_TRUE(Convert({c.y, c.u, c.y, c.v}, 2, 1, PixelFormat::YUY2, 0, yuy2));
        EXPECT_EQ(PixelAt(yuy2, 0, 0), c.expected);
        EXPECT_EQ(PixelAt(yuy2, 1, 0), c.expected);
    }
}

// Every U, V pair once, with lumas that vary across the picture: a rounding
// instead of a truncation, a floor for negative products, a wrong or swapped
// coefficient, or a missing clamp shows up somewhere.
TEST(ConvertFrameColour, EveryChromaPairMatchesExactArithmetic) {
    const int w = 512, h = 512;
    std::vector<uint8_t> s(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) s[y * w + x] = static_cast<uint8_t>(x * 37 + y * 11);
    for (int row = 0; row < h / 2; ++row)
        for (int pair = 0; pair < w / 2; ++pair) {
            s.push_back(static_cast<uint8_t>(row));   // U
            s.push_back(static_cast<uint8_t>(pair));  // V
        }
    CapturedFrame f;
    ASSERT_TRUE(Convert(s, w, h, f));
    int mismatches = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Bgr want = ReferenceYuv(s[y * w + x], y / 2, x / 2);
            if (PixelAt(f, x, y) != want && ++mismatches <= 5)
                ADD_FAILURE() << "pixel " << x << "," << y << " U=" << y / 2 << " V=" << x / 2;
        }
    EXPECT_EQ(mismatches, 0);
}

TEST(ConvertFrameLength, ThresholdsAt640x480) {
    // Luma 50, chroma neutral, everything past the NV12 size 7: packed RGB
    // shows the 7s of the last source row at the bottom, NV12 a grey of 50.
    std::vector<uint8_t> s(921600, 7);
    std::fill(s.begin(), s.begin() + 307200, 50);
    std::fill(s.begin() + 307200, s.begin() + 460800, 128);
    struct Case {
        int32_t length;
        bool accepted;
        int bottomLeftBlue;
    } cases[] = {{921600, true, 7}, {921599, true, 50}, {460800, true, 50}, {460799, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        CapturedFrame f = Sentinel();
        ASSERT_EQ(ConvertFrame(s.data(), c.length, 640, 480, f), c.accepted);
        if (!c.accepted) {
            ExpectUntouched(f);
            continue;
        }
        EXPECT_EQ(f.width, 640);
        EXPECT_EQ(f.height, 480);
        EXPECT_EQ(f.stride, 1920);
        ASSERT_EQ(f.pixels.size(), 921600u);
        EXPECT_EQ(f.pixels[0], c.bottomLeftBlue);
    }
}

TEST(ConvertFrameLength, ShortOrMissingSamplesAreDropped) {
    CapturedFrame f = Sentinel();
    std::vector<uint8_t> s(64, 0);
    EXPECT_FALSE(ConvertFrame(s.data(), -1, 2, 2, f));
    EXPECT_FALSE(ConvertFrame(nullptr, 16, 2, 2, f));
    EXPECT_FALSE(ConvertFrame(nullptr, 16, 2, 2, SampleLayout{PixelFormat::RGB24, 0}, f));
    EXPECT_FALSE(ConvertFrame(s.data(), 0, 2, 2, SampleLayout{PixelFormat::MJPG, 0}, f));
    // Not a JPEG: the decoder (or its absence) drops it.
    EXPECT_FALSE(ConvertFrame(s.data(), 64, 2, 2, SampleLayout{PixelFormat::MJPG, 0}, f));
    ExpectUntouched(f);
}

TEST(ConvertFrameRgb, ReversesRowsCopiesBytesAndZeroesPadding) {
    // Width 3: 9 row bytes, stride 12; source padding 0xFF must not be copied.
    std::vector<uint8_t> s(24, 0xFF);
    for (int i = 0; i < 9; ++i) {
        s[i] = static_cast<uint8_t>(10 + i);       // top row
        s[12 + i] = static_cast<uint8_t>(40 + i);  // bottom row
    }
    CapturedFrame f;
    f.pixels.assign(24, 0xEE);  // a reused frame's padding holds anything
    ASSERT_TRUE(Convert(s, 3, 2, f));
    const std::vector<uint8_t> want = {40, 41, 42, 43, 44, 45, 46, 47, 48, 0, 0, 0,
                                       10, 11, 12, 13, 14, 15, 16, 17, 18, 0, 0, 0};
    EXPECT_EQ(f.pixels, want);
    EXPECT_EQ(f.stride, 12);

    // Width 4: stride 12 exactly, nothing to pad.
    CapturedFrame g;
    ASSERT_TRUE(Convert(std::vector<uint8_t>(12, 9), 4, 1, g));
    EXPECT_EQ(g.pixels, std::vector<uint8_t>(12, 9));
}

TEST(ConvertFrameRgb, KnownStrideBothSigns) {
    // Three rows of two pixels (6 bytes), 10 bytes apart: 26 bytes are read.
    std::vector<uint8_t> s(26, 0xFF);
    for (int row = 0; row < 3; ++row)
        for (int i = 0; i < 6; ++i) s[row * 10 + i] = static_cast<uint8_t>(row * 16 + i);
    auto memoryRow = [](const CapturedFrame& f, int i) {
        return std::vector<uint8_t>(f.pixels.begin() + i * f.stride,
                                    f.pixels.begin() + i * f.stride + f.stride);
    };
    auto sourceRow = [](int row) {
        std::vector<uint8_t> r;
        for (int i = 0; i < 6; ++i) r.push_back(static_cast<uint8_t>(row * 16 + i));
        r.resize(8, 0);
        return r;
    };

    CapturedFrame down;
    ASSERT_TRUE(Convert(s, 2, 3, PixelFormat::RGB24, 10, down));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(memoryRow(down, i), sourceRow(2 - i));

    // Bottom-up already: the first row in memory is the bottom row, kept first.
    CapturedFrame up;
    ASSERT_TRUE(Convert(s, 2, 3, PixelFormat::RGB24, -10, up));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(memoryRow(up, i), sourceRow(i));

    CapturedFrame f = Sentinel();
    std::vector<uint8_t> shortByOne(s.begin(), s.end() - 1);
    EXPECT_FALSE(Convert(shortByOne, 2, 3, PixelFormat::RGB24, 10, f));
    EXPECT_FALSE(Convert(shortByOne, 2, 3, PixelFormat::RGB24, -10, f));
    EXPECT_FALSE(Convert(s, 2, 3, PixelFormat::RGB24, 5, f));   // rows overlap
    EXPECT_FALSE(Convert(s, 2, 3, PixelFormat::RGB24, -5, f));
    EXPECT_FALSE(Convert(s, 2, 3, PixelFormat::RGB24, INT32_MIN, f));
    ExpectUntouched(f);

    // Stride 0: the padded output stride, 8 bytes for two pixels.
    std::vector<uint8_t> tight(22, 0);
    tight[16] = 77;
    CapturedFrame zero;
    ASSERT_TRUE(Convert(tight, 2, 3, PixelFormat::RGB24, 0, zero));
    EXPECT_EQ(zero.pixels[0], 77);
    EXPECT_FALSE(Convert(std::vector<uint8_t>(21, 0), 2, 3, PixelFormat::RGB24, 0, f));
}

TEST(ConvertFrameYuy2, PairsShareChromaAndStrideSignsHold) {
    // Y0 U Y1 V: both pixels take U = 64, V = 192.
    CapturedFrame f;
    ASSERT_TRUE(Convert({128, 64, 100, 192}, 2, 1, PixelFormat::YUY2, 0, f));
    EXPECT_EQ(PixelAt(f, 0, 0), (Bgr{15, 105, 217}));
    EXPECT_EQ(PixelAt(f, 1, 0), (Bgr{0, 77, 189}));  // blue 100 - 113 clamps

    // Two rows 10 bytes apart (8 used): grey 30 first in memory, grey 90 second.
    std::vector<uint8_t> s(18, 0xFF);
    for (int i = 0; i < 8; i += 2) {
        s[i] = 30, s[i + 1] = 128;
        s[10 + i] = 90, s[10 + i + 1] = 128;
    }
    CapturedFrame down, up;
    ASSERT_TRUE(Convert(s, 4, 2, PixelFormat::YUY2, 10, down));
    ASSERT_TRUE(Convert(s, 4, 2, PixelFormat::YUY2, -10, up));
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(PixelAt(down, x, 0), (Bgr{30, 30, 30}));
        EXPECT_EQ(PixelAt(down, x, 1), (Bgr{90, 90, 90}));
        EXPECT_EQ(PixelAt(up, x, 0), (Bgr{90, 90, 90}));
        EXPECT_EQ(PixelAt(up, x, 1), (Bgr{30, 30, 30}));
    }
    CapturedFrame rejected = Sentinel();
    EXPECT_FALSE(Convert(std::vector<uint8_t>(s.begin(), s.end() - 1), 4, 2, PixelFormat::YUY2,
                         10, rejected));
    EXPECT_FALSE(Convert(s, 4, 2, PixelFormat::YUY2, 7, rejected));  // pitch below 8
    EXPECT_FALSE(Convert(std::vector<uint8_t>(15, 0), 4, 2, PixelFormat::YUY2, 0, rejected));
    ExpectUntouched(rejected);
}

TEST(ConvertFrameYuy2, OddWidthNeedsRoomForItsLastPair) {
    // Width 3 reads two whole pairs (8 bytes) per row: 2 * width is too narrow.
    CapturedFrame f = Sentinel();
    EXPECT_FALSE(Convert(std::vector<uint8_t>(12, 128), 3, 2, PixelFormat::YUY2, 0, f));
    ExpectUntouched(f);
    const std::vector<uint8_t> row = {10, 128, 20, 128, 128, 64, 0xAA, 192};
    ASSERT_TRUE(Convert(row, 3, 1, PixelFormat::YUY2, 8, f));
    EXPECT_EQ(PixelAt(f, 1, 0), (Bgr{20, 20, 20}));
    EXPECT_EQ(PixelAt(f, 2, 0), (Bgr{15, 105, 217}));
    EXPECT_EQ(f.pixels[9], 0);
    EXPECT_EQ(f.pixels[11], 0);
}

TEST(ConvertFrameNv12, ChromaRowsAndPairsAreShared) {
    // 4 x 4: chroma row 0 = pairs (64,192), (128,128); row 1 = (128,128), (64,192).
    std::vector<uint8_t> s(16, 128);
    for (uint8_t chroma : {64, 192, 128, 128, 128, 128, 64, 192}) s.push_back(chroma);
    CapturedFrame f;
    ASSERT_TRUE(Convert(s, 4, 4, f));
    const Bgr tinted{15, 105, 217}, grey{128, 128, 128};
    const Bgr want[4][4] = {{tinted, tinted, grey, grey},
                            {tinted, tinted, grey, grey},
                            {grey, grey, tinted, tinted},
                            {grey, grey, tinted, tinted}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(PixelAt(f, x, y), want[y][x]) << x << "," << y;
}

TEST(ConvertFrameNv12, PaddedPitchSkipsRowEnds) {
    // 2 x 4, pitch 6: luma rows at 0, 6, 12, 18; chroma rows at 24 and 30;
    // bytes 2 to 5 of every row are junk. The last byte read is 31.
    std::vector<uint8_t> s(32, 0xEE);
    for (int y = 0; y < 4; ++y) s[y * 6] = s[y * 6 + 1] = static_cast<uint8_t>(20 * (y + 1));
    s[24] = 64, s[25] = 192;  // rows 0 and 1
    s[30] = 128, s[31] = 128;  // rows 2 and 3
    CapturedFrame f;
    ASSERT_TRUE(Convert(s, 2, 4, PixelFormat::NV12, 6, f));
    EXPECT_EQ(PixelAt(f, 1, 0), ReferenceYuv(20, 64, 192));
    EXPECT_EQ(PixelAt(f, 0, 1), ReferenceYuv(40, 64, 192));
    EXPECT_EQ(PixelAt(f, 1, 2), (Bgr{60, 60, 60}));
    EXPECT_EQ(PixelAt(f, 0, 3), (Bgr{80, 80, 80}));
    EXPECT_EQ(f.pixels[6], 0);
    EXPECT_EQ(f.pixels[7], 0);

    CapturedFrame rejected = Sentinel();
    EXPECT_FALSE(Convert(std::vector<uint8_t>(s.begin(), s.end() - 1), 2, 4, PixelFormat::NV12, 6,
                         rejected));
    EXPECT_FALSE(Convert(s, 2, 4, PixelFormat::NV12, 1, rejected));
    ExpectUntouched(rejected);
    // Planar YUV is top-down whatever the sign: a negative stride gives the same picture.
    CapturedFrame negative;
    ASSERT_TRUE(Convert(s, 2, 4, PixelFormat::NV12, -6, negative));
    EXPECT_EQ(negative.pixels, f.pixels);
}

TEST(ConvertFrameNv12, OddSizesNeverReadPastTheSample) {
    CapturedFrame f = Sentinel();
    // Odd width without a layout: the last pair would straddle two chroma rows.
    // 3 x 2: NV12 from 9 bytes, packed RGB from 24.
    for (int32_t length : {9, 10, 23}) {
        std::vector<uint8_t> s(static_cast<size_t>(length), 128);
        EXPECT_FALSE(Convert(s, 3, 2, f)) << length;
    }
    // Odd height: the last picture row has chroma row 1, which ends at byte 10,
    // past the half size of 9.
    EXPECT_FALSE(Convert(std::vector<uint8_t>(9, 128), 2, 3, f));
    ExpectUntouched(f);
    std::vector<uint8_t> s = {10, 10, 20, 20, 30, 30, 128, 128, 64, 192};
    ASSERT_TRUE(Convert(s, 2, 3, f));
    EXPECT_EQ(PixelAt(f, 0, 1), (Bgr{20, 20, 20}));
    EXPECT_EQ(PixelAt(f, 1, 2), ReferenceYuv(30, 64, 192));

    // With a pitch wide enough for the last pair, an odd width converts.
    const std::vector<uint8_t> odd = {10, 20, 30, 0xEE, 128, 128, 64, 192};
    ASSERT_TRUE(Convert(odd, 3, 1, PixelFormat::NV12, 4, f));
    EXPECT_EQ(PixelAt(f, 2, 0), ReferenceYuv(30, 64, 192));
    EXPECT_FALSE(Convert(std::vector<uint8_t>(odd.begin(), odd.end() - 1), 3, 1,
                         PixelFormat::NV12, 4, f));
}

TEST(ConvertFrameSize, NegativeAndOverflowingSizesAreRejected) {
    // In 32-bit arithmetic several of these wrap to a small or negative size
    // that a 64-byte sample would pass.
    const struct {
        int32_t w, h;
    } sizes[] = {{-1, 2},    {2, -1},         {INT32_MIN, 1}, {0x40000000, 1}, {0x2AAAAAAB, 0},
                 {46341, 46341}, {1, INT32_MAX}, {20000, 40000}, {INT32_MAX, INT32_MAX}};
    std::vector<uint8_t> s(64, 0);
    for (const auto& size : sizes) {
        for (PixelFormat format : {PixelFormat::Unknown, PixelFormat::RGB24, PixelFormat::YUY2,
                                   PixelFormat::NV12, PixelFormat::MJPG}) {
            SCOPED_TRACE(testing::Message() << size.w << "x" << size.h << " format "
                                            << static_cast<int>(format));
            CapturedFrame f = Sentinel();
            EXPECT_FALSE(ConvertFrame(s.data(), 64, size.w, size.h, SampleLayout{format, 0}, f));
            ExpectUntouched(f);
        }
    }
}

TEST(ConvertFrameSize, ZeroSizesGiveEmptyFrames) {
    const struct {
        int32_t w, h, stride;
    } sizes[] = {{0, 0, 0}, {5, 0, 16}, {0, 3, 0}};
    for (const auto& size : sizes) {
        for (PixelFormat format : {PixelFormat::Unknown, PixelFormat::RGB24, PixelFormat::YUY2,
                                   PixelFormat::NV12}) {
            CapturedFrame f = Sentinel();
            ASSERT_TRUE(ConvertFrame(nullptr, 0, size.w, size.h, SampleLayout{format, 0}, f));
            EXPECT_TRUE(f.pixels.empty());
            EXPECT_EQ(f.width, size.w);
            EXPECT_EQ(f.height, size.h);
            EXPECT_EQ(f.stride, size.stride);
        }
    }
}

TEST(ConvertFrameReuse, SameSizeKeepsStorage) {
    CapturedFrame f;
    const std::vector<uint8_t> grey = UniformNv12(640, 480, 90, 128, 128);
    ASSERT_TRUE(Convert(grey, 640, 480, f));
    const uint8_t* storage = f.pixels.data();
    const size_t capacity = f.pixels.capacity();
    ASSERT_TRUE(Convert(UniformNv12(640, 480, 10, 64, 192), 640, 480, f));
    EXPECT_EQ(f.pixels.data(), storage);
    EXPECT_EQ(f.pixels.capacity(), capacity);
    EXPECT_EQ(PixelAt(f, 639, 479), ReferenceYuv(10, 64, 192));
    // A smaller frame in between does not force a new allocation either.
    ASSERT_TRUE(Convert(UniformNv12(320, 240, 10, 128, 128), 320, 240, f));
    ASSERT_TRUE(Convert(grey, 640, 480, f));
    EXPECT_EQ(f.pixels.data(), storage);
}
