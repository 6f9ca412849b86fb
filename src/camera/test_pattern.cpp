#include "camera/test_pattern.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace {

constexpr int32_t PATTERN_WIDTH = TEST_PATTERN_WIDTH;
constexpr int32_t PATTERN_HEIGHT = TEST_PATTERN_HEIGHT;
constexpr int32_t BAR_WIDTH = PATTERN_WIDTH / TEST_PATTERN_BAR_COUNT;
constexpr int32_t BAND_TOP = 576;  // the moving band; the bars end here
constexpr int32_t SQUARE_TOP = 592;
constexpr int32_t SQUARE_SIZE = 64;
constexpr int32_t SQUARE_STEP = 16;
constexpr uint32_t SQUARE_POSITIONS = (PATTERN_WIDTH - SQUARE_SIZE) / SQUARE_STEP + 1;
constexpr int32_t COUNTER_TOP = 672;
constexpr int COUNTER_BITS = 32;
constexpr int32_t COUNTER_BLOCK_WIDTH = PATTERN_WIDTH / COUNTER_BITS;
// Half of the square of pixels averaged per counter block, and the mean
// brightness (of red + green + blue, divided by 3) that tells 1 from 0.
constexpr int32_t COUNTER_PROBE_HALF = 4;
constexpr int COUNTER_ONE_ABOVE = 160;
constexpr int COUNTER_ZERO_BELOW = 96;
// Points closer than this to an edge of the pattern are not compared.
constexpr int32_t EDGE_MARGIN = 8;
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

struct PatternCamera {
    const wchar_t* friendlyName;
    const wchar_t* symbolicLink;
    PixelFormat subtype;
};

constexpr PatternCamera PATTERN_CAMERAS[] = {
    {L"Snapward Test Pattern (NV12)", L"snapward-testpattern:nv12", PixelFormat::NV12},
    {L"Snapward Test Pattern (YUY2)", L"snapward-testpattern:yuy2", PixelFormat::YUY2},
    {L"Snapward Test Pattern (MJPG)", L"snapward-testpattern:mjpg", PixelFormat::MJPG},
    {L"Snapward Test Pattern (RGB24)", L"snapward-testpattern:rgb24", PixelFormat::RGB24},
};

bool SameColour(TestPatternColour a, TestPatternColour b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue;
}

int32_t SquareLeft(uint32_t counter) {
    return static_cast<int32_t>(counter % SQUARE_POSITIONS) * SQUARE_STEP;
}

struct Yuv {
    uint8_t y;
    uint8_t u;
    uint8_t v;
};

uint8_t RoundToByte(double value) {
    return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// Full-range BT.601, the exact inverse of the camera's YUV conversion.
Yuv ToYuv(TestPatternColour colour) {
    const double y = 0.299 * colour.red + 0.587 * colour.green + 0.114 * colour.blue;
    return {RoundToByte(y), RoundToByte(128.0 + (colour.blue - y) / 1.772),
            RoundToByte(128.0 + (colour.red - y) / 1.402)};
}

// One picture in a camera's own byte layout. For the MJPG camera that is the
// bottom-up BGR picture handed to the encoder; for the others `picture.pixels`
// holds the sample's bytes and the other fields are unused.
struct Canvas {
    PixelFormat format = PixelFormat::Unknown;
    int32_t pitch = 0;  // bytes per row (of the luma plane for NV12)
    CapturedFrame picture;

    explicit Canvas(PixelFormat subtype) : format(subtype) {
        size_t size = 0;
        switch (format) {
        case PixelFormat::NV12:
            pitch = PATTERN_WIDTH;
            size = static_cast<size_t>(PATTERN_WIDTH) * PATTERN_HEIGHT * 3 / 2;
            break;
        case PixelFormat::YUY2:
            pitch = 2 * PATTERN_WIDTH;
            size = static_cast<size_t>(pitch) * PATTERN_HEIGHT;
            break;
        case PixelFormat::RGB24:
        case PixelFormat::MJPG:
        case PixelFormat::Unknown:
            pitch = 3 * PATTERN_WIDTH;  // already a multiple of 4
            size = static_cast<size_t>(pitch) * PATTERN_HEIGHT;
            break;
        }
        picture.pixels.assign(size, 0);
        picture.width = PATTERN_WIDTH;
        picture.height = PATTERN_HEIGHT;
        picture.stride = pitch;
    }

    uint8_t* Row(int32_t y) {
        // The JPEG encoder takes a DIB-ordered picture: bottom row first.
        const int32_t memoryRow = format == PixelFormat::MJPG ? PATTERN_HEIGHT - 1 - y : y;
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
                                      static_cast<size_t>(pitch) * PATTERN_HEIGHT +
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

    // Copies picture rows [top, bottom) (both even) from a canvas of the same format.
    void CopyRows(const Canvas& from, int32_t top, int32_t bottom) {
        const int32_t firstMemoryRow = format == PixelFormat::MJPG ? PATTERN_HEIGHT - bottom : top;
        const size_t offset = static_cast<size_t>(firstMemoryRow) * pitch;
        const size_t size = static_cast<size_t>(bottom - top) * pitch;
        std::memcpy(picture.pixels.data() + offset, from.picture.pixels.data() + offset, size);
        if (format == PixelFormat::NV12) {
            const size_t chroma = static_cast<size_t>(pitch) * PATTERN_HEIGHT +
                                  static_cast<size_t>(top / 2) * pitch;
            std::memcpy(picture.pixels.data() + chroma, from.picture.pixels.data() + chroma,
                        size / 2);
        }
    }
};

class TestPatternReader final : public VideoReader {
public:
    TestPatternReader(PixelFormat subtype, JpegEncoder encoder)
        : subtype_(subtype), encoder_(std::move(encoder)), background_(subtype), frame_(subtype) {
        // Only the band below the bars changes from frame to frame: the rest
        // is drawn once.
        for (int bar = 0; bar < TEST_PATTERN_BAR_COUNT; ++bar) {
            background_.Fill(bar * BAR_WIDTH, 0, BAR_WIDTH, BAND_TOP, BAR_COLOURS[bar]);
        }
        background_.Fill(0, BAND_TOP, PATTERN_WIDTH, COUNTER_TOP - BAND_TOP, BAND_GREY);
        background_.Fill(0, COUNTER_TOP, PATTERN_WIDTH, PATTERN_HEIGHT - COUNTER_TOP, BLACK);
        frame_.CopyRows(background_, 0, PATTERN_HEIGHT);
    }

    // The RGB24 camera takes RGB24 straight away; the others only list their own type.
    bool SetPartialType(PixelFormat subtype) override { return subtype == subtype_; }

    bool GetNativeFormat(uint32_t index, MediaFormat& format) override {
        if (index != 0) {
            return false;
        }
        format = Format();
        return true;
    }

    bool UseNativeFormat(uint32_t index) override { return index == 0; }

    bool GetCurrentFormat(MediaFormat& format) override {
        format = Format();
        return true;
    }

    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample) override {
        WaitForNextFrame();
        Render(counter_++);
        SampleView sample;
        if (subtype_ == PixelFormat::MJPG) {
            if (!encoder_ || !encoder_(frame_.picture, jpeg_) || jpeg_.empty() ||
                jpeg_.size() > static_cast<size_t>(INT32_MAX)) {
                return ReadOutcome::NoSample;
            }
            sample.data = jpeg_.data();
            sample.length = static_cast<int32_t>(jpeg_.size());
        } else {
            sample.data = frame_.picture.pixels.data();
            sample.length = static_cast<int32_t>(frame_.picture.pixels.size());
            sample.stride = frame_.pitch;
        }
        onSample(sample);
        return ReadOutcome::Sample;
    }

private:
    MediaFormat Format() const {
        MediaFormat format;
        format.subtype = subtype_;
        format.width = PATTERN_WIDTH;
        format.height = PATTERN_HEIGHT;
        format.defaultStride = subtype_ == PixelFormat::MJPG ? 0 : frame_.pitch;
        return format;
    }

    void WaitForNextFrame() {
        const auto interval = std::chrono::microseconds(TEST_PATTERN_FRAME_INTERVAL_US);
        const auto now = std::chrono::steady_clock::now();
        if (!started_) {
            started_ = true;
            due_ = now;
        }
        if (now < due_) {
            std::this_thread::sleep_until(due_);
        } else if (now - due_ > interval) {
            // A reader that fell behind gets the next frame now rather than a
            // burst of frames that were due while nobody read.
            due_ = now;
        }
        due_ += interval;
    }

    void Render(uint32_t counter) {
        frame_.CopyRows(background_, BAND_TOP, PATTERN_HEIGHT);
        frame_.Fill(SquareLeft(counter), SQUARE_TOP, SQUARE_SIZE, SQUARE_SIZE, WHITE);
        for (int bit = 0; bit < COUNTER_BITS; ++bit) {
            if ((counter >> (COUNTER_BITS - 1 - bit)) & 1u) {
                frame_.Fill(bit * COUNTER_BLOCK_WIDTH, COUNTER_TOP, COUNTER_BLOCK_WIDTH,
                            PATTERN_HEIGHT - COUNTER_TOP, WHITE);
            }
        }
    }

    PixelFormat subtype_;
    JpegEncoder encoder_;
    Canvas background_;
    Canvas frame_;
    std::vector<uint8_t> jpeg_;
    uint32_t counter_ = 0;
    bool started_ = false;
    std::chrono::steady_clock::time_point due_;
};

bool HasPatternSize(const CapturedFrame& frame) {
    return frame.width == PATTERN_WIDTH && frame.height == PATTERN_HEIGHT &&
           frame.stride >= 3 * PATTERN_WIDTH &&
           frame.pixels.size() >= static_cast<size_t>(frame.stride) * PATTERN_HEIGHT;
}

TestPatternColour PixelAt(const CapturedFrame& frame, int32_t x, int32_t y) {
    const uint8_t* p = frame.pixels.data() +
                       static_cast<size_t>(frame.height - 1 - y) * frame.stride + 3 * x;
    return {p[2], p[1], p[0]};
}

}  // namespace

std::vector<CameraDevice> TestPatternCameras() {
    std::vector<CameraDevice> cameras;
    for (const PatternCamera& camera : PATTERN_CAMERAS) {
        cameras.push_back({camera.friendlyName, camera.symbolicLink});
    }
    return cameras;
}

bool IsTestPatternLink(const std::wstring& symbolicLink) {
    return std::any_of(std::begin(PATTERN_CAMERAS), std::end(PATTERN_CAMERAS),
                       [&](const PatternCamera& camera) {
                           return symbolicLink == camera.symbolicLink;
                       });
}

std::unique_ptr<VideoReader> OpenTestPatternReader(const std::wstring& symbolicLink,
                                                   JpegEncoder encoder) {
    for (const PatternCamera& camera : PATTERN_CAMERAS) {
        if (symbolicLink != camera.symbolicLink) {
            continue;
        }
        if (camera.subtype == PixelFormat::MJPG && !encoder) {
            return nullptr;
        }
        return std::make_unique<TestPatternReader>(camera.subtype, std::move(encoder));
    }
    return nullptr;
}

TestPatternColour TestPatternColourAt(int32_t x, int32_t y, uint32_t counter) {
    if (x < 0 || y < 0 || x >= PATTERN_WIDTH || y >= PATTERN_HEIGHT) {
        return BLACK;
    }
    if (y < BAND_TOP) {
        return BAR_COLOURS[x / BAR_WIDTH];
    }
    if (y < COUNTER_TOP) {
        const int32_t left = SquareLeft(counter);
        const bool inSquare = y >= SQUARE_TOP && y < SQUARE_TOP + SQUARE_SIZE && x >= left &&
                              x < left + SQUARE_SIZE;
        return inSquare ? WHITE : BAND_GREY;
    }
    const int bit = x / COUNTER_BLOCK_WIDTH;
    return ((counter >> (COUNTER_BITS - 1 - bit)) & 1u) ? WHITE : BLACK;
}

bool DecodeFrameCounter(const CapturedFrame& frame, uint32_t& counter) {
    if (!HasPatternSize(frame)) {
        return false;
    }
    const int32_t centreY = (COUNTER_TOP + PATTERN_HEIGHT) / 2;
    uint32_t value = 0;
    for (int bit = 0; bit < COUNTER_BITS; ++bit) {
        const int32_t centreX = bit * COUNTER_BLOCK_WIDTH + COUNTER_BLOCK_WIDTH / 2;
        int sum = 0;
        int count = 0;
        for (int32_t y = centreY - COUNTER_PROBE_HALF; y < centreY + COUNTER_PROBE_HALF; ++y) {
            for (int32_t x = centreX - COUNTER_PROBE_HALF; x < centreX + COUNTER_PROBE_HALF; ++x) {
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
    if (!HasPatternSize(frame)) {
        return -1;
    }
    const auto clampX = [](int32_t x) { return std::clamp(x, 0, PATTERN_WIDTH - 1); };
    const auto clampY = [](int32_t y) { return std::clamp(y, 0, PATTERN_HEIGHT - 1); };
    int worst = 0;
    for (int32_t y = GRID_STEP / 2; y < PATTERN_HEIGHT; y += GRID_STEP) {
        for (int32_t x = GRID_STEP / 2; x < PATTERN_WIDTH; x += GRID_STEP) {
            const TestPatternColour expected = TestPatternColourAt(x, y, counter);
            // The pattern is made of rectangles at least 40 pixels across: when
            // the corners of the square around a point share its colour, no
            // edge passes within the margin.
            bool interior = true;
            for (int32_t dy : {-EDGE_MARGIN, EDGE_MARGIN}) {
                for (int32_t dx : {-EDGE_MARGIN, EDGE_MARGIN}) {
                    interior = interior && SameColour(expected, TestPatternColourAt(
                                                                    clampX(x + dx), clampY(y + dy),
                                                                    counter));
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
