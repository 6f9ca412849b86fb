#pragma once
// Grey and black-and-white pages from the capture's blue-green-red rows, for
// scanning hosts that ask for them. The scalar rows in page_pixels.cpp are the
// reference; the vector kernels, one file per instruction set as in
// convert_kernels.h, give the same bytes for every input, and the set in use
// (InstructionSetInUse) picks them. Declarations and constants only here, for
// the same reason as there.

#include <array>
#include <cstddef>
#include <cstdint>

// Luma = (29 B + 150 G + 77 R + 128) >> 8: the BT.601 weights 0.114, 0.587 and
// 0.299 in 8-bit fixed point. BT.601 because the frames' YUV-to-RGB in
// frame.cpp uses it, so the grey page is the camera's own luma again, within
// rounding. The weights add up to exactly 256, so grey pixels keep their level
// and white stays 255; and the sum stays below 2^16, which lets the vector
// kernels work in 16-bit lanes.
constexpr int32_t LUMA_BLUE = 29;
constexpr int32_t LUMA_GREEN = 150;
constexpr int32_t LUMA_RED = 77;
constexpr int32_t LUMA_SHIFT = 8;
constexpr int32_t LUMA_ROUNDING = 1 << (LUMA_SHIFT - 1);

// Each byte's bits in the opposite order: a vector compare's mask puts the
// first pixel in the lowest bit, where the page wants it highest.
inline constexpr std::array<uint8_t, 256> REVERSED_BITS = [] {
    std::array<uint8_t, 256> table{};
    for (int value = 0; value < 256; ++value) {
        int reversed = 0;
        for (int bit = 0; bit < 8; ++bit) reversed |= ((value >> bit) & 1) << (7 - bit);
        table[static_cast<size_t>(value)] = static_cast<uint8_t>(reversed);
    }
    return table;
}();

// `width` pixels of blue-green-red bytes at `bgr` -> `width` luma bytes.
void BgrRowToGray(const uint8_t* bgr, int32_t width, uint8_t* gray);

// `width` pixels -> (width + 7) / 8 bytes of bits, the first pixel in the most
// significant bit, 1 (white) where the luma is at least `threshold`; the bits
// after the last pixel are 0.
void BgrRowToBlackWhite(const uint8_t* bgr, int32_t width, uint8_t threshold, uint8_t* bits);

// The references themselves, whatever the set in use.
void BgrRowToGrayScalar(const uint8_t* bgr, int32_t width, uint8_t* gray);
void BgrRowToBlackWhiteScalar(const uint8_t* bgr, int32_t width, uint8_t threshold, uint8_t* bits);

// Each converts the leading pixels of a row that fill whole blocks and returns
// how many (a multiple of 8, so that the bits left for the scalar row start on
// a byte). It reads only bytes of the row and writes only the output of those
// pixels.
int32_t GrayRowSse2(const uint8_t* bgr, int32_t width, uint8_t* gray);
int32_t BlackWhiteRowSse2(const uint8_t* bgr, int32_t width, uint8_t threshold, uint8_t* bits);
int32_t GrayRowAvx2(const uint8_t* bgr, int32_t width, uint8_t* gray);
int32_t BlackWhiteRowAvx2(const uint8_t* bgr, int32_t width, uint8_t threshold, uint8_t* bits);
