#include "ds_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ds_capabilities.h"

namespace {

constexpr uint32_t DIB_HEADER_BYTES = 40;
constexpr double METRES_PER_INCH = 0.0254;
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

void WriteUint32(uint8_t* bytes, uint32_t value) {
    std::memcpy(bytes, &value, 4);
}

void WriteUint16(uint8_t* bytes, uint16_t value) {
    std::memcpy(bytes, &value, 2);
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

TW_IMAGEINFO ImageInfoFor(int32_t width, int32_t height, double dotsPerInch) {
    TW_IMAGEINFO info{};
    info.XResolution = ToFix32(dotsPerInch);
    info.YResolution = ToFix32(dotsPerInch);
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

TW_IMAGELAYOUT LayoutFor(const PixelRect& rect, double dotsPerInch) {
    TW_IMAGELAYOUT layout{};
    layout.Frame.Left = ToFix32(rect.left / dotsPerInch);
    layout.Frame.Top = ToFix32(rect.top / dotsPerInch);
    layout.Frame.Right = ToFix32((rect.left + rect.width) / dotsPerInch);
    layout.Frame.Bottom = ToFix32((rect.top + rect.height) / dotsPerInch);
    layout.DocumentNumber = 1;
    layout.PageNumber = 1;
    layout.FrameNumber = 1;
    return layout;
}

FrameFit FitFrame(const TW_FRAME& frame, double dotsPerInch, int32_t width, int32_t height,
                  PixelRect& rect) {
    if (width <= 0 || height <= 0 || !(dotsPerInch > 0)) return FrameFit::Refused;
    const double edges[4] = {FromFix32(frame.Left) * dotsPerInch, FromFix32(frame.Top) * dotsPerInch,
                             FromFix32(frame.Right) * dotsPerInch,
                             FromFix32(frame.Bottom) * dotsPerInch};
    if (!(edges[2] > edges[0] && edges[3] > edges[1])) return FrameFit::Refused;
    // An application that computed its frame from whole pixels is off by at
    // most half a TW_FIX32 step in inches.
    const double tolerance = dotsPerInch / 65536.0;
    const double limits[4] = {0, 0, static_cast<double>(width), static_cast<double>(height)};
    bool exact = true;
    double rounded[4];
    for (int i = 0; i < 4; ++i) {
        rounded[i] = std::round(edges[i]);
        if (std::fabs(rounded[i] - edges[i]) > tolerance) exact = false;
        // Left and top may not lie before the picture, right and bottom not past it.
        double clipped = i < 2 ? std::max(rounded[i], limits[i]) : std::min(rounded[i], limits[i]);
        if (clipped != rounded[i]) exact = false;
        rounded[i] = clipped;
    }
    if (!(rounded[2] > rounded[0] && rounded[3] > rounded[1])) return FrameFit::Refused;
    rect.left = static_cast<int32_t>(rounded[0]);
    rect.top = static_cast<int32_t>(rounded[1]);
    rect.width = static_cast<int32_t>(rounded[2] - rounded[0]);
    rect.height = static_cast<int32_t>(rounded[3] - rounded[1]);
    return exact ? FrameFit::Exact : FrameFit::Adjusted;
}

PixelRect ClipToPicture(const PixelRect& rect, int32_t width, int32_t height) {
    int64_t left = std::max(rect.left, 0);
    int64_t top = std::max(rect.top, 0);
    int64_t right = std::min<int64_t>(int64_t{rect.left} + rect.width, width);
    int64_t bottom = std::min<int64_t>(int64_t{rect.top} + rect.height, height);
    if (right <= left || bottom <= top) return {0, 0, width, height};
    return {static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(right - left),
            static_cast<int32_t>(bottom - top)};
}

size_t PackedDibBytes(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0 || width > 0x7fffffff / 3) return 0;
    uint64_t bytes = DIB_HEADER_BYTES + uint64_t{RgbRowBytes(width)} * static_cast<uint32_t>(height);
    if (bytes > 0x7fffffff) return 0;
    return static_cast<size_t>(bytes);
}

void WriteCroppedDib(const DibPixels& picture, const PixelRect& rect, double dotsPerInch,
                     uint8_t* dest) {
    const uint32_t stride = RgbRowBytes(rect.width);
    std::memset(dest, 0, DIB_HEADER_BYTES);
    WriteUint32(dest, DIB_HEADER_BYTES);
    WriteUint32(dest + 4, static_cast<uint32_t>(rect.width));
    WriteUint32(dest + 8, static_cast<uint32_t>(rect.height));
    WriteUint16(dest + 12, 1);
    WriteUint16(dest + 14, 24);
    WriteUint32(dest + 20, stride * static_cast<uint32_t>(rect.height));
    StampDibResolution(dest, dotsPerInch);
    const size_t used = static_cast<size_t>(rect.width) * 3;
    for (int32_t row = 0; row < rect.height; ++row) {
        // Both are bottom-up: the crop's last row from the top comes first.
        int32_t fromTop = rect.top + rect.height - 1 - row;
        const uint8_t* source = picture.data +
                                static_cast<size_t>(picture.height - 1 - fromTop) * picture.stride +
                                static_cast<size_t>(rect.left) * 3;
        uint8_t* target = dest + DIB_HEADER_BYTES + static_cast<size_t>(row) * stride;
        std::memcpy(target, source, used);
        std::memset(target + used, 0, stride - used);
    }
}

void StampDibResolution(uint8_t* dib, double dotsPerInch) {
    auto perMetre = static_cast<uint32_t>(std::lround(dotsPerInch / METRES_PER_INCH));
    WriteUint32(dib + 24, perMetre);
    WriteUint32(dib + 28, perMetre);
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
