// Time per 1920 x 1080 page of the data source's three kinds, made from the
// capture's 24-bit picture as WriteCroppedDib makes them (the 24-bit page is
// the row copy the colour path does) and stripped by CopyRows, each with every
// instruction set the processor runs.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "noise.h"
#include "capture/convert_kernels.h"
#include "ds_image.h"

namespace {

constexpr int32_t WIDTH = 1920;
constexpr int32_t HEIGHT = 1080;
constexpr uint8_t THRESHOLD = 128;

struct Kind {
    PagePixels pixels;
    const char* name;
};
constexpr Kind KINDS[] = {{PagePixels::Rgb, "RGB24"}, {PagePixels::Gray, "Gray8"},
                          {PagePixels::BlackWhite, "BW1"}};

struct NamedSet {
    InstructionSet set;
    const char* name;
};
constexpr NamedSet SETS[] = {
    {InstructionSet::Scalar, "scalar"}, {InstructionSet::SSE2, "SSE2"}, {InstructionSet::AVX2, "AVX2"}};

std::vector<uint8_t> Picture() {
    const int32_t stride = (WIDTH * 3 + 3) & ~3;
    std::vector<uint8_t> dib = Noise(40 + static_cast<size_t>(stride) * HEIGHT, 7);
    const int32_t header[10] = {40, WIDTH, HEIGHT, 1 | 24 << 16, 0, stride * HEIGHT};
    std::memcpy(dib.data(), header, sizeof(header));
    return dib;
}

void MakePage(benchmark::State& state, const DibPixels& picture, PagePixels pixels, InstructionSet set) {
    UseInstructionSet(set);
    std::vector<uint8_t> page(PackedDibBytes(WIDTH, HEIGHT, pixels));
    for (auto _ : state) {
        if (!WriteCroppedDib(picture, {0, 0, WIDTH, HEIGHT}, 96, pixels, THRESHOLD, page.data())) {
            state.SkipWithError("page refused");
            break;
        }
        benchmark::DoNotOptimize(page.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    UseInstructionSet(BestInstructionSet());
}

void StripPage(benchmark::State& state, const std::vector<uint8_t>& page) {
    DibPixels view;
    if (!ViewPackedDib(page.data(), page.size(), view)) {
        state.SkipWithError("page refused");
        return;
    }
    std::vector<uint8_t> strips(static_cast<size_t>(RowBytes(WIDTH, view.pixels)) * HEIGHT);
    for (auto _ : state) {
        benchmark::DoNotOptimize(CopyRows(view, 0, strips.data(), static_cast<uint32_t>(strips.size())));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    static const std::vector<uint8_t> source = Picture();
    static DibPixels picture;
    if (!ViewPackedDib(source.data(), source.size(), picture)) return 1;
    static std::vector<std::vector<uint8_t>> pages;
    pages.reserve(std::size(KINDS));
    for (const Kind& kind : KINDS) {
        for (const NamedSet& s : SETS) {
            // The colour page is a row copy whatever the set.
            if (!ProcessorSupports(s.set) || (kind.pixels == PagePixels::Rgb && s.set != InstructionSet::Scalar)) {
                continue;
            }
            const std::string name = std::string("Page/") + kind.name + "/" +
                                     (kind.pixels == PagePixels::Rgb ? "copy" : s.name);
            benchmark::RegisterBenchmark(name.c_str(), MakePage, picture, kind.pixels, s.set)
                ->Unit(benchmark::kMillisecond);
        }
        pages.emplace_back(PackedDibBytes(WIDTH, HEIGHT, kind.pixels));
        WriteCroppedDib(picture, {0, 0, WIDTH, HEIGHT}, 96, kind.pixels, THRESHOLD, pages.back().data());
        benchmark::RegisterBenchmark((std::string("Strips/") + kind.name).c_str(), StripPage, pages.back())
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
