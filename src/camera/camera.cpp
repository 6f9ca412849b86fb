#include "camera/camera.h"

#include <chrono>
#include <system_error>
#include <utility>

namespace {

// A reader that claims endless native types must not keep Open busy forever;
// real devices list a few hundred at most.
constexpr uint32_t MAX_NATIVE_TYPES = 4096;

// The camera whose preview loop runs on this thread, if any. Lets a callback's
// StopPreview see that it cannot join its own thread.
thread_local const Camera* previewLoopOwner = nullptr;

bool IsTakenSubtype(PixelFormat subtype) {
    switch (subtype) {
    case PixelFormat::RGB24:
    case PixelFormat::YUY2:
    case PixelFormat::NV12:
    case PixelFormat::MJPG:
        return true;
    case PixelFormat::Unknown:
        break;
    }
    return false;
}

}  // namespace

bool IsUsableFrameSize(int32_t width, int32_t height) {
    if (width < 1 || height < 1 || width > MAX_FRAME_SIDE || height > MAX_FRAME_SIDE) {
        return false;
    }
    const int64_t stride = (int64_t{3} * width + 3) & ~int64_t{3};
    return stride * height <= MAX_FRAME_BYTES;
}

// One use of the reader at a time. A still capture (or Close) that is waiting
// is served before the preview thread's next read, so the preview loop cannot
// keep a capture waiting for more than the read in progress.
class Camera::ReaderHold {
public:
    ReaderHold(Camera& camera, ReadPriority priority) : camera_(camera) {
        std::unique_lock<std::mutex> lock(camera_.readStateLock_);
        if (priority == ReadPriority::Still) {
            ++camera_.stillsWaiting_;
            camera_.readerFreed_.wait(lock, [this] { return !camera_.readerBusy_; });
            --camera_.stillsWaiting_;
        } else {
            camera_.readerFreed_.wait(
                lock, [this] { return !camera_.readerBusy_ && camera_.stillsWaiting_ == 0; });
        }
        camera_.readerBusy_ = true;
    }
    ~ReaderHold() {
        {
            std::lock_guard<std::mutex> lock(camera_.readStateLock_);
            camera_.readerBusy_ = false;
        }
        camera_.readerFreed_.notify_all();
    }
    ReaderHold(const ReaderHold&) = delete;
    ReaderHold& operator=(const ReaderHold&) = delete;

private:
    Camera& camera_;
};

Camera::Camera(ReaderOpener opener) : opener_(std::move(opener)) {}

Camera::~Camera() {
    Close();
}

bool Camera::OnPreviewThread() const {
    return previewLoopOwner == this;
}

bool Camera::IsOpen() const {
    return reader_ != nullptr;
}

bool Camera::Open(const std::wstring& symbolicLink) {
    // A callback that reopened the camera would release the reader under its
    // own loop.
    if (OnPreviewThread()) {
        return false;
    }
    Close();
    if (!opener_) {
        return false;
    }
    std::unique_ptr<VideoReader> reader = opener_(symbolicLink);
    if (!reader) {
        return false;
    }
    // Negotiated on the side and installed only on success: a device whose
    // format cannot be settled is released here rather than left half open,
    // where a capture would read it with a size of 0 x 0.
    Negotiated chosen;
    if (!NegotiateFormat(*reader, chosen)) {
        return false;
    }
    ReaderHold hold(*this, ReadPriority::Still);
    reader_ = std::move(reader);
    width_ = chosen.width;
    height_ = chosen.height;
    subtype_ = chosen.subtype;
    defaultStride_ = chosen.defaultStride;
    return true;
}

bool Camera::NegotiateFormat(VideoReader& reader, Negotiated& chosen) {
    PixelFormat subtype = PixelFormat::Unknown;
    if (reader.SetPartialType(PixelFormat::RGB24)) {
        subtype = PixelFormat::RGB24;
    } else {
        // No ranking between the subtypes, by size or by rate: the device's
        // own order decides.
        for (uint32_t index = 0; subtype == PixelFormat::Unknown; ++index) {
            MediaFormat native;
            if (index >= MAX_NATIVE_TYPES || !reader.GetNativeFormat(index, native)) {
                return false;
            }
            if (IsTakenSubtype(native.subtype) && reader.UseNativeFormat(index)) {
                subtype = native.subtype;
            }
        }
    }

    MediaFormat current;
    if (!reader.GetCurrentFormat(current)) {
        return false;
    }
    if (!IsUsableFrameSize(current.width, current.height)) {
        return false;
    }
    // The type in force is the one we set; the reader's own report wins when
    // it names one of ours.
    chosen.subtype = IsTakenSubtype(current.subtype) ? current.subtype : subtype;
    chosen.width = current.width;
    chosen.height = current.height;
    chosen.defaultStride = current.defaultStride;
    return true;
}

bool Camera::GrabFrame(CapturedFrame& frame) {
    return Grab(frame, ReadPriority::Still);
}

bool Camera::Grab(CapturedFrame& frame, ReadPriority priority) {
    for (int attempt = 0; attempt < GRAB_ATTEMPTS; ++attempt) {
        // Held per read, not per grab, so that a still capture waits for at
        // most one preview read.
        ReaderHold hold(*this, priority);
        if (!reader_) {
            return false;
        }
        bool converted = false;
        const ReadOutcome outcome = reader_->ReadSample([&](const SampleView& sample) {
            if (converted || sample.data == nullptr || sample.length <= 0) {
                return;
            }
            const int32_t stride = sample.stride != 0 ? sample.stride : defaultStride_;
            converted = ConvertFrame(sample.data, sample.length, width_, height_,
                                     SampleLayout{subtype_, stride}, frame);
        });
        switch (outcome) {
        case ReadOutcome::Sample:
        case ReadOutcome::NoSample:
            if (converted) {
                return true;
            }
            break;  // the attempt is used up
        case ReadOutcome::EndOfStream:
        case ReadOutcome::StreamError:
        case ReadOutcome::Failed:
            return false;
        }
    }
    return false;
}

bool Camera::StartPreview(FrameCallback callback) {
    // From inside the callback: callbackLock_ is held on this thread, and the
    // loop's own thread object cannot be replaced from within it.
    if (OnPreviewThread()) {
        return false;
    }
    if (running_.load() || !reader_) {
        return false;
    }
    // A callback may have stopped the loop from inside; that thread has ended
    // or is ending and must be joined before its object is replaced.
    if (previewThread_.joinable()) {
        previewThread_.join();
    }
    {
        std::lock_guard<std::mutex> lock(callbackLock_);
        frameCallback_ = std::move(callback);
    }
    running_.store(true);
    try {
        previewThread_ = std::thread(&Camera::PreviewLoop, this);
    } catch (const std::system_error&) {
        // The system could not make another thread: report it as a plain
        // failure instead of leaving running_ set with no loop behind it.
        running_.store(false);
        return false;
    }
    return true;
}

void Camera::PreviewLoop() {
    previewLoopOwner = this;
    CapturedFrame frame;  // one buffer for the whole run
    while (running_.load()) {
        if (Grab(frame, ReadPriority::Preview)) {
            // The reader is not held here: a still capture may read while the
            // callback draws.
            std::lock_guard<std::mutex> lock(callbackLock_);
            if (frameCallback_) {
                frameCallback_(frame.pixels.data(), frame.width, frame.height, frame.stride);
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(PREVIEW_RETRY_SLEEP_MS));
        }
    }
    previewLoopOwner = nullptr;
}

void Camera::StopPreview() {
    running_.exchange(false);
    // Called by the callback: the loop ends when the callback returns; the
    // thread is joined later from another thread.
    if (OnPreviewThread()) {
        return;
    }
    if (previewThread_.joinable()) {
        previewThread_.join();
    }
}

void Camera::Close() {
    if (OnPreviewThread()) {
        return;
    }
    StopPreview();
    std::unique_ptr<VideoReader> closing;
    {
        // Waits for a still capture that another thread may have in progress.
        ReaderHold hold(*this, ReadPriority::Still);
        closing = std::move(reader_);
        width_ = 0;
        height_ = 0;
        subtype_ = PixelFormat::Unknown;
        defaultStride_ = 0;
    }
    // Released outside the hold: shutting a device down can take a while and
    // a waiting GrabFrame only needs to see that the camera is closed.
}

void DiscardFramesUntil(Camera& camera, std::chrono::steady_clock::time_point until) {
    CapturedFrame discarded;
    while (std::chrono::steady_clock::now() < until) {
        if (!camera.GrabFrame(discarded)) return;
    }
}
