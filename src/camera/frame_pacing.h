#pragma once
// Frames of a stored clip handed over at the clip's own rate. A file reader
// gives frames as fast as it can decode them, hundreds a second; a camera
// gives one whenever its sensor has the next. The code above the camera seam
// (the preview's pace, exposure settling counted in time, how fresh a still
// is) is written for the camera, so a clip that stands in for one must keep
// its time too, or every test through it would measure something no user sees.

#include <chrono>
#include <cstdint>
#include <optional>

// The interval used when a clip states no usable rate: 30 frames a second,
// the commonest webcam rate.
constexpr std::chrono::nanoseconds FRAME_PACER_DEFAULT_INTERVAL{33333333};
// No frame waits longer than this, whatever rate a clip claims: a rate of a
// frame an hour would otherwise stall every grab.
constexpr std::chrono::nanoseconds FRAME_PACER_LONGEST_INTERVAL{std::chrono::seconds(1)};

// The time between frames at rateNumerator / rateDenominator frames a second
// (both 0, or either, when unknown), limited to FRAME_PACER_LONGEST_INTERVAL.
std::chrono::nanoseconds FrameInterval(uint32_t rateNumerator, uint32_t rateDenominator);

class FramePacer {
public:
    // How long a frame ready at `now` waits before it is handed over, and that
    // frame's slot taken: the first at once, each further one an interval
    // after the one before. A reader that comes late gets its frame at once and
    // the count starts again from then, as a camera does not keep the frames a
    // slow reader missed for a burst afterwards.
    std::chrono::nanoseconds NextDelay(std::chrono::steady_clock::time_point now, uint32_t rateNumerator,
                                       uint32_t rateDenominator);

private:
    std::optional<std::chrono::steady_clock::time_point> due_;
};
