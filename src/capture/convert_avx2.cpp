// AVX2 rows: 32 pixels (16 chroma pairs) a block. AVX2 works in two 128-bit
// halves, so each half carries 8 pairs through the arithmetic and the byte
// shuffles, and the halves are put in order only for the stores.

#include "capture/convert_kernels.h"

#ifdef SNAPWARD_X86_KERNELS

#include <immintrin.h>

namespace {

constexpr int32_t BLOCK = 32;

struct ChromaTerms {
    __m256i blue;
    __m256i green;
    __m256i red;
};

// As in the SSE2 rows: u4 and v4 hold 4 * (U - 128) and 4 * (V - 128).
SNAPWARD_KERNEL_INLINE ChromaTerms TermsFor(__m256i u4, __m256i v4) {
    const __m256i uNegative = _mm256_srai_epi16(u4, 15);
    const __m256i vNegative = _mm256_srai_epi16(v4, 15);
    const __m256i blue = _mm256_mulhi_epi16(u4, _mm256_set1_epi16(BLUE_FROM_U_Q14));
    const __m256i red = _mm256_mulhi_epi16(v4, _mm256_set1_epi16(RED_FROM_V_Q14));
    const __m256i greenU = _mm256_mulhi_epi16(u4, _mm256_set1_epi16(GREEN_FROM_U_Q14));
    const __m256i greenV = _mm256_mulhi_epi16(v4, _mm256_set1_epi16(GREEN_FROM_V_Q14));
    return {_mm256_sub_epi16(blue, uNegative),
            _mm256_sub_epi16(_mm256_add_epi16(uNegative, vNegative), _mm256_add_epi16(greenU, greenV)),
            _mm256_sub_epi16(red, vNegative)};
}

// Within each half, packus leaves the 8 clamped values of its first operand in
// bytes 0-7 and those of its second in bytes 8-15. A pair j's output is three
// 16-bit words, (B0 G0) (R0 B1) (G1 R1): word j of source s goes to word
// 3j + s of the half's 48 bytes, that is to position (3j + s) % 8 of output
// register (3j + s) / 8. These shuffles move word j of each source to that
// position, which no other word of the same source needs in any of the three
// output registers; blends then pick each position from its source.
#define SNAPWARD_WORD(j) static_cast<char>(j), static_cast<char>((j) + 8)
#define SNAPWARD_WORDS(a, b, c, d, e, f, g, h)                                                \
    SNAPWARD_WORD(a), SNAPWARD_WORD(b), SNAPWARD_WORD(c), SNAPWARD_WORD(d), SNAPWARD_WORD(e), \
        SNAPWARD_WORD(f), SNAPWARD_WORD(g), SNAPWARD_WORD(h)
#define SNAPWARD_BOTH_HALVES(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)

SNAPWARD_KERNEL_INLINE void StoreBlock(__m256i lumaEven, __m256i lumaOdd, const ChromaTerms& t,
                                       uint8_t* out) {
    const __m256i first =
        _mm256_packus_epi16(_mm256_add_epi16(lumaEven, t.blue), _mm256_add_epi16(lumaEven, t.green));
    const __m256i second =
        _mm256_packus_epi16(_mm256_add_epi16(lumaEven, t.red), _mm256_add_epi16(lumaOdd, t.blue));
    const __m256i third =
        _mm256_packus_epi16(_mm256_add_epi16(lumaOdd, t.green), _mm256_add_epi16(lumaOdd, t.red));
    const __m256i s0 =
        _mm256_shuffle_epi8(first, SNAPWARD_BOTH_HALVES(SNAPWARD_WORDS(0, 3, 6, 1, 4, 7, 2, 5)));
    const __m256i s1 =
        _mm256_shuffle_epi8(second, SNAPWARD_BOTH_HALVES(SNAPWARD_WORDS(5, 0, 3, 6, 1, 4, 7, 2)));
    const __m256i s2 =
        _mm256_shuffle_epi8(third, SNAPWARD_BOTH_HALVES(SNAPWARD_WORDS(2, 5, 0, 3, 6, 1, 4, 7)));
    // Word positions of source 0 in output registers 0, 1, 2: {0,3,6}, {1,4,7},
    // {2,5}; source 1 and source 2 are the same sets rotated.
    constexpr int AT_0_3_6 = 0x49, AT_1_4_7 = 0x92, AT_2_5 = 0x24;
    const __m256i r0 = _mm256_blend_epi16(_mm256_blend_epi16(s0, s1, AT_1_4_7), s2, AT_2_5);
    const __m256i r1 = _mm256_blend_epi16(_mm256_blend_epi16(s0, s1, AT_2_5), s2, AT_0_3_6);
    const __m256i r2 = _mm256_blend_epi16(_mm256_blend_epi16(s0, s1, AT_0_3_6), s2, AT_1_4_7);
    // The low halves hold bytes 0-47 of the block, the high halves 48-95.
    __m256i* to = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(to, _mm256_permute2x128_si256(r0, r1, 0x20));
    _mm256_storeu_si256(to + 1, _mm256_blend_epi32(r2, r0, 0xF0));
    _mm256_storeu_si256(to + 2, _mm256_permute2x128_si256(r1, r2, 0x31));
}

#undef SNAPWARD_BOTH_HALVES
#undef SNAPWARD_WORDS
#undef SNAPWARD_WORD

SNAPWARD_KERNEL_INLINE __m256i Load(const uint8_t* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

SNAPWARD_KERNEL_INLINE __m128i Load128(const uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

SNAPWARD_KERNEL_INLINE void Nv12Block(const uint8_t* luma, const uint8_t* chroma, uint8_t* out) {
    const __m256i y = Load(luma);
    const __m256i uv = _mm256_xor_si256(Load(chroma), _mm256_set1_epi8(static_cast<char>(0x80)));
    const __m256i u4 = _mm256_srai_epi16(_mm256_slli_epi16(uv, 8), 6);
    const __m256i v4 =
        _mm256_srai_epi16(_mm256_and_si256(uv, _mm256_set1_epi16(static_cast<int16_t>(0xFF00))), 6);
    StoreBlock(_mm256_and_si256(y, _mm256_set1_epi16(0x00FF)), _mm256_srli_epi16(y, 8), TermsFor(u4, v4),
               out);
}

// 64 bytes, loaded so that pairs 0-7 end in the low half and 8-15 in the high
// half: bytes 0-15 and 32-47 in one register, 16-31 and 48-63 in the other.
// Within each half, one shuffle gathers the 4 pairs' even lumas and then their
// odd lumas as 16-bit words, another their U and then their V in the high
// bytes of 16-bit words (256 times the value).
SNAPWARD_KERNEL_INLINE void Yuy2Block(const uint8_t* yuy2, uint8_t* out) {
    const __m256i a = _mm256_inserti128_si256(_mm256_castsi128_si256(Load128(yuy2)), Load128(yuy2 + 32), 1);
    const __m256i b =
        _mm256_inserti128_si256(_mm256_castsi128_si256(Load128(yuy2 + 16)), Load128(yuy2 + 48), 1);
    constexpr char Z = -128;  // a shuffle index that yields zero
    const __m256i lumas = _mm256_setr_epi8(0, Z, 4, Z, 8, Z, 12, Z, 2, Z, 6, Z, 10, Z, 14, Z,  //
                                           0, Z, 4, Z, 8, Z, 12, Z, 2, Z, 6, Z, 10, Z, 14, Z);
    const __m256i chromas = _mm256_setr_epi8(Z, 1, Z, 5, Z, 9, Z, 13, Z, 3, Z, 7, Z, 11, Z, 15,  //
                                             Z, 1, Z, 5, Z, 9, Z, 13, Z, 3, Z, 7, Z, 11, Z, 15);
    const __m256i lumaA = _mm256_shuffle_epi8(a, lumas), lumaB = _mm256_shuffle_epi8(b, lumas);
    const __m256i chromaA = _mm256_shuffle_epi8(a, chromas), chromaB = _mm256_shuffle_epi8(b, chromas);
    // Flipping the top bit of the value makes it 256 * (value - 128).
    const __m256i flip = _mm256_set1_epi16(static_cast<int16_t>(0x8000));
    const __m256i u4 = _mm256_srai_epi16(_mm256_xor_si256(_mm256_unpacklo_epi64(chromaA, chromaB), flip), 6);
    const __m256i v4 = _mm256_srai_epi16(_mm256_xor_si256(_mm256_unpackhi_epi64(chromaA, chromaB), flip), 6);
    StoreBlock(_mm256_unpacklo_epi64(lumaA, lumaB), _mm256_unpackhi_epi64(lumaA, lumaB), TermsFor(u4, v4),
               out);
}

}  // namespace

// As the SSE2 rows: whole blocks, the last one moved back to end at the last
// even pixel; rows too short for one block go to the SSE2 rows.
int32_t Nv12RowAvx2(const uint8_t* luma, const uint8_t* chroma, int32_t width, uint8_t* out) {
    const int32_t even = width & ~1;
    if (even < BLOCK) return Nv12RowSse2(luma, chroma, width, out);
    for (int32_t x = 0;; x += BLOCK) {
        if (x > even - BLOCK) x = even - BLOCK;
        Nv12Block(luma + x, chroma + x, out + 3 * x);
        if (x == even - BLOCK) return even;
    }
}

int32_t Yuy2RowAvx2(const uint8_t* yuy2, int32_t width, uint8_t* out) {
    const int32_t even = width & ~1;
    if (even < BLOCK) return Yuy2RowSse2(yuy2, width, out);
    for (int32_t x = 0;; x += BLOCK) {
        if (x > even - BLOCK) x = even - BLOCK;
        Yuy2Block(yuy2 + 2 * x, out + 3 * x);
        if (x == even - BLOCK) return even;
    }
}

// As the SSE2 copy, in 32-byte vectors.
int32_t CopyRowAvx2(uint8_t* dst, const uint8_t* src, int32_t bytes, const uint8_t* nextDst,
                    const uint8_t* nextSrc) {
    constexpr int32_t VECTOR = 32, LINE = 2 * VECTOR;
    if (bytes < LINE) return 0;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), Load(src));
    int32_t x = VECTOR - static_cast<int32_t>(reinterpret_cast<uintptr_t>(dst) % VECTOR);
    for (; x <= bytes - LINE; x += LINE) {
        _mm_prefetch(reinterpret_cast<const char*>(nextSrc + x), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(nextDst + x), _MM_HINT_T0);
        const __m256i a = Load(src + x), b = Load(src + x + VECTOR);
        _mm256_store_si256(reinterpret_cast<__m256i*>(dst + x), a);
        _mm256_store_si256(reinterpret_cast<__m256i*>(dst + x + VECTOR), b);
    }
    for (x = bytes - LINE; x < bytes; x += VECTOR)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x), Load(src + x));
    return bytes;
}

#endif
