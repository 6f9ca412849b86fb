#include "camera/camera.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "fake_video_reader.h"

namespace {

using namespace std::chrono_literals;

const std::wstring LINK_A = L"fake:a";
const std::wstring LINK_B = L"fake:b";

// A 4 x 2 RGB24 device that takes the partial type and delivers solid frames.
std::shared_ptr<FakeDevice> Rgb24Device(uint8_t value = 7) {
    auto device = std::make_shared<FakeDevice>();
    device->acceptPartialRgb24 = true;
    device->endless = FrameRead(4, 2, value);
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
    auto device = Rgb24Device();
    device->partialResult = {PixelFormat::RGB24, 640, 480, 1920};
    device->natives = {{PixelFormat::YUY2, 320, 240, 640}};
    Camera camera(FakeOpener({{LINK_A, device}}));

    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_TRUE(camera.IsOpen());
    EXPECT_EQ(camera.width(), 640);
    EXPECT_EQ(camera.height(), 480);
    EXPECT_EQ(camera.subtype(), PixelFormat::RGB24);
    EXPECT_EQ(device->calls, (std::vector<std::string>{"partial", "current"}));
}

TEST(CameraNegotiation, WalkTakesFirstMatchInDeviceOrderWithoutRanking) {
    auto device = std::make_shared<FakeDevice>();
    device->natives = {{PixelFormat::Unknown, 320, 240, 0},
                       {PixelFormat::MJPG, 1920, 1080, 0},
                       {PixelFormat::YUY2, 640, 480, 1280}};
    Camera camera(FakeOpener({{LINK_A, device}}));

    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_EQ(camera.subtype(), PixelFormat::MJPG);
    EXPECT_EQ(camera.width(), 1920);
    EXPECT_EQ(camera.height(), 1080);
    EXPECT_EQ(device->calls,
              (std::vector<std::string>{"partial", "native 0", "native 1", "use 1", "current"}));
}

TEST(CameraNegotiation, RefusedMatchIsSkipped) {
    auto device = std::make_shared<FakeDevice>();
    device->natives = {{PixelFormat::NV12, 1280, 720, 1280}, {PixelFormat::YUY2, 640, 480, 1280}};
    device->refusedNatives = {0};
    Camera camera(FakeOpener({{LINK_A, device}}));

    ASSERT_TRUE(camera.Open(LINK_A));
    EXPECT_EQ(camera.subtype(), PixelFormat::YUY2);
    EXPECT_EQ(camera.width(), 640);
    EXPECT_EQ(device->calls, (std::vector<std::string>{"partial", "native 0", "use 0", "native 1",
                                                       "use 1", "current"}));
}

// A device whose format cannot be settled is not kept half open: a capture
// would otherwise read it as a 0 x 0 picture and report success.
TEST(CameraNegotiation, FailedNegotiationReleasesTheReader) {
    auto noneOfOurs = std::make_shared<FakeDevice>();
    noneOfOurs->natives = {{PixelFormat::Unknown, 640, 480, 0},
                           {PixelFormat::Unknown, 320, 240, 0}};
    auto allRefused = std::make_shared<FakeDevice>();
    allRefused->natives = {{PixelFormat::YUY2, 640, 480, 1280}};
    allRefused->refusedNatives = {0};
    auto noCurrent = Rgb24Device();
    noCurrent->currentFormatFails = true;

    for (const auto& device : {noneOfOurs, allRefused, noCurrent}) {
        Camera camera(FakeOpener({{LINK_A, device}}));
        EXPECT_FALSE(camera.Open(LINK_A));
        EXPECT_FALSE(camera.IsOpen());
        EXPECT_EQ(camera.width(), 0);
        EXPECT_EQ(camera.height(), 0);
        EXPECT_FALSE(device->ReaderAlive());
        CapturedFrame frame;
        EXPECT_FALSE(camera.GrabFrame(frame));
        EXPECT_EQ(device->ReadCount(), 0);
    }
}

TEST(CameraNegotiation, SizesThatCannotBeAllocatedAreRefused) {
    const std::pair<int32_t, int32_t> badSizes[] = {
        {0, 480},          {640, 0},           {-640, 480},      {640, -480},
        {INT32_MAX, 1},    {1, INT32_MAX},     {16385, 16},      {16384, 16384},
        {INT32_MIN, -1},
    };
    for (const auto& [w, h] : badSizes) {
        auto device = Rgb24Device();
        device->partialResult = {PixelFormat::RGB24, w, h, 0};
        Camera camera(FakeOpener({{LINK_A, device}}));
        EXPECT_FALSE(camera.Open(LINK_A)) << w << " x " << h;
        EXPECT_FALSE(camera.IsOpen());
        EXPECT_EQ(camera.width(), 0);
    }
    auto eightK = Rgb24Device();
    eightK->partialResult = {PixelFormat::RGB24, 7680, 4320, 0};
    Camera camera(FakeOpener({{LINK_A, eightK}}));
    EXPECT_TRUE(camera.Open(LINK_A));
}

TEST(CameraNegotiation, UnknownLinkLeavesTheCameraClosed) {
    auto device = Rgb24Device();
    Camera camera(FakeOpener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));

    // Open closes the previous device first, also when the new one fails.
    EXPECT_FALSE(camera.Open(L"no such device"));
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(camera.width(), 0);
    EXPECT_EQ(camera.height(), 0);
    EXPECT_FALSE(device->ReaderAlive());

    Camera noOpener{ReaderOpener{}};
    EXPECT_FALSE(noOpener.Open(LINK_A));
}

TEST(CameraGrab, EmptyAndUnusableReadsUseUpAttempts) {
    auto device = Rgb24Device(42);
    for (int i = 0; i < GRAB_ATTEMPTS - 1; ++i) {
        device->script.push_back(OutcomeRead(ReadOutcome::NoSample));
    }
    Camera camera(FakeOpener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));

    CapturedFrame frame;
    ASSERT_TRUE(camera.GrabFrame(frame));
    EXPECT_EQ(device->ReadCount(), GRAB_ATTEMPTS);
    EXPECT_EQ(frame.width, 4);
    EXPECT_EQ(frame.height, 2);
    EXPECT_EQ(frame.pixels, SolidRgb24(4, 2, 42));

    // Ten reads without a frame: empty reads and samples too short to convert.
    for (int i = 0; i < GRAB_ATTEMPTS; ++i) {
        FakeRead read = i % 2 ? OutcomeRead(ReadOutcome::NoSample) : FrameRead(1, 1, 9);
        device->script.push_back(read);
    }
    CapturedFrame untouched;
    untouched.pixels = {1, 2, 3};
    untouched.width = 77;
    EXPECT_FALSE(camera.GrabFrame(untouched));
    EXPECT_EQ(device->ReadCount(), 2 * GRAB_ATTEMPTS);
    EXPECT_EQ(untouched.pixels, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(untouched.width, 77);

    // The script ran out exactly at the tenth read: the next grab reads a frame.
    EXPECT_TRUE(camera.GrabFrame(frame));
    EXPECT_EQ(device->ReadCount(), 2 * GRAB_ATTEMPTS + 1);
}

TEST(CameraGrab, EndOfStreamErrorsAndFailuresEndTheGrabAtOnce) {
    for (ReadOutcome outcome :
         {ReadOutcome::EndOfStream, ReadOutcome::StreamError, ReadOutcome::Failed}) {
        auto device = Rgb24Device();
        device->script.push_back(OutcomeRead(outcome));
        Camera camera(FakeOpener({{LINK_A, device}}));
        ASSERT_TRUE(camera.Open(LINK_A));
        CapturedFrame frame;
        EXPECT_FALSE(camera.GrabFrame(frame)) << static_cast<int>(outcome);
        EXPECT_EQ(device->ReadCount(), 1);
        EXPECT_TRUE(frame.pixels.empty());
    }
}

TEST(CameraGrab, ClosedCameraReadsNothing) {
    auto device = Rgb24Device();
    Camera camera(FakeOpener({{LINK_A, device}}));
    CapturedFrame frame;
    EXPECT_FALSE(camera.GrabFrame(frame));
    ASSERT_TRUE(camera.Open(LINK_A));
    camera.Close();
    camera.Close();
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_FALSE(device->ReaderAlive());
    EXPECT_FALSE(camera.GrabFrame(frame));
    EXPECT_EQ(device->ReadCount(), 0);
    EXPECT_TRUE(frame.pixels.empty());
}

// Rows 0 and 1 of memory hold the bytes 1 and 2. The sample's own stride wins
// over the type's default stride; a negative one marks a bottom-up buffer,
// which is already in the output's row order.
TEST(CameraGrab, SampleStrideThenDefaultStrideReachTheConversion) {
    std::vector<uint8_t> rows(24, 1);
    std::fill(rows.begin() + 12, rows.end(), uint8_t{2});
    const std::vector<uint8_t> asInMemory = rows;
    std::vector<uint8_t> flipped(24, 2);
    std::fill(flipped.begin() + 12, flipped.end(), uint8_t{1});

    struct Case {
        int32_t sampleStride;
        int32_t defaultStride;
        const std::vector<uint8_t>& expected;
    };
    const Case cases[] = {
        {-12, 0, asInMemory}, {0, -12, asInMemory}, {12, -12, flipped}, {0, 0, flipped},
        {0, 12, flipped},
    };
    for (const Case& c : cases) {
        auto device = Rgb24Device();
        device->partialResult.defaultStride = c.defaultStride;
        device->endless.bytes = rows;
        device->endless.stride = c.sampleStride;
        Camera camera(FakeOpener({{LINK_A, device}}));
        ASSERT_TRUE(camera.Open(LINK_A));
        CapturedFrame frame;
        ASSERT_TRUE(camera.GrabFrame(frame));
        EXPECT_EQ(frame.pixels, c.expected) << c.sampleStride << " / " << c.defaultStride;
    }

    // Rows padded to 16 bytes: the padding never reaches the picture.
    auto padded = Rgb24Device();
    padded->endless.bytes = std::vector<uint8_t>(32, 0xEE);
    for (int row = 0; row < 2; ++row) {
        std::fill_n(padded->endless.bytes.begin() + 16 * row, 12, static_cast<uint8_t>(row + 1));
    }
    padded->endless.stride = 16;
    Camera camera(FakeOpener({{LINK_A, padded}}));
    ASSERT_TRUE(camera.Open(LINK_A));
    CapturedFrame frame;
    ASSERT_TRUE(camera.GrabFrame(frame));
    EXPECT_EQ(frame.pixels, flipped);
}

TEST(CameraPreview, DeliversFramesUntilStopped) {
    auto device = Rgb24Device(5);
    device->readDelay = 1ms;
    FrameCounter counter;
    Camera camera(FakeOpener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    ASSERT_TRUE(counter.WaitFor(3));
    camera.StopPreview();
    const int frames = counter.Frames();
    const int reads = device->ReadCount();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(counter.Frames(), frames);
    EXPECT_EQ(device->ReadCount(), reads);
    EXPECT_EQ(counter.width, 4);
    EXPECT_EQ(counter.height, 2);
    EXPECT_EQ(counter.stride, 12);
    EXPECT_EQ(counter.firstByte, 5);
    EXPECT_TRUE(camera.IsOpen());
    camera.StopPreview();  // no thread: nothing to join
}

TEST(CameraPreview, SecondStartKeepsTheFirstCallbackAndClosedCameraRefuses) {
    auto device = Rgb24Device();
    device->readDelay = 1ms;
    FrameCounter first, second;
    Camera camera(FakeOpener({{LINK_A, device}}));
    EXPECT_FALSE(camera.StartPreview(first.Callback()));

    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(first.Callback()));
    auto dropped = std::make_shared<int>(0);
    FrameCallback secondCallback = second.Callback();
    EXPECT_FALSE(camera.StartPreview([secondCallback, dropped](const uint8_t* p, int32_t w,
                                                               int32_t h, int32_t s) {
        secondCallback(p, w, h, s);
    }));
    EXPECT_EQ(dropped.use_count(), 1);  // the refused callback is not kept
    const int before = first.Frames();
    ASSERT_TRUE(first.WaitFor(before + 3));
    EXPECT_EQ(second.Frames(), 0);
    camera.Close();
}

TEST(CameraPreview, ContinuesAfterFailedGrabsAndRunsWithoutCallback) {
    auto device = Rgb24Device();
    device->script.push_back(OutcomeRead(ReadOutcome::Failed));
    device->script.push_back(OutcomeRead(ReadOutcome::EndOfStream));
    FrameCounter counter;
    Camera camera(FakeOpener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    EXPECT_TRUE(counter.WaitFor(2));
    camera.StopPreview();

    ASSERT_TRUE(camera.StartPreview(FrameCallback{}));
    const int reads = device->ReadCount();
    EXPECT_TRUE(device->WaitForReads(reads + 3));
    camera.StopPreview();
}

// The reader must outlive every read and every callback of the preview.
TEST(CameraPreview, CloseAndDestructionJoinBeforeTheReaderGoes) {
    auto device = Rgb24Device();
    device->readDelay = 2ms;
    std::atomic<bool> callbackWithoutReader{false};
    FrameCounter counter;
    FrameCallback count = counter.Callback();
    FrameCallback checking = [&, count](const uint8_t* p, int32_t w, int32_t h, int32_t s) {
        if (!device->ReaderAlive()) {
            callbackWithoutReader = true;
        }
        std::this_thread::sleep_for(1ms);
        count(p, w, h, s);
    };
    {
        Camera camera(FakeOpener({{LINK_A, device}}));
        ASSERT_TRUE(camera.Open(LINK_A));
        ASSERT_TRUE(camera.StartPreview(checking));
        ASSERT_TRUE(counter.WaitFor(2));
        camera.Close();
        EXPECT_FALSE(camera.IsOpen());
        EXPECT_FALSE(device->ReaderAlive());

        ASSERT_TRUE(camera.Open(LINK_A));
        ASSERT_TRUE(camera.StartPreview(checking));
        ASSERT_TRUE(counter.WaitFor(4));
    }
    EXPECT_FALSE(device->ReaderAlive());
    EXPECT_FALSE(device->releasedDuringRead);
    EXPECT_FALSE(callbackWithoutReader);
}

TEST(CameraPreview, OpenDuringPreviewStopsItWithoutRestarting) {
    auto deviceA = Rgb24Device(1);
    auto deviceB = Rgb24Device(2);
    deviceA->readDelay = 2ms;
    FrameCounter counter;
    Camera camera(FakeOpener({{LINK_A, deviceA}, {LINK_B, deviceB}}));
    ASSERT_TRUE(camera.Open(LINK_A));
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    ASSERT_TRUE(counter.WaitFor(2));

    ASSERT_TRUE(camera.Open(LINK_B));
    EXPECT_FALSE(deviceA->ReaderAlive());
    EXPECT_FALSE(deviceA->releasedDuringRead);
    const int frames = counter.Frames();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(deviceB->ReadCount(), 0);
    EXPECT_EQ(counter.Frames(), frames);

    // A still capture works on the new device, and a new preview can start.
    CapturedFrame frame;
    ASSERT_TRUE(camera.GrabFrame(frame));
    EXPECT_EQ(frame.pixels[0], 2);
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    EXPECT_TRUE(counter.WaitFor(frames + 1));
}

// From inside the callback: a still capture reads (the reader is not held
// across the callback), StartPreview refuses instead of deadlocking on its own
// lock, and StopPreview ends the loop without joining its own thread.
TEST(CameraPreview, CallbackMayGrabAndStopButNotRestart) {
    auto device = Rgb24Device(3);
    std::mutex lock;
    std::condition_variable done;
    int calls = 0;
    bool grabbed = false, restarted = true, finished = false;
    FrameCounter counter;
    Camera camera(FakeOpener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));

    ASSERT_TRUE(camera.StartPreview([&](const uint8_t*, int32_t, int32_t, int32_t) {
        CapturedFrame still;
        const bool grab = camera.GrabFrame(still);
        const bool restart = camera.StartPreview(FrameCallback{});
        camera.StopPreview();
        camera.Close();  // ignored from here
        std::lock_guard<std::mutex> guard(lock);
        ++calls;
        grabbed = grab && still.pixels.size() == 24 && still.pixels[0] == 3;
        restarted = restart;
        finished = true;
        done.notify_all();
    }));
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(done.wait_for(guard, 2s, [&] { return finished; }));
    }
    std::this_thread::sleep_for(30ms);
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(calls, 1);
        EXPECT_TRUE(grabbed);
        EXPECT_FALSE(restarted);
    }
    EXPECT_TRUE(camera.IsOpen());

    // The stopped loop's thread is joined by the next start.
    ASSERT_TRUE(camera.StartPreview(counter.Callback()));
    EXPECT_TRUE(counter.WaitFor(2));
    camera.Close();
}

// While one still capture reads, the preview thread and then a second still
// capture wait for the reader: the capture goes first, although the preview
// has waited longer, and it gets the very next frame.
TEST(CameraPreview, WaitingStillCaptureGoesBeforeThePreview) {
    auto device = Rgb24Device();
    device->gateClosed = true;
    for (int i = 1; i <= 3; ++i) {
        device->script.push_back(FrameRead(4, 2, static_cast<uint8_t>(i)));
    }
    CapturedFrame first, second;
    std::atomic<bool> firstGrabbed{false}, secondGrabbed{false};
    Camera camera(FakeOpener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));

    std::thread firstCapture([&] { firstGrabbed = camera.GrabFrame(first); });
    EXPECT_TRUE(device->WaitForReads(1));  // inside read 1, held at the gate
    EXPECT_TRUE(camera.StartPreview(FrameCallback{}));
    std::this_thread::sleep_for(30ms);  // the preview waits for the reader
    std::thread secondCapture([&] { secondGrabbed = camera.GrabFrame(second); });
    const std::thread::id secondThread = secondCapture.get_id();
    std::this_thread::sleep_for(30ms);  // so does the second capture
    EXPECT_EQ(device->ReadCount(), 1);
    device->OpenGate();
    firstCapture.join();
    secondCapture.join();
    camera.StopPreview();

    EXPECT_TRUE(firstGrabbed);
    ASSERT_TRUE(secondGrabbed);
    EXPECT_EQ(second.pixels[0], 2);
    EXPECT_EQ(device->readThreads.at(1), secondThread);
    EXPECT_FALSE(device->overlappingReads);
}

TEST(CameraPreview, StartStopAndReopenWithConcurrentStillsNeverOverlapReads) {
    auto device = Rgb24Device();
    FrameCounter counter;
    Camera camera(FakeOpener({{LINK_A, device}}));
    ASSERT_TRUE(camera.Open(LINK_A));

    std::atomic<bool> stop{false};
    std::atomic<int> stills{0};
    auto grabber = [&] {
        CapturedFrame frame;
        while (!stop) {
            if (camera.GrabFrame(frame)) {
                ++stills;
            }
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
        if (cycles % 7 == 6) {
            started = camera.Open(LINK_A);
        }
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
