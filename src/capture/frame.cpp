#include "capture/frame.h"

#include <cstddef>
#include <cstring>
#include <limits>

#include "capture/convert_kernels.h"
#include "capture/frame_detail.h"
#include "capture/mjpeg.h"

namespace frame_detail {

namespace {

// Every byte count of a frame must fit in int32: the frame's fields, the
// sample length and the bitmap header's 32-bit size fields all hold them.
constexpr int64_t MAX_BYTES = std::numeric_limits<int32_t>::max();

int64_t Magnitude(int32_t stride) { return stride < 0 ? -int64_t{stride} : int64_t{stride}; }

// How many bytes from the first row's start are read when `rows` rows lie
// `pitch` bytes apart and the first `rowRead` bytes of each are read.
int64_t SpanRead(int64_t rows, int64_t pitch, int64_t rowRead) {
    return rows == 0 || rowRead == 0 ? 0 : (rows - 1) * pitch + rowRead;
}

bool Covers(const uint8_t* data, int64_t length, int64_t needed) {
    return needed <= length && (needed == 0 || data != nullptr);
}

SourceRows RowsOf(const uint8_t* data, int32_t height, int64_t pitch, bool bottomUp) {
    if (!bottomUp || height == 0) return {data, static_cast<ptrdiff_t>(pitch)};
    return {data + static_cast<ptrdiff_t>(pitch * (height - 1)), -static_cast<ptrdiff_t>(pitch)};
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

}  // namespace

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

// RGB24 rows are |stride| apart (the padded output stride when 0) and read
// 3 * width bytes each. YUY2 rows are |stride| apart (2 * width when 0) and read
// all of their last pixel pair. NV12 has luma rows `pitch` apart from `data`,
// then from pitch * height one chroma row per two picture rows, also `pitch`
// apart; with an odd height the last picture row has a chroma row of its own,
// with an odd width the last pixel a pair of its own, which must fit in the row.
// A picture without pixels reads nothing, whatever its pitch.
bool LocateRawSample(const uint8_t* data, int32_t length, const Geometry& g, SampleLayout layout,
                     RawSample& sample) {
    if (layout.format == PixelFormat::Unknown) {
        // The length decides: packed top-down rows of the output stride when it
        // holds a whole frame of them, else NV12 rows of the picture's width.
        if (length >= g.fullSize)
            layout = {PixelFormat::RGB24, 0};
        else if (length >= int64_t{g.height} * g.width * 3 / 2)
            layout = {PixelFormat::NV12, 0};
        else
            return false;
    }
    const int64_t width = g.width;
    int64_t pitch = Magnitude(layout.stride);
    int64_t rowRead = 0;
    int64_t needed = 0;
    switch (layout.format) {
    case PixelFormat::RGB24:
        if (pitch == 0) pitch = g.stride;
        rowRead = g.rowBytes;
        needed = SpanRead(g.height, pitch, rowRead);
        break;
    case PixelFormat::YUY2:
        if (pitch == 0) pitch = 2 * width;
        rowRead = 4 * ((width + 1) / 2);
        needed = SpanRead(g.height, pitch, rowRead);
        break;
    case PixelFormat::NV12:
        if (pitch == 0) pitch = width;
        rowRead = 2 * ((width + 1) / 2);  // a chroma row; the luma rows read less
        needed = g.fullSize == 0 ? 0 : pitch * g.height + SpanRead((int64_t{g.height} + 1) / 2, pitch, rowRead);
        break;
    default:
        return false;
    }
    if (g.fullSize > 0 && pitch < rowRead) return false;
    if (!Covers(data, length, needed)) return false;
    const bool pixels = g.fullSize > 0;
    sample.format = layout.format;
    // NV12 is planar and always top-down.
    sample.rows = RowsOf(data, pixels ? g.height : 0, pitch, layout.stride < 0 && layout.format != PixelFormat::NV12);
    const bool chroma = pixels && layout.format == PixelFormat::NV12;
    sample.chroma = {chroma ? data + static_cast<ptrdiff_t>(pitch * g.height) : nullptr,
                     static_cast<ptrdiff_t>(pitch)};
    return true;
}

void Yuy2RowToBgr(const uint8_t* yuy2, int32_t width, uint8_t* out, Yuy2RowKernel kernel) {
    const int32_t done = kernel == nullptr ? 0 : kernel(yuy2, width, out);
    YuvRowToBgr<2, 4, 2>(yuy2 + 2 * done, yuy2 + 2 * done + 1, width - done, out + 3 * done);
}

// resize() keeps the allocation when the size is unchanged (the preview fills
// the same frame every time) and zeroes only what it adds.
uint8_t* PrepareFrame(CapturedFrame& frame, const Geometry& g) {
    frame.pixels.resize(static_cast<size_t>(g.fullSize));
    frame.width = g.width;
    frame.height = g.height;
    frame.stride = g.stride;
    return frame.pixels.data();
}

}  // namespace frame_detail

using namespace frame_detail;

namespace {

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

void ConvertNv12(const RawSample& sample, const Geometry& g, CapturedFrame& frame) {
    uint8_t* pixels = PrepareFrame(frame, g);
    if (g.fullSize == 0) return;
    const Nv12RowKernel kernel = CurrentRowKernels().nv12;
    const uint8_t* luma = sample.rows.top;
    for (int32_t y = 0; y < g.height; ++y, luma += sample.rows.step) {
        uint8_t* dst = OutputRow(pixels, g, y);
        const uint8_t* chromaRow = sample.chroma.top + (y / 2) * sample.chroma.step;
        const int32_t done = kernel == nullptr ? 0 : kernel(luma, chromaRow, g.width, dst);
        YuvRowToBgr<1, 2, 1>(luma + done, chromaRow + done, g.width - done, dst + 3 * done);
        ZeroPadding(dst, g);
    }
}

void ConvertYuy2(const RawSample& sample, const Geometry& g, CapturedFrame& frame) {
    uint8_t* pixels = PrepareFrame(frame, g);
    if (g.fullSize == 0) return;
    const Yuy2RowKernel kernel = CurrentRowKernels().yuy2;
    const uint8_t* src = sample.rows.top;
    for (int32_t y = 0; y < g.height; ++y, src += sample.rows.step) {
        uint8_t* dst = OutputRow(pixels, g, y);
        Yuy2RowToBgr(src, g.width, dst, kernel);
        ZeroPadding(dst, g);
    }
}

}  // namespace

bool ConvertFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                  CapturedFrame& frame) {
    return ConvertFrame(data, length, width, height, SampleLayout{}, frame);
}

bool ConvertFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                  const SampleLayout& layout, CapturedFrame& frame) {
    Geometry g{};
    if (!MakeGeometry(width, height, g)) return false;
    if (layout.format == PixelFormat::MJPG) {
        if (length <= 0 || data == nullptr) return false;
        return DecodeMjpegFrame(data, length, width, height, frame);
    }
    RawSample sample{};
    if (!LocateRawSample(data, length, g, layout, sample)) return false;
    switch (sample.format) {
    case PixelFormat::RGB24:
        CopyBgrRows(sample.rows, g, frame);
        return true;
    case PixelFormat::YUY2:
        ConvertYuy2(sample, g, frame);
        return true;
    case PixelFormat::NV12:
        ConvertNv12(sample, g, frame);
        return true;
    default:
        return false;
    }
}
