#pragma once
// The one process-wide owner of an opened capture device.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camera/frame_sizes.h"
#include "camera/frame_timing.h"
#include "camera/video_reader.h"
#include "capture/frame.h"

// Receives each preview frame on the preview thread: bottom-up BGR rows as in
// CapturedFrame, valid only during the call.
using FrameCallback = std::function<void(const uint8_t* pixels, int32_t width, int32_t height,
                                         int32_t stride)>;

constexpr int GRAB_ATTEMPTS = 10;
// After a failed preview grab the loop waits before it reads again, twice as
// long after each further failure up to the cap: a device that is gone or held
// by another program is not hammered, and one that recovers is seen within a
// second.
constexpr std::chrono::milliseconds PREVIEW_RETRY_FIRST{30};
constexpr std::chrono::milliseconds PREVIEW_RETRY_MAX{1000};

// The error of a grab that failed without the device saying why (no frame in
// all attempts, a frame that could not be converted): E_FAIL.
constexpr CameraError CAMERA_ERROR_NO_PICTURE = static_cast<CameraError>(0x80004005u);
// The error of an open that found no usable format: MF_E_INVALIDMEDIATYPE, as
// for a type refused.
constexpr CameraError CAMERA_ERROR_NO_FORMAT = CAMERA_ERROR_TYPE_REFUSED;

// Largest frame a device may negotiate. Every size derived from width and
// height (3 * width, height * stride) then fits in int32, and a device that
// reports nonsense cannot make us allocate gigabytes in a 32-bit process.
constexpr int32_t MAX_FRAME_SIDE = 16384;
constexpr int64_t MAX_FRAME_BYTES = int64_t{1} << 28;

// True when a width x height BGR picture of this size may be allocated.
bool IsUsableFrameSize(int32_t width, int32_t height);

// Threads: every public operation belongs to the UI thread, except that
// GrabFrame may also be called from any other thread. The UI thread may lend
// the camera whole to a worker (the capture key's) and leave it alone until it
// has joined that worker. The preview thread calls
// the FrameCallback; from inside the callback only GrabFrame and StopPreview
// may be called (StopPreview then only ends the loop after the callback; the
// thread is joined by the next StopPreview, StartPreview or Close on another
// thread). StartPreview, Open and Close from inside the callback return false
// or do nothing.
// A device that sends nothing never holds anyone up for long: a read waits at
// most ReadWaits, then the grab fails with CAMERA_ERROR_NO_FRAMES; StopPreview
// wakes the preview's read at once (the camera stays usable), and Close, Open
// and the destructor wake every read, a still's on another thread too, which
// then fails with CAMERA_ERROR_CANCELLED.
class Camera {
public:
    explicit Camera(ReaderOpener opener);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Opens the device and settles its format: with `wanted` the default,
    // RGB24 if the device takes it directly, else its first type we take, in
    // its own order; with a size, the type ChooseTypeForSize picks for it. A
    // device that does not offer the size (any more) opens with its default;
    // sizeHonoured() tells which happened. Types the device refuses are
    // passed over; a failure of the device itself ends the open with its code
    // in lastError(), as a failed read would.
    bool Open(const std::wstring& symbolicLink, FrameSize wanted = {});
    // A frame taken after the call: frames the device took before it (kept
    // in its queue while nobody read) are passed over.
    bool GrabFrame(CapturedFrame& frame);
    // Reads and drops frames until the exposure has settled (ExposureWatch),
    // counted from the stream's first frame: a webcam starts with a guessed
    // exposure and corrects it from the frames it streams, and it streams
    // only while it is read. Returns at once for a camera that has settled
    // since it was opened, or has streamed for SETTLE_MAX_TIME. A failed grab
    // ends the wait early; the capture that follows then reports it. Any
    // thread, as GrabFrame.
    void Settle();
    bool StartPreview(FrameCallback callback);
    void StopPreview();
    void Close();
    // Wakes every read under way on the open reader and refuses the reads that
    // follow, until the camera is closed or opened again: Close calls it before
    // it waits for a read, and a thread that must not wait out a device that
    // sends nothing may call it at any time. Any thread.
    void CancelReads();
    bool IsOpen() const;
    // Whether the preview loop runs, delivering frames or not. UI thread.
    bool IsPreviewing() const { return running_.load(); }
    // Why the last Open or still grab failed (0 after a success); any thread.
    // The preview's grabs leave it alone, so that a preview frame coming in
    // meanwhile cannot hide why a still failed.
    CameraError lastError() const { return lastError_.load(); }
    // While the preview's grabs keep failing, why the latest one failed; 0
    // while it delivers frames (or has not tried yet). Any thread.
    CameraError previewError() const { return previewError_.load(); }
    // When the device delivered its first frame since it was opened, or
    // nullopt before that. Any thread.
    std::optional<std::chrono::steady_clock::time_point> firstFrameTime() const;
    // The size of the picture on screen: preview frames are made no larger
    // than needed to fill it (see PreviewScaleFactor); 0 x 0, the default,
    // gives full-size frames. Any thread; takes effect with the next frame.
    void SetPreviewBox(int32_t width, int32_t height);
    // The device's native types as listed at the last successful Open, in its
    // own order; empty when closed. UI thread.
    const std::vector<MediaFormat>& formats() const { return formats_; }
    // Whether the last successful Open got the size it was asked for (false
    // for the default, which asks for none).
    bool sizeHonoured() const { return sizeHonoured_; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    PixelFormat subtype() const { return subtype_; }

private:
    // Who waits for the reader: still captures and Close go before the preview.
    enum class ReadPriority { Preview, Still };

    struct Negotiated {
        PixelFormat subtype = PixelFormat::Unknown;
        int32_t width = 0;
        int32_t height = 0;
        int32_t defaultStride = 0;
    };

    // Both give CAMERA_ERROR_NONE once a type is set, CAMERA_ERROR_NO_FORMAT
    // when none will do, or the device's own failure.
    static CameraError NegotiateFormat(VideoReader& reader, const std::vector<MediaFormat>& formats,
                                       FrameSize wanted, Negotiated& chosen);
    static CameraError UseTypeForSize(VideoReader& reader, const std::vector<MediaFormat>& formats,
                                      FrameSize wanted, PixelFormat& subtype);
    // `factor` as ConvertPreviewFrame's (1: full size).
    bool Grab(CapturedFrame& frame, ReadPriority priority, int32_t factor, CameraError& error);
    bool GrabOnce(CapturedFrame& frame, ReadPriority priority, int32_t factor, CameraError& error);
    // Frames for the preview come out this many times smaller (1: full size).
    int32_t PreviewFactor() const;
    void PreviewLoop();
    bool OnPreviewThread() const;

    // Holds the reader for one use; see readerBusy_.
    class ReaderHold;

    ReaderOpener opener_;

    // The reader and its negotiated format are replaced only while the reader
    // is held (ReaderHold) and the preview thread has been joined.
    std::unique_ptr<VideoReader> reader_;
    int32_t width_ = 0;
    int32_t height_ = 0;
    PixelFormat subtype_ = PixelFormat::Unknown;
    int32_t defaultStride_ = 0;
    std::vector<MediaFormat> formats_;
    bool sizeHonoured_ = false;
    // The device's sample times on our clock; used while the reader is held.
    SampleClock sampleClock_;

    // Serialises every use of the reader (one read at a time). A hand-made
    // lock rather than a bare mutex so that a waiting still capture is served
    // before the preview thread's next read: std::mutex promises no fairness,
    // and the preview loop would otherwise take it straight back.
    std::mutex readStateLock_;
    std::condition_variable readerFreed_;
    bool readerBusy_ = false;
    int stillsWaiting_ = 0;
    // Whether the preview thread holds the reader, and which reads have been
    // cancelled: the preview's alone (by StopPreview; the preview thread
    // resumes reads before it lets the reader go, so no still meets the
    // cancel) or all of them, until the reader is let go. Under readStateLock_.
    bool previewHolds_ = false;
    enum class Cancel { None, Preview, All } cancel_ = Cancel::None;

    std::thread previewThread_;
    std::atomic<bool> running_{false};
    // Lets StopPreview cut a back-off wait short.
    std::mutex retryLock_;
    std::condition_variable retryWake_;

    std::atomic<int32_t> previewBoxWidth_{0};
    std::atomic<int32_t> previewBoxHeight_{0};

    std::atomic<CameraError> lastError_{CAMERA_ERROR_NONE};
    std::atomic<CameraError> previewError_{CAMERA_ERROR_NONE};
    // steady_clock ticks of the first frame since Open; 0 for none yet.
    std::atomic<int64_t> firstFrameTicks_{0};
    std::atomic<bool> settled_{false};

    FrameCallback frameCallback_;
    std::mutex callbackLock_;  // guards frameCallback_; held while it runs
};
