#include "camera/camera.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <new>
#include <set>

#include "wait_until.h"

namespace {

using namespace std::chrono_literals;

struct FakeRead {
    ReadOutcome outcome = ReadOutcome::Sample;
    std::vector<uint8_t> bytes;
    int32_t stride = 0;
    CameraError error = CAMERA_ERROR_NONE;
    bool outOfMemory = false;  // the read throws as an allocation that failed
};
FakeRead Frame(uint8_t value) { return {ReadOutcome::Sample, std::vector<uint8_t>(24, value)}; }  // 4 x 2 RGB24
FakeRead Outcome(ReadOutcome outcome, CameraError error = CAMERA_ERROR_NONE) { return {outcome, {}, 0, error}; }
const FakeRead OUT_OF_MEMORY{ReadOutcome::Sample, {}, 0, CAMERA_ERROR_NONE, true};

// A scripted 4 x 2 RGB24 device, shared by the test and the reader the camera owns so that the test can look at it
// after the camera let go. `lock` guards the script and the gate.
struct FakeDevice {
    bool acceptPartialRgb24 = true, currentFormatFails = false;
    MediaFormat partialResult{PixelFormat::RGB24, 4, 2, 12};
    std::vector<MediaFormat> natives;  // refused: listed, but the device does not take them
    std::set<uint32_t> refusedNatives;
    std::string calls;  // negotiation calls in order: Partial, Native n, Use n, Current
    std::deque<FakeRead> script;  // read first, then `endless` for ever
    FakeRead endless = Frame(7);
    std::chrono::milliseconds readDelay{0};
    bool gateClosed = false;  // reads wait here, already counted, until opened
    std::atomic<int> reads{0}, readersAlive{0}, readsInProgress{0};
    std::atomic<bool> overlappingReads{false}, releasedDuringRead{false};
    std::mutex lock;
    std::condition_variable changed;

    void Open(const FakeRead& next) {
        std::lock_guard<std::mutex> guard(lock);
        gateClosed = false, endless = next, changed.notify_all();
    }
};

struct FakeReader final : VideoReader {
    explicit FakeReader(std::shared_ptr<FakeDevice> device) : d(std::move(device)) { ++d->readersAlive; }
    ~FakeReader() override { d->releasedDuringRead = d->releasedDuringRead || d->readsInProgress, --d->readersAlive; }
    bool SetPartialType(PixelFormat type) override {
        return d->calls += "P", type == PixelFormat::RGB24 && d->acceptPartialRgb24 && Take(d->partialResult);
    }
    bool GetNativeFormat(uint32_t index, MediaFormat& format) override {
        d->calls += "N" + std::to_string(index);
        return index < d->natives.size() && (format = d->natives[index], true);
    }
    bool UseNativeFormat(uint32_t index) override {
        d->calls += "U" + std::to_string(index);
        return index < d->natives.size() && d->refusedNatives.count(index) == 0 && Take(d->natives[index]);
    }
    bool GetCurrentFormat(MediaFormat& out) override { return d->calls += "C", out = current, !d->currentFormatFails; }
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample, CameraError& error) override {
        std::unique_lock<std::mutex> guard(d->lock);
        if (++d->readsInProgress > 1) d->overlappingReads = true;
        ++d->reads;
        d->changed.wait(guard, [&] { return !d->gateClosed; });
        const FakeRead read = d->script.empty() ? d->endless : d->script.front();
        if (!d->script.empty()) d->script.pop_front();
        guard.unlock();
        std::this_thread::sleep_for(d->readDelay);
        struct Leave { FakeDevice& d; ~Leave() { --d.readsInProgress; } } leave{*d};
        if (read.outOfMemory) throw std::bad_alloc();
        if (read.outcome != ReadOutcome::Sample) error = read.error;
        else onSample({read.bytes.data(), static_cast<int32_t>(read.bytes.size()), read.stride});
        return read.outcome;
    }
    bool Take(const MediaFormat& format) { return current = format, true; }
    std::shared_ptr<FakeDevice> d;
    MediaFormat current;
};

const std::wstring LINK_A = L"fake:a", LINK_B = L"fake:b", LINK_DENIED = L"fake:denied";

ReaderOpener Opener(std::map<std::wstring, std::shared_ptr<FakeDevice>> devices) {
    return [devices](const std::wstring& link, CameraError& error) -> std::unique_ptr<VideoReader> {
        if (link == LINK_DENIED) error = CAMERA_ERROR_ACCESS_DENIED;
        return devices.count(link) ? std::make_unique<FakeReader>(devices.at(link)) : nullptr;
    };
}

// The camera sees `device` behind LINK_A and `deviceB` behind LINK_B. The frame count outlives the camera, whose
// preview may still be calling it.
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
    bool ReadsReach(int count) { return WaitUntil([&] { return device->reads >= count; }); }
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>(), deviceB = std::make_shared<FakeDevice>();
    Camera camera{Opener({{LINK_A, device}, {LINK_B, deviceB}})};
};

// RGB24 is taken directly without looking at the native types; otherwise the first type of ours that the device
// accepts, in the device's order, with no ranking. A device whose format cannot be settled is released rather than
// kept half open, where a capture would read a 0 x 0 picture and succeed. Sizes: empty, negative, one side too long,
// too many bytes for a 32-bit process; the limits are inclusive.
TEST_F(CameraTest, NegotiationTakesRgb24OrTheFirstAcceptedNativeTypeElseReleasesTheDevice) {
    const std::vector<MediaFormat> natives = {{PixelFormat::Unknown, 320, 240, 0}, {PixelFormat::NV12, 1280, 720, 1280},
                                              {PixelFormat::MJPG, 1920, 1080, 0}, {PixelFormat::YUY2, 640, 480, 1280}};
    // partial: the device takes RGB24 at this size; calls: the negotiation calls expected, none where the open fails.
    const struct { bool partial; int32_t w, h; std::set<uint32_t> refused; bool currentFails; std::string calls; }
        cases[] = {
        {true, 640, 480, {1}, false, "PC"}, {false, 0, 0, {1}, false, "PN0N1U1N2U2C"},
        {false, 0, 0, {1, 2, 3}, false, ""},
        {true, 4, 2, {}, true, ""}, {true, 0, 480, {}, false, ""}, {true, 640, -480, {}, false, ""},
        {true, 16385, 16, {}, false, ""}, {true, 16, 16385, {}, false, ""}, {true, 16384, 16384, {}, false, ""},
        {true, 16384, 5461, {}, false, "PC"}, {true, 16, 16384, {}, false, "PC"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        auto fake = std::make_shared<FakeDevice>();
        fake->acceptPartialRgb24 = c.partial, fake->partialResult = {PixelFormat::RGB24, c.w, c.h, 0};
        fake->natives = natives, fake->refusedNatives = c.refused, fake->currentFormatFails = c.currentFails;
        Camera other(Opener({{LINK_A, fake}}));
        const bool opens = !c.calls.empty();
        ASSERT_EQ(other.Open(LINK_A), opens);
        EXPECT_TRUE(other.IsOpen() == opens && fake->readersAlive == int(opens) && (!opens || fake->calls == c.calls));
        const MediaFormat want = !opens ? MediaFormat{} : c.partial ? fake->partialResult : natives[2];
        EXPECT_TRUE(other.subtype() == want.subtype && other.width() == want.width && other.height() == want.height);
        EXPECT_EQ(other.lastError(), opens ? CAMERA_ERROR_NONE : CAMERA_ERROR_NO_FORMAT);
        CapturedFrame frame;
        EXPECT_TRUE(opens || (!other.GrabFrame(frame) && fake->reads == 0));
    }
    EXPECT_FALSE(Camera(ReaderOpener{}).Open(LINK_A));
    // A refused link says why, as far as the opener told, and closes the device open before.
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_TRUE(!camera.Open(LINK_DENIED) && camera.lastError() == CAMERA_ERROR_ACCESS_DENIED);
    EXPECT_TRUE(!camera.Open(L"no such device") && camera.lastError() == CAMERA_ERROR_NO_PICTURE);
    EXPECT_TRUE(!camera.IsOpen() && camera.width() == 0 && device->readersAlive == 0);
}

// Empty reads and samples too short to convert use up attempts; the end of the stream and failures end the grab at
// once and say why as far as the device told; a failed allocation is a failed grab, not an exception out of the
// camera; a failed grab leaves the frame as it was. A sample's own stride wins over the type's default, a negative
// one marking a bottom-up buffer.
TEST_F(CameraTest, GrabReadsUntilAFrameOrAFailureAndSaysWhy) {
    const FakeRead empty = Outcome(ReadOutcome::NoSample), tooShort{ReadOutcome::Sample, {9, 9, 9, 9}, 0};
    std::vector<uint8_t> rows(24, 1);  // a row of 1s, then a row of 2s
    std::fill(rows.begin() + 12, rows.end(), uint8_t{2});
    const std::vector<uint8_t> flipped(rows.rbegin(), rows.rend()), solid(24, 42), kept{1, 2, 3};
    // Reads scripted, then the default stride; the error the grab must give (NONE: grabbed), reads, pixels.
    const struct { std::deque<FakeRead> script; int32_t defaultStride; CameraError error; int reads;
                   const std::vector<uint8_t>& pixels; } cases[] = {
        {std::deque<FakeRead>(GRAB_ATTEMPTS - 1, empty), 12, CAMERA_ERROR_NONE, GRAB_ATTEMPTS, solid},
        {{tooShort, empty, tooShort, empty, tooShort, empty, tooShort, empty, tooShort, empty}, 12,
         CAMERA_ERROR_NO_PICTURE, GRAB_ATTEMPTS, kept},
        {{empty, Outcome(ReadOutcome::EndOfStream)}, 12, CAMERA_ERROR_NO_PICTURE, 2, kept},
        {{Outcome(ReadOutcome::StreamError)}, 12, CAMERA_ERROR_NO_PICTURE, 1, kept},
        {{Outcome(ReadOutcome::Failed)}, 12, CAMERA_ERROR_NO_PICTURE, 1, kept},
        {{Outcome(ReadOutcome::Failed, CAMERA_ERROR_INVALIDATED)}, 12, CAMERA_ERROR_INVALIDATED, 1, kept},
        {{Outcome(ReadOutcome::StreamError, CAMERA_ERROR_PREEMPTED)}, 12, CAMERA_ERROR_PREEMPTED, 1, kept},
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

// Failed grabs do not end the loop; StopPreview does, and no read follows it. A second start while running keeps the
// first callback. A device that keeps failing is read less and less often (not every few milliseconds for ever), the
// preview says why, a stop does not wait out the pause, and frames and a clear report come back once the device
// recovers; an allocation failure on the preview thread ends nothing. From inside the callback a still capture reads
// (the reader is not held across the callback), StartPreview refuses instead of deadlocking on its own lock,
// StopPreview ends the loop without joining its own thread, and Close is ignored; the next start joins it.
TEST_F(CameraTest, PreviewRunsPastFailuresReadingEverLessOftenUntilStopped) {
    device->script = {Frame(5), OUT_OF_MEMORY, Outcome(ReadOutcome::EndOfStream), Frame(5)};
    device->endless = Outcome(ReadOutcome::Failed, CAMERA_ERROR_PREEMPTED);
    std::atomic<int> second{0};
    EXPECT_FALSE(camera.StartPreview(Count()));  // not open yet
    ASSERT_TRUE(camera.Open(LINK_A) && camera.StartPreview(Count()));
    EXPECT_FALSE(camera.StartPreview([&](const uint8_t*, int32_t, int32_t, int32_t) { ++second; }));
    EXPECT_TRUE(FramesReach(2));
    std::this_thread::sleep_for(700ms);  // the back-off is measured over a time span
    EXPECT_EQ(camera.previewError(), CAMERA_ERROR_PREEMPTED);
    EXPECT_TRUE(device->reads <= 4 + 7 && device->reads >= 4 + 3) << device->reads << " reads: no back-off";
    const auto stopping = std::chrono::steady_clock::now();
    camera.StopPreview();
    const int reads = device->reads;
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 300ms) << "the stop waited out the pause";
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(device->reads == reads && frames == 2 && firstByte == 5 && second == 0 && camera.IsOpen());

    ASSERT_TRUE(camera.StartPreview(FrameCallback{}));  // a start without a callback runs too
    EXPECT_TRUE(ReadsReach(reads + 1));
    device->Open(Frame(6));
    EXPECT_TRUE(ReadsReach(reads + 3));
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

// While one still capture reads, the preview thread and then a second capture wait for the reader: the capture goes
// first although the preview has waited longer, so it waits for at most one read and gets the next frame.
TEST_F(CameraTest, WaitingStillCaptureGoesBeforeThePreview) {
    device->gateClosed = true;
    device->script = {Frame(1), Frame(2), Frame(3)};
    CapturedFrame first, second;
    std::atomic<bool> firstGrabbed{false}, secondGrabbed{false};
    ASSERT_TRUE(camera.Open(LINK_A));
    std::thread firstCapture([&] { firstGrabbed = camera.GrabFrame(first); });
    EXPECT_TRUE(ReadsReach(1));  // inside read 1, held at the gate
    EXPECT_TRUE(camera.StartPreview(FrameCallback{}));
    std::this_thread::sleep_for(30ms);  // nothing to poll: the preview waits for the reader
    std::thread secondCapture([&] { secondGrabbed = camera.GrabFrame(second); });
    std::this_thread::sleep_for(30ms);  // and so does the second capture
    EXPECT_EQ(device->reads, 1);
    device->Open(Frame(7));
    firstCapture.join(), secondCapture.join();
    camera.StopPreview();
    EXPECT_TRUE(firstGrabbed && secondGrabbed && !device->overlappingReads && second.pixels.at(0) == 2);
}

// The reader must outlive every read and every callback of the preview. Some cycles run until the preview delivered a
// frame, the others stop it at once, often before its thread has begun; every seventh opens another device or the
// same one again with the preview running, which stops the preview for good and releases the reader while two threads
// grab, each pausing between captures (back to back, one would always be waiting, and a waiting capture goes first);
// the last closes with the preview running. A fixed number of cycles: under Wine a cycle can take tens of
// milliseconds.
TEST_F(CameraTest, PreviewStartStopAndReopenWithConcurrentStillsNeverOverlapReads) {
    device->readDelay = deviceB->readDelay = 1ms;
    deviceB->endless = Frame(8);
    std::atomic<bool> stop{false}, callbackWithoutReader{false};
    std::atomic<int> stills{0};
    const FrameCallback checking = Count([&](uint8_t first) {
        std::this_thread::sleep_for(1ms);  // time for a release that does not wait
        if ((first == 8 ? deviceB : device)->readersAlive == 0) callbackWithoutReader = true;
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
        else if ((started = camera.Open(cycle % 2 ? LINK_A : LINK_B))) {
            const int counted = frames;
            std::this_thread::sleep_for(10ms);
            EXPECT_EQ(frames, counted) << "the preview ran on after the open";
        }
    }
    ASSERT_TRUE(started && camera.StartPreview(checking) && FramesReach(frames + 2));
    camera.Close();
    stop = true, first.join(), second.join();
    EXPECT_TRUE(stills > 0 && !camera.IsOpen() && device->readersAlive + deviceB->readersAlive == 0);
    EXPECT_FALSE(device->overlappingReads || device->releasedDuringRead || deviceB->overlappingReads ||
                 deviceB->releasedDuringRead || callbackWithoutReader);
}

}  // namespace
