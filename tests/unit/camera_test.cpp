#include "camera/camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cwchar>
#include <deque>
#include <map>
#include <new>
#include <cstdio>
#include <thread>

#include "camera/camera_trouble.h"
#include "camera/test_pattern.h"

namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& condition) {
    for (const auto deadline = std::chrono::steady_clock::now() + 3s; !condition(); std::this_thread::sleep_for(2ms))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

struct FakeRead {
    ReadOutcome outcome = ReadOutcome::Sample;
    std::vector<uint8_t> bytes;
    int32_t stride = 0;
    CameraError error = CAMERA_ERROR_NONE;  // OUT_OF_MEMORY: the read throws as an allocation that failed
    bool stall = false;  // the device sends nothing: the read waits for a cancel, or fails after stallWait
};
FakeRead Frame(uint8_t value) { return {ReadOutcome::Sample, std::vector<uint8_t>(24, value)}; }  // 4 x 2 RGB24
FakeRead Outcome(ReadOutcome outcome, CameraError error = CAMERA_ERROR_NONE) { return {outcome, {}, 0, error}; }
const FakeRead OUT_OF_MEMORY{ReadOutcome::Sample, {}, 0, CAMERA_ERROR_OUT_OF_MEMORY};
const FakeRead STALL{ReadOutcome::Failed, {}, 0, CAMERA_ERROR_NONE, true};

// A scripted 4 x 2 RGB24 device, shared with the reader the camera owns so that the test sees it after the release.
struct FakeDevice {
    bool acceptPartialRgb24 = true, currentFormatFails = false;
    MediaFormat partialResult{PixelFormat::RGB24, 4, 2, 12};
    std::vector<MediaFormat> natives;  // refused: listed, but the device does not take them
    std::vector<uint32_t> refusedNatives;
    std::map<std::string, CameraError> failing;  // a negotiation call, named as in `calls`, that fails with the code
    std::string calls;  // negotiation calls in order: Partial, Native n, Use n, Current
    std::deque<FakeRead> script;  // read first, then `endless` for ever
    FakeRead endless = Frame(7);
    std::thread::id failingThread;  // this thread's reads all give `failingRead`
    FakeRead failingRead;
    std::chrono::milliseconds readDelay{0};
    int64_t stampStep = -1;  // each sample stamped with its read's number times this; negative: no stamps
    std::atomic<int> reads{0}, readersAlive{0}, readsInProgress{0};
    std::atomic<bool> overlappingReads{false}, releasedDuringRead{false};
    std::mutex lock;  // guards the script and each reader's `cancelled` while the camera reads
    std::condition_variable wake;
    std::chrono::milliseconds stallWait{5000};
    std::atomic<int> cancelledReads{0}, timedOutReads{0};
};

struct FakeReader final : VideoReader {
    explicit FakeReader(std::shared_ptr<FakeDevice> device) : d(std::move(device)) { ++d->readersAlive; }
    ~FakeReader() override { d->releasedDuringRead = d->releasedDuringRead || d->readsInProgress, --d->readersAlive; }
    FormatResult SetPartialType(PixelFormat type) override {
        if (const FormatResult failed = Call("P"); !failed) return failed;
        return type == PixelFormat::RGB24 && d->acceptPartialRgb24 ? Take(d->partialResult) : REFUSED;
    }
    FormatResult GetNativeFormat(uint32_t index, MediaFormat& format) override {
        if (const FormatResult failed = Call("N" + std::to_string(index)); !failed) return failed;
        if (index >= d->natives.size()) return {CAMERA_ERROR_NO_MORE_TYPES};
        return format = d->natives[index], FormatResult{};
    }
    FormatResult UseNativeFormat(uint32_t index) override {
        if (const FormatResult failed = Call("U" + std::to_string(index)); !failed) return failed;
        if (index >= d->natives.size()) return {CAMERA_ERROR_NO_MORE_TYPES};
        return std::ranges::count(d->refusedNatives, index) ? REFUSED : Take(d->natives[index]);
    }
    FormatResult GetCurrentFormat(MediaFormat& out) override {
        if (const FormatResult failed = Call("C"); !failed) return failed;
        return out = current, d->currentFormatFails ? REFUSED : FormatResult{};
    }
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample, CameraError& error) override {
        std::unique_lock<std::mutex> guard(d->lock);
        if (++d->readsInProgress > 1) d->overlappingReads = true;
        ++d->reads;
        const bool failing = std::this_thread::get_id() == d->failingThread;
        const FakeRead read = failing ? d->failingRead : d->script.empty() ? d->endless : d->script.front();
        if (!failing && !d->script.empty()) d->script.pop_front();
        guard.unlock();
        std::this_thread::sleep_for(d->readDelay);
        struct Leave { FakeDevice& d; ~Leave() { --d.readsInProgress; } } leave{*d};
        guard.lock();
        if (read.stall || cancelled) {  // a cancel wakes the read, and refuses those after it
            const bool woken = d->wake.wait_for(guard, read.stall ? d->stallWait : 0ms, [&] { return cancelled; });
            ++(woken ? d->cancelledReads : d->timedOutReads);
            return error = woken ? CAMERA_ERROR_CANCELLED : CAMERA_ERROR_NO_FRAMES, ReadOutcome::Failed;
        }
        guard.unlock();
        if (read.error == CAMERA_ERROR_OUT_OF_MEMORY) throw std::bad_alloc();
        if (read.outcome != ReadOutcome::Sample) error = read.error;
        else onSample({read.bytes.data(), static_cast<int32_t>(read.bytes.size()), read.stride,
                       d->stampStep * d->reads, d->stampStep >= 0});
        return read.outcome;
    }
    void CancelRead() override {
        std::lock_guard<std::mutex> guard(d->lock);
        cancelled = true, d->wake.notify_all();
    }
    void ResumeReads() override { std::lock_guard<std::mutex> guard(d->lock); cancelled = false; }
    FormatResult Call(const std::string& name) {
        d->calls += name;
        const auto failing = d->failing.find(name);
        return {failing == d->failing.end() ? CAMERA_ERROR_NONE : failing->second};
    }
    FormatResult Take(const MediaFormat& format) { return current = format, FormatResult{}; }
    static constexpr FormatResult REFUSED{CAMERA_ERROR_TYPE_REFUSED};
    std::shared_ptr<FakeDevice> d;
    MediaFormat current;
    bool cancelled = false;
};

const std::wstring LINK_A = L"fake:a", LINK_DENIED = L"fake:denied";

ReaderOpener Opener(std::shared_ptr<FakeDevice> device) {
    return [device](const std::wstring& link, CameraError& error) -> std::unique_ptr<VideoReader> {
        if (link == LINK_DENIED) error = CAMERA_ERROR_ACCESS_DENIED;
        return link == LINK_A ? std::make_unique<FakeReader>(device) : nullptr;
    };
}

// The frame count outlives the camera, whose preview may still be calling it.
struct CameraTest : testing::Test {
    std::atomic<int> frames{0}, firstByte{-1};
    FrameCallback Count(std::function<void(uint8_t)> also = {}) {  // `also` is told the frame's first byte
        return [this, also](const uint8_t* pixels, int32_t w, int32_t h, int32_t s) {
            if (also) also(pixels[0]);
            firstByte = w == 4 && h == 2 && s == 12 ? pixels[0] : -1;
            ++frames;
        };
    }
    bool FramesReach(int count) { return WaitUntil([&] { return frames >= count; }); }
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
    Camera camera{Opener(device)};
};

// By default RGB24 directly, else the device's first native type that we convert and it accepts; a size asked for
// takes its fastest type (NV12 before MJPG at equal rates), the next one when the device refuses it, and the default
// when the device does not offer the size. A device whose format cannot be settled (no type, no size, too large for a
// 32-bit process) is released, not kept open for a 0 x 0 capture.
TEST_F(CameraTest, NegotiationTakesTheDefaultOrTheSizeAskedForElseReleasesTheDevice) {
    const std::vector<MediaFormat> natives = {
        {PixelFormat::Unknown, 320, 240, 0, 60, 1}, {PixelFormat::NV12, 1280, 720, 1280, 30, 1},
        {PixelFormat::MJPG, 1920, 1080, 0, 30, 1}, {PixelFormat::YUY2, 640, 480, 1280, 30, 1},
        {PixelFormat::YUY2, 1920, 1080, 3840, 5, 1}, {PixelFormat::MJPG, 1280, 720, 0, 30, 1}};
    const std::string listed = "N0N1N2N3N4N5N6";
    // partial: the device takes RGB24 at this size; chosen: the native type used (-1: RGB24); calls: the
    // negotiation calls after the listing, none where the open fails.
    const struct { bool partial; int32_t w, h; std::vector<uint32_t> refused; bool currentFails; FrameSize wanted;
                   int chosen; std::string calls; }
        cases[] = {
        {true, 640, 480, {1}, false, {}, -1, "PC"}, {false, 0, 0, {1}, false, {}, 2, "PU1U2C"},
        {false, 0, 0, {1, 2, 3, 4, 5}, false, {}, 0, ""},
        {true, 4, 2, {}, true, {}, 0, ""}, {true, 0, 480, {}, false, {}, 0, ""}, {true, 640, -480, {}, false, {}, 0, ""},
        {true, 16385, 16, {}, false, {}, 0, ""}, {true, 16, 16385, {}, false, {}, 0, ""},
        {true, 16384, 16384, {}, false, {}, 0, ""},
        {true, 16384, 5461, {}, false, {}, -1, "PC"}, {true, 16, 16384, {}, false, {}, -1, "PC"},
        {true, 1, 1, {}, false, {}, -1, "PC"},
        {true, 640, 480, {}, false, {1920, 1080}, 2, "U2C"}, {false, 0, 0, {}, false, {1280, 720}, 1, "U1C"},
        {false, 0, 0, {1}, false, {1280, 720}, 5, "U1U5C"}, {true, 8, 8, {2}, false, {1920, 1080}, 4, "U2U4C"},
        {true, 8, 8, {2, 4}, false, {1920, 1080}, -1, "U2U4PC"}, {false, 0, 0, {}, false, {800, 600}, 1, "PU1C"},
        {false, 0, 0, {}, false, {320, 240}, 1, "PU1C"},  // a size only a type we do not take has
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        auto fake = std::make_shared<FakeDevice>();
        fake->acceptPartialRgb24 = c.partial, fake->partialResult = {PixelFormat::RGB24, c.w, c.h, 0};
        fake->natives = natives, fake->refusedNatives = c.refused, fake->currentFormatFails = c.currentFails;
        Camera other(Opener(fake));
        const bool opens = !c.calls.empty();
        ASSERT_EQ(other.Open(LINK_A, c.wanted), opens);
        EXPECT_TRUE(other.IsOpen() == opens && fake->readersAlive == int(opens));
        EXPECT_EQ(fake->calls, opens ? listed + c.calls : fake->calls);
        const MediaFormat want = !opens ? MediaFormat{} : c.chosen < 0 ? fake->partialResult : natives[c.chosen];
        EXPECT_TRUE(other.subtype() == want.subtype && other.width() == want.width && other.height() == want.height);
        EXPECT_EQ(other.sizeHonoured(), opens && (c.wanted == FrameSize{want.width, want.height}));
        EXPECT_EQ(other.formats().size(), opens ? natives.size() : 0u);
        EXPECT_EQ(other.lastError(), opens ? CAMERA_ERROR_NONE : CAMERA_ERROR_NO_FORMAT);
        CapturedFrame frame;
        EXPECT_TRUE(opens || (!other.GrabFrame(frame) && fake->reads == 0));
        other.Close();
        EXPECT_TRUE(other.formats().empty() && !other.sizeHonoured());
    }
    ASSERT_TRUE(camera.Open(LINK_A));  // a refused link says why, as far as it is told, and closes the open device
    EXPECT_TRUE(!camera.Open(LINK_DENIED) && camera.lastError() == CAMERA_ERROR_ACCESS_DENIED);
    EXPECT_TRUE(!camera.IsOpen() && camera.width() == 0 && device->readersAlive == 0 && !camera.firstFrameTime());
}

// A call that fails while the format is settled: a type refused, or the end of the list, is passed over; any other
// failure is the device's (in use, unplugged, blocked, shut down, or a code nobody documents) and ends the open at once
// with its code, which the dialog, the tray and the data source then classify as they do a failed read.
TEST_F(CameraTest, NegotiationPassesOverRefusedTypesButEndsAtTheDevicesOwnFailure) {
    const std::vector<MediaFormat> natives = {
        {PixelFormat::YUY2, 320, 240, 640, 30, 1}, {PixelFormat::NV12, 1280, 720, 1280, 30, 1},
        {PixelFormat::MJPG, 1920, 1080, 0, 30, 1}, {PixelFormat::MJPG, 1280, 720, 0, 30, 1}};
    const auto code = [](uint32_t value) { return static_cast<CameraError>(value); };
    const struct { CameraError code; bool passedOver; } codes[] = {
        {code(0xC00D36B4), true},   // MF_E_INVALIDMEDIATYPE
        {code(0xC00D36BD), true},   // MF_E_INVALIDTYPE
        {code(0xC00D5212), true},   // MF_E_TOPO_CODEC_NOT_FOUND
        {code(0xC00D36B9), true},   // MF_E_NO_MORE_TYPES
        {code(0xC00D3704), false},  // MF_E_HW_MFT_FAILED_START_STREAMING: in use
        {code(0xC00D3EA3), false},  // MF_E_VIDEO_RECORDING_DEVICE_PREEMPTED
        {code(0xC00D3EA2), false},  // MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED: unplugged
        {code(0x80070005), false},  // E_ACCESSDENIED: privacy settings
        {code(0xC00D3E85), false},  // MF_E_SHUTDOWN
        {code(0xC00D36B2), false},  // MF_E_INVALIDREQUEST
        {code(0x8007000E), false},  // E_OUTOFMEMORY
        {code(0x80004005), false},  // E_FAIL
        {code(0x8000FFFF), false},  // E_UNEXPECTED
    };
    // The failing call comes after `before`; passed over, `after` follows with `chosen` in force (-1: RGB24) and
    // `listed` types known. The current type is the one call that nothing can stand in for.
    const struct { const char* where; bool partial; FrameSize wanted; const char *before, *after; int chosen;
                   size_t listed; } places[] = {
        {"N2", true, {}, "N0N1", "PC", -1, 2},
        {"P", true, {}, "N0N1N2N3N4", "U0C", 0, 4},
        {"U0", false, {}, "N0N1N2N3N4P", "U1C", 1, 4},
        {"U1", true, {1280, 720}, "N0N1N2N3N4", "U3C", 3, 4},
        {"U0", true, {320, 240}, "N0N1N2N3N4", "PC", -1, 4},  // the size's only type: the default then
        {"C", true, {}, "N0N1N2N3N4P", nullptr, 0, 0},
    };
    for (const auto& place : places) {
        for (const auto& c : codes) {
            SCOPED_TRACE(testing::Message() << place.where << " " << std::hex << c.code);
            auto fake = std::make_shared<FakeDevice>();
            fake->acceptPartialRgb24 = place.partial, fake->natives = natives, fake->failing = {{place.where, c.code}};
            Camera other(Opener(fake));
            const bool opens = c.passedOver && place.after;
            ASSERT_EQ(other.Open(LINK_A, place.wanted), opens);
            EXPECT_EQ(fake->calls, std::string(place.before) + place.where + (opens ? place.after : ""));
            EXPECT_EQ(other.lastError(), opens ? CAMERA_ERROR_NONE : c.code);
            EXPECT_TRUE(other.IsOpen() == opens && fake->readersAlive == int(opens));
            const MediaFormat want = !opens ? MediaFormat{} : place.chosen < 0 ? fake->partialResult : natives[place.chosen];
            EXPECT_TRUE(other.subtype() == want.subtype && other.width() == want.width && other.height() == want.height);
            EXPECT_EQ(other.formats().size(), opens ? place.listed : 0u);
        }
    }
    // A device that claims endless types is listed no further than any real one goes.
    device->natives.assign(5000, natives[1]);
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_EQ(camera.formats().size(), 4096u);
}

// Empty and short samples use up attempts; the end of the stream, failures and a failed allocation end the grab at
// once, say why and leave the frame alone. A sample's own stride wins over the type's; negative means bottom-up.
TEST_F(CameraTest, GrabReadsUntilAFrameOrAFailureAndSaysWhy) {
    const FakeRead empty = Outcome(ReadOutcome::NoSample), tooShort{ReadOutcome::Sample, {9, 9, 9, 9}, 0};
    std::vector<uint8_t> rows(12, 1), flipped(12, 2), solid(24, 42), kept{1, 2, 3};  // two rows, of 1s and of 2s
    rows.resize(24, 2), flipped.resize(24, 1);
    // Reads scripted, then the default stride; the error the grab must give (NONE: grabbed), reads, pixels.
    const struct { std::deque<FakeRead> script; int32_t defaultStride; CameraError error; int reads;
                   const std::vector<uint8_t>& pixels; } cases[] = {
        {std::deque<FakeRead>(GRAB_ATTEMPTS - 1, empty), 12, CAMERA_ERROR_NONE, GRAB_ATTEMPTS, solid},
        {std::deque<FakeRead>(GRAB_ATTEMPTS, tooShort), 12, CAMERA_ERROR_NO_PICTURE, GRAB_ATTEMPTS, kept},
        {{empty, Outcome(ReadOutcome::EndOfStream)}, 12, CAMERA_ERROR_NO_PICTURE, 2, kept},
        {{Outcome(ReadOutcome::StreamError)}, 12, CAMERA_ERROR_NO_PICTURE, 1, kept},
        {{Outcome(ReadOutcome::Failed, CAMERA_ERROR_INVALIDATED)}, 12, CAMERA_ERROR_INVALIDATED, 1, kept},
        {{OUT_OF_MEMORY}, 12, CAMERA_ERROR_OUT_OF_MEMORY, 1, kept},
        {{{ReadOutcome::Sample, rows, -12}}, 0, CAMERA_ERROR_NONE, 1, rows},
        {{{ReadOutcome::Sample, rows, 0}}, -12, CAMERA_ERROR_NONE, 1, rows},
        {{{ReadOutcome::Sample, rows, 12}}, -12, CAMERA_ERROR_NONE, 1, flipped},
        {{{ReadOutcome::Sample, rows, 0}}, 0, CAMERA_ERROR_NONE, 1, flipped},
    };
    device->endless = Frame(42);
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        device->partialResult.defaultStride = c.defaultStride, device->script = c.script;
        ASSERT_TRUE(camera.Open(LINK_A) && !camera.firstFrameTime());
        const int reads = device->reads;
        CapturedFrame frame{kept, 77, 0, 0};
        EXPECT_EQ(camera.GrabFrame(frame), c.error == CAMERA_ERROR_NONE);
        EXPECT_TRUE(camera.lastError() == c.error && device->reads - reads == c.reads);
        EXPECT_TRUE(frame.pixels == c.pixels && frame.width == (c.error ? 77 : 4));
        EXPECT_EQ(bool(camera.firstFrameTime()), !c.error);
    }
}

// A still that fails while the preview delivers keeps its own reason: the preview's frames neither clear it nor
// take it for theirs.
TEST_F(CameraTest, AStillsFailureStaysItsOwnWhileThePreviewDelivers) {
    device->failingThread = std::this_thread::get_id();
    device->failingRead = Outcome(ReadOutcome::Failed, CAMERA_ERROR_ACCESS_DENIED);
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(Count()));
    CapturedFrame still;
    EXPECT_FALSE(camera.GrabFrame(still));
    EXPECT_TRUE(FramesReach(frames + 3));
    EXPECT_EQ(camera.lastError(), CAMERA_ERROR_ACCESS_DENIED);
    EXPECT_EQ(camera.previewError(), CAMERA_ERROR_NONE);
}

// Failures do not end the loop, but a device that keeps failing is read ever less often, and a stop does not wait out
// the pause. From inside the callback a still capture reads, StartPreview refuses instead of deadlocking, StopPreview
// ends the loop without joining its own thread, and Close is ignored; the next start joins it.
TEST_F(CameraTest, PreviewRunsPastFailuresReadingEverLessOftenUntilStopped) {
    device->script = {Frame(5), OUT_OF_MEMORY, Outcome(ReadOutcome::EndOfStream), Frame(5)};
    device->endless = Outcome(ReadOutcome::Failed, CAMERA_ERROR_PREEMPTED);
    EXPECT_FALSE(camera.StartPreview(Count()));  // not open yet
    ASSERT_TRUE(camera.Open(LINK_A) && camera.StartPreview(Count()));
    EXPECT_FALSE(camera.StartPreview(Count()));  // a second preview would count every frame twice
    EXPECT_TRUE(FramesReach(2));
    // Long enough to measure the back-off, and stopped early in its fifth pause (450 to 930 ms).
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(camera.previewError(), CAMERA_ERROR_PREEMPTED);
    EXPECT_TRUE(device->reads <= 4 + 7 && device->reads >= 4 + 3) << device->reads << " reads: no back-off";
    const auto stopping = std::chrono::steady_clock::now();
    camera.StopPreview();
    const int reads = device->reads;
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 300ms) << "the stop waited out the pause";
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(device->reads == reads && frames == 2 && firstByte == 5 && camera.IsOpen());

    device->endless = Frame(6);  // the device recovers while no preview runs
    ASSERT_TRUE(camera.StartPreview(FrameCallback{}));  // without a callback it runs too
    EXPECT_TRUE(WaitUntil([&] { return device->reads >= reads + 2; }));
    camera.StopPreview();
    std::atomic<bool> grabbed{false}, restarted{true};
    ASSERT_TRUE(camera.StartPreview(Count([&](uint8_t) {
        CapturedFrame still;
        grabbed = camera.GrabFrame(still) && still.pixels.size() == 24 && still.pixels[0] == 6;
        restarted = camera.StartPreview(FrameCallback{});
        camera.StopPreview();
        camera.Close();
    })));
    EXPECT_TRUE(FramesReach(3));
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(frames == 3 && grabbed && !restarted && camera.IsOpen() && camera.previewError() == CAMERA_ERROR_NONE);
    ASSERT_TRUE(camera.StartPreview(Count()));
    EXPECT_TRUE(FramesReach(5));
    camera.Close();
}

// The reader outlives every read and callback while two threads grab stills and the preview starts and stops, often
// before its thread began; every seventh cycle reopens with it running, which stops it for good.
// Preview frames come no larger than the box they are shown in (averaged down by a whole factor), stills whole; an
// empty or nonsense box gives whole frames.
TEST_F(CameraTest, PreviewFramesFitTheirBoxWhileStillsStayWhole) {
    std::atomic<int32_t> seen{0};  // width * 100 + height of the latest preview frame
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview([&](const uint8_t*, int32_t w, int32_t h, int32_t) { seen = w * 100 + h; }));
    for (const auto& [boxWidth, boxHeight, shown] : {std::array{2, 1, 201}, {0, 0, 402}, {2, -5, 402}, {3, 1, 402}, {1, 1, 201},
                                                     {-1, 1, 402}, {4, 2, 402}}) {
        camera.SetPreviewBox(boxWidth, boxHeight);
        seen = 0;
        EXPECT_TRUE(WaitUntil([&] { return seen == shown; })) << boxWidth << "x" << boxHeight << ": " << seen;
        CapturedFrame still;
        EXPECT_TRUE(camera.GrabFrame(still) && still.width == 4 && still.height == 2);
    }
    camera.StopPreview();
}

TEST_F(CameraTest, PreviewStartStopAndReopenWithConcurrentStillsNeverOverlapReads) {
    device->readDelay = 1ms;
    std::atomic<bool> stop{false}, callbackWithoutReader{false};
    std::atomic<int> stills{0};
    const FrameCallback checking = Count([&](uint8_t) {
        std::this_thread::sleep_for(1ms);  // time for a release that does not wait
        if (device->readersAlive == 0) callbackWithoutReader = true;
    });
    ASSERT_TRUE(camera.Open(LINK_A));
    auto grab = [&] { for (CapturedFrame f; !stop; std::this_thread::sleep_for(1ms)) stills += camera.GrabFrame(f); };
    std::thread first(grab), second(grab);
    bool started = true;
    for (int cycle = 0; started && cycle < 60; ++cycle) {
        started = camera.StartPreview(checking);
        if (cycle % 4 == 0 || cycle % 7 == 6) EXPECT_TRUE(FramesReach(frames + 1));
        else std::this_thread::sleep_for(std::chrono::microseconds(200 * (cycle % 5)));
        if (cycle % 7 != 6) camera.StopPreview();
        else if ((started = camera.Open(LINK_A))) {
            const int counted = frames;
            std::this_thread::sleep_for(10ms);
            EXPECT_EQ(frames, counted) << "the preview ran on after the open";
        }
    }
    ASSERT_TRUE(started && camera.StartPreview(checking) && FramesReach(frames + 2));
    camera.Close();
    stop = true, first.join(), second.join();
    EXPECT_TRUE(stills > 0 && !camera.IsOpen() && device->readersAlive == 0);
    EXPECT_FALSE(device->overlappingReads || device->releasedDuringRead || callbackWithoutReader);
}

// A read that never ends (a device that sends nothing) is woken by whatever ends the camera's use of it, and the
// preview thread is joined at once. StopPreview wakes only the preview's read: the camera stays usable, with nothing to
// report, while a still on another thread reads on until Close or a reopen wakes it too.
TEST_F(CameraTest, ReadsOfASilentDeviceEndWhenThePreviewStopsOrTheCameraCloses) {
    enum Action { STOP, CLOSE, REOPEN, DESTROY };
    // Whose read is stuck; after the action: reads woken, whether the still still reads, readers alive.
    const struct { bool preview; Action action; int woken; bool stillReads; int alive; } cases[] = {
        {true, STOP, 1, false, 1}, {true, CLOSE, 1, false, 0}, {true, REOPEN, 1, false, 1}, {true, DESTROY, 1, false, 0},
        {false, STOP, 0, true, 1}, {false, CLOSE, 1, false, 0}, {false, REOPEN, 1, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.preview << " " << c.action);
        auto fake = std::make_shared<FakeDevice>();
        fake->script = {Frame(3), STALL};
        fake->endless = Frame(9);
        auto used = std::make_unique<Camera>(Opener(fake));
        ASSERT_TRUE(used->Open(LINK_A));
        std::atomic<int> stillGrabbed{-1};
        std::thread still;
        if (c.preview) {
            ASSERT_TRUE(used->StartPreview(Count()) && FramesReach(1));
        } else {
            CapturedFrame first;
            ASSERT_TRUE(used->GrabFrame(first));
            still = std::thread([&] { CapturedFrame f; stillGrabbed = used->GrabFrame(f); });
        }
        ASSERT_TRUE(WaitUntil([&] { return fake->readsInProgress == 1; }));
        switch (c.action) {
            case STOP: used->StopPreview(); break;
            case CLOSE: used->Close(); break;
            case REOPEN: ASSERT_TRUE(used->Open(LINK_A)); break;
            case DESTROY: used.reset(); break;
        }
        EXPECT_FALSE(used && used->IsPreviewing());
        EXPECT_EQ(fake->cancelledReads, c.woken);
        EXPECT_EQ(fake->readsInProgress == 1, c.stillReads);
        EXPECT_EQ(fake->readersAlive, c.alive);
        if (c.action == STOP) {  // nothing to tell, and the next read gets the device's next frame
            EXPECT_TRUE(used->lastError() == CAMERA_ERROR_NONE && used->previewError() == CAMERA_ERROR_NONE);
            CapturedFrame next;
            if (c.stillReads) used->Close();
            else EXPECT_TRUE(used->GrabFrame(next) && next.pixels[0] == 9);
        }
        if (still.joinable()) {
            still.join();
            EXPECT_EQ(stillGrabbed, 0);
            EXPECT_TRUE(c.action == REOPEN || used->lastError() == CAMERA_ERROR_CANCELLED);
        }
        EXPECT_EQ(fake->timedOutReads, 0) << "a read waited for the device";
    }
}

// A device that stops sending fails the still that waits for it with its own code, and the preview shows the
// trouble, in the words for a camera that stopped sending pictures.
TEST(CameraStall, ASilentDeviceFailsStillsWithItsCodeAndThePreviewReportsIt) {
    Camera camera([](const std::wstring& link, CameraError& e) { return OpenTestPatternReader(link, {}, e); });
    ASSERT_TRUE(camera.Open(L"snapward-testpattern:rgb24?name=stall&stall=1&wait=20"));
    CapturedFrame frame;
    ASSERT_TRUE(camera.GrabFrame(frame));
    EXPECT_FALSE(camera.GrabFrame(frame));
    EXPECT_EQ(camera.lastError(), CAMERA_ERROR_NO_FRAMES);
    ASSERT_TRUE(camera.StartPreview(FrameCallback{}));
    EXPECT_TRUE(WaitUntil([&] { return camera.previewError() == CAMERA_ERROR_NO_FRAMES; }));
    EXPECT_EQ(std::wstring(CameraTroubleText(camera.previewError())), CameraTroubleText(CAMERA_ERROR_NO_PICTURE));
    EXPECT_EQ(ClassifyCameraError(CAMERA_ERROR_NO_FRAMES), CameraProblem::Other);
    camera.Close();
}

const ReaderOpener PATTERNS = [](const std::wstring& link, auto& e) { return OpenTestPatternReader(link, {}, e); };

std::wstring Link(const wchar_t* rest) { return std::wstring(L"snapward-testpattern:") + rest; }

// Through the camera's negotiation and conversion each raw camera gives the pattern, its counter advancing by one, at
// the camera's rate; the checkers, the end-to-end tests' oracle, pass it but not a wrong one nor read past a small one.
// Misbehaving cameras fail opens and reads as real ones do. A held camera stays failed on the stream that met it; a new
// open works once the other program let go. A huge camera gives a flat grey picture; one still ramping up its exposure
// gives dark ones; a slow one blocks its first read; one unplugged after two frames fails the third. A link with a
// malformed value is no camera, not a camera without the misbehaviour.
TEST(TestPattern, CamerasGiveThePatternThatOnlyTheCheckersPassOrMisbehaveAsRealOnesDo) {
    // grabs: how many succeed, each the pattern within the tolerance (negative: not even within its magnitude);
    // failure: why the next grab fails.
    const struct { const wchar_t* link; CameraError openError; int grabs, tolerance; CameraError failure; } cases[] = {
        {L"nv12", 0, 3, 2, 0}, {L"yuy2", 0, 3, 2, 0}, {L"rgb24", 0, 3, 0, 0},
        {L"rgb24?name=a&privacy=open", CAMERA_ERROR_ACCESS_DENIED, 0, 0, 0},
        {L"nv12?name=c&busy=C00D3704&for=150", 0, 0, 0, CAMERA_ERROR_START_STREAMING},
        {L"yuy2?name=d&busy=0xC00D3EA3&for=0&ramp=4000", 0, 2, -16, 0},  // the other program let go at once
        {L"rgb24?noformat=1", CAMERA_ERROR_NO_FORMAT, 0, 0, 0}, {L"rgb24?slow=", CAMERA_ERROR_NO_PICTURE, 0, 0, 0},
        {L"nv12?name=g&huge=640x480", 0, 1, -16, 0},
        // Unplugged or taken between listing and opening: setting the type fails, for the partial and native alike.
        {L"rgb24?name=t&typefail=C00D3EA2", CAMERA_ERROR_INVALIDATED, 0, 0, 0},
        {L"nv12?modes=laptop&typefail=0xc00d3704", CAMERA_ERROR_START_STREAMING, 0, 0, 0},
        {L"yuy2?name=v&typefail=C00D3704&for=0", 0, 3, 2, 0}, {L"yuy2?name=w&typefail=0", CAMERA_ERROR_NO_PICTURE, 0, 0, 0},
        {L"rgb24?name=u&unplug=2&slow=200", 0, 2, 0, CAMERA_ERROR_INVALIDATED},
        // Cameras with modes misbehave alike, at their first type's size.
        {L"yuy2?modes=c920&name=m&unplug=2", 0, 2, 2, CAMERA_ERROR_INVALIDATED},
        {L"nv12?modes=frameserver&ramp=4000&slow=200", 0, 2, -16, 0},
        {L"mjpg?modes=laptop&privacy=read", 0, 0, 0, CAMERA_ERROR_ACCESS_DENIED},
        {L"nv12?modes=uhd&busy=c00d3ea2", 0, 0, 0, CAMERA_ERROR_INVALIDATED},
        {L"yuy2?name=x&stall=2&wait=30", 0, 2, 2, CAMERA_ERROR_NO_FRAMES},  // sends two frames, then nothing
    };
    CapturedFrame rgb;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.link, c.link + wcslen(c.link)));
        Camera camera(PATTERNS);
        CapturedFrame frames[3];
        ASSERT_EQ(camera.Open(Link(c.link)), c.openError == CAMERA_ERROR_NONE);
        EXPECT_EQ(camera.lastError(), c.openError);
        if (c.openError != CAMERA_ERROR_NONE) continue;
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t n = 0, counter = 99; n < uint32_t(c.grabs); ++n) {
            ASSERT_TRUE(camera.GrabFrame(frames[n])) << n;
            EXPECT_EQ(MatchesTestPattern(frames[n], std::abs(c.tolerance), counter) && counter == n, c.tolerance >= 0);
        }
        EXPECT_TRUE(!std::wcsstr(c.link, L"ramp") || std::ranges::max(frames[0].pixels) < 128);  // dark, not off-colour
        const auto elapsed = std::chrono::steady_clock::now() - start;
        // At the camera's pace; that each grab took one frame the counters say, not the clock of a busy machine.
        EXPECT_TRUE(c.grabs < 3 || elapsed >= std::chrono::microseconds(2 * TEST_PATTERN_FRAME_INTERVAL_US));
        EXPECT_TRUE(!std::wcsstr(c.link, L"slow") || elapsed >= 200ms);
        EXPECT_TRUE(!c.failure || (!camera.GrabFrame(frames[0]) && camera.lastError() == c.failure));
        if (c.failure == CAMERA_ERROR_START_STREAMING) {  // held: the stream stays failed, a new one works later
            EXPECT_TRUE(WaitUntil([&] { return !camera.GrabFrame(frames[0]) && camera.Open(Link(c.link)) &&
                                               camera.GrabFrame(frames[0]); }));
        }
        const bool grey = std::ranges::all_of(frames[0].pixels, [](uint8_t v) { return v == 128; });
        EXPECT_EQ(grey && frames[0].width == 640 && frames[0].height == 480, std::wcsstr(c.link, L"huge") != nullptr);
        if (c.grabs == 3) rgb = frames[0];  // RGB24 comes last
    }
    uint32_t counter = 7;
    CapturedFrame dark = rgb;  // the counter band, at the bottom, still reads; the bars above it are black
    std::fill(dark.pixels.begin() + 100 * dark.stride, dark.pixels.end(), uint8_t{0});
    EXPECT_TRUE(!MatchesTestPattern(dark, 16, counter) && TestPatternDeviation(rgb, 1) > 100);  // or another counter
    std::fill_n(dark.pixels.begin(), 48 * dark.stride, uint8_t{160});  // a band just bright enough for ones
    EXPECT_TRUE(DecodeFrameCounter(dark, counter) && counter == UINT32_MAX);
    EXPECT_FALSE(MatchesTestPattern(CapturedFrame{}, 255, counter));  // no counter read, no match at any tolerance
    CapturedFrame small{std::vector<uint8_t>(480 * 89), 160, 89, 480}, truncated = rgb;
    truncated.pixels.resize(100);
    for (const CapturedFrame& wrong : {small, truncated})
        EXPECT_TRUE(!DecodeFrameCounter(wrong, counter) && TestPatternDeviation(wrong, 0) == -1);
}

}  // namespace

namespace {

uint32_t TicksNow() { return TestPatternClockTicks(std::chrono::steady_clock::now()); }

// A pattern reader whose reads are counted: what a call did, rather than how long it took on a busy machine.
struct CountedPatternReader final : ForwardingReader {
    CountedPatternReader(std::unique_ptr<VideoReader> reader, std::atomic<int>& count)
        : ForwardingReader(std::move(reader)), reads(count) {}
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample, CameraError& error) override {
        ++reads;
        return inner_->ReadSample(onSample, error);
    }
    std::atomic<int>& reads;
};

// A cold camera that ramps its exposure, at its full rate or at a dim one while it ramps, is settled before the still
// is taken: the still is the pattern at full brightness, as a warm camera's is. All run at once, as each mostly waits
// for its frames; the latencies go to the test's output.
TEST(CameraSettle, ColdCapturesAreAsBrightAsWarmOnesWhateverTheRamp) {
    const struct { const wchar_t* link; int rampMs; } cases[] = {
        {L"nv12?name=s1&ramp=400", 400}, {L"yuy2?name=s2&ramp=1500", 1500}, {L"rgb24?name=s3&ramp=2500", 2500},
        {L"nv12?name=s4&ramp=400&dimfps=5", 400}, {L"yuy2?name=s5&ramp=1500&dimfps=7", 1500},
        {L"rgb24?name=s6&ramp=2500&dimfps=5", 2500}, {L"nv12?name=s7&ramp=3000&dimfps=10", 3000},
        {L"nv12?name=s8", 0},
    };
    struct Outcome { bool grabbed = false, matched = false; long long ms = 0; int deviation = -1, readsAgain = -1; };
    std::vector<Outcome> outcomes(std::size(cases));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(cases); ++i) {
        threads.emplace_back([&, i] {
            std::atomic<int> reads{0};
            Camera camera([&reads](const std::wstring& link, CameraError& e) -> std::unique_ptr<VideoReader> {
                std::unique_ptr<VideoReader> reader = OpenTestPatternReader(link, {}, e);
                if (!reader) return nullptr;
                return std::make_unique<CountedPatternReader>(std::move(reader), reads);
            });
            if (!camera.Open(Link(cases[i].link))) return;
            const auto start = std::chrono::steady_clock::now();
            camera.Settle();
            CapturedFrame frame;
            Outcome& o = outcomes[i];
            o.grabbed = camera.GrabFrame(frame);
            o.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            uint32_t counter = 0;
            o.matched = MatchesTestPattern(frame, 2, counter);
            o.deviation = TestPatternDeviation(frame, counter);
            const int before = reads;
            camera.Settle();  // settled once, settled for the rest of the stream: no frame read for it
            o.readsAgain = reads - before;
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Outcome& o = outcomes[i];
        const std::string link(cases[i].link, cases[i].link + wcslen(cases[i].link));
        EXPECT_TRUE(o.grabbed && o.matched) << link << " deviates by " << o.deviation;
        EXPECT_EQ(o.readsAgain, 0) << link << ": settled again";
        std::printf("cold capture, %s: %lld ms (exposure ramp %d ms)\n", link.c_str(), o.ms, cases[i].rampMs);
    }
}

// Devices whose sample clock cannot tell old from new: stamps that stand still, and a clock that crawls (100 ns a
// frame), which makes every frame look older than the ask. A still is taken all the same, from the next frame or,
// for the crawling clock, once a grab has passed over frames for half a second.
TEST_F(CameraTest, StillsFromADeviceWithAMisleadingClockAreTakenAllTheSame) {
    device->readDelay = 10ms;
    for (const int64_t step : {0, 1}) {
        device->stampStep = step;
        ASSERT_TRUE(camera.Open(LINK_A));
        CapturedFrame frame;
        ASSERT_TRUE(camera.GrabFrame(frame));
        std::this_thread::sleep_for(20ms);  // the crawling clock has then barely moved since the last frame
        const int before = device->reads;
        EXPECT_TRUE(camera.GrabFrame(frame)) << step;
        EXPECT_EQ(device->reads - before > 1, step == 1);
    }
}

// A camera that keeps the frames it took while nobody read: a still asked for after a pause is taken after it was
// asked for, not served from the queue, while the preview shows every frame, queued ones included, in order.
// The queue (a second) outlasts the pause, so a preview that starts slowly on a busy machine still finds room
// for the frames taken meanwhile; a full queue drops its oldest, as a real one does.
TEST(CameraFreshness, StillsAreTakenAfterTheyAreAskedForAndThePreviewLosesNoFrame) {
    Camera camera(PATTERNS);
    ASSERT_TRUE(camera.Open(Link(L"nv12?name=q&queue=30")));
    CapturedFrame frame;
    uint32_t counter = 0;
    ASSERT_TRUE(camera.GrabFrame(frame));
    for (int pause = 0; pause < 2; ++pause) {
        std::this_thread::sleep_for(600ms);
        const uint32_t asked = TicksNow();
        ASSERT_TRUE(camera.GrabFrame(frame));
        ASSERT_TRUE(MatchesTestPattern(frame, 2, counter));
        EXPECT_GE(int32_t(counter - asked), 0) << pause;
    }
    std::this_thread::sleep_for(600ms);
    const uint32_t started = TicksNow();
    std::mutex lock;
    std::vector<uint32_t> shown;
    ASSERT_TRUE(camera.StartPreview([&](const uint8_t* pixels, int32_t w, int32_t h, int32_t stride) {
        CapturedFrame seen{std::vector<uint8_t>(pixels, pixels + size_t(h) * stride), w, h, stride};
        uint32_t c = 0;
        std::lock_guard<std::mutex> hold(lock);
        shown.push_back(DecodeFrameCounter(seen, c) ? c : 0);
    }));
    EXPECT_TRUE(WaitUntil([&] { std::lock_guard<std::mutex> hold(lock); return shown.size() >= 12; }));
    camera.StopPreview();
    ASSERT_GE(shown.size(), 12u);
    EXPECT_LT(int32_t(shown[0] - started), -4) << "the queue's oldest frame first";
    for (size_t i = 1; i < 12; ++i) EXPECT_EQ(shown[i], shown[i - 1] + 1) << i;
}

}  // namespace
