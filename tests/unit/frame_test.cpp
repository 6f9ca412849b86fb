#include "capture/frame.h"

#include <gtest/gtest.h>

#include "capture/convert_kernels.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

namespace {

using Bgr = std::array<int, 3>;  // blue, green, red

bool Convert(const std::vector<uint8_t>& data, int w, int h, CapturedFrame& f,
             PixelFormat format = PixelFormat::Unknown, int32_t stride = 0) {
    return ConvertFrame(data.data(), int32_t(data.size()), w, h, SampleLayout{format, stride}, f);
}

// trunc(n * c), exact in integers, for the float c with bit pattern `bits`: c = mantissa * 2^-shift.
// For these constants and every 8-bit n no product lies so close below an integer
// that rounding it to single precision first would change the truncation.
int TruncProduct(int n, uint32_t bits) {
    const int64_t mantissa = (bits & 0x7FFFFF) | 0x800000;
    const int shift = 150 - static_cast<int>((bits >> 23) & 0xFF);
    const int64_t magnitude = (std::abs(n) * mantissa) >> shift;
    return static_cast<int>((n < 0) != ((bits >> 31) != 0) ? -magnitude : magnitude);
}

Bgr ReferenceYuv(int y, int uByte, int vByte) {
    const int u = uByte - 128, v = vByte - 128;
    auto clamp = [](int x) { return std::clamp(x, 0, 255); };
    return {clamp(y - TruncProduct(u, 0xBFE2D0E5)),
            clamp(y + TruncProduct(u, 0xBEB020C5) - TruncProduct(v, 0x3F36C8B4)),
            clamp(y - TruncProduct(v, 0xBFB374BC))};
}


struct Converted {
    bool accepted = false;
    int64_t needed = 0;  // bytes from the start of the sample that the conversion reads
    std::vector<uint8_t> pixels;
};

// The plain way: pixel by pixel, every byte fetched through one accessor that
// notes how far into the sample it reached. Taken when the rows do not overlap
// and the sample holds every byte read.
Converted Reference(const std::vector<uint8_t>& s, int w, int h, SampleLayout layout) {
    PixelFormat format = layout.format;
    int64_t pitch = std::abs(int64_t{layout.stride});
    bool bottomUp = layout.stride < 0 && format != PixelFormat::NV12;
    if (format == PixelFormat::Unknown) {
        const bool packed = int64_t(s.size()) >= int64_t{PaddedStride(w)} * h;
        if (!packed && int64_t(s.size()) < int64_t{w} * h * 3 / 2) return {};
        format = packed ? PixelFormat::RGB24 : PixelFormat::NV12;
        pitch = packed ? PaddedStride(w) : w, bottomUp = false;
    }
    const bool rgb = format == PixelFormat::RGB24, yuy2 = format == PixelFormat::YUY2;
    const int64_t rowRead = rgb ? 3 * w : (yuy2 ? 4 : 2) * ((w + 1) / 2);
    if (pitch == 0) pitch = rgb ? PaddedStride(w) : yuy2 ? 2 * w : w;
    Converted out;
    auto at = [&](int64_t i) -> int {
        out.needed = std::max(out.needed, i + 1);
        return i < int64_t(s.size()) ? s[i] : 0;
    };
    out.pixels.assign(size_t(PaddedStride(w)) * h, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int64_t row = (bottomUp ? h - 1 - y : y) * pitch, pair = row + 4 * (x / 2);
            const int64_t chroma = pitch * h + (y / 2) * pitch + 2 * (x / 2);
            const Bgr bgr = rgb    ? Bgr{at(row + 3 * x), at(row + 3 * x + 1), at(row + 3 * x + 2)}
                            : yuy2 ? ReferenceYuv(at(pair + 2 * (x % 2)), at(pair + 1), at(pair + 3))
                                   : ReferenceYuv(at(row + x), at(chroma), at(chroma + 1));
            std::copy(bgr.begin(), bgr.end(), out.pixels.begin() + (h - 1 - y) * PaddedStride(w) + 3 * x);
        }
    out.accepted = (w * h == 0 || pitch >= rowRead) && out.needed <= int64_t(s.size());
    return out;
}

// A reused frame: junk everywhere, sometimes of the size about to be filled, so
// that a refill that leaves its padding alone shows.
CapturedFrame Junk(std::mt19937& random, size_t size) {
    CapturedFrame f{std::vector<uint8_t>(random() % 2 ? size : random() % 64), 7, 8, 9};
    for (uint8_t& b : f.pixels) b = static_cast<uint8_t>(random());
    return f;
}
}  // namespace

// Runs its body once per instruction set this machine can run, scalar first,
// and gives ConvertFrame back the processor's own choice afterwards.
template <typename Body>
void ForEachRunnableSet(Body body) {
    for (InstructionSet set : {InstructionSet::Scalar, InstructionSet::SSE2, InstructionSet::AVX2}) {
        if (!UseInstructionSet(set)) continue;
        SCOPED_TRACE(testing::Message() << "instruction set " << static_cast<int>(set));
        body(set);
    }
    UseInstructionSet(BestInstructionSet());
}

// Every (Y, U, V) through every kernel, in both layouts: 64 pictures of 512 x 512
// whose 2 x 2 blocks have U = block row, V = block column and lumas 4k to 4k + 3.
// Lumas, pairs and chroma rows all differ between neighbours, so a value taken
// from the wrong pixel, pair, row or vector half shows as well as a wrong colour.
TEST(ConvertFrameColour, EveryYuvThroughEveryKernelMatchesExactArithmetic) {
    EXPECT_EQ(ReferenceYuv(200, 129, 127), (Bgr{201, 200, 199}));  // products truncate toward zero
    EXPECT_EQ(ReferenceYuv(128, 64, 192), (Bgr{15, 105, 217}));
    const int n = 512;
    std::vector<uint8_t> nv12(n * n * 3 / 2), yuy2(n * n * 2), expected(n * n * 3);
    for (int k = 0; k < 64; ++k) {
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const int luma = 4 * k + x % 2 + 2 * (y % 2), u = y / 2, v = x / 2;
                nv12[y * n + x] = static_cast<uint8_t>(luma);
                nv12[n * n + u * n + x] = static_cast<uint8_t>(x % 2 == 0 ? u : v);
                yuy2[2 * (y * n + x)] = static_cast<uint8_t>(luma);
                yuy2[2 * (y * n + x) + 1] = static_cast<uint8_t>(x % 2 == 0 ? u : v);
                const Bgr bgr = ReferenceYuv(luma, u, v);
                std::copy(bgr.begin(), bgr.end(), expected.begin() + 3 * ((n - 1 - y) * n + x));
            }
        ForEachRunnableSet([&](InstructionSet) {
            for (auto [sample, format] : {std::pair{&nv12, PixelFormat::NV12}, {&yuy2, PixelFormat::YUY2}}) {
                CapturedFrame f;
                ASSERT_TRUE(Convert(*sample, n, n, f, format));
                const auto [got, want] = std::mismatch(f.pixels.begin(), f.pixels.end(), expected.begin());
                ASSERT_TRUE(got == f.pixels.end())
                    << "format " << static_cast<int>(format) << ", k " << k << ", byte "
                    << got - f.pixels.begin() << ": " << +*got << " instead of " << +*want;
            }
        });
    }
}

// Random samples of every layout, exactly as long as the reference reads or one
// byte shorter, with strides of either sign around the narrowest row, converted
// into a reused frame full of junk under every instruction set: the result,
// padding included, is the reference's, and a rejected sample leaves the frame
// as it was.
TEST(ConvertFrame, MatchesTheReferenceForEveryLayoutSizeStrideAndLength) {
    std::mt19937 random(15);
    for (int i = 0; i < 6000; ++i) {
        const PixelFormat format = static_cast<PixelFormat>(random() % 4);
        const int w = i % 10 == 0 ? static_cast<int>(random() % 70) : static_cast<int>(random() % 7);
        const int h = static_cast<int>(random() % 5), narrowest = w * (format == PixelFormat::RGB24 ? 3 : 2);
        int32_t stride = random() % 3 == 0 ? 0 : narrowest + static_cast<int>(random() % 6) - 1;
        if (random() % 2) stride = -stride;
        std::vector<uint8_t> sample(4000);
        if (format == PixelFormat::Unknown) {  // the length decides: around both thresholds
            const int64_t full = int64_t{PaddedStride(w)} * h, half = int64_t{w} * h * 3 / 2;
            sample.resize(static_cast<size_t>(random() % 2 ? full : half) + random() % 3 - (w * h > 0));
        } else {
            const int64_t needed = Reference(sample, w, h, {format, stride}).needed;
            sample.resize(static_cast<size_t>(needed - (needed > 0 && random() % 2)));
        }
        for (uint8_t& b : sample) b = static_cast<uint8_t>(random());
        const Converted expected = Reference(sample, w, h, {format, stride});
        SCOPED_TRACE(testing::Message() << "format " << int(format) << ", " << w << " x " << h << ", stride "
                                        << stride << ", length " << sample.size());
        ForEachRunnableSet([&](InstructionSet) {
            CapturedFrame frame = Junk(random, expected.pixels.size());
            const CapturedFrame before = frame;
            ASSERT_EQ(Convert(sample, w, h, frame, format, stride), expected.accepted);
            if (!expected.accepted) {
                EXPECT_TRUE(frame.pixels == before.pixels && frame.width == before.width &&
                            frame.height == before.height && frame.stride == before.stride);
            } else {
                EXPECT_TRUE(frame.width == w && frame.height == h && frame.stride == PaddedStride(w));
                EXPECT_EQ(frame.pixels, expected.pixels);
            }
        });
    }
}

// AVX2 only where the processor has it and the operating system saves its
// registers; SSE2 from its own bit. Each case is one bit missing from a machine
// that has everything: an older processor, an operating system without AVX
// support, a hypervisor that hides OSXSAVE.
TEST(InstructionSets, DecodedFromCpuidAndXcr0) {
    const CpuReport all{.leaf1Ecx = 3u << 27, .leaf1Edx = 1u << 26, .leaf7Ebx = 1u << 5, .xcr0 = 7};
    EXPECT_TRUE(ReportAllows(all, InstructionSet::AVX2));
    const CpuReport lacking[] = {
        {1u << 28, all.leaf1Edx, all.leaf7Ebx, 7},      // OSXSAVE hidden
        {1u << 27, all.leaf1Edx, all.leaf7Ebx, 7},      // no AVX
        {all.leaf1Ecx, all.leaf1Edx, 0, 7},             // AVX without AVX2
        {all.leaf1Ecx, all.leaf1Edx, all.leaf7Ebx, 3},  // AVX registers not saved
    };
    for (const CpuReport& r : lacking)
        EXPECT_TRUE(!ReportAllows(r, InstructionSet::AVX2) && ReportAllows(r, InstructionSet::SSE2))
            << "case " << &r - lacking;
    const CpuReport noSse2{all.leaf1Ecx, 0, all.leaf7Ebx, all.xcr0};
    EXPECT_FALSE(ReportAllows(noSse2, InstructionSet::SSE2) || ReportAllows(noSse2, InstructionSet::AVX2));
    EXPECT_TRUE(ReportAllows(CpuReport{}, InstructionSet::Scalar));
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
    // Compiled for SSE2, so whatever runs this has it: the real registers are read.
    EXPECT_TRUE(ProcessorSupports(InstructionSet::SSE2));
#endif
}


// In 32-bit arithmetic several of these sizes wrap to a small or negative byte
// count that a 64-byte sample would pass; a JPEG is never empty, and there is
// no JPEG decoder outside Windows.
TEST(ConvertFrame, RejectsSizesWhoseByteCountsDoNotFitAndUnreadableSamples) {
    const int32_t bad[][2] = {{-1, 2}, {2, -1}, {INT32_MIN, 1}, {0x40000000, 1}, {0x2AAAAAAB, 0},
                              {46341, 46341}, {1, INT32_MAX}, {20000, 40000}, {INT32_MAX, INT32_MAX}};
    CapturedFrame f;
    for (int format = 0; format < 5; ++format)
        for (const auto& [w, h] : bad)
            EXPECT_FALSE(Convert(std::vector<uint8_t>(64, 0), w, h, f, PixelFormat(format))) << w << "x" << h;
    for (PixelFormat format : {PixelFormat::Unknown, PixelFormat::RGB24, PixelFormat::NV12})
        EXPECT_FALSE(ConvertFrame(nullptr, 16, 2, 2, SampleLayout{format, 0}, f));
    EXPECT_FALSE(Convert(std::vector<uint8_t>(64, 0), 2, 2, f, PixelFormat::MJPG));
    EXPECT_FALSE(Convert(std::vector<uint8_t>(6, 0), 2, 2, f, PixelFormat::RGB24, INT32_MIN));
    EXPECT_TRUE(f.pixels.empty() && f.width == 0);
}

// The preview refills one frame: at an unchanged size it keeps its storage,
// even with a smaller frame in between.
TEST(ConvertFrame, FrameOfUnchangedSizeKeepsItsStorage) {
    const std::vector<uint8_t> sample(921600, 50);
    CapturedFrame f;
    ASSERT_TRUE(Convert(sample, 640, 480, f));
    const uint8_t* storage = f.pixels.data();
    ASSERT_TRUE(Convert(sample, 320, 240, f, PixelFormat::NV12));
    ASSERT_TRUE(Convert(sample, 640, 480, f, PixelFormat::YUY2));
    EXPECT_EQ(f.pixels.data(), storage);
}
