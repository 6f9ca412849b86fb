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

// Pixel x of picture row y (counted from the top).
Bgr PixelAt(const CapturedFrame& f, int x, int y) {
    const uint8_t* p = f.pixels.data() + static_cast<size_t>(f.height - 1 - y) * f.stride + 3 * x;
    return {p[0], p[1], p[2]};
}

// A reused frame: junk everywhere, so a refill that leaves its padding alone shows.
CapturedFrame Sentinel() { return {std::vector<uint8_t>(64, 0xEE), 7, 8, 9}; }
void ExpectUntouched(const CapturedFrame& f) {
    EXPECT_TRUE(f.pixels == Sentinel().pixels && f.width == 7 && f.height == 8 && f.stride == 9);
}

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

// Random samples of every width from 1 to 130, odd and even heights, padded
// rows of either stride sign, exactly as long as they must be (so that the
// sanitizer sees any read past them), converted into frames full of junk: the
// kernels must leave the same bytes as the scalar rows, padding included.
TEST(ConvertFrameColour, EveryKernelMatchesScalarRowsAtEveryWidthAndStride) {
    std::mt19937 random(14);
    auto junkFrame = [&](int w, int h) {
        CapturedFrame f{std::vector<uint8_t>(static_cast<size_t>(PaddedStride(w)) * h), 9, 9, 9};
        for (uint8_t& b : f.pixels) b = static_cast<uint8_t>(random());
        return f;
    };
    for (int w = 1; w <= 130; ++w) {
        const int h = 1 + w % 3, pairBytes = (w + 1) / 2 * 2;
        const int nv12Pitch = pairBytes + static_cast<int>(random() % 5);
        const int yuy2Pitch = 2 * pairBytes + static_cast<int>(random() % 5);
        std::vector<uint8_t> nv12(nv12Pitch * (h + (h + 1) / 2 - 1) + pairBytes);
        std::vector<uint8_t> yuy2(yuy2Pitch * (h - 1) + 2 * pairBytes);
        for (auto* sample : {&nv12, &yuy2})
            for (uint8_t& b : *sample) b = static_cast<uint8_t>(random());
        for (int sign : {1, -1}) {
            SCOPED_TRACE(testing::Message() << w << " x " << h << ", stride sign " << sign);
            CapturedFrame scalarNv12, scalarYuy2;
            ForEachRunnableSet([&](InstructionSet set) {
                CapturedFrame fromNv12 = junkFrame(w, h), fromYuy2 = junkFrame(w, h);
                ASSERT_TRUE(Convert(nv12, w, h, fromNv12, PixelFormat::NV12, sign * nv12Pitch));
                ASSERT_TRUE(Convert(yuy2, w, h, fromYuy2, PixelFormat::YUY2, sign * yuy2Pitch));
                if (set == InstructionSet::Scalar) {
                    scalarNv12 = fromNv12, scalarYuy2 = fromYuy2;
                } else {
                    EXPECT_EQ(fromNv12.pixels, scalarNv12.pixels);
                    EXPECT_EQ(fromYuy2.pixels, scalarYuy2.pixels);
                }
            });
        }
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

TEST(ConvertFrameLength, ThresholdsAt640x480AndStorageReuse) {
    // Luma 50, chroma neutral, everything past the NV12 size 7: packed RGB
    // shows the 7s of the last source row at the bottom, NV12 a grey of 50.
    std::vector<uint8_t> s(921600, 7);
    std::fill(s.begin(), s.begin() + 307200, 50);
    std::fill(s.begin() + 307200, s.begin() + 460800, 128);
    CapturedFrame f = Sentinel();
    for (int32_t length : {460799, -1}) EXPECT_FALSE(ConvertFrame(s.data(), length, 640, 480, f));
    for (PixelFormat format : {PixelFormat::Unknown, PixelFormat::RGB24})
        EXPECT_FALSE(ConvertFrame(nullptr, 16, 2, 2, SampleLayout{format, 0}, f));
    // Empty, or not a JPEG: the decoder (or its absence) drops it.
    for (int32_t length : {0, 64})
        EXPECT_FALSE(ConvertFrame(s.data(), length, 2, 2, SampleLayout{PixelFormat::MJPG, 0}, f));
    ExpectUntouched(f);
    // The preview refills one frame: at an unchanged size it keeps its storage,
    // even with a smaller frame in between.
    const int32_t cases[][2] = {{921600, 7}, {921599, 50}, {460800, 50}, {921600, 7}};
    const uint8_t* storage = nullptr;
    for (auto [length, bottomLeftBlue] : cases) {
        SCOPED_TRACE(length);
        ASSERT_TRUE(ConvertFrame(s.data(), length, 640, 480, f));
        ASSERT_EQ(f.pixels.size(), 921600u);
        EXPECT_EQ(f.pixels[0], bottomLeftBlue);
        if (storage == nullptr) storage = f.pixels.data();
        EXPECT_EQ(f.pixels.data(), storage);
        ASSERT_TRUE(ConvertFrame(s.data(), 115200, 320, 240, f));  // NV12 of 320 x 240
    }
}

TEST(ConvertFramePacked, RgbAndYuy2RowOrderPaddingStrideSignsAndOddWidths) {
    // RGB: three rows of two pixels (6 bytes), 10 bytes apart: 26 bytes are read.
    std::vector<uint8_t> s(26);
    for (int i = 0; i < 26; ++i) s[i] = static_cast<uint8_t>(i + 1);
    // YUY2: two rows 10 bytes apart (8 used), grey 30 first in memory, grey 90 second.
    std::vector<uint8_t> y(18, 0xFF);
    for (int i = 0; i < 8; i += 2) y[i] = 30, y[i + 1] = y[10 + i + 1] = 128, y[10 + i] = 90;
    CapturedFrame f = Sentinel();
    for (int32_t stride : {10, -10}) {
        EXPECT_FALSE(Convert({s.begin(), s.end() - 1}, 2, 3, f, PixelFormat::RGB24, stride));
        EXPECT_FALSE(Convert(s, 2, 3, f, PixelFormat::RGB24, stride / 2));  // rows overlap
        EXPECT_FALSE(Convert({y.begin(), y.end() - 1}, 4, 2, f, PixelFormat::YUY2, stride));
    }
    EXPECT_FALSE(Convert(s, 2, 3, f, PixelFormat::RGB24, INT32_MIN));
    // Stride 0: RGB rows the padded output stride apart, 8 bytes for two pixels:
    // 22 bytes, not 21. YUY2 rows 2 * width apart: 16 bytes, not 15.
    EXPECT_FALSE(Convert(std::vector<uint8_t>(21, 0), 2, 3, f, PixelFormat::RGB24));
    EXPECT_FALSE(Convert(std::vector<uint8_t>(15, 0), 4, 2, f, PixelFormat::YUY2));
    EXPECT_FALSE(Convert(y, 4, 2, f, PixelFormat::YUY2, 7));  // pitch below 8
    // Width 3 reads two whole pairs (8 bytes) per row: 2 * width is too narrow.
    EXPECT_FALSE(Convert(std::vector<uint8_t>(12, 128), 3, 2, f, PixelFormat::YUY2));
    ExpectUntouched(f);
    EXPECT_TRUE(Convert(std::vector<uint8_t>(22, 0), 2, 3, f, PixelFormat::RGB24));
    EXPECT_TRUE(Convert(std::vector<uint8_t>(16, 0), 4, 2, f, PixelFormat::YUY2));
    ASSERT_TRUE(Convert(s, 2, 3, f = Sentinel(), PixelFormat::RGB24, 10));
    EXPECT_EQ(f.pixels, (std::vector<uint8_t>{21, 22, 23, 24, 25, 26, 0, 0, 11, 12, 13, 14, 15, 16, 0, 0,
                                              1, 2, 3, 4, 5, 6, 0, 0}));
    // Bottom-up already: the first row in memory is the bottom row, kept first.
    ASSERT_TRUE(Convert(s, 2, 3, f = Sentinel(), PixelFormat::RGB24, -10));
    EXPECT_EQ(f.pixels, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0, 0, 11, 12, 13, 14, 15, 16, 0, 0,
                                              21, 22, 23, 24, 25, 26, 0, 0}));
    std::vector<uint8_t> grey30Top(24, 90);  // bottom row first in memory
    std::fill(grey30Top.begin() + 12, grey30Top.end(), 30);
    ASSERT_TRUE(Convert(y, 4, 2, f, PixelFormat::YUY2, 10));
    EXPECT_EQ(f.pixels, grey30Top);
    ASSERT_TRUE(Convert(y, 4, 2, f, PixelFormat::YUY2, -10));
    EXPECT_EQ(f.pixels, std::vector<uint8_t>(grey30Top.rbegin(), grey30Top.rend()));
    // Y0 U Y1 V; the third pixel takes the next pair, whose second luma is never shown.
    ASSERT_TRUE(Convert({10, 128, 20, 128, 128, 64, 0xAA, 192}, 3, 1, f, PixelFormat::YUY2, 8));
    EXPECT_EQ(PixelAt(f, 1, 0), (Bgr{20, 20, 20}));
    EXPECT_EQ(PixelAt(f, 2, 0), (Bgr{15, 105, 217}));
    EXPECT_EQ(f.pixels[9] | f.pixels[10] | f.pixels[11], 0);
}

TEST(ConvertFrameNv12, PaddedPitchSharedChromaRowsEitherSignAndOddSizes) {
    // 2 x 4, pitch 6: luma rows at 0, 6, 12, 18; chroma rows at 24 and 30;
    // bytes 2 to 5 of every row are junk. The last byte read is 31.
    std::vector<uint8_t> s(32, 0xEE);
    for (int y = 0; y < 4; ++y) s[y * 6] = s[y * 6 + 1] = static_cast<uint8_t>(20 * (y + 1));
    s[24] = 64, s[25] = 192, s[30] = s[31] = 128;  // chroma of rows 0 and 1, then of 2 and 3
    CapturedFrame f = Sentinel();
    EXPECT_FALSE(Convert({s.begin(), s.end() - 1}, 2, 4, f, PixelFormat::NV12, 6));
    EXPECT_FALSE(Convert(s, 2, 4, f, PixelFormat::NV12, 1));
    ExpectUntouched(f);
    ASSERT_TRUE(Convert(s, 2, 4, f, PixelFormat::NV12, 6));
    for (int y = 0; y < 4; ++y) {
        EXPECT_EQ(PixelAt(f, y % 2, y), ReferenceYuv(20 * (y + 1), y < 2 ? 64 : 128, y < 2 ? 192 : 128));
        EXPECT_EQ(f.pixels[y * 8 + 6] | f.pixels[y * 8 + 7], 0) << "padding of row " << y;
    }
    // Planar YUV is top-down whatever the sign: a negative stride gives the same picture.
    CapturedFrame negative;
    ASSERT_TRUE(Convert(s, 2, 4, negative, PixelFormat::NV12, -6));
    EXPECT_EQ(negative.pixels, f.pixels);

    // Odd width without a layout: the last pair would straddle two chroma rows.
    // 3 x 2: NV12 from 9 bytes, packed RGB from 24.
    f = Sentinel();
    for (size_t length : {9, 23}) EXPECT_FALSE(Convert(std::vector<uint8_t>(length, 0), 3, 2, f));
    // Odd height: the last picture row has chroma row 1, which ends at byte 10,
    // past the half size of 9.
    EXPECT_FALSE(Convert(std::vector<uint8_t>(9, 128), 2, 3, f));
    ExpectUntouched(f);
    ASSERT_TRUE(Convert({10, 10, 20, 20, 30, 30, 128, 128, 64, 192}, 2, 3, f));
    EXPECT_EQ(PixelAt(f, 0, 1), (Bgr{20, 20, 20}));
    EXPECT_EQ(PixelAt(f, 1, 2), ReferenceYuv(30, 64, 192));
    // With a pitch wide enough for the last pair, an odd width converts.
    const std::vector<uint8_t> odd = {10, 20, 30, 0xEE, 128, 128, 64, 192};
    ASSERT_TRUE(Convert(odd, 3, 1, f, PixelFormat::NV12, 4));
    EXPECT_EQ(PixelAt(f, 2, 0), ReferenceYuv(30, 64, 192));
    EXPECT_FALSE(Convert({odd.begin(), odd.end() - 1}, 3, 1, f, PixelFormat::NV12, 4));
}

TEST(ConvertFrameSize, NegativeOverflowingAndZeroSizes) {
    // In 32-bit arithmetic several of these wrap to a small or negative size
    // that a 64-byte sample would pass.
    const int32_t bad[][2] = {{-1, 2}, {2, -1}, {INT32_MIN, 1}, {0x40000000, 1}, {0x2AAAAAAB, 0},
                              {46341, 46341}, {1, INT32_MAX}, {20000, 40000}, {INT32_MAX, INT32_MAX}};
    const int32_t empty[][3] = {{0, 0, 0}, {5, 0, 16}, {0, 3, 0}};  // w, h, stride; no bytes needed
    for (PixelFormat format : {PixelFormat::Unknown, PixelFormat::RGB24, PixelFormat::YUY2,
                               PixelFormat::NV12, PixelFormat::MJPG}) {
        SCOPED_TRACE(testing::Message() << "format " << static_cast<int>(format));
        CapturedFrame f = Sentinel();
        for (const auto& [w, h] : bad) {
            EXPECT_FALSE(Convert(std::vector<uint8_t>(64, 0), w, h, f, format)) << w << "x" << h;
            ExpectUntouched(f);
        }
        for (const auto& [w, h, stride] : empty) {
            if (format == PixelFormat::MJPG) break;  // a JPEG is never empty
            f = Sentinel();
            ASSERT_TRUE(ConvertFrame(nullptr, 0, w, h, SampleLayout{format, 0}, f));
            EXPECT_TRUE(f.pixels.empty() && f.width == w && f.height == h && f.stride == stride);
        }
    }
}
