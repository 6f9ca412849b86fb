#include "camera/frame_timing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

CapturedFrame Flat(int32_t width, int32_t height, uint8_t b, uint8_t g, uint8_t r) {
    CapturedFrame frame{{}, width, height, (3 * width + 3) & ~3};
    frame.pixels.assign(static_cast<size_t>(frame.stride) * height, 0);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* p = &frame.pixels[static_cast<size_t>(y) * frame.stride + 3 * x];
            p[0] = b, p[1] = g, p[2] = r;
        }
    return frame;
}

// The mean of a flat picture is its colour's luma; a picture half black and half white (by rows or by columns, at odd
// sizes too) is mid-grey; a frame without its pixels reads as black rather than past its end.
TEST(MeanLuma, WeighsTheColoursAndSamplesTheWholePicture) {
    EXPECT_NEAR(MeanLuma(Flat(64, 48, 255, 255, 255)), 255.0, 0.01);
    EXPECT_NEAR(MeanLuma(Flat(7, 5, 0, 0, 200)), 200 * 77 / 256.0, 0.01);
    EXPECT_NEAR(MeanLuma(Flat(1, 1, 0, 100, 0)), 100 * 150 / 256.0, 0.01);
    EXPECT_NEAR(MeanLuma(Flat(9, 3, 100, 0, 0)), 100 * 29 / 256.0, 0.01);
    for (const auto& [width, height] : {std::pair{640, 480}, std::pair{321, 181}}) {
        CapturedFrame rows = Flat(width, height, 0, 0, 0), columns = rows;
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                if (y < height / 2) std::fill_n(&rows.pixels[size_t(y) * rows.stride + 3 * x], 3, uint8_t{255});
                if (x < width / 2) std::fill_n(&columns.pixels[size_t(y) * columns.stride + 3 * x], 3, uint8_t{255});
            }
        EXPECT_NEAR(MeanLuma(rows), 127.5, 8.0) << width;
        EXPECT_NEAR(MeanLuma(columns), 127.5, 8.0) << width;
    }
    CapturedFrame cut = Flat(64, 48, 255, 255, 255);
    cut.pixels.resize(cut.pixels.size() - 1);
    CapturedFrame narrow = Flat(64, 48, 255, 255, 255);
    narrow.stride = 100;
    EXPECT_EQ(MeanLuma(cut), 0.0);
    EXPECT_EQ(MeanLuma(narrow), 0.0);
    EXPECT_EQ(MeanLuma(CapturedFrame{}), 0.0);
}

// A camera's brightness over time (ms since its first frame) and its frame interval over time.
struct Scene {
    const char* name;
    std::function<double(double)> luma;
    std::function<double(double)> interval;
    int settledFrom, settledBy;  // ms
};

double Ramp(double t, double ms, double from = 20, double to = 200) { return t >= ms ? to : from + (to - from) * t / ms; }
double Fps(double rate) { return 1000.0 / rate; }

// Each scene fed frame by frame: the watch stops within the window that a camera of that kind allows. Ramps (smooth,
// in steps, slowing, with a dim rate, with flicker too small to matter, darkening from an overexposed start) end
// before it stops; a steady or merely moving
// scene stops at the shortest wait; black frames while the sensor wakes do not count as steady; anything still
// brightening at 3 s is taken then.
TEST(ExposureWatch, StopsWhenTheBrightnessHasStoppedMovingOneWayWithinItsBounds) {
    const auto at30 = [](double) { return Fps(30); };
    const Scene scenes[] = {
        {"steady", [](double) { return 120.0; }, at30, 500, 534},
        {"steady at 60", [](double) { return 120.0; }, [](double) { return Fps(60); }, 500, 517},
        {"steady at 5", [](double) { return 120.0; }, [](double) { return Fps(5); }, 600, 600},
        {"ramp 400", [](double t) { return Ramp(t, 400); }, at30, 600, 667},
        {"ramp 1500", [](double t) { return Ramp(t, 1500); }, at30, 1700, 1767},
        {"ramp 1500 at 60", [](double t) { return Ramp(t, 1500); }, [](double) { return Fps(60); }, 1650, 1734},
        {"ramp 2500, 5 fps while dim", [](double t) { return Ramp(t, 2500); },
         [](double t) { return t < 2500 ? Fps(5) : Fps(30); }, 2700, 2834},
        {"ramp 2500 at 7.5", [](double t) { return Ramp(t, 2500); }, [](double) { return Fps(7.5); }, 2650, 2934},
        {"overexposed, darkening", [](double t) { return Ramp(t, 1500, 250, 110); }, at30, 1700, 1767},
        {"ramp to a dark room", [](double t) { return Ramp(t, 1500, 3, 30); }, at30, 1500, 1767},
        {"ramp with a dip every 16 frames",
         [](double t) { return Ramp(t, 2500) * (int(t / Fps(30)) % 16 == 15 ? 0.975 : 1); }, at30, 2600, 2767},
        {"ramp with flicker", [](double t) { return Ramp(t, 1500) * (1 + 0.003 * std::sin(t)); }, at30, 1700, 1767},
        {"steps every 3 frames", [](double t) { return Ramp(std::floor(t / 100) * 100, 1200); }, at30, 1300, 1434},
        {"settling slowly", [](double t) { return 200 - 180 * std::exp(-t / 400); }, at30, 1000, 1400},
        {"overshoot", [](double t) { return 150 + 60 * std::exp(-t / 300) * std::cos(t / 120); }, at30, 500, 1600},
        {"black, then the picture", [](double t) { return t < 1000 ? 0.0 : 120.0; }, at30, 1200, 1267},
        {"nearly black", [](double) { return 1.0; }, at30, 3000, 3034},
        {"a hand waving", [](double t) { return 120 + 10 * std::sin(t / 40); }, at30, 500, 600},
        {"ramp 3000", [](double t) { return Ramp(t, 3000); }, at30, 3000, 3034},
        {"brightening for ever", [](double t) { return 20 + t / 10; }, [](double) { return Fps(15); }, 3000, 3067},
    };
    for (const Scene& scene : scenes) {
        ExposureWatch watch;
        double t = 0;
        while (!watch.Settled(milliseconds(std::lround(t)), scene.luma(t)) && t < 10000) t += scene.interval(t);
        EXPECT_GE(t + 0.5, scene.settledFrom) << scene.name;  // t sums thirds of milliseconds
        EXPECT_LE(t, scene.settledBy) << scene.name;
    }
}

// Stamps in 100 ns units; times in ms on a clock starting at 1000 s.
SampleClock::Clock::time_point Ms(int64_t ms) { return SampleClock::Clock::time_point(1000s + milliseconds(ms)); }
int64_t Stamp(int64_t ms) { return ms * 10'000; }

// Live frames, delayed by the device by 5 to 40 ms, map to when they were taken give or take the shortest delay;
// frames that waited in a queue map to when they were taken, long before they came; a stream that starts over (a
// stamp that goes back or leaps) maps anew; drift is followed; nonsense stamps and stamps that stand still are taken
// as received.
TEST(SampleClock, MapsDeviceStampsToWhenTheFrameWasTaken) {
    SampleClock clock;
    const int64_t origin = 500;  // our ms at the device's stamp 0
    const int delays[] = {40, 12, 5, 30, 7, 22};
    for (int n = 0; n < 30; ++n) {
        const int64_t taken = n * 33;
        const auto at = clock.CaptureTime(Stamp(taken), Ms(origin + taken + delays[n % 6]));
        EXPECT_EQ(at, Ms(origin + taken + (n == 0 ? 40 : n == 1 ? 12 : 5))) << n;
    }
    // Nobody read for 3 s; the device kept 8 frames, handed over at once.
    for (int n = 0; n < 8; ++n) {
        const int64_t taken = 3990 - (7 - n) * 33;
        EXPECT_EQ(clock.CaptureTime(Stamp(taken), Ms(origin + 4000 + n)), Ms(origin + taken + 5)) << n;
    }
    EXPECT_EQ(clock.CaptureTime(Stamp(4023), Ms(origin + 4040)), Ms(origin + 4028));
    // A stream that starts over: its first frame counts as taken when it came, even when it starts over again at once.
    EXPECT_EQ(clock.CaptureTime(Stamp(100), Ms(8000)), Ms(8000));
    EXPECT_EQ(clock.CaptureTime(Stamp(50), Ms(8500)), Ms(8500));
    EXPECT_EQ(clock.CaptureTime(Stamp(0), Ms(9000)), Ms(9000));
    EXPECT_EQ(clock.CaptureTime(Stamp(33), Ms(9020)), Ms(9020));
    EXPECT_EQ(clock.CaptureTime(Stamp(33 + 61'000), Ms(9100)), Ms(9100));
    // The device's clock runs slow by 1 ms a frame: within a window of frames the mapping follows it.
    clock.Reset();
    for (int n = 0; n < 200; ++n) {
        const auto at = clock.CaptureTime(Stamp(n * 33), Ms(origin + n * 34 + 5));
        if (n >= 64) {
            EXPECT_LE(at, Ms(origin + n * 34 + 5)) << n;
            EXPECT_GE(at, Ms(origin + n * 34 + 5 - 64)) << n;
        }
    }
    for (const int64_t nonsense : {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()})
        EXPECT_EQ(clock.CaptureTime(nonsense, Ms(70)), Ms(70));
    // Stamps that stand still: no frame looks older than it is.
    clock.Reset();
    for (int n = 0; n < 100; ++n) EXPECT_EQ(clock.CaptureTime(Stamp(5), Ms(n * 33)), Ms(n * 33)) << n;
}

}  // namespace
