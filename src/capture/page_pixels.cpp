#include "capture/page_pixels.h"

#include "capture/convert_kernels.h"

namespace {

inline uint8_t Luma(const uint8_t* pixel) {
    return static_cast<uint8_t>(
        (LUMA_BLUE * pixel[0] + LUMA_GREEN * pixel[1] + LUMA_RED * pixel[2] + LUMA_ROUNDING) >> LUMA_SHIFT);
}

}  // namespace

void BgrRowToGrayScalar(const uint8_t* bgr, int32_t width, uint8_t* gray) {
    for (int32_t x = 0; x < width; ++x) gray[x] = Luma(bgr + 3 * x);
}

void BgrRowToBlackWhiteScalar(const uint8_t* bgr, int32_t width, uint8_t threshold, uint8_t* bits) {
    // Byte by byte and without a branch per pixel: on a camera's noisy
    // pixels near the threshold a branch is mispredicted half the time.
    for (int32_t x = 0; x < width; x += 8) {
        const int32_t count = width - x < 8 ? width - x : 8;
        unsigned byte = 0;
        for (int32_t i = 0; i < count; ++i) {
            byte |= static_cast<unsigned>(Luma(bgr + 3 * (x + i)) >= threshold) << (7 - i);
        }
        bits[x / 8] = static_cast<uint8_t>(byte);
    }
}

// The AVX2 rows leave rows shorter than their blocks, and the ends of rows, to
// the SSE2 rows.
void BgrRowToGray(const uint8_t* bgr, int32_t width, uint8_t* gray) {
    int32_t done = 0;
#ifdef SNAPWARD_X86_KERNELS
    const InstructionSet set = InstructionSetInUse();
    if (set == InstructionSet::AVX2) done = GrayRowAvx2(bgr, width, gray);
    if (set != InstructionSet::Scalar) done += GrayRowSse2(bgr + 3 * done, width - done, gray + done);
#endif
    BgrRowToGrayScalar(bgr + 3 * done, width - done, gray + done);
}

void BgrRowToBlackWhite(const uint8_t* bgr, int32_t width, uint8_t threshold, uint8_t* bits) {
    int32_t done = 0;
#ifdef SNAPWARD_X86_KERNELS
    const InstructionSet set = InstructionSetInUse();
    if (set == InstructionSet::AVX2) done = BlackWhiteRowAvx2(bgr, width, threshold, bits);
    if (set != InstructionSet::Scalar) {
        done += BlackWhiteRowSse2(bgr + 3 * done, width - done, threshold, bits + done / 8);
    }
#endif
    BgrRowToBlackWhiteScalar(bgr + 3 * done, width - done, threshold, bits + done / 8);
}
