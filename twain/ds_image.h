#pragma once
// The picture side of a transfer: what the application is told about the
// image and its layout, and the rows of a memory transfer.

#include <cstddef>
#include <cstdint>

#include "twain_protocol.h"

// What a page's pixels are: 24-bit colour, 8-bit grey or 1-bit black and white.
enum class PagePixels { Rgb, Gray, BlackWhite };

// The pixel array of a packed DIB as the capture path and WriteCroppedDib make
// it: bottom-up rows, each padded to 4 bytes, of blue-green-red pixels, of grey
// levels (a palette of the 256 greys in order) or of bits, the first pixel the
// most significant (a palette of black, then white).
struct DibPixels {
    const uint8_t* data = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    PagePixels pixels = PagePixels::Rgb;
};

// Finds the pixels of the `length`-byte packed DIB at `dib`. False when it is
// not an uncompressed bottom-up DIB of one of those three kinds, with exactly
// that palette, whose header, palette and pixels all lie in the block.
bool ViewPackedDib(const uint8_t* dib, size_t length, DibPixels& view);

// Bytes of one row of a memory transfer, padded to 4 bytes: red-green-blue
// triples, grey bytes, or bits with the first pixel most significant. 0 for a
// width of 0 or less, or one whose row does not fit 31 bits.
TW_UINT32 RowBytes(int32_t width, PagePixels pixels);
TW_UINT32 RgbRowBytes(int32_t width);  // RowBytes(width, PagePixels::Rgb)

// Copies picture rows from `firstRow` on (counted from the top), as many whole
// rows as fit in `capacity` bytes and are left, into `dest`, each
// RowBytes(picture.width, picture.pixels) long: red-green-blue for a 24-bit
// picture; padding, and the bits after the last pixel, zero. Returns how many
// rows it wrote: 0 when not even one row fits or none is left.
uint32_t CopyRows(const DibPixels& picture, uint32_t firstRow, uint8_t* dest, uint32_t capacity);
// The same; the name from when every picture was 24-bit.
uint32_t CopyRgbRows(const DibPixels& picture, uint32_t firstRow, uint8_t* dest,
                     uint32_t capacity);

// BitsPerPixel 24, 8 or 1, uncompressed and chunky.
TW_IMAGEINFO ImageInfoFor(int32_t width, int32_t height, double dotsPerInch,
                          PagePixels pixels = PagePixels::Rgb);

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

// Bytes of the packed DIB of a width x height picture of `pixels`, palette
// included; 0 for an empty size or one whose bytes do not fit 31 bits.
size_t PackedDibBytes(int32_t width, int32_t height, PagePixels pixels = PagePixels::Rgb);
// Writes the packed DIB of `rect` of the 24-bit `picture` as `pixels` to `dest`,
// PackedDibBytes(rect.width, rect.height, pixels) bytes; `rect` may be the whole
// picture. A black-and-white pixel is white where its luma is at least
// `threshold`. False, writing nothing, when `picture` is not 24-bit or `rect`
// does not lie inside it.
bool WriteCroppedDib(const DibPixels& picture, const PixelRect& rect, double dotsPerInch,
                     PagePixels pixels, uint8_t threshold, uint8_t* dest);
// The same as 24-bit colour.
void WriteCroppedDib(const DibPixels& picture, const PixelRect& rect, double dotsPerInch,
                     uint8_t* dest);
// Sets the pixels-per-metre fields of the 40-byte header at `dib`.
void StampDibResolution(uint8_t* dib, double dotsPerInch);

// The buffer sizes offered for a memory transfer of a picture of this size.
TW_SETUPMEMXFER MemoryBufferSizes(int32_t width, int32_t height,
                                  PagePixels pixels = PagePixels::Rgb);
