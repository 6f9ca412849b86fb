// ConvertFrame on samples, sizes and strides from the input: a conversion is refused or gives a whole frame, never
// reads outside the sample, and every instruction set gives the scalar rows' bytes.
#include <cstdlib>
#include <cstring>

#include "capture/convert_kernels.h"
#include "instruction_sets.h"
#include "capture/frame.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    AnnounceInstructionSets();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    int16_t sizes[3];  // width, height, stride
    std::memcpy(sizes, data + 1, sizeof sizes);
    // Mostly small pictures, so that some sample fills them; now and then any size. The low bits pick the format.
    const int32_t w = data[0] & 0x80 ? sizes[0] % 64 : sizes[0], h = data[0] & 0x80 ? sizes[1] % 16 : sizes[1];
    const SampleLayout layout{static_cast<PixelFormat>((data[0] & 0x7F) % 5), sizes[2]};
    const uint8_t* sample = size > 7 ? data + 7 : nullptr;
    const int32_t length = static_cast<int32_t>(size - 7);
    const CapturedFrame junk{{0xEE}, -1, -1, -1};  // a refusal leaves it as it is
    CapturedFrame scalar = junk;
    UseInstructionSet(InstructionSet::Scalar);
    const bool converted = ConvertFrame(sample, length, w, h, layout, scalar);
    if (converted ? !(scalar.width == w && scalar.height == h && scalar.stride == PaddedStride(w) &&
                      scalar.pixels.size() == size_t(h) * size_t(scalar.stride))
                  : !(scalar.pixels == junk.pixels && scalar.width == -1 && scalar.stride == -1))
        std::abort();
    for (int32_t y = 0; converted && y < h; ++y)
        for (int32_t i = 3 * w; i < scalar.stride; ++i)
            if (scalar.pixels[size_t(y) * scalar.stride + i] != 0) std::abort();  // padding
    for (InstructionSet set : {InstructionSet::SSE2, InstructionSet::AVX2}) {
        CapturedFrame vector = junk;
        if (UseInstructionSet(set) &&
            (ConvertFrame(sample, length, w, h, layout, vector) != converted || vector.pixels != scalar.pixels))
            std::abort();
    }
    return 0;
}
