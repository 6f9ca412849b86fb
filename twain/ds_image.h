#pragma once
// The picture side of a transfer: what the application is told about the
// image and its layout, and the rows of a memory transfer.

#include <cstddef>
#include <cstdint>

#include "twain_protocol.h"

// The pixel array of a packed 24-bit DIB as the capture path makes it:
// bottom-up rows of blue-green-red pixels, each row padded to 4 bytes.
struct DibPixels {
    const uint8_t* data = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
};

// Finds the pixels of the `length`-byte packed DIB at `dib`. False when it is
// not an uncompressed bottom-up 24-bit DIB whose pixels all lie in the block.
bool ViewPackedDib(const uint8_t* dib, size_t length, DibPixels& view);

// Bytes of one row of a memory transfer: red-green-blue, padded to 4 bytes.
TW_UINT32 RgbRowBytes(int32_t width);

// Copies picture rows from `firstRow` on (counted from the top), as many whole
// rows as fit in `capacity` bytes and are left, into `dest` as red-green-blue
// triples with zero padding. Returns how many rows it wrote: 0 when not even
// one row fits or none is left.
uint32_t CopyRgbRows(const DibPixels& picture, uint32_t firstRow, uint8_t* dest,
                     uint32_t capacity);

TW_IMAGEINFO ImageInfoFor(int32_t width, int32_t height, double dotsPerInch);

// Picture pixels counted from the top left corner.
struct PixelRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool operator==(const PixelRect&) const = default;
};

// `rect` in inches, as DAT_IMAGELAYOUT tells it.
TW_IMAGELAYOUT LayoutFor(const PixelRect& rect, double dotsPerInch);

enum class FrameFit {
    Exact,     // every edge on a pixel edge (within a TW_FIX32's precision), inside the picture
    Adjusted,  // edges rounded to the nearest pixel edge, or clipped to the picture
    Refused,   // nothing of the picture left, or edges in the wrong order
};
// The pixels of a width x height picture that `frame`, in inches at
// `dotsPerInch`, covers.
FrameFit FitFrame(const TW_FRAME& frame, double dotsPerInch, int32_t width, int32_t height,
                  PixelRect& rect);
// `rect` clipped to a width x height picture; the whole picture when nothing
// of `rect` lies inside it (another camera, smaller than the one it was set for).
PixelRect ClipToPicture(const PixelRect& rect, int32_t width, int32_t height);

// Bytes of the packed 24-bit DIB of a width x height picture; 0 for an empty
// size or one whose bytes do not fit 31 bits.
size_t PackedDibBytes(int32_t width, int32_t height);
// Writes the packed DIB of `rect` of `picture` (which must lie inside it) to
// `dest`, PackedDibBytes(rect.width, rect.height) bytes.
void WriteCroppedDib(const DibPixels& picture, const PixelRect& rect, double dotsPerInch,
                     uint8_t* dest);
// Sets the pixels-per-metre fields of the 40-byte header at `dib`.
void StampDibResolution(uint8_t* dib, double dotsPerInch);

// The buffer sizes offered for a memory transfer of a picture of this size.
TW_SETUPMEMXFER MemoryBufferSizes(int32_t width, int32_t height);
