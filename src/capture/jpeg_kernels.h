#pragma once
// The inverse DCTs of DecodeJpeg: their fixed-point constants, shared by the
// scalar transforms in jpeg_decoder.cpp (the reference) and the vector ones,
// one file per instruction set. Declarations and constants only, as in
// convert_kernels.h.
//
// Fixed point with 13 fraction bits; the column pass keeps 2 extra bits. The
// reduced sizes are the full 8-point transform averaged over 2, 4 or 8
// neighbouring outputs, which is what libjpeg's reduced transforms compute:
// the average folds coefficient u with 8 - u, and the even ones above 0 vanish
// for the 2-point output.

#include <cstdint>

namespace jpeg_idct {

constexpr int CONST_BITS = 13;
constexpr int PASS1_BITS = 2;
constexpr int32_t Fix(double x) { return static_cast<int32_t>(x * (1 << CONST_BITS) + 0.5); }

// The 2-D transform is a quarter of the two 1-D passes; 128 recentres.
constexpr int OUT_SHIFT = CONST_BITS + PASS1_BITS + 2;
constexpr int32_t OUT_BIAS = (128 << OUT_SHIFT) + (1 << (OUT_SHIFT - 1));

constexpr int32_t R2 = Fix(0.707106781);    // 1 / sqrt 2
constexpr int32_t C1_8 = Fix(0.923879533);  // cos(pi / 8)
constexpr int32_t C3_8 = Fix(0.382683432);  // cos(3 pi / 8)
// cos((2n + 1) u pi / 16) for u = 1, 3, 5, 7
constexpr int32_t ODD8[4][4] = {
    {Fix(0.980785280), Fix(0.831469612), Fix(0.555570233), Fix(0.195090322)},
    {Fix(0.831469612), -Fix(0.195090322), -Fix(0.980785280), -Fix(0.555570233)},
    {Fix(0.555570233), -Fix(0.980785280), Fix(0.195090322), Fix(0.831469612)},
    {Fix(0.195090322), -Fix(0.555570233), Fix(0.831469612), -Fix(0.980785280)}};

// Constants of the 4-point output: w(u) = c(u) cos(u pi / 16) folds u with 8 - u.
constexpr int32_t T4_2 = Fix(0.653281482);  // w(2) / sqrt 2
constexpr int32_t T4_6 = Fix(0.270598050);  // w(6) / sqrt 2
constexpr int32_t A4_1 = Fix(0.906127446);  // cos(pi / 8) w(1)
constexpr int32_t A4_7 = Fix(0.180239956);  // cos(pi / 8) w(7)
constexpr int32_t A4_3 = Fix(0.318189645);  // cos(3 pi / 8) w(3)
constexpr int32_t A4_5 = Fix(0.212607524);  // cos(3 pi / 8) w(5)
constexpr int32_t B4_1 = Fix(0.375330278);  // cos(3 pi / 8) w(1)
constexpr int32_t B4_7 = Fix(0.074657834);  // cos(3 pi / 8) w(7)
constexpr int32_t B4_3 = Fix(0.768177757);  // cos(pi / 8) w(3)
constexpr int32_t B4_5 = Fix(0.513279967);  // cos(pi / 8) w(5)

}  // namespace jpeg_idct

// Each transforms one dequantised block (natural order, 16-byte aligned) to
// an 8 x 8 or 4 x 4 square of samples at `out`, rows `stride` apart. The same
// bytes as the scalar transforms for every block whose first pass fits 16
// bits, which the coefficients of any 8-bit picture do; beyond that (only
// corrupt data gets there) the first pass saturates, where the scalar one
// keeps 32 bits, and the samples differ but stay samples.
void Idct8Sse2(const int16_t* block, uint8_t* out, int stride);
void Idct4Sse2(const int16_t* block, uint8_t* out, int stride);

// One row of the colour conversion for luma at full output rate: pixel x
// takes luma[x], cb[x >> cbShift] and cr[x >> crShift] (shifts 0 or 1). It
// converts the leading pixels that fill whole blocks, short of the row's last
// pixel, to the scalar rows' bytes and returns how many; the rest are left to
// the scalar row. Reads only what the scalar row reads for those pixels and
// writes only their bytes and, transiently, bytes of the pixel after them.
int32_t YccRowSse2(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, int cbShift, int crShift,
                   int32_t width, uint8_t* out);
