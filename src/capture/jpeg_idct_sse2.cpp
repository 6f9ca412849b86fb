// SSE2 inverse DCTs: the scalar transforms' arithmetic, term for term, with
// 32-bit sums from pmaddwd over pairs of 16-bit coefficients, so that the
// results are the same bytes. A pass works on eight columns (or rows) at
// once, four to a register in 32 bits; between the passes and after the
// second the block is transposed.

#include "capture/convert_kernels.h"
#include "capture/jpeg_kernels.h"

#ifdef SNAPWARD_X86_KERNELS

#include <emmintrin.h>

#include <cstring>

namespace {

using namespace jpeg_idct;

// pmaddwd's operand for lanes holding (first, second) pairs: first * a + second * b.
SNAPWARD_KERNEL_INLINE __m128i Pair(int32_t a, int32_t b) {
    return _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(b) << 16 | static_cast<uint16_t>(a)));
}

SNAPWARD_KERNEL_INLINE __m128i Madd(__m128i pairs, int32_t a, int32_t b) {
    return _mm_madd_epi16(pairs, Pair(a, b));
}

template <bool HIGH>
SNAPWARD_KERNEL_INLINE __m128i Interleave(__m128i a, __m128i b) {
    return HIGH ? _mm_unpackhi_epi16(a, b) : _mm_unpacklo_epi16(a, b);
}

// Transform8 of jpeg_decoder.cpp on four lanes: f holds eight 16-bit lanes
// per coefficient, HIGH picks lanes 4..7 over 0..3.
template <bool HIGH>
SNAPWARD_KERNEL_INLINE void Transform8(const __m128i* f, __m128i* x) {
    const __m128i f04 = Interleave<HIGH>(f[0], f[4]), f26 = Interleave<HIGH>(f[2], f[6]);
    const __m128i f13 = Interleave<HIGH>(f[1], f[3]), f57 = Interleave<HIGH>(f[5], f[7]);
    const __m128i p0 = Madd(f04, R2, R2), p1 = Madd(f04, R2, -R2);
    const __m128i q0 = Madd(f26, C1_8, C3_8), q1 = Madd(f26, C3_8, -C1_8);
    const __m128i e[4] = {_mm_add_epi32(p0, q0), _mm_add_epi32(p1, q1), _mm_sub_epi32(p1, q1),
                          _mm_sub_epi32(p0, q0)};
    for (int n = 0; n < 4; ++n) {
        const __m128i o =
            _mm_add_epi32(Madd(f13, ODD8[n][0], ODD8[n][1]), Madd(f57, ODD8[n][2], ODD8[n][3]));
        x[n] = _mm_add_epi32(e[n], o);
        x[7 - n] = _mm_sub_epi32(e[n], o);
    }
}

// Transform4 of jpeg_decoder.cpp on four lanes, from the pairs (f0, f2),
// (f6, 0), (f1, f3) and (f5, f7).
SNAPWARD_KERNEL_INLINE void Transform4(__m128i f02, __m128i f6z, __m128i f13, __m128i f57, __m128i* y) {
    const __m128i plus = _mm_add_epi32(Madd(f02, R2, T4_2), Madd(f6z, -T4_6, 0));  // z + t
    const __m128i minus = _mm_add_epi32(Madd(f02, R2, -T4_2), Madd(f6z, T4_6, 0));  // z - t
    const __m128i o0 = _mm_add_epi32(Madd(f13, A4_1, A4_3), Madd(f57, -A4_5, -A4_7));
    const __m128i o1 = _mm_add_epi32(Madd(f13, B4_1, -B4_3), Madd(f57, B4_5, -B4_7));
    y[0] = _mm_add_epi32(plus, o0);
    y[3] = _mm_sub_epi32(plus, o0);
    y[1] = _mm_add_epi32(minus, o1);
    y[2] = _mm_sub_epi32(minus, o1);
}

// The first pass's rounding shift, eight lanes back to 16 bits (saturating).
SNAPWARD_KERNEL_INLINE __m128i DescalePack(__m128i low, __m128i high) {
    const __m128i round = _mm_set1_epi32(1 << (CONST_BITS - PASS1_BITS - 1));
    return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(low, round), CONST_BITS - PASS1_BITS),
                           _mm_srai_epi32(_mm_add_epi32(high, round), CONST_BITS - PASS1_BITS));
}

// The second pass's samples, before the clamp: saturation to 16 bits and
// then packus's to 0..255 clamp as Clamp255 does.
SNAPWARD_KERNEL_INLINE __m128i OutputPack(__m128i low, __m128i high) {
    const __m128i bias = _mm_set1_epi32(OUT_BIAS);
    return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(low, bias), OUT_SHIFT),
                           _mm_srai_epi32(_mm_add_epi32(high, bias), OUT_SHIFT));
}

SNAPWARD_KERNEL_INLINE void Transpose8x8(const __m128i* r, __m128i* c) {
    const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    c[0] = _mm_unpacklo_epi64(b0, b4);
    c[1] = _mm_unpackhi_epi64(b0, b4);
    c[2] = _mm_unpacklo_epi64(b1, b5);
    c[3] = _mm_unpackhi_epi64(b1, b5);
    c[4] = _mm_unpacklo_epi64(b2, b6);
    c[5] = _mm_unpackhi_epi64(b2, b6);
    c[6] = _mm_unpacklo_epi64(b3, b7);
    c[7] = _mm_unpackhi_epi64(b3, b7);
}

SNAPWARD_KERNEL_INLINE __m128i LoadRow(const int16_t* block, int row) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(block + 8 * row));
}

}  // namespace

void Idct8Sse2(const int16_t* block, uint8_t* out, int stride) {
    __m128i f[8], w[8], x[8], xHigh[8];
    for (int row = 0; row < 8; ++row) f[row] = LoadRow(block, row);
    // Columns: lane c of row n of the result is work[n * 8 + c] of the scalar pass.
    Transform8<false>(f, x);
    Transform8<true>(f, xHigh);
    for (int n = 0; n < 8; ++n) w[n] = DescalePack(x[n], xHigh[n]);
    // Rows: after the transpose lane r holds row r.
    Transpose8x8(w, f);
    Transform8<false>(f, x);
    Transform8<true>(f, xHigh);
    for (int n = 0; n < 8; ++n) w[n] = OutputPack(x[n], xHigh[n]);  // column n of the output
    Transpose8x8(w, f);
    for (int row = 0; row < 8; row += 2, out += 2 * stride) {
        const __m128i bytes = _mm_packus_epi16(f[row], f[row + 1]);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + stride), _mm_srli_si128(bytes, 8));
    }
}

void Idct4Sse2(const int16_t* block, uint8_t* out, int stride) {
    const __m128i zero = _mm_setzero_si128();
    __m128i f[8];
    for (int row = 0; row < 8; ++row) f[row] = LoadRow(block, row);
    // Columns; column 4 is transformed too, and then not used.
    __m128i y[4], yHigh[4], w[4];
    Transform4(_mm_unpacklo_epi16(f[0], f[2]), _mm_unpacklo_epi16(f[6], zero), _mm_unpacklo_epi16(f[1], f[3]),
               _mm_unpacklo_epi16(f[5], f[7]), y);
    Transform4(_mm_unpackhi_epi16(f[0], f[2]), _mm_unpackhi_epi16(f[6], zero), _mm_unpackhi_epi16(f[1], f[3]),
               _mm_unpackhi_epi16(f[5], f[7]), yHigh);
    for (int n = 0; n < 4; ++n) w[n] = DescalePack(y[n], yHigh[n]);
    // Four rows of eight to columns in 64-bit halves: (0, 1), (2, 3), (4, 5), (6, 7).
    const __m128i a0 = _mm_unpacklo_epi16(w[0], w[1]), a1 = _mm_unpackhi_epi16(w[0], w[1]);
    const __m128i a2 = _mm_unpacklo_epi16(w[2], w[3]), a3 = _mm_unpackhi_epi16(w[2], w[3]);
    const __m128i c01 = _mm_unpacklo_epi32(a0, a2), c23 = _mm_unpackhi_epi32(a0, a2);
    const __m128i c45 = _mm_unpacklo_epi32(a1, a3), c67 = _mm_unpackhi_epi32(a1, a3);
    Transform4(_mm_unpacklo_epi16(c01, c23), _mm_unpacklo_epi16(c67, zero), _mm_unpackhi_epi16(c01, c23),
               _mm_unpackhi_epi16(c45, c67), y);
    // Bytes y0 of rows 0..3, then y2's, y1's and y3's; two interleaves make
    // each 32-bit lane one row.
    const __m128i bytes = _mm_packus_epi16(OutputPack(y[0], y[2]), OutputPack(y[1], y[3]));
    const __m128i pairs = _mm_unpacklo_epi8(bytes, _mm_srli_si128(bytes, 8));
    __m128i rows = _mm_unpacklo_epi16(pairs, _mm_srli_si128(pairs, 8));
    for (int row = 0; row < 4; ++row, out += stride, rows = _mm_srli_si128(rows, 4)) {
        const uint32_t samples = static_cast<uint32_t>(_mm_cvtsi128_si32(rows));
        std::memcpy(out, &samples, 4);
    }
}

#endif
