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
FakeRead Frame(uint8_t value) { return {ReadOutcome::Sample, std::vector<uint8_t>(24, value)}; }
FakeRead Outcome(ReadOutcome outcome, CameraError error = CAMERA_ERROR_NONE) { return {outcome, {}, 0, error}; }
const FakeRead OUT_OF_MEMORY{ReadOutcome::Sample, {}, 0, CAMERA_ERROR_NONE, true};

// One scripted 4 x 2 RGB24 device that takes the partial type and delivers
// solid frames, shared by the test and the reader the camera owns so that the
// test can look at it after the camera let go. Negotiation runs on the test's
// thread; `lock` guards the script and the gate.
struct FakeDevice {
    bool acceptPartialRgb24 = true, currentFormatFails = false;
    MediaFormat partialResult{PixelFormat::RGB24, 4, 2, 12};
    std::vector<MediaFormat> natives;
    std::set<uint32_t> refusedNatives;
    std::vector<std::string> calls;  // negotiation calls in order

    std::deque<FakeRead> script;  // read first, then `endless` for ever
    FakeRead endless = Frame(7);
    std::chrono::milliseconds readDelay{0};  // set before the camera opens
    bool gateClosed = false;  // reads wait here, already counted, until opened
    std::atomic<int> reads{0}, readersAlive{0}, readsInProgress{0};
    std::atomic<bool> overlappingReads{false}, releasedDuringRead{false};
    std::mutex lock;
    std::condition_variable changed;

    bool WaitForReads(int count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, 1s, [&] { return reads >= count; });
    }
    void Set(bool gate, const FakeRead& next) {
        std::lock_guard<std::mutex> guard(lock);
        gateClosed = gate, endless = next;
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
        return subtype == PixelFormat::RGB24 && d_->acceptPartialRgb24 && Take(d_->partialResult);
    }
    bool GetNativeFormat(uint32_t index, MediaFormat& format) override {
        d_->calls.push_back("native " + std::to_string(index));
        if (index < d_->natives.size()) format = d_->natives[index];
        return index < d_->natives.size();
    }
    bool UseNativeFormat(uint32_t index) override {
        d_->calls.push_back("use " + std::to_string(index));
        return index < d_->natives.size() && d_->refusedNatives.count(index) == 0 && Take(d_->natives[index]);
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
        std::this_thread::sleep_for(d_->readDelay);
        struct Leave {
            FakeDevice& d;
            ~Leave() { --d.readsInProgress; }
        } leave{*d_};
        if (read.outOfMemory) throw std::bad_alloc();
        if (read.outcome != ReadOutcome::Sample) error = read.error;
        else onSample({read.bytes.data(), static_cast<int32_t>(read.bytes.size()), read.stride});
        return read.outcome;
    }

private:
    bool Take(const MediaFormat& format) { return current_ = format, true; }
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
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>(), deviceB = std::make_shared<FakeDevice>();
    Camera camera{Opener({{LINK_A, device}, {LINK_B, deviceB}})};
};
using CameraNegotiation = CameraTest;
using CameraGrab = CameraTest;
using CameraPreview = CameraTest;

// Negotiation, one device per row: RGB24 is taken directly without looking at
// the native types; otherwise the first type of ours that the device accepts,
// in the device's order, with no ranking by size or subtype. A device whose
// format cannot be settled is released rather than kept half open, where a
// capture would read it as a 0 x 0 picture and report success.
TEST_F(CameraNegotiation, TakesRgb24OrTheFirstAcceptedNativeTypeElseReleasesTheDevice) {
    const std::vector<MediaFormat> natives = {{PixelFormat::Unknown, 320, 240, 0}, {PixelFormat::NV12, 1280, 720, 1280},
                                              {PixelFormat::MJPG, 1920, 1080, 0}, {PixelFormat::YUY2, 640, 480, 1280}};
    const struct {
        bool partial;
        MediaFormat partialResult;
        std::set<uint32_t> refused;
        bool currentFails;
        PixelFormat subtype;  // Unknown: the open fails
        std::vector<std::string> calls;
    } cases[] = {
        {true, {PixelFormat::RGB24, 640, 480, 1920}, {1}, false, PixelFormat::RGB24, {"partial", "current"}},
        {false, {}, {1}, false, PixelFormat::MJPG,
         {"partial", "native 0", "native 1", "use 1", "native 2", "use 2", "current"}},
        {false, {}, {1, 2, 3}, false, PixelFormat::Unknown, {}},
        {true, {PixelFormat::RGB24, 4, 2, 12}, {}, true, PixelFormat::Unknown, {}},
        // Empty, negative, one side too long, too many bytes for a 32-bit process.
        {true, {PixelFormat::RGB24, 0, 480, 0}, {}, false, PixelFormat::Unknown, {}},
        {true, {PixelFormat::RGB24, 640, -480, 0}, {}, false, PixelFormat::Unknown, {}},
        {true, {PixelFormat::RGB24, 16385, 16, 0}, {}, false, PixelFormat::Unknown, {}},
        {true, {PixelFormat::RGB24, 16, 16385, 0}, {}, false, PixelFormat::Unknown, {}},
        {true, {PixelFormat::RGB24, 16384, 16384, 0}, {}, false, PixelFormat::Unknown, {}},
        {true, {PixelFormat::RGB24, 16384, 5461, 0}, {}, false, PixelFormat::RGB24, {"partial", "current"}},
        {true, {PixelFormat::RGB24, 16, 16384, 0}, {}, false, PixelFormat::RGB24, {"partial", "current"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        auto fake = std::make_shared<FakeDevice>();
        fake->acceptPartialRgb24 = c.partial;
        fake->partialResult = c.partialResult;
        fake->natives = natives;
        fake->refusedNatives = c.refused;
        fake->currentFormatFails = c.currentFails;
        Camera other(Opener({{LINK_A, fake}}));
        const bool opens = c.subtype != PixelFormat::Unknown;
        ASSERT_EQ(other.Open(LINK_A), opens);
        EXPECT_EQ(other.IsOpen(), opens);
        EXPECT_EQ(other.lastError(), opens ? CAMERA_ERROR_NONE : CAMERA_ERROR_NO_FORMAT);
        EXPECT_EQ(other.subtype(), c.subtype);
        const MediaFormat& want = opens && !c.partial ? natives[2] : opens ? c.partialResult : MediaFormat{};
        EXPECT_TRUE(other.width() == want.width && other.height() == want.height);
        EXPECT_EQ(fake->readersAlive, opens ? 1 : 0);
        CapturedFrame frame;
        EXPECT_EQ(opens ? fake->calls : std::vector<std::string>{}, c.calls);
        EXPECT_TRUE(opens || (!other.GrabFrame(frame) && fake->reads == 0));
    }
    EXPECT_FALSE(Camera(ReaderOpener{}).Open(LINK_A));
    // A refused link says why, as far as the opener told, and closes the
    // device open before.
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_FALSE(camera.Open(LINK_DENIED));
    EXPECT_EQ(camera.lastError(), CAMERA_ERROR_ACCESS_DENIED);
    EXPECT_FALSE(camera.Open(L"no such device"));
    EXPECT_EQ(camera.lastError(), CAMERA_ERROR_NO_PICTURE);
    EXPECT_TRUE(!camera.IsOpen() && camera.width() == 0 && device->readersAlive == 0);
}

// One grab per row, each from a script of reads: empty reads and samples too
// short to convert use up attempts, the end of the stream and failures end the
// grab at once, and every failure says why as far as the device told. An
// allocation that fails while a frame is made is a failed grab, not an
// exception out of the camera. A failed grab leaves the frame as it was.
TEST_F(CameraGrab, ReadsUntilAFrameOrAFailureAndSaysWhy) {
    const FakeRead empty = Outcome(ReadOutcome::NoSample), tooShort{ReadOutcome::Sample, {9, 9, 9, 9}, 0};
    const struct {
        std::deque<FakeRead> script;
        CameraError error;  // NONE: grabbed
        int reads;
    } cases[] = {
        {std::deque<FakeRead>(GRAB_ATTEMPTS - 1, empty), CAMERA_ERROR_NONE, GRAB_ATTEMPTS},
        {{tooShort, empty, tooShort, empty, tooShort, empty, tooShort, empty, tooShort, empty},
         CAMERA_ERROR_NO_PICTURE, GRAB_ATTEMPTS},
        {{empty, Outcome(ReadOutcome::EndOfStream)}, CAMERA_ERROR_NO_PICTURE, 2},
        {{Outcome(ReadOutcome::StreamError)}, CAMERA_ERROR_NO_PICTURE, 1},
        {{Outcome(ReadOutcome::Failed)}, CAMERA_ERROR_NO_PICTURE, 1},
        {{Outcome(ReadOutcome::Failed, CAMERA_ERROR_INVALIDATED)}, CAMERA_ERROR_INVALIDATED, 1},
        {{Outcome(ReadOutcome::StreamError, CAMERA_ERROR_PREEMPTED)}, CAMERA_ERROR_PREEMPTED, 1},
        {{OUT_OF_MEMORY}, CAMERA_ERROR_OUT_OF_MEMORY, 1},
        {{}, CAMERA_ERROR_NONE, 1},
    };
    device->endless = Frame(42);
    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_FALSE(camera.firstFrameTime());
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        device->script = c.script;
        const int reads = device->reads;
        CapturedFrame frame{{1, 2, 3}, 77, 0, 0};
        EXPECT_EQ(camera.GrabFrame(frame), c.error == CAMERA_ERROR_NONE);
        EXPECT_EQ(camera.lastError(), c.error);
        EXPECT_EQ(device->reads - reads, c.reads);
        EXPECT_TRUE(c.error ? frame.pixels == std::vector<uint8_t>({1, 2, 3}) && frame.width == 77
                            : frame.pixels == std::vector<uint8_t>(24, 42) && frame.width == 4);
    }
    EXPECT_TRUE(camera.firstFrameTime());
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
        CapturedFrame frame;
        ASSERT_TRUE(camera.Open(LINK_A) && camera.GrabFrame(frame));
        EXPECT_EQ(frame.pixels, c.bottomUp ? rows : flipped) << c.sampleStride << " / " << c.defaultStride;
    }
}

// Failed grabs do not end the loop; StopPreview does, and no read follows it.
// A second start while running keeps the first callback; a start without a
// callback runs too. A device that keeps failing is read less and less often
// (not every few milliseconds for ever), the preview says why, a stop does not
// wait out the pause, and frames and a clear report come back once the device
// recovers; an allocation failure on the preview thread ends nothing.
TEST_F(CameraPreview, RunsPastFailuresReadingEverLessOftenUntilStopped) {
    device->script = {Frame(5), OUT_OF_MEMORY, Outcome(ReadOutcome::EndOfStream), Frame(5)};
    device->endless = Outcome(ReadOutcome::Failed, CAMERA_ERROR_PREEMPTED);
    FrameCounter second;
    EXPECT_FALSE(camera.StartPreview(counter.Callback()));  // not open yet
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    EXPECT_FALSE(camera.StartPreview(second.Callback()));
    EXPECT_TRUE(counter.WaitFor(2));
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(camera.previewError(), CAMERA_ERROR_PREEMPTED);
    EXPECT_LE(device->reads, 4 + 7) << "no back-off";
    EXPECT_GE(device->reads, 4 + 3);
    const auto stopping = std::chrono::steady_clock::now();
    camera.StopPreview();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 300ms) << "the stop waited out the pause";
    const int reads = device->reads;
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(device->reads == reads && counter.frames == 2 && second.frames == 0);
    EXPECT_EQ(counter.last, (std::vector<int32_t>{4, 2, 12, 5}));
    EXPECT_TRUE(camera.IsOpen());

    ASSERT_TRUE(camera.StartPreview(FrameCallback{}));
    EXPECT_TRUE(device->WaitForReads(reads + 1));
    device->Set(false, Frame(6));
    EXPECT_TRUE(device->WaitForReads(reads + 3));
    camera.StopPreview();
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    EXPECT_TRUE(counter.WaitFor(3));
    EXPECT_EQ(camera.previewError(), CAMERA_ERROR_NONE);
    camera.StopPreview();
}

// The reader must outlive every read and every callback of the preview, and
// Open on another device stops the preview for good.
TEST_F(CameraPreview, CloseAndOpenJoinThePreviewBeforeTheReaderGoes) {
    device->readDelay = 2ms;
    std::atomic<bool> callbackWithoutReader{false};
    FrameCallback checking = [&, count = counter.Callback()](const uint8_t* p, int32_t w, int32_t h, int32_t s) {
        std::this_thread::sleep_for(1ms);  // time for a release that does not wait
        if (device->readersAlive == 0) callbackWithoutReader = true;
        count(p, w, h, s);
    };
    for (const std::wstring& next : {LINK_A, LINK_B}) {
        ASSERT_TRUE(camera.Open(LINK_A) && camera.StartPreview(checking));
        EXPECT_TRUE(counter.WaitFor(counter.frames + 2));
        if (next == LINK_A) camera.Close();
        else ASSERT_TRUE(camera.Open(next));
        EXPECT_EQ(camera.IsOpen(), next == LINK_B);
        EXPECT_EQ(device->readersAlive, 0);
    }
    const int frames = counter.frames;
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(deviceB->reads == 0 && counter.frames == frames);
    EXPECT_FALSE(device->releasedDuringRead || callbackWithoutReader);
}

// From inside the callback: a still capture reads (the reader is not held
// across the callback), StartPreview refuses instead of deadlocking on its own
// lock, and StopPreview ends the loop without joining its own thread; Close is
// ignored. The stopped loop's thread is joined by the next start.
TEST_F(CameraPreview, CallbackMayGrabAndStopButNotRestart) {
    device->endless = Frame(3);
    std::atomic<bool> grabbed{false}, restarted{true};
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview([&, count = counter.Callback()](const uint8_t* p, int32_t w, int32_t h, int32_t s) {
        CapturedFrame still;
        grabbed = camera.GrabFrame(still) && still.pixels.size() == 24 && still.pixels[0] == 3;
        restarted = camera.StartPreview(FrameCallback{});
        camera.StopPreview();
        camera.Close();
        count(p, w, h, s);
    }));
    EXPECT_TRUE(counter.WaitFor(1));
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(counter.frames == 1 && grabbed && !restarted && camera.IsOpen());
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
    device->Set(false, Frame(7));
    firstCapture.join();
    secondCapture.join();
    camera.StopPreview();
    EXPECT_TRUE(firstGrabbed && secondGrabbed && !device->overlappingReads);
    EXPECT_EQ(second.pixels.at(0), 2);
}

// Some cycles run until the preview has delivered a frame; the others stop it
// at once, often before its thread has begun; every seventh reopens, releasing
// the reader while two threads grab. A fixed number of cycles, not a time
// budget: under Wine a cycle can take tens of milliseconds.
TEST_F(CameraPreview, StartStopAndReopenWithConcurrentStillsNeverOverlapReads) {
    ASSERT_TRUE(camera.Open(LINK_A));
    std::atomic<bool> stop{false};
    std::atomic<int> stills{0};
    // Each grabber pauses between captures: two back to back would always have
    // one waiting, and a waiting capture goes before the preview.
    auto grabber = [&] {
        for (CapturedFrame frame; !stop; std::this_thread::sleep_for(1ms)) stills += camera.GrabFrame(frame);
    };
    std::thread first(grabber), second(grabber);
    bool started = true;
    for (int cycle = 0; started && cycle < 60; ++cycle) {
        started = camera.StartPreview(counter.Callback());
        if (cycle % 4 == 0) EXPECT_TRUE(counter.WaitFor(counter.frames + 1));
        else std::this_thread::sleep_for(std::chrono::microseconds(200 * (cycle % 5)));
        camera.StopPreview();
        if (cycle % 7 == 6) started = camera.Open(LINK_A);
    }
    stop = true;
    first.join();
    second.join();
    EXPECT_TRUE(started && stills > 0);
    EXPECT_FALSE(device->overlappingReads || device->releasedDuringRead);
}

}  // namespace
