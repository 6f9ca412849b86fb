// DecodeJpeg on any bytes at the scale the first byte picks: no read outside
// them, a refusal leaves the frame alone, and a decode gives a whole frame of
// the header's size at that scale with zero padding.
#include <cstdlib>

#include "capture/jpeg_decoder.h"
#include "capture/mjpeg.h"

static void Check(bool condition) { if (!condition) std::abort(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int scale = 1 << (data[0] & 3);
    const uint8_t* jpeg = size > 1 ? data + 1 : nullptr;
    CapturedFrame frame{{0xEE}, -1, -2, -3};
    if (!DecodeJpeg(jpeg, size - 1, scale, frame)) {
        Check(frame.pixels.size() == 1 && frame.pixels[0] == 0xEE && frame.width == -1 && frame.height == -2 &&
              frame.stride == -3);
        return 0;
    }
    JpegLayout layout;
    Check(ParseJpeg(jpeg, size - 1, layout));
    const int32_t w = (layout.width + scale - 1) / scale, h = (layout.height + scale - 1) / scale;
    Check(frame.width == w && frame.height == h && frame.stride == PaddedStride(w) &&
          frame.pixels.size() == size_t(h) * size_t(frame.stride));
    for (int32_t y = 0; y < h; ++y)
        for (int32_t i = 3 * w; i < frame.stride; ++i) Check(frame.pixels[size_t(y) * frame.stride + i] == 0);
    return 0;
}
