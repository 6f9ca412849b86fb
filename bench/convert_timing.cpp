// The conversion timings of the shipped build: the 32-bit Windows program, run
// under Wine, where neither Google Benchmark nor libyuv is at hand. The
// operations of one size take turns, a batch each per round, a memcpy of the
// output size among them, so that a slow spell of the shared machine falls on
// all of them alike; each row is the best batch mean per frame.
// A second table times DecodeJpeg at the preview's scales beside WIC's full
// decode (DecodeMjpegFrame) on frames that WIC encoded.
// Every instruction set's output is compared with the scalar rows', and the
// exit code is non-zero when one differs or a conversion or decode fails.
// Usage: convert_timing [--smoke]   (--smoke: one small frame, one pass each)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <objbase.h>

#include "noise.h"
#include "scene.h"
#include "capture/convert_kernels.h"
#include "capture/dib.h"
#include "capture/frame.h"
#include "capture/jpeg_decoder.h"
#include "capture/jpeg_win.h"
#include "capture/mjpeg.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timed {
    std::string operation;
    std::function<void()> body;
    int scalarRow;  // the row whose time this one is compared with, or -1
    double best = 1e30;
    const CapturedFrame* output = nullptr;  // compared with the scalar row's when both are set
};

// Microseconds per call of each: the best batch mean over `rounds` rounds. An
// untimed call before each batch brings the row's own buffers back into the
// cache after the other rows' turns: each is timed in the steady state of
// doing its own work over and over, whichever row went before it.
void TimeInTurns(std::vector<Timed>& rows, int rounds, int perBatch) {
    for (int r = 0; r < rounds; ++r)
        for (Timed& row : rows) {
            row.body();
            const auto start = Clock::now();
            for (int i = 0; i < perBatch; ++i) row.body();
            const std::chrono::duration<double, std::micro> took = Clock::now() - start;
            row.best = std::min(row.best, took.count() / perBatch);
        }
}

const char* Name(InstructionSet set) {
    switch (set) {
    case InstructionSet::Scalar:
        return "scalar";
    case InstructionSet::SSE2:
        return "SSE2";
    case InstructionSet::AVX2:
        return "AVX2";
    }
    return "?";
}

// A camera-like frame as WIC encodes it (4:2:0 under Wine), decoded by
// DecodeJpeg at the preview's scales and by WIC at full size.
bool TimeJpeg(bool smoke, int rounds, int perBatch) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return false;
    struct Case {
        int width, height;
        std::vector<int> scales;
    };
    std::vector<Case> cases = {{1920, 1080, {1, 2}}, {3840, 2160, {2, 4, 8}}};
    if (smoke) cases = {{64, 48, {1, 2, 4, 8}}};
    bool ok = true;
    std::printf("\n%-10s %-22s %8s %10s %9s\n", "size", "JPEG decode", "KB", "us", "/WIC");
    for (const Case& c : cases) {
        const std::vector<uint8_t> rgb = ScenePixels(c.width, c.height, 11, 8);
        CapturedFrame source{std::vector<uint8_t>(static_cast<size_t>(PaddedStride(c.width)) * c.height), c.width,
                             c.height, PaddedStride(c.width)};
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
                for (int i = 0; i < 3; ++i)  // top-down RGB to bottom-up BGR
                    source.pixels[static_cast<size_t>(c.height - 1 - y) * source.stride + 3 * x + i] =
                        rgb[(static_cast<size_t>(y) * c.width + x) * 3 + 2 - i];
        std::vector<uint8_t> jpeg;
        if (!EncodeJpegFrame(source, jpeg)) {
            std::printf("WIC could not encode %dx%d\n", c.width, c.height);
            ok = false;
            continue;
        }
        std::deque<CapturedFrame> frames;
        std::vector<Timed> rows;
        CapturedFrame* wic = &frames.emplace_back();
        rows.push_back({"WIC DecodeMjpegFrame",
                        [&, wic] {
                            ok &= DecodeMjpegFrame(jpeg.data(), static_cast<int32_t>(jpeg.size()), c.width,
                                                   c.height, *wic);
                        },
                        -1});
        for (int scale : c.scales) {
            CapturedFrame* frame = &frames.emplace_back();
            rows.push_back({"DecodeJpeg 1:" + std::to_string(scale),
                            [&, frame, scale] { ok &= DecodeJpeg(jpeg.data(), jpeg.size(), scale, *frame); }, 0});
        }
        TimeInTurns(rows, rounds, std::max(1, perBatch / 2));
        const std::string label = std::to_string(c.width) + "x" + std::to_string(c.height);
        for (const Timed& row : rows)
            std::printf("%-10s %-22s %8.1f %10.1f %9.2f\n", label.c_str(), row.operation.c_str(),
                        static_cast<double>(jpeg.size()) / 1024, row.best, row.best / rows[0].best);
    }
    ReleaseWicImagingFactory();
    CoUninitialize();
    if (!ok) std::printf("a JPEG decode failed\n");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
    const int rounds = smoke ? 1 : 25, perBatch = smoke ? 1 : 10;
    struct Size {
        int width, height;
    };
    std::vector<Size> sizes = {{640, 480}, {1280, 720}, {1920, 1080}};
    if (smoke) sizes = {{64, 48}};
    std::printf("Best batch mean per frame in microseconds; %s is the processor's own choice; memcpy is\n"
                "the fastest of its placements. Instruction sets:",
                Name(BestInstructionSet()));
    for (InstructionSet set : {InstructionSet::Scalar, InstructionSet::SSE2, InstructionSet::AVX2})
        std::printf(" %s%s", Name(set), ProcessorSupports(set) ? "" : " (not on this processor: not run)");
    std::printf("\n");
    std::printf("%-10s %-20s %10s %10s %9s %9s\n", "size", "operation", "ours", "memcpy", "/memcpy",
                "/scalar");
    bool ok = true;
    for (Size s : sizes) {
        const size_t pixels = static_cast<size_t>(s.width) * s.height;
        const size_t outBytes = static_cast<size_t>(PaddedStride(s.width)) * s.height;
        const std::vector<uint8_t> rgb = Noise(outBytes, 1), nv12 = Noise(pixels * 3 / 2, 2),
                                   yuy2 = Noise(pixels * 2, 3);
        // memcpy at its best: the same copy into a few placements of the destination
        // relative to the source (the C library's copy can be a fifth slower at some),
        // timed in turns like the rest; the fastest is the row everything is compared with.
        std::vector<uint8_t> copyTo(outBytes + 4096);
        // A frame per row, which keeps its storage from call to call, as the preview's does.
        std::deque<CapturedFrame> frames;
        auto convert = [&](const std::vector<uint8_t>& in, CapturedFrame& frame, PixelFormat format,
                           int32_t stride = 0) {
            ok &= ConvertFrame(in.data(), static_cast<int32_t>(in.size()), s.width, s.height,
                               SampleLayout{format, stride}, frame);
        };
        const int32_t bottomUp = -PaddedStride(s.width);
        std::vector<Timed> rows;
        constexpr size_t PLACEMENTS[] = {0, 1024, 2048, 3072};
        for (size_t offset : PLACEMENTS)
            rows.push_back(
                {"memcpy", [&, offset] { std::memcpy(copyTo.data() + offset, rgb.data(), outBytes); }, -1});
        // A row per instruction set the processor runs, each compared with the scalar one.
        auto addEachSet = [&](const std::string& name, const std::vector<uint8_t>& in, PixelFormat format) {
            const int scalarRow = static_cast<int>(rows.size());
            for (InstructionSet set : {InstructionSet::Scalar, InstructionSet::SSE2, InstructionSet::AVX2}) {
                if (!ProcessorSupports(set)) continue;
                CapturedFrame* frame = &frames.emplace_back();
                rows.push_back({name + " " + Name(set),
                                [&in, &convert, set, format, frame] {
                                    UseInstructionSet(set);
                                    convert(in, *frame, format);
                                },
                                set == InstructionSet::Scalar ? -1 : scalarRow, 1e30, frame});
            }
        };
        addEachSet("RGB24 top-down", rgb, PixelFormat::RGB24);
        CapturedFrame& upright = frames.emplace_back();
        rows.push_back({"RGB24 bottom-up", [&] { convert(rgb, upright, PixelFormat::RGB24, bottomUp); }, -1});
        convert(rgb, upright, PixelFormat::RGB24, bottomUp);
        std::vector<uint8_t> dib(PackedDibSize(upright));
        rows.push_back({"WritePackedDib", [&] { ok &= WritePackedDib(upright, dib.data()); }, -1});
        addEachSet("NV12", nv12, PixelFormat::NV12);
        addEachSet("YUY2", yuy2, PixelFormat::YUY2);
        TimeInTurns(rows, rounds, perBatch);
        UseInstructionSet(BestInstructionSet());
        const size_t copies = std::size(PLACEMENTS);
        const double memcpyTime =
            std::min_element(rows.begin(), rows.begin() + copies, [](const Timed& a, const Timed& b) {
                return a.best < b.best;
            })->best;
        const std::string label = std::to_string(s.width) + "x" + std::to_string(s.height);
        for (const Timed& row : rows) {
            const Timed* scalar = row.scalarRow >= 0 ? &rows[static_cast<size_t>(row.scalarRow)] : nullptr;
            if (scalar && row.output && scalar->output && row.output->pixels != scalar->output->pixels) {
                std::printf("%s %s: output differs from the scalar rows'\n", label.c_str(), row.operation.c_str());
                ok = false;
            }
        }
        for (size_t i = copies; i < rows.size(); ++i) {
            std::printf("%-10s %-20s %10.1f %10.1f %9.2f ", label.c_str(), rows[i].operation.c_str(),
                        rows[i].best, memcpyTime, rows[i].best / memcpyTime);
            if (rows[i].scalarRow >= 0)
                std::printf("%9.2f\n", rows[i].best / rows[static_cast<size_t>(rows[i].scalarRow)].best);
            else
                std::printf("%9s\n", "-");
        }
    }
    if (!ok) std::printf("a conversion failed or differed from the scalar one\n");
    return TimeJpeg(smoke, rounds, perBatch) && ok ? 0 : 1;
}
