#include "camera/test_pattern.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "camera/read_cancel.h"
#include "camera/test_pattern_link.h"
#include "camera/test_pattern_picture.h"

using namespace test_pattern_link;
using namespace test_pattern_picture;

namespace {

using Clock = std::chrono::steady_clock;
using Stamp = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;


// What the process remembers of one pattern camera, as the system remembers a
// device: whether and until when it is unplugged, and since when another
// program or the privacy settings have held it.
struct CameraState {
    bool opened = false;
    Clock::time_point firstOpen;
    bool unpluggedOnce = false;
    Clock::time_point pluggedInAgain = Clock::time_point::max();
    int framesDelivered = 0;
    int unplugs = 0;  // a reader opened before the latest is stale for good
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

// Pulls the camera out now; when it comes back, if ever. Under the registry's lock.
Clock::time_point MarkUnplugged(CameraState& state, const TestCameraBehaviour& behaviour) {
    state.unpluggedOnce = true;
    ++state.unplugs;
    if (behaviour.replugAfterMs >= 0) {
        state.pluggedInAgain = Clock::now() + std::chrono::milliseconds(behaviour.replugAfterMs);
    }
    return state.pluggedInAgain;
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

// What Windows tells of an unplug, and of the camera coming back at `back`.
void AnnounceUnplug(const TestCameraBehaviour& behaviour, Clock::time_point back) {
    if (behaviour.quiet) return;
    TellPresence(false);
    if (behaviour.replugAfterMs >= 0) AnnounceArrivalAt(back);
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
                      std::vector<MediaFormat> modes, int unplugsAtOpen)
        : subtype_(subtype),
          encoder_(std::move(encoder)),
          link_(std::move(link)),
          behaviour_(std::move(behaviour)),
          failure_(streamError),
          types_(std::move(modes)),
          plain_(types_.empty()),
          unplugsAtOpen_(unplugsAtOpen) {
        if (plain_) {
            types_.push_back(PlainFormat());
            Draw(subtype_, PATTERN_WIDTH, PATTERN_HEIGHT);
        }
    }

    // Takes the first type of that subtype: RGB24 only where one is listed (the
    // plain RGB24 camera), as Media Foundation without a video processor.
    FormatResult SetPartialType(PixelFormat subtype) override {
        if (const FormatResult failed = TypeFailure(); !failed) return failed;
        for (uint32_t index = 0; subtype != PixelFormat::Unknown && index < types_.size(); ++index) {
            if (types_[index].subtype == subtype) {
                Select(index);
                return {};
            }
        }
        return FormatResult{CAMERA_ERROR_TYPE_REFUSED};
    }

    FormatResult GetNativeFormat(uint32_t index, MediaFormat& format) override {
        if (index >= types_.size()) return FormatResult{CAMERA_ERROR_NO_MORE_TYPES};
        format = types_[index];
        return {};
    }

    FormatResult UseNativeFormat(uint32_t index) override {
        if (const FormatResult failed = TypeFailure(); !failed) return failed;
        if (index >= types_.size()) return FormatResult{CAMERA_ERROR_NO_MORE_TYPES};
        Select(index);
        return {};
    }

    FormatResult GetCurrentFormat(MediaFormat& format) override {
        format = types_[current_];
        return {};
    }

    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample,
                           CameraError& error) override {
        if (!Pause(Clock::now())) return Cancelled(error);
        if (failure_ == CAMERA_ERROR_NONE && Unplugged()) failure_ = CAMERA_ERROR_INVALIDATED;
        // A stream that failed stays failed, as a real one does: only a new
        // open can bring the camera back.
        if (failure_ != CAMERA_ERROR_NONE) {
            error = failure_;
            return ReadOutcome::Failed;
        }
        if (Stalled()) {
            const ReadWaits waits;
            const std::chrono::milliseconds wait = behaviour_.waitMs >= 0 ? std::chrono::milliseconds(behaviour_.waitMs)
                                                   : answered_                ? waits.later
                                                                              : waits.first;
            if (!Pause(Clock::now() + wait)) return Cancelled(error);
            answered_ = true;  // the first wait of the stream is over, as a real reader's
            error = CAMERA_ERROR_NO_FRAMES;
            return ReadOutcome::Failed;
        }
        const MediaFormat type = types_[current_];
        if (!plain_ && !started_) StartStream(type);
        const std::optional<Clock::time_point> next = NextFrameTime();
        if (!next) return Cancelled(error);
        const Clock::time_point taken = *next;
        answered_ = true;
        if (Unplugged()) {  // pulled out while we waited
            error = failure_ = CAMERA_ERROR_INVALIDATED;
            return ReadOutcome::Failed;
        }
        const uint32_t counter = behaviour_.queueFrames > 0 ? TestPatternClockTicks(taken) : counter_++;
        const double exposure = Exposure(taken);  // one reading for the whole frame
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
        sample.timestamp = std::chrono::duration_cast<Stamp>(taken - firstFrame_).count();
        sample.timed = true;
        onSample(sample);
        CountDeliveredFrame();
        return ReadOutcome::Sample;
    }

    void CancelRead() override { cancel_.Cancel(); }
    void ResumeReads() override { cancel_.Resume(); }

private:
    // Waits until `until`, as the device makes a read wait; false, at once,
    // when reads are cancelled.
    bool Pause(Clock::time_point until) { return cancel_.Pause(until); }

    static ReadOutcome Cancelled(CameraError& error) {
        error = CAMERA_ERROR_CANCELLED;
        return ReadOutcome::Failed;
    }

    bool Stalled() {
        if (behaviour_.stallAfterFrames < 0) return false;
        std::lock_guard<std::mutex> hold(Registry().lock);
        return Registry().states[link_].framesDelivered >= behaviour_.stallAfterFrames;
    }

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

    // typefail: the device's own failure while the condition holds.
    FormatResult TypeFailure() const {
        if (behaviour_.typeError == CAMERA_ERROR_NONE) return {};
        std::lock_guard<std::mutex> hold(Registry().lock);
        const bool held = ConditionHolds(behaviour_, Registry().states[link_]);
        return FormatResult{held ? behaviour_.typeError : CAMERA_ERROR_NONE};
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

    // While a dim camera ramps its exposure it runs at its dim rate.
    std::chrono::microseconds FrameInterval(Clock::time_point at) const {
        if (behaviour_.dimFps > 0 && started_ && Exposure(at) < 1.0) {
            return std::chrono::microseconds(1000000 / behaviour_.dimFps);
        }
        const MediaFormat& type = types_[current_];
        if (plain_ || type.rateNumerator == 0) {
            return std::chrono::microseconds(TEST_PATTERN_FRAME_INTERVAL_US);
        }
        return std::chrono::microseconds(int64_t{1000000} * type.rateDenominator / type.rateNumerator);
    }

    bool Unplugged() {
        if (behaviour_.unplugAfterFrames < 0) return false;
        std::lock_guard<std::mutex> hold(Registry().lock);
        const CameraState& state = Registry().states[link_];
        // A reader opened before the camera was pulled out stays dead once
        // it is back, as a real one does: only a new open sees it again.
        return !Present(state) || state.unplugs != unplugsAtOpen_;
    }

    void CountDeliveredFrame() {
        if (behaviour_.unplugAfterFrames < 0 && behaviour_.stallAfterFrames < 0) return;
        Clock::time_point back;
        {
            std::lock_guard<std::mutex> hold(Registry().lock);
            CameraState& state = Registry().states[link_];
            ++state.framesDelivered;
            if (behaviour_.unplugAfterFrames < 0 || state.unpluggedOnce ||
                state.framesDelivered < behaviour_.unplugAfterFrames) {
                return;
            }
            back = MarkUnplugged(state, behaviour_);
        }
        AnnounceUnplug(behaviour_, back);
    }

    // 1 once auto-exposure has settled; from 0.1 up to 1 over the ramp that
    // follows the stream's first frame.
    double Exposure(Clock::time_point at) const {
        if (behaviour_.rampMs <= 0) return 1.0;
        const double elapsed = std::chrono::duration<double, std::milli>(at - firstFrame_).count();
        return elapsed >= behaviour_.rampMs ? 1.0 : 0.1 + 0.9 * std::max(elapsed, 0.0) / behaviour_.rampMs;
    }

    // When the frame this read delivers was taken: blocks until the next one
    // is due, or serves one the camera kept while nobody read. Nothing when
    // the read is cancelled while it waits.
    std::optional<Clock::time_point> NextFrameTime() {
        auto now = Clock::now();
        if (!started_) {
            // A webcam's first read blocks while the device starts.
            if (behaviour_.slowStartMs > 0) {
                if (!Pause(now + std::chrono::milliseconds(behaviour_.slowStartMs))) return std::nullopt;
                now = Clock::now();
            }
            started_ = true;
            firstFrame_ = now;
            due_ = now;
            kept_.clear();
        }
        if (behaviour_.queueFrames > 0) {
            // Taken while nobody read; the queue keeps the newest.
            while (due_ <= now) {
                kept_.push_back(due_);
                if (kept_.size() > static_cast<size_t>(behaviour_.queueFrames)) kept_.pop_front();
                due_ += FrameInterval(due_);
            }
        } else if (now > due_) {
            // Without a queue a reader that fell behind gets the frame taken
            // now rather than a burst of frames that were due while nobody read.
            due_ = now;
        }
        if (!kept_.empty()) {
            const Clock::time_point taken = kept_.front();
            kept_.pop_front();
            return taken;
        }
        if (now < due_ && !Pause(due_)) return std::nullopt;
        // Taken when due, or when the sleep ended if that was later; never
        // before the frame can be seen (a sleep may end a little early).
        const Clock::time_point taken = std::max(due_, Clock::now());
        due_ += FrameInterval(due_);
        return taken;
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
    int unplugsAtOpen_;
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
    std::deque<Clock::time_point> kept_;  // taken while nobody read, oldest first
    bool answered_ = false;  // a read of this stream has had a frame, or waited its first wait out
    ReadCancel cancel_;
};


}  // namespace

uint32_t TestPatternClockTicks(std::chrono::steady_clock::time_point at) {
    const auto ticks = std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count() /
                       TEST_PATTERN_FRAME_INTERVAL_US;
    return static_cast<uint32_t>(ticks);
}

std::vector<CameraDevice> TestPatternCameras() {
    std::vector<CameraDevice> cameras;
    for (const PatternCamera& camera : PlainCameras()) {
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
    int unplugsAtOpen = 0;
    bool pulledOut = false;
    Clock::time_point back;
    {
        std::lock_guard<std::mutex> hold(Registry().lock);
        CameraState& state = Registry().states[symbolicLink];
        if (!Present(state)) {
            error = CAMERA_ERROR_INVALIDATED;
            return nullptr;
        }
        unplugsAtOpen = state.unplugs;
        if (!state.opened) {
            state.opened = true;
            state.firstOpen = Clock::now();
            // unplug=0: pulled out the moment it first opens, its reader stale.
            if (behaviour.unplugAfterFrames == 0) {
                back = MarkUnplugged(state, behaviour);
                pulledOut = true;
            }
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
    if (pulledOut) AnnounceUnplug(behaviour, back);
    return std::make_unique<TestPatternReader>(subtype, std::move(encoder), symbolicLink, std::move(behaviour),
                                               streamError, std::move(modes), unplugsAtOpen);
}
