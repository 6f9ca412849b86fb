#include "camera/test_pattern.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
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
void Darken(PixelFormat format, int32_t pitch, double gain, std::vector<uint8_t>& bytes) {
    const auto scale = [gain](uint8_t value) { return static_cast<uint8_t>(value * gain); };
    const auto toGrey = [gain](uint8_t value) {
        return static_cast<uint8_t>(128 + static_cast<int>((value - 128) * gain));
    };
    switch (format) {
    case PixelFormat::NV12: {
        const size_t luma = static_cast<size_t>(pitch) * PATTERN_HEIGHT;
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

class TestPatternReader final : public VideoReader {
public:
    TestPatternReader(PixelFormat subtype, JpegEncoder encoder, std::wstring link,
                      TestCameraBehaviour behaviour, CameraError streamError)
        : subtype_(subtype),
          encoder_(std::move(encoder)),
          link_(std::move(link)),
          behaviour_(std::move(behaviour)),
          failure_(streamError),
          background_(subtype),
          frame_(subtype) {
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
    bool SetPartialType(PixelFormat subtype) override {
        return subtype == subtype_ && !behaviour_.noFormat;
    }

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

    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample,
                           CameraError& error) override {
        if (failure_ == CAMERA_ERROR_NONE && Unplugged()) failure_ = CAMERA_ERROR_INVALIDATED;
        // A stream that failed stays failed, as a real one does: only a new
        // open can bring the camera back.
        if (failure_ != CAMERA_ERROR_NONE) {
            error = failure_;
            return ReadOutcome::Failed;
        }
        WaitForNextFrame();
        if (Unplugged()) {  // pulled out while we waited
            error = failure_ = CAMERA_ERROR_INVALIDATED;
            return ReadOutcome::Failed;
        }
        Render(counter_++);
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
        } else if (subtype_ == PixelFormat::MJPG) {
            const CapturedFrame* picture = &frame_.picture;
            if (exposure < 1.0) {
                dark_ = frame_.picture;
                Darken(PixelFormat::MJPG, frame_.pitch, exposure, dark_.pixels);
                picture = &dark_;
            }
            if (!encoder_ || !encoder_(*picture, jpeg_) || jpeg_.empty() ||
                jpeg_.size() > static_cast<size_t>(INT32_MAX)) {
                return ReadOutcome::NoSample;
            }
            sample.data = jpeg_.data();
            sample.length = static_cast<int32_t>(jpeg_.size());
        } else {
            const std::vector<uint8_t>* bytes = &frame_.picture.pixels;
            if (exposure < 1.0) {
                dark_.pixels = frame_.picture.pixels;
                Darken(subtype_, frame_.pitch, exposure, dark_.pixels);
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
    MediaFormat Format() const {
        MediaFormat format;
        format.subtype = behaviour_.noFormat ? PixelFormat::Unknown : subtype_;
        format.width = PATTERN_WIDTH;
        format.height = PATTERN_HEIGHT;
        format.defaultStride = subtype_ == PixelFormat::MJPG ? 0 : frame_.pitch;
        if (behaviour_.hugeWidth > 0) {
            format.width = behaviour_.hugeWidth;
            format.height = behaviour_.hugeHeight;
            HugeSampleSize(subtype_, format.width, format.height, format.defaultStride);
        }
        return format;
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
        const auto interval = std::chrono::microseconds(TEST_PATTERN_FRAME_INTERVAL_US);
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
    std::wstring link_;
    TestCameraBehaviour behaviour_;
    CameraError failure_;
    Canvas background_;
    Canvas frame_;
    CapturedFrame dark_;
    std::vector<uint8_t> huge_;
    std::vector<uint8_t> jpeg_;
    uint32_t counter_ = 0;
    bool started_ = false;
    Clock::time_point due_;
    Clock::time_point firstFrame_;
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

bool ParseTestPatternLink(const std::wstring& symbolicLink, PixelFormat& subtype,
                          TestCameraBehaviour& behaviour) {
    const size_t query = symbolicLink.find(L'?');
    const PatternCamera* camera = PlainCamera(symbolicLink.substr(0, query));
    if (!camera) return false;
    TestCameraBehaviour parsed;
    if (query != std::wstring::npos && !ParseBehaviour(symbolicLink.substr(query + 1), parsed)) {
        return false;
    }
    // A huge picture is made in the camera's raw layout; no JPEG of it.
    if (parsed.hugeWidth > 0 && camera->subtype == PixelFormat::MJPG) return false;
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
            name.insert(name.size() - 1, L", " + (behaviour.name.empty() ? link.substr(query + 1) : behaviour.name));
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
    if (subtype == PixelFormat::MJPG && !encoder) return nullptr;

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
                                               std::move(behaviour), streamError);
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
