#include "ds_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "capture/page_pixels.h"
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

uint16_t BitsPerPixel(PagePixels pixels) {
    return pixels == PagePixels::Rgb ? 24 : pixels == PagePixels::Gray ? 8 : 1;
}

uint32_t PaletteEntries(PagePixels pixels) {
    return pixels == PagePixels::Rgb ? 0 : 1u << BitsPerPixel(pixels);
}

// Palette entry i of a grey page is grey level i; of a black-and-white one,
// black then white.
uint32_t PaletteEntry(PagePixels pixels, uint32_t index) {
    const uint32_t level = pixels == PagePixels::BlackWhite ? index * 255 : index;
    return level * 0x010101;
}

// Without a limit, so that a width past 31 bits shows.
uint64_t PaddedRowBytes(uint32_t width, PagePixels pixels) {
    const uint64_t used = pixels == PagePixels::Rgb    ? uint64_t{width} * 3
                          : pixels == PagePixels::Gray ? uint64_t{width}
                                                       : (uint64_t{width} + 7) / 8;
    return (used + 3) & ~uint64_t{3};
}

// Bytes of a row that hold pixels.
size_t UsedRowBytes(int32_t width, PagePixels pixels) {
    const auto w = static_cast<size_t>(width);
    return pixels == PagePixels::Rgb ? w * 3 : pixels == PagePixels::Gray ? w : (w + 7) / 8;
}

}  // namespace

bool ViewPackedDib(const uint8_t* dib, size_t length, DibPixels& view) {
    if (!dib || length < DIB_HEADER_BYTES) return false;
    uint32_t headerSize = ReadUint32(dib);
    int32_t width = static_cast<int32_t>(ReadUint32(dib + 4));
    int32_t height = static_cast<int32_t>(ReadUint32(dib + 8));
    uint16_t planes = ReadUint16(dib + 12);
    uint16_t bitCount = ReadUint16(dib + 14);
    uint32_t compression = ReadUint32(dib + 16);
    uint32_t colours = ReadUint32(dib + 32);
    if (headerSize < DIB_HEADER_BYTES || headerSize > length) return false;
    if (width <= 0 || height <= 0 || planes != 1 || compression != 0) return false;
    PagePixels pixels;
    if (bitCount == 24) {
        pixels = PagePixels::Rgb;
    } else if (bitCount == 8) {
        pixels = PagePixels::Gray;
    } else if (bitCount == 1) {
        pixels = PagePixels::BlackWhite;
    } else {
        return false;
    }
    // biClrUsed 0 means a full palette for the depth, and none for 24 bits.
    const uint32_t entries = PaletteEntries(pixels);
    if (colours != 0 && colours != entries) return false;
    const uint64_t pixelsAt = uint64_t{headerSize} + uint64_t{entries} * 4;
    if (pixelsAt > length) return false;
    for (uint32_t i = 0; i < entries; ++i) {
        if (ReadUint32(dib + headerSize + 4 * i) != PaletteEntry(pixels, i)) return false;
    }
    uint64_t stride = PaddedRowBytes(static_cast<uint32_t>(width), pixels);
    if (stride * static_cast<uint32_t>(height) > length - pixelsAt) return false;
    view.data = dib + pixelsAt;
    view.width = width;
    view.height = height;
    view.stride = static_cast<int32_t>(stride);
    view.pixels = pixels;
    return true;
}

TW_UINT32 RowBytes(int32_t width, PagePixels pixels) {
    if (width <= 0) return 0;
    uint64_t bytes = PaddedRowBytes(static_cast<uint32_t>(width), pixels);
    return bytes > 0x7fffffff ? 0 : static_cast<TW_UINT32>(bytes);
}

TW_UINT32 RgbRowBytes(int32_t width) { return RowBytes(width, PagePixels::Rgb); }

uint32_t CopyRows(const DibPixels& picture, uint32_t firstRow, uint8_t* dest, uint32_t capacity) {
    TW_UINT32 rowBytes = RowBytes(picture.width, picture.pixels);
    if (!picture.data || !dest || rowBytes == 0 || picture.height <= 0) return 0;
    uint32_t height = static_cast<uint32_t>(picture.height);
    if (firstRow >= height) return 0;
    uint32_t rows = std::min(capacity / rowBytes, height - firstRow);
    const size_t used = UsedRowBytes(picture.width, picture.pixels);
    for (uint32_t i = 0; i < rows; ++i) {
        // Row r from the top is stored height - 1 - r rows into the DIB.
        const uint8_t* source = picture.data + static_cast<size_t>(height - 1 - (firstRow + i)) *
                                                   static_cast<size_t>(picture.stride);
        uint8_t* target = dest + static_cast<size_t>(i) * rowBytes;
        if (picture.pixels == PagePixels::Rgb) {
            for (int32_t x = 0; x < picture.width; ++x) {
                target[3 * x] = source[3 * x + 2];
                target[3 * x + 1] = source[3 * x + 1];
                target[3 * x + 2] = source[3 * x];
            }
        } else {
            std::memcpy(target, source, used);
            // Whatever a DIB holds past its last pixel is not the application's.
            if (picture.pixels == PagePixels::BlackWhite && picture.width % 8 != 0) {
                target[used - 1] &= static_cast<uint8_t>(0xff00 >> (picture.width % 8));
            }
        }
        std::memset(target + used, 0, rowBytes - used);
    }
    return rows;
}

uint32_t CopyRgbRows(const DibPixels& picture, uint32_t firstRow, uint8_t* dest,
                     uint32_t capacity) {
    return CopyRows(picture, firstRow, dest, capacity);
}

TW_IMAGEINFO ImageInfoFor(int32_t width, int32_t height, double dotsPerInch, PagePixels pixels) {
    TW_IMAGEINFO info{};
    info.XResolution = ToFix32(dotsPerInch);
    info.YResolution = ToFix32(dotsPerInch);
    info.ImageWidth = width;
    info.ImageLength = height;
    const bool rgb = pixels == PagePixels::Rgb;
    info.SamplesPerPixel = rgb ? 3 : 1;
    info.BitsPerPixel = static_cast<TW_INT16>(BitsPerPixel(pixels));
    for (int i = 0; i < info.SamplesPerPixel; ++i) {
        info.BitsPerSample[i] = static_cast<TW_INT16>(rgb ? 8 : info.BitsPerPixel);
    }
    info.Planar = 0;
    info.PixelType = rgb ? TWPT_RGB : pixels == PagePixels::Gray ? TWPT_GRAY : TWPT_BW;
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

size_t PackedDibBytes(int32_t width, int32_t height, PagePixels pixels) {
    if (width <= 0 || height <= 0) return 0;
    uint64_t bytes = DIB_HEADER_BYTES + uint64_t{PaletteEntries(pixels)} * 4 +
                     PaddedRowBytes(static_cast<uint32_t>(width), pixels) * static_cast<uint32_t>(height);
    if (bytes > 0x7fffffff) return 0;
    return static_cast<size_t>(bytes);
}

bool WriteCroppedDib(const DibPixels& picture, const PixelRect& rect, double dotsPerInch,
                     PagePixels pixels, uint8_t threshold, uint8_t* dest) {
    // An empty or negative size has no bytes.
    if (!picture.data || !dest || picture.pixels != PagePixels::Rgb || rect.left < 0 || rect.top < 0 ||
        rect.width > picture.width - rect.left || rect.height > picture.height - rect.top ||
        PackedDibBytes(rect.width, rect.height, pixels) == 0) {
        return false;
    }
    const uint32_t stride = RowBytes(rect.width, pixels);
    const uint32_t entries = PaletteEntries(pixels);
    std::memset(dest, 0, DIB_HEADER_BYTES);
    WriteUint32(dest, DIB_HEADER_BYTES);
    WriteUint32(dest + 4, static_cast<uint32_t>(rect.width));
    WriteUint32(dest + 8, static_cast<uint32_t>(rect.height));
    WriteUint16(dest + 12, 1);
    WriteUint16(dest + 14, BitsPerPixel(pixels));
    WriteUint32(dest + 20, stride * static_cast<uint32_t>(rect.height));
    StampDibResolution(dest, dotsPerInch);
    WriteUint32(dest + 32, entries);
    for (uint32_t i = 0; i < entries; ++i) {
        WriteUint32(dest + DIB_HEADER_BYTES + 4 * i, PaletteEntry(pixels, i));
    }
    uint8_t* const rows = dest + DIB_HEADER_BYTES + 4 * entries;
    const size_t used = UsedRowBytes(rect.width, pixels);
    for (int32_t row = 0; row < rect.height; ++row) {
        // Both are bottom-up: the crop's last row from the top comes first.
        int32_t fromTop = rect.top + rect.height - 1 - row;
        const uint8_t* source = picture.data +
                                static_cast<size_t>(picture.height - 1 - fromTop) * picture.stride +
                                static_cast<size_t>(rect.left) * 3;
        uint8_t* target = rows + static_cast<size_t>(row) * stride;
        switch (pixels) {
        case PagePixels::Rgb:
            std::memcpy(target, source, used);
            break;
        case PagePixels::Gray:
            BgrRowToGray(source, rect.width, target);
            break;
        case PagePixels::BlackWhite:
            BgrRowToBlackWhite(source, rect.width, threshold, target);
            break;
        }
        std::memset(target + used, 0, stride - used);
    }
    return true;
}

void WriteCroppedDib(const DibPixels& picture, const PixelRect& rect, double dotsPerInch,
                     uint8_t* dest) {
    WriteCroppedDib(picture, rect, dotsPerInch, PagePixels::Rgb, 0, dest);
}

void StampDibResolution(uint8_t* dib, double dotsPerInch) {
    auto perMetre = static_cast<uint32_t>(std::lround(dotsPerInch / METRES_PER_INCH));
    WriteUint32(dib + 24, perMetre);
    WriteUint32(dib + 28, perMetre);
}

TW_SETUPMEMXFER MemoryBufferSizes(int32_t width, int32_t height, PagePixels pixels) {
    TW_SETUPMEMXFER sizes{};
    TW_UINT32 rowBytes = RowBytes(width, pixels);
    if (rowBytes == 0 || height <= 0) return sizes;
    TW_UINT32 wholePicture = rowBytes * static_cast<TW_UINT32>(height);
    sizes.MinBufSize = rowBytes;
    sizes.MaxBufSize = wholePicture;
    TW_UINT32 preferredRows = std::max<TW_UINT32>(1, PREFERRED_STRIP_BYTES / rowBytes);
    sizes.Preferred = std::min(wholePicture, preferredRows * rowBytes);
    return sizes;
}
