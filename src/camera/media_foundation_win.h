#pragma once
// The Media Foundation side of the camera seam: a capture device opened by
// symbolic link, its source reader in asynchronous mode so that no read waits
// for a silent device for ever.

#include <windows.h>

#include <mfidl.h>
#include <mfobjects.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/devices.h"
#include "camera/video_reader.h"

// The video capture devices present now, in the platform's order.
std::vector<CameraDevice> EnumerateMediaFoundationCameras();

// The device whose symbolic link matches, with a source reader that shuts the
// device down when it is released; null when there is none or
// it cannot be opened, with `error` saying why when the platform told us.
std::unique_ptr<VideoReader> OpenMediaFoundationReader(const std::wstring& symbolicLink, CameraError& error);

// How a wrapped source reader behaves beyond the seam's plain reads; a
// camera's reader takes the defaults.
struct SourceReaderOptions {
    // At the end of the stream, seek back to its start and read on.
    bool loop = false;
    // Hand frames over no faster than the current type's frame rate (FramePacer).
    bool pace = false;
    ReadWaits waits;
};

// Makes a source reader with the attributes given, which carry the callback
// (MF_SOURCE_READER_ASYNC_CALLBACK) that puts it in asynchronous mode.
using SourceReaderMaker =
    std::function<HRESULT(IMFAttributes* attributes, Microsoft::WRL::ComPtr<IMFSourceReader>& reader)>;

// The seam over the source reader that `make` makes, with only its first
// video stream selected. Each read makes one request, unless one is still
// unanswered, and waits for the answer as `options.waits` says. Null when
// Media Foundation is missing or the reader cannot be made or set up, with
// `error` saying why when the platform told us.
std::unique_ptr<VideoReader> MakeSourceReader(const SourceReaderMaker& make, SourceReaderOptions options,
                                              CameraError& error);

// A video file (a Windows path) read through Media Foundation's source
// resolver as an endless camera: looped and paced at the clip's frame rate.
// Null when Media Foundation or its file reader is missing or the file cannot
// be opened, with `error` saying why when the platform told us.
std::unique_ptr<VideoReader> OpenMediaFoundationFile(const std::wstring& path, CameraError& error);

// The bytes of one media buffer, locked while this object lives. Where the
// buffer offers a 2D lock its own pitch is used (so padded and bottom-up rows
// are read as they are); otherwise the plain lock with the type's default
// stride (or the pitch PitchFromLength finds where the type states none).
// SampleView::data is the lowest address of the frame's rows.
class LockedSampleBuffer {
public:
    LockedSampleBuffer() = default;
    ~LockedSampleBuffer() { Unlock(); }
    LockedSampleBuffer(const LockedSampleBuffer&) = delete;
    LockedSampleBuffer& operator=(const LockedSampleBuffer&) = delete;

    // `format` is the reader's current type: its subtype, height and default
    // stride say how far the rows of a 2D buffer reach.
    bool Lock(IMFMediaBuffer* buffer, const MediaFormat& format);
    void Unlock();
    const SampleView& view() const { return view_; }

private:
    bool LockTwoDimensional(IMFMediaBuffer* buffer, const MediaFormat& format);

    Microsoft::WRL::ComPtr<IMF2DBuffer> locked2d_;
    Microsoft::WRL::ComPtr<IMFMediaBuffer> locked_;
    SampleView view_;
};
