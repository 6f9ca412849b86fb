#pragma once
// When a frame was taken, and whether a starting camera's exposure has settled:
// the two questions a still capture asks before it keeps a frame.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/frame.h"

// Settling never stops before this long after the camera's first frame (the
// fixed wait this rule replaced, and about what a good USB webcam needs in
// daylight) and never runs past the longest; by then even an old laptop
// camera in a dim room has found its exposure, and a user waiting for a
// capture should not wait longer for a picture that may never settle (a
// flickering lamp, a scene that keeps changing).
constexpr std::chrono::milliseconds SETTLE_MIN_TIME{500};
constexpr std::chrono::milliseconds SETTLE_MAX_TIME{3000};

// Mean luma (0 to 255, BT.601 weights) of a grid of the picture's pixels, every
// eighth in each direction: plenty for the mean, and cheap at any size. 0 for
// an empty frame.
double MeanLuma(const CapturedFrame& frame);

// Watches the brightness of a starting camera's frames, one at a time, and
// says when to stop reading and keep the next frame.
//
// Settled means the mean luma has stopped moving one way: across the frames of
// the last SETTLE_WINDOW (at least three), either the newest differs from the
// oldest by less than 2 %, or the luma travelled there and back more than
// three times as far as it got.
// - Time, not a count of frames: at 60 frames a second three frames span 33 ms,
//   in which even a fast exposure loop moves the picture by less than 2 %,
//   while a camera in dim light lowers its rate to 5 or 7.5 a second. 200 ms
//   is long enough for the slowest ramp we wait for (from a tenth to full
//   brightness over 3 s moves the picture by 6 % in 200 ms) and short enough
//   to add little to a capture.
// - The net change against the way travelled, not the largest step: a moving
//   scene (a hand, a head) moves the mean both ways, so it gets nowhere for
//   all its travel, while an exposure loop moves it one way, in steps or
//   smoothly, and a brief dip on the way (something dark passing, a lamp's
//   flicker) takes little from its progress.
// - Relative to the picture's brightness, with a floor of 16 levels, so that a
//   dark room's picture need not hold still to a tenth of a level. A nearly
//   black picture (below 2) never counts as settled: cameras start with black
//   frames while the sensor wakes up.
class ExposureWatch {
public:
    // One frame of mean luma `luma`, received `sinceFirst` after the camera's
    // first frame. True when the caller may stop: settled, or the time is up.
    bool Settled(std::chrono::milliseconds sinceFirst, double luma);

private:
    struct Reading {
        std::chrono::milliseconds at;
        double luma;
    };
    std::vector<Reading> recent_;  // oldest first, trimmed to the window
};

constexpr std::chrono::milliseconds SETTLE_WINDOW{200};

// Maps a device's sample times to our own clock, so that a still capture can
// pass over frames the device took before it was asked. A device stamps each
// frame on its own clock (Media Foundation: 100 ns units from an origin of the
// source's choosing, the presentation clock of the stream); the difference
// between when we receive a frame and its stamp is that origin plus the
// frame's delay in the device. The smallest difference among the recent frames
// is the origin plus the shortest delay, so stamp + that is when the frame was
// taken, give or take the shortest delay. Frames that waited in a device's
// queue arrive with large differences and never lower it. Recent rather than
// all: two clocks drift apart. A stamp that goes back (a stream restarted, a
// file looped), stands still or leaps far ahead starts over: the first frame
// then counts as taken when it arrived.
class SampleClock {
public:
    using Clock = std::chrono::steady_clock;
    // When the frame stamped `stamp` (100 ns units) and received at `received`
    // was taken, on our clock.
    Clock::time_point CaptureTime(int64_t stamp, Clock::time_point received);
    void Reset();

private:
    static constexpr size_t WINDOW = 64;
    std::array<int64_t, WINDOW> offsets_{};
    size_t count_ = 0;
    size_t next_ = 0;
    int64_t lastStamp_ = 0;
};
