// SSE2 rows: 16 pixels (8 chroma pairs) a block, eight 16-bit lanes a register.
// SSE2 has no byte shuffle, so the blue-green-red interleave is built from
// unpacks, and each pair's 6 bytes are stored as 8 whose last 2 the next pair
// overwrites.

#include "capture/convert_kernels.h"

#ifdef SNAPWARD_X86_KERNELS

#include <emmintrin.h>

#include <cstring>

namespace {

constexpr int32_t BLOCK = 16;

// Per chroma pair, what is added to the luma of both of its pixels.
struct ChromaTerms {
    __m128i blue;
    __m128i green;
    __m128i red;
};

// u4 and v4 hold 4 * (U - 128) and 4 * (V - 128) of eight pairs.
SNAPWARD_KERNEL_INLINE ChromaTerms TermsFor(__m128i u4, __m128i v4) {
    const __m128i uNegative = _mm_srai_epi16(u4, 15);  // -1 where negative, else 0
    const __m128i vNegative = _mm_srai_epi16(v4, 15);
    const __m128i blue = _mm_mulhi_epi16(u4, _mm_set1_epi16(BLUE_FROM_U_Q14));
    const __m128i red = _mm_mulhi_epi16(v4, _mm_set1_epi16(RED_FROM_V_Q14));
    const __m128i greenU = _mm_mulhi_epi16(u4, _mm_set1_epi16(GREEN_FROM_U_Q14));
    const __m128i greenV = _mm_mulhi_epi16(v4, _mm_set1_epi16(GREEN_FROM_V_Q14));
    // Blue and red add trunc(1.772 u) and trunc(1.402 v); green subtracts
    // trunc(0.344 u) and trunc(0.714 v).
    return {_mm_sub_epi16(blue, uNegative),
            _mm_sub_epi16(_mm_add_epi16(uNegative, vNegative), _mm_add_epi16(greenU, greenV)),
            _mm_sub_epi16(red, vNegative)};
}

SNAPWARD_KERNEL_INLINE void StoreQword(uint8_t* at, __m128i low) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at), low);
}

// Writes 16 pixels from the lumas of the even and the odd pixels of eight pairs.
// With `spareAfter` the row goes on for at least one more pixel, which may take
// the 2 bytes written past the block.
SNAPWARD_KERNEL_INLINE void StoreBlock(__m128i lumaEven, __m128i lumaOdd, const ChromaTerms& t, uint8_t* out,
                                       bool spareAfter) {
    // packus clamps to 0..255 on the way to bytes.
    const __m128i blueEvenRedEven =
        _mm_packus_epi16(_mm_add_epi16(lumaEven, t.blue), _mm_add_epi16(lumaEven, t.red));
    const __m128i greenEvenBlueOdd =
        _mm_packus_epi16(_mm_add_epi16(lumaEven, t.green), _mm_add_epi16(lumaOdd, t.blue));
    const __m128i greenOddRedOdd =
        _mm_packus_epi16(_mm_add_epi16(lumaOdd, t.green), _mm_add_epi16(lumaOdd, t.red));
    // A pair's 6 bytes as three 16-bit words: B0 G0, R0 B1, G1 R1.
    const __m128i first = _mm_unpacklo_epi8(blueEvenRedEven, greenEvenBlueOdd);
    const __m128i second = _mm_unpackhi_epi8(blueEvenRedEven, greenEvenBlueOdd);
    const __m128i third = _mm_unpacklo_epi8(greenOddRedOdd, _mm_srli_si128(greenOddRedOdd, 8));
    const __m128i firstTwoLow = _mm_unpacklo_epi16(first, second);
    const __m128i firstTwoHigh = _mm_unpackhi_epi16(first, second);
    const __m128i thirdLow = _mm_unpacklo_epi16(third, third);
    const __m128i thirdHigh = _mm_unpackhi_epi16(third, third);
    // One pair in the low 6 bytes of each 8-byte half.
    const __m128i pairs[4] = {
        _mm_unpacklo_epi32(firstTwoLow, thirdLow), _mm_unpackhi_epi32(firstTwoLow, thirdLow),
        _mm_unpacklo_epi32(firstTwoHigh, thirdHigh), _mm_unpackhi_epi32(firstTwoHigh, thirdHigh)};
    for (int i = 0; i < 3; ++i) {
        StoreQword(out + 12 * i, pairs[i]);
        _mm_storeh_pi(reinterpret_cast<__m64*>(out + 12 * i + 6), _mm_castsi128_ps(pairs[i]));
    }
    StoreQword(out + 36, pairs[3]);
    const __m128i last = _mm_srli_si128(pairs[3], 8);
    if (spareAfter) {
        StoreQword(out + 42, last);
    } else {
        const uint32_t head = static_cast<uint32_t>(_mm_cvtsi128_si32(last));
        const uint16_t tail = static_cast<uint16_t>(_mm_extract_epi16(last, 2));
        std::memcpy(out + 42, &head, 4);
        std::memcpy(out + 46, &tail, 2);
    }
}

SNAPWARD_KERNEL_INLINE __m128i Load(const uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// 16 pixels of NV12: 16 lumas and the 8 U, V pairs they share.
SNAPWARD_KERNEL_INLINE void Nv12Block(const uint8_t* luma, const uint8_t* chroma, uint8_t* out,
                                      bool spareAfter) {
    const __m128i y = Load(luma);
    // Flipping the top bit makes each byte a signed U - 128 or V - 128.
    const __m128i uv = _mm_xor_si128(Load(chroma), _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i u4 = _mm_srai_epi16(_mm_slli_epi16(uv, 8), 6);
    const __m128i v4 = _mm_srai_epi16(_mm_and_si128(uv, _mm_set1_epi16(static_cast<int16_t>(0xFF00))), 6);
    StoreBlock(_mm_and_si128(y, _mm_set1_epi16(0x00FF)), _mm_srli_epi16(y, 8), TermsFor(u4, v4), out,
               spareAfter);
}

// 16 pixels of YUY2: 32 bytes, a pair Y0 U Y1 V in each 32-bit lane.
SNAPWARD_KERNEL_INLINE void Yuy2Block(const uint8_t* yuy2, uint8_t* out, bool spareAfter) {
    const __m128i a = Load(yuy2);
    const __m128i b = Load(yuy2 + 16);
    const __m128i low = _mm_set1_epi32(0xFF);
    const __m128i lumaEven = _mm_packs_epi32(_mm_and_si128(a, low), _mm_and_si128(b, low));
    const __m128i lumaOdd =
        _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 16), low), _mm_and_si128(_mm_srli_epi32(b, 16), low));
    // Flip U's and V's top bits, then shift each to the top of its lane and
    // arithmetically back down to 4 * (value - 128).
    const __m128i flip = _mm_set1_epi32(static_cast<int32_t>(0x80008000u));
    const __m128i sa = _mm_xor_si128(a, flip);
    const __m128i sb = _mm_xor_si128(b, flip);
    // The 2 bits that come along from the luma below are then cleared.
    const __m128i keep = _mm_set1_epi16(~3);
    const __m128i u4 = _mm_and_si128(_mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(sa, 16), 22),
                                                     _mm_srai_epi32(_mm_slli_epi32(sb, 16), 22)),
                                     keep);
    const __m128i v4 = _mm_and_si128(_mm_packs_epi32(_mm_srai_epi32(sa, 22), _mm_srai_epi32(sb, 22)), keep);
    StoreBlock(lumaEven, lumaOdd, TermsFor(u4, v4), out, spareAfter);
}

}  // namespace

// The even pixels are done in whole blocks; a last block that would not fit is
// moved back to end at the last even pixel, rewriting some pixels with the same
// bytes. An odd last pixel is left to the scalar row.
int32_t Nv12RowSse2(const uint8_t* luma, const uint8_t* chroma, int32_t width, uint8_t* out) {
    const int32_t even = width & ~1;
    if (even < BLOCK) return 0;
    for (int32_t x = 0;; x += BLOCK) {
        if (x > even - BLOCK) x = even - BLOCK;
        Nv12Block(luma + x, chroma + x, out + 3 * x, x + BLOCK < width);
        if (x == even - BLOCK) return even;
    }
}

int32_t Yuy2RowSse2(const uint8_t* yuy2, int32_t width, uint8_t* out) {
    const int32_t even = width & ~1;
    if (even < BLOCK) return 0;
    for (int32_t x = 0;; x += BLOCK) {
        if (x > even - BLOCK) x = even - BLOCK;
        Yuy2Block(yuy2 + 2 * x, out + 3 * x, x + BLOCK < width);
        if (x == even - BLOCK) return even;
    }
}

// A cache line a block: the first 16 bytes and the last line are stored
// unaligned, the lines between them aligned to the destination.
int32_t CopyRowSse2(uint8_t* dst, const uint8_t* src, int32_t bytes, const uint8_t* nextDst,
                    const uint8_t* nextSrc) {
    constexpr int32_t VECTOR = 16, LINE = 4 * VECTOR;
    if (bytes < LINE) return 0;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), Load(src));
    int32_t x = VECTOR - static_cast<int32_t>(reinterpret_cast<uintptr_t>(dst) % VECTOR);
    for (; x <= bytes - LINE; x += LINE) {
        _mm_prefetch(reinterpret_cast<const char*>(nextSrc + x), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(nextDst + x), _MM_HINT_T0);
        const __m128i a = Load(src + x), b = Load(src + x + 16), c = Load(src + x + 32), d = Load(src + x + 48);
        _mm_store_si128(reinterpret_cast<__m128i*>(dst + x), a);
        _mm_store_si128(reinterpret_cast<__m128i*>(dst + x + 16), b);
        _mm_store_si128(reinterpret_cast<__m128i*>(dst + x + 32), c);
        _mm_store_si128(reinterpret_cast<__m128i*>(dst + x + 48), d);
    }
    for (x = bytes - LINE; x < bytes; x += VECTOR)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), Load(src + x));
    return bytes;
}

#endif
