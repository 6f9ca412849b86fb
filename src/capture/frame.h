#pragma once
// Raw camera samples -> CapturedFrame, the program's one picture type.

#include <cstdint>
#include <vector>

// One converted still: bottom-up rows of blue-green-red pixels, each row padded
// with zeros to a multiple of 4 bytes. Byte for byte the pixel array of a
// bottom-up 24-bit DIB, so the encoders and the screen take it unchanged.
struct CapturedFrame {
    std::vector<uint8_t> pixels;  // exactly height * stride bytes
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;  // 3 * width rounded up to a multiple of 4
};

// The subtypes the camera can settle on.
enum class PixelFormat { Unknown, RGB24, YUY2, NV12, MJPG };

// What the camera knows about a sample beyond its bytes. With format Unknown
// the layout is guessed from the length alone (packed RGB24 or NV12).
struct SampleLayout {
    PixelFormat format = PixelFormat::Unknown;
    // Signed bytes from one row to the next as the buffer delivers them:
    // negative for a bottom-up buffer, 0 when the buffer did not say.
    // `data` always points at the lowest address of the sample, so with a
    // negative stride the first row in memory is the bottom row of the picture.
    // RGB24 and YUY2 honour the sign; NV12 is planar and always top-down, so
    // only the magnitude (the pitch of both planes) is used.
    int32_t stride = 0;
};

// Bytes per output row for a picture `width` pixels wide: 3 * width rounded up
// to a multiple of 4. Only meaningful for widths that ConvertFrame accepts
// (larger ones wrap rather than overflow).
constexpr int32_t PaddedStride(int32_t width) {
    return static_cast<int32_t>((int64_t{3} * width + 3) & ~int64_t{3});
}

// Fills `frame` from one sample of `length` valid bytes at `data`, for the
// negotiated `width` x `height`. Returns false, leaving `frame` untouched, when
// the sample cannot hold such a picture and is to be dropped.
//
// Without a layout: a length of at least height * stride is packed top-down
// BGR rows `stride` bytes apart; otherwise at least width * height * 3 / 2 is
// NV12 with rows `width` bytes apart. Odd sizes are taken only when the sample
// holds every byte that they read (an odd width never: its last chroma pair
// would straddle two rows).
//
// Never reads at or past data + length; negative sizes, and sizes whose byte
// counts do not fit in int32, are rejected. A frame of unchanged size keeps its
// storage.
bool ConvertFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                  CapturedFrame& frame);

// The same with the subtype and stride known:
// - RGB24: rows |stride| bytes apart (the padded output stride when 0), at
//   least 3 * width each.
// - YUY2: bytes Y0 U Y1 V, two pixels sharing U and V; rows |stride| bytes
//   apart (2 * width when 0), each holding all of its last pixel pair.
// - NV12: luma rows and then, from pitch * height, one chroma row of U V pairs
//   per two picture rows, both planes `pitch` = |stride| apart (width when 0).
// - MJPG: decoded by DecodeMjpegFrame.
// - Unknown: as the overload above.
bool ConvertFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                  const SampleLayout& layout, CapturedFrame& frame);
