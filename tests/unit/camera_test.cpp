#include "camera/camera.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
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
};

// A solid 4 x 2 RGB24 frame: rows of exactly 12 bytes.
FakeRead Frame(uint8_t value) { return {ReadOutcome::Sample, std::vector<uint8_t>(24, value), 0}; }
FakeRead Outcome(ReadOutcome outcome) { return {outcome, {}, 0}; }

// One scripted device, shared by the test and the reader the camera owns so
// that it can be inspected after the camera let go. Negotiation runs on the
// test's thread; `lock` guards the read side.
struct FakeDevice {
    bool acceptPartialRgb24 = true;
    MediaFormat partialResult{PixelFormat::RGB24, 4, 2, 12};
    std::vector<MediaFormat> natives;
    std::set<uint32_t> refusedNatives;
    bool currentFormatFails = false;
    std::vector<std::string> calls;  // negotiation calls in order

    std::deque<FakeRead> script;  // read first, then `endless` for ever
    FakeRead endless = Frame(7);
    std::chrono::milliseconds readDelay{0};
    bool gateClosed = false;  // reads wait here, already counted, until opened
    int reads = 0, readersAlive = 0, readsInProgress = 0;
    bool overlappingReads = false, releasedDuringRead = false;
    std::mutex lock;
    std::condition_variable changed;

    template <typename T>
    T Get(const T& field) {
        std::lock_guard<std::mutex> guard(lock);
        return field;
    }
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
    explicit FakeReader(std::shared_ptr<FakeDevice> device) : d_(std::move(device)) {
        std::lock_guard<std::mutex> guard(d_->lock);
        ++d_->readersAlive;
    }
    ~FakeReader() override {
        std::lock_guard<std::mutex> guard(d_->lock);
        --d_->readersAlive;
        if (d_->readsInProgress > 0) d_->releasedDuringRead = true;
    }
    bool SetPartialType(PixelFormat subtype) override {
        d_->calls.push_back("partial");
        if (subtype != PixelFormat::RGB24 || !d_->acceptPartialRgb24) return false;
        current_ = d_->partialResult;
        return true;
    }
    bool GetNativeFormat(uint32_t index, MediaFormat& format) override {
        d_->calls.push_back("native " + std::to_string(index));
        if (index >= d_->natives.size()) return false;
        format = d_->natives[index];
        return true;
    }
    bool UseNativeFormat(uint32_t index) override {
        d_->calls.push_back("use " + std::to_string(index));
        if (index >= d_->natives.size() || d_->refusedNatives.count(index) != 0) return false;
        current_ = d_->natives[index];
        return true;
    }
    bool GetCurrentFormat(MediaFormat& format) override {
        d_->calls.push_back("current");
        format = current_;
        return !d_->currentFormatFails;
    }
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample) override {
        FakeRead read;
        std::chrono::milliseconds delay;
        {
            std::unique_lock<std::mutex> guard(d_->lock);
            if (++d_->readsInProgress > 1) d_->overlappingReads = true;
            ++d_->reads;
            d_->changed.notify_all();
            d_->changed.wait(guard, [&] { return !d_->gateClosed; });
            if (d_->script.empty()) {
                read = d_->endless;
            } else {
                read = std::move(d_->script.front());
                d_->script.pop_front();
            }
            delay = d_->readDelay;
        }
        std::this_thread::sleep_for(delay);
        if (read.outcome == ReadOutcome::Sample) {
            onSample({read.bytes.data(), static_cast<int32_t>(read.bytes.size()), read.stride});
        }
        std::lock_guard<std::mutex> guard(d_->lock);
        --d_->readsInProgress;
        return read.outcome;
    }

private:
    std::shared_ptr<FakeDevice> d_;
    MediaFormat current_;
};

const std::wstring LINK_A = L"fake:a";
const std::wstring LINK_B = L"fake:b";

ReaderOpener Opener(std::map<std::wstring, std::shared_ptr<FakeDevice>> devices) {
    return [devices](const std::wstring& link) -> std::unique_ptr<VideoReader> {
        auto found = devices.find(link);
        if (found == devices.end()) return nullptr;
        return std::make_unique<FakeReader>(found->second);
    };
}

// A 4 x 2 RGB24 device that takes the partial type and delivers solid frames.
std::shared_ptr<FakeDevice> Device(uint8_t value = 7) {
    auto device = std::make_shared<FakeDevice>();
    device->endless = Frame(value);
    return device;
}

// Counts preview frames and lets the test wait for them.
struct FrameCounter {
    std::mutex lock;
    std::condition_variable arrived;
    int frames = 0;
    int32_t width = 0, height = 0, stride = 0;
    uint8_t firstByte = 0;

    FrameCallback Callback() {
        return [this](const uint8_t* pixels, int32_t w, int32_t h, int32_t s) {
            std::lock_guard<std::mutex> guard(lock);
            ++frames;
            width = w;
            height = h;
            stride = s;
            firstByte = pixels[0];
            arrived.notify_all();
        };
    }
    bool WaitFor(int count) {
        std::unique_lock<std::mutex> guard(lock);
        return arrived.wait_for(guard, 2s, [&] { return frames >= count; });
    }
    int Frames() {
        std::lock_guard<std::mutex> guard(lock);
        return frames;
    }
};

TEST(CameraNegotiation, Rgb24TakenDirectlyNeverLooksAtNativeTypes) {
    auto device = Device();
    device->partialResult = {PixelFormat::RGB24, 640, 480, 1920};
    device->natives = {{PixelFormat::YUY2, 320, 240, 640}};
    Camera camera(Opener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_EQ(camera.width(), 640);
    EXPECT_EQ(camera.height(), 480);
    EXPECT_EQ(camera.subtype(), PixelFormat::RGB24);
    EXPECT_EQ(device->calls, (std::vector<std::string>{"partial", "current"}));
}

// No ranking by size or subtype: the first type of ours that the device
// accepts, in the device's order.
TEST(CameraNegotiation, WalkTakesTheFirstAcceptedMatchInDeviceOrder) {
    auto device = Device();
    device->acceptPartialRgb24 = false;
    device->natives = {{PixelFormat::Unknown, 320, 240, 0},
                       {PixelFormat::NV12, 1280, 720, 1280},
                       {PixelFormat::MJPG, 1920, 1080, 0},
                       {PixelFormat::YUY2, 640, 480, 1280}};
    device->refusedNatives = {1};
    Camera camera(Opener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_EQ(camera.subtype(), PixelFormat::MJPG);
    EXPECT_EQ(camera.width(), 1920);
    EXPECT_EQ(camera.height(), 1080);
    EXPECT_EQ(device->calls, (std::vector<std::string>{"partial", "native 0", "native 1", "use 1",
                                                       "native 2", "use 2", "current"}));
}

// A device whose format cannot be settled is released rather than kept half
// open, where a capture would read it as a 0 x 0 picture and report success.
TEST(CameraNegotiation, FailedNegotiationReleasesTheReader) {
    std::vector<std::shared_ptr<FakeDevice>> failing;
    auto add = [&] { return failing.emplace_back(Device()); };
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
        const auto& device = failing[i];
        Camera camera(Opener({{LINK_A, device}}));
        EXPECT_FALSE(camera.Open(LINK_A));
        EXPECT_FALSE(camera.IsOpen());
        EXPECT_EQ(camera.width(), 0);
        EXPECT_EQ(camera.height(), 0);
        EXPECT_EQ(device->Get(device->readersAlive), 0);
        CapturedFrame frame;
        EXPECT_FALSE(camera.GrabFrame(frame));
        EXPECT_EQ(device->Get(device->reads), 0);
    }
    auto eightK = Device();
    eightK->partialResult = {PixelFormat::RGB24, 7680, 4320, 0};
    EXPECT_TRUE(Camera(Opener({{LINK_A, eightK}})).Open(LINK_A));
}

TEST(CameraNegotiation, UnknownLinkClosesThePreviousDeviceAndFails) {
    auto device = Device();
    Camera camera(Opener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_FALSE(camera.Open(L"no such device"));
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(camera.width(), 0);
    EXPECT_EQ(device->Get(device->readersAlive), 0);
    camera.Close();

    Camera noOpener{ReaderOpener{}};
    EXPECT_FALSE(noOpener.Open(LINK_A));
}

TEST(CameraGrab, EmptyAndUnusableReadsUseUpTheAttempts) {
    auto device = Device(42);
    device->script.assign(GRAB_ATTEMPTS - 1, Outcome(ReadOutcome::NoSample));
    Camera camera(Opener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));
    CapturedFrame frame;
    ASSERT_TRUE(camera.GrabFrame(frame));
    EXPECT_EQ(device->Get(device->reads), GRAB_ATTEMPTS);
    EXPECT_EQ(frame.width, 4);
    EXPECT_EQ(frame.height, 2);
    EXPECT_EQ(frame.pixels, std::vector<uint8_t>(24, 42));

    // Ten reads without a frame: empty reads and samples too short to convert.
    for (int i = 0; i < GRAB_ATTEMPTS; ++i) {
        device->script.push_back(i % 2 ? Outcome(ReadOutcome::NoSample)
                                       : FakeRead{ReadOutcome::Sample, {9, 9, 9, 9}, 0});
    }
    CapturedFrame untouched;
    untouched.pixels = {1, 2, 3};
    untouched.width = 77;
    EXPECT_FALSE(camera.GrabFrame(untouched));
    EXPECT_EQ(device->Get(device->reads), 2 * GRAB_ATTEMPTS);
    EXPECT_EQ(untouched.pixels, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(untouched.width, 77);
}

TEST(CameraGrab, EndOfStreamErrorsAndFailedReadsEndTheGrabAtOnce) {
    for (ReadOutcome outcome : {ReadOutcome::EndOfStream, ReadOutcome::StreamError, ReadOutcome::Failed}) {
        auto device = Device();
        device->script.push_back(Outcome(outcome));
        Camera camera(Opener({{LINK_A, device}}));
        ASSERT_TRUE(camera.Open(LINK_A));
        CapturedFrame frame;
        EXPECT_FALSE(camera.GrabFrame(frame)) << static_cast<int>(outcome);
        EXPECT_EQ(device->Get(device->reads), 1);
        EXPECT_TRUE(frame.pixels.empty());
    }
}

// Memory holds a row of 1s, then a row of 2s. The sample's own stride wins
// over the type's default; a negative one marks a bottom-up buffer, already in
// the output's row order.
TEST(CameraGrab, SampleStrideWinsOverTheDefaultStride) {
    std::vector<uint8_t> rows(24, 1);
    std::fill(rows.begin() + 12, rows.end(), uint8_t{2});
    const std::vector<uint8_t> flipped(rows.rbegin(), rows.rend());
    const struct {
        int32_t sampleStride, defaultStride;
        bool bottomUp;
    } cases[] = {{-12, 0, true}, {0, -12, true}, {12, -12, false}, {0, 0, false}};
    for (const auto& c : cases) {
        auto device = Device();
        device->partialResult.defaultStride = c.defaultStride;
        device->endless = {ReadOutcome::Sample, rows, c.sampleStride};
        Camera camera(Opener({{LINK_A, device}}));
        ASSERT_TRUE(camera.Open(LINK_A));
        CapturedFrame frame;
        ASSERT_TRUE(camera.GrabFrame(frame));
        EXPECT_EQ(frame.pixels, c.bottomUp ? rows : flipped) << c.sampleStride << " / " << c.defaultStride;
    }
}

// Failed grabs do not end the loop; StopPreview does, and no read follows it.
// A second start while running keeps the first callback.
TEST(CameraPreview, DeliversFramesPastFailedGrabsUntilStopped) {
    auto device = Device(5);
    device->script = {Outcome(ReadOutcome::Failed), Outcome(ReadOutcome::EndOfStream)};
    device->readDelay = 1ms;
    FrameCounter counter, second;
    Camera camera(Opener({{LINK_A, device}}));
    EXPECT_FALSE(camera.StartPreview(counter.Callback()));  // not open yet
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    EXPECT_FALSE(camera.StartPreview(second.Callback()));
    ASSERT_TRUE(counter.WaitFor(3));
    camera.StopPreview();
    const int frames = counter.Frames();
    const int reads = device->Get(device->reads);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(counter.Frames(), frames);
    EXPECT_EQ(device->Get(device->reads), reads);
    EXPECT_EQ(second.Frames(), 0);
    EXPECT_EQ(counter.width, 4);
    EXPECT_EQ(counter.height, 2);
    EXPECT_EQ(counter.stride, 12);
    EXPECT_EQ(counter.firstByte, 5);
    EXPECT_TRUE(camera.IsOpen());

    ASSERT_TRUE(camera.StartPreview(FrameCallback{}));  // runs without a callback
    EXPECT_TRUE(device->WaitForReads(reads + 3));
}

// The reader must outlive every read and every callback of the preview, and
// Open on another device stops the preview for good.
TEST(CameraPreview, CloseAndOpenJoinThePreviewBeforeTheReaderGoes) {
    auto deviceA = Device(1);
    auto deviceB = Device(2);
    deviceA->readDelay = 2ms;
    std::atomic<bool> callbackWithoutReader{false};
    FrameCounter counter;
    FrameCallback count = counter.Callback();
    FrameCallback checking = [&, count](const uint8_t* p, int32_t w, int32_t h, int32_t s) {
        if (deviceA->Get(deviceA->readersAlive) == 0) callbackWithoutReader = true;
        std::this_thread::sleep_for(1ms);
        count(p, w, h, s);
    };
    Camera camera(Opener({{LINK_A, deviceA}, {LINK_B, deviceB}}));
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(checking));
    ASSERT_TRUE(counter.WaitFor(2));
    camera.Close();
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(deviceA->Get(deviceA->readersAlive), 0);

    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(checking));
    ASSERT_TRUE(counter.WaitFor(4));
    ASSERT_TRUE(camera.Open(LINK_B));
    EXPECT_EQ(deviceA->Get(deviceA->readersAlive), 0);
    const int frames = counter.Frames();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(deviceB->Get(deviceB->reads), 0);
    EXPECT_EQ(counter.Frames(), frames);
    EXPECT_FALSE(deviceA->releasedDuringRead);
    EXPECT_FALSE(callbackWithoutReader);

    CapturedFrame frame;
    ASSERT_TRUE(camera.GrabFrame(frame));
    EXPECT_EQ(frame.pixels[0], 2);
}

// From inside the callback: a still capture reads (the reader is not held
// across the callback), StartPreview refuses instead of deadlocking on its own
// lock, and StopPreview ends the loop without joining its own thread.
TEST(CameraPreview, CallbackMayGrabAndStopButNotRestart) {
    auto device = Device(3);
    std::atomic<bool> grabbed{false}, restarted{true};
    FrameCounter calls, counter;
    FrameCallback count = calls.Callback();
    Camera camera(Opener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview([&, count](const uint8_t* p, int32_t w, int32_t h, int32_t s) {
        CapturedFrame still;
        grabbed = camera.GrabFrame(still) && still.pixels.size() == 24 && still.pixels[0] == 3;
        restarted = camera.StartPreview(FrameCallback{});
        camera.StopPreview();
        camera.Close();  // ignored from here
        count(p, w, h, s);
    }));
    ASSERT_TRUE(calls.WaitFor(1));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(calls.Frames(), 1);
    EXPECT_TRUE(grabbed);
    EXPECT_FALSE(restarted);
    EXPECT_TRUE(camera.IsOpen());

    // The stopped loop's thread is joined by the next start.
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    EXPECT_TRUE(counter.WaitFor(2));
    camera.Close();
}

// While one still capture reads, the preview thread and then a second still
// capture wait for the reader: the capture goes first, although the preview
// has waited longer, so it waits for at most one read and gets the next frame.
TEST(CameraPreview, WaitingStillCaptureGoesBeforeThePreview) {
    auto device = Device();
    device->gateClosed = true;
    device->script = {Frame(1), Frame(2), Frame(3)};
    CapturedFrame first, second;
    std::atomic<bool> firstGrabbed{false}, secondGrabbed{false};
    Camera camera(Opener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));

    std::thread firstCapture([&] { firstGrabbed = camera.GrabFrame(first); });
    EXPECT_TRUE(device->WaitForReads(1));  // inside read 1, held at the gate
    EXPECT_TRUE(camera.StartPreview(FrameCallback{}));
    std::this_thread::sleep_for(30ms);  // the preview waits for the reader
    std::thread secondCapture([&] { secondGrabbed = camera.GrabFrame(second); });
    std::this_thread::sleep_for(30ms);  // so does the second capture
    EXPECT_EQ(device->Get(device->reads), 1);
    device->OpenGate();
    firstCapture.join();
    secondCapture.join();
    camera.StopPreview();

    EXPECT_TRUE(firstGrabbed);
    ASSERT_TRUE(secondGrabbed);
    EXPECT_EQ(second.pixels[0], 2);
    EXPECT_FALSE(device->overlappingReads);
}

TEST(CameraPreview, StartStopAndReopenWithConcurrentStillsNeverOverlapReads) {
    auto device = Device();
    FrameCounter counter;
    Camera camera(Opener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));

    std::atomic<bool> stop{false};
    std::atomic<int> stills{0};
    auto grabber = [&] {
        CapturedFrame frame;
        while (!stop) {
            if (camera.GrabFrame(frame)) ++stills;
        }
    };
    std::thread first(grabber), second(grabber);
    // A fixed number of cycles, not a time budget: under Wine a cycle can take
    // tens of milliseconds.
    constexpr int CYCLES = 60;
    int cycles = 0;
    bool started = true;
    while (started && cycles < CYCLES) {
        started = camera.StartPreview(counter.Callback());
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (cycles % 5)));
        camera.StopPreview();
        // Reopening releases the reader while the other threads grab.
        if (cycles % 7 == 6) started = camera.Open(LINK_A);
        ++cycles;
    }
    stop = true;
    first.join();
    second.join();

    EXPECT_TRUE(started);
    EXPECT_FALSE(device->overlappingReads);
    EXPECT_FALSE(device->releasedDuringRead);
    EXPECT_GT(stills.load(), 0);
    EXPECT_GT(counter.Frames(), 0);
    EXPECT_EQ(cycles, CYCLES);
}

}  // namespace
