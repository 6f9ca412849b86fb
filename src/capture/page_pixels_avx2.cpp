// AVX2 page rows: 32 pixels a block, eight to a register, four in each
// 128-bit half. The lower half is loaded at a group's first pixel and the upper
// one 8 bytes further, so that the group's 24 bytes are all that is read; byte
// shuffles within each half then set out blue and red, and green, as 16-bit
// pairs for the multiply-adds.

#include "capture/page_pixels.h"

#include "capture/convert_kernels.h"

#ifdef SNAPWARD_X86_KERNELS

#include <immintrin.h>

#include <array>

namespace {

constexpr int32_t BLOCK = 32;
constexpr char NONE = static_cast<char>(0x80);  // a shuffle index that gives 0

// Blue and red of pixel i, at byte `at` of its half, as two 16-bit lanes; its
// green as one 16-bit lane beside a zero one.
#define SNAPWARD_BLUE_RED(at) (at), NONE, (at) + 2, NONE
#define SNAPWARD_GREEN(at) (at) + 1, NONE, NONE, NONE

// Lumas of eight pixels as 32-bit lanes: pixels 0-3 in the lower half, 4-7 in
// the upper.
SNAPWARD_KERNEL_INLINE __m256i LumaOf8(const uint8_t* bgr) {
    const __m256i bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 8)), 1);
    const __m256i blueRed = _mm256_shuffle_epi8(
        bytes, _mm256_setr_epi8(SNAPWARD_BLUE_RED(0), SNAPWARD_BLUE_RED(3), SNAPWARD_BLUE_RED(6), SNAPWARD_BLUE_RED(9),
                                SNAPWARD_BLUE_RED(4), SNAPWARD_BLUE_RED(7), SNAPWARD_BLUE_RED(10),
                                SNAPWARD_BLUE_RED(13)));
    const __m256i green = _mm256_shuffle_epi8(
        bytes, _mm256_setr_epi8(SNAPWARD_GREEN(0), SNAPWARD_GREEN(3), SNAPWARD_GREEN(6), SNAPWARD_GREEN(9),
                                SNAPWARD_GREEN(4), SNAPWARD_GREEN(7), SNAPWARD_GREEN(10), SNAPWARD_GREEN(13)));
    const __m256i sum =
        _mm256_add_epi32(_mm256_madd_epi16(blueRed, _mm256_set1_epi32(LUMA_BLUE | LUMA_RED << 16)),
                         _mm256_madd_epi16(green, _mm256_set1_epi32(LUMA_GREEN)));
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(LUMA_ROUNDING)), LUMA_SHIFT);
}

#undef SNAPWARD_BLUE_RED
#undef SNAPWARD_GREEN

// Lumas of 32 pixels in order. The packs work within halves, leaving groups of
// four pixels in the order 0 2 4 6 1 3 5 7; the permute puts them back.
SNAPWARD_KERNEL_INLINE __m256i LumaOf32(const uint8_t* bgr) {
    // Every luma is at most 255, so the signed pack keeps it.
    const __m256i low = _mm256_packs_epi32(LumaOf8(bgr), LumaOf8(bgr + 24));
    const __m256i high = _mm256_packs_epi32(LumaOf8(bgr + 48), LumaOf8(bgr + 72));
    return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low, high), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

}  // namespace

int32_t GrayRowAvx2(const uint8_t* bgr, int32_t width, uint8_t* gray) {
    int32_t x = 0;
    for (; x + BLOCK <= width; x += BLOCK) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(gray + x), LumaOf32(bgr + 3 * x));
    }
    return x;
}

int32_t BlackWhiteRowAvx2(const uint8_t* bgr, int32_t width, uint8_t threshold, uint8_t* bits) {
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(threshold));
    int32_t x = 0;
    for (; x + BLOCK <= width; x += BLOCK) {
        const __m256i luma = LumaOf32(bgr + 3 * x);
        // Unsigned luma >= threshold exactly where the larger of the two is the luma.
        const auto white =
            static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(luma, limit), luma)));
        for (int i = 0; i < 4; ++i) bits[x / 8 + i] = REVERSED_BITS[(white >> 8 * i) & 0xff];
    }
    return x;
}

#endif
