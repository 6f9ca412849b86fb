#pragma once
// CapturedFrame -> packed 24-bit DIB (BITMAPINFOHEADER + pixels) and the
// 14-byte BMP file header in front of it. Byte layouts only, little-endian
// whatever the host.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/frame.h"

constexpr size_t DIB_HEADER_SIZE = 40;
constexpr size_t BMP_FILE_HEADER_SIZE = 14;
constexpr int32_t DIB_PELS_PER_METER = 3780;  // 96 dots per inch

// Bytes of the packed DIB of `frame`: 40 + height * stride. 0 when there is no
// bitmap to make: a zero-sized frame, or one whose fields disagree with each
// other (stride not the padded 3 * width, pixels not height * stride bytes).
size_t PackedDibSize(const CapturedFrame& frame);

// Writes the packed DIB of `frame` to `dest`, which must hold
// PackedDibSize(frame) bytes. False, with nothing written, when that size is 0.
bool WritePackedDib(const CapturedFrame& frame, uint8_t* dest);

// The packed DIB as a new byte vector; empty when PackedDibSize(frame) is 0.
std::vector<uint8_t> EncodePackedDib(const CapturedFrame& frame);

// The BMP file header for the `length`-byte packed DIB at `packedDib`, sized from
// the DIB's own biSize, palette (biClrUsed entries; when 0, 2^biBitCount for 8
// bits or fewer) and biSizeImage. All zero (no "BM") when the block is not such
// a DIB: shorter than 40 bytes, biSize below 40, or shorter than biSize, palette
// and biSizeImage together.
std::array<uint8_t, BMP_FILE_HEADER_SIZE> EncodeBmpFileHeader(const uint8_t* packedDib,
                                                              size_t length);
