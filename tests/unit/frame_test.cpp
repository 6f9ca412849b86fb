#include "capture/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <utility>

#include "capture/convert_kernels.h"

namespace {

using Bgr = std::array<int, 3>;  // blue, green, red

bool Convert(const std::vector<uint8_t>& data, int w, int h, CapturedFrame& f,
             PixelFormat format = PixelFormat::Unknown, int32_t stride = 0) {
    return ConvertFrame(data.data(), int32_t(data.size()), w, h, SampleLayout{format, stride}, f);
}

// trunc(n * c) in integers for the float c with bit pattern `bits` (c = mantissa * 2^-shift); for these constants no
// 8-bit n gives a product close enough below an integer for float rounding to matter.
int TruncProduct(int n, uint32_t bits) {
    const int64_t magnitude = (std::abs(n) * int64_t((bits & 0x7FFFFF) | 0x800000)) >> (150 - int((bits >> 23) & 0xFF));
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

// The plain way: pixel by pixel, every byte fetched through one accessor that notes how far into the sample it
// reached. Taken when the rows do not overlap and the sample holds every byte read.
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
    Converted out{false, 0, std::vector<uint8_t>(size_t(PaddedStride(w)) * h)};
    auto at = [&](int64_t i) { return out.needed = std::max(out.needed, i + 1), i < int64_t(s.size()) ? s[i] : 0; };
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

// Runs its body under each instruction set this machine can run, then gives ConvertFrame back the processor's choice.
void ForEachRunnableSet(const std::function<void()>& body) {
    for (InstructionSet set : {InstructionSet::Scalar, InstructionSet::SSE2, InstructionSet::AVX2}) {
        SCOPED_TRACE(testing::Message() << "instruction set " << static_cast<int>(set));
        if (UseInstructionSet(set)) body();
    }
    UseInstructionSet(BestInstructionSet());
}
}  // namespace

// Every (Y, U, V) through every kernel in both layouts: 2 x 2 blocks with U = block row, V = block column and lumas
// 4k to 4k + 3, so that a value from the wrong pixel, pair, row or vector half shows as well as a wrong colour.
TEST(ConvertFrame, EveryYuvThroughEveryKernelMatchesExactArithmetic) {
    const int n = 512;
    std::vector<uint8_t> nv12(n * n * 3 / 2), yuy2(n * n * 2), expected(n * n * 3);
    for (int k = 0; k < 64; ++k) {
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const int luma = 4 * k + x % 2 + 2 * (y % 2), u = y / 2, v = x / 2;
                nv12[y * n + x] = yuy2[2 * (y * n + x)] = static_cast<uint8_t>(luma);
                nv12[n * n + u * n + x] = yuy2[2 * (y * n + x) + 1] = static_cast<uint8_t>(x % 2 == 0 ? u : v);
                const Bgr bgr = ReferenceYuv(luma, u, v);
                std::copy(bgr.begin(), bgr.end(), expected.begin() + 3 * ((n - 1 - y) * n + x));
            }
        ForEachRunnableSet([&] {
            for (auto [sample, format] : {std::pair{&nv12, PixelFormat::NV12}, {&yuy2, PixelFormat::YUY2}}) {
                CapturedFrame f;
                ASSERT_TRUE(Convert(*sample, n, n, f, format) && f.pixels == expected) << int(format) << ", k " << k;
            }
        });
    }
}

// Random samples of every layout, exactly as long as the reference reads or one byte shorter, strides of either sign
// around the narrowest row, some wide enough for several vectors and a tail, converted under every instruction set
// into a reused frame of junk: the result, padding included, is the reference's; a rejected sample leaves the frame
// as it was; and storage large enough is kept, since the preview refills one frame.
TEST(ConvertFrame, MatchesTheReferenceForEveryLayoutSizeStrideAndLengthInReusedStorage) {
    std::mt19937 random(15);
    for (int i = 0; i < 20000; ++i) {
        const PixelFormat format = static_cast<PixelFormat>(random() % 4);
        const int w = static_cast<int>(random() % (i % 5 == 0 ? 140 : 7)), h = static_cast<int>(random() % 5);
        int32_t stride = random() % 3 == 0 ? 0 : w * (format == PixelFormat::RGB24 ? 3 : 2) + int(random() % 6) - 1;
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
        ForEachRunnableSet([&] {
            CapturedFrame frame{std::vector<uint8_t>(random() % 2 ? expected.pixels.size() : random() % 64), 7, 8, 9};
            for (uint8_t& b : frame.pixels) b = static_cast<uint8_t>(random());
            const CapturedFrame before = frame;
            const uint8_t* storage = frame.pixels.data();
            ASSERT_EQ(Convert(sample, w, h, frame, format, stride), expected.accepted);
            CapturedFrame want = expected.accepted ? CapturedFrame{expected.pixels, w, h, PaddedStride(w)} : before;
            EXPECT_TRUE(frame.pixels == want.pixels && frame.width == want.width && frame.height == want.height &&
                        frame.stride == want.stride);
            EXPECT_TRUE(want.pixels.size() > before.pixels.size() || frame.pixels.data() == storage);
        });
    }
    CapturedFrame untouched;  // the most negative stride has no 32-bit magnitude; sizes no frame can have
    EXPECT_FALSE(Convert(std::vector<uint8_t>(64), 2, 2, untouched, PixelFormat::RGB24, INT32_MIN));
    for (auto [w, h] : {std::pair{-1, 2}, {2, -1}, {1 << 16, 1 << 15}})
        for (PixelFormat format : {PixelFormat::Unknown, PixelFormat::RGB24, PixelFormat::YUY2, PixelFormat::MJPG})
            EXPECT_FALSE(Convert(std::vector<uint8_t>(64), w, h, untouched, format) || !untouched.pixels.empty());
}

// AVX2 only where the processor has it and the system saves its registers. Each row after the first lacks one bit:
// OSXSAVE (hidden by a hypervisor), AVX, AVX2, the saved AVX registers, SSE2.
TEST(InstructionSets, DecodedFromCpuidAndXcr0) {
    const uint32_t osxsave = 1u << 27, avx = 1u << 28, ecx = osxsave | avx, edx = 1u << 26, ebx = 1u << 5;
    const struct { CpuReport report; bool avx2, sse2; } cases[] = {
        {{ecx, edx, ebx, 7}, true, true}, {{avx, edx, ebx, 7}, false, true}, {{osxsave, edx, ebx, 7}, false, true},
        {{ecx, edx, 0, 7}, false, true}, {{ecx, edx, ebx, 3}, false, true}, {{ecx, 0, ebx, 7}, false, false}};
    for (const auto& c : cases)
        EXPECT_TRUE(ReportAllows(c.report, InstructionSet::AVX2) == c.avx2 &&
                    ReportAllows(c.report, InstructionSet::SSE2) == c.sse2 &&
                    ReportAllows(c.report, InstructionSet::Scalar)) << "case " << &c - cases;
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
    EXPECT_TRUE(ProcessorSupports(InstructionSet::SSE2));  // compiled for SSE2: the real registers say so
#endif
}

// The kernel tests run each set the kernels' choice allows, and say which. A set the processor has (by the compiler's
// own reading of CPUID) that the choice turns down fails here, rather than leaving its kernels untested in silence.
TEST(InstructionSets, EverySetTheProcessorHasIsTested) {
    struct Named { InstructionSet set; const char* name; bool claimed; };
#if defined(SNAPWARD_X86_KERNELS) && defined(__GNUC__)
    __builtin_cpu_init();
    const Named sets[] = {{InstructionSet::Scalar, "scalar", true},
                          {InstructionSet::SSE2, "SSE2", __builtin_cpu_supports("sse2") != 0},
                          {InstructionSet::AVX2, "AVX2", __builtin_cpu_supports("avx2") != 0}};
#else
    const Named sets[] = {{InstructionSet::Scalar, "scalar", true}};  // no second opinion at hand
#endif
    std::string ran;
    for (const Named& s : sets) {
        if (ProcessorSupports(s.set)) ran += std::string(" ") + s.name;
        EXPECT_TRUE(!s.claimed || ProcessorSupports(s.set)) << s.name << " is on the processor but not tested";
    }
    std::printf("kernel instruction sets tested:%s\n", ran.c_str());
}
