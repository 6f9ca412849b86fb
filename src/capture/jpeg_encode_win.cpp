#include <windows.h>

#include <ocidl.h>
#include <shlwapi.h>
#include <wincodec.h>
#include <wrl/client.h>

#include "capture/jpeg_win.h"

using Microsoft::WRL::ComPtr;

namespace {

// High enough that flat colour areas come back within a few levels.
constexpr float JPEG_QUALITY = 0.95f;

bool SetQuality(IPropertyBag2* options) {
    PROPBAG2 option = {};
    option.pstrName = const_cast<LPOLESTR>(L"ImageQuality");
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_R4;
    value.fltVal = JPEG_QUALITY;
    return SUCCEEDED(options->Write(1, &option, &value));
}

bool ReadAll(IStream* stream, std::vector<uint8_t>& bytes) {
    ULARGE_INTEGER end = {};
    LARGE_INTEGER zero = {};
    if (FAILED(stream->Seek(zero, STREAM_SEEK_END, &end))) return false;
    if (end.QuadPart == 0 || end.QuadPart > 0x7FFFFFFF) return false;
    if (FAILED(stream->Seek(zero, STREAM_SEEK_SET, nullptr))) return false;
    bytes.resize(static_cast<size_t>(end.QuadPart));
    ULONG read = 0;
    if (FAILED(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read))) return false;
    return read == bytes.size();
}

}  // namespace

bool EncodeJpegFrame(const CapturedFrame& frame, std::vector<uint8_t>& jpeg) {
    if (frame.width <= 0 || frame.height <= 0 || frame.stride < 0) return false;
    if (int64_t{frame.stride} < int64_t{3} * frame.width) return false;
    if (frame.pixels.size() < static_cast<size_t>(int64_t{frame.stride} * frame.height)) return false;

    ComPtr<IWICImagingFactory> factory = WicImagingFactory();
    if (!factory) return false;
    ComPtr<IStream> stream;
    stream.Attach(SHCreateMemStream(nullptr, 0));
    if (!stream) return false;

    ComPtr<IWICBitmapEncoder> encoder;
    if (FAILED(factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder))) return false;
    if (FAILED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache))) return false;
    ComPtr<IWICBitmapFrameEncode> target;
    ComPtr<IPropertyBag2> options;
    if (FAILED(encoder->CreateNewFrame(&target, &options))) return false;
    // A quality the encoder does not take leaves its default, which is fine.
    if (options) SetQuality(options.Get());
    if (FAILED(target->Initialize(options.Get()))) return false;
    if (FAILED(target->SetSize(static_cast<UINT>(frame.width), static_cast<UINT>(frame.height)))) {
        return false;
    }
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    if (FAILED(target->SetPixelFormat(&format)) || format != GUID_WICPixelFormat24bppBGR) return false;

    // The encoder takes rows from the top; the frame keeps them bottom-up.
    const UINT stride = static_cast<UINT>(frame.stride);
    for (int32_t y = 0; y < frame.height; ++y) {
        const uint8_t* row = frame.pixels.data() + static_cast<size_t>(frame.height - 1 - y) * stride;
        if (FAILED(target->WritePixels(1, stride, stride, const_cast<BYTE*>(row)))) return false;
    }
    if (FAILED(target->Commit()) || FAILED(encoder->Commit())) return false;
    return ReadAll(stream.Get(), jpeg);
}
