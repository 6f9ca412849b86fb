// The checkers: what a converted frame shows, read back against the pattern.

#include "camera/test_pattern.h"

#include <algorithm>
#include <cstdlib>

#include "camera/test_pattern_picture.h"

using namespace test_pattern_picture;

namespace {

// Whether the checkers can read the frame: large enough for the counter's
// blocks, small enough for their arithmetic, and holding all of its rows.
bool Checkable(const CapturedFrame& frame) {
    return frame.width >= TEST_PATTERN_MIN_WIDTH && frame.height >= TEST_PATTERN_MIN_HEIGHT &&
           frame.width <= MAX_CHECKED_SIDE && frame.height <= MAX_CHECKED_SIDE &&
           frame.stride >= 3 * frame.width &&
           frame.pixels.size() >= static_cast<size_t>(frame.stride) * frame.height;
}

TestPatternColour PixelAt(const CapturedFrame& frame, int32_t x, int32_t y) {
    const uint8_t* p = frame.pixels.data() +
                       static_cast<size_t>(frame.height - 1 - y) * frame.stride + 3 * x;
    return {p[2], p[1], p[0]};
}

}  // namespace

TestPatternColour TestPatternColourAt(int32_t x, int32_t y, uint32_t counter) {
    return StandardGeometry().ColourAt(x, y, counter);
}

TestPatternColour TestPatternColourAt(int32_t x, int32_t y, uint32_t counter, int32_t width,
                                      int32_t height) {
    // Callers ask pixel by pixel, at one size: the geometry of the last size
    // asked for is kept.
    thread_local Geometry last(PATTERN_WIDTH, PATTERN_HEIGHT);
    if (last.width != width || last.height != height) last = Geometry(width, height);
    return last.ColourAt(x, y, counter);
}

bool DecodeFrameCounter(const CapturedFrame& frame, uint32_t& counter) {
    if (!Checkable(frame)) {
        return false;
    }
    const Geometry geometry(frame.width, frame.height);
    int32_t narrowest = frame.height - geometry.counterTop;
    for (int bit = 0; bit < COUNTER_BITS; ++bit) {
        narrowest = std::min(narrowest, geometry.counterEdges[bit + 1] - geometry.counterEdges[bit]);
    }
    const int32_t half = std::clamp(narrowest / 4, 1, COUNTER_PROBE_HALF);
    const int32_t centreY = (geometry.counterTop + frame.height) / 2;
    uint32_t value = 0;
    for (int bit = 0; bit < COUNTER_BITS; ++bit) {
        const int32_t centreX = (geometry.counterEdges[bit] + geometry.counterEdges[bit + 1]) / 2;
        int sum = 0;
        int count = 0;
        for (int32_t y = centreY - half; y < centreY + half; ++y) {
            for (int32_t x = centreX - half; x < centreX + half; ++x) {
                const TestPatternColour pixel = PixelAt(frame, x, y);
                sum += pixel.red + pixel.green + pixel.blue;
                count += 3;
            }
        }
        const int mean = sum / count;
        if (mean >= COUNTER_ONE_ABOVE) {
            value = (value << 1) | 1u;
        } else if (mean < COUNTER_ZERO_BELOW) {
            value <<= 1;
        } else {
            return false;
        }
    }
    counter = value;
    return true;
}

int TestPatternDeviation(const CapturedFrame& frame, uint32_t counter) {
    if (!Checkable(frame)) {
        return -1;
    }
    const Geometry geometry(frame.width, frame.height);
    const int32_t margin = geometry.EdgeMargin();
    const auto clampX = [&](int32_t x) { return std::clamp(x, 0, frame.width - 1); };
    const auto clampY = [&](int32_t y) { return std::clamp(y, 0, frame.height - 1); };
    int worst = 0;
    for (int32_t y = GRID_STEP / 2; y < frame.height; y += GRID_STEP) {
        for (int32_t x = GRID_STEP / 2; x < frame.width; x += GRID_STEP) {
            const TestPatternColour expected = geometry.ColourAt(x, y, counter);
            // The pattern is made of rectangles wider than twice the margin:
            // when the corners of the square around a point share its colour,
            // no edge passes within the margin.
            bool interior = true;
            for (int32_t dy : {-margin, margin}) {
                for (int32_t dx : {-margin, margin}) {
                    interior = interior &&
                               SameColour(expected, geometry.ColourAt(clampX(x + dx), clampY(y + dy), counter));
                }
            }
            if (!interior) {
                continue;
            }
            const TestPatternColour actual = PixelAt(frame, x, y);
            worst = std::max({worst, std::abs(actual.red - expected.red),
                              std::abs(actual.green - expected.green),
                              std::abs(actual.blue - expected.blue)});
        }
    }
    return worst;
}

bool MatchesTestPattern(const CapturedFrame& frame, int tolerance, uint32_t& counter) {
    uint32_t decoded = 0;
    if (!DecodeFrameCounter(frame, decoded)) {
        return false;
    }
    const int deviation = TestPatternDeviation(frame, decoded);
    if (deviation < 0 || deviation > tolerance) {
        return false;
    }
    counter = decoded;
    return true;
}
