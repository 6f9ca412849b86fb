#pragma once
// What ConvertFrame and ConvertFrameScaled share: the checks that decide
// whether a raw sample holds the picture, and the colour arithmetic, so that a
// scaled preview refuses exactly the samples a still refuses and its colours
// are the still's colours. For src/capture only.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capture/convert_kernels.h"
#include "capture/frame.h"

namespace frame_detail {

// Full-range BT.601 (JPEG) coefficients, applied to Y without an offset, as
// single-precision values with exactly these bit patterns.
constexpr float RED_FROM_V = std::bit_cast<float>(uint32_t{0xBFB374BC});    // -1.402
constexpr float GREEN_FROM_V = std::bit_cast<float>(uint32_t{0x3F36C8B4});  // 0.714
constexpr float GREEN_FROM_U = std::bit_cast<float>(uint32_t{0xBEB020C5});  // -0.344
constexpr float BLUE_FROM_U = std::bit_cast<float>(uint32_t{0xBFE2D0E5});   // -1.772

struct Geometry {
    int32_t width;
    int32_t height;
    int32_t rowBytes;  // 3 * width
    int32_t stride;    // rowBytes rounded up to a multiple of 4
    int32_t fullSize;  // height * stride
};

// False for negative sizes and for pictures whose byte counts do not fit in int32.
bool MakeGeometry(int32_t width, int32_t height, Geometry& geometry);

// Picture row y (counted from the top) of a source buffer starts at top + y * step.
struct SourceRows {
    const uint8_t* top;
    ptrdiff_t step;
};

// An uncompressed sample that has passed every check: each byte that the
// picture's rows read lies inside it.
struct RawSample {
    PixelFormat format;  // RGB24, YUY2 or NV12; Unknown is resolved from the length
    SourceRows rows;     // picture rows; NV12: its luma rows
    // NV12 only: the chroma row of picture rows 2k and 2k + 1 starts at
    // chroma.top + k * chroma.step.
    SourceRows chroma;
};

// False when `layout` is MJPG or the sample cannot hold a g.width x g.height
// picture. For a picture without pixels no row pointer is formed (top is
// `data`), since a bottom-up one would lie outside the sample.
bool LocateRawSample(const uint8_t* data, int32_t length, const Geometry& g, SampleLayout layout,
                     RawSample& sample);

// Called only once every check has passed: the frame is either untouched or
// completely refilled. Keeps the allocation when the size is unchanged.
uint8_t* PrepareFrame(CapturedFrame& frame, const Geometry& g);

// The output row of picture row y: rows are stored bottom-up.
inline uint8_t* OutputRow(uint8_t* pixels, const Geometry& g, int32_t y) {
    return pixels + static_cast<ptrdiff_t>(g.height - 1 - y) * g.stride;
}

// A reused frame may hold anything in its padding; the DIB needs zeros there.
// The usual camera widths (multiples of 4) have none, and then need no call.
inline void ZeroPadding(uint8_t* row, const Geometry& g) {
    if (g.stride != g.rowBytes) std::memset(row + g.rowBytes, 0, static_cast<size_t>(g.stride - g.rowBytes));
}

// ConvertFrame's YUY2 row: `width` pixels from Y0 U Y1 V bytes, through
// `kernel` (null for none) and the scalar row for what it leaves.
void Yuy2RowToBgr(const uint8_t* yuy2, int32_t width, uint8_t* out, Yuy2RowKernel kernel);

// What one U, V pair adds to the luma of each of its pixels.
struct ChromaTerms {
    int32_t blue;
    int32_t green;
    int32_t red;
};

// Each product is formed in single precision and truncated toward zero before
// anything is added to it, so there is no multiply-add to contract. Where float
// arithmetic runs with excess precision (x87), the product of an 8-bit integer
// and a 24-bit constant is exact, and truncating the exact product gives the
// same integer as truncating the rounded single-precision one for every input
// from -128 to 127 (checked exhaustively), so the result does not change.
inline ChromaTerms ChromaFor(int32_t uByte, int32_t vByte) {
    const float u = static_cast<float>(uByte - 128);
    const float v = static_cast<float>(vByte - 128);
    const int32_t red = static_cast<int32_t>(v * RED_FROM_V);
    const int32_t greenU = static_cast<int32_t>(u * GREEN_FROM_U);
    const int32_t greenV = static_cast<int32_t>(v * GREEN_FROM_V);
    const int32_t blue = static_cast<int32_t>(u * BLUE_FROM_U);
    return {-blue, greenU - greenV, -red};
}

inline uint8_t Saturate(int32_t value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

inline void PutPixel(uint8_t* out, int32_t luma, const ChromaTerms& chroma) {
    out[0] = Saturate(luma + chroma.blue);
    out[1] = Saturate(luma + chroma.green);
    out[2] = Saturate(luma + chroma.red);
}

}  // namespace frame_detail
