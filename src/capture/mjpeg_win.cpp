#include "capture/mjpeg.h"

#include <windows.h>

#include <wincodec.h>
#include <wrl/client.h>

#include <cstring>
#include <mutex>
#include <utility>

#include "capture/jpeg_win.h"
#include "platform/system_library.h"

using Microsoft::WRL::ComPtr;

namespace {

// A decoded picture larger than this is refused before anything is allocated
// (a 32-bit process cannot spare more anyway).
constexpr int64_t MAX_DECODED_BYTES = int64_t{1} << 28;

std::mutex factoryLock;
ComPtr<IWICImagingFactory> sharedFactory;

using ConvertFunction = HRESULT(WINAPI*)(REFWICPixelFormatGUID format, IWICBitmapSource* source,
                                         IWICBitmapSource** converted);

// The imaging component is loaded from the system folder at run time, not
// imported: an import is looked up along the default search order, which
// starts in the program's folder (or, for the data source, the host's). It is
// loaded before the first factory too, so that COM finds it in place and its
// own imports have come from the system folder. It stays loaded for the life
// of the process, as objects made from it may outlive any one user.
struct WicLibrary {
    HMODULE module = nullptr;
    ConvertFunction convert = nullptr;
};

const WicLibrary& Wic() {
    static const WicLibrary library = [] {
        WicLibrary found;
        found.module = LoadSystemLibrary(L"windowscodecs.dll");
        if (found.module) {
            found.convert = reinterpret_cast<ConvertFunction>(
                reinterpret_cast<void*>(GetProcAddress(found.module, "WICConvertBitmapSource")));
        }
        return found;
    }();
    return library;
}

}  // namespace

HRESULT WicConvertBitmapSource(REFWICPixelFormatGUID format, IWICBitmapSource* source,
                               IWICBitmapSource** converted) {
    const ConvertFunction convert = Wic().convert;
    if (!convert) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    return convert(format, source, converted);
}

ComPtr<IWICImagingFactory> WicImagingFactory() {
    std::lock_guard<std::mutex> lock(factoryLock);
    if (!sharedFactory && Wic().module) {
        CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                         IID_PPV_ARGS(sharedFactory.ReleaseAndGetAddressOf()));
    }
    return sharedFactory;
}

void ReleaseWicImagingFactory() {
    ComPtr<IWICImagingFactory> released;
    {
        std::lock_guard<std::mutex> lock(factoryLock);
        released = std::move(sharedFactory);
    }
}

bool DecodeMjpegFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                      CapturedFrame& frame) {
    if (!data || length <= 0 || width <= 0 || height <= 0) return false;
    const int64_t stride = (int64_t{3} * width + 3) & ~int64_t{3};
    if (stride * height > MAX_DECODED_BYTES) return false;

    // The header says the size before anything is decoded; a frame cut short
    // in transfer has no EOI and is dropped here rather than shown half grey.
    JpegLayout layout;
    if (!ParseJpeg(data, static_cast<size_t>(length), layout)) return false;
    if (layout.width != width || layout.height != height) return false;

    // Reused by every frame of this thread: the preview thread decodes about
    // thirty frames a second.
    thread_local std::vector<uint8_t> withTables;
    thread_local std::vector<uint8_t> decoded;
    // Wine's decoder supplies missing tables by itself; Windows' does not.
    const std::span<const uint8_t> jpeg = JpegForStrictDecoder(data, layout, withTables);

    ComPtr<IWICImagingFactory> factory = WicImagingFactory();
    if (!factory) return false;
    ComPtr<IWICStream> stream;
    if (FAILED(factory->CreateStream(&stream))) return false;
    // The stream only reads; the cast is for the interface's signature.
    if (FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(jpeg.data()), static_cast<DWORD>(jpeg.size())))) {
        return false;
    }
    ComPtr<IWICBitmapDecoder> decoder;
    if (FAILED(factory->CreateDecoder(GUID_ContainerFormatJpeg, nullptr, &decoder))) return false;
    if (FAILED(decoder->Initialize(stream.Get(), WICDecodeMetadataCacheOnDemand))) return false;
    ComPtr<IWICBitmapFrameDecode> source;
    if (FAILED(decoder->GetFrame(0, &source))) return false;
    UINT decodedWidth = 0;
    UINT decodedHeight = 0;
    if (FAILED(source->GetSize(&decodedWidth, &decodedHeight))) return false;
    if (decodedWidth != static_cast<UINT>(width) || decodedHeight != static_cast<UINT>(height)) {
        return false;
    }
    // Grey or CMYK streams come out as BGR too; a BGR stream passes unchanged.
    ComPtr<IWICBitmapSource> bgr;
    if (FAILED(WicConvertBitmapSource(GUID_WICPixelFormat24bppBGR, source.Get(), &bgr))) return false;

    // Decoded into a buffer of our own first, so that a stream that fails half
    // way leaves the caller's frame untouched; it then trades places with the
    // frame's storage, which is reused by the next decode.
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    const UINT strideBytes = static_cast<UINT>(stride);
    decoded.resize(static_cast<size_t>(stride * height));
    for (int32_t y = 0; y < height; ++y) {
        // Picture row y goes to the bottom-up position height - 1 - y.
        uint8_t* row = decoded.data() + static_cast<size_t>(height - 1 - y) * strideBytes;
        const WICRect rect = {0, y, width, 1};
        if (FAILED(bgr->CopyPixels(&rect, strideBytes, strideBytes, row))) return false;
        std::memset(row + rowBytes, 0, strideBytes - rowBytes);
    }
    frame.pixels.swap(decoded);
    frame.width = width;
    frame.height = height;
    frame.stride = static_cast<int32_t>(stride);
    return true;
}
