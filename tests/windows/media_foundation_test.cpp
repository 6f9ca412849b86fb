// Media Foundation: the device list, the reader behind the camera seam (driven
// by a scripted IMFSourceReader, as Wine has no camera) and its buffer locks.
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <thread>
#include <tuple>

#include "camera/devices.h"
#include "camera/media_foundation_win.h"
#include "capture_test_support.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD VIDEO = MF_SOURCE_READER_FIRST_VIDEO_STREAM;

// A source reader in asynchronous mode that plays back scripted types and
// reads, to drive the reader seam where Wine has no camera. Each request is
// answered through the callback at once, or, when not `answerNow`, when the
// test calls Answer.
struct FakeSourceReader final : IMFSourceReader {
    std::vector<ComPtr<IMFMediaType>> nativeTypes, offered;  // offered: every SetCurrentMediaType
    ComPtr<IMFMediaType> current;
    HRESULT typeResult = S_OK;    // what setting a type gives
    HRESULT nativeResult = S_OK;  // what asking for a native type within the list gives
    // The next read's outcome; one read at a time.
    HRESULT readResult = E_UNEXPECTED;
    DWORD readFlags = 0;
    ComPtr<IMFSample> readSample;
    ComPtr<IMFSourceReaderCallback> callback;  // as the reader's maker gave it
    bool answerNow = true;
    HRESULT askResult = S_OK;  // what a request gives
    int requests = 0;
    std::vector<std::pair<DWORD, BOOL>> selections;
    // Seeks: their result, how many went to the start (GUID_NULL, VT_I8 0) and
    // how many elsewhere; a successful one makes the next read these.
    HRESULT seekResult = E_NOTIMPL;
    int seeksToStart = 0, otherSeeks = 0;
    DWORD afterSeekFlags = 0;
    ComPtr<IMFSample> afterSeekSample;
    int staleEnds = 0;  // ends of the stream answered after a seek before those reads, as Wine's reader does
    ULONG references = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == __uuidof(IMFSourceReader) ? this : nullptr;
        if (*out) AddRef();
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetNativeMediaType(DWORD stream, DWORD index, IMFMediaType** type) override {
        if (stream != VIDEO) return E_INVALIDARG;
        if (index >= nativeTypes.size()) return MF_E_NO_MORE_TYPES;
        return FAILED(nativeResult) ? nativeResult : nativeTypes[index].CopyTo(type);
    }
    HRESULT STDMETHODCALLTYPE GetCurrentMediaType(DWORD stream, IMFMediaType** type) override {
        return stream == VIDEO && current ? current.CopyTo(type) : MF_E_INVALIDREQUEST;
    }
    HRESULT STDMETHODCALLTYPE SetCurrentMediaType(DWORD stream, DWORD*, IMFMediaType* type) override {
        if (stream != VIDEO) return E_INVALIDARG;
        offered.push_back(type);
        if (SUCCEEDED(typeResult)) current = type;
        return typeResult;
    }
    // Asynchronous mode takes no outputs.
    HRESULT STDMETHODCALLTYPE ReadSample(DWORD stream, DWORD control, DWORD* actual, DWORD* flags,
                                         LONGLONG* timestamp, IMFSample** sample) override {
        if (stream != VIDEO || control != 0 || actual || flags || timestamp || sample || !callback) return E_INVALIDARG;
        if (FAILED(askResult)) return askResult;
        ++requests;
        if (answerNow) Answer();
        return S_OK;
    }
    void Answer() {
        const ComPtr<IMFSample> sample = std::move(readSample);
        callback->OnReadSample(std::exchange(readResult, E_UNEXPECTED), VIDEO, readFlags, 0, sample.Get());
        if (seeksToStart > 0 && staleEnds > 0) --staleEnds, AfterSeek();
    }
    HRESULT STDMETHODCALLTYPE GetServiceForStream(DWORD, REFGUID, REFIID, void** out) override { return *out = nullptr, E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamSelection(DWORD, WINBOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStreamSelection(DWORD stream, WINBOOL selected) override {
        selections.emplace_back(stream, selected);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetCurrentPosition(REFGUID format, REFPROPVARIANT position) override {
        const bool start = format == GUID_NULL && position.vt == VT_I8 && position.hVal.QuadPart == 0;
        ++(start ? seeksToStart : otherSeeks);
        if (SUCCEEDED(seekResult)) AfterSeek();
        return seekResult;
    }
    void AfterSeek() {
        readResult = S_OK;
        readFlags = staleEnds > 0 ? MF_SOURCE_READERF_ENDOFSTREAM : afterSeekFlags;
        readSample = staleEnds > 0 ? nullptr : afterSeekSample;
    }
    HRESULT STDMETHODCALLTYPE Flush(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPresentationAttribute(DWORD, REFGUID, PROPVARIANT*) override { return E_NOTIMPL; }
};

ComPtr<IMFMediaType> VideoType(const GUID& subtype, UINT32 width, UINT32 height, INT32 stride = 0) {
    ComPtr<IMFMediaType> type;
    EXPECT_HRESULT_SUCCEEDED(MFCreateMediaType(&type));
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT64(MF_MT_FRAME_SIZE, (UINT64{width} << 32) | height);
    if (stride != 0) type->SetUINT32(MF_MT_DEFAULT_STRIDE, static_cast<UINT32>(stride));
    return type;
}

// A sample of one memory buffer per piece.
ComPtr<IMFSample> SampleOf(const std::vector<std::vector<uint8_t>>& pieces) {
    ComPtr<IMFSample> sample;
    EXPECT_HRESULT_SUCCEEDED(MFCreateSample(&sample));
    for (const std::vector<uint8_t>& bytes : pieces) {
        ComPtr<IMFMediaBuffer> buffer;
        BYTE* data = nullptr;
        EXPECT_HRESULT_SUCCEEDED(MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), &buffer));
        buffer->Lock(&data, nullptr, nullptr);
        std::memcpy(data, bytes.data(), bytes.size());
        buffer->Unlock();
        buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
        sample->AddBuffer(buffer.Get());
    }
    return sample;
}

// The seam over the fake, made as Media Foundation makes a reader: the
// callback comes in the attributes.
std::unique_ptr<VideoReader> Wrap(FakeSourceReader* fake, SourceReaderOptions options = {}) {
    CameraError error = CAMERA_ERROR_NONE;
    return MakeSourceReader(
        [fake](IMFAttributes* attributes, ComPtr<IMFSourceReader>& made) {
            made = fake;
            return attributes->GetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, IID_PPV_ARGS(&fake->callback));
        },
        options, error);
}

std::tuple<PixelFormat, int32_t, int32_t, int32_t> Fields(const MediaFormat& f) {
    return {f.subtype, f.width, f.height, f.defaultStride};
}

class MediaFoundation : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartMediaFoundation()); }
    void TearDown() override {
        EnableTestPatternCameras(false);  // other tests expect the system's list
        StopMediaFoundation();
    }
};

}  // namespace

TEST_F(MediaFoundation, ReaderMapsTypesAndReadOutcomes) {
    auto* fake = new FakeSourceReader;
    ComPtr<IMFSourceReader> wrapped;
    wrapped.Attach(fake);
    const std::unique_ptr<VideoReader> reader = Wrap(fake);
    ASSERT_TRUE(reader);
    // Only the video stream is read, so only it is selected.
    const std::vector<std::pair<DWORD, BOOL>> selected = {{DWORD(MF_SOURCE_READER_ALL_STREAMS), FALSE}, {VIDEO, TRUE}};
    EXPECT_EQ(fake->selections, selected);
    // Each native type as the camera states it, and as the seam must give it.
    const std::pair<ComPtr<IMFMediaType>, MediaFormat> natives[] = {
        {VideoType(MFVideoFormat_MJPG, 1920, 1080), {PixelFormat::MJPG, 1920, 1080, 0}},
        {VideoType(MFVideoFormat_H264, 1280, 720), {PixelFormat::Unknown, 1280, 720, 0}},
        {VideoType(MFVideoFormat_YUY2, 640, 480, 1280), {PixelFormat::YUY2, 640, 480, 1280}},
        {VideoType(MFVideoFormat_NV12, 0x80000000u, 2), {PixelFormat::NV12, 0, 2, 0}},  // too wide for int32
        {VideoType(MFVideoFormat_RGB24, 4, 2, -12), {PixelFormat::RGB24, 4, 2, -12}},  // bottom-up
    };
    for (const auto& [type, format] : natives) fake->nativeTypes.push_back(type);
    for (uint32_t i = 0; i < std::size(natives); ++i) {
        SCOPED_TRACE(i);
        MediaFormat native, current;
        ASSERT_TRUE(reader->GetNativeFormat(i, native));
        ASSERT_TRUE(reader->UseNativeFormat(i));
        EXPECT_EQ(fake->offered.back(), fake->nativeTypes[i]) << "the native type goes to the reader unchanged";
        ASSERT_TRUE(reader->GetCurrentFormat(current));
        for (const MediaFormat& got : {native, current}) EXPECT_EQ(Fields(got), Fields(natives[i].second));
    }
    MediaFormat format;
    EXPECT_EQ(reader->GetNativeFormat(std::size(natives), format).error, MF_E_NO_MORE_TYPES);
    EXPECT_EQ(reader->UseNativeFormat(std::size(natives)).error, MF_E_NO_MORE_TYPES);
    // A partial type holds the major type and subtype only.
    for (const auto& [type, format] : natives) {
        if (format.subtype == PixelFormat::Unknown) continue;
        ASSERT_TRUE(reader->SetPartialType(format.subtype));
        BOOL within = FALSE;
        UINT32 count = 0;
        type->Compare(fake->offered.back().Get(), MF_ATTRIBUTES_MATCH_THEIR_ITEMS, &within);
        fake->offered.back()->GetCount(&count);
        EXPECT_TRUE(within && count == 2u) << static_cast<int>(format.subtype);
    }
    EXPECT_EQ(reader->SetPartialType(PixelFormat::Unknown).error, MF_E_INVALIDMEDIATYPE);
    ASSERT_TRUE(reader->UseNativeFormat(std::size(natives) - 1));
    // The reader's code comes through as it is, so that the camera can tell a
    // refused type from a device that was unplugged or taken since it was listed.
    const size_t offers = fake->offered.size();
    for (const HRESULT code : {MF_E_INVALIDMEDIATYPE, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED,
                               MF_E_HW_MFT_FAILED_START_STREAMING, E_ACCESSDENIED}) {
        SCOPED_TRACE(code);
        fake->typeResult = code;
        EXPECT_EQ(reader->SetPartialType(PixelFormat::RGB24).error, code);
        EXPECT_EQ(reader->UseNativeFormat(0).error, code);
        fake->nativeResult = code;
        EXPECT_TRUE(reader->GetNativeFormat(0, format).error == code && reader->UseNativeFormat(0).error == code);
        fake->nativeResult = S_OK;
        // The type in force stays the last one set.
        EXPECT_TRUE(reader->GetCurrentFormat(format) && Fields(format) == Fields(natives[std::size(natives) - 1].second));
    }
    EXPECT_EQ(fake->offered.size(), offers + 8) << "a native type that could not be had is not offered";
    fake->typeResult = S_OK;
    const ComPtr<IMFMediaType> inForce = std::exchange(fake->current, nullptr);
    EXPECT_EQ(reader->GetCurrentFormat(format).error, MF_E_INVALIDREQUEST);
    fake->current = inForce;

    // A failed read says why; an error flag wins over end of stream; pieces
    // come joined, with the stride of the type in force, which changes only
    // when the reader says so.
    const std::vector<uint8_t> first = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::vector<uint8_t> second = {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    const struct {
        HRESULT result;
        DWORD flags;
        std::vector<std::vector<uint8_t>> pieces;
        int32_t typeStride;  // the reader's current type changes to this stride first, if not 0
        ReadOutcome outcome;
        CameraError error;
        int32_t stride;  // of the sample seen
    } reads[] = {
        {static_cast<HRESULT>(CAMERA_ERROR_INVALIDATED), 0, {}, 0, ReadOutcome::Failed, CAMERA_ERROR_INVALIDATED},
        {S_OK, MF_SOURCE_READERF_ERROR, {first}, 0, ReadOutcome::StreamError},
        {S_OK, MF_SOURCE_READERF_ERROR | MF_SOURCE_READERF_ENDOFSTREAM, {}, 0, ReadOutcome::StreamError},
        {S_OK, MF_SOURCE_READERF_ENDOFSTREAM, {}, 0, ReadOutcome::EndOfStream},
        {S_OK, MF_SOURCE_READERF_STREAMTICK, {}, 0, ReadOutcome::NoSample},
        {S_OK, 0, {first, second}, 0, ReadOutcome::Sample, 0, -12},
        {S_OK, 0, {first}, 24, ReadOutcome::Sample, 0, -12},
        {S_OK, MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED, {second}, 36, ReadOutcome::Sample, 0, 36},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE(&read - reads);
        if (read.typeStride) fake->current = VideoType(MFVideoFormat_RGB24, 4, 2, read.typeStride);
        fake->readResult = read.result;
        fake->readFlags = read.flags;
        fake->readSample = read.pieces.empty() ? nullptr : SampleOf(read.pieces);
        std::vector<uint8_t> seen;
        int32_t stride = 0;
        CameraError error = CAMERA_ERROR_NONE;
        EXPECT_EQ(reader->ReadSample([&](const SampleView& view) {
            seen.assign(view.data, view.data + view.length);
            stride = view.stride;
        }, error), read.outcome);
        EXPECT_EQ(error, read.error);
        EXPECT_EQ(stride, read.stride);
        std::vector<uint8_t> joined;
        for (const auto& piece : read.pieces) joined.insert(joined.end(), piece.begin(), piece.end());
        EXPECT_EQ(seen, read.outcome == ReadOutcome::Sample ? joined : std::vector<uint8_t>{});
    }
}

// The test cameras come after the system's own and open through the same call;
// switched off, as the production program always has them, they are gone.
TEST_F(MediaFoundation, TestPatternsFollowTheRealDevicesOnlyWhileEnabled) {
    const std::vector<CameraDevice> real = EnumerateCameras(), patterns = TestPatternCameras();
    EnableTestPatternCameras();
    const std::vector<CameraDevice> all = EnumerateCameras();
    ASSERT_EQ(all.size(), real.size() + patterns.size());
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].symbolicLink, (i < real.size() ? real[i] : patterns[i - real.size()]).symbolicLink);
    }
    CameraError error = CAMERA_ERROR_NONE;
    EXPECT_NE(OpenCameraReader(patterns.back().symbolicLink, error), nullptr);
    EnableTestPatternCameras(false);
    EXPECT_EQ(EnumerateCameras().size(), real.size());
    EXPECT_EQ(OpenCameraReader(patterns.back().symbolicLink, error), nullptr);
}

// 2D buffers report their own pitch; a bottom-up one starts at its bottom row. A
// compressed frame has no rows, whatever buffer it comes in: the plain lock's
// bytes are the frame.
TEST_F(MediaFoundation, TwoDimensionalBufferLockUsesThePitch) {
    const struct {
        DWORD fourcc;
        BOOL bottomUp;
        MediaFormat format;
        int32_t rows;  // 0: no rows, the plain lock
    } cases[] = {{MAKEFOURCC('N', 'V', '1', '2'), FALSE, {PixelFormat::NV12, 64, 48, 64}, 72},
                 {20 /* D3DFMT_R8G8B8 */, TRUE, {PixelFormat::RGB24, 30, 16, -92}, 16},
                 {MAKEFOURCC('N', 'V', '1', '2'), FALSE, {PixelFormat::MJPG, 64, 48, 0}, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.format.subtype));
        ComPtr<IMFMediaBuffer> buffer;
        ASSERT_HRESULT_SUCCEEDED(MFCreate2DMediaBuffer(c.format.width, c.format.height, c.fourcc, c.bottomUp, &buffer));
        ComPtr<IMF2DBuffer> twoD;
        BYTE* scanLine0 = nullptr;
        LONG pitch = 0;
        ASSERT_HRESULT_SUCCEEDED(buffer.As(&twoD));
        ASSERT_HRESULT_SUCCEEDED(twoD->Lock2D(&scanLine0, &pitch));
        twoD->Unlock2D();
        BYTE* plain = nullptr;
        DWORD plainLength = 0;
        ASSERT_HRESULT_SUCCEEDED(buffer->Lock(&plain, nullptr, &plainLength));
        buffer->Unlock();

        LockedSampleBuffer locked;
        ASSERT_TRUE(locked.Lock(buffer.Get(), c.format));
        const SampleView view = locked.view();
        const int32_t magnitude = pitch < 0 ? -pitch : pitch;
        EXPECT_EQ(view.stride, c.rows ? pitch : 0);
        EXPECT_EQ(view.length, c.rows ? magnitude * c.rows : static_cast<int32_t>(plainLength));
        // Scan line 0, the top row, is first in memory top-down, last bottom-up.
        const BYTE* top = pitch < 0 ? scanLine0 - ptrdiff_t{magnitude} * (c.format.height - 1) : scanLine0;
        EXPECT_EQ(view.data, c.rows ? top : plain);
    }
    EXPECT_FALSE(LockedSampleBuffer().Lock(nullptr, MediaFormat{}));
}

// A clip's reader goes back to the start at the end of its stream and reads on
// in the same call; a camera's reader (the default) never seeks. A clip that
// cannot seek, or is empty, ends; an error flag is never read past.
TEST_F(MediaFoundation, AClipsReaderLoopsAtItsEndAndACamerasNever) {
    constexpr DWORD END = MF_SOURCE_READERF_ENDOFSTREAM;
    const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const struct {
        bool loop;
        DWORD flags;
        HRESULT seek;
        DWORD afterSeek;  // the flags of the read after the seek; it has a sample unless END
        int staleEnds;
        ReadOutcome outcome;
        int seeks;
    } cases[] = {
        {false, END, S_OK, 0, 0, ReadOutcome::EndOfStream, 0},
        {true, END, S_OK, 0, 0, ReadOutcome::Sample, 1},
        {true, END, S_OK, 0, 1, ReadOutcome::Sample, 1},  // as Wine's: one more end after the seek
        {true, END, MF_E_INVALIDREQUEST, 0, 0, ReadOutcome::EndOfStream, 1},
        {true, END, S_OK, END, 1, ReadOutcome::EndOfStream, 1},  // empty: one seek, not for ever
        {true, END | MF_SOURCE_READERF_ERROR, S_OK, 0, 0, ReadOutcome::StreamError, 0},
        {true, 0, S_OK, 0, 0, ReadOutcome::Sample, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        auto* fake = new FakeSourceReader;
        ComPtr<IMFSourceReader> wrapped;
        wrapped.Attach(fake);
        fake->current = VideoType(MFVideoFormat_RGB24, 4, 1, 12);
        const std::unique_ptr<VideoReader> reader = Wrap(fake, SourceReaderOptions{c.loop, false, ReadWaits{}});
        fake->readResult = S_OK;
        fake->readFlags = c.flags;
        fake->readSample = c.flags & END ? nullptr : SampleOf({bytes});
        fake->seekResult = c.seek;
        fake->afterSeekFlags = c.afterSeek;
        fake->afterSeekSample = c.afterSeek & END ? nullptr : SampleOf({bytes});
        fake->staleEnds = c.staleEnds;
        std::vector<uint8_t> seen;
        CameraError error = CAMERA_ERROR_NONE;
        EXPECT_EQ(reader->ReadSample([&](const SampleView& view) { seen.assign(view.data, view.data + view.length); },
                                     error),
                  c.outcome);
        EXPECT_EQ(seen, c.outcome == ReadOutcome::Sample ? bytes : std::vector<uint8_t>{});
        EXPECT_EQ(fake->seeksToStart, c.seeks);
        EXPECT_EQ(fake->otherSeeks, 0);
    }
}

// A read makes one request and waits for its answer no longer than its bound:
// the first wait of a stream, the longer, then the later ones; a request
// nobody answered stays the one request, and its answer, when it comes, is the
// next read's. A cancel wakes a waiting read at once and refuses reads until
// reads resume, without losing the request.
TEST_F(MediaFoundation, AReadWaitsForItsOneRequestNoLongerThanItsBoundAndACancelWakesIt) {
    const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    auto* fake = new FakeSourceReader;
    ComPtr<IMFSourceReader> owner;
    owner.Attach(fake);
    fake->current = VideoType(MFVideoFormat_RGB24, 4, 1, 12);
    fake->answerNow = false;
    const std::unique_ptr<VideoReader> reader =
        Wrap(fake, SourceReaderOptions{false, false, ReadWaits{std::chrono::milliseconds(2000), std::chrono::milliseconds(50)}});
    ASSERT_TRUE(reader);
    std::vector<uint8_t> seen;
    CameraError error = CAMERA_ERROR_NONE;
    const auto read = [&] {
        seen.clear();
        error = CAMERA_ERROR_NONE;
        return reader->ReadSample([&](const SampleView& view) { seen.assign(view.data, view.data + view.length); },
                                  error);
    };
    // The later wait's bound is far below the first's, so that a busy machine's delay cannot blur the two.
    for (const auto [atLeast, below] : {std::pair{2000, 60000}, std::pair{50, 1500}}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(read(), ReadOutcome::Failed);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(error, CAMERA_ERROR_NO_FRAMES);
        EXPECT_TRUE(waited >= std::chrono::milliseconds(atLeast - 20) && waited < std::chrono::milliseconds(below))
            << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms";
    }
    fake->readResult = S_OK, fake->readSample = SampleOf({bytes});
    fake->Answer();  // late
    EXPECT_TRUE(read() == ReadOutcome::Sample && seen == bytes && fake->requests == 1);

    // Long enough that only the cancel can end the read.
    const std::unique_ptr<VideoReader> waiting =
        Wrap(fake, SourceReaderOptions{false, false, ReadWaits{std::chrono::minutes(1), std::chrono::minutes(1)}});
    ASSERT_TRUE(waiting);
    ReadOutcome outcome = ReadOutcome::Sample;
    std::thread reading([&] { outcome = waiting->ReadSample([](const SampleView&) {}, error); });
    while (fake->requests < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    waiting->CancelRead();
    reading.join();
    EXPECT_TRUE(outcome == ReadOutcome::Failed && error == CAMERA_ERROR_CANCELLED);
    error = CAMERA_ERROR_NONE;
    EXPECT_EQ(waiting->ReadSample([](const SampleView&) {}, error), ReadOutcome::Failed);
    EXPECT_EQ(error, CAMERA_ERROR_CANCELLED);
    waiting->ResumeReads();
    fake->readResult = S_OK, fake->readSample = SampleOf({bytes});
    fake->Answer();
    seen.clear();
    EXPECT_EQ(waiting->ReadSample([&](const SampleView& view) { seen.assign(view.data, view.data + view.length); },
                                  error),
              ReadOutcome::Sample);
    EXPECT_TRUE(seen == bytes && fake->requests == 2);
    // A request the source reader refuses is no request outstanding.
    fake->askResult = MF_E_SHUTDOWN;
    EXPECT_TRUE(waiting->ReadSample([](const SampleView&) {}, error) == ReadOutcome::Failed && error == MF_E_SHUTDOWN);
    fake->askResult = S_OK, fake->answerNow = true, fake->readResult = S_OK, fake->readSample = SampleOf({bytes});
    EXPECT_TRUE(waiting->ReadSample([](const SampleView&) {}, error) == ReadOutcome::Sample && fake->requests == 3);
}
