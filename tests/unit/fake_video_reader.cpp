#include "fake_video_reader.h"

#include <utility>

void FakeDevice::OpenGate() {
    {
        std::lock_guard<std::mutex> guard(lock);
        gateClosed = false;
    }
    changed.notify_all();
}

bool FakeDevice::WaitForReads(int count) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(1), [&] { return reads >= count; });
}

int FakeDevice::ReadCount() {
    std::lock_guard<std::mutex> guard(lock);
    return reads;
}

bool FakeDevice::ReaderAlive() {
    std::lock_guard<std::mutex> guard(lock);
    return readersAlive > 0;
}

std::vector<uint8_t> SolidRgb24(int32_t width, int32_t height, uint8_t value) {
    const int32_t stride = (3 * width + 3) & ~3;
    return std::vector<uint8_t>(static_cast<size_t>(stride) * static_cast<size_t>(height), value);
}

FakeRead FrameRead(int32_t width, int32_t height, uint8_t value) {
    FakeRead read;
    read.bytes = SolidRgb24(width, height, value);
    return read;
}

FakeRead OutcomeRead(ReadOutcome outcome) {
    FakeRead read;
    read.outcome = outcome;
    return read;
}

FakeVideoReader::FakeVideoReader(std::shared_ptr<FakeDevice> device) : device_(std::move(device)) {
    std::lock_guard<std::mutex> guard(device_->lock);
    ++device_->readersAlive;
}

FakeVideoReader::~FakeVideoReader() {
    std::lock_guard<std::mutex> guard(device_->lock);
    --device_->readersAlive;
    if (device_->readsInProgress > 0) {
        device_->releasedDuringRead = true;
    }
}

bool FakeVideoReader::SetPartialType(PixelFormat subtype) {
    std::lock_guard<std::mutex> guard(device_->lock);
    device_->calls.push_back("partial");
    if (subtype != PixelFormat::RGB24 || !device_->acceptPartialRgb24) {
        return false;
    }
    current_ = device_->partialResult;
    return true;
}

bool FakeVideoReader::GetNativeFormat(uint32_t index, MediaFormat& format) {
    std::lock_guard<std::mutex> guard(device_->lock);
    device_->calls.push_back("native " + std::to_string(index));
    if (index >= device_->natives.size()) {
        return false;
    }
    format = device_->natives[index];
    return true;
}

bool FakeVideoReader::UseNativeFormat(uint32_t index) {
    std::lock_guard<std::mutex> guard(device_->lock);
    device_->calls.push_back("use " + std::to_string(index));
    if (index >= device_->natives.size() || device_->refusedNatives.count(index) != 0) {
        return false;
    }
    current_ = device_->natives[index];
    return true;
}

bool FakeVideoReader::GetCurrentFormat(MediaFormat& format) {
    std::lock_guard<std::mutex> guard(device_->lock);
    device_->calls.push_back("current");
    if (device_->currentFormatFails) {
        return false;
    }
    format = current_;
    return true;
}

ReadOutcome FakeVideoReader::ReadSample(const std::function<void(const SampleView&)>& onSample) {
    FakeRead read;
    std::chrono::milliseconds delay;
    {
        std::unique_lock<std::mutex> guard(device_->lock);
        if (++device_->readsInProgress > 1) {
            device_->overlappingReads = true;
        }
        ++device_->reads;
        device_->readThreads.push_back(std::this_thread::get_id());
        device_->changed.notify_all();
        device_->changed.wait(guard, [&] { return !device_->gateClosed; });
        if (device_->script.empty()) {
            read = device_->endless;
        } else {
            read = std::move(device_->script.front());
            device_->script.pop_front();
        }
        delay = device_->readDelay;
    }
    if (delay.count() > 0) {
        std::this_thread::sleep_for(delay);
    }
    if (read.outcome == ReadOutcome::Sample) {
        SampleView view;
        view.data = read.bytes.data();
        view.length = static_cast<int32_t>(read.bytes.size());
        view.stride = read.stride;
        onSample(view);
    }
    std::lock_guard<std::mutex> guard(device_->lock);
    --device_->readsInProgress;
    return read.outcome;
}

ReaderOpener FakeOpener(std::map<std::wstring, std::shared_ptr<FakeDevice>> devices) {
    return [devices = std::move(devices)](
               const std::wstring& link) -> std::unique_ptr<VideoReader> {
        auto found = devices.find(link);
        if (found == devices.end()) {
            return nullptr;
        }
        return std::make_unique<FakeVideoReader>(found->second);
    };
}
