// The conversion timings of the shipped build: the 32-bit Windows program, run
// under Wine, where neither Google Benchmark nor libyuv is at hand. Each row is
// the fastest of several batches (the least disturbed by other work on the
// machine), per frame, beside a memcpy of the output size in the same run.
// Usage: convert_timing [--smoke]   (--smoke: one small frame, one pass each)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "noise.h"
#include "capture/convert_kernels.h"
#include "capture/dib.h"
#include "capture/frame.h"

namespace {

using Clock = std::chrono::steady_clock;

// Microseconds per call: the best batch mean out of `batches`.
double Time(const std::function<void()>& body, int batches, int perBatch) {
    body();  // first touch of every page outside the timing
    double best = 1e30;
    for (int b = 0; b < batches; ++b) {
        const auto start = Clock::now();
        for (int i = 0; i < perBatch; ++i) body();
        const std::chrono::duration<double, std::micro> took = Clock::now() - start;
        best = std::min(best, took.count() / perBatch);
    }
    return best;
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
    const int batches = smoke ? 1 : 15, perBatch = smoke ? 1 : 10;
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
        const double memcpyTime =
            Time([&] { std::memcpy(copy.data(), rgb.data(), outBytes); }, batches, perBatch);
        CapturedFrame frame;
        auto convert = [&](const std::vector<uint8_t>& in, PixelFormat format, int32_t stride = 0) {
            ok &= ConvertFrame(in.data(), static_cast<int32_t>(in.size()), s.width, s.height,
                               SampleLayout{format, stride}, frame);
        };
        const std::string label = std::to_string(s.width) + "x" + std::to_string(s.height);
        auto row = [&](const std::string& operation, double ours, double scalar) {
            std::printf("%-10s %-20s %10.1f %10.1f %9.2f ", label.c_str(), operation.c_str(), ours,
                        memcpyTime, ours / memcpyTime);
            if (scalar > 0)
                std::printf("%9.2f\n", ours / scalar);
            else
                std::printf("%9s\n", "-");
        };
        row("RGB24 top-down", Time([&] { convert(rgb, PixelFormat::RGB24); }, batches, perBatch), 0);
        const int32_t bottomUp = -PaddedStride(s.width);
        row("RGB24 bottom-up", Time([&] { convert(rgb, PixelFormat::RGB24, bottomUp); }, batches, perBatch), 0);
        std::vector<uint8_t> dib(PackedDibSize(frame));
        row("WritePackedDib", Time([&] { ok &= WritePackedDib(frame, dib.data()); }, batches, perBatch), 0);
        for (PixelFormat format : {PixelFormat::NV12, PixelFormat::YUY2}) {
            const std::vector<uint8_t>& in = format == PixelFormat::NV12 ? nv12 : yuy2;
            double scalar = 0;
            for (InstructionSet set : {InstructionSet::Scalar, InstructionSet::SSE2, InstructionSet::AVX2}) {
                if (!UseInstructionSet(set)) continue;
                const double t = Time([&] { convert(in, format); }, batches, perBatch);
                if (set == InstructionSet::Scalar) scalar = t;
                row(std::string(format == PixelFormat::NV12 ? "NV12 " : "YUY2 ") + Name(set), t, scalar);
            }
            UseInstructionSet(BestInstructionSet());
        }
    }
    if (!ok) std::printf("a conversion failed\n");
    return ok ? 0 : 1;
}
