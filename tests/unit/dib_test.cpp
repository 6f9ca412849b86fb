#include "capture/dib.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// A frame as ConvertFrame delivers it, pixels numbered so that any shift shows.
CapturedFrame MakeFrame(int32_t w, int32_t h) {
    CapturedFrame f;
    f.width = w;
    f.height = h;
    f.stride = (3 * w + 3) & ~3;
    f.pixels.resize(static_cast<size_t>(f.stride) * h);
    for (int32_t row = 0; row < h; ++row)
        for (int32_t i = 0; i < 3 * w; ++i)
            f.pixels[static_cast<size_t>(row) * f.stride + i] = static_cast<uint8_t>(row * 7 + i);
    return f;
}

}  // namespace

TEST(PackedDib, HeaderAndPixelsFor640x480) {
    const CapturedFrame f = MakeFrame(640, 480);
    const std::vector<uint8_t> dib = EncodePackedDib(f);
    ASSERT_EQ(dib.size(), 921640u);
    EXPECT_EQ(PackedDibSize(f), 921640u);
    const uint8_t* h = dib.data();
    EXPECT_EQ(U32(h + 0), 40u);
    EXPECT_EQ(U32(h + 4), 640u);
    EXPECT_EQ(U32(h + 8), 480u);  // positive: bottom-up
    EXPECT_EQ(U16(h + 12), 1);
    EXPECT_EQ(U16(h + 14), 24);
    EXPECT_EQ(U32(h + 16), 0u);
    EXPECT_EQ(U32(h + 20), 921600u);
    EXPECT_EQ(U32(h + 24), 3780u);
    EXPECT_EQ(U32(h + 28), 3780u);
    EXPECT_EQ(U32(h + 32), 0u);
    EXPECT_EQ(U32(h + 36), 0u);
    EXPECT_TRUE(std::equal(f.pixels.begin(), f.pixels.end(), dib.begin() + 40));

    const auto file = EncodeBmpFileHeader(dib.data(), dib.size());
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(U32(&file[2]), 921654u);
    EXPECT_EQ(U32(&file[6]), 0u);
    EXPECT_EQ(U32(&file[10]), 54u);
}

TEST(PackedDib, SmallAndPaddedWidths) {
    const CapturedFrame one = MakeFrame(1, 1);
    const std::vector<uint8_t> dib1 = EncodePackedDib(one);
    ASSERT_EQ(dib1.size(), 44u);
    EXPECT_EQ(U32(&dib1[20]), 4u);
    EXPECT_EQ(dib1[43], 0);
    EXPECT_EQ(U32(&EncodeBmpFileHeader(dib1.data(), dib1.size())[2]), 58u);

    // 641 pixels: 1923 row bytes, stride 1924, one padding byte per row.
    const CapturedFrame wide = MakeFrame(641, 3);
    std::vector<uint8_t> dest(PackedDibSize(wide), 0xCC);
    ASSERT_EQ(dest.size(), 40u + 3 * 1924);
    ASSERT_TRUE(WritePackedDib(wide, dest.data()));
    EXPECT_EQ(U32(&dest[20]), 3u * 1924);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(dest[40 + row * 1924 + 1923], 0) << row;
        EXPECT_EQ(dest[40 + row * 1924 + 1922], static_cast<uint8_t>(row * 7 + 1922)) << row;
    }
    EXPECT_EQ(dest, EncodePackedDib(wide));
}

TEST(PackedDib, FramesWithoutABitmapEncodeToNothing) {
    CapturedFrame empty;
    EXPECT_EQ(PackedDibSize(empty), 0u);
    EXPECT_TRUE(EncodePackedDib(empty).empty());

    CapturedFrame shortPixels = MakeFrame(4, 4);
    shortPixels.pixels.pop_back();
    CapturedFrame wrongStride = MakeFrame(4, 4);
    wrongStride.stride = 16;
    CapturedFrame negative = MakeFrame(4, 4);
    negative.height = -4;
    for (const CapturedFrame* f : {&shortPixels, &wrongStride, &negative}) {
        EXPECT_EQ(PackedDibSize(*f), 0u);
        uint8_t sink[128] = {};
        EXPECT_FALSE(WritePackedDib(*f, sink));
        EXPECT_EQ(sink[0], 0);
    }
}

TEST(BmpFileHeader, RefusesBlocksThatAreNotWholeDibs) {
    const std::vector<uint8_t> dib = EncodePackedDib(MakeFrame(2, 2));
    const std::array<uint8_t, 14> none{};
    EXPECT_EQ(EncodeBmpFileHeader(nullptr, 100), none);
    EXPECT_EQ(EncodeBmpFileHeader(dib.data(), 39), none);
    EXPECT_EQ(EncodeBmpFileHeader(dib.data(), dib.size() - 1), none);  // pixels cut short
    std::vector<uint8_t> tinyInfo = dib;
    tinyInfo[0] = 12;
    EXPECT_EQ(EncodeBmpFileHeader(tinyInfo.data(), tinyInfo.size()), none);
    std::vector<uint8_t> hugeImage = dib;
    hugeImage[20] = hugeImage[21] = hugeImage[22] = hugeImage[23] = 0xFF;
    EXPECT_EQ(EncodeBmpFileHeader(hugeImage.data(), hugeImage.size()), none);
    EXPECT_NE(EncodeBmpFileHeader(dib.data(), dib.size()), none);
}
