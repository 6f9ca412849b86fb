// DecodeJpeg beside libjpeg-turbo (tjDecompress2) on the same camera-like
// frames, at every scale. After the run a table gives ours as a multiple of
// libjpeg-turbo's time. Exits non-zero when any benchmark reports an error.

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "capture/jpeg_decoder.h"
#include "jpeg_test_pictures.h"

namespace {

struct Stream {
    std::string label;
    std::vector<uint8_t> jpeg;
};

// Webcam-like: 4:2:0 and 4:2:2 at quality 88, a scene with mild sensor noise.
std::vector<Stream> MakeStreams() {
    struct Size {
        int width, height;
    };
    std::vector<Stream> streams;
    for (Size s : {Size{1920, 1080}, Size{3840, 2160}}) {
        const std::vector<uint8_t> rgb = ScenePixels(s.width, s.height, 11, 8);
        for (uint8_t luma : {uint8_t{0x22}, uint8_t{0x21}}) {
            JpegRecipe recipe;
            recipe.width = s.width;
            recipe.height = s.height;
            recipe.sampling[0] = luma;
            recipe.quality = 88;
            streams.push_back({std::to_string(s.width) + "x" + std::to_string(s.height) +
                                   (luma == 0x22 ? "/420" : "/422"),
                               EncodeWithLibjpeg(recipe, rgb)});
        }
    }
    return streams;
}

void Ours(benchmark::State& state, const Stream* stream, int scale) {
    CapturedFrame frame;
    for (auto _ : state) {
        if (!DecodeJpeg(stream->jpeg.data(), stream->jpeg.size(), scale, frame)) {
            state.SkipWithError("DecodeJpeg refused the frame");
            break;
        }
        benchmark::DoNotOptimize(frame.pixels.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["KB"] = static_cast<double>(stream->jpeg.size()) / 1024;
}

void Turbo(benchmark::State& state, const Stream* stream, int scale) {
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle, stream->jpeg.data(), stream->jpeg.size(), &width, &height, &subsampling,
                            &colourspace) != 0) {
        state.SkipWithError("no header");
        tjDestroy(handle);
        return;
    }
    const tjscalingfactor factor = {1, scale};
    width = TJSCALED(width, factor);
    height = TJSCALED(height, factor);
    std::vector<uint8_t> out(static_cast<size_t>(PaddedStride(width)) * height);
    for (auto _ : state) {
        if (tjDecompress2(handle, stream->jpeg.data(), stream->jpeg.size(), out.data(), width,
                          PaddedStride(width), height, TJPF_BGR, TJFLAG_FASTUPSAMPLE | TJFLAG_BOTTOMUP) != 0) {
            state.SkipWithError(tjGetErrorStr2(handle));
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
    tjDestroy(handle);
}

// The console report, counting errors and keeping each run's time per
// iteration for the table at the end.
class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) ++errors;
            else if (run.iterations > 0) times[run.benchmark_name()] = run.GetAdjustedCPUTime();  // the machine is shared
        }
        ConsoleReporter::ReportRuns(runs);
    }
    int errors = 0;
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Stream> streams = MakeStreams();
    std::vector<std::string> pairs;
    for (const Stream& s : streams)
        for (int scale : {1, 2, 4, 8}) {
            const std::string name = s.label + "/1:" + std::to_string(scale);
            benchmark::RegisterBenchmark(("ours/" + name).c_str(), Ours, &s, scale)->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("turbo/" + name).c_str(), Turbo, &s, scale)->Unit(benchmark::kMillisecond);
            pairs.push_back(name);
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%-22s %12s %12s %8s\n", "frame/scale", "ours cpu ms", "turbo cpu ms", "ours/turbo");
    for (const std::string& name : pairs) {
        const auto ours = reporter.times.find("ours/" + name), turbo = reporter.times.find("turbo/" + name);
        if (ours == reporter.times.end() || turbo == reporter.times.end()) continue;
        std::printf("%-22s %12.2f %12.2f %8.2f\n", name.c_str(), ours->second, turbo->second,
                    ours->second / turbo->second);
    }
    if (reporter.errors) std::printf("%d benchmark(s) reported an error\n", reporter.errors);
    return reporter.errors ? 1 : 0;
}
