#include "camera/frame_timing.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int32_t LUMA_GRID = 8;
constexpr size_t MIN_WINDOW_FRAMES = 3;
constexpr double STEADY_SHARE = 0.02;
constexpr double MOTION_RATIO = 3.0;
constexpr double LUMA_FLOOR = 16.0;
constexpr double BLACK_LUMA = 2.0;

// Stamps beyond this are nonsense from a device; differences of them could
// overflow. 2^62 units of 100 ns is over 14,000 years.
constexpr int64_t STAMP_LIMIT = int64_t{1} << 62;
// A stamp this far past the last one is a new origin, not a frame that came late.
constexpr int64_t STAMP_LEAP = int64_t{60} * 10'000'000;

}  // namespace

double MeanLuma(const CapturedFrame& frame) {
    if (frame.width <= 0 || frame.height <= 0 || frame.stride < 3 * frame.width ||
        frame.pixels.size() < static_cast<size_t>(frame.stride) * static_cast<size_t>(frame.height)) {
        return 0.0;
    }
    uint64_t sum = 0;
    uint64_t count = 0;
    for (int32_t y = LUMA_GRID / 2 % frame.height; y < frame.height; y += LUMA_GRID) {
        const uint8_t* row = frame.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(frame.stride);
        for (int32_t x = LUMA_GRID / 2 % frame.width; x < frame.width; x += LUMA_GRID) {
            const uint8_t* bgr = row + 3 * static_cast<size_t>(x);
            sum += 29u * bgr[0] + 150u * bgr[1] + 77u * bgr[2];
            ++count;
        }
    }
    return static_cast<double>(sum) / 256.0 / static_cast<double>(count);
}

bool ExposureWatch::Settled(std::chrono::milliseconds sinceFirst, double luma) {
    if (sinceFirst >= SETTLE_MAX_TIME) return true;
    recent_.push_back({sinceFirst, luma});
    // The window reaches back to the newest reading a whole window older than
    // this one, and over three frames at least.
    size_t start = recent_.size();
    while (start > 0 && sinceFirst - recent_[start - 1].at < SETTLE_WINDOW) --start;
    if (start == 0) return false;  // not a whole window of frames yet
    start = std::min(start - 1, recent_.size() - std::min(recent_.size(), MIN_WINDOW_FRAMES));
    recent_.erase(recent_.begin(), recent_.begin() + static_cast<std::ptrdiff_t>(start));
    if (sinceFirst < SETTLE_MIN_TIME || recent_.size() < MIN_WINDOW_FRAMES || luma < BLACK_LUMA) return false;

    const double first = recent_.front().luma;
    const double net = std::abs(luma - first);
    if (net < STEADY_SHARE * std::max({first, luma, LUMA_FLOOR})) return true;
    double travelled = 0;
    for (size_t i = 1; i < recent_.size(); ++i) travelled += std::abs(recent_[i].luma - recent_[i - 1].luma);
    return net * MOTION_RATIO < travelled;
}

SampleClock::Clock::time_point SampleClock::CaptureTime(int64_t stamp, Clock::time_point received) {
    using Units = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
    const int64_t receivedUnits = std::chrono::duration_cast<Units>(received.time_since_epoch()).count();
    if (stamp <= -STAMP_LIMIT || stamp >= STAMP_LIMIT || receivedUnits <= -STAMP_LIMIT ||
        receivedUnits >= STAMP_LIMIT) {
        return received;
    }
    // A stamp that does not move on is no clock at all (a device that stamps
    // every frame alike): each frame then counts as taken when it came.
    if (count_ > 0 && (stamp <= lastStamp_ || stamp - lastStamp_ > STAMP_LEAP)) Reset();
    lastStamp_ = stamp;
    offsets_[next_] = receivedUnits - stamp;
    next_ = (next_ + 1) % WINDOW;
    count_ = std::min(count_ + 1, WINDOW);
    const int64_t offset = *std::min_element(offsets_.begin(), offsets_.begin() + static_cast<std::ptrdiff_t>(count_));
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(Units(stamp + offset)));
}

void SampleClock::Reset() {
    count_ = 0;
    next_ = 0;
    lastStamp_ = 0;
}
