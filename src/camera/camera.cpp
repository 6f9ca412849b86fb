#include "camera/camera.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

#include "capture/frame_scale.h"

namespace {

// A device that queues frames while nobody reads hands them over at once, and
// a still capture passes over them in a few milliseconds. A grab still
// passing over frames after this long is misled by a device's clock (one that
// runs slow, say) rather than draining a queue, and keeps the next frame
// rather than fail or keep the user waiting.
constexpr std::chrono::milliseconds MAX_PASSING_OVER{500};
// A frame taken this little before the ask shows the same moment; the clock
// mapping is no finer anyway (a device's shortest delay, a thread's wake-up).
constexpr std::chrono::milliseconds ASKED_TOLERANCE{2};

// Settling reads frames no larger than this: the mean brightness needs no more,
// and a 4K frame decoded in full for each of the 30 to 90 frames read while
// settling would slow the reads below the camera's rate.
constexpr int32_t SETTLE_FRAME_WIDTH = 320;
constexpr int32_t SETTLE_FRAME_HEIGHT = 240;

// A reader that claims endless native types must not keep Open busy forever;
// real devices list a few hundred at most.
constexpr uint32_t MAX_NATIVE_TYPES = 4096;

// The camera whose preview loop runs on this thread, if any. Lets a callback's
// StopPreview see that it cannot join its own thread.
thread_local const Camera* previewLoopOwner = nullptr;

// A type that failed for this reason is passed over for the next one; any
// other failure is the device's and ends the open.
bool PassesOver(CameraError error) {
    return IsRefusedType(error) || error == CAMERA_ERROR_NO_MORE_TYPES;
}

// Every native type the device lists, in its order, into `formats`. A type it
// cannot describe ends the list as its end does; a failure of the device
// itself is returned.
CameraError ListNativeFormats(VideoReader& reader, std::vector<MediaFormat>& formats) {
    MediaFormat native;
    for (uint32_t index = 0; index < MAX_NATIVE_TYPES; ++index) {
        const FormatResult listed = reader.GetNativeFormat(index, native);
        if (!listed) return PassesOver(listed.error) ? CAMERA_ERROR_NONE : listed.error;
        formats.push_back(native);
        native = MediaFormat{};
    }
    return CAMERA_ERROR_NONE;
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
// keep a capture waiting for more than the read in progress. A preview that
// has been stopped gets no hold: StopPreview cancels only a read that the
// preview holds the reader for, so one that began after it would not end.
class Camera::ReaderHold {
public:
    ReaderHold(Camera& camera, ReadPriority priority) : camera_(camera), priority_(priority) {
        std::unique_lock<std::mutex> lock(camera_.readStateLock_);
        if (priority == ReadPriority::Still) {
            ++camera_.stillsWaiting_;
            camera_.readerFreed_.wait(lock, [this] { return !camera_.readerBusy_; });
            --camera_.stillsWaiting_;
        } else {
            camera_.readerFreed_.wait(lock, [this] {
                return !camera_.running_.load() || (!camera_.readerBusy_ && camera_.stillsWaiting_ == 0);
            });
            if (!camera_.running_.load()) return;
            camera_.previewHolds_ = true;
        }
        camera_.readerBusy_ = true;
        held_ = true;
    }
    ~ReaderHold() {
        if (!held_) return;
        {
            std::lock_guard<std::mutex> lock(camera_.readStateLock_);
            if (priority_ == ReadPriority::Preview) {
                camera_.previewHolds_ = false;
                // Before the reader is free: a still that takes it next
                // must not meet the preview's cancel.
                if (camera_.cancel_ == Cancel::Preview) {
                    camera_.reader_->ResumeReads();
                    camera_.cancel_ = Cancel::None;
                }
            }
            camera_.readerBusy_ = false;
        }
        camera_.readerFreed_.notify_all();
    }
    ReaderHold(const ReaderHold&) = delete;
    ReaderHold& operator=(const ReaderHold&) = delete;
    bool held() const { return held_; }

private:
    Camera& camera_;
    ReadPriority priority_;
    bool held_ = false;
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

std::optional<std::chrono::steady_clock::time_point> Camera::firstFrameTime() const {
    const int64_t ticks = firstFrameTicks_.load();
    if (ticks == 0) return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
}

bool Camera::Open(const std::wstring& symbolicLink, FrameSize wanted) {
    // A callback that reopened the camera would release the reader under its
    // own loop.
    if (OnPreviewThread()) {
        return false;
    }
    Close();
    if (!opener_) {
        lastError_.store(CAMERA_ERROR_NO_PICTURE);
        return false;
    }
    CameraError error = CAMERA_ERROR_NONE;
    std::unique_ptr<VideoReader> reader = opener_(symbolicLink, error);
    if (!reader) {
        lastError_.store(error != CAMERA_ERROR_NONE ? error : CAMERA_ERROR_NO_PICTURE);
        return false;
    }
    // Negotiated on the side and installed only on success: a device whose
    // format cannot be settled is released here rather than left half open,
    // where a capture would read it with a size of 0 x 0.
    // Listed once, for the size choice and the walk alike.
    std::vector<MediaFormat> formats;
    Negotiated chosen;
    CameraError failure = ListNativeFormats(*reader, formats);
    if (failure == CAMERA_ERROR_NONE) failure = NegotiateFormat(*reader, formats, wanted, chosen);
    if (failure != CAMERA_ERROR_NONE) {
        lastError_.store(failure);
        return false;
    }
    ReaderHold hold(*this, ReadPriority::Still);
    {
        // Also under this lock: CancelReads, from any thread, reaches the reader through it.
        std::lock_guard<std::mutex> lock(readStateLock_);
        reader_ = std::move(reader);
    }
    width_ = chosen.width;
    height_ = chosen.height;
    subtype_ = chosen.subtype;
    defaultStride_ = chosen.defaultStride;
    formats_ = std::move(formats);
    sizeHonoured_ = !wanted.IsDefault() && width_ == wanted.width && height_ == wanted.height;
    sampleClock_.Reset();
    lastError_.store(CAMERA_ERROR_NONE);
    previewError_.store(CAMERA_ERROR_NONE);
    firstFrameTicks_.store(0);
    settled_.store(false);
    return true;
}

CameraError Camera::UseTypeForSize(VideoReader& reader, const std::vector<MediaFormat>& formats, FrameSize wanted,
                                   PixelFormat& subtype) {
    // A type the device lists but then refuses is passed over for the next
    // best of the same size.
    std::vector<MediaFormat> candidates = formats;
    for (;;) {
        const int index = ChooseTypeForSize(candidates, wanted);
        if (index < 0) return CAMERA_ERROR_NO_FORMAT;
        const FormatResult used = reader.UseNativeFormat(static_cast<uint32_t>(index));
        if (used) {
            subtype = candidates[static_cast<size_t>(index)].subtype;
            return CAMERA_ERROR_NONE;
        }
        if (!PassesOver(used.error)) return used.error;
        candidates[static_cast<size_t>(index)].subtype = PixelFormat::Unknown;
    }
}

CameraError Camera::NegotiateFormat(VideoReader& reader, const std::vector<MediaFormat>& formats, FrameSize wanted,
                                    Negotiated& chosen) {
    // A device that fails for itself rather than refusing a type (unplugged,
    // taken by another program, blocked since it was listed) says so at once:
    // its other types would fail alike, and "no usable format" would hide
    // what the user can wait for.
    PixelFormat subtype = PixelFormat::Unknown;
    if (!wanted.IsDefault()) {
        // Without the user's size, the default below, as if none was asked.
        const CameraError sized = UseTypeForSize(reader, formats, wanted, subtype);
        if (sized != CAMERA_ERROR_NONE && sized != CAMERA_ERROR_NO_FORMAT) return sized;
    }
    if (subtype == PixelFormat::Unknown) {
        const FormatResult partial = reader.SetPartialType(PixelFormat::RGB24);
        if (partial) {
            subtype = PixelFormat::RGB24;
        } else if (!PassesOver(partial.error)) {
            return partial.error;
        }
    }
    // No ranking between the subtypes, by size or by rate: the device's own
    // order decides.
    for (uint32_t index = 0; subtype == PixelFormat::Unknown; ++index) {
        if (index >= formats.size()) return CAMERA_ERROR_NO_FORMAT;
        if (!IsTakenSubtype(formats[index].subtype)) continue;
        const FormatResult used = reader.UseNativeFormat(index);
        if (used) {
            subtype = formats[index].subtype;
        } else if (!PassesOver(used.error)) {
            return used.error;
        }
    }

    MediaFormat current;
    const FormatResult read = reader.GetCurrentFormat(current);
    if (!read) return read.error;
    if (!IsUsableFrameSize(current.width, current.height)) return CAMERA_ERROR_NO_FORMAT;
    // The type in force is the one we set; the reader's own report wins when
    // it names one of ours.
    chosen.subtype = IsTakenSubtype(current.subtype) ? current.subtype : subtype;
    chosen.width = current.width;
    chosen.height = current.height;
    chosen.defaultStride = current.defaultStride;
    return CAMERA_ERROR_NONE;
}

void Camera::SetPreviewBox(int32_t width, int32_t height) {
    previewBoxWidth_.store(std::max(width, 0));
    previewBoxHeight_.store(std::max(height, 0));
}

int32_t Camera::PreviewFactor() const {
    return PreviewScaleFactor(width_, height_, previewBoxWidth_.load(), previewBoxHeight_.load());
}

bool Camera::GrabFrame(CapturedFrame& frame) {
    CameraError error = CAMERA_ERROR_NONE;
    return Grab(frame, ReadPriority::Still, 1, error);
}

bool Camera::Grab(CapturedFrame& frame, ReadPriority priority, int32_t factor, CameraError& error) {
    error = CAMERA_ERROR_NO_PICTURE;
    const bool grabbed = [&] {
        // A frame of a large camera is tens of megabytes; in a 32-bit process
        // (ours, or a scanning application hosting the data source) that
        // allocation can fail. It is a failed grab, never an exception that
        // ends the thread, and with it the process.
        try {
            return GrabOnce(frame, priority, factor, error);
        } catch (const std::bad_alloc&) {
            error = CAMERA_ERROR_OUT_OF_MEMORY;
        } catch (const std::exception&) {
            error = CAMERA_ERROR_NO_PICTURE;
        }
        return false;
    }();
    if (grabbed) {
        error = CAMERA_ERROR_NONE;
        int64_t none = 0;
        firstFrameTicks_.compare_exchange_strong(
            none, std::chrono::steady_clock::now().time_since_epoch().count());
    }
    if (priority == ReadPriority::Still) lastError_.store(error);
    return grabbed;
}

bool Camera::GrabOnce(CapturedFrame& frame, ReadPriority priority, int32_t factor, CameraError& error) {
    // Only a still asks for a frame taken after it was asked for; the preview
    // shows whatever comes, queued or not.
    const auto asked = std::chrono::steady_clock::now();
    for (int attempt = 0; attempt < GRAB_ATTEMPTS;) {
        // Held per read, not per grab, so that a still capture waits for at
        // most one preview read.
        ReaderHold hold(*this, priority);
        if (!hold.held()) {
            error = CAMERA_ERROR_CANCELLED;
            return false;
        }
        if (!reader_) {
            return false;
        }
        bool converted = false;
        bool passedOver = false;
        CameraError readError = CAMERA_ERROR_NONE;
        const ReadOutcome outcome = reader_->ReadSample(
            [&](const SampleView& sample) {
                if (converted || sample.data == nullptr || sample.length <= 0) {
                    return;
                }
                if (sample.timed) {
                    const auto taken = sampleClock_.CaptureTime(sample.timestamp, std::chrono::steady_clock::now());
                    // Judged before converting: a queue of 4K frames is
                    // passed over without decoding any of them.
                    if (priority == ReadPriority::Still && taken + ASKED_TOLERANCE < asked &&
                        std::chrono::steady_clock::now() - asked < MAX_PASSING_OVER) {
                        passedOver = true;
                        return;
                    }
                }
                const int32_t stride = sample.stride != 0 ? sample.stride : defaultStride_;
                converted = ConvertPreviewFrame(sample.data, sample.length, width_, height_,
                                                SampleLayout{subtype_, stride}, factor, frame);
            },
            readError);
        switch (outcome) {
        case ReadOutcome::Sample:
        case ReadOutcome::NoSample:
            if (converted) {
                return true;
            }
            if (!passedOver) ++attempt;  // one passed over is no attempt: the device gave what it had
            break;
        case ReadOutcome::EndOfStream:
        case ReadOutcome::StreamError:
        case ReadOutcome::Failed:
            if (readError != CAMERA_ERROR_NONE) error = readError;
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
    std::chrono::milliseconds retry{0};
    while (running_.load()) {
        CameraError error = CAMERA_ERROR_NONE;
        if (Grab(frame, ReadPriority::Preview, PreviewFactor(), error)) {
            retry = std::chrono::milliseconds{0};
            previewError_.store(CAMERA_ERROR_NONE);
            // The reader is not held here: a still capture may read while the
            // callback draws.
            std::lock_guard<std::mutex> lock(callbackLock_);
            if (frameCallback_) {
                frameCallback_(frame.pixels.data(), frame.width, frame.height, frame.stride);
            }
        } else {
            if (!running_.load()) break;  // cut short by StopPreview: no trouble to report
            previewError_.store(error);
            retry = retry.count() == 0 ? PREVIEW_RETRY_FIRST : std::min(2 * retry, PREVIEW_RETRY_MAX);
            std::unique_lock<std::mutex> lock(retryLock_);
            retryWake_.wait_for(lock, retry, [this] { return !running_.load(); });
        }
    }
    previewLoopOwner = nullptr;
}

void Camera::StopPreview() {
    {
        // Under the lock, so that a back-off wait cannot miss the change
        // between its check and its sleep.
        std::lock_guard<std::mutex> lock(retryLock_);
        running_.store(false);
    }
    retryWake_.notify_all();
    // Called by the callback: the loop ends when the callback returns; the
    // thread is joined later from another thread.
    if (OnPreviewThread()) {
        return;
    }
    {
        // The preview's read ends now, not when a silent device answers; a
        // still's read on another thread goes on.
        std::lock_guard<std::mutex> lock(readStateLock_);
        if (previewHolds_ && cancel_ == Cancel::None) {
            cancel_ = Cancel::Preview;
            reader_->CancelRead();
        }
    }
    readerFreed_.notify_all();  // a preview waiting for the reader sees the stop
    if (previewThread_.joinable()) {
        previewThread_.join();
    }
}

void Camera::Close() {
    if (OnPreviewThread()) {
        return;
    }
    // Before the joins and waits below, so that none of them waits for a
    // device that sends nothing.
    CancelReads();
    StopPreview();
    std::unique_ptr<VideoReader> closing;
    {
        // Waits for a still capture that another thread may have in progress.
        ReaderHold hold(*this, ReadPriority::Still);
        {
            std::lock_guard<std::mutex> lock(readStateLock_);
            cancel_ = Cancel::None;  // the next reader starts uncancelled
            closing = std::move(reader_);
        }
        width_ = 0;
        height_ = 0;
        subtype_ = PixelFormat::Unknown;
        defaultStride_ = 0;
        formats_.clear();
        sizeHonoured_ = false;
    }
    previewError_.store(CAMERA_ERROR_NONE);
    firstFrameTicks_.store(0);
    // Released outside the hold: shutting a device down can take a while and
    // a waiting GrabFrame only needs to see that the camera is closed.
}

void Camera::CancelReads() {
    std::lock_guard<std::mutex> lock(readStateLock_);
    if (!reader_) return;
    cancel_ = Cancel::All;
    reader_->CancelRead();
}

void Camera::Settle() {
    if (settled_.load()) return;
    const auto first = firstFrameTime();
    if (first && std::chrono::steady_clock::now() >= *first + SETTLE_MAX_TIME) return;
    ExposureWatch watch;
    CapturedFrame small;
    for (;;) {
        const int32_t factor = PreviewScaleFactor(width_, height_, SETTLE_FRAME_WIDTH, SETTLE_FRAME_HEIGHT);
        CameraError error = CAMERA_ERROR_NONE;
        if (!Grab(small, ReadPriority::Still, factor, error)) return;
        // Grab has set the first frame's time by now.
        const auto since = std::chrono::steady_clock::now() - firstFrameTime().value_or(std::chrono::steady_clock::now());
        if (watch.Settled(std::chrono::duration_cast<std::chrono::milliseconds>(since), MeanLuma(small))) break;
    }
    settled_.store(true);
}
