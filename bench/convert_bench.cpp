// Time per frame of the conversions (each with every instruction set the
// processor runs) and the DIB encoding, beside libyuv's converters and a plain
// memcpy of the output size on the same frames. After the run a table gives
// each of ours as a multiple of the libyuv and memcpy times, and a second one
// the preview's scaled conversions as a fraction of the full-size one.
// Exits non-zero when any benchmark reports an error (a sample refused), so
// that the smoke run is a check; sets the processor lacks are named and left
// out rather than reported as errors.

#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "noise.h"
#include "capture/convert_kernels.h"
#include "capture/dib.h"
#include "capture/frame.h"
#include "capture/frame_scale.h"

namespace {

struct Size {
    int width;
    int height;
};

constexpr Size SIZES[] = {{640, 480}, {1280, 720}, {1920, 1080}};

// The preview's usual cases: each camera size with the factor that fits it to
// a 498 x 325 preview.
struct ScaledCase {
    Size size;
    int32_t factor;
};

constexpr ScaledCase SCALED_CASES[] = {{{1920, 1080}, 3}, {{3840, 2160}, 6}};

std::string Label(Size s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

struct Inputs {
    std::vector<uint8_t> rgb24;  // top-down rows, padded stride
    std::vector<uint8_t> nv12;
    std::vector<uint8_t> yuy2;
};

Inputs MakeInputs(Size s) {
    const size_t pixels = static_cast<size_t>(s.width) * s.height;
    return {Noise(static_cast<size_t>(PaddedStride(s.width)) * s.height, 1), Noise(pixels * 3 / 2, 2),
            Noise(pixels * 2, 3)};
}

void Finish(benchmark::State& state, size_t outputBytes) {
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * outputBytes));
}

// Each of our instruction sets beside libyuv held to the same class of
// instructions: its C rows, its SSE rows (up to SSE4.2: many are SSSE3), and
// everything this processor has.
struct NamedSet {
    InstructionSet set;
    const char* name;
    int libyuvFlags;  // for libyuv::MaskCpuFlags
};

constexpr int LIBYUV_NO_SIMD = 1;
constexpr int LIBYUV_ALL = -1;
constexpr int LIBYUV_WIDER_THAN_SSE = libyuv::kCpuHasAVX | libyuv::kCpuHasAVX2 | libyuv::kCpuHasFMA3 |
                                      libyuv::kCpuHasF16C | libyuv::kCpuHasGFNI | libyuv::kCpuHasAVX512BW |
                                      libyuv::kCpuHasAVX512VL | libyuv::kCpuHasAVX512VNNI |
                                      libyuv::kCpuHasAVX512VBMI | libyuv::kCpuHasAVX512VBMI2 |
                                      libyuv::kCpuHasAVX512VBITALG | libyuv::kCpuHasAVX512VPOPCNTDQ;

constexpr NamedSet SETS[] = {{InstructionSet::Scalar, "scalar", LIBYUV_NO_SIMD},
                             {InstructionSet::SSE2, "SSE2", ~LIBYUV_WIDER_THAN_SSE},
                             {InstructionSet::AVX2, "AVX2", LIBYUV_ALL}};

// Holds libyuv to a class of instructions for one benchmark.
class LibyuvLimit {
public:
    explicit LibyuvLimit(int flags) { libyuv::MaskCpuFlags(flags); }
    ~LibyuvLimit() { libyuv::MaskCpuFlags(LIBYUV_ALL); }
    LibyuvLimit(const LibyuvLimit&) = delete;
    LibyuvLimit& operator=(const LibyuvLimit&) = delete;
};

void Convert(benchmark::State& state, Size s, const std::vector<uint8_t>& input, SampleLayout layout,
             InstructionSet set = BestInstructionSet()) {
    if (!UseInstructionSet(set)) {
        state.SkipWithError("not supported by this processor");
        return;
    }
    CapturedFrame frame;
    const auto length = static_cast<int32_t>(input.size());
    if (!ConvertFrame(input.data(), length, s.width, s.height, layout, frame)) {
        state.SkipWithError("sample rejected");
        return;
    }
    for (auto _ : state) {
        ConvertFrame(input.data(), length, s.width, s.height, layout, frame);
        benchmark::DoNotOptimize(frame.pixels.data());
        benchmark::ClobberMemory();
    }
    UseInstructionSet(BestInstructionSet());
    Finish(state, frame.pixels.size());
}

// libyuv writes "RGB24" as blue, green, red in memory, as we do; a negative
// destination stride gives the bottom-up rows. The JPEG matrix is the same
// full-range BT.601 that we apply.
void LibyuvNv12(benchmark::State& state, Size s, const std::vector<uint8_t>& nv12, int flags) {
    const LibyuvLimit limit(flags);
    const int stride = PaddedStride(s.width);
    std::vector<uint8_t> out(static_cast<size_t>(stride) * s.height);
    const uint8_t* uv = nv12.data() + static_cast<size_t>(s.width) * s.height;
    uint8_t* lastRow = out.data() + static_cast<size_t>(stride) * (s.height - 1);
    for (auto _ : state) {
        libyuv::NV12ToRGB24Matrix(nv12.data(), s.width, uv, s.width, lastRow, -stride,
                                  &libyuv::kYuvJPEGConstants, s.width, s.height);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Finish(state, out.size());
}

// This libyuv has no direct YUY2 to RGB24: it goes through ARGB, two passes.
void LibyuvYuy2(benchmark::State& state, Size s, const std::vector<uint8_t>& yuy2, int flags) {
    const LibyuvLimit limit(flags);
    const int stride = PaddedStride(s.width);
    std::vector<uint8_t> argb(static_cast<size_t>(s.width) * 4 * s.height);
    std::vector<uint8_t> out(static_cast<size_t>(stride) * s.height);
    uint8_t* lastRow = out.data() + static_cast<size_t>(stride) * (s.height - 1);
    for (auto _ : state) {
        libyuv::YUY2ToARGB(yuy2.data(), s.width * 2, argb.data(), s.width * 4, s.width, s.height);
        libyuv::ARGBToRGB24(argb.data(), s.width * 4, lastRow, -stride, s.width, s.height);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Finish(state, out.size());
}

// The same top-down to bottom-up row reversal that a top-down RGB24 sample
// needs: libyuv turns a plane upside down when given a negative height.
void LibyuvFlip(benchmark::State& state, Size s, const std::vector<uint8_t>& rgb24) {
    const int stride = PaddedStride(s.width);
    std::vector<uint8_t> out(static_cast<size_t>(stride) * s.height);
    for (auto _ : state) {
        libyuv::CopyPlane(rgb24.data(), stride, out.data(), stride, s.width * 3, -s.height);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Finish(state, out.size());
}

// The C library's copy is faster with some placements of the destination
// relative to the source than with others; the table compares with the fastest.
constexpr size_t COPY_PLACEMENTS[] = {0, 1024, 2048, 3072};

void Memcpy(benchmark::State& state, Size s, size_t placement) {
    const size_t bytes = static_cast<size_t>(PaddedStride(s.width)) * s.height;
    const std::vector<uint8_t> in = Noise(bytes, 4);
    std::vector<uint8_t> out(bytes + placement);
    for (auto _ : state) {
        std::memcpy(out.data() + placement, in.data(), bytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Finish(state, bytes);
}

// The preview's conversion with the processor's own instruction set; factor 1
// is the full-size ConvertFrame it replaces.
void ConvertScaled(benchmark::State& state, Size s, const std::vector<uint8_t>& input, SampleLayout layout,
                   int32_t factor) {
    CapturedFrame frame;
    const auto length = static_cast<int32_t>(input.size());
    if (!ConvertFrameScaled(input.data(), length, s.width, s.height, layout, factor, frame)) {
        state.SkipWithError("sample rejected");
        return;
    }
    for (auto _ : state) {
        ConvertFrameScaled(input.data(), length, s.width, s.height, layout, factor, frame);
        benchmark::DoNotOptimize(frame.pixels.data());
        benchmark::ClobberMemory();
    }
    Finish(state, frame.pixels.size());
}

std::string ScaledName(const char* format, Size s, int32_t factor) {
    return std::string("ConvertFrameScaled/") + format + "/" + Label(s) + "/" + std::to_string(factor);
}

CapturedFrame ConvertedFrame(Size s, const Inputs& in) {
    CapturedFrame frame;
    ConvertFrame(in.nv12.data(), static_cast<int32_t>(in.nv12.size()), s.width, s.height, frame);
    return frame;
}

void EncodeDib(benchmark::State& state, Size s, const Inputs& in) {
    const CapturedFrame frame = ConvertedFrame(s, in);
    for (auto _ : state) {
        std::vector<uint8_t> dib = EncodePackedDib(frame);
        benchmark::DoNotOptimize(dib.data());
    }
    Finish(state, PackedDibSize(frame));
}

void WriteDib(benchmark::State& state, Size s, const Inputs& in) {
    const CapturedFrame frame = ConvertedFrame(s, in);
    std::vector<uint8_t> dest(PackedDibSize(frame));
    for (auto _ : state) {
        WritePackedDib(frame, dest.data());
        benchmark::DoNotOptimize(dest.data());
        benchmark::ClobberMemory();
    }
    Finish(state, dest.size());
}

// Keeps each benchmark's CPU time per frame (microseconds) for the table: the
// median when the run has repetitions, else the single run. CPU time, because
// the machine is shared and wall time counts the waits for a core.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                ++errors;
                continue;
            }
            // Repetitions come first, their aggregates after them.
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
                times[run.run_name.str()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
    int errors = 0;
};

void PrintTable(const std::map<std::string, double>& times) {
    auto get = [&](const std::string& name) {
        auto it = times.find(name);
        return it == times.end() ? 0.0 : it->second;
    };
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("\nCPU time per frame in microseconds; ratios are ours divided by theirs; memcpy is the\n"
                "fastest of its placements.\n");
    std::printf("%-10s %-22s %10s %10s %10s %9s %9s\n", "size", "operation", "ours", "libyuv",
                "memcpy", "/libyuv", "/memcpy");
    for (Size s : SIZES) {
        const std::string l = Label(s);
        double copy = 0;
        for (size_t placement : COPY_PLACEMENTS) {
            const double t = get("memcpy/" + l + "/+" + std::to_string(placement));
            if (t > 0 && (copy == 0 || t < copy)) copy = t;
        }
        struct Row {
            std::string operation;
            std::string ours;
            std::string theirs;
        };
        std::vector<Row> rows;
        for (NamedSet set : SETS)
            rows.push_back({std::string("RGB24 top-down ") + set.name,
                            std::string("ConvertFrame/RGB24/") + set.name + "/" + l, "libyuv/CopyPlaneFlip/" + l});
        rows.push_back({"RGB24 bottom-up", "ConvertFrame/RGB24up/" + l, ""});
        for (const char* format : {"NV12", "YUY2"})
            for (NamedSet set : SETS)
                rows.push_back({std::string(format) + " " + set.name,
                                std::string("ConvertFrame/") + format + "/" + set.name + "/" + l,
                                (format == std::string("NV12") ? "libyuv/NV12ToRGB24/"
                                                               : "libyuv/YUY2ToARGB+ARGBToRGB24/") +
                                    std::string(set.name) + "/" + l});
        rows.push_back({"EncodePackedDib", "EncodePackedDib/" + l, ""});
        rows.push_back({"WritePackedDib", "WritePackedDib/" + l, ""});
        for (const auto& row : rows) {
            const double ours = get(row.ours);
            if (ours <= 0) continue;  // filtered out or failed
            const double theirs = row.theirs.empty() ? 0.0 : get(row.theirs);
            std::printf("%-10s %-22s %10.1f ", l.c_str(), row.operation.c_str(), ours);
            if (theirs > 0)
                std::printf("%10.1f ", theirs);
            else
                std::printf("%10s ", "-");
            std::printf("%10.1f ", copy);
            if (theirs > 0)
                std::printf("%9.2f ", ratio(ours, theirs));
            else
                std::printf("%9s ", "-");
            std::printf("%9.2f\n", ratio(ours, copy));
        }
    }
    std::printf("\nThe preview's conversion, CPU time per frame in microseconds, with the processor's\n"
                "instruction set; factor 1 is the full-size ConvertFrame.\n");
    std::printf("%-10s %-6s %8s %10s %10s %9s\n", "size", "format", "factor", "scaled", "full", "/full");
    for (ScaledCase c : SCALED_CASES)
        for (const char* format : {"NV12", "YUY2"}) {
            const double scaled = get(ScaledName(format, c.size, c.factor)), full = get(ScaledName(format, c.size, 1));
            if (scaled <= 0 || full <= 0) continue;
            std::printf("%-10s %-6s %8d %10.1f %10.1f %9.2f\n", Label(c.size).c_str(), format, c.factor, scaled, full,
                        ratio(scaled, full));
        }
}

}  // namespace

int main(int argc, char** argv) {
    static std::map<std::string, Inputs> inputs;  // outlive the registered lambdas
    for (Size s : SIZES) {
        const std::string l = Label(s);
        const Inputs& in = inputs[l] = MakeInputs(s);
        const auto us = benchmark::kMicrosecond;
        // Windows delivers uncompressed RGB bottom-up unless the camera says otherwise.
        benchmark::RegisterBenchmark(("ConvertFrame/RGB24up/" + l).c_str(), [s, &in](benchmark::State& st) {
            Convert(st, s, in.rgb24, SampleLayout{PixelFormat::RGB24, -PaddedStride(s.width)});
        })->Unit(us);
        for (NamedSet set : SETS) {
            if (!ProcessorSupports(set.set)) continue;
            const std::string suffix = std::string(set.name) + "/" + l;
            benchmark::RegisterBenchmark(("ConvertFrame/RGB24/" + suffix).c_str(),
                                         [s, &in, set](benchmark::State& st) {
                                             Convert(st, s, in.rgb24, SampleLayout{}, set.set);
                                         })
                ->Unit(us);
            benchmark::RegisterBenchmark(("libyuv/NV12ToRGB24/" + suffix).c_str(),
                                         [s, &in, set](benchmark::State& st) {
                                             LibyuvNv12(st, s, in.nv12, set.libyuvFlags);
                                         })
                ->Unit(us);
            benchmark::RegisterBenchmark(("libyuv/YUY2ToARGB+ARGBToRGB24/" + suffix).c_str(),
                                         [s, &in, set](benchmark::State& st) {
                                             LibyuvYuy2(st, s, in.yuy2, set.libyuvFlags);
                                         })
                ->Unit(us);
            benchmark::RegisterBenchmark(("ConvertFrame/NV12/" + suffix).c_str(),
                                         [s, &in, set](benchmark::State& st) {
                                             Convert(st, s, in.nv12, SampleLayout{}, set.set);
                                         })
                ->Unit(us);
            benchmark::RegisterBenchmark(("ConvertFrame/YUY2/" + suffix).c_str(),
                                         [s, &in, set](benchmark::State& st) {
                                             Convert(st, s, in.yuy2, SampleLayout{PixelFormat::YUY2, 0},
                                                     set.set);
                                         })
                ->Unit(us);
        }
        benchmark::RegisterBenchmark(("libyuv/CopyPlaneFlip/" + l).c_str(),
                                     [s, &in](benchmark::State& st) { LibyuvFlip(st, s, in.rgb24); })
            ->Unit(us);
        benchmark::RegisterBenchmark(("EncodePackedDib/" + l).c_str(),
                                     [s, &in](benchmark::State& st) { EncodeDib(st, s, in); })
            ->Unit(us);
        benchmark::RegisterBenchmark(("WritePackedDib/" + l).c_str(),
                                     [s, &in](benchmark::State& st) { WriteDib(st, s, in); })
            ->Unit(us);
        for (size_t placement : COPY_PLACEMENTS)
            benchmark::RegisterBenchmark(("memcpy/" + l + "/+" + std::to_string(placement)).c_str(),
                                         [s, placement](benchmark::State& st) { Memcpy(st, s, placement); })
                ->Unit(us);
    }
    for (ScaledCase c : SCALED_CASES) {
        const auto [at, added] = inputs.try_emplace(Label(c.size));
        if (added) at->second = MakeInputs(c.size);
        const Inputs& in = at->second;
        for (int32_t factor : {1, c.factor}) {
            const Size s = c.size;
            benchmark::RegisterBenchmark(ScaledName("NV12", s, factor).c_str(), [s, &in, factor](benchmark::State& st) {
                ConvertScaled(st, s, in.nv12, SampleLayout{PixelFormat::NV12, 0}, factor);
            })->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(ScaledName("YUY2", s, factor).c_str(), [s, &in, factor](benchmark::State& st) {
                ConvertScaled(st, s, in.yuy2, SampleLayout{PixelFormat::YUY2, 0}, factor);
            })->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("Instruction sets:");
    for (NamedSet set : SETS)
        std::printf(" %s%s", set.name, ProcessorSupports(set.set) ? "" : " (not on this processor: not run)");
    std::printf("\n");
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintTable(reporter.times);
    if (reporter.errors) std::printf("%d benchmark(s) reported an error\n", reporter.errors);
    return reporter.errors ? 1 : 0;
}
