#pragma once
// The seam between Camera and one opened capture device. Media Foundation, the
// test-pattern cameras and the tests' fakes implement it; Camera holds the
// algorithm (negotiation, attempts, preview thread) on top of it.

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
};

// The bytes of one sample, valid only during the callback that receives them.
struct SampleView {
    const uint8_t* data = nullptr;
    int32_t length = 0;  // the buffer's current length, not its capacity
    int32_t stride = 0;  // signed pitch of the buffer; 0 when not known
};

enum class ReadOutcome {
    Sample,       // a sample was handed to the callback
    NoSample,     // the read returned without usable bytes (stream tick, empty read,
                  // a buffer that could not be made contiguous or locked)
    EndOfStream,
    StreamError,  // the reader flagged an error on the stream
    Failed,       // the read call itself failed
};

class VideoReader {
public:
    virtual ~VideoReader() = default;
    // Asks for `subtype` at whatever size the device then chooses.
    virtual bool SetPartialType(PixelFormat subtype) = 0;
    // The device's index-th native type, in its own order; false past the last.
    virtual bool GetNativeFormat(uint32_t index, MediaFormat& format) = 0;
    virtual bool UseNativeFormat(uint32_t index) = 0;
    virtual bool GetCurrentFormat(MediaFormat& format) = 0;
    // One blocking read. On ReadOutcome::Sample `onSample` has been called once.
    virtual ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample) = 0;
};

// Opens the device with this symbolic link, or returns null.
using ReaderOpener = std::function<std::unique_ptr<VideoReader>(const std::wstring& symbolicLink)>;
