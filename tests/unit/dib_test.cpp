#include "capture/dib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

// Bytes numbered, padding included, so that any shift shows.
CapturedFrame MakeFrame(int32_t w, int32_t h) {
    CapturedFrame f{std::vector<uint8_t>(static_cast<size_t>(PaddedStride(w)) * h), w, h, PaddedStride(w)};
    for (size_t i = 0; i < f.pixels.size(); ++i) f.pixels[i] = static_cast<uint8_t>(i % 251);
    return f;
}

}  // namespace

TEST(PackedDib, HeadersAndPixelsOfWholeBitmapsOnly) {
    // 641 wide: 1923 row bytes padded to 1924; 2731 x 2048: past 16 MiB, so that every byte of the sizes shows.
    const uint32_t sizes[][3] = {{640, 480, 921600}, {1, 1, 4}, {641, 3, 3 * 1924}, {2731, 2048, 8196 * 2048},
                                 {3840, 2160, 24883200}};
    for (const auto& [w, h, imageSize] : sizes) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const CapturedFrame f = MakeFrame(static_cast<int32_t>(w), static_cast<int32_t>(h));
        std::vector<uint8_t> dib(PackedDibSize(f), 0xCC);
        ASSERT_TRUE(dib.size() == 40 + imageSize && WritePackedDib(f, dib.data()));
        EXPECT_EQ(dib, EncodePackedDib(f));
        // biSize, width, height (positive: bottom-up), 1 plane | 24 bits << 16, BI_RGB, biSizeImage, 96 dpi twice, no
        // colour table; then the file header: size, reserved, pixel offset.
        const auto file = EncodeBmpFileHeader(dib.data(), dib.size());
        const uint32_t want[] = {40, w, h, 0x180001, 0, imageSize, 3780, 3780, 0, 0, 54 + imageSize, 0, 54};
        for (int i = 0; i < 13; ++i) EXPECT_EQ(U32(i < 10 ? &dib[4 * i] : &file[4 * i - 38]), want[i]) << i;
        EXPECT_TRUE(std::equal(f.pixels.begin(), f.pixels.end(), dib.begin() + 40) && file[0] == 'B' && file[1] == 'M');
    }
    // Palettes lie between the header and the pixels: as many entries as biClrUsed says, or when it says 0, all that
    // 8 bits or fewer allow; a block too short for its palette gives nothing.
    const uint32_t palettes[][4] = {{8, 256, 1024, 8}, {8, 0, 1024, 8}, {1, 2, 8, 4}, {1, 0, 8, 4}, {4, 3, 12, 4},
                                    {24, 0, 0, 12}, {24, 2, 8, 12}};
    for (const auto& [bits, used, paletteBytes, imageSize] : palettes) {
        std::vector<uint8_t> dib(40 + paletteBytes + imageSize, 0);
        const uint32_t header[] = {40, 1, 1, 1 | bits << 16, 0, imageSize, 0, 0, used};
        std::memcpy(dib.data(), header, sizeof(header));
        const auto file = EncodeBmpFileHeader(dib.data(), dib.size());
        EXPECT_TRUE(U32(&file[2]) == dib.size() + 14 && U32(&file[10]) == 54 + paletteBytes) << bits << " " << used;
        EXPECT_EQ(EncodeBmpFileHeader(dib.data(), dib.size() - 1)[0], 0) << bits << " " << used;
    }
    // Frames and blocks that are not whole bitmaps give nothing.
    CapturedFrame bad[4] = {{}, MakeFrame(4, 4), MakeFrame(4, 4), MakeFrame(4, 4)};
    bad[1].pixels.pop_back();
    bad[2].stride = 16;
    bad[3].height = -4;
    uint8_t sink[128] = {};
    for (const CapturedFrame& f : bad)
        EXPECT_TRUE(EncodePackedDib(f).empty() && !WritePackedDib(f, sink) && sink[0] == 0) << &f - bad;
}
