#include "camera/frame_pacing.h"

std::chrono::nanoseconds FrameInterval(uint32_t rateNumerator, uint32_t rateDenominator) {
    if (rateNumerator == 0 || rateDenominator == 0) return FRAME_PACER_DEFAULT_INTERVAL;
    // 64 bits hold 2^32 seconds in nanoseconds with room to spare.
    const int64_t nanoseconds = int64_t{rateDenominator} * 1000000000 / rateNumerator;
    const std::chrono::nanoseconds interval{nanoseconds};
    return interval < FRAME_PACER_LONGEST_INTERVAL ? interval : FRAME_PACER_LONGEST_INTERVAL;
}

std::chrono::nanoseconds FramePacer::NextDelay(std::chrono::steady_clock::time_point now, uint32_t rateNumerator,
                                               uint32_t rateDenominator) {
    if (due_) {
        const std::chrono::steady_clock::time_point next = *due_ + FrameInterval(rateNumerator, rateDenominator);
        if (next > now) {
            due_ = next;
            return next - now;
        }
    }
    due_ = now;
    return std::chrono::nanoseconds{0};
}
