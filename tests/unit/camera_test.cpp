#include "camera/camera.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <new>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct FakeRead {
    ReadOutcome outcome = ReadOutcome::Sample;
    std::vector<uint8_t> bytes;  // handed over on ReadOutcome::Sample
    int32_t stride = 0;
    CameraError error = CAMERA_ERROR_NONE;  // told on a failure
    bool outOfMemory = false;  // the read throws as an allocation that failed
};

// A solid 4 x 2 RGB24 frame: rows of exactly 12 bytes.
FakeRead Frame(uint8_t value) { return {ReadOutcome::Sample, std::vector<uint8_t>(24, value), 0}; }
FakeRead Outcome(ReadOutcome outcome, CameraError error = CAMERA_ERROR_NONE) { return {outcome, {}, 0, error}; }
FakeRead OutOfMemory() { return {ReadOutcome::Sample, {}, 0, CAMERA_ERROR_NONE, true}; }

// One scripted 4 x 2 RGB24 device that takes the partial type and delivers
// solid frames of `value`, shared by the test and the reader the camera owns so
// that the test can look at it after the camera let go. Negotiation runs on the
// test's thread; `lock` guards the script and the gate.
struct FakeDevice {
    bool acceptPartialRgb24 = true;
    MediaFormat partialResult{PixelFormat::RGB24, 4, 2, 12};
    std::vector<MediaFormat> natives;
    std::set<uint32_t> refusedNatives;
    bool currentFormatFails = false;
    std::vector<std::string> calls;  // negotiation calls in order

    std::deque<FakeRead> script;  // read first, then `endless` for ever
    FakeRead endless;
    std::chrono::milliseconds readDelay{0};
    bool gateClosed = false;  // reads wait here, already counted, until opened
    std::atomic<int> reads{0}, readersAlive{0}, readsInProgress{0};
    std::atomic<bool> overlappingReads{false}, releasedDuringRead{false};
    std::mutex lock;
    std::condition_variable changed;

    explicit FakeDevice(uint8_t value = 7) : endless(Frame(value)) {}
    bool WaitForReads(int count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, 1s, [&] { return reads >= count; });
    }
    void OpenGate() {
        std::lock_guard<std::mutex> guard(lock);
        gateClosed = false;
        changed.notify_all();
    }
};

class FakeReader final : public VideoReader {
public:
    explicit FakeReader(std::shared_ptr<FakeDevice> device) : d_(std::move(device)) { ++d_->readersAlive; }
    ~FakeReader() override {
        --d_->readersAlive;
        if (d_->readsInProgress > 0) d_->releasedDuringRead = true;
    }
    bool SetPartialType(PixelFormat subtype) override {
        d_->calls.push_back("partial");
        const bool taken = subtype == PixelFormat::RGB24 && d_->acceptPartialRgb24;
        if (taken) current_ = d_->partialResult;
        return taken;
    }
    bool GetNativeFormat(uint32_t index, MediaFormat& format) override {
        d_->calls.push_back("native " + std::to_string(index));
        if (index < d_->natives.size()) format = d_->natives[index];
        return index < d_->natives.size();
    }
    bool UseNativeFormat(uint32_t index) override {
        d_->calls.push_back("use " + std::to_string(index));
        const bool taken = index < d_->natives.size() && d_->refusedNatives.count(index) == 0;
        if (taken) current_ = d_->natives[index];
        return taken;
    }
    bool GetCurrentFormat(MediaFormat& format) override {
        d_->calls.push_back("current");
        format = current_;
        return !d_->currentFormatFails;
    }
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample, CameraError& error) override {
        FakeRead read;
        {
            std::unique_lock<std::mutex> guard(d_->lock);
            if (++d_->readsInProgress > 1) d_->overlappingReads = true;
            ++d_->reads;
            d_->changed.notify_all();
            d_->changed.wait(guard, [&] { return !d_->gateClosed; });
            read = d_->script.empty() ? d_->endless : d_->script.front();
            if (!d_->script.empty()) d_->script.pop_front();
        }
        std::this_thread::sleep_for(d_->readDelay);  // set before the camera opens
        if (read.outcome != ReadOutcome::Sample) error = read.error;
        if (read.outOfMemory) {
            --d_->readsInProgress;
            throw std::bad_alloc();
        }
        if (read.outcome == ReadOutcome::Sample) {
            onSample({read.bytes.data(), static_cast<int32_t>(read.bytes.size()), read.stride});
        }
        --d_->readsInProgress;
        return read.outcome;
    }

private:
    std::shared_ptr<FakeDevice> d_;
    MediaFormat current_;
};

const std::wstring LINK_A = L"fake:a", LINK_B = L"fake:b", LINK_DENIED = L"fake:denied";

ReaderOpener Opener(std::map<std::wstring, std::shared_ptr<FakeDevice>> devices) {
    return [devices](const std::wstring& link, CameraError& error) -> std::unique_ptr<VideoReader> {
        auto found = devices.find(link);
        if (link == LINK_DENIED) error = CAMERA_ERROR_ACCESS_DENIED;
        if (found == devices.end()) return nullptr;
        return std::make_unique<FakeReader>(found->second);
    };
}

// Counts preview frames and lets the test wait for them.
struct FrameCounter {
    std::atomic<int> frames{0};
    std::vector<int32_t> last;  // width, height, stride, first byte; read once the preview is joined

    FrameCallback Callback() {
        return [this](const uint8_t* pixels, int32_t w, int32_t h, int32_t s) {
            last = {w, h, s, pixels[0]};
            ++frames;
        };
    }
    bool WaitFor(int count) {
        for (int i = 0; i < 200 && frames < count; ++i) std::this_thread::sleep_for(10ms);
        return frames >= count;
    }
};

// The camera sees `device` behind LINK_A and `deviceB` behind LINK_B; each Open
// negotiates afresh from the device's settings. The counter outlives the
// camera, whose preview may still be calling it.
class CameraTest : public testing::Test {
protected:
    FrameCounter counter;
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>(), deviceB = std::make_shared<FakeDevice>(2);
    Camera camera{Opener({{LINK_A, device}, {LINK_B, deviceB}})};
};
using CameraNegotiation = CameraTest;
using CameraGrab = CameraTest;
using CameraPreview = CameraTest;

// RGB24 is taken directly, without looking at the native types; otherwise the
// first type of ours that the device accepts, in the device's order, with no
// ranking by size or subtype.
TEST_F(CameraNegotiation, Rgb24DirectlyElseTheFirstAcceptedNativeTypeInDeviceOrder) {
    device->partialResult = {PixelFormat::RGB24, 640, 480, 1920};
    device->natives = {{PixelFormat::Unknown, 320, 240, 0},
                       {PixelFormat::NV12, 1280, 720, 1280},
                       {PixelFormat::MJPG, 1920, 1080, 0},
                       {PixelFormat::YUY2, 640, 480, 1280}};
    device->refusedNatives = {1};
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_EQ(camera.subtype(), PixelFormat::RGB24);
    EXPECT_TRUE(camera.width() == 640 && camera.height() == 480);
    EXPECT_EQ(device->calls, (std::vector<std::string>{"partial", "current"}));

    device->acceptPartialRgb24 = false;
    device->calls.clear();
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_EQ(camera.subtype(), PixelFormat::MJPG);
    EXPECT_TRUE(camera.width() == 1920 && camera.height() == 1080);
    EXPECT_EQ(device->calls, (std::vector<std::string>{"partial", "native 0", "native 1", "use 1",
                                                       "native 2", "use 2", "current"}));
}

// A device whose format cannot be settled is released rather than kept half
// open, where a capture would read it as a 0 x 0 picture and report success.
TEST_F(CameraNegotiation, FailedNegotiationReleasesTheReader) {
    std::vector<std::shared_ptr<FakeDevice>> failing;
    auto add = [&] { return failing.emplace_back(std::make_shared<FakeDevice>()); };
    auto noneOfOurs = add();
    noneOfOurs->acceptPartialRgb24 = false;
    noneOfOurs->natives = {{PixelFormat::Unknown, 640, 480, 0}};
    auto allRefused = add();
    allRefused->acceptPartialRgb24 = false;
    allRefused->natives = {{PixelFormat::YUY2, 640, 480, 1280}};
    allRefused->refusedNatives = {0};
    add()->currentFormatFails = true;
    // Empty, negative, one side too long, too many bytes for a 32-bit process.
    const std::pair<int32_t, int32_t> badSizes[] = {{0, 480}, {640, -480}, {16385, 16}, {16384, 16384}};
    for (const auto& [w, h] : badSizes) add()->partialResult = {PixelFormat::RGB24, w, h, 0};

    for (size_t i = 0; i < failing.size(); ++i) {
        SCOPED_TRACE(i);
        Camera other(Opener({{LINK_A, failing[i]}}));
        EXPECT_FALSE(other.Open(LINK_A));
        EXPECT_FALSE(other.IsOpen());
        EXPECT_TRUE(other.width() == 0 && other.height() == 0);
        EXPECT_EQ(failing[i]->readersAlive, 0);
        CapturedFrame frame;
        EXPECT_FALSE(other.GrabFrame(frame));
        EXPECT_EQ(failing[i]->reads, 0);
    }
    EXPECT_FALSE(Camera(ReaderOpener{}).Open(LINK_A));

    // An unknown link fails too, once the device open before is closed.
    device->partialResult = {PixelFormat::RGB24, 7680, 4320, 0};
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_FALSE(camera.Open(L"no such device"));
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(camera.width(), 0);
    EXPECT_EQ(device->readersAlive, 0);
}

TEST_F(CameraGrab, EmptyReadsUseUpAttemptsAndFailuresEndTheGrabAtOnce) {
    device->endless = Frame(42);
    device->script.assign(GRAB_ATTEMPTS - 1, Outcome(ReadOutcome::NoSample));
    ASSERT_TRUE(camera.Open(LINK_A));
    CapturedFrame frame;
    ASSERT_TRUE(camera.GrabFrame(frame));
    EXPECT_EQ(device->reads, GRAB_ATTEMPTS);
    EXPECT_TRUE(frame.width == 4 && frame.height == 2);
    EXPECT_EQ(frame.pixels, std::vector<uint8_t>(24, 42));

    // Ten reads without a frame: empty reads and samples too short to convert.
    for (int i = 0; i < GRAB_ATTEMPTS; ++i) {
        device->script.push_back(i % 2 ? Outcome(ReadOutcome::NoSample)
                                       : FakeRead{ReadOutcome::Sample, {9, 9, 9, 9}, 0});
    }
    CapturedFrame untouched{{1, 2, 3}, 77, 0, 0};
    EXPECT_FALSE(camera.GrabFrame(untouched));
    EXPECT_EQ(device->reads, 2 * GRAB_ATTEMPTS);

    for (ReadOutcome outcome : {ReadOutcome::EndOfStream, ReadOutcome::StreamError, ReadOutcome::Failed}) {
        const int reads = device->reads;
        device->script.push_back(Outcome(outcome));
        EXPECT_FALSE(camera.GrabFrame(untouched)) << static_cast<int>(outcome);
        EXPECT_EQ(device->reads, reads + 1);
    }
    EXPECT_EQ(untouched.pixels, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(untouched.width, 77);
}

// Every failure says why, as far as the device told: the opener's and the
// read's own codes, "no format" and "no picture" for what we found ourselves.
// An allocation that fails while a frame is made is a failed grab, not an
// exception out of the camera; the next grab works again.
TEST_F(CameraGrab, FailuresSayWhyAndAnAllocationFailureIsAFailedGrab) {
    EXPECT_FALSE(camera.Open(LINK_DENIED));
    EXPECT_EQ(camera.lastError(), CAMERA_ERROR_ACCESS_DENIED);
    device->acceptPartialRgb24 = false;
    EXPECT_FALSE(camera.Open(LINK_A));
    EXPECT_EQ(camera.lastError(), CAMERA_ERROR_NO_FORMAT);
    device->acceptPartialRgb24 = true;
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_EQ(camera.lastError(), CAMERA_ERROR_NONE);
    EXPECT_FALSE(camera.firstFrameTime());

    device->script = {Outcome(ReadOutcome::Failed, CAMERA_ERROR_INVALIDATED), OutOfMemory(),
                      Outcome(ReadOutcome::StreamError), Frame(1)};
    const CameraError expected[] = {CAMERA_ERROR_INVALIDATED, CAMERA_ERROR_OUT_OF_MEMORY, CAMERA_ERROR_NO_PICTURE,
                                    CAMERA_ERROR_NONE};
    CapturedFrame frame;
    for (CameraError error : expected) {
        EXPECT_EQ(camera.GrabFrame(frame), error == CAMERA_ERROR_NONE);
        EXPECT_EQ(camera.lastError(), error);
    }
    EXPECT_TRUE(camera.firstFrameTime());
    device->script.assign(GRAB_ATTEMPTS, Outcome(ReadOutcome::NoSample));
    EXPECT_FALSE(camera.GrabFrame(frame));
    EXPECT_EQ(camera.lastError(), CAMERA_ERROR_NO_PICTURE);
    camera.Close();
    EXPECT_FALSE(camera.firstFrameTime());
}

// Memory holds a row of 1s, then a row of 2s. The sample's own stride wins
// over the type's default; a negative one marks a bottom-up buffer, already in
// the output's row order.
TEST_F(CameraGrab, SampleStrideWinsOverTheDefaultStride) {
    std::vector<uint8_t> rows(24, 1);
    std::fill(rows.begin() + 12, rows.end(), uint8_t{2});
    const std::vector<uint8_t> flipped(rows.rbegin(), rows.rend());
    const struct { int32_t sampleStride, defaultStride; bool bottomUp; } cases[] = {
        {-12, 0, true}, {0, -12, true}, {12, -12, false}, {0, 0, false}};
    for (const auto& c : cases) {
        device->partialResult.defaultStride = c.defaultStride;
        device->endless = {ReadOutcome::Sample, rows, c.sampleStride};
        ASSERT_TRUE(camera.Open(LINK_A));
        CapturedFrame frame;
        ASSERT_TRUE(camera.GrabFrame(frame));
        EXPECT_EQ(frame.pixels, c.bottomUp ? rows : flipped) << c.sampleStride << " / " << c.defaultStride;
    }
}

// Failed grabs do not end the loop; StopPreview does, and no read follows it.
// A second start while running keeps the first callback.
TEST_F(CameraPreview, DeliversFramesPastFailedGrabsUntilStopped) {
    device->endless = Frame(5);
    device->script = {Outcome(ReadOutcome::Failed), Outcome(ReadOutcome::EndOfStream)};
    device->readDelay = 1ms;
    FrameCounter second;
    EXPECT_FALSE(camera.StartPreview(counter.Callback()));  // not open yet
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    EXPECT_FALSE(camera.StartPreview(second.Callback()));
    ASSERT_TRUE(counter.WaitFor(3));
    camera.StopPreview();
    const int frames = counter.frames;
    const int reads = device->reads;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(counter.frames, frames);
    EXPECT_EQ(device->reads, reads);
    EXPECT_EQ(second.frames, 0);
    EXPECT_EQ(counter.last, (std::vector<int32_t>{4, 2, 12, 5}));
    EXPECT_TRUE(camera.IsOpen());

    ASSERT_TRUE(camera.StartPreview(FrameCallback{}));  // runs without a callback
    EXPECT_TRUE(device->WaitForReads(reads + 3));
}

// A device that keeps failing is read less and less often (not every few
// milliseconds for ever), the preview says why, a stop does not wait out the
// pause, and frames and a clear report come back once the device recovers; an
// allocation failure on the preview thread ends nothing.
TEST_F(CameraPreview, FailingDeviceIsReadEverLessOftenAndReportedUntilItRecovers) {
    device->script = {OutOfMemory()};
    device->endless = Outcome(ReadOutcome::Failed, CAMERA_ERROR_PREEMPTED);
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(camera.previewError(), CAMERA_ERROR_PREEMPTED);
    EXPECT_LE(device->reads, 7) << "no back-off";
    EXPECT_GE(device->reads, 3);
    const auto stopping = std::chrono::steady_clock::now();
    camera.StopPreview();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 300ms) << "the stop waited out the pause";

    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    EXPECT_TRUE(device->WaitForReads(device->reads + 1));
    {
        std::lock_guard<std::mutex> guard(device->lock);
        device->endless = Frame(6);
    }
    EXPECT_TRUE(counter.WaitFor(1));
    EXPECT_EQ(camera.previewError(), CAMERA_ERROR_NONE);
    camera.StopPreview();
}

// The reader must outlive every read and every callback of the preview, and
// Open on another device stops the preview for good.
TEST_F(CameraPreview, CloseAndOpenJoinThePreviewBeforeTheReaderGoes) {
    device->readDelay = 2ms;
    std::atomic<bool> callbackWithoutReader{false};
    FrameCallback count = counter.Callback();
    FrameCallback checking = [&, count](const uint8_t* p, int32_t w, int32_t h, int32_t s) {
        std::this_thread::sleep_for(1ms);  // time for a release that does not wait
        if (device->readersAlive == 0) callbackWithoutReader = true;
        count(p, w, h, s);
    };
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(checking));
    EXPECT_TRUE(counter.WaitFor(2));
    camera.Close();
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(device->readersAlive, 0);

    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(checking));
    EXPECT_TRUE(counter.WaitFor(4));
    ASSERT_TRUE(camera.Open(LINK_B));
    EXPECT_EQ(device->readersAlive, 0);
    const int frames = counter.frames;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(deviceB->reads, 0);
    EXPECT_EQ(counter.frames, frames);
    EXPECT_FALSE(device->releasedDuringRead);
    EXPECT_FALSE(callbackWithoutReader);
}

// From inside the callback: a still capture reads (the reader is not held
// across the callback), StartPreview refuses instead of deadlocking on its own
// lock, and StopPreview ends the loop without joining its own thread.
TEST_F(CameraPreview, CallbackMayGrabAndStopButNotRestart) {
    device->endless = Frame(3);
    std::atomic<bool> grabbed{false}, restarted{true};
    FrameCallback count = counter.Callback();
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview([&, count](const uint8_t* p, int32_t w, int32_t h, int32_t s) {
        CapturedFrame still;
        grabbed = camera.GrabFrame(still) && still.pixels.size() == 24 && still.pixels[0] == 3;
        restarted = camera.StartPreview(FrameCallback{});
        camera.StopPreview();
        camera.Close();  // ignored from here
        count(p, w, h, s);
    }));
    EXPECT_TRUE(counter.WaitFor(1));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(counter.frames, 1);
    EXPECT_TRUE(grabbed);
    EXPECT_FALSE(restarted);
    EXPECT_TRUE(camera.IsOpen());

    // The stopped loop's thread is joined by the next start.
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    EXPECT_TRUE(counter.WaitFor(3));
    camera.Close();
}

// While one still capture reads, the preview thread and then a second still
// capture wait for the reader: the capture goes first, although the preview
// has waited longer, so it waits for at most one read and gets the next frame.
TEST_F(CameraPreview, WaitingStillCaptureGoesBeforeThePreview) {
    device->gateClosed = true;
    device->script = {Frame(1), Frame(2), Frame(3)};
    CapturedFrame first, second;
    std::atomic<bool> firstGrabbed{false}, secondGrabbed{false};
    ASSERT_TRUE(camera.Open(LINK_A));

    std::thread firstCapture([&] { firstGrabbed = camera.GrabFrame(first); });
    EXPECT_TRUE(device->WaitForReads(1));  // inside read 1, held at the gate
    EXPECT_TRUE(camera.StartPreview(FrameCallback{}));
    std::this_thread::sleep_for(30ms);  // the preview waits for the reader
    std::thread secondCapture([&] { secondGrabbed = camera.GrabFrame(second); });
    std::this_thread::sleep_for(30ms);  // so does the second capture
    EXPECT_EQ(device->reads, 1);
    device->OpenGate();
    firstCapture.join();
    secondCapture.join();
    camera.StopPreview();

    EXPECT_TRUE(firstGrabbed);
    ASSERT_TRUE(secondGrabbed);
    EXPECT_EQ(second.pixels[0], 2);
    EXPECT_FALSE(device->overlappingReads);
}

TEST_F(CameraPreview, StartStopAndReopenWithConcurrentStillsNeverOverlapReads) {
    ASSERT_TRUE(camera.Open(LINK_A));
    std::atomic<bool> stop{false};
    std::atomic<int> stills{0};
    // Each grabber pauses between captures: two back to back would always have
    // one waiting, and a waiting capture goes before the preview.
    auto grabber = [&] {
        for (CapturedFrame frame; !stop; std::this_thread::sleep_for(1ms)) {
            if (camera.GrabFrame(frame)) ++stills;
        }
    };
    std::thread first(grabber), second(grabber);
    // A fixed number of cycles, not a time budget: under Wine a cycle can take
    // tens of milliseconds. Some cycles run until the preview has delivered a
    // frame; the others stop it at once, often before its thread has begun.
    bool started = true;
    for (int cycle = 0; started && cycle < 60; ++cycle) {
        started = camera.StartPreview(counter.Callback());
        if (cycle % 4 == 0) {
            EXPECT_TRUE(counter.WaitFor(counter.frames + 1));
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200 * (cycle % 5)));
        }
        camera.StopPreview();
        // Reopening releases the reader while the other threads grab.
        if (cycle % 7 == 6) started = camera.Open(LINK_A);
    }
    stop = true;
    first.join();
    second.join();

    EXPECT_TRUE(started);
    EXPECT_FALSE(device->overlappingReads || device->releasedDuringRead);
    EXPECT_GT(stills.load(), 0);
}

}  // namespace
