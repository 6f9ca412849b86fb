#pragma once
// The seam between Camera and one opened capture device. Media Foundation, the
// test-pattern cameras and the tests' fakes implement it; Camera holds the
// algorithm (negotiation, attempts, preview thread) on top of it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/frame.h"

struct MediaFormat {
    PixelFormat subtype = PixelFormat::Unknown;  // Unknown: none of the four we take
    int32_t width = 0;
    int32_t height = 0;
    int32_t defaultStride = 0;  // signed; 0 when the type does not say
    // Frames a second as numerator / denominator (30000 / 1001 for 29.97);
    // both 0 when the type does not say.
    uint32_t rateNumerator = 0;
    uint32_t rateDenominator = 0;
};

// The bytes of one sample, valid only during the callback that receives them.
struct SampleView {
    const uint8_t* data = nullptr;
    int32_t length = 0;  // the buffer's current length, not its capacity
    int32_t stride = 0;  // signed pitch of the buffer; 0 when not known
    // When the device took the frame, in 100 ns units on the device's own
    // clock (see SampleClock); meaningful only when `timed`.
    int64_t timestamp = 0;
    bool timed = false;
};

// Why a device failed: the platform's result code (an HRESULT on Windows), 0
// when there is nothing more to tell than the failure itself.
using CameraError = int32_t;

constexpr CameraError CAMERA_ERROR_NONE = 0;
// Another program holds the device: it could not start streaming for us, or
// it took the device away mid-stream (MF_E_HW_MFT_FAILED_START_STREAMING,
// MF_E_VIDEO_RECORDING_DEVICE_PREEMPTED).
constexpr CameraError CAMERA_ERROR_START_STREAMING = static_cast<CameraError>(0xC00D3704u);
constexpr CameraError CAMERA_ERROR_PREEMPTED = static_cast<CameraError>(0xC00D3EA3u);
// The device is gone (MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED): unplugged.
constexpr CameraError CAMERA_ERROR_INVALIDATED = static_cast<CameraError>(0xC00D3EA2u);
// Windows' privacy settings deny this program the camera (E_ACCESSDENIED).
constexpr CameraError CAMERA_ERROR_ACCESS_DENIED = static_cast<CameraError>(0x80070005u);
// A frame could not be allocated (E_OUTOFMEMORY).
constexpr CameraError CAMERA_ERROR_OUT_OF_MEMORY = static_cast<CameraError>(0x8007000Eu);

// The device is there and open but sends nothing: no frame came within the
// read's wait (HRESULT_FROM_WIN32(ERROR_TIMEOUT)). An HDMI grabber without a
// signal, a virtual camera whose host is idle and a stuck driver do this.
constexpr CameraError CAMERA_ERROR_NO_FRAMES = static_cast<CameraError>(0x800705B4u);
// A read that CancelRead woke or refused (HRESULT_FROM_WIN32(ERROR_CANCELLED)):
// it tells nothing about the device.
constexpr CameraError CAMERA_ERROR_CANCELLED = static_cast<CameraError>(0x800704C7u);

// The end of a device's list of native types (MF_E_NO_MORE_TYPES): no failure.
constexpr CameraError CAMERA_ERROR_NO_MORE_TYPES = static_cast<CameraError>(0xC00D36B9u);
// The device or its reader refused one type; another may do. The codes Media
// Foundation's source reader documents for a type it will not set:
// MF_E_INVALIDMEDIATYPE (the type was rejected), MF_E_INVALIDTYPE (the type is
// malformed) and MF_E_TOPO_CODEC_NOT_FOUND (nothing converts the device's own
// type to it).
constexpr CameraError CAMERA_ERROR_TYPE_REFUSED = static_cast<CameraError>(0xC00D36B4u);
constexpr CameraError CAMERA_ERROR_TYPE_MALFORMED = static_cast<CameraError>(0xC00D36BDu);
constexpr CameraError CAMERA_ERROR_NO_CONVERTER = static_cast<CameraError>(0xC00D5212u);

// True when a failure to set a type says only that this type will not do.
// Anything else (the device in use, gone, blocked, or a failure we do not
// know) is the device's, and trying its other types would only hide it.
constexpr bool IsRefusedType(CameraError error) {
    return error == CAMERA_ERROR_TYPE_REFUSED || error == CAMERA_ERROR_TYPE_MALFORMED ||
           error == CAMERA_ERROR_NO_CONVERTER;
}

// What a failure means to the user, which decides what we tell them and how
// we recover: wait for the other program, for the device to come back, or for
// the user to change a setting.
enum class CameraProblem {
    None,
    InUse,
    Disconnected,
    Blocked,
    Other,
};

// A silent device (CAMERA_ERROR_NO_FRAMES) is Other: nothing but a fresh open
// can tell whether it sends again, which is how Other is recovered from.
constexpr CameraProblem ClassifyCameraError(CameraError error) {
    switch (error) {
    case CAMERA_ERROR_NONE:
        return CameraProblem::None;
    case CAMERA_ERROR_START_STREAMING:
    case CAMERA_ERROR_PREEMPTED:
        return CameraProblem::InUse;
    case CAMERA_ERROR_INVALIDATED:
        return CameraProblem::Disconnected;
    case CAMERA_ERROR_ACCESS_DENIED:
        return CameraProblem::Blocked;
    default:
        return CameraProblem::Other;
    }
}

enum class ReadOutcome {
    Sample,       // a sample was handed to the callback
    NoSample,     // the read returned without usable bytes (stream tick, empty read,
                  // a buffer that could not be made contiguous or locked)
    EndOfStream,
    StreamError,  // the reader flagged an error on the stream
    Failed,       // the read call itself failed
};

// How long one read waits for the device before it fails with
// CAMERA_ERROR_NO_FRAMES. A stream's first frame can take seconds: a cold
// webcam powers its sensor up and starts its clock, Windows' frame server
// starts in front of it, a virtual camera wakes its host; 10 s is past all of
// that, as OpenCV's capture also judges. Once a stream has sent a frame (or
// its first wait ran out) a frame is late after 3 s: the slowest types that
// cameras list run at 2 frames a second, and dim light brings a webcam down
// to a few a second, not below one.
struct ReadWaits {
    std::chrono::milliseconds first{10000};
    std::chrono::milliseconds later{3000};
};

// How a call that lists or sets a type ended: true for success, else false
// with the code that says why, never CAMERA_ERROR_NONE.
struct FormatResult {
    CameraError error = CAMERA_ERROR_NONE;
    explicit operator bool() const { return error == CAMERA_ERROR_NONE; }
};

class VideoReader {
public:
    virtual ~VideoReader() = default;
    // Asks for `subtype` at whatever size the device then chooses. A subtype
    // the device does not take fails with a code for which IsRefusedType holds.
    virtual FormatResult SetPartialType(PixelFormat subtype) = 0;
    // The device's index-th native type, in its own order;
    // CAMERA_ERROR_NO_MORE_TYPES past the last.
    virtual FormatResult GetNativeFormat(uint32_t index, MediaFormat& format) = 0;
    virtual FormatResult UseNativeFormat(uint32_t index) = 0;
    virtual FormatResult GetCurrentFormat(MediaFormat& format) = 0;
    // One blocking read. On ReadOutcome::Sample `onSample` has been called once;
    // on Failed and StreamError `error` says why when the device told us.
    // A read waits no longer than ReadWaits says, then fails with
    // CAMERA_ERROR_NO_FRAMES.
    virtual ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample,
                                   CameraError& error) = 0;
    // Wakes a read in progress on another thread and refuses every read that
    // starts before ResumeReads: each fails at once with CAMERA_ERROR_CANCELLED,
    // so that the camera stops or closes without waiting for a silent device.
    // A request the device has not answered yet stays with the reader, and
    // after ResumeReads its answer comes to the next read. Any thread; never
    // waits for the read itself. The defaults suit a reader whose reads end
    // soon by themselves.
    virtual void CancelRead() {}
    virtual void ResumeReads() {}
};

// A reader in front of another that passes every call on: a base for the
// test builds' readers that count or script what the real one does.
class ForwardingReader : public VideoReader {
public:
    explicit ForwardingReader(std::unique_ptr<VideoReader> inner) : inner_(std::move(inner)) {}
    FormatResult SetPartialType(PixelFormat subtype) override { return inner_->SetPartialType(subtype); }
    FormatResult GetNativeFormat(uint32_t index, MediaFormat& format) override {
        return inner_->GetNativeFormat(index, format);
    }
    FormatResult UseNativeFormat(uint32_t index) override { return inner_->UseNativeFormat(index); }
    FormatResult GetCurrentFormat(MediaFormat& format) override { return inner_->GetCurrentFormat(format); }
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample, CameraError& error) override {
        return inner_->ReadSample(onSample, error);
    }
    void CancelRead() override { inner_->CancelRead(); }
    void ResumeReads() override { inner_->ResumeReads(); }

protected:
    std::unique_ptr<VideoReader> inner_;
};

// Opens the device with this symbolic link, or returns null and says why in
// `error` when the device told us.
using ReaderOpener =
    std::function<std::unique_ptr<VideoReader>(const std::wstring& symbolicLink, CameraError& error)>;
