// The Media Foundation reader behind the camera seam, driven by a scripted
// IMFSourceReader: Wine has no camera, so this is how its type mapping and its
// read outcomes are checked.
#include <gtest/gtest.h>

#include <windows.h>

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <cstring>
#include <deque>
#include <vector>

#include "camera/devices.h"
#include "camera/media_foundation_win.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD VIDEO = MF_SOURCE_READER_FIRST_VIDEO_STREAM;

// A source reader that plays back scripted types and reads, to drive the
// reader seam where Wine has no camera.
struct FakeSourceReader final : IMFSourceReader {
    struct Read {
        HRESULT result;
        DWORD flags;
        ComPtr<IMFSample> sample;
    };
    std::vector<ComPtr<IMFMediaType>> nativeTypes, offered;  // offered: every SetCurrentMediaType
    ComPtr<IMFMediaType> current;
    bool refuseTypes = false;
    std::deque<Read> reads;
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
    HRESULT STDMETHODCALLTYPE GetStreamSelection(DWORD, WINBOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStreamSelection(DWORD, WINBOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNativeMediaType(DWORD stream, DWORD index, IMFMediaType** type) override {
        if (stream != VIDEO) return E_INVALIDARG;
        return index < nativeTypes.size() ? nativeTypes[index].CopyTo(type) : MF_E_NO_MORE_TYPES;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentMediaType(DWORD stream, IMFMediaType** type) override {
        return stream == VIDEO && current ? current.CopyTo(type) : MF_E_INVALIDREQUEST;
    }
    HRESULT STDMETHODCALLTYPE SetCurrentMediaType(DWORD stream, DWORD*, IMFMediaType* type) override {
        if (stream != VIDEO) return E_INVALIDARG;
        offered.push_back(type);
        if (!refuseTypes) current = type;
        return refuseTypes ? MF_E_INVALIDMEDIATYPE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetCurrentPosition(REFGUID, REFPROPVARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReadSample(DWORD stream, DWORD control, DWORD* actual, DWORD* flags,
                                         LONGLONG* timestamp, IMFSample** sample) override {
        if (stream != VIDEO || control != 0 || reads.empty()) return E_UNEXPECTED;
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
ComPtr<IMFSample> SampleOf(std::initializer_list<std::vector<uint8_t>> pieces) {
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

class MediaFoundationReader : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartMediaFoundation()); }
    void TearDown() override { StopMediaFoundation(); }
};

}  // namespace

TEST_F(MediaFoundationReader, ReaderMapsTypesAndReadOutcomes) {
    auto* fake = new FakeSourceReader;
    ComPtr<IMFSourceReader> wrapped;
    wrapped.Attach(fake);
    const std::unique_ptr<VideoReader> reader = WrapSourceReader(wrapped);
    fake->nativeTypes = {VideoType(MFVideoFormat_RGB24, 4, 2, -12), VideoType(MFVideoFormat_MJPG, 1920, 1080),
                         VideoType(MFVideoFormat_H264, 1280, 720)};
    MediaFormat format;
    ASSERT_TRUE(reader->GetNativeFormat(2, format));
    EXPECT_EQ(format.subtype, PixelFormat::Unknown);
    EXPECT_FALSE(reader->GetNativeFormat(3, format));
    // The native type goes to the reader unchanged.
    ASSERT_TRUE(reader->UseNativeFormat(1));
    ASSERT_EQ(fake->offered.size(), 1u);
    EXPECT_EQ(fake->offered[0], fake->nativeTypes[1]);
    ASSERT_TRUE(reader->GetCurrentFormat(format));
    EXPECT_EQ(format.subtype, PixelFormat::MJPG);
    EXPECT_EQ(format.width, 1920);
    EXPECT_EQ(format.height, 1080);
    EXPECT_EQ(format.defaultStride, 0);

    // A partial type holds the major type and subtype only.
    ASSERT_TRUE(reader->SetPartialType(PixelFormat::YUY2));
    GUID major = {}, subtype = {};
    UINT32 count = 0;
    ASSERT_HRESULT_SUCCEEDED(fake->offered.back()->GetGUID(MF_MT_MAJOR_TYPE, &major));
    ASSERT_HRESULT_SUCCEEDED(fake->offered.back()->GetGUID(MF_MT_SUBTYPE, &subtype));
    fake->offered.back()->GetCount(&count);
    EXPECT_TRUE(major == MFMediaType_Video && subtype == MFVideoFormat_YUY2);
    EXPECT_EQ(count, 2u);
    EXPECT_FALSE(reader->SetPartialType(PixelFormat::Unknown));
    ASSERT_TRUE(reader->UseNativeFormat(0));
    ASSERT_TRUE(reader->GetCurrentFormat(format));
    EXPECT_EQ(format.subtype, PixelFormat::RGB24);
    EXPECT_EQ(format.defaultStride, -12);  // bottom-up: the stride's sign survives
    fake->refuseTypes = true;
    EXPECT_FALSE(reader->SetPartialType(PixelFormat::RGB24));
    EXPECT_FALSE(reader->UseNativeFormat(1));

    // An error flag wins over end of stream; two buffers come as one, with the
    // type's bottom-up stride.
    const std::vector<uint8_t> first = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::vector<uint8_t> second = {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    fake->reads = {
        {static_cast<HRESULT>(CAMERA_ERROR_INVALIDATED), 0, nullptr},
        {S_OK, MF_SOURCE_READERF_ERROR, SampleOf({first})},
        {S_OK, MF_SOURCE_READERF_ERROR | MF_SOURCE_READERF_ENDOFSTREAM, nullptr},
        {S_OK, MF_SOURCE_READERF_ENDOFSTREAM, nullptr},
        {S_OK, MF_SOURCE_READERF_STREAMTICK, nullptr},
        {S_OK, 0, SampleOf({first, second})},
    };
    std::vector<uint8_t> seen;
    int32_t stride = 0;
    int calls = 0;
    // A failed read says why; the others leave the error alone.
    std::vector<CameraError> errors;
    for (ReadOutcome outcome : {ReadOutcome::Failed, ReadOutcome::StreamError, ReadOutcome::StreamError,
                                ReadOutcome::EndOfStream, ReadOutcome::NoSample, ReadOutcome::Sample}) {
        CameraError error = CAMERA_ERROR_NONE;
        EXPECT_EQ(reader->ReadSample([&](const SampleView& view) {
            ++calls;
            seen.assign(view.data, view.data + view.length);
            stride = view.stride;
        }, error), outcome);
        errors.push_back(error);
    }
    EXPECT_EQ(errors, (std::vector<CameraError>{CAMERA_ERROR_INVALIDATED, 0, 0, 0, 0, 0}));
    EXPECT_EQ(calls, 1);
    std::vector<uint8_t> joined = first;
    joined.insert(joined.end(), second.begin(), second.end());
    EXPECT_EQ(seen, joined);
    EXPECT_EQ(stride, -12);
}
