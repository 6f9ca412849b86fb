// The conversion timings of the shipped build: the 32-bit Windows program, run
// under Wine, where neither Google Benchmark nor libyuv is at hand. The
// operations of one size take turns, a batch each per round, a memcpy of the
// output size among them, so that a slow spell of the shared machine falls on
// all of them alike; each row is the best batch mean per frame.
// Usage: convert_timing [--smoke]   (--smoke: one small frame, one pass each)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "noise.h"
#include "capture/convert_kernels.h"
#include "capture/dib.h"
#include "capture/frame.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timed {
    std::string operation;
    std::function<void()> body;
    int scalarRow;  // the row whose time this one is compared with, or -1
    double best = 1e30;
};

// Microseconds per call of each: the best batch mean over `rounds` rounds.
void TimeInTurns(std::vector<Timed>& rows, int rounds, int perBatch) {
    for (Timed& row : rows) row.body();  // first touch of every page outside the timing
    for (int r = 0; r < rounds; ++r)
        for (Timed& row : rows) {
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

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
    const int rounds = smoke ? 1 : 25, perBatch = smoke ? 1 : 10;
    struct Size {
        int width, height;
    };
    std::vector<Size> sizes = {{640, 480}, {1280, 720}, {1920, 1080}};
    if (smoke) sizes = {{64, 48}};
    std::printf("Best batch mean per frame in microseconds; %s is the processor's own choice.\n",
                Name(BestInstructionSet()));
    std::printf("%-10s %-20s %10s %10s %9s %9s\n", "size", "operation", "ours", "memcpy", "/memcpy",
                "/scalar");
    bool ok = true;
    for (Size s : sizes) {
        const size_t pixels = static_cast<size_t>(s.width) * s.height;
        const size_t outBytes = static_cast<size_t>(PaddedStride(s.width)) * s.height;
        const std::vector<uint8_t> rgb = Noise(outBytes, 1), nv12 = Noise(pixels * 3 / 2, 2),
                                   yuy2 = Noise(pixels * 2, 3);
        std::vector<uint8_t> copy(outBytes);
        // A frame per row, which keeps its storage from call to call, as the preview's does.
        std::deque<CapturedFrame> frames(2);
        auto convert = [&](const std::vector<uint8_t>& in, CapturedFrame& frame, PixelFormat format,
                           int32_t stride = 0) {
            ok &= ConvertFrame(in.data(), static_cast<int32_t>(in.size()), s.width, s.height,
                               SampleLayout{format, stride}, frame);
        };
        const int32_t bottomUp = -PaddedStride(s.width);
        std::vector<Timed> rows;
        rows.push_back({"memcpy", [&] { std::memcpy(copy.data(), rgb.data(), outBytes); }, -1});
        rows.push_back({"RGB24 top-down", [&] { convert(rgb, frames[0], PixelFormat::RGB24); }, -1});
        rows.push_back({"RGB24 bottom-up", [&] { convert(rgb, frames[1], PixelFormat::RGB24, bottomUp); }, -1});
        convert(rgb, frames[1], PixelFormat::RGB24, bottomUp);
        std::vector<uint8_t> dib(PackedDibSize(frames[1]));
        rows.push_back({"WritePackedDib", [&] { ok &= WritePackedDib(frames[1], dib.data()); }, -1});
        for (PixelFormat format : {PixelFormat::NV12, PixelFormat::YUY2}) {
            const std::vector<uint8_t>& in = format == PixelFormat::NV12 ? nv12 : yuy2;
            const int scalarRow = static_cast<int>(rows.size());
            for (InstructionSet set : {InstructionSet::Scalar, InstructionSet::SSE2, InstructionSet::AVX2}) {
                if (!ProcessorSupports(set)) continue;
                CapturedFrame* frame = &frames.emplace_back();
                rows.push_back({std::string(format == PixelFormat::NV12 ? "NV12 " : "YUY2 ") + Name(set),
                                [&, set, format, frame] {
                                    UseInstructionSet(set);
                                    convert(in, *frame, format);
                                },
                                set == InstructionSet::Scalar ? -1 : scalarRow});
            }
        }
        TimeInTurns(rows, rounds, perBatch);
        UseInstructionSet(BestInstructionSet());
        const double memcpyTime = rows[0].best;
        const std::string label = std::to_string(s.width) + "x" + std::to_string(s.height);
        for (size_t i = 1; i < rows.size(); ++i) {
            std::printf("%-10s %-20s %10.1f %10.1f %9.2f ", label.c_str(), rows[i].operation.c_str(),
                        rows[i].best, memcpyTime, rows[i].best / memcpyTime);
            if (rows[i].scalarRow >= 0)
                std::printf("%9.2f\n", rows[i].best / rows[static_cast<size_t>(rows[i].scalarRow)].best);
            else
                std::printf("%9s\n", "-");
        }
    }
    if (!ok) std::printf("a conversion failed\n");
    return ok ? 0 : 1;
}
