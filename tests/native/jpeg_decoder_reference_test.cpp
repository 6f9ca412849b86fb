// DecodeJpeg against libjpeg-turbo on the same bytes at every scale (native
// only: there is no libjpeg-turbo in the Windows build).
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "capture/convert_kernels.h"
#include "capture/jpeg_decoder.h"
#include "capture/jpeg_kernels.h"
#include "capture/mjpeg.h"
#include "jpeg_test_pictures.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int SCALES[] = {1, 2, 4, 8};
// Both use 13-bit integer transforms but round their steps differently; a
// level of luma or chroma becomes up to about two in R, G or B.
constexpr int TOLERANCE = 3;

// The same through libjpeg's own interface, for the samplings that TurboJPEG
// does not take (chroma factors that differ from each other).
Bytes LibjpegDecode(const Bytes& jpeg, int scale, int& width, int& height) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = 1;
    cinfo.scale_denom = static_cast<unsigned>(scale);
    cinfo.do_fancy_upsampling = FALSE;
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    width = static_cast<int>(cinfo.output_width);
    height = static_cast<int>(cinfo.output_height);
    Bytes out(static_cast<size_t>(PaddedStride(width)) * height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &out[static_cast<size_t>(height - 1 - static_cast<int>(cinfo.output_scanline)) *
                            PaddedStride(width)];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return out;
}

// libjpeg-turbo's decode at 1 / scale with replicated chroma, bottom-up BGR in
// our row layout; empty when it refuses the stream.
Bytes TurboDecode(const Bytes& jpeg, int scale, int& width, int& height) {
    tjhandle handle = tjInitDecompress();
    int fullWidth = 0, fullHeight = 0, subsampling = 0, colourspace = 0;
    Bytes out;
    if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &fullWidth, &fullHeight, &subsampling,
                            &colourspace) != 0) {
        out = LibjpegDecode(jpeg, scale, width, height);
    } else {
        const tjscalingfactor factor = {1, scale};
        width = TJSCALED(fullWidth, factor);
        height = TJSCALED(fullHeight, factor);
        out.resize(static_cast<size_t>(PaddedStride(width)) * height);
        if (tjDecompress2(handle, jpeg.data(), jpeg.size(), out.data(), width, PaddedStride(width), height,
                          TJPF_BGR, TJFLAG_FASTUPSAMPLE | TJFLAG_BOTTOMUP | TJFLAG_ACCURATEDCT) != 0)
            out.clear();
    }
    tjDestroy(handle);
    return out;
}

// The largest difference of any pixel byte; -1 when the frames' shapes differ
// or the padding is not zero.
int MaxDifference(const CapturedFrame& frame, const Bytes& reference, int width, int height) {
    if (frame.width != width || frame.height != height || frame.stride != PaddedStride(width) ||
        frame.pixels.size() != reference.size())
        return -1;
    int worst = 0;
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < frame.stride; ++i) {
            const size_t at = static_cast<size_t>(y) * frame.stride + i;
            if (i >= 3 * width) {
                if (frame.pixels[at] != 0) return -1;
                continue;
            }
            worst = std::max(worst, std::abs(frame.pixels[at] - reference[at]));
        }
    return worst;
}

struct Case {
    const char* name;
    JpegRecipe recipe;
};

JpegRecipe Recipe(int w, int h, uint8_t y, uint8_t cb, uint8_t cr, int restart = 0, int quality = 90) {
    JpegRecipe r;
    r.width = w;
    r.height = h;
    r.sampling[0] = y;
    r.sampling[1] = cb;
    r.sampling[2] = cr;
    r.restartInterval = restart;
    r.quality = quality;
    return r;
}

JpegRecipe Gray(int w, int h, int restart = 0) {
    JpegRecipe r = Recipe(w, h, 0x11, 0x11, 0x11, restart);
    r.gray = true;
    return r;
}

JpegRecipe Optimized(JpegRecipe r) {
    r.optimize = true;
    return r;
}

const Case CASES[] = {
    {"444 33x17", Recipe(33, 17, 0x11, 0x11, 0x11)},
    {"422 33x17", Recipe(33, 17, 0x21, 0x11, 0x11)},
    {"420 33x17", Recipe(33, 17, 0x22, 0x11, 0x11)},
    {"440 33x17", Recipe(33, 17, 0x12, 0x11, 0x11)},
    {"420 1x1", Recipe(1, 1, 0x22, 0x11, 0x11)},
    {"420 17x9 q100", Recipe(17, 9, 0x22, 0x11, 0x11, 0, 100)},
    {"420 100x75 q30", Recipe(100, 75, 0x22, 0x11, 0x11, 0, 30)},
    {"422 71x40 restart 1", Recipe(71, 40, 0x21, 0x11, 0x11, 1)},
    {"420 96x50 restart 3", Recipe(96, 50, 0x22, 0x11, 0x11, 3)},
    {"444 40x24 restart 7", Recipe(40, 24, 0x11, 0x11, 0x11, 7)},
    {"gray 35x21", Gray(35, 21)},
    {"gray 64x40 restart 5", Gray(64, 40, 5)},
    {"420 optimised tables 50x30", Optimized(Recipe(50, 30, 0x22, 0x11, 0x11))},
    {"422 optimised tables restart 2", Optimized(Recipe(48, 33, 0x21, 0x11, 0x11, 2))},
    {"mixed Y 2x2, Cr 2x1 57x35", Recipe(57, 35, 0x22, 0x11, 0x21)},
    {"mixed Y 1x1, chroma 2x2 30x30", Recipe(30, 30, 0x11, 0x22, 0x22)},
    {"420 320x240", Recipe(320, 240, 0x22, 0x11, 0x11, 0, 85)},
};

}  // namespace

// Each case, with its tables and (where they are the standard ones) without, as a webcam sends it: every scale
// within TOLERANCE of libjpeg-turbo in every byte, with zero padding.
TEST(JpegDecoderReference, EverySamplingSizeAndRestartIntervalMatchesLibjpegTurboAtEveryScale) {
    int largest[9] = {};
    for (const Case& c : CASES) {
        const Bytes jpeg = EncodeWithLibjpeg(c.recipe, ScenePixels(c.recipe.width, c.recipe.height, 7));
        Bytes webcam = jpeg;
        const bool standardTables = RemoveStandardHuffmanTables(webcam);
        EXPECT_EQ(standardTables, !c.recipe.optimize) << c.name;
        for (int scale : SCALES) {
            SCOPED_TRACE(std::string(c.name) + " at 1/" + std::to_string(scale));
            int width = 0, height = 0;
            const Bytes reference = TurboDecode(jpeg, scale, width, height);
            ASSERT_FALSE(reference.empty());
            for (const Bytes* stream : {&jpeg, static_cast<const Bytes*>(&webcam)}) {
                CapturedFrame frame;
                ASSERT_TRUE(DecodeJpeg(stream->data(), stream->size(), scale, frame));
                const int worst = MaxDifference(frame, reference, width, height);
                EXPECT_TRUE(worst >= 0 && worst <= TOLERANCE) << "largest difference " << worst;
                largest[scale] = std::max(largest[scale], worst);
            }
        }
    }
    for (int scale : SCALES) std::printf("largest difference at 1/%d: %d\n", scale, largest[scale]);
}

// The vector transforms give the scalar ones' bytes: every case at every scale, and harsh noise at quality 100,
// whose coefficients are as large as 8-bit pictures make them.
TEST(JpegDecoderReference, VectorTransformsGiveTheScalarBytes) {
    if (!ProcessorSupports(InstructionSet::SSE2)) GTEST_SKIP() << "no SSE2";
    std::vector<Bytes> streams;
    for (const Case& c : CASES)
        streams.push_back(EncodeWithLibjpeg(c.recipe, ScenePixels(c.recipe.width, c.recipe.height, 7)));
    for (uint8_t luma : {uint8_t{0x11}, uint8_t{0x22}})
        streams.push_back(EncodeWithLibjpeg(Recipe(72, 40, luma, 0x11, 0x11, 0, 100), ScenePixels(72, 40, 13, 255)));
    for (const Bytes& jpeg : streams)
        for (int scale : SCALES) {
            CapturedFrame scalar, vector;
            ASSERT_TRUE(UseInstructionSet(InstructionSet::Scalar));
            ASSERT_TRUE(DecodeJpeg(jpeg.data(), jpeg.size(), scale, scalar));
            ASSERT_TRUE(UseInstructionSet(InstructionSet::SSE2));
            ASSERT_TRUE(DecodeJpeg(jpeg.data(), jpeg.size(), scale, vector));
            EXPECT_TRUE(scalar.pixels == vector.pixels) << "stream " << (&jpeg - streams.data()) << " at 1/" << scale;
        }
    UseInstructionSet(BestInstructionSet());
    // The colour row on every Cb, Cr pair against JFIF's formula in the scalar rows' fixed point, lumas that
    // reach both clamps, chroma at full and half rate; of 257 pixels, 256 done and the last left to the scalar row.
    const auto clamp = [](int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); };
    Bytes luma(257), cb(257), out(3 * 257 + 2);
    for (int shift : {0, 1})
        for (int cr = 0; cr < 256; ++cr) {
            for (int x = 0; x < 257; ++x) {
                luma[x] = static_cast<uint8_t>(x * 37 + cr);
                cb[x] = static_cast<uint8_t>(x);
            }
            std::fill(out.begin(), out.end(), uint8_t{7});
            const Bytes crRow(257, static_cast<uint8_t>(cr));
            ASSERT_EQ(YccRowSse2(luma.data(), cb.data(), crRow.data(), shift, 0, 257, out.data()), 256);
            // The last pixel's first 2 bytes may be scratch; nothing past them is touched.
            ASSERT_TRUE(std::all_of(out.begin() + 3 * 256 + 2, out.end(), [](uint8_t v) { return v == 7; }));
            for (int x = 0; x < 256; ++x) {
                const int y = luma[x], b = cb[x >> shift] - 128, r = cr - 128;
                const uint8_t bgr[3] = {clamp(y + ((116130 * b + 32768) >> 16)),
                                        clamp(y + ((-22554 * b - 46802 * r + 32768) >> 16)),
                                        clamp(y + ((91881 * r + 32768) >> 16))};
                for (int i = 0; i < 3; ++i)
                    ASSERT_EQ(out[3 * x + i], bgr[i]) << "Cr " << cr << " x " << x << " shift " << shift;
            }
        }
}

// What webcams never send, and what is cut short or out of order, is refused and leaves the frame as it was.
TEST(JpegDecoderReference, RefusesOtherCodingsPrecisionsScalesAndBrokenStreamsLeavingTheFrameAlone) {
    const JpegRecipe base = Recipe(40, 24, 0x22, 0x11, 0x11, 2);
    const Bytes pixels = ScenePixels(base.width, base.height, 3);
    const Bytes good = EncodeWithLibjpeg(base, pixels);
    JpegRecipe progressive = base, arithmetic = base;
    progressive.progressive = true;
    arithmetic.arithmetic = true;
    const auto find = [&](const Bytes& s, uint8_t marker) {
        for (size_t i = 0; i + 1 < s.size(); ++i)
            if (s[i] == 0xFF && s[i + 1] == marker) return i;
        ADD_FAILURE() << "no marker " << int(marker);
        return size_t{0};
    };
    const size_t sof = find(good, 0xC0), rst0 = find(good, 0xD0), dht = find(good, 0xC4), dqt = find(good, 0xDB);
    const auto patched = [&](size_t at, uint8_t value) {
        Bytes s = good;
        s[at] = value;
        return s;
    };
    // The EOI right after three quarters of the stream, inside the entropy data.
    Bytes truncatedScan(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() * 3 / 4));
    EXPECT_GT(truncatedScan.size(), find(good, 0xDA) + 14);
    truncatedScan.insert(truncatedScan.end(), {0xFF, 0xD9});
    const struct {
        const char* name;
        Bytes stream;
        int scale;
    } refused[] = {
        {"progressive", EncodeWithLibjpeg(progressive, pixels), 1},
        {"arithmetic", EncodeWithLibjpeg(arithmetic, pixels), 2},
        {"12-bit", patched(sof + 4, 12), 1},
        {"lossless frame", patched(sof + 1, 0xC3), 1},
        {"two components", patched(sof + 9, 2), 1},
        {"sampling 3", patched(sof + 11, 0x32), 1},
        {"zero width", [&] { Bytes s = patched(sof + 7, 0); s[sof + 8] = 0; return s; }(), 1},
        {"wider than 16384", [&] { Bytes s = patched(sof + 7, 0x40); s[sof + 8] = 1; return s; }(), 8},
        {"restart out of turn", patched(rst0 + 1, 0xD1), 1},
        {"Huffman table class 2", patched(dht + 4, 0x20), 1},
        {"Huffman table slot 4", patched(dht + 4, 0x04), 1},
        {"Huffman table longer than its segment", patched(dht + 20, 0xF0), 1},
        {"Huffman codes overflowing their length", patched(dht + 6, 3), 1},
        {"quantisation table slot 4", patched(dqt + 4, 0x04), 1},
        {"scan data ends early", truncatedScan, 4},
        {"scale 3", good, 3},
        {"scale 16", good, 16},
        {"scale 0", good, 0},
    };
    for (const auto& r : refused) {
        CapturedFrame frame{{1, 2, 3}, 7, 8, 9};
        EXPECT_FALSE(DecodeJpeg(r.stream.data(), r.stream.size(), r.scale, frame)) << r.name;
        EXPECT_TRUE(frame.pixels == Bytes({1, 2, 3}) && frame.width == 7 && frame.height == 8 && frame.stride == 9)
            << r.name;
    }
    // Cut short at any length: refused, and never a read past the copy's end (ASan).
    for (size_t cut = 0; cut < good.size(); ++cut) {
        const Bytes part(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        CapturedFrame frame;
        EXPECT_FALSE(DecodeJpeg(part.empty() ? nullptr : part.data(), part.size(), 1, frame)) << cut;
    }
    CapturedFrame frame;
    EXPECT_TRUE(DecodeJpeg(good.data(), good.size(), 1, frame));
}

// Every byte of a small stream with restart markers, replaced by a few values in turn: no crash, hang or stray
// read; what decodes is a whole frame of the header's size (the entropy data may decode to other pixels).
TEST(JpegDecoderReference, AnyCorruptByteGivesAWholeFrameOrARefusal) {
    const Bytes good = EncodeWithLibjpeg(Recipe(24, 17, 0x21, 0x11, 0x11, 2), ScenePixels(24, 17, 5));
    int decoded = 0, refused = 0;
    for (size_t at = 0; at < good.size(); ++at)
        for (uint8_t value : {uint8_t(0x00), uint8_t(0xFF), uint8_t(good[at] ^ 0x10)}) {
            Bytes bad = good;
            bad[at] = value;
            JpegLayout layout;
            for (int scale : {1, 8}) {
                CapturedFrame frame;
                if (!DecodeJpeg(bad.data(), bad.size(), scale, frame)) {
                    ++refused;
                    continue;
                }
                ++decoded;
                ASSERT_TRUE(ParseJpeg(bad.data(), bad.size(), layout));
                const int w = (layout.width + scale - 1) / scale, h = (layout.height + scale - 1) / scale;
                ASSERT_TRUE(frame.width == w && frame.height == h && frame.stride == PaddedStride(w) &&
                            frame.pixels.size() == size_t(h) * frame.stride)
                    << at;
            }
        }
    // Both outcomes happen: a test that only ever saw one would prove little.
    EXPECT_GT(decoded, 0);
    EXPECT_GT(refused, 0);
}

// At a steady size the frame's storage is reused: two buffers trade places, and none is allocated per frame.
TEST(JpegDecoderReference, SteadySizeReusesStorage) {
    const Bytes jpeg = EncodeWithLibjpeg(Recipe(64, 48, 0x22, 0x11, 0x11), ScenePixels(64, 48, 9));
    CapturedFrame frame;
    const uint8_t* seen[4];
    for (const uint8_t*& p : seen) {
        ASSERT_TRUE(DecodeJpeg(jpeg.data(), jpeg.size(), 2, frame));
        p = frame.pixels.data();
    }
    EXPECT_TRUE(seen[2] == seen[0] && seen[3] == seen[1]);
}
