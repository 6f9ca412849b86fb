// SSE2 colour rows of DecodeJpeg: the scalar rows' fixed point, term for term.
// The table products c * 91881, c * 116130 and c * -46802 do not fit 16 bits;
// each is split into a multiple of 65536 (which passes through the shift
// whole, as a multiple of c) and a remainder that pmaddwd takes, so that the
// rounding is the tables' and the bytes are the same.

#include "capture/convert_kernels.h"
#include "capture/jpeg_kernels.h"

#ifdef SNAPWARD_X86_KERNELS

#include <emmintrin.h>

#include <cstring>

namespace {

constexpr int32_t PIXELS = 8;

// 91881 = 65536 + 26345, 116130 = 2 * 65536 - 14942, -46802 = -65536 + 18734.
constexpr int16_t RED_REST = 26345;
constexpr int16_t BLUE_REST = -14942;
constexpr int16_t GREEN_FROM_CB = -22554;
constexpr int16_t GREEN_FROM_CR_REST = 18734;

SNAPWARD_KERNEL_INLINE __m128i Pair(int16_t forCb, int16_t forCr) {
    return _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(forCr)) << 16 |
                                               static_cast<uint16_t>(forCb)));
}

// (sum + 32768) >> 16 of the products of eight (Cb, Cr) pairs, back in 16 bits.
SNAPWARD_KERNEL_INLINE __m128i Rounded(__m128i low, __m128i high, __m128i weights) {
    const __m128i half = _mm_set1_epi32(32768);
    return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(low, weights), half), 16),
                           _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(high, weights), half), 16));
}

// Eight chroma samples as 16-bit lanes; at `shift` 1 each of four is used twice.
SNAPWARD_KERNEL_INLINE __m128i LoadChroma(const uint8_t* at, int shift) {
    const __m128i zero = _mm_setzero_si128();
    if (shift == 0) return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)), zero);
    uint32_t four;
    std::memcpy(&four, at, 4);
    const __m128i bytes = _mm_cvtsi32_si128(static_cast<int32_t>(four));
    return _mm_unpacklo_epi8(_mm_unpacklo_epi8(bytes, bytes), zero);
}

// Two pixels of BGR0 in each 64-bit half to their 6 bytes at its bottom.
SNAPWARD_KERNEL_INLINE __m128i Squeeze(__m128i bgr0) {
    const __m128i first = _mm_and_si128(bgr0, _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF));
    const int32_t top = static_cast<int32_t>(0xFF000000u);
    const __m128i second = _mm_and_si128(_mm_srli_epi64(bgr0, 8), _mm_set_epi32(0xFFFF, top, 0xFFFF, top));
    return _mm_or_si128(first, second);
}

// 8 bytes at `at`, of which the last 2 are the next pair's.
SNAPWARD_KERNEL_INLINE void StorePairs(uint8_t* at, __m128i pairs) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at), pairs);
    _mm_storeh_pi(reinterpret_cast<__m64*>(at + 6), _mm_castsi128_ps(pairs));
}

}  // namespace

// Each block's last 8-byte store reaches 2 bytes past its pixels, so a block
// is done only when another pixel follows it in the row.
int32_t YccRowSse2(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, int cbShift, int crShift,
                   int32_t width, uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i centre = _mm_set1_epi16(128);
    int32_t x = 0;
    for (; x + PIXELS < width; x += PIXELS) {
        const __m128i y = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(luma + x)), zero);
        const __m128i b = _mm_sub_epi16(LoadChroma(cb + (x >> cbShift), cbShift), centre);
        const __m128i r = _mm_sub_epi16(LoadChroma(cr + (x >> crShift), crShift), centre);
        const __m128i low = _mm_unpacklo_epi16(b, r), high = _mm_unpackhi_epi16(b, r);
        const __m128i blue = _mm_add_epi16(Rounded(low, high, Pair(BLUE_REST, 0)), _mm_add_epi16(b, b));
        const __m128i green = _mm_sub_epi16(Rounded(low, high, Pair(GREEN_FROM_CB, GREEN_FROM_CR_REST)), r);
        const __m128i red = _mm_add_epi16(Rounded(low, high, Pair(0, RED_REST)), r);
        // packus clamps to 0..255 as the scalar rows' table does.
        const __m128i blueGreen = _mm_packus_epi16(_mm_add_epi16(y, blue), _mm_add_epi16(y, green));
        const __m128i red0 = _mm_packus_epi16(_mm_add_epi16(y, red), zero);
        const __m128i bg = _mm_unpacklo_epi8(blueGreen, _mm_srli_si128(blueGreen, 8));
        const __m128i r0 = _mm_unpacklo_epi8(red0, zero);
        const __m128i first = Squeeze(_mm_unpacklo_epi16(bg, r0));  // pixels 0..3
        const __m128i second = Squeeze(_mm_unpackhi_epi16(bg, r0));  // pixels 4..7
        uint8_t* at = out + 3 * x;
        StorePairs(at, first);
        StorePairs(at + 12, second);
    }
    return x;
}

#endif
