// ConvertFrameScaled on samples, sizes, strides and factors from the input: it
// takes exactly the samples ConvertFrame takes, gives a whole frame of the scaled
// size with zero padding, RGB24 blocks their exact means, every instruction set
// the same bytes, and factor 1 ConvertFrame's frame; a refusal leaves the frame
// as it was. The sanitizers catch any read outside the sample.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "capture/convert_kernels.h"
#include "instruction_sets.h"
#include "capture/frame_scale.h"

namespace {

int32_t Side(int32_t side, int32_t factor) { return side == 0 ? 0 : std::max(1, side / factor); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    AnnounceInstructionSets();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    int16_t sizes[3];  // width, height, stride
    std::memcpy(sizes, data + 1, sizeof sizes);
    // Mostly small pictures, so that some sample fills them; now and then any size. The low bits pick the format.
    const int32_t w = data[0] & 0x80 ? sizes[0] % 64 : sizes[0], h = data[0] & 0x80 ? sizes[1] % 16 : sizes[1];
    const SampleLayout layout{static_cast<PixelFormat>((data[0] & 0x7F) % 5), sizes[2]};
    const int32_t factor = static_cast<int8_t>(data[7]);
    const uint8_t* sample = size > 8 ? data + 8 : nullptr;
    const int32_t length = static_cast<int32_t>(size - 8);
    const CapturedFrame junk{{0xEE}, -1, -1, -1};
    CapturedFrame scaled = junk, full = junk;
    UseInstructionSet(InstructionSet::Scalar);
    const bool converted = ConvertFrameScaled(sample, length, w, h, layout, factor, scaled);
    const bool raw = layout.format == PixelFormat::RGB24 || layout.format == PixelFormat::YUY2 ||
                     layout.format == PixelFormat::NV12;
    const bool takes = ConvertFrame(sample, length, w, h, layout, full) && raw && factor >= 1;
    if (converted != takes) std::abort();
    if (!converted) {
        if (scaled.pixels != junk.pixels || scaled.width != -1 || scaled.height != -1 || scaled.stride != -1)
            std::abort();
        return 0;
    }
    const int32_t ow = Side(w, factor), oh = Side(h, factor);
    if (scaled.width != ow || scaled.height != oh || scaled.stride != PaddedStride(ow) ||
        scaled.pixels.size() != size_t(oh) * size_t(scaled.stride))
        std::abort();
    if (factor == 1 && scaled.pixels != full.pixels) std::abort();
    const int32_t bw = std::min(factor, w), bh = std::min(factor, h), n = bw * bh;
    for (int32_t oy = 0; oy < oh; ++oy) {
        const uint8_t* row = scaled.pixels.data() + size_t(oh - 1 - oy) * scaled.stride;
        for (int32_t i = 3 * ow; i < scaled.stride; ++i)
            if (row[i] != 0) std::abort();  // padding
        for (int32_t i = 0; layout.format == PixelFormat::RGB24 && i < 3 * ow; ++i) {
            int32_t sum = 0;
            for (int32_t y = oy * bh; y < oy * bh + bh; ++y)
                for (int32_t x = i / 3 * bw; x < i / 3 * bw + bw; ++x)
                    sum += full.pixels[size_t(h - 1 - y) * full.stride + 3 * x + i % 3];
            if (row[i] != (sum + n / 2) / n) std::abort();
        }
    }
    for (InstructionSet set : {InstructionSet::SSE2, InstructionSet::AVX2}) {
        CapturedFrame vector = junk;
        if (UseInstructionSet(set) &&
            (!ConvertFrameScaled(sample, length, w, h, layout, factor, vector) || vector.pixels != scaled.pixels))
            std::abort();
    }
    return 0;
}
