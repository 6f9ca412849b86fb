#include "capture/frame.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>

#include "capture/convert_kernels.h"
#include "capture/mjpeg.h"

namespace {

// Full-range BT.601 (JPEG) coefficients, applied to Y without an offset, as
// single-precision values with exactly these bit patterns.
constexpr float RED_FROM_V = std::bit_cast<float>(uint32_t{0xBFB374BC});    // -1.402
constexpr float GREEN_FROM_V = std::bit_cast<float>(uint32_t{0x3F36C8B4});  // 0.714
constexpr float GREEN_FROM_U = std::bit_cast<float>(uint32_t{0xBEB020C5});  // -0.344
constexpr float BLUE_FROM_U = std::bit_cast<float>(uint32_t{0xBFE2D0E5});   // -1.772

// Every byte count of a frame must fit in int32: the frame's fields, the
// sample length and the bitmap header's 32-bit size fields all hold them.
constexpr int64_t MAX_BYTES = std::numeric_limits<int32_t>::max();

struct Geometry {
    int32_t width;
    int32_t height;
    int32_t rowBytes;  // 3 * width
    int32_t stride;    // rowBytes rounded up to a multiple of 4
    int32_t fullSize;  // height * stride
};

// Computed in 64 bits so that no size can wrap into a small positive number
// that a short sample would then pass.
bool MakeGeometry(int32_t width, int32_t height, Geometry& geometry) {
    if (width < 0 || height < 0) return false;
    const int64_t rowBytes = int64_t{3} * width;
    const int64_t stride = (rowBytes + 3) & ~int64_t{3};
    if (stride > MAX_BYTES) return false;
    const int64_t fullSize = stride * height;  // below 2^62: cannot overflow
    if (fullSize > MAX_BYTES) return false;
    geometry = {width, height, static_cast<int32_t>(rowBytes), static_cast<int32_t>(stride),
                static_cast<int32_t>(fullSize)};
    return true;
}

int64_t Magnitude(int32_t stride) { return stride < 0 ? -int64_t{stride} : int64_t{stride}; }

// How many bytes from the first row's start are read when `rows` rows lie
// `pitch` bytes apart and the first `rowRead` bytes of each are read.
int64_t SpanRead(int64_t rows, int64_t pitch, int64_t rowRead) {
    return rows == 0 || rowRead == 0 ? 0 : (rows - 1) * pitch + rowRead;
}

bool Covers(const uint8_t* data, int64_t length, int64_t needed) {
    return needed <= length && (needed == 0 || data != nullptr);
}

// Picture row y (counted from the top) of a source buffer starts at top + y * step.
struct SourceRows {
    const uint8_t* top;
    ptrdiff_t step;
};

SourceRows RowsOf(const uint8_t* data, int32_t height, int64_t pitch, bool bottomUp) {
    if (!bottomUp || height == 0) return {data, static_cast<ptrdiff_t>(pitch)};
    return {data + static_cast<ptrdiff_t>(pitch * (height - 1)), -static_cast<ptrdiff_t>(pitch)};
}

// Called only once every check has passed: the frame is either untouched or
// completely refilled. resize() keeps the allocation when the size is unchanged
// (the preview fills the same frame every time) and zeroes only what it adds.
uint8_t* PrepareFrame(CapturedFrame& frame, const Geometry& g) {
    frame.pixels.resize(static_cast<size_t>(g.fullSize));
    frame.width = g.width;
    frame.height = g.height;
    frame.stride = g.stride;
    return frame.pixels.data();
}

// The output row of picture row y: rows are stored bottom-up.
uint8_t* OutputRow(uint8_t* pixels, const Geometry& g, int32_t y) {
    return pixels + static_cast<ptrdiff_t>(g.height - 1 - y) * g.stride;
}

// A reused frame may hold anything in its padding; the DIB needs zeros there.
// The usual camera widths (multiples of 4) have none, and then need no call.
void ZeroPadding(uint8_t* row, const Geometry& g) {
    if (g.stride != g.rowBytes) std::memset(row + g.rowBytes, 0, static_cast<size_t>(g.stride - g.rowBytes));
}

void CopyBgrRows(SourceRows source, const Geometry& g, CapturedFrame& frame) {
    uint8_t* pixels = PrepareFrame(frame, g);
    if (g.fullSize == 0) return;
    // A bottom-up source (Windows' usual RGB24) lies in the frame's own row
    // order: copied from its lowest row up, both buffers are read and written
    // in one forward pass that the prefetchers follow, and in a single copy
    // when neither side has padding.
    const bool bottomUp = source.step < 0;
    const int32_t first = bottomUp ? g.height - 1 : 0;
    const int32_t rowStep = bottomUp ? -1 : 1;
    const uint8_t* src = source.top + first * source.step;
    if (bottomUp && -source.step == g.stride && g.stride == g.rowBytes) {
        std::memcpy(pixels, src, static_cast<size_t>(g.fullSize));
        return;
    }
    const RowCopyKernel kernel = CurrentRowKernels().copy;
    for (int32_t y = first; y >= 0 && y < g.height; y += rowStep, src += rowStep * source.step) {
        uint8_t* dst = OutputRow(pixels, g, y);
        const bool last = y + rowStep < 0 || y + rowStep >= g.height;
        const uint8_t* nextSrc = last ? src : src + rowStep * source.step;
        const uint8_t* nextDst = last ? dst : OutputRow(pixels, g, y + rowStep);
        if (kernel == nullptr || kernel(dst, src, g.rowBytes, nextDst, nextSrc) == 0)
            std::memcpy(dst, src, static_cast<size_t>(g.rowBytes));
        ZeroPadding(dst, g);
    }
}

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

// One picture row from luma samples LUMA_STEP bytes apart and U, V pairs
// PAIR_STEP bytes apart (U first, V at V_OFFSET after it). Two neighbouring
// pixels share a pair, so the chroma terms are worked out once per pair; an odd
// last pixel takes the pair that follows the last full one.
template <int LUMA_STEP, int PAIR_STEP, int V_OFFSET>
void YuvRowToBgr(const uint8_t* luma, const uint8_t* chroma, int32_t width, uint8_t* out) {
    const int32_t pairs = width / 2;
    for (int32_t j = 0; j < pairs; ++j) {
        const ChromaTerms terms = ChromaFor(chroma[0], chroma[V_OFFSET]);
        PutPixel(out, luma[0], terms);
        PutPixel(out + 3, luma[LUMA_STEP], terms);
        luma += 2 * LUMA_STEP;
        chroma += PAIR_STEP;
        out += 6;
    }
    if (width % 2 != 0) PutPixel(out, luma[0], ChromaFor(chroma[0], chroma[V_OFFSET]));
}

// Luma rows `pitch` apart from `data`, then from pitch * height one chroma row
// per two picture rows, also `pitch` apart. With an odd height the last picture
// row has a chroma row of its own; with an odd width the last pixel has a pair
// of its own, which must fit in the row. (A picture without pixels reads
// nothing, whatever its pitch.)
bool ConvertNv12(const uint8_t* data, int64_t length, const Geometry& g, int64_t pitch,
                 CapturedFrame& frame) {
    const int64_t chromaRowRead = 2 * ((int64_t{g.width} + 1) / 2);
    if (g.fullSize > 0 && pitch < chromaRowRead) return false;
    const int64_t chromaStart = pitch * g.height;
    const int64_t chromaRows = (int64_t{g.height} + 1) / 2;
    const int64_t needed =
        g.fullSize == 0 ? 0 : chromaStart + SpanRead(chromaRows, pitch, chromaRowRead);
    if (!Covers(data, length, needed)) return false;

    uint8_t* pixels = PrepareFrame(frame, g);
    if (g.fullSize == 0) return true;
    const Nv12RowKernel kernel = CurrentRowKernels().nv12;
    const ptrdiff_t step = static_cast<ptrdiff_t>(pitch);
    const uint8_t* luma = data;
    const uint8_t* chroma = data + static_cast<ptrdiff_t>(chromaStart);
    for (int32_t y = 0; y < g.height; ++y, luma += step) {
        uint8_t* dst = OutputRow(pixels, g, y);
        const uint8_t* chromaRow = chroma + (y / 2) * step;
        const int32_t done = kernel == nullptr ? 0 : kernel(luma, chromaRow, g.width, dst);
        YuvRowToBgr<1, 2, 1>(luma + done, chromaRow + done, g.width - done, dst + 3 * done);
        ZeroPadding(dst, g);
    }
    return true;
}

bool ConvertYuy2(const uint8_t* data, int64_t length, const Geometry& g, int32_t stride,
                 CapturedFrame& frame) {
    const int64_t pitch = stride == 0 ? int64_t{2} * g.width : Magnitude(stride);
    const int64_t rowRead = 4 * ((int64_t{g.width} + 1) / 2);
    if (g.fullSize > 0 && pitch < rowRead) return false;
    if (!Covers(data, length, SpanRead(g.height, pitch, rowRead))) return false;

    uint8_t* pixels = PrepareFrame(frame, g);
    if (g.fullSize == 0) return true;
    const Yuy2RowKernel kernel = CurrentRowKernels().yuy2;
    const SourceRows source = RowsOf(data, g.height, pitch, stride < 0);
    const uint8_t* src = source.top;
    for (int32_t y = 0; y < g.height; ++y, src += source.step) {
        uint8_t* dst = OutputRow(pixels, g, y);
        const int32_t done = kernel == nullptr ? 0 : kernel(src, g.width, dst);
        YuvRowToBgr<2, 4, 2>(src + 2 * done, src + 2 * done + 1, g.width - done, dst + 3 * done);
        ZeroPadding(dst, g);
    }
    return true;
}

bool ConvertRgb24(const uint8_t* data, int64_t length, const Geometry& g, int32_t stride,
                  CapturedFrame& frame) {
    const int64_t pitch = stride == 0 ? int64_t{g.stride} : Magnitude(stride);
    if (g.fullSize > 0 && pitch < g.rowBytes) return false;
    if (!Covers(data, length, SpanRead(g.height, pitch, g.rowBytes))) return false;
    // A picture without pixels reads nothing: no row pointer is formed, which
    // for a bottom-up buffer would lie (height - 1) * pitch past `data`.
    CopyBgrRows(RowsOf(data, g.fullSize == 0 ? 0 : g.height, pitch, stride < 0), g, frame);
    return true;
}

}  // namespace

bool ConvertFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                  CapturedFrame& frame) {
    Geometry g{};
    if (!MakeGeometry(width, height, g)) return false;
    if (length >= g.fullSize) {
        if (!Covers(data, length, g.fullSize)) return false;
        CopyBgrRows(RowsOf(data, height, g.stride, false), g, frame);
        return true;
    }
    const int64_t halfSize = int64_t{height} * width * 3 / 2;
    if (length >= halfSize) return ConvertNv12(data, length, g, width, frame);
    return false;
}

bool ConvertFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                  const SampleLayout& layout, CapturedFrame& frame) {
    Geometry g{};
    if (!MakeGeometry(width, height, g)) return false;
    switch (layout.format) {
    case PixelFormat::Unknown:
        return ConvertFrame(data, length, width, height, frame);
    case PixelFormat::RGB24:
        return ConvertRgb24(data, length, g, layout.stride, frame);
    case PixelFormat::YUY2:
        return ConvertYuy2(data, length, g, layout.stride, frame);
    case PixelFormat::NV12: {
        const int64_t pitch = layout.stride == 0 ? int64_t{width} : Magnitude(layout.stride);
        return ConvertNv12(data, length, g, pitch, frame);
    }
    case PixelFormat::MJPG:
        if (length <= 0 || data == nullptr) return false;
        return DecodeMjpegFrame(data, length, width, height, frame);
    }
    return false;
}
