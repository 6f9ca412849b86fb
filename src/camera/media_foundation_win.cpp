#include "camera/media_foundation_win.h"

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <limits>
#include <mutex>
#include <new>
#include <thread>

#include "camera/devices.h"
#include "camera/read_cancel.h"
#include "camera/frame_pacing.h"
#include "camera/sample_pitch.h"
#include "capture/jpeg_win.h"
#include "platform/system_library.h"
#include "platform/win_handles.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr ULONG MEDIA_FOUNDATION_VERSION = 0x00020070;  // MF_VERSION of the Windows 7 SDK
constexpr DWORD FIRST_VIDEO_STREAM = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);

// Process-wide, touched only by the thread that starts and stops the camera
// side: the program's UI thread, or the data source's camera thread.
bool comStarted = false;
bool mediaFoundationStarted = false;
// CoInitializeEx said RPC_E_CHANGED_MODE: the thread already lives in another
// apartment that is not ours to end, so we never uninitialise it.
bool comOtherApartment = false;

// Media Foundation is loaded at run time, not imported: Windows N and KN
// editions lack it unless the Media Feature Pack is installed, and a program
// (or a data source in a scanning application) that imported it would not
// start there at all. Without it no camera is listed and every open fails.
struct MediaFoundationApi {
    HRESULT(WINAPI* startup)(ULONG version, DWORD flags) = nullptr;
    HRESULT(WINAPI* shutdown)() = nullptr;
    HRESULT(WINAPI* createAttributes)(IMFAttributes** attributes, UINT32 size) = nullptr;
    HRESULT(WINAPI* createMediaType)(IMFMediaType** type) = nullptr;
    HRESULT(WINAPI* enumDeviceSources)(IMFAttributes* filter, IMFActivate*** devices, UINT32* count) = nullptr;
    HRESULT(WINAPI* createDeviceSource)(IMFAttributes* attributes, IMFMediaSource** source) = nullptr;
    HRESULT(WINAPI* createSourceReaderFromMediaSource)(IMFMediaSource* source, IMFAttributes* attributes,
                                                       IMFSourceReader** reader) = nullptr;
    // Optional, outside the set above: only the development builds' file
    // cameras use it, and its absence must not cost the real cameras.
    HRESULT(WINAPI* createSourceReaderFromUrl)(LPCWSTR url, IMFAttributes* attributes,
                                               IMFSourceReader** reader) = nullptr;
};

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function) {
    if (!module) return false;
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
}

// All or nothing, once a process; the modules stay loaded until it ends, as
// objects made from them may outlive any one user.
const MediaFoundationApi* MediaFoundation() {
    static std::once_flag loaded;
    static MediaFoundationApi api;
    static bool complete = false;
    std::call_once(loaded, [] {
        const HMODULE platform = LoadSystemLibrary(L"mfplat.dll");
        const HMODULE sources = LoadSystemLibrary(L"mf.dll");
        const HMODULE readers = LoadSystemLibrary(L"mfreadwrite.dll");
        MediaFoundationApi found;
        complete = Resolve(platform, "MFStartup", found.startup) &&
                   Resolve(platform, "MFShutdown", found.shutdown) &&
                   Resolve(platform, "MFCreateAttributes", found.createAttributes) &&
                   Resolve(platform, "MFCreateMediaType", found.createMediaType) &&
                   Resolve(sources, "MFEnumDeviceSources", found.enumDeviceSources) &&
                   Resolve(sources, "MFCreateDeviceSource", found.createDeviceSource) &&
                   Resolve(readers, "MFCreateSourceReaderFromMediaSource",
                           found.createSourceReaderFromMediaSource);
        if (complete) {
            Resolve(readers, "MFCreateSourceReaderFromURL", found.createSourceReaderFromUrl);
            api = found;
        }
    });
    return complete ? &api : nullptr;
}

struct SubtypeName {
    PixelFormat format;
    const GUID* guid;
};

const SubtypeName SUBTYPES[] = {
    {PixelFormat::RGB24, &MFVideoFormat_RGB24},
    {PixelFormat::YUY2, &MFVideoFormat_YUY2},
    {PixelFormat::NV12, &MFVideoFormat_NV12},
    {PixelFormat::MJPG, &MFVideoFormat_MJPG},
};

PixelFormat FormatOfSubtype(const GUID& subtype) {
    for (const SubtypeName& name : SUBTYPES) {
        if (std::memcmp(&subtype, name.guid, sizeof(GUID)) == 0) return name.format;
    }
    return PixelFormat::Unknown;
}

const GUID* SubtypeOfFormat(PixelFormat format) {
    for (const SubtypeName& name : SUBTYPES) {
        if (name.format == format) return name.guid;
    }
    return nullptr;
}

// Device paths are case-insensitive, and the case of a stored link need not
// be the case that the platform lists now.
bool SameLink(const std::wstring& a, const std::wstring& b) {
    if (a.empty() || a.size() != b.size()) return false;
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

int32_t ToInt32OrZero(UINT32 value) {
    return value > static_cast<UINT32>(std::numeric_limits<int32_t>::max()) ? 0
                                                                             : static_cast<int32_t>(value);
}

MediaFormat FormatOfType(IMFMediaType* type) {
    MediaFormat format;
    GUID subtype = {};
    if (SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype))) format.subtype = FormatOfSubtype(subtype);
    UINT64 size = 0;
    if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_SIZE, &size))) {
        // A size that does not fit in int32 is as good as none: Camera refuses 0.
        format.width = ToInt32OrZero(static_cast<UINT32>(size >> 32));
        format.height = ToInt32OrZero(static_cast<UINT32>(size & 0xFFFFFFFF));
    }
    UINT32 stride = 0;
    // The attribute holds a signed value in an unsigned slot: negative means
    // bottom-up rows.
    if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride))) {
        format.defaultStride = static_cast<int32_t>(stride);
    }
    UINT64 rate = 0;
    // Numerator in the upper half, as MFGetAttributeRatio reads it; a rate
    // with a zero denominator says nothing.
    if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_RATE, &rate)) && (rate & 0xFFFFFFFF) != 0) {
        format.rateNumerator = static_cast<uint32_t>(rate >> 32);
        format.rateDenominator = static_cast<uint32_t>(rate & 0xFFFFFFFF);
    }
    return format;
}

// How many rows of `pitch` bytes one frame of this subtype spans; 0 for a
// compressed or unknown subtype, whose bytes have no rows.
int64_t RowsOfFrame(const MediaFormat& format) {
    if (format.height <= 0) return 0;
    switch (format.subtype) {
    case PixelFormat::RGB24:
    case PixelFormat::YUY2:
        return format.height;
    case PixelFormat::NV12:
        return int64_t{format.height} + (int64_t{format.height} + 1) / 2;
    default:
        return 0;
    }
}

// The platform's code carried as it is: the camera tells a refused type from a
// device that failed.
FormatResult ResultOf(HRESULT result) {
    return FormatResult{SUCCEEDED(result) ? CAMERA_ERROR_NONE : static_cast<CameraError>(result)};
}

// What Media Foundation answered to one ReadSample request.
struct ReadAnswer {
    HRESULT status = E_UNEXPECTED;
    DWORD flags = 0;
    ComPtr<IMFSample> sample;
};

// The source reader's callback in asynchronous mode, and the one place where
// its answer meets the thread that waits for it. Media Foundation calls it on
// a thread of its own and holds a reference for as long as it may still
// answer, which can be after our reader has let the source reader go: so the
// callback owns everything that an answer touches, and points at nothing.
class ReadCallback final : public IMFSourceReaderCallback {
public:
    enum class Wait { Answered, TimedOut, Cancelled };

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFSourceReaderCallback)) {
            *out = static_cast<IMFSourceReaderCallback*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE OnReadSample(HRESULT status, DWORD, DWORD flags, LONGLONG,
                                           IMFSample* sample) override {
        {
            const auto hold = cancel_.Lock();
            answer_.status = status;
            answer_.flags = flags;
            answer_.sample = sample;
            answered_ = true;
        }
        cancel_.Notify();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnFlush(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnEvent(DWORD, IMFMediaEvent*) override { return S_OK; }

    // Before each request: an answer must belong to the request it answers.
    void Expect() {
        const auto hold = cancel_.Lock();
        answered_ = false;
        answer_ = ReadAnswer{};
    }

    // The answer to the request made last, if it comes within `bound` and no
    // cancel comes first; a cancel wins over an answer already there, which
    // then waits for the next call.
    Wait Await(std::chrono::milliseconds bound, ReadAnswer& answer) {
        if (!cancel_.Wait(ReadCancel::Clock::now() + bound, [this] { return answered_; })) return Wait::Cancelled;
        const auto hold = cancel_.Lock();
        if (!answered_) return Wait::TimedOut;
        answered_ = false;
        answer = std::move(answer_);
        answer_ = ReadAnswer{};
        return Wait::Answered;
    }

    ReadCancel& cancel() { return cancel_; }

private:
    ~ReadCallback() = default;  // through Release only

    std::atomic<ULONG> references_{1};
    ReadCancel cancel_;  // its lock also guards the answer
    ReadAnswer answer_;
    bool answered_ = false;
};

class MediaFoundationReader final : public VideoReader {
public:
    MediaFoundationReader(ComPtr<IMFSourceReader> reader, ComPtr<ReadCallback> callback,
                          SourceReaderOptions options)
        : reader_(std::move(reader)), callback_(std::move(callback)), options_(options) {
        RefreshCurrentFormat();
    }

    FormatResult SetPartialType(PixelFormat subtype) override {
        const GUID* guid = SubtypeOfFormat(subtype);
        // A subtype with no name in Media Foundation is one no device takes.
        if (!guid) return FormatResult{CAMERA_ERROR_TYPE_REFUSED};
        const MediaFoundationApi* mf = MediaFoundation();
        if (!mf) return ResultOf(E_FAIL);
        ComPtr<IMFMediaType> type;
        HRESULT result = mf->createMediaType(&type);
        if (SUCCEEDED(result)) result = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
        if (SUCCEEDED(result)) result = type->SetGUID(MF_MT_SUBTYPE, *guid);
        if (SUCCEEDED(result)) result = reader_->SetCurrentMediaType(FIRST_VIDEO_STREAM, nullptr, type.Get());
        if (SUCCEEDED(result)) RefreshCurrentFormat();
        return ResultOf(result);
    }

    FormatResult GetNativeFormat(uint32_t index, MediaFormat& format) override {
        ComPtr<IMFMediaType> type;
        const HRESULT result = reader_->GetNativeMediaType(FIRST_VIDEO_STREAM, index, &type);
        if (SUCCEEDED(result)) format = FormatOfType(type.Get());
        return ResultOf(result);
    }

    FormatResult UseNativeFormat(uint32_t index) override {
        ComPtr<IMFMediaType> type;
        HRESULT result = reader_->GetNativeMediaType(FIRST_VIDEO_STREAM, index, &type);
        if (SUCCEEDED(result)) result = reader_->SetCurrentMediaType(FIRST_VIDEO_STREAM, nullptr, type.Get());
        if (SUCCEEDED(result)) RefreshCurrentFormat();
        return ResultOf(result);
    }

    FormatResult GetCurrentFormat(MediaFormat& format) override {
        ComPtr<IMFMediaType> type;
        const HRESULT result = reader_->GetCurrentMediaType(FIRST_VIDEO_STREAM, &type);
        if (SUCCEEDED(result)) {
            format = FormatOfType(type.Get());
            current_ = format;
        }
        return ResultOf(result);
    }

    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample,
                           CameraError& error) override {
        ReadAnswer answer;
        HRESULT read = Answer(answer);
        // A clip played as a camera never ends: from its end it starts again,
        // in the same call, so that the caller sees no gap.
        if (SUCCEEDED(read) && options_.loop && IsPlainEnd(answer.flags) && Rewind()) {
            // Wine's reader in asynchronous mode answers the first request
            // after the seek with the end once more; a clip that is empty ends
            // all the same, after the second.
            int left = 2;
            do {
                answer = ReadAnswer{};
                read = Answer(answer);
            } while (SUCCEEDED(read) && IsPlainEnd(answer.flags) && --left > 0);
        }
        if (FAILED(read)) {
            error = static_cast<CameraError>(read);
            return ReadOutcome::Failed;
        }
        const DWORD flags = answer.flags;
        // The flag carries no code, and the reader must not be asked again:
        // only a failed call says why (device gone, taken over).
        if (flags & MF_SOURCE_READERF_ERROR) return ReadOutcome::StreamError;
        if (flags & MF_SOURCE_READERF_ENDOFSTREAM) return ReadOutcome::EndOfStream;
        // The rows of a 2D buffer are measured with the type in force.
        if (flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) RefreshCurrentFormat();
        ComPtr<IMFSample> sample = std::move(answer.sample);
        if (!sample) return ReadOutcome::NoSample;  // a stream tick, or nothing yet

        // The sample's own time, on the stream's presentation clock; a sample
        // without one cannot be judged fresh or stale.
        LONGLONG taken = 0;
        const bool timed = SUCCEEDED(sample->GetSampleTime(&taken));
        ComPtr<IMFMediaBuffer> buffer;
        if (FAILED(sample->ConvertToContiguousBuffer(&buffer))) return ReadOutcome::NoSample;
        sample.Reset();
        LockedSampleBuffer locked;
        if (!locked.Lock(buffer.Get(), current_)) return ReadOutcome::NoSample;
        if (options_.pace) {
            const auto delay =
                pacer_.NextDelay(std::chrono::steady_clock::now(), current_.rateNumerator, current_.rateDenominator);
            if (!callback_->cancel().Pause(ReadCancel::Clock::now() + delay)) {
                error = CAMERA_ERROR_CANCELLED;
                return ReadOutcome::Failed;
            }
        }
        SampleView view = locked.view();
        view.timestamp = taken;
        view.timed = timed;
        onSample(view);
        return ReadOutcome::Sample;
    }

    void CancelRead() override { callback_->cancel().Cancel(); }
    void ResumeReads() override { callback_->cancel().Resume(); }

private:
    static bool IsPlainEnd(DWORD flags) {
        return (flags & MF_SOURCE_READERF_ENDOFSTREAM) && !(flags & MF_SOURCE_READERF_ERROR);
    }

    // The answer to the one request outstanding, made now if there is none:
    // a request that was not answered in time is still with the source
    // reader, and a second one would queue behind it. The wait is bounded so
    // that a device that sends nothing cannot hold the reading thread.
    HRESULT Answer(ReadAnswer& answer) {
        if (!outstanding_) {
            callback_->Expect();
            // In asynchronous mode every output goes to the callback.
            const HRESULT asked = reader_->ReadSample(FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr);
            if (FAILED(asked)) return asked;
            outstanding_ = true;
        }
        const std::chrono::milliseconds bound = answeredOnce_ ? options_.waits.later : options_.waits.first;
        switch (callback_->Await(bound, answer)) {
        case ReadCallback::Wait::Cancelled:
            return static_cast<HRESULT>(CAMERA_ERROR_CANCELLED);
        case ReadCallback::Wait::TimedOut:
            answeredOnce_ = true;  // the cold start's allowance is used up
            return static_cast<HRESULT>(CAMERA_ERROR_NO_FRAMES);
        case ReadCallback::Wait::Answered:
            break;
        }
        answeredOnce_ = true;
        outstanding_ = false;
        return answer.status;
    }

    // Back to the start: GUID_NULL with a VT_I8 position in 100 ns units.
    bool Rewind() {
        PROPVARIANT start;
        PropVariantInit(&start);
        start.vt = VT_I8;
        start.hVal.QuadPart = 0;
        return SUCCEEDED(reader_->SetCurrentPosition(GUID_NULL, start));
    }

    void RefreshCurrentFormat() {
        MediaFormat format;
        if (!GetCurrentFormat(format)) current_ = MediaFormat{};
    }

    ComPtr<IMFSourceReader> reader_;
    ComPtr<ReadCallback> callback_;
    MediaFormat current_;  // the type in force, for locking buffers
    SourceReaderOptions options_;
    FramePacer pacer_;
    bool outstanding_ = false;   // a request has not been answered yet
    bool answeredOnce_ = false;  // the stream's first wait is over
};

// The attribute as a string, freed as soon as it is copied; empty when it
// cannot be read.
std::wstring ReadString(IMFActivate* device, const GUID& key) {
    UniqueCoTaskMem<WCHAR> text;
    UINT32 length = 0;
    if (FAILED(device->GetAllocatedString(key, text.put(), &length)) || !text.get()) return {};
    return std::wstring(text.get(), length);
}

}  // namespace

std::vector<CameraDevice> EnumerateMediaFoundationCameras() {
    std::vector<CameraDevice> devices;
    const MediaFoundationApi* mf = MediaFoundation();
    if (!mf) return devices;
    UniqueCoTaskMem<IMFActivate*> array;
    UINT32 count = 0;
    {
        ComPtr<IMFAttributes> filter;
        if (FAILED(mf->createAttributes(&filter, 1))) return devices;
        if (FAILED(filter->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE,
                                   MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID))) {
            return devices;
        }
        if (FAILED(mf->enumDeviceSources(filter.Get(), array.put(), &count))) return devices;
    }
    if (!array.get()) return devices;
    // Each device object is owned before anything else happens, then the
    // platform's array is freed at once.
    std::vector<ComPtr<IMFActivate>> found(count);
    for (UINT32 i = 0; i < count; ++i) found[i].Attach(array.get()[i]);
    array.reset();

    for (const ComPtr<IMFActivate>& device : found) {
        if (!device) {
            devices.push_back(CameraDevice{});
            continue;
        }
        devices.push_back(CameraDevice{ReadString(device.Get(), MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME),
                                       ReadString(device.Get(),
                                                  MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK)});
    }
    return devices;
}

bool LockedSampleBuffer::LockTwoDimensional(IMFMediaBuffer* buffer, const MediaFormat& format) {
    const int64_t rows = RowsOfFrame(format);
    if (rows == 0) return false;

    BYTE* scanLine0 = nullptr;
    LONG pitch = 0;
    // Where the buffer says how far its memory reaches, that is the bound;
    // otherwise its current length.
    BYTE* bufferStart = nullptr;
    DWORD bufferLength = 0;
    ComPtr<IMF2DBuffer2> buffer2;
    ComPtr<IMF2DBuffer> buffer1;
    if (SUCCEEDED(buffer->QueryInterface(IID_PPV_ARGS(&buffer2)))) {
        if (FAILED(buffer2->Lock2DSize(MF2DBuffer_LockFlags_Read, &scanLine0, &pitch, &bufferStart,
                                       &bufferLength))) {
            return false;
        }
        locked2d_ = buffer2;
    } else if (SUCCEEDED(buffer->QueryInterface(IID_PPV_ARGS(&buffer1)))) {
        if (FAILED(buffer1->Lock2D(&scanLine0, &pitch))) return false;
        locked2d_ = buffer1;
    } else {
        return false;
    }

    const int64_t magnitude = pitch < 0 ? -int64_t{pitch} : int64_t{pitch};
    // Planar NV12 has no bottom-up form.
    if (magnitude == 0 || (pitch < 0 && format.subtype == PixelFormat::NV12)) return false;
    const int64_t span = magnitude * rows;
    if (span > std::numeric_limits<int32_t>::max()) return false;
    // Scan line 0 is the top row; a bottom-up buffer keeps it last in memory.
    const BYTE* lowest = pitch < 0 ? scanLine0 - magnitude * (format.height - 1) : scanLine0;

    if (bufferStart) {
        const BYTE* end = bufferStart + bufferLength;
        if (lowest < bufferStart || lowest > end || span > end - lowest) return false;
    } else {
        if (pitch < 0) return false;  // no way to tell where such memory starts
        DWORD currentLength = 0;
        if (FAILED(buffer->GetCurrentLength(&currentLength)) || span > currentLength) return false;
    }
    view_ = SampleView{lowest, static_cast<int32_t>(span), static_cast<int32_t>(pitch)};
    return true;
}

bool LockedSampleBuffer::Lock(IMFMediaBuffer* buffer, const MediaFormat& format) {
    Unlock();
    if (!buffer) return false;
    if (LockTwoDimensional(buffer, format)) return true;
    // A 2D lock that could not be used: the plain lock gives the same frame as
    // contiguous rows of the type's default stride, or where the type names
    // none, of the pitch that the buffer's length tells.
    Unlock();

    BYTE* data = nullptr;
    DWORD maxLength = 0;
    DWORD currentLength = 0;
    if (FAILED(buffer->Lock(&data, &maxLength, &currentLength))) return false;
    locked_ = buffer;
    if (!data || currentLength > maxLength ||
        currentLength > static_cast<DWORD>(std::numeric_limits<int32_t>::max())) {
        Unlock();
        return false;
    }
    const int32_t stride =
        format.defaultStride != 0 ? format.defaultStride : PitchFromLength(format, currentLength);
    view_ = SampleView{data, static_cast<int32_t>(currentLength), stride};
    return true;
}

void LockedSampleBuffer::Unlock() {
    if (locked2d_) locked2d_->Unlock2D();
    if (locked_) locked_->Unlock();
    locked2d_.Reset();
    locked_.Reset();
    view_ = SampleView{};
}

std::unique_ptr<VideoReader> OpenMediaFoundationReader(const std::wstring& symbolicLink, CameraError& error) {
    const MediaFoundationApi* mf = MediaFoundation();
    if (!mf) return nullptr;
    // Only a link that names a device present now goes to MFCreateDeviceSource:
    // the Wine versions that we test on abort the process inside it, and for a
    // camera that has gone the answer is the same.
    bool present = false;
    for (const CameraDevice& device : EnumerateMediaFoundationCameras()) {
        if (SameLink(device.symbolicLink, symbolicLink)) present = true;
    }
    if (!present) {
        error = CAMERA_ERROR_INVALIDATED;
        return nullptr;
    }

    ComPtr<IMFMediaSource> source;
    {
        ComPtr<IMFAttributes> device;
        if (FAILED(mf->createAttributes(&device, 2))) return nullptr;
        if (FAILED(device->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE,
                                   MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID))) {
            return nullptr;
        }
        if (FAILED(device->SetString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK,
                                     symbolicLink.c_str()))) {
            return nullptr;
        }
        // Privacy settings that deny us the camera fail here, with E_ACCESSDENIED.
        const HRESULT created = mf->createDeviceSource(device.Get(), &source);
        if (FAILED(created)) {
            error = static_cast<CameraError>(created);
            return nullptr;
        }
    }

    // With FALSE the reader shuts the device source down when it is released.
    std::unique_ptr<VideoReader> reader = MakeSourceReader(
        [&](IMFAttributes* attributes, ComPtr<IMFSourceReader>& made) {
            attributes->SetUINT32(MF_SOURCE_READER_DISCONNECT_MEDIASOURCE_ON_SHUTDOWN, FALSE);
            return mf->createSourceReaderFromMediaSource(source.Get(), attributes, &made);
        },
        SourceReaderOptions{}, error);
    // Nothing else will: a source never shut down keeps the device busy.
    if (!reader) source->Shutdown();
    return reader;
}

std::unique_ptr<VideoReader> MakeSourceReader(const SourceReaderMaker& make, SourceReaderOptions options,
                                              CameraError& error) {
    const MediaFoundationApi* mf = MediaFoundation();
    if (!mf) return nullptr;
    ComPtr<ReadCallback> callback;
    callback.Attach(new (std::nothrow) ReadCallback);
    ComPtr<IMFAttributes> attributes;
    if (!callback || FAILED(mf->createAttributes(&attributes, 2)) ||
        FAILED(attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback.Get()))) {
        return nullptr;
    }
    ComPtr<IMFSourceReader> reader;
    const HRESULT made = make(attributes.Get(), reader);
    if (FAILED(made) || !reader) {
        error = static_cast<CameraError>(FAILED(made) ? made : E_FAIL);
        return nullptr;
    }
    // A stream that is selected but never read (a clip's sound, a camera's
    // second pin) queues its samples without bound.
    reader->SetStreamSelection(static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS), FALSE);
    const HRESULT selected = reader->SetStreamSelection(FIRST_VIDEO_STREAM, TRUE);
    if (FAILED(selected)) {
        error = static_cast<CameraError>(selected);
        return nullptr;
    }
    return std::make_unique<MediaFoundationReader>(std::move(reader), std::move(callback), options);
}

std::unique_ptr<VideoReader> OpenMediaFoundationFile(const std::wstring& path, CameraError& error) {
    const MediaFoundationApi* mf = MediaFoundation();
    if (!mf || !mf->createSourceReaderFromUrl || path.empty()) return nullptr;
    return MakeSourceReader(
        [&](IMFAttributes* attributes, ComPtr<IMFSourceReader>& made) {
            return mf->createSourceReaderFromUrl(path.c_str(), attributes, &made);
        },
        SourceReaderOptions{true, true, ReadWaits{}}, error);
}

bool StartMediaFoundation() {
    if (!comStarted && !comOtherApartment) {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (hr == RPC_E_CHANGED_MODE) {
            comOtherApartment = true;
        } else if (FAILED(hr)) {
            return false;
        } else {
            comStarted = true;
        }
    }
    if (mediaFoundationStarted) return true;
    const MediaFoundationApi* mf = MediaFoundation();
    if (!mf || FAILED(mf->startup(MEDIA_FOUNDATION_VERSION, MFSTARTUP_LITE))) return false;
    mediaFoundationStarted = true;
    // Made here, on the UI thread, so that the preview thread decodes MJPG
    // frames with it even when this thread kept another apartment and the
    // process has no multithreaded one for the preview thread to join.
    WicImagingFactory();
    return true;
}

void StopMediaFoundation() {
    ReleaseWicImagingFactory();
    if (mediaFoundationStarted) {
        MediaFoundation()->shutdown();
        mediaFoundationStarted = false;
    }
    if (comStarted) {
        CoUninitialize();
        comStarted = false;
    }
    comOtherApartment = false;
}
