#include "capture/frame_scale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <random>

namespace {

struct Case {
    PixelFormat format;
    int w, h, factor;
    int32_t stride;
};

// The sample's Y, U, V at picture pixel (x, y) counted from the top.
std::array<int, 3> YuvAt(const std::vector<uint8_t>& s, const Case& c, int64_t pitch, int x, int y) {
    if (c.format == PixelFormat::NV12) {
        const int64_t chroma = pitch * c.h + (y / 2) * pitch + 2 * (x / 2);
        return {s[y * pitch + x], s[chroma], s[chroma + 1]};
    }
    const int64_t row = (c.stride < 0 ? c.h - 1 - y : y) * pitch;
    return {s[row + 2 * x], s[row + 4 * (x / 2) + 1], s[row + 4 * (x / 2) + 3]};
}

// The plain way, from ConvertFrame: RGB24 and `rgbMean` average the full-size
// conversion's colours over each block; otherwise each block's mean Y, U, V goes
// through ConvertFrame as one pixel of a YUY2 picture twice as wide.
std::vector<uint8_t> Reference(const std::vector<uint8_t>& s, const Case& c, int64_t pitch, bool rgbMean) {
    CapturedFrame full, means;
    EXPECT_TRUE(ConvertFrame(s.data(), int32_t(s.size()), c.w, c.h, {c.format, c.stride}, full));
    const int ow = c.w == 0 ? 0 : std::max(1, c.w / c.factor), oh = c.h == 0 ? 0 : std::max(1, c.h / c.factor);
    const int bw = std::min(c.factor, c.w), bh = std::min(c.factor, c.h), n = bw * bh;
    std::vector<uint8_t> out(size_t(PaddedStride(ow)) * oh), yuy2(size_t(4) * ow * oh);
    for (int oy = 0; oy < oh; ++oy)
        for (int ox = 0; ox < ow; ++ox)
            for (int k = 0; k < 3; ++k) {
                int sum = 0;
                for (int y = oy * bh; y < oy * bh + bh; ++y)
                    for (int x = ox * bw; x < ox * bw + bw; ++x)
                        sum += rgbMean || c.format == PixelFormat::RGB24
                                   ? full.pixels[(c.h - 1 - y) * full.stride + 3 * x + k]
                                   : YuvAt(s, c, pitch, x, y)[k];
                const uint8_t m = uint8_t((sum + n / 2) / n);  // rounded half up
                out[(oh - 1 - oy) * PaddedStride(ow) + 3 * ox + k] = m;
                const size_t pair = 4 * (size_t(oy) * ow + ox);
                if (k == 0) yuy2[pair] = yuy2[pair + 2] = m; else yuy2[pair + 2 * k - 1] = m;
            }
    if (rgbMean || c.format == PixelFormat::RGB24 || ow * oh == 0) return out;
    EXPECT_TRUE(ConvertFrame(yuy2.data(), int32_t(yuy2.size()), 2 * ow, oh, {PixelFormat::YUY2, 0}, means));
    for (int oy = 0; oy < oh; ++oy)
        for (int ox = 0; ox < ow; ++ox)
            std::copy_n(&means.pixels[oy * means.stride + 6 * ox], 3, &out[oy * PaddedStride(ow) + 3 * ox]);
    return out;
}

}  // namespace

// Random samples of each layout, stride sign and padding, of sizes that are not
// multiples of the factor, some wider than one 512-pixel chunk, exactly as long
// as the rows read or one byte shorter, scaled into a frame of junk: the result,
// padding included, is the mean Y, U, V converted (exactly), within 2 of the
// mean colour where no colour clamps, and the block mean of RGB24 exactly;
// factor 1 is ConvertFrame's result; a refusal leaves the frame as it was.
TEST(ConvertFrameScaled, MatchesBlockMeansOfTheFullConversion) {
    std::mt19937 random(23);
    const PixelFormat formats[] = {PixelFormat::RGB24, PixelFormat::YUY2, PixelFormat::NV12};
    for (int i = 0; i < 3000; ++i) {
        const bool wide = i % 10 == 0;
        Case c{formats[random() % 3], int(random() % (wide ? 1400 : 30)), int(random() % (wide ? 9 : 30)),
               1 + int(random() % 8), 0};
        const bool rgb = c.format == PixelFormat::RGB24, nv12 = c.format == PixelFormat::NV12;
        const int64_t rowRead = rgb ? 3 * c.w : (nv12 ? 2 : 4) * ((c.w + 1) / 2);
        if (random() % 4 || (!rgb && c.w % 2 == 1))  // an odd YUV row needs a pitch beyond its width
            c.stride = int32_t(rowRead + random() % 6) * (random() % 2 ? -1 : 1);
        const int64_t pitch = c.stride != 0 ? std::abs(c.stride) : rgb ? PaddedStride(c.w) : nv12 ? c.w : 2 * c.w;
        const int64_t needed = c.w * c.h == 0 ? 0 : nv12 ? pitch * c.h + (c.h - 1) / 2 * pitch + rowRead
                                                         : (c.h - 1) * pitch + rowRead;
        const bool inGamut = random() % 2;  // Y 72-183, U and V 128-168: no colour leaves 0-255
        std::vector<uint8_t> s(static_cast<size_t>(needed));
        for (int64_t k = 0; k < needed; ++k)
            s[k] = uint8_t(!inGamut || rgb ? random()
                           : (nv12 ? k >= pitch * c.h : k % pitch % 2 == 1) ? 128 + random() % 41
                                                                             : 72 + random() % 112);
        SCOPED_TRACE(testing::Message() << "format " << int(c.format) << ", " << c.w << " x " << c.h << ", factor "
                                        << c.factor << ", stride " << c.stride);
        CapturedFrame frame{std::vector<uint8_t>(random() % 64, 0xEE), 7, 8, 9}, full;
        const CapturedFrame junk = frame;
        if (needed > 0) {
            ASSERT_FALSE(ConvertFrameScaled(s.data(), int32_t(needed - 1), c.w, c.h, {c.format, c.stride}, c.factor,
                                            frame));
            ASSERT_TRUE(frame.pixels == junk.pixels && frame.width == 7 && frame.height == 8 && frame.stride == 9);
        }
        ASSERT_TRUE(ConvertFrameScaled(s.data(), int32_t(needed), c.w, c.h, {c.format, c.stride}, c.factor, frame));
        const std::vector<uint8_t> exact = Reference(s, c, pitch, false);
        const int ow = c.w == 0 ? 0 : std::max(1, c.w / c.factor), oh = c.h == 0 ? 0 : std::max(1, c.h / c.factor);
        EXPECT_TRUE(frame.pixels == exact && frame.width == ow && frame.height == oh &&
                    frame.stride == PaddedStride(ow));
        if (c.factor == 1) {
            EXPECT_TRUE(ConvertFrame(s.data(), int32_t(needed), c.w, c.h, {c.format, c.stride}, full) &&
                        full.pixels == frame.pixels);
        }
        if (inGamut && !rgb) {
            const std::vector<uint8_t> rgbMean = Reference(s, c, pitch, true);
            // Rounding the means (Y by 1/2, U and V by 1/2 times a coefficient) and truncating the products once per
            // pixel against once per block: below 2.9 for blue and red, below 3.6 for green with its two products,
            // given chroma of one sign, which truncates the same way on both sides.
            for (size_t k = 0; k < rgbMean.size(); ++k)
                ASSERT_LE(std::abs(rgbMean[k] - frame.pixels[k]), k % frame.stride % 3 == 1 ? 3 : 2) << k;
        }
        const uint8_t* storage = frame.pixels.data();
        ConvertFrameScaled(s.data(), int32_t(needed), c.w, c.h, {c.format, c.stride}, c.factor, frame);
        EXPECT_EQ(frame.pixels.data(), storage);
    }
}

// Refused, leaving the frame alone, whatever ConvertFrame would make of the same bytes.
TEST(ConvertFrameScaled, RefusesWhatItCannotScale) {
    const std::vector<uint8_t> s(4096, 100);
    const struct { PixelFormat format; int w, h, factor; int32_t stride; } cases[] = {
        {PixelFormat::Unknown, 8, 8, 2, 0}, {PixelFormat::MJPG, 8, 8, 2, 0}, {PixelFormat::NV12, 8, 8, 0, 0},
        {PixelFormat::RGB24, 8, 8, -3, 0}, {PixelFormat::YUY2, -2, 8, 2, 0}, {PixelFormat::NV12, 1 << 16, 1 << 15, 2, 0},
        {PixelFormat::RGB24, 8, 8, 2, 23}, {PixelFormat::YUY2, 8, 8, 2, INT32_MIN}, {PixelFormat::RGB24, 8, 8, 1, 23},
        {PixelFormat::RGB24, 1 << 30, 0, 2, 0}};  // a row no frame can hold, even with no rows
    for (const auto& c : cases) {
        CapturedFrame frame{{1, 2, 3}, 1, 1, 4};
        EXPECT_FALSE(ConvertFrameScaled(s.data(), int32_t(s.size()), c.w, c.h, {c.format, c.stride}, c.factor, frame));
        EXPECT_TRUE(frame.pixels == std::vector<uint8_t>({1, 2, 3}) && frame.width == 1 && frame.stride == 4)
            << "case " << &c - cases;
    }
    CapturedFrame frame;
    EXPECT_FALSE(ConvertFrameScaled(nullptr, 16, 2, 2, {PixelFormat::RGB24, 0}, 2, frame));
}

TEST(PreviewScaleFactor, LargestThatStillFillsTheBox) {
    const struct { int w, h, boxW, boxH, factor; } cases[] = {
        {3840, 2160, 498, 325, 6}, {1920, 1080, 498, 325, 3}, {640, 480, 498, 325, 1}, {1280, 720, 1000, 650, 1},
        {3840, 2160, 996, 650, 3}, {1000, 2000, 500, 500, 2}, {2000, 1000, 500, 500, 2}, {1997, 1000, 499, 250, 4},
        {1996, 1000, 499, 250, 4}, {1995, 1000, 499, 250, 3}, {320, 240, 498, 325, 1}, {1920, 1080, 0, 325, 1},
        {1920, 1080, 498, -1, 1}, {1920, 1080, 498, 0, 1}, {0, 0, 498, 325, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(PreviewScaleFactor(c.w, c.h, c.boxW, c.boxH), c.factor) << c.w << " x " << c.h << " in " << c.boxW
                                                                           << " x " << c.boxH;
}
