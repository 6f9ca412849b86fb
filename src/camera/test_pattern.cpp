#include "camera/test_pattern.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace {

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

// `position` of the 1280 x 720 layout scaled from `from` pixels to `to` and
// rounded (half up) to a multiple of `quantum`.
int32_t Scaled(int64_t position, int64_t from, int64_t to, int32_t quantum) {
    return static_cast<int32_t>((2 * position * to + from * quantum) / (2 * from * quantum) * quantum);
}

// Edges fall on multiples of 16 (whole 4:2:0 JPEG blocks) when a feature
// nominally this wide keeps its shape after the rounding, else on multiples of 8
// (luma blocks), else on even pixels (4:2:0 chroma samples).
int32_t Quantum(int64_t nominalFeature) {
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

const Geometry& StandardGeometry() {
    static const Geometry geometry(PATTERN_WIDTH, PATTERN_HEIGHT);
    return geometry;
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

// Bytes per row of a sample (of the luma plane for NV12); for MJPG, of the
// bottom-up BGR picture handed to the encoder.
int32_t Pitch(PixelFormat format, int32_t width) {
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

// The types of the cameras that `modes` names. Media Foundation lists a type
// per frame rate, highest first; these are the rates cameras offer.
enum RateIndex : uint8_t { R30, R24, R20, R15, R10, R7_5, R5, R2, RATE_COUNT };
constexpr uint32_t RATES[RATE_COUNT][2] = {{30, 1}, {24, 1}, {20, 1}, {15, 1},
                                           {10, 1}, {15, 2}, {5, 1},  {2, 1}};

// The rates from `best` down to `lowest`, as a set of bits by RateIndex.
constexpr uint8_t Rates(RateIndex best, RateIndex lowest) {
    return static_cast<uint8_t>((2u << lowest) - (1u << best));
}
constexpr uint8_t FULL_RANGE = Rates(R30, R5);
constexpr uint8_t THIRTY_AND_FIFTEEN = (1u << R30) | (1u << R15);

struct ModeSize {
    int32_t width;
    int32_t height;
    uint8_t rates;
};

// One type per size, rate and subtype, in that nesting: `together` lists the
// subtypes that follow each other at one size and rate.
void AddTypes(std::vector<MediaFormat>& types, std::initializer_list<PixelFormat> together,
              std::initializer_list<ModeSize> sizes) {
    for (const ModeSize& size : sizes) {
        for (int rate = 0; rate < RATE_COUNT; ++rate) {
            if (!((size.rates >> rate) & 1u)) continue;
            for (PixelFormat subtype : together) {
                const int32_t stride = subtype == PixelFormat::MJPG ? 0 : Pitch(subtype, size.width);
                types.push_back({subtype, size.width, size.height, stride, RATES[rate][0], RATES[rate][1]});
            }
        }
    }
}

// False for a name that is not one of them.
bool ModeTypes(const std::wstring& name, std::vector<MediaFormat>& types) {
    types.clear();
    if (name == L"c920") {
        // USB 2.0 carries about 20 MB a second of YUY2: the best rate falls
        // with the size. MJPG keeps 30 up to 1920 x 1080.
        AddTypes(types, {PixelFormat::YUY2},
                 {{640, 480, FULL_RANGE}, {160, 90, FULL_RANGE}, {160, 120, FULL_RANGE},
                  {176, 144, FULL_RANGE}, {320, 180, FULL_RANGE}, {320, 240, FULL_RANGE},
                  {352, 288, FULL_RANGE}, {432, 240, FULL_RANGE}, {640, 360, FULL_RANGE},
                  {800, 448, FULL_RANGE}, {800, 600, Rates(R24, R5)}, {864, 480, Rates(R24, R5)},
                  {960, 720, Rates(R15, R5)}, {1024, 576, Rates(R15, R5)}, {1280, 720, Rates(R10, R5)},
                  {1600, 896, Rates(R7_5, R5)}, {1920, 1080, Rates(R5, R5)},
                  {2304, 1296, Rates(R2, R2)}, {2304, 1536, Rates(R2, R2)}});
        constexpr uint8_t mjpg = Rates(R30, R10);
        AddTypes(types, {PixelFormat::MJPG},
                 {{640, 480, mjpg}, {160, 90, mjpg}, {320, 180, mjpg}, {320, 240, mjpg}, {640, 360, mjpg},
                  {800, 600, mjpg}, {960, 720, mjpg}, {1280, 720, mjpg}, {1920, 1080, mjpg}});
    } else if (name == L"laptop") {
        AddTypes(types, {PixelFormat::MJPG, PixelFormat::NV12},
                 {{640, 480, THIRTY_AND_FIFTEEN}, {160, 120, THIRTY_AND_FIFTEEN},
                  {320, 180, THIRTY_AND_FIFTEEN}, {320, 240, THIRTY_AND_FIFTEEN},
                  {424, 240, THIRTY_AND_FIFTEEN}, {640, 360, THIRTY_AND_FIFTEEN},
                  {848, 480, THIRTY_AND_FIFTEEN}, {960, 540, THIRTY_AND_FIFTEEN},
                  {1280, 720, THIRTY_AND_FIFTEEN}});
    } else if (name == L"uhd") {
        for (PixelFormat subtype : {PixelFormat::MJPG, PixelFormat::NV12}) {
            AddTypes(types, {subtype},
                     {{640, 480, FULL_RANGE}, {1280, 720, FULL_RANGE}, {1920, 1080, FULL_RANGE},
                      {2560, 1440, FULL_RANGE}, {3840, 2160, FULL_RANGE}});
        }
        AddTypes(types, {PixelFormat::YUY2},
                 {{640, 480, FULL_RANGE}, {1280, 720, Rates(R10, R5)}, {1920, 1080, Rates(R5, R5)}});
    } else if (name == L"frameserver") {
        // The frame server decodes each of the camera's MJPG types and offers
        // the NV12 result first.
        AddTypes(types, {PixelFormat::NV12, PixelFormat::MJPG},
                 {{640, 480, THIRTY_AND_FIFTEEN}, {160, 120, THIRTY_AND_FIFTEEN},
                  {320, 180, THIRTY_AND_FIFTEEN}, {320, 240, THIRTY_AND_FIFTEEN},
                  {424, 240, THIRTY_AND_FIFTEEN}, {640, 360, THIRTY_AND_FIFTEEN},
                  {848, 480, THIRTY_AND_FIFTEEN}, {960, 540, THIRTY_AND_FIFTEEN},
                  {1280, 720, THIRTY_AND_FIFTEEN}, {1920, 1080, THIRTY_AND_FIFTEEN}});
    }
    return !types.empty();
}

using Clock = std::chrono::steady_clock;

const PatternCamera* PlainCamera(const std::wstring& link) {
    for (const PatternCamera& camera : PATTERN_CAMERAS) {
        if (link == camera.symbolicLink) return &camera;
    }
    return nullptr;
}

bool ParseNumber(const std::wstring& text, int base, int64_t limit, int64_t& value) {
    if (text.empty() || text.size() > 10) return false;
    value = 0;
    for (wchar_t c : text) {
        int digit = -1;
        if (c >= L'0' && c <= L'9') digit = c - L'0';
        else if (base == 16 && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
        else if (base == 16 && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
        if (digit < 0) return false;
        value = value * base + digit;
    }
    return value <= limit;
}

bool ParseInt(const std::wstring& text, int& value) {
    int64_t parsed = 0;
    if (!ParseNumber(text, 10, INT32_MAX, parsed)) return false;
    value = static_cast<int>(parsed);
    return true;
}

bool ParseSize(const std::wstring& text, int32_t& width, int32_t& height) {
    const size_t x = text.find(L'x');
    int w = 0, h = 0;
    if (x == std::wstring::npos || !ParseInt(text.substr(0, x), w) || !ParseInt(text.substr(x + 1), h)) {
        return false;
    }
    // Even sides: 4:2:0 and 4:2:2 pictures have whole chroma samples.
    if (w < 2 || h < 2 || w % 2 != 0 || h % 2 != 0) return false;
    width = w;
    height = h;
    return true;
}

bool ParseBehaviour(const std::wstring& query, TestCameraBehaviour& behaviour) {
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find(L'&', start);
        if (end == std::wstring::npos) end = query.size();
        const std::wstring pair = query.substr(start, end - start);
        const size_t equals = pair.find(L'=');
        if (equals == std::wstring::npos) return false;
        const std::wstring key = pair.substr(0, equals);
        const std::wstring value = pair.substr(equals + 1);
        int64_t code = 0;
        bool good = true;
        if (key == L"name") {
            good = !value.empty();
            behaviour.name = value;
        } else if (key == L"slow") {
            good = ParseInt(value, behaviour.slowStartMs);
        } else if (key == L"ramp") {
            good = ParseInt(value, behaviour.rampMs) && behaviour.rampMs > 0;
        } else if (key == L"busy") {
            const std::wstring digits = value.rfind(L"0x", 0) == 0 ? value.substr(2) : value;
            good = ParseNumber(digits, 16, UINT32_MAX, code) && code != 0;
            behaviour.busyError = static_cast<CameraError>(static_cast<uint32_t>(code));
        } else if (key == L"privacy") {
            good = value == L"open" || value == L"read";
            behaviour.privacy = value == L"open" ? TestCameraBehaviour::Privacy::BlockOpen
                                                 : TestCameraBehaviour::Privacy::BlockRead;
        } else if (key == L"for") {
            good = ParseInt(value, behaviour.conditionMs);
        } else if (key == L"unplug") {
            good = ParseInt(value, behaviour.unplugAfterFrames);
        } else if (key == L"replug") {
            good = ParseInt(value, behaviour.replugAfterMs);
        } else if (key == L"huge") {
            good = ParseSize(value, behaviour.hugeWidth, behaviour.hugeHeight);
        } else if (key == L"noformat") {
            good = value == L"1";
            behaviour.noFormat = good;
        } else if (key == L"quiet") {
            good = value == L"1";
            behaviour.quiet = good;
        } else if (key == L"modes") {
            std::vector<MediaFormat> types;
            good = ModeTypes(value, types);
            behaviour.modes = value;
        } else {
            good = false;
        }
        if (!good) return false;
        start = end + 1;
    }
    return true;
}

// What the process remembers of one pattern camera, as the system remembers a
// device: whether and until when it is unplugged, and since when another
// program or the privacy settings have held it.
struct CameraState {
    bool opened = false;
    Clock::time_point firstOpen;
    bool unpluggedOnce = false;
    Clock::time_point pluggedInAgain = Clock::time_point::max();
    int framesDelivered = 0;
};

struct PatternCameraRegistry {
    std::mutex lock;
    std::map<std::wstring, CameraState> states;
    std::vector<std::wstring> extraLinks;
    bool extrasFirst = false;
    void (*presenceListener)(bool arrived) = nullptr;
};

PatternCameraRegistry& Registry() {
    static PatternCameraRegistry registry;
    return registry;
}

// By the clock rather than by a thread that plugs it in again: whether the
// camera is back must not depend on when, or whether, a thread gets to run.
bool Present(const CameraState& state) { return !state.unpluggedOnce || Clock::now() >= state.pluggedInAgain; }

bool ConditionHolds(const TestCameraBehaviour& behaviour, const CameraState& state) {
    return behaviour.conditionMs < 0 ||
           Clock::now() < state.firstOpen + std::chrono::milliseconds(behaviour.conditionMs);
}

void TellPresence(bool arrived) {
    void (*listener)(bool) = nullptr;
    {
        std::lock_guard<std::mutex> hold(Registry().lock);
        listener = Registry().presenceListener;
    }
    if (listener) listener(arrived);
}

void AnnounceArrivalAt(Clock::time_point when) {
    try {
        std::thread([when] {
            std::this_thread::sleep_until(when);
            TellPresence(true);
        }).detach();
    } catch (const std::system_error&) {
        // No thread: the notice is lost, as Windows' can be; the camera is back all the same.
    }
}

// Darkens a sample in its own layout, as an underexposed picture: luma and
// the blue-green-red bytes scaled down, chroma pulled toward grey.
void Darken(PixelFormat format, const Canvas& canvas, double gain, std::vector<uint8_t>& bytes) {
    const auto scale = [gain](uint8_t value) { return static_cast<uint8_t>(value * gain); };
    const auto toGrey = [gain](uint8_t value) {
        return static_cast<uint8_t>(128 + static_cast<int>((value - 128) * gain));
    };
    switch (format) {
    case PixelFormat::NV12: {
        const size_t luma = static_cast<size_t>(canvas.pitch) * canvas.picture.height;
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = i < luma ? scale(bytes[i]) : toGrey(bytes[i]);
        break;
    }
    case PixelFormat::YUY2:
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = i % 2 == 0 ? scale(bytes[i]) : toGrey(bytes[i]);
        break;
    case PixelFormat::RGB24:
    case PixelFormat::MJPG:
    case PixelFormat::Unknown:
        for (uint8_t& value : bytes) value = scale(value);
        break;
    }
}

// The bytes of one flat grey picture of a huge camera, and its row pitch.
int64_t HugeSampleSize(PixelFormat format, int32_t width, int32_t height, int32_t& pitch) {
    switch (format) {
    case PixelFormat::NV12:
        pitch = width;
        return int64_t{width} * height * 3 / 2;
    case PixelFormat::YUY2:
        pitch = 2 * width;
        return int64_t{pitch} * height;
    default:
        pitch = 3 * width;
        return int64_t{pitch} * height;
    }
}

// The MJPG frames of one size, encoded when a stream of that size first starts.
using JpegCycle = std::vector<std::vector<uint8_t>>;
using JpegFunction = bool (*)(const CapturedFrame&, std::vector<uint8_t>&);

struct SharedCycle {
    JpegFunction encoder;
    int32_t width;
    int32_t height;
    std::shared_ptr<const JpegCycle> frames;
};

// Its own lock: a cycle at 3840 x 2160 takes seconds to encode, and the other
// cameras' reads must not wait for it.
struct SharedCycleCache {
    std::mutex lock;
    std::vector<SharedCycle> cycles;
};

SharedCycleCache& SharedCycles() {
    static SharedCycleCache cache;
    return cache;
}

class TestPatternReader final : public VideoReader {
public:
    // `modes`: the types of a camera with modes; empty for the plain camera,
    // whose one type is `subtype` at 1280 x 720 (or its huge size).
    TestPatternReader(PixelFormat subtype, JpegEncoder encoder, std::wstring link,
                      TestCameraBehaviour behaviour, CameraError streamError,
                      std::vector<MediaFormat> modes)
        : subtype_(subtype),
          encoder_(std::move(encoder)),
          link_(std::move(link)),
          behaviour_(std::move(behaviour)),
          failure_(streamError),
          types_(std::move(modes)),
          plain_(types_.empty()) {
        if (plain_) {
            types_.push_back(PlainFormat());
            Draw(subtype_, PATTERN_WIDTH, PATTERN_HEIGHT);
        }
    }

    // Takes the first type of that subtype: RGB24 only where one is listed (the
    // plain RGB24 camera), as Media Foundation without a video processor.
    bool SetPartialType(PixelFormat subtype) override {
        for (uint32_t index = 0; subtype != PixelFormat::Unknown && index < types_.size(); ++index) {
            if (types_[index].subtype == subtype) {
                Select(index);
                return true;
            }
        }
        return false;
    }

    bool GetNativeFormat(uint32_t index, MediaFormat& format) override {
        if (index >= types_.size()) {
            return false;
        }
        format = types_[index];
        return true;
    }

    bool UseNativeFormat(uint32_t index) override {
        if (index >= types_.size()) {
            return false;
        }
        Select(index);
        return true;
    }

    bool GetCurrentFormat(MediaFormat& format) override {
        format = types_[current_];
        return true;
    }

    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample,
                           CameraError& error) override {
        if (failure_ == CAMERA_ERROR_NONE && Unplugged()) failure_ = CAMERA_ERROR_INVALIDATED;
        // A stream that failed stays failed, as a real one does: only a new
        // open can bring the camera back.
        if (failure_ != CAMERA_ERROR_NONE) {
            error = failure_;
            return ReadOutcome::Failed;
        }
        const MediaFormat type = types_[current_];
        if (!plain_ && !started_) StartStream(type);
        WaitForNextFrame();
        if (Unplugged()) {  // pulled out while we waited
            error = failure_ = CAMERA_ERROR_INVALIDATED;
            return ReadOutcome::Failed;
        }
        const uint32_t counter = counter_++;
        const double exposure = Exposure();  // one reading for the whole frame
        SampleView sample;
        if (behaviour_.hugeWidth > 0) {
            int32_t pitch = 0;
            const int64_t size = HugeSampleSize(subtype_, behaviour_.hugeWidth, behaviour_.hugeHeight, pitch);
            if (size > INT32_MAX) return ReadOutcome::NoSample;
            // Made at the first read, as a driver allocates its buffers when
            // the stream starts; may throw in a crowded 32-bit process.
            if (huge_.empty()) huge_.assign(static_cast<size_t>(size), 128);
            sample = SampleView{huge_.data(), static_cast<int32_t>(size), pitch};
        } else if (frame_.format == PixelFormat::MJPG) {
            const std::vector<uint8_t>* jpeg = &jpeg_;
            if (!plain_ && exposure >= 1.0) {
                if (!cycle_) return ReadOutcome::NoSample;
                jpeg = &(*cycle_)[counter % TEST_PATTERN_MJPG_CYCLE];
            } else {
                Render(plain_ ? counter : counter % TEST_PATTERN_MJPG_CYCLE);
                const CapturedFrame* picture = &frame_.picture;
                if (exposure < 1.0) {
                    dark_ = frame_.picture;
                    Darken(PixelFormat::MJPG, frame_, exposure, dark_.pixels);
                    picture = &dark_;
                }
                if (!encoder_ || !encoder_(*picture, jpeg_)) return ReadOutcome::NoSample;
            }
            if (jpeg->empty() || jpeg->size() > static_cast<size_t>(INT32_MAX)) {
                return ReadOutcome::NoSample;
            }
            sample.data = jpeg->data();
            sample.length = static_cast<int32_t>(jpeg->size());
        } else {
            Render(counter);
            const std::vector<uint8_t>* bytes = &frame_.picture.pixels;
            if (exposure < 1.0) {
                dark_.pixels = frame_.picture.pixels;
                Darken(frame_.format, frame_, exposure, dark_.pixels);
                bytes = &dark_.pixels;
            }
            sample.data = bytes->data();
            sample.length = static_cast<int32_t>(bytes->size());
            sample.stride = frame_.pitch;
        }
        onSample(sample);
        CountDeliveredFrame();
        return ReadOutcome::Sample;
    }

private:
    MediaFormat PlainFormat() const {
        MediaFormat format;
        format.subtype = behaviour_.noFormat ? PixelFormat::Unknown : subtype_;
        format.width = PATTERN_WIDTH;
        format.height = PATTERN_HEIGHT;
        format.defaultStride = subtype_ == PixelFormat::MJPG ? 0 : Pitch(subtype_, PATTERN_WIDTH);
        if (behaviour_.hugeWidth > 0) {
            format.width = behaviour_.hugeWidth;
            format.height = behaviour_.hugeHeight;
            HugeSampleSize(subtype_, format.width, format.height, format.defaultStride);
        }
        return format;
    }

    // Another type restarts the stream, as Media Foundation's reader does:
    // the device starts again (slowly, if it does) and paces from there.
    void Select(uint32_t index) {
        if (index == current_) return;
        current_ = index;
        started_ = false;
    }

    // Draws the unchanging parts of the picture, once per size and subtype.
    void Draw(PixelFormat subtype, int32_t width, int32_t height) {
        if (frame_.Is(subtype, width, height)) return;
        const Geometry geometry(width, height);
        // Both at once, so a failed allocation leaves the old pair whole.
        Canvas background(subtype, width, height), frame(subtype, width, height);
        for (int bar = 0; bar < TEST_PATTERN_BAR_COUNT; ++bar) {
            background.Fill(geometry.barEdges[bar], 0, geometry.barEdges[bar + 1] - geometry.barEdges[bar],
                            geometry.bandTop, BAR_COLOURS[bar]);
        }
        background.Fill(0, geometry.bandTop, width, geometry.counterTop - geometry.bandTop, BAND_GREY);
        background.Fill(0, geometry.counterTop, width, height - geometry.counterTop, BLACK);
        frame.CopyRows(background, 0, height);
        background_ = std::move(background);
        frame_ = std::move(frame);
        geometry_ = geometry;
    }

    // At the first read of a stream: the picture at the stream's size and, for
    // MJPG, the cycle of frames encoded ahead (none when the encoder failed or
    // there is none). A plain function as the encoder (the development builds')
    // shares its cycles with every camera in the process, so that reopening a
    // camera does not encode them again.
    void StartStream(const MediaFormat& type) {
        Draw(type.subtype, type.width, type.height);
        cycle_.reset();
        if (type.subtype != PixelFormat::MJPG || !encoder_) return;
        const auto* function = encoder_.target<JpegFunction>();
        if (!function) {
            std::shared_ptr<const JpegCycle>& mine = cycles_[{type.width, type.height}];
            if (!mine) mine = EncodeCycle();
            cycle_ = mine;
            return;
        }
        std::lock_guard<std::mutex> hold(SharedCycles().lock);
        std::vector<SharedCycle>& shared = SharedCycles().cycles;
        for (const SharedCycle& known : shared) {
            if (known.encoder == *function && known.width == type.width && known.height == type.height) {
                cycle_ = known.frames;
                return;
            }
        }
        cycle_ = EncodeCycle();
        // A failure may pass (memory, a busy encoder): the next stream tries again.
        if (cycle_) shared.push_back({*function, type.width, type.height, cycle_});
    }

    std::shared_ptr<const JpegCycle> EncodeCycle() {
        auto cycle = std::make_shared<JpegCycle>(TEST_PATTERN_MJPG_CYCLE);
        for (uint32_t counter = 0; counter < TEST_PATTERN_MJPG_CYCLE; ++counter) {
            Render(counter);
            std::vector<uint8_t>& jpeg = (*cycle)[counter];
            if (!encoder_(frame_.picture, jpeg) || jpeg.empty() ||
                jpeg.size() > static_cast<size_t>(INT32_MAX)) {
                return nullptr;
            }
        }
        return cycle;
    }

    std::chrono::microseconds FrameInterval() const {
        const MediaFormat& type = types_[current_];
        if (plain_ || type.rateNumerator == 0) {
            return std::chrono::microseconds(TEST_PATTERN_FRAME_INTERVAL_US);
        }
        return std::chrono::microseconds(int64_t{1000000} * type.rateDenominator / type.rateNumerator);
    }

    bool Unplugged() {
        if (behaviour_.unplugAfterFrames < 0) return false;
        std::lock_guard<std::mutex> hold(Registry().lock);
        return !Present(Registry().states[link_]);
    }

    void CountDeliveredFrame() {
        if (behaviour_.unplugAfterFrames < 0) return;
        Clock::time_point back;
        {
            std::lock_guard<std::mutex> hold(Registry().lock);
            CameraState& state = Registry().states[link_];
            if (state.unpluggedOnce || ++state.framesDelivered < behaviour_.unplugAfterFrames) return;
            state.unpluggedOnce = true;
            if (behaviour_.replugAfterMs >= 0)
                state.pluggedInAgain = Clock::now() + std::chrono::milliseconds(behaviour_.replugAfterMs);
            back = state.pluggedInAgain;
        }
        if (behaviour_.quiet) return;
        TellPresence(false);
        if (behaviour_.replugAfterMs >= 0) AnnounceArrivalAt(back);
    }

    // 1 once auto-exposure has settled; from 0.1 up to 1 over the ramp that
    // follows the stream's first frame.
    double Exposure() const {
        if (behaviour_.rampMs <= 0) return 1.0;
        const double elapsed =
            std::chrono::duration<double, std::milli>(Clock::now() - firstFrame_).count();
        return elapsed >= behaviour_.rampMs ? 1.0 : 0.1 + 0.9 * elapsed / behaviour_.rampMs;
    }

    void WaitForNextFrame() {
        const auto interval = FrameInterval();
        auto now = Clock::now();
        if (!started_) {
            started_ = true;
            // A webcam's first read blocks while the device starts.
            if (behaviour_.slowStartMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(behaviour_.slowStartMs));
                now = Clock::now();
            }
            firstFrame_ = now;
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
        const Geometry& g = geometry_;
        frame_.CopyRows(background_, g.bandTop, g.height);
        frame_.Fill(g.SquareLeft(counter), g.squareTop, g.squareSize, g.squareSize, WHITE);
        for (int bit = 0; bit < COUNTER_BITS; ++bit) {
            if ((counter >> (COUNTER_BITS - 1 - bit)) & 1u) {
                frame_.Fill(g.counterEdges[bit], g.counterTop, g.counterEdges[bit + 1] - g.counterEdges[bit],
                            g.height - g.counterTop, WHITE);
            }
        }
    }

    PixelFormat subtype_;
    JpegEncoder encoder_;
    std::wstring link_;
    TestCameraBehaviour behaviour_;
    CameraError failure_;
    std::vector<MediaFormat> types_;
    bool plain_;
    uint32_t current_ = 0;
    Geometry geometry_{0, 0};
    Canvas background_;
    Canvas frame_;
    CapturedFrame dark_;
    std::vector<uint8_t> huge_;
    std::vector<uint8_t> jpeg_;
    std::map<std::pair<int32_t, int32_t>, std::shared_ptr<const JpegCycle>> cycles_;
    std::shared_ptr<const JpegCycle> cycle_;
    uint32_t counter_ = 0;
    bool started_ = false;
    Clock::time_point due_;
    Clock::time_point firstFrame_;
};

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

bool ParseTestPatternLink(const std::wstring& symbolicLink, PixelFormat& subtype,
                          TestCameraBehaviour& behaviour) {
    const size_t query = symbolicLink.find(L'?');
    const PatternCamera* camera = PlainCamera(symbolicLink.substr(0, query));
    if (!camera) return false;
    TestCameraBehaviour parsed;
    if (query != std::wstring::npos && !ParseBehaviour(symbolicLink.substr(query + 1), parsed)) {
        return false;
    }
    // A huge picture is made in the camera's raw layout; no JPEG of it. Modes
    // replace the one type that huge and noformat change.
    if (parsed.hugeWidth > 0 && camera->subtype == PixelFormat::MJPG) return false;
    if (!parsed.modes.empty() && (parsed.hugeWidth > 0 || parsed.noFormat)) return false;
    subtype = camera->subtype;
    behaviour = std::move(parsed);
    return true;
}

std::vector<CameraDevice> TestPatternCameras() {
    std::vector<CameraDevice> cameras;
    for (const PatternCamera& camera : PATTERN_CAMERAS) {
        cameras.push_back({camera.friendlyName, camera.symbolicLink});
    }
    std::vector<CameraDevice> extras;
    bool first = false;
    {
        std::lock_guard<std::mutex> hold(Registry().lock);
        first = Registry().extrasFirst;
        for (const std::wstring& link : Registry().extraLinks) {
            const auto state = Registry().states.find(link);
            if (state != Registry().states.end() && !Present(state->second)) continue;
            const size_t query = link.find(L'?');
            const PatternCamera* plain = PlainCamera(link.substr(0, query));
            std::wstring name = plain->friendlyName;
            TestCameraBehaviour behaviour;
            PixelFormat subtype = PixelFormat::Unknown;
            ParseTestPatternLink(link, subtype, behaviour);
            const std::wstring told = behaviour.name.empty() ? link.substr(query + 1) : behaviour.name;
            if (behaviour.modes.empty()) {
                name.insert(name.size() - 1, L", " + told);
            } else {
                name.replace(name.rfind(L'(') + 1, std::wstring::npos, told + L")");
            }
            extras.push_back({name, link});
        }
    }
    cameras.insert(first ? cameras.begin() : cameras.end(), extras.begin(), extras.end());
    return cameras;
}

bool IsTestPatternLink(const std::wstring& symbolicLink) {
    PixelFormat subtype = PixelFormat::Unknown;
    TestCameraBehaviour behaviour;
    return ParseTestPatternLink(symbolicLink, subtype, behaviour);
}

void SetExtraTestPatternCameras(const std::vector<std::wstring>& symbolicLinks, bool listFirst) {
    std::vector<std::wstring> kept;
    for (const std::wstring& link : symbolicLinks) {
        if (link.find(L'?') != std::wstring::npos && IsTestPatternLink(link)) kept.push_back(link);
    }
    std::lock_guard<std::mutex> hold(Registry().lock);
    Registry().extraLinks = std::move(kept);
    Registry().extrasFirst = listFirst;
}

void SetTestPatternPresenceListener(void (*listener)(bool arrived)) {
    std::lock_guard<std::mutex> hold(Registry().lock);
    Registry().presenceListener = listener;
}

std::unique_ptr<VideoReader> OpenTestPatternReader(const std::wstring& symbolicLink,
                                                   JpegEncoder encoder, CameraError& error) {
    PixelFormat subtype = PixelFormat::Unknown;
    TestCameraBehaviour behaviour;
    if (!ParseTestPatternLink(symbolicLink, subtype, behaviour)) return nullptr;
    std::vector<MediaFormat> modes;
    if (!behaviour.modes.empty() && !ModeTypes(behaviour.modes, modes)) return nullptr;
    if (subtype == PixelFormat::MJPG && !encoder && modes.empty()) return nullptr;

    CameraError streamError = CAMERA_ERROR_NONE;
    {
        std::lock_guard<std::mutex> hold(Registry().lock);
        CameraState& state = Registry().states[symbolicLink];
        if (!Present(state)) {
            error = CAMERA_ERROR_INVALIDATED;
            return nullptr;
        }
        if (!state.opened) {
            state.opened = true;
            state.firstOpen = Clock::now();
        }
        const bool held = ConditionHolds(behaviour, state);
        if (held && behaviour.privacy == TestCameraBehaviour::Privacy::BlockOpen) {
            error = CAMERA_ERROR_ACCESS_DENIED;
            return nullptr;
        }
        if (held && behaviour.privacy == TestCameraBehaviour::Privacy::BlockRead) {
            streamError = CAMERA_ERROR_ACCESS_DENIED;
        } else if (held && behaviour.busyError != CAMERA_ERROR_NONE) {
            streamError = behaviour.busyError;
        }
    }
    return std::make_unique<TestPatternReader>(subtype, std::move(encoder), symbolicLink,
                                               std::move(behaviour), streamError, std::move(modes));
}

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
