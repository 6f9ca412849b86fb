#include "capture/page_pixels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "capture/convert_kernels.h"

namespace {

// The bits of a black-and-white row from its grey row, the plain way.
std::vector<uint8_t> PackBits(const std::vector<uint8_t>& gray, int threshold) {
    std::vector<uint8_t> bits((gray.size() + 7) / 8, 0);
    for (size_t x = 0; x < gray.size(); ++x) {
        if (gray[x] >= threshold) bits[x / 8] = static_cast<uint8_t>(bits[x / 8] + (128 >> (x % 8)));
    }
    return bits;
}

// A row whose channels run through every byte value at different paces, so
// that a luma from the wrong pixel or a swapped channel shows.
std::vector<uint8_t> MixedRow(int32_t width, uint32_t seed) {
    std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
    std::mt19937 random(seed);
    for (size_t i = 0; i < row.size(); ++i) {
        row[i] = seed == 0 ? static_cast<uint8_t>(i % 3 == 0 ? i / 3 : i % 3 == 1 ? i * 7 : 255 - i / 3)
                           : static_cast<uint8_t>(random());
    }
    return row;
}

}  // namespace

// Against BT.601 in floating point: within one level for colours across the
// cube, exact for known colours and for every grey.
TEST(PagePixels, ScalarLumaIsBt601AndBitsFollowTheThreshold) {
    const std::vector<uint8_t> known = {255, 255, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 200, 90};
    std::vector<uint8_t> gray(6);
    BgrRowToGrayScalar(known.data(), 6, gray.data());
    EXPECT_EQ(gray, (std::vector<uint8_t>{255, 0, 29, 149, 77, 145}));
    std::vector<uint8_t> cube, greys;
    for (int b = 0; b < 256; b += 15)
        for (int g = 0; g < 256; g += 5)
            for (int r = 0; r < 256; r += 3) cube.insert(cube.end(), {uint8_t(b), uint8_t(g), uint8_t(r)});
    for (int v = 0; v < 256; ++v) greys.insert(greys.end(), {uint8_t(v), uint8_t(v), uint8_t(v)});
    for (const std::vector<uint8_t>* row : {&cube, &greys}) {
        const int32_t width = static_cast<int32_t>(row->size() / 3);
        std::vector<uint8_t> out(static_cast<size_t>(width));
        BgrRowToGrayScalar(row->data(), width, out.data());
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t* p = row->data() + 3 * x;
            const double exact = 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
            ASSERT_LE(std::fabs(out[x] - exact), row == &greys ? 1e-9 : 1.0) << int(p[0]) << " " << int(p[1]) << " "
                                                                          << int(p[2]);
        }
    }
    // Bits of odd widths at the edge thresholds, with guard bytes after them.
    for (int32_t width : {1, 7, 8, 9, 33}) {
        const std::vector<uint8_t> row = MixedRow(width, 0);
        std::vector<uint8_t> grayRow(static_cast<size_t>(width));
        BgrRowToGrayScalar(row.data(), width, grayRow.data());
        for (int threshold : {0, 1, 128, 254, 255}) {
            std::vector<uint8_t> bits((width + 7) / 8 + 2, 0xA5);
            BgrRowToBlackWhiteScalar(row.data(), width, uint8_t(threshold), bits.data());
            std::vector<uint8_t> expected = PackBits(grayRow, threshold);
            expected.insert(expected.end(), {0xA5, 0xA5});
            EXPECT_EQ(bits, expected) << width << " at " << threshold;
        }
    }
    std::vector<uint8_t> allWhite(1, 0);
    BgrRowToBlackWhiteScalar(known.data(), 5, 0, allWhite.data());
    EXPECT_EQ(allWhite[0], 0xF8);
}

// Every instruction set gives the scalar rows' bytes at every width around its
// blocks and every threshold, touching nothing past the row (the input is
// exactly the row's size, for the address sanitizer; the output has guards).
TEST(PagePixels, EveryInstructionSetMatchesTheScalarRows) {
    for (InstructionSet set : {InstructionSet::Scalar, InstructionSet::SSE2, InstructionSet::AVX2}) {
        if (!UseInstructionSet(set)) continue;
        SCOPED_TRACE(testing::Message() << "instruction set " << static_cast<int>(set));
        std::vector<int32_t> widths;
        for (int32_t w = 1; w <= 70; ++w) widths.push_back(w);
        widths.insert(widths.end(), {255, 256, 257, 1921});
        for (int32_t width : widths) {
            for (uint32_t seed : {0u, 1u, 2u}) {
                const std::vector<uint8_t> row = MixedRow(width, seed);
                std::vector<uint8_t> gray(static_cast<size_t>(width) + 16, 0xA5), reference = gray;
                BgrRowToGray(row.data(), width, gray.data());
                BgrRowToGrayScalar(row.data(), width, reference.data());
                ASSERT_EQ(gray, reference) << width << " seed " << seed;
                for (int threshold = 0; threshold < 256; threshold += (width < 40 ? 1 : 17)) {
                    std::vector<uint8_t> bits((width + 7) / 8 + 4, 0xA5), scalar = bits;
                    BgrRowToBlackWhite(row.data(), width, uint8_t(threshold), bits.data());
                    BgrRowToBlackWhiteScalar(row.data(), width, uint8_t(threshold), scalar.data());
                    ASSERT_EQ(bits, scalar) << width << " seed " << seed << " at " << threshold;
                }
            }
        }
    }
    UseInstructionSet(BestInstructionSet());
}
