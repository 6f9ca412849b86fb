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
    int32_t stride = 0;
};

// Fills `frame` from one sample of `length` valid bytes at `data`, for the
// negotiated `width` x `height`. Returns false, leaving `frame` untouched, when
// the sample cannot hold such a picture and is to be dropped.
bool ConvertFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                  CapturedFrame& frame);
bool ConvertFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                  const SampleLayout& layout, CapturedFrame& frame);
