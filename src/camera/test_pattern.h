#pragma once
// Built-in cameras that show a known, moving picture: the development build
// lists them so that the whole program can be driven where no camera exists,
// and tests check what comes out of a capture against the picture below.
//
// The picture, 1280 x 720, rows counted from the top:
// - rows [0, 576): eight vertical 75% colour bars, 160 pixels wide;
// - rows [576, 672): a grey band with a 64 x 64 white square at rows [592, 656)
//   that moves 16 pixels right with every frame;
// - rows [672, 720): the frame counter, 32 blocks 40 pixels wide, the most
//   significant bit on the left, white for 1 and black for 0.
// Every edge lies on a multiple of 16, so 4:2:0 chroma and 16 x 16 JPEG blocks
// never straddle two colours.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/devices.h"
#include "camera/video_reader.h"
#include "capture/frame.h"

constexpr int32_t TEST_PATTERN_WIDTH = 1280;
constexpr int32_t TEST_PATTERN_HEIGHT = 720;
constexpr int32_t TEST_PATTERN_FRAME_INTERVAL_US = 33333;  // about 30 frames a second
constexpr int TEST_PATTERN_BAR_COUNT = 8;

// Compresses one picture (bottom-up BGR) into a JPEG stream; false on failure.
using JpegEncoder = std::function<bool(const CapturedFrame& bgr, std::vector<uint8_t>& jpeg)>;

struct TestPatternColour {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
};

// One camera per subtype: NV12, YUY2, MJPG, RGB24, in that order.
std::vector<CameraDevice> TestPatternCameras();
bool IsTestPatternLink(const std::wstring& symbolicLink);

// A reader for one of the links above, or null for any other link (and for the
// MJPG camera when no encoder is given). Each read blocks until the next frame
// is due, so the camera runs at about 30 frames a second as a real one would.
std::unique_ptr<VideoReader> OpenTestPatternReader(const std::wstring& symbolicLink,
                                                   JpegEncoder encoder);

// The colour at picture position (x, y) of the frame with this counter.
TestPatternColour TestPatternColourAt(int32_t x, int32_t y, uint32_t counter);

// Reads the counter band of a converted frame. False when the frame is not
// 1280 x 720 or a block is neither clearly black nor clearly white.
bool DecodeFrameCounter(const CapturedFrame& frame, uint32_t& counter);
// The largest difference in any channel between the frame and the picture for
// `counter`, over a grid of points at least 8 pixels away from every edge of
// the pattern (so compression ringing does not count); -1 for a frame that is
// not 1280 x 720.
int TestPatternDeviation(const CapturedFrame& frame, uint32_t counter);
// Decodes the counter and checks the whole picture against it.
bool MatchesTestPattern(const CapturedFrame& frame, int tolerance, uint32_t& counter);
