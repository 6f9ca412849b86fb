#include "capture/frame_scale.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "capture/frame_detail.h"
#include "capture/jpeg_decoder.h"
#include "capture/mjpeg.h"

using namespace frame_detail;

namespace {

// Source pixels summed at a time: the column sums of a chunk stay in the first
// level cache while a block's rows are added to them. Even, so that no chunk
// splits a chroma pair.
constexpr int32_t CHUNK = 512;

// Column sums in 16 bits hold up to 257 rows of bytes; Mean takes blocks of
// fewer pixels than 2^16.
constexpr int32_t MAX_ROWS_NARROW = 65535 / 255;
constexpr int64_t MAX_COUNT_NARROW = 65535;

struct Blocks {
    int32_t width;   // source pixels across a block
    int32_t height;  // source rows down a block
};

int32_t ScaledSide(int32_t side, int32_t factor) { return side == 0 ? 0 : std::max(1, side / factor); }

// Adds `weight` times each byte of a row to its column's sum, or sets the sums
// to that for the first row of a block. The compiler's cheapest vectorising
// (GCC's at -O2) takes only loops of a known count over memory that cannot
// overlap: hence groups of 16 bytes copied to a local array first, since a
// byte pointer may alias the sums.
template <typename Column>
void AddRow(Column* sums, const uint8_t* row, int32_t bytes, uint32_t weight, bool first) {
    constexpr int32_t GROUP = 16;
    int32_t i = 0;
    for (; i + GROUP <= bytes; i += GROUP) {
        uint8_t group[GROUP];
        std::memcpy(group, row + i, GROUP);
        Column* to = sums + i;
        if (first) {
            for (int32_t k = 0; k < GROUP; ++k) to[k] = static_cast<Column>(weight * group[k]);
        } else {
            for (int32_t k = 0; k < GROUP; ++k) to[k] = static_cast<Column>(to[k] + weight * group[k]);
        }
    }
    for (; i < bytes; ++i) sums[i] = static_cast<Column>((first ? 0 : sums[i]) + weight * row[i]);
}

// The mean of `count` values whose sum is below 2^32, rounded half up, by a
// multiply rather than a division, which would cost more than the rest of an
// output pixel. With m = floor(2^40 / count) + 1, n * m / 2^40 exceeds n / count
// by less than n / 2^40, which for n < 256 * count stays below 1 / count, the
// least distance from n / count up to the next integer, while count < 2^16.
struct Mean {
    explicit Mean(uint32_t count) : half(count / 2), multiplier((uint64_t{1} << 40) / count + 1) {}
    int32_t operator()(uint32_t sum) const { return static_cast<int32_t>(((sum + half) * multiplier) >> 40); }
    uint32_t half;
    uint64_t multiplier;
};

// For blocks too large for it.
struct WideMean {
    explicit WideMean(uint64_t count) : count(count) {}
    int32_t operator()(uint64_t sum) const { return static_cast<int32_t>((sum + count / 2) / count); }
    uint64_t count;
};

// One output row at a time: the block's rows are summed column by column over
// a chunk of source pixels, then the columns of each block are summed across.
// A block that straddles two chunks carries its partial sums over. The mean
// Y, U, V of a chunk's blocks become pixel pairs of a YUY2 row, one pair a
// block, so that ConvertFrame's own row code (vector rows included) converts
// them; the first pixel of each pair is the block's.
template <PixelFormat FORMAT, typename Column, typename Total, typename MeanOf>
void ScaleRows(const RawSample& sample, const Geometry& out, Blocks block, uint8_t* pixels) {
    Column sums[3 * CHUNK];
    uint8_t means[4 * CHUNK];
    uint8_t converted[6 * CHUNK];
    const Yuy2RowKernel kernel = CurrentRowKernels().yuy2;
    const int32_t usedWidth = out.width * block.width;
    const MeanOf mean(static_cast<Total>(block.width) * static_cast<Total>(block.height));
    for (int32_t oy = 0; oy < out.height; ++oy) {
        const int32_t top = oy * block.height, bottom = top + block.height;
        uint8_t* dst = OutputRow(pixels, out, oy);
        Total first = 0, second = 0, third = 0;  // B, G, R or Y, U, V
        int32_t inBlock = 0, pending = 0;
        for (int32_t x0 = 0; x0 < usedWidth; x0 += CHUNK) {
            const int32_t n = std::min(CHUNK, usedWidth - x0);
            const int32_t pairBytes = 2 * ((n + 1) / 2);  // x0 is even
            for (int32_t y = top; y < bottom; ++y) {
                const uint8_t* row = sample.rows.top + y * sample.rows.step;
                if constexpr (FORMAT == PixelFormat::RGB24) AddRow(sums, row + 3 * x0, 3 * n, 1, y == top);
                if constexpr (FORMAT == PixelFormat::YUY2) AddRow(sums, row + 2 * x0, 2 * pairBytes, 1, y == top);
                if constexpr (FORMAT == PixelFormat::NV12) AddRow(sums, row + x0, n, 1, y == top);
            }
            if constexpr (FORMAT == PixelFormat::NV12) {
                // A chroma row serves two picture rows: weighted by how many of them the block holds.
                for (int32_t c = top / 2; c <= (bottom - 1) / 2; ++c) {
                    const uint32_t weight = static_cast<uint32_t>(std::min(2 * c + 2, bottom) - std::max(2 * c, top));
                    AddRow(sums + CHUNK, sample.chroma.top + c * sample.chroma.step + x0, pairBytes, weight,
                           c == top / 2);
                }
            }
            for (int32_t i = 0; i < n;) {
                for (const int32_t end = std::min(n, i + block.width - inBlock); i < end; ++i, ++inBlock) {
                    if constexpr (FORMAT == PixelFormat::RGB24) {
                        first += sums[3 * i], second += sums[3 * i + 1], third += sums[3 * i + 2];
                    } else if constexpr (FORMAT == PixelFormat::YUY2) {
                        first += sums[2 * i], second += sums[(2 * i & ~3) + 1], third += sums[(2 * i & ~3) + 3];
                    } else {
                        const int32_t pair = CHUNK + (i & ~1);
                        first += sums[i], second += sums[pair], third += sums[pair + 1];
                    }
                }
                if (inBlock < block.width) break;  // the block goes on in the next chunk
                if constexpr (FORMAT == PixelFormat::RGB24) {
                    dst[0] = static_cast<uint8_t>(mean(first));
                    dst[1] = static_cast<uint8_t>(mean(second));
                    dst[2] = static_cast<uint8_t>(mean(third));
                    dst += 3;
                } else {
                    uint8_t* pair = means + 4 * pending++;
                    pair[0] = pair[2] = static_cast<uint8_t>(mean(first));
                    pair[1] = static_cast<uint8_t>(mean(second));
                    pair[3] = static_cast<uint8_t>(mean(third));
                }
                first = second = third = 0;
                inBlock = 0;
            }
            if constexpr (FORMAT != PixelFormat::RGB24) {
                Yuy2RowToBgr(means, 2 * pending, converted, kernel);
                for (int32_t j = 0; j < pending; ++j, dst += 3) std::memcpy(dst, converted + 6 * j, 3);
                pending = 0;
            }
        }
        ZeroPadding(OutputRow(pixels, out, oy), out);
    }
}

template <typename Column, typename Total, typename MeanOf>
void ScaleSample(const RawSample& sample, const Geometry& out, Blocks block, uint8_t* pixels) {
    switch (sample.format) {
    case PixelFormat::RGB24:
        return ScaleRows<PixelFormat::RGB24, Column, Total, MeanOf>(sample, out, block, pixels);
    case PixelFormat::YUY2:
        return ScaleRows<PixelFormat::YUY2, Column, Total, MeanOf>(sample, out, block, pixels);
    case PixelFormat::NV12:
        return ScaleRows<PixelFormat::NV12, Column, Total, MeanOf>(sample, out, block, pixels);
    default:
        return;
    }
}

}  // namespace

bool ConvertFrameScaled(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                        const SampleLayout& layout, int32_t factor, CapturedFrame& frame) {
    if (layout.format != PixelFormat::RGB24 && layout.format != PixelFormat::YUY2 &&
        layout.format != PixelFormat::NV12)
        return false;
    if (factor < 1) return false;
    // The same result, and ConvertFrame has vector rows for it.
    if (factor == 1) return ConvertFrame(data, length, width, height, layout, frame);
    Geometry full{};
    RawSample sample{};
    if (!MakeGeometry(width, height, full) || !LocateRawSample(data, length, full, layout, sample)) return false;
    Geometry out{};
    MakeGeometry(ScaledSide(width, factor), ScaledSide(height, factor), out);  // smaller than `full`: cannot fail
    uint8_t* pixels = PrepareFrame(frame, out);
    if (out.fullSize == 0) return true;
    const Blocks block{std::min(factor, width), std::min(factor, height)};
    if (block.height <= MAX_ROWS_NARROW && int64_t{block.width} * block.height <= MAX_COUNT_NARROW)
        ScaleSample<uint16_t, uint32_t, Mean>(sample, out, block, pixels);
    else
        ScaleSample<uint64_t, uint64_t, WideMean>(sample, out, block, pixels);
    return true;
}

int32_t PreviewScaleFactor(int32_t width, int32_t height, int32_t boxWidth, int32_t boxHeight) {
    if (boxWidth <= 0 || boxHeight <= 0) return 1;
    return std::max(1, std::min(width / boxWidth, height / boxHeight));
}

bool ConvertPreviewFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                         const SampleLayout& layout, int32_t factor, CapturedFrame& frame) {
    if (factor > 1 && layout.format == PixelFormat::MJPG) {
        int scale = 1;
        while (scale < 8 && scale * 2 <= factor) scale *= 2;
        JpegLayout header;
        if (data && length > 0 && ParseJpeg(data, static_cast<size_t>(length), header) && header.width == width &&
            header.height == height && DecodeJpeg(data, static_cast<size_t>(length), scale, frame)) {
            return true;
        }
    } else if (factor > 1) {
        return ConvertFrameScaled(data, length, width, height, layout, factor, frame);
    }
    return ConvertFrame(data, length, width, height, layout, frame);
}
