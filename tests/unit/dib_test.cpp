#include "capture/dib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace {

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

// Bytes numbered, padding included, so that any shift shows.
CapturedFrame MakeFrame(int32_t w, int32_t h) {
    CapturedFrame f{std::vector<uint8_t>(static_cast<size_t>(PaddedStride(w)) * h), w, h, PaddedStride(w)};
    for (size_t i = 0; i < f.pixels.size(); ++i) f.pixels[i] = static_cast<uint8_t>(i % 251);
    return f;
}

}  // namespace

TEST(PackedDib, HeadersAndPixels) {
    // 641 wide: 1923 row bytes padded to 1924.
    const uint32_t sizes[][3] = {{640, 480, 921600}, {1, 1, 4}, {641, 3, 3 * 1924}};
    for (const auto& [w, h, imageSize] : sizes) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const CapturedFrame f = MakeFrame(static_cast<int32_t>(w), static_cast<int32_t>(h));
        std::vector<uint8_t> dib(PackedDibSize(f), 0xCC);
        ASSERT_EQ(dib.size(), 40 + imageSize);
        ASSERT_TRUE(WritePackedDib(f, dib.data()));
        EXPECT_EQ(dib, EncodePackedDib(f));
        // biSize, width, height (positive: bottom-up), 1 plane | 24 bits << 16, BI_RGB,
        // biSizeImage, 96 dpi twice, no colour table.
        const uint32_t want[] = {40, w, h, 0x180001, 0, imageSize, 3780, 3780, 0, 0};
        for (int i = 0; i < 10; ++i) EXPECT_EQ(U32(&dib[4 * i]), want[i]) << "offset " << 4 * i;
        EXPECT_TRUE(std::equal(f.pixels.begin(), f.pixels.end(), dib.begin() + 40));
        const auto file = EncodeBmpFileHeader(dib.data(), dib.size());
        EXPECT_EQ(file[0] | file[1] << 8, 'B' | 'M' << 8);
        const uint32_t wantFile[] = {54 + imageSize, 0, 54};  // file size, reserved, pixel offset
        for (int i = 0; i < 3; ++i) EXPECT_EQ(U32(&file[2 + 4 * i]), wantFile[i]);
    }
}

TEST(PackedDib, FramesAndBlocksThatAreNotWholeBitmapsGiveNothing) {
    CapturedFrame bad[4] = {{}, MakeFrame(4, 4), MakeFrame(4, 4), MakeFrame(4, 4)};
    bad[1].pixels.pop_back();
    bad[2].stride = 16;
    bad[3].height = -4;
    for (const CapturedFrame& f : bad) {
        EXPECT_TRUE(EncodePackedDib(f).empty());
        uint8_t sink[128] = {};
        EXPECT_FALSE(WritePackedDib(f, sink));
        EXPECT_EQ(sink[0], 0);
    }

    const std::vector<uint8_t> dib = EncodePackedDib(MakeFrame(2, 2));
    std::vector<uint8_t> tinyInfo = dib, hugeImage = dib;
    tinyInfo[0] = 12;
    hugeImage[20] = hugeImage[21] = hugeImage[22] = hugeImage[23] = 0xFF;
    const std::array<uint8_t, 14> none{};
    EXPECT_EQ(EncodeBmpFileHeader(nullptr, 100), none);
    EXPECT_EQ(EncodeBmpFileHeader(std::vector<uint8_t>(dib.begin(), dib.begin() + 20).data(), 20), none);
    EXPECT_EQ(EncodeBmpFileHeader(dib.data(), dib.size() - 1), none);  // pixels cut short
    EXPECT_EQ(EncodeBmpFileHeader(tinyInfo.data(), tinyInfo.size()), none);
    EXPECT_EQ(EncodeBmpFileHeader(hugeImage.data(), hugeImage.size()), none);
    EXPECT_NE(EncodeBmpFileHeader(dib.data(), dib.size()), none);
}
