#pragma once
// A scripted VideoReader for the camera tests: native-type lists, refused
// types, empty reads, end of stream, stream errors, failed reads and frames,
// plus a record of what the camera asked for and when.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camera/video_reader.h"

struct FakeRead {
    ReadOutcome outcome = ReadOutcome::Sample;
    std::vector<uint8_t> bytes;  // handed over on ReadOutcome::Sample
    int32_t stride = 0;          // SampleView::stride
};

// The state of one fake device. Shared between the test and the reader that
// the camera owns, so that it can be inspected after the camera let go.
struct FakeDevice {
    // Negotiation.
    bool acceptPartialRgb24 = false;
    MediaFormat partialResult{PixelFormat::RGB24, 4, 2, 12};  // current type after the partial
    std::vector<MediaFormat> natives;
    std::set<uint32_t> refusedNatives;
    bool currentFormatFails = false;

    // Reads: the script first, then `endless` for ever.
    std::deque<FakeRead> script;
    FakeRead endless;
    std::chrono::milliseconds readDelay{0};
    // While true, reads wait (after counting as in progress) until released.
    bool gateClosed = false;

    // Recorded by the reader.
    std::vector<std::string> calls;  // negotiation calls in order
    std::vector<std::thread::id> readThreads;
    int reads = 0;
    int readersAlive = 0;
    int readsInProgress = 0;
    bool overlappingReads = false;
    bool releasedDuringRead = false;

    // Guards everything above once a reader exists.
    std::mutex lock;
    std::condition_variable changed;

    void OpenGate();
    // Waits until `count` reads have started; false after a second.
    bool WaitForReads(int count);
    int ReadCount();
    bool ReaderAlive();
};

// An RGB24 top-down frame of width x height (padded rows) whose every byte is
// `value`; the camera hands it to the conversion as it is.
std::vector<uint8_t> SolidRgb24(int32_t width, int32_t height, uint8_t value);
FakeRead FrameRead(int32_t width, int32_t height, uint8_t value);
FakeRead OutcomeRead(ReadOutcome outcome);

class FakeVideoReader : public VideoReader {
public:
    explicit FakeVideoReader(std::shared_ptr<FakeDevice> device);
    ~FakeVideoReader() override;

    bool SetPartialType(PixelFormat subtype) override;
    bool GetNativeFormat(uint32_t index, MediaFormat& format) override;
    bool UseNativeFormat(uint32_t index) override;
    bool GetCurrentFormat(MediaFormat& format) override;
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample) override;

private:
    std::shared_ptr<FakeDevice> device_;
    MediaFormat current_;
};

// Opens the device registered under a link; null for any other link.
ReaderOpener FakeOpener(std::map<std::wstring, std::shared_ptr<FakeDevice>> devices);
