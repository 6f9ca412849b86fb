// SSE2 page rows: 16 pixels a block. Without a byte shuffle the pixels are
// gathered by loading at 3-byte steps: a load at pixel k holds pixel k in its
// first 32-bit lane and pixel k + 4 in its last, so four loads give eight
// pixels, one to a lane, their fourth byte the next pixel's blue.

#include "capture/page_pixels.h"

#include "capture/convert_kernels.h"

#ifdef SNAPWARD_X86_KERNELS

#include <emmintrin.h>

#include <array>

namespace {

constexpr int32_t BLOCK = 16;
// The last load of a block reaches one byte into the pixel after it.
constexpr int32_t PIXELS_NEEDED = BLOCK + 1;

SNAPWARD_KERNEL_INLINE __m128i Load(const uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// Lumas of four pixels, one to a 32-bit lane holding blue, green, red and a
// byte to ignore.
SNAPWARD_KERNEL_INLINE __m128i LumaOf4(__m128i pixels) {
    const __m128i blueRed = _mm_and_si128(pixels, _mm_set1_epi32(0x00ff00ff));
    const __m128i greenRest = _mm_srli_epi16(pixels, 8);
    const __m128i sum = _mm_add_epi32(_mm_madd_epi16(blueRed, _mm_set1_epi32(LUMA_BLUE | LUMA_RED << 16)),
                                      _mm_madd_epi16(greenRest, _mm_set1_epi32(LUMA_GREEN)));
    return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(LUMA_ROUNDING)), LUMA_SHIFT);
}

// Lumas of eight pixels as 16-bit lanes.
SNAPWARD_KERNEL_INLINE __m128i LumaOf8(const uint8_t* bgr) {
    const __m128i a = Load(bgr), b = Load(bgr + 3), c = Load(bgr + 6), d = Load(bgr + 9);
    const __m128i first = _mm_unpacklo_epi64(_mm_unpacklo_epi32(a, b), _mm_unpacklo_epi32(c, d));
    const __m128i second = _mm_unpackhi_epi64(_mm_unpackhi_epi32(a, b), _mm_unpackhi_epi32(c, d));
    // Every luma is at most 255, so the signed pack keeps it.
    return _mm_packs_epi32(LumaOf4(first), LumaOf4(second));
}

SNAPWARD_KERNEL_INLINE __m128i LumaOf16(const uint8_t* bgr) {
    return _mm_packus_epi16(LumaOf8(bgr), LumaOf8(bgr + 3 * 8));
}

}  // namespace

int32_t GrayRowSse2(const uint8_t* bgr, int32_t width, uint8_t* gray) {
    int32_t x = 0;
    for (; x + PIXELS_NEEDED <= width; x += BLOCK) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(gray + x), LumaOf16(bgr + 3 * x));
    }
    return x;
}

int32_t BlackWhiteRowSse2(const uint8_t* bgr, int32_t width, uint8_t threshold, uint8_t* bits) {
    const __m128i limit = _mm_set1_epi8(static_cast<char>(threshold));
    int32_t x = 0;
    for (; x + PIXELS_NEEDED <= width; x += BLOCK) {
        const __m128i luma = LumaOf16(bgr + 3 * x);
        // Unsigned luma >= threshold exactly where the larger of the two is the luma.
        const int white = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(luma, limit), luma));
        bits[x / 8] = REVERSED_BITS[static_cast<size_t>(white & 0xff)];
        bits[x / 8 + 1] = REVERSED_BITS[static_cast<size_t>(white >> 8)];
    }
    return x;
}

#endif
