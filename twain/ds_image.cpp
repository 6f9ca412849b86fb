#include "ds_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ds_capabilities.h"

namespace {

constexpr double DOTS_PER_INCH = 96.0;
constexpr uint32_t DIB_HEADER_BYTES = 40;
// A strip of about this many bytes keeps the application's buffer small
// without a call per row.
constexpr TW_UINT32 PREFERRED_STRIP_BYTES = 256 * 1024;

uint32_t ReadUint32(const uint8_t* bytes) {
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

uint16_t ReadUint16(const uint8_t* bytes) {
    uint16_t value;
    std::memcpy(&value, bytes, 2);
    return value;
}

}  // namespace

bool ViewPackedDib(const uint8_t* dib, size_t length, DibPixels& view) {
    if (!dib || length < DIB_HEADER_BYTES) return false;
    uint32_t headerSize = ReadUint32(dib);
    int32_t width = static_cast<int32_t>(ReadUint32(dib + 4));
    int32_t height = static_cast<int32_t>(ReadUint32(dib + 8));
    uint16_t bitCount = ReadUint16(dib + 14);
    uint32_t compression = ReadUint32(dib + 16);
    if (headerSize < DIB_HEADER_BYTES || headerSize > length) return false;
    if (width <= 0 || height <= 0 || bitCount != 24 || compression != 0) return false;
    uint64_t stride = (uint64_t{static_cast<uint32_t>(width)} * 3 + 3) & ~uint64_t{3};
    if (stride * static_cast<uint32_t>(height) > length - headerSize) return false;
    view.data = dib + headerSize;
    view.width = width;
    view.height = height;
    view.stride = static_cast<int32_t>(stride);
    return true;
}

TW_UINT32 RgbRowBytes(int32_t width) {
    if (width <= 0) return 0;
    return (static_cast<TW_UINT32>(width) * 3 + 3) & ~TW_UINT32{3};
}

uint32_t CopyRgbRows(const DibPixels& picture, uint32_t firstRow, uint8_t* dest,
                     uint32_t capacity) {
    TW_UINT32 rowBytes = RgbRowBytes(picture.width);
    if (!picture.data || !dest || rowBytes == 0 || picture.height <= 0) return 0;
    uint32_t height = static_cast<uint32_t>(picture.height);
    if (firstRow >= height) return 0;
    uint32_t rows = std::min(capacity / rowBytes, height - firstRow);
    for (uint32_t i = 0; i < rows; ++i) {
        // Row r from the top is stored height - 1 - r rows into the DIB.
        const uint8_t* source = picture.data + static_cast<size_t>(height - 1 - (firstRow + i)) *
                                                   static_cast<size_t>(picture.stride);
        uint8_t* target = dest + static_cast<size_t>(i) * rowBytes;
        for (int32_t x = 0; x < picture.width; ++x) {
            target[3 * x] = source[3 * x + 2];
            target[3 * x + 1] = source[3 * x + 1];
            target[3 * x + 2] = source[3 * x];
        }
        size_t used = static_cast<size_t>(picture.width) * 3;
        std::memset(target + used, 0, rowBytes - used);
    }
    return rows;
}

TW_IMAGEINFO ImageInfoFor(int32_t width, int32_t height) {
    TW_IMAGEINFO info{};
    info.XResolution = ToFix32(DOTS_PER_INCH);
    info.YResolution = ToFix32(DOTS_PER_INCH);
    info.ImageWidth = width;
    info.ImageLength = height;
    info.SamplesPerPixel = 3;
    info.BitsPerSample[0] = 8;
    info.BitsPerSample[1] = 8;
    info.BitsPerSample[2] = 8;
    info.BitsPerPixel = 24;
    info.Planar = 0;
    info.PixelType = TWPT_RGB;
    info.Compression = TWCP_NONE;
    return info;
}

TW_IMAGELAYOUT FullFrameLayout(int32_t width, int32_t height) {
    TW_IMAGELAYOUT layout{};
    layout.Frame.Left = ToFix32(0);
    layout.Frame.Top = ToFix32(0);
    layout.Frame.Right = ToFix32(width / DOTS_PER_INCH);
    layout.Frame.Bottom = ToFix32(height / DOTS_PER_INCH);
    layout.DocumentNumber = 1;
    layout.PageNumber = 1;
    layout.FrameNumber = 1;
    return layout;
}

bool IsFullFrame(const TW_FRAME& frame, int32_t width, int32_t height) {
    const double halfPixel = 0.5 / DOTS_PER_INCH;
    auto near = [&](TW_FIX32 value, double expected) {
        return std::fabs(FromFix32(value) - expected) <= halfPixel;
    };
    return near(frame.Left, 0) && near(frame.Top, 0) && near(frame.Right, width / DOTS_PER_INCH) &&
           near(frame.Bottom, height / DOTS_PER_INCH);
}

TW_SETUPMEMXFER MemoryBufferSizes(int32_t width, int32_t height) {
    TW_SETUPMEMXFER sizes{};
    TW_UINT32 rowBytes = RgbRowBytes(width);
    if (rowBytes == 0 || height <= 0) return sizes;
    TW_UINT32 wholePicture = rowBytes * static_cast<TW_UINT32>(height);
    sizes.MinBufSize = rowBytes;
    sizes.MaxBufSize = wholePicture;
    TW_UINT32 preferredRows = std::max<TW_UINT32>(1, PREFERRED_STRIP_BYTES / rowBytes);
    sizes.Preferred = std::min(wholePicture, preferredRows * rowBytes);
    return sizes;
}
