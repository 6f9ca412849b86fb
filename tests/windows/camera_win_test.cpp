#include <gtest/gtest.h>

#include <windows.h>

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <cstring>
#include <deque>
#include <set>
#include <thread>

#include "camera/camera.h"
#include "camera/devices.h"
#include "camera/media_foundation_win.h"
#include "camera/test_pattern.h"

using Microsoft::WRL::ComPtr;

namespace {

// MFAllocateWorkQueue answers only while Media Foundation is started, so it
// shows whether one MFShutdown balanced every MFStartup.
bool MediaFoundationRunning() {
    DWORD queue = 0;
    if (FAILED(MFAllocateWorkQueue(&queue))) return false;
    MFUnlockWorkQueue(queue);
    return true;
}

// Test cameras for one test only: other tests expect the system's list.
struct TestPatternsEnabled {
    TestPatternsEnabled() { EnableTestPatternCameras(); }
    ~TestPatternsEnabled() { EnableTestPatternCameras(false); }
};

class MediaFoundation : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartMediaFoundation()); }
    void TearDown() override { StopMediaFoundation(); }
};

// A source reader that plays back scripted types and reads, to drive the
// reader seam where Wine has no camera.
class FakeSourceReader final : public IMFSourceReader {
public:
    struct Read {
        HRESULT result;
        DWORD flags;
        ComPtr<IMFSample> sample;
    };
    std::vector<ComPtr<IMFMediaType>> nativeTypes;
    ComPtr<IMFMediaType> current;
    std::vector<ComPtr<IMFMediaType>> offered;  // every SetCurrentMediaType
    bool refuseTypes = false;
    std::deque<Read> reads;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == __uuidof(IMFSourceReader)) {
            *out = static_cast<IMFSourceReader*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetStreamSelection(DWORD, WINBOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStreamSelection(DWORD, WINBOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNativeMediaType(DWORD stream, DWORD index, IMFMediaType** type) override {
        if (stream != MF_SOURCE_READER_FIRST_VIDEO_STREAM) return E_INVALIDARG;
        if (index >= nativeTypes.size()) return MF_E_NO_MORE_TYPES;
        return nativeTypes[index].CopyTo(type);
    }
    HRESULT STDMETHODCALLTYPE GetCurrentMediaType(DWORD stream, IMFMediaType** type) override {
        if (stream != MF_SOURCE_READER_FIRST_VIDEO_STREAM || !current) return MF_E_INVALIDREQUEST;
        return current.CopyTo(type);
    }
    HRESULT STDMETHODCALLTYPE SetCurrentMediaType(DWORD stream, DWORD*, IMFMediaType* type) override {
        if (stream != MF_SOURCE_READER_FIRST_VIDEO_STREAM) return E_INVALIDARG;
        offered.push_back(type);
        if (refuseTypes) return MF_E_INVALIDMEDIATYPE;
        current = type;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetCurrentPosition(REFGUID, REFPROPVARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReadSample(DWORD stream, DWORD controlFlags, DWORD* actual, DWORD* flags,
                                         LONGLONG* timestamp, IMFSample** sample) override {
        if (stream != MF_SOURCE_READER_FIRST_VIDEO_STREAM || controlFlags != 0 || reads.empty()) {
            return E_UNEXPECTED;
        }
        Read read = reads.front();
        reads.pop_front();
        *actual = 0;
        *flags = read.flags;
        *timestamp = 0;
        *sample = read.sample.Detach();
        return read.result;
    }
    HRESULT STDMETHODCALLTYPE Flush(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServiceForStream(DWORD, REFGUID, REFIID, void** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetPresentationAttribute(DWORD, REFGUID, PROPVARIANT*) override {
        return E_NOTIMPL;
    }

private:
    ~FakeSourceReader() = default;
    ULONG references = 1;
};

ComPtr<IMFMediaType> VideoType(const GUID& subtype, UINT32 width, UINT32 height, const INT32* stride) {
    ComPtr<IMFMediaType> type;
    EXPECT_HRESULT_SUCCEEDED(MFCreateMediaType(&type));
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT64(MF_MT_FRAME_SIZE, (UINT64{width} << 32) | height);
    if (stride) type->SetUINT32(MF_MT_DEFAULT_STRIDE, static_cast<UINT32>(*stride));
    return type;
}

ComPtr<IMFSample> SampleOf(std::initializer_list<std::vector<uint8_t>> pieces) {
    ComPtr<IMFSample> sample;
    EXPECT_HRESULT_SUCCEEDED(MFCreateSample(&sample));
    for (const std::vector<uint8_t>& bytes : pieces) {
        ComPtr<IMFMediaBuffer> buffer;
        EXPECT_HRESULT_SUCCEEDED(MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), &buffer));
        BYTE* data = nullptr;
        buffer->Lock(&data, nullptr, nullptr);
        std::memcpy(data, bytes.data(), bytes.size());
        buffer->Unlock();
        buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
        sample->AddBuffer(buffer.Get());
    }
    return sample;
}

struct FakeReader {
    FakeSourceReader* fake = new FakeSourceReader;  // owned by `reader`
    std::unique_ptr<VideoReader> reader;
    FakeReader() {
        ComPtr<IMFSourceReader> wrapped;
        wrapped.Attach(fake);
        reader = WrapSourceReader(wrapped);
    }
};

}  // namespace

TEST(MediaFoundationStartup, StartsOnceAndStops) {
    ASSERT_TRUE(StartMediaFoundation());
    ASSERT_TRUE(StartMediaFoundation());
    EXPECT_TRUE(MediaFoundationRunning());
    StopMediaFoundation();
    EXPECT_FALSE(MediaFoundationRunning()) << "MFStartup was called more than once";
    StopMediaFoundation();  // a second stop changes nothing

    ASSERT_TRUE(StartMediaFoundation());
    EXPECT_TRUE(MediaFoundationRunning());
    StopMediaFoundation();
}

TEST(MediaFoundationStartup, LeavesAnotherApartmentAlone) {
    std::thread ui([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_TRUE(StartMediaFoundation());
        EXPECT_TRUE(MediaFoundationRunning());
        StopMediaFoundation();
        // Still initialised once: S_FALSE; had the stop uninitialised the
        // thread, it would be S_OK.
        const HRESULT again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        EXPECT_EQ(again, S_FALSE);
        if (SUCCEEDED(again)) CoUninitialize();
        CoUninitialize();
    });
    ui.join();
}

TEST_F(MediaFoundation, EnumerationListsTestPatternsAfterTheRealDevices) {
    const std::vector<CameraDevice> real = EnumerateCameras();
    for (const CameraDevice& device : real) EXPECT_FALSE(IsTestPatternLink(device.symbolicLink));

    TestPatternsEnabled patterns;
    const std::vector<CameraDevice> all = EnumerateCameras();
    ASSERT_EQ(all.size(), real.size() + 4);
    for (size_t i = 0; i < real.size(); ++i) EXPECT_EQ(all[i].symbolicLink, real[i].symbolicLink);
    const wchar_t* names[] = {L"Snapward Test Pattern (NV12)", L"Snapward Test Pattern (YUY2)",
                              L"Snapward Test Pattern (MJPG)", L"Snapward Test Pattern (RGB24)"};
    std::set<std::wstring> links;
    for (size_t i = 0; i < 4; ++i) {
        const CameraDevice& device = all[real.size() + i];
        EXPECT_EQ(device.friendlyName, names[i]);
        EXPECT_TRUE(IsTestPatternLink(device.symbolicLink));
        EXPECT_NE(OpenCameraReader(device.symbolicLink), nullptr);
        links.insert(device.symbolicLink);
    }
    EXPECT_EQ(links.size(), 4u);

    // Switched off (the production program never switches them on), they are
    // neither listed nor opened.
    EnableTestPatternCameras(false);
    EXPECT_EQ(EnumerateCameras().size(), real.size());
    for (const std::wstring& link : links) EXPECT_EQ(OpenCameraReader(link), nullptr);
}

TEST_F(MediaFoundation, UnknownLinkDoesNotOpen) {
    Camera camera(OpenCameraReader);
    EXPECT_FALSE(camera.Open(L"\\\\?\\usb#vid_0000&pid_0000&mi_00#0&0&0&0#{e5323777-f976-4f5b-9b55-b94699c46e44}\\global"));
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(camera.width(), 0);
    EXPECT_EQ(camera.height(), 0);
    EXPECT_FALSE(camera.Open(L""));
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_EQ(OpenCameraReader(L"snapward-testpattern:none"), nullptr);
}

// 2D buffers report their own pitch; a bottom-up one starts at its bottom row.
TEST_F(MediaFoundation, TwoDimensionalBufferLockUsesThePitch) {
    struct Case {
        DWORD fourcc;
        BOOL bottomUp;
        MediaFormat format;
        int32_t minimumRowBytes;
        int64_t rows;
    };
    const Case cases[] = {
        {MAKEFOURCC('N', 'V', '1', '2'), FALSE, {PixelFormat::NV12, 64, 48, 64}, 64, 72},
        {MAKEFOURCC('Y', 'U', 'Y', '2'), FALSE, {PixelFormat::YUY2, 64, 48, 128}, 128, 48},
        {20 /* D3DFMT_R8G8B8 */, TRUE, {PixelFormat::RGB24, 30, 16, -92}, 90, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.format.subtype));
        ComPtr<IMFMediaBuffer> buffer;
        if (FAILED(MFCreate2DMediaBuffer(c.format.width, c.format.height, c.fourcc, c.bottomUp, &buffer))) {
            ADD_FAILURE() << "MFCreate2DMediaBuffer";
            continue;
        }
        ComPtr<IMF2DBuffer> twoD;
        ASSERT_HRESULT_SUCCEEDED(buffer.As(&twoD));
        BYTE* scanLine0 = nullptr;
        LONG pitch = 0;
        ASSERT_HRESULT_SUCCEEDED(twoD->Lock2D(&scanLine0, &pitch));
        twoD->Unlock2D();

        LockedSampleBuffer locked;
        ASSERT_TRUE(locked.Lock(buffer.Get(), c.format));
        const SampleView view = locked.view();
        EXPECT_EQ(view.stride, pitch);
        EXPECT_EQ(c.bottomUp != FALSE, view.stride < 0);
        const int32_t magnitude = view.stride < 0 ? -view.stride : view.stride;
        EXPECT_GE(magnitude, c.minimumRowBytes);
        EXPECT_EQ(view.length, magnitude * c.rows);
        // Scan line 0, the top row, is the first in memory for a top-down
        // buffer and the last for a bottom-up one.
        const BYTE* top = view.stride < 0 ? view.data + static_cast<ptrdiff_t>(magnitude) * (c.format.height - 1)
                                          : view.data;
        EXPECT_EQ(top, scanLine0);
    }
    EXPECT_FALSE(LockedSampleBuffer().Lock(nullptr, MediaFormat{}));
}

TEST_F(MediaFoundation, ReaderReportsTypesAsTheSeamWantsThem) {
    const INT32 bottomUp = -1920;
    FakeReader f;
    f.fake->nativeTypes = {VideoType(MFVideoFormat_RGB24, 640, 480, &bottomUp),
                           VideoType(MFVideoFormat_MJPG, 1920, 1080, nullptr),
                           VideoType(MFVideoFormat_H264, 1280, 720, nullptr)};
    MediaFormat format;
    ASSERT_TRUE(f.reader->GetNativeFormat(0, format));
    EXPECT_EQ(format.subtype, PixelFormat::RGB24);
    EXPECT_EQ(format.width, 640);
    EXPECT_EQ(format.height, 480);
    EXPECT_EQ(format.defaultStride, -1920);
    ASSERT_TRUE(f.reader->GetNativeFormat(2, format));
    EXPECT_EQ(format.subtype, PixelFormat::Unknown);
    EXPECT_FALSE(f.reader->GetNativeFormat(3, format));

    // The native type goes to the reader unchanged.
    ASSERT_TRUE(f.reader->UseNativeFormat(1));
    ASSERT_EQ(f.fake->offered.size(), 1u);
    EXPECT_EQ(f.fake->offered[0], f.fake->nativeTypes[1]);
    ASSERT_TRUE(f.reader->GetCurrentFormat(format));
    EXPECT_EQ(format.subtype, PixelFormat::MJPG);
    EXPECT_EQ(format.width, 1920);
    EXPECT_EQ(format.height, 1080);
    EXPECT_EQ(format.defaultStride, 0);
    EXPECT_FALSE(f.reader->UseNativeFormat(3));

    // A partial type: major type and subtype only.
    ASSERT_TRUE(f.reader->SetPartialType(PixelFormat::YUY2));
    IMFMediaType* partial = f.fake->offered.back().Get();
    GUID major = {}, subtype = {};
    ASSERT_HRESULT_SUCCEEDED(partial->GetGUID(MF_MT_MAJOR_TYPE, &major));
    ASSERT_HRESULT_SUCCEEDED(partial->GetGUID(MF_MT_SUBTYPE, &subtype));
    EXPECT_TRUE(major == MFMediaType_Video);
    EXPECT_TRUE(subtype == MFVideoFormat_YUY2);
    UINT32 count = 0;
    partial->GetCount(&count);
    EXPECT_EQ(count, 2u);
    EXPECT_FALSE(f.reader->SetPartialType(PixelFormat::Unknown));
    f.fake->refuseTypes = true;
    EXPECT_FALSE(f.reader->SetPartialType(PixelFormat::RGB24));
    EXPECT_FALSE(f.reader->UseNativeFormat(0));
}

TEST_F(MediaFoundation, ReaderMapsEveryReadOutcome) {
    const INT32 bottomUp = -12;
    FakeReader f;
    f.fake->current = VideoType(MFVideoFormat_RGB24, 4, 2, &bottomUp);
    MediaFormat format;
    ASSERT_TRUE(f.reader->GetCurrentFormat(format));
    const std::vector<uint8_t> first = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::vector<uint8_t> second = {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    f.fake->reads = {
        {E_FAIL, 0, nullptr},
        {S_OK, MF_SOURCE_READERF_ERROR, SampleOf({first})},
        {S_OK, MF_SOURCE_READERF_ERROR | MF_SOURCE_READERF_ENDOFSTREAM, nullptr},
        {S_OK, MF_SOURCE_READERF_ENDOFSTREAM, nullptr},
        {S_OK, MF_SOURCE_READERF_STREAMTICK, nullptr},
        {S_OK, 0, SampleOf({first, second})},
    };
    const ReadOutcome expected[] = {ReadOutcome::Failed, ReadOutcome::StreamError, ReadOutcome::StreamError,
                                    ReadOutcome::EndOfStream, ReadOutcome::NoSample, ReadOutcome::Sample};
    std::vector<uint8_t> seen;
    int32_t stride = 0;
    int calls = 0;
    for (ReadOutcome outcome : expected) {
        EXPECT_EQ(f.reader->ReadSample([&](const SampleView& view) {
            ++calls;
            seen.assign(view.data, view.data + view.length);
            stride = view.stride;
        }), outcome);
    }
    EXPECT_EQ(calls, 1);
    // Two buffers made one, with the type's bottom-up stride.
    std::vector<uint8_t> joined = first;
    joined.insert(joined.end(), second.begin(), second.end());
    EXPECT_EQ(seen, joined);
    EXPECT_EQ(stride, -12);
}

// Each test camera goes the way a real one does: Camera's negotiation over the
// reader, then frames through the conversion (and for MJPG, WIC).
TEST_F(MediaFoundation, TestPatternCamerasDeliverThePattern) {
    TestPatternsEnabled patterns;
    const std::vector<CameraDevice> devices = TestPatternCameras();
    ASSERT_EQ(devices.size(), 4u);
    const PixelFormat subtypes[] = {PixelFormat::NV12, PixelFormat::YUY2, PixelFormat::MJPG,
                                    PixelFormat::RGB24};
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "camera " << i);
        Camera camera(OpenCameraReader);
        ASSERT_TRUE(camera.Open(devices[i].symbolicLink));
        EXPECT_TRUE(camera.IsOpen());
        EXPECT_EQ(camera.width(), 1280);
        EXPECT_EQ(camera.height(), 720);
        EXPECT_EQ(camera.subtype(), subtypes[i]);

        CapturedFrame frame;
        uint32_t first = 0;
        uint32_t second = 0;
        ASSERT_TRUE(camera.GrabFrame(frame));
        EXPECT_TRUE(MatchesTestPattern(frame, 12, first)) << TestPatternDeviation(frame, first);
        ASSERT_TRUE(camera.GrabFrame(frame));
        EXPECT_TRUE(MatchesTestPattern(frame, 12, second)) << TestPatternDeviation(frame, second);
        EXPECT_GT(second, first);
        camera.Close();
        EXPECT_FALSE(camera.IsOpen());
    }
}
