#pragma once
// The one process-wide owner of an opened capture device.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "camera/video_reader.h"
#include "capture/frame.h"

// Receives each preview frame on the preview thread: bottom-up BGR rows as in
// CapturedFrame, valid only during the call.
using FrameCallback = std::function<void(const uint8_t* pixels, int32_t width, int32_t height,
                                         int32_t stride)>;

constexpr int GRAB_ATTEMPTS = 10;
constexpr int PREVIEW_RETRY_SLEEP_MS = 30;

class Camera {
public:
    explicit Camera(ReaderOpener opener);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    bool Open(const std::wstring& symbolicLink);
    bool GrabFrame(CapturedFrame& frame);
    bool StartPreview(FrameCallback callback);
    void StopPreview();
    void Close();
    bool IsOpen() const;
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    PixelFormat subtype() const { return subtype_; }

private:
    bool NegotiateFormat();
    void PreviewLoop();
    // (implementation fields are the camera module's to choose)
    ReaderOpener opener_;
    std::unique_ptr<VideoReader> reader_;
    int32_t width_ = 0;
    int32_t height_ = 0;
    PixelFormat subtype_ = PixelFormat::Unknown;
};
