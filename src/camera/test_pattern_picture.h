#pragma once
// The test pattern itself, apart from the cameras that show it: where each
// feature lies at any frame size, its colours, and one picture drawn in a
// camera's own byte layout. Shared by the cameras and the checkers.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "camera/test_pattern.h"
#include "capture/frame.h"

namespace test_pattern_picture {

constexpr int32_t PATTERN_WIDTH = TEST_PATTERN_WIDTH;
constexpr int32_t PATTERN_HEIGHT = TEST_PATTERN_HEIGHT;
// The 1280 x 720 layout that every size is scaled from.
constexpr int32_t BAND_TOP = 576;  // the moving band; the bars end here
constexpr int32_t SQUARE_TOP = 592;
constexpr int32_t SQUARE_BOTTOM = 656;
constexpr int32_t SQUARE_STEP = 16;
constexpr int32_t COUNTER_TOP = 672;
constexpr int COUNTER_BITS = 32;
// Sides beyond which the checkers' arithmetic is not trusted.
constexpr int32_t MAX_CHECKED_SIDE = 16384;
// The largest half side of the square of pixels averaged per counter block,
// and the mean brightness (of red + green + blue, divided by 3) that tells 1
// from 0.
constexpr int32_t COUNTER_PROBE_HALF = 4;
constexpr int COUNTER_ONE_ABOVE = 160;
constexpr int COUNTER_ZERO_BELOW = 96;
// Points closer than this to an edge of the pattern are not compared; smaller
// frames get a smaller margin, down to the minimum, as their features shrink.
constexpr int32_t EDGE_MARGIN = 8;
constexpr int32_t MIN_EDGE_MARGIN = 2;
constexpr int32_t GRID_STEP = 4;

// 75% bars: no channel of their YUV form reaches the clamp at 0 or 255, so the
// camera's conversion gives them back to within rounding.
constexpr TestPatternColour BAR_COLOURS[TEST_PATTERN_BAR_COUNT] = {
    {191, 191, 191},  // white
    {191, 191, 0},    // yellow
    {0, 191, 191},    // cyan
    {0, 191, 0},      // green
    {191, 0, 191},    // magenta
    {191, 0, 0},      // red
    {0, 0, 191},      // blue
    {0, 0, 0},        // black
};
constexpr TestPatternColour BAND_GREY{64, 64, 64};
constexpr TestPatternColour WHITE{255, 255, 255};
constexpr TestPatternColour BLACK{0, 0, 0};

inline bool SameColour(TestPatternColour a, TestPatternColour b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue;
}

// `position` of the 1280 x 720 layout scaled from `from` pixels to `to` and
// rounded (half up) to a multiple of `quantum`.
inline int32_t Scaled(int64_t position, int64_t from, int64_t to, int32_t quantum) {
    return static_cast<int32_t>((2 * position * to + from * quantum) / (2 * from * quantum) * quantum);
}

// Edges fall on multiples of 16 (whole 4:2:0 JPEG blocks) when a feature
// nominally this wide keeps its shape after the rounding, else on multiples of 8
// (luma blocks), else on even pixels (4:2:0 chroma samples).
inline int32_t Quantum(int64_t nominalFeature) {
    return nominalFeature >= 64 ? 16 : nominalFeature >= 32 ? 8 : 2;
}

// Where everything is in a frame of one size; at 1280 x 720, the layout above.
struct Geometry {
    int32_t width = 0;
    int32_t height = 0;
    std::array<int32_t, TEST_PATTERN_BAR_COUNT + 1> barEdges{};
    std::array<int32_t, COUNTER_BITS + 1> counterEdges{};
    int32_t bandTop = 0;
    int32_t squareTop = 0;
    int32_t squareSize = 0;
    int32_t squareStep = 0;
    uint32_t squarePositions = 1;
    int32_t counterTop = 0;

    Geometry(int32_t frameWidth, int32_t frameHeight) : width(frameWidth), height(frameHeight) {
        const int32_t rows = Quantum(int64_t{height} * (SQUARE_BOTTOM - SQUARE_TOP) / PATTERN_HEIGHT);
        bandTop = Scaled(BAND_TOP, PATTERN_HEIGHT, height, rows);
        squareTop = Scaled(SQUARE_TOP, PATTERN_HEIGHT, height, rows);
        squareSize = Scaled(SQUARE_BOTTOM, PATTERN_HEIGHT, height, rows) - squareTop;
        counterTop = Scaled(COUNTER_TOP, PATTERN_HEIGHT, height, rows);
        const int32_t bars = Quantum(width / TEST_PATTERN_BAR_COUNT);
        for (int bar = 0; bar < TEST_PATTERN_BAR_COUNT; ++bar) {
            barEdges[bar] = Scaled(bar, TEST_PATTERN_BAR_COUNT, width, bars);
        }
        barEdges[TEST_PATTERN_BAR_COUNT] = width;
        // Blocks of black and white only: luma blocks are all that matter.
        const int32_t blocks = std::min(Quantum(width / COUNTER_BITS), 8);
        for (int bit = 0; bit < COUNTER_BITS; ++bit) {
            counterEdges[bit] = Scaled(bit, COUNTER_BITS, width, blocks);
        }
        counterEdges[COUNTER_BITS] = width;
        const int64_t nominalStep = int64_t{width} * SQUARE_STEP / PATTERN_WIDTH;
        squareStep = std::max(2, Scaled(SQUARE_STEP, PATTERN_WIDTH, width, nominalStep >= 8 ? 8 : 2));
        if (width > squareSize) squarePositions = static_cast<uint32_t>((width - squareSize) / squareStep + 1);
    }

    int32_t SquareLeft(uint32_t counter) const {
        return static_cast<int32_t>(counter % squarePositions) * squareStep;
    }

    // Points this close to an edge are left out of comparisons.
    int32_t EdgeMargin() const { return std::clamp(height / 60, MIN_EDGE_MARGIN, EDGE_MARGIN); }

    TestPatternColour ColourAt(int32_t x, int32_t y, uint32_t counter) const {
        if (x < 0 || y < 0 || x >= width || y >= height) {
            return BLACK;
        }
        if (y < bandTop) {
            return BAR_COLOURS[Segment(barEdges, x)];
        }
        if (y < counterTop) {
            const int32_t left = SquareLeft(counter);
            const bool inSquare = y >= squareTop && y < squareTop + squareSize && x >= left &&
                                  x < left + squareSize;
            return inSquare ? WHITE : BAND_GREY;
        }
        const int bit = Segment(counterEdges, x);
        return ((counter >> (COUNTER_BITS - 1 - bit)) & 1u) ? WHITE : BLACK;
    }

    // The index of the span [edges[i], edges[i + 1]) that holds x, for x in [0, width).
    template <size_t N>
    static int Segment(const std::array<int32_t, N>& edges, int32_t x) {
        return static_cast<int>(std::upper_bound(edges.begin() + 1, edges.end() - 1, x) - edges.begin()) - 1;
    }
};

inline const Geometry& StandardGeometry() {
    static const Geometry geometry(PATTERN_WIDTH, PATTERN_HEIGHT);
    return geometry;
}

struct Yuv {
    uint8_t y;
    uint8_t u;
    uint8_t v;
};

inline uint8_t RoundToByte(double value) {
    return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// Full-range BT.601, the exact inverse of the camera's YUV conversion.
inline Yuv ToYuv(TestPatternColour colour) {
    const double y = 0.299 * colour.red + 0.587 * colour.green + 0.114 * colour.blue;
    return {RoundToByte(y), RoundToByte(128.0 + (colour.blue - y) / 1.772),
            RoundToByte(128.0 + (colour.red - y) / 1.402)};
}

// Bytes per row of a sample (of the luma plane for NV12); for MJPG, of the
// bottom-up BGR picture handed to the encoder.
inline int32_t Pitch(PixelFormat format, int32_t width) {
    switch (format) {
    case PixelFormat::NV12:
        return width;
    case PixelFormat::YUY2:
        return 2 * width;
    case PixelFormat::RGB24:
    case PixelFormat::MJPG:
    case PixelFormat::Unknown:
        break;
    }
    return PaddedStride(width);
}

// One picture in a camera's own byte layout. For the MJPG camera that is the
// bottom-up BGR picture handed to the encoder; for the others `picture.pixels`
// holds the sample's bytes and the other fields are unused.
struct Canvas {
    PixelFormat format = PixelFormat::Unknown;
    int32_t pitch = 0;  // bytes per row (of the luma plane for NV12)
    CapturedFrame picture;

    Canvas() = default;
    Canvas(PixelFormat subtype, int32_t width, int32_t height)
        : format(subtype), pitch(Pitch(subtype, width)) {
        const size_t rows = format == PixelFormat::NV12 ? static_cast<size_t>(height) * 3 / 2 : height;
        picture.pixels.assign(static_cast<size_t>(pitch) * rows, 0);
        picture.width = width;
        picture.height = height;
        picture.stride = pitch;
    }

    bool Is(PixelFormat subtype, int32_t width, int32_t height) const {
        return format == subtype && picture.width == width && picture.height == height;
    }

    uint8_t* Row(int32_t y) {
        // The JPEG encoder takes a DIB-ordered picture: bottom row first.
        const int32_t memoryRow = format == PixelFormat::MJPG ? picture.height - 1 - y : y;
        return picture.pixels.data() + static_cast<size_t>(memoryRow) * pitch;
    }

    // x, y, width and height are even: a chroma sample never straddles colours.
    void Fill(int32_t x, int32_t y, int32_t width, int32_t height, TestPatternColour colour) {
        const Yuv yuv = ToYuv(colour);
        for (int32_t row = y; row < y + height; ++row) {
            uint8_t* p = Row(row);
            switch (format) {
            case PixelFormat::NV12:
                std::memset(p + x, yuv.y, static_cast<size_t>(width));
                if (row % 2 == 0) {
                    uint8_t* chroma = picture.pixels.data() +
                                      static_cast<size_t>(pitch) * picture.height +
                                      static_cast<size_t>(row / 2) * pitch + x;
                    for (int32_t i = 0; i < width; i += 2) {
                        chroma[i] = yuv.u;
                        chroma[i + 1] = yuv.v;
                    }
                }
                break;
            case PixelFormat::YUY2:
                for (int32_t i = 2 * x; i < 2 * (x + width); i += 4) {
                    p[i] = yuv.y;
                    p[i + 1] = yuv.u;
                    p[i + 2] = yuv.y;
                    p[i + 3] = yuv.v;
                }
                break;
            case PixelFormat::RGB24:
            case PixelFormat::MJPG:
            case PixelFormat::Unknown:
                for (int32_t i = 3 * x; i < 3 * (x + width); i += 3) {
                    p[i] = colour.blue;
                    p[i + 1] = colour.green;
                    p[i + 2] = colour.red;
                }
                break;
            }
        }
    }

    // Copies picture rows [top, bottom) (both even) from a canvas of the same
    // format and size.
    void CopyRows(const Canvas& from, int32_t top, int32_t bottom) {
        const int32_t height = picture.height;
        const int32_t firstMemoryRow = format == PixelFormat::MJPG ? height - bottom : top;
        const size_t offset = static_cast<size_t>(firstMemoryRow) * pitch;
        const size_t size = static_cast<size_t>(bottom - top) * pitch;
        std::memcpy(picture.pixels.data() + offset, from.picture.pixels.data() + offset, size);
        if (format == PixelFormat::NV12) {
            const size_t chroma = static_cast<size_t>(pitch) * height +
                                  static_cast<size_t>(top / 2) * pitch;
            std::memcpy(picture.pixels.data() + chroma, from.picture.pixels.data() + chroma,
                        size / 2);
        }
    }
};

}  // namespace test_pattern_picture
