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

TW_IMAGEINFO ImageInfoFor(int32_t width, int32_t height);

// The whole picture, in inches at 96 dots per inch.
TW_IMAGELAYOUT FullFrameLayout(int32_t width, int32_t height);
// True when `frame` is the whole picture, give or take half a pixel.
bool IsFullFrame(const TW_FRAME& frame, int32_t width, int32_t height);

// The buffer sizes offered for a memory transfer of a picture of this size.
TW_SETUPMEMXFER MemoryBufferSizes(int32_t width, int32_t height);
