#include "camera/test_pattern_link.h"

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "camera/test_pattern_picture.h"

using namespace test_pattern_picture;

namespace test_pattern_link {

namespace {

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
// A laptop camera's sizes, each at 30 and 15 frames a second, in its order.
std::vector<ModeSize> LaptopSizes() {
    return {{640, 480, THIRTY_AND_FIFTEEN}, {160, 120, THIRTY_AND_FIFTEEN}, {320, 180, THIRTY_AND_FIFTEEN},
            {320, 240, THIRTY_AND_FIFTEEN}, {424, 240, THIRTY_AND_FIFTEEN}, {640, 360, THIRTY_AND_FIFTEEN},
            {848, 480, THIRTY_AND_FIFTEEN}, {960, 540, THIRTY_AND_FIFTEEN}, {1280, 720, THIRTY_AND_FIFTEEN}};
}

void AddTypes(std::vector<MediaFormat>& types, std::initializer_list<PixelFormat> together,
              const std::vector<ModeSize>& sizes) {
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
        } else if (key == L"dimfps") {
            good = ParseInt(value, behaviour.dimFps) && behaviour.dimFps > 0 && behaviour.dimFps <= 1000;
        } else if (key == L"queue") {
            good = ParseInt(value, behaviour.queueFrames) && behaviour.queueFrames > 0 &&
                   behaviour.queueFrames <= 1000;
        } else if (key == L"busy" || key == L"typefail") {
            const std::wstring digits = value.rfind(L"0x", 0) == 0 ? value.substr(2) : value;
            good = ParseNumber(digits, 16, UINT32_MAX, code) && code != 0;
            (key == L"busy" ? behaviour.busyError : behaviour.typeError) =
                static_cast<CameraError>(static_cast<uint32_t>(code));
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
        } else if (key == L"stall") {
            good = ParseInt(value, behaviour.stallAfterFrames);
        } else if (key == L"wait") {
            good = ParseInt(value, behaviour.waitMs);
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

}  // namespace

const std::vector<PatternCamera>& PlainCameras() {
    static const std::vector<PatternCamera> cameras = {
        {L"Snapward Test Pattern (NV12)", L"snapward-testpattern:nv12", PixelFormat::NV12},
        {L"Snapward Test Pattern (YUY2)", L"snapward-testpattern:yuy2", PixelFormat::YUY2},
        {L"Snapward Test Pattern (MJPG)", L"snapward-testpattern:mjpg", PixelFormat::MJPG},
        {L"Snapward Test Pattern (RGB24)", L"snapward-testpattern:rgb24", PixelFormat::RGB24},
    };
    return cameras;
}

const PatternCamera* PlainCamera(const std::wstring& link) {
    for (const PatternCamera& camera : PlainCameras()) {
        if (link == camera.symbolicLink) return &camera;
    }
    return nullptr;
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
        AddTypes(types, {PixelFormat::MJPG, PixelFormat::NV12}, LaptopSizes());
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
        // the NV12 result first; its camera goes up to 1920 x 1080.
        std::vector<ModeSize> sizes = LaptopSizes();
        sizes.push_back({1920, 1080, THIRTY_AND_FIFTEEN});
        AddTypes(types, {PixelFormat::NV12, PixelFormat::MJPG}, sizes);
    }
    return !types.empty();
}

}  // namespace test_pattern_link

using namespace test_pattern_link;

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

bool IsTestPatternLink(const std::wstring& symbolicLink) {
    PixelFormat subtype = PixelFormat::Unknown;
    TestCameraBehaviour behaviour;
    return ParseTestPatternLink(symbolicLink, subtype, behaviour);
}
