#include "image_file.h"

#include <wincodec.h>
#include <wrl/client.h>

#include "capture/bmp_file.h"
#include "capture/jpeg_win.h"
#include "ds_image.h"
#include "platform/win_handles.h"

using Microsoft::WRL::ComPtr;

namespace {

bool WritePngFile(const wchar_t* path, HGLOBAL packedDib, double dotsPerInch) {
    GlobalLockGuard lock(packedDib);
    DibPixels picture;
    if (!lock.data() || !ViewPackedDib(static_cast<const uint8_t*>(lock.data()),
                                       GlobalSize(packedDib), picture)) {
        return false;
    }
    ComPtr<IWICImagingFactory> factory = WicImagingFactory();
    ComPtr<IWICStream> stream;
    if (!factory || FAILED(factory->CreateStream(&stream)) ||
        FAILED(stream->InitializeFromFilename(path, GENERIC_WRITE))) {
        return false;
    }
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    if (FAILED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) ||
        FAILED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) ||
        FAILED(encoder->CreateNewFrame(&frame, nullptr)) || FAILED(frame->Initialize(nullptr)) ||
        FAILED(frame->SetSize(static_cast<UINT>(picture.width), static_cast<UINT>(picture.height))) ||
        FAILED(frame->SetResolution(dotsPerInch, dotsPerInch))) {
        return false;
    }
    // The DIB's rows as they are: black-and-white keeps 0 for black, as the
    // DIB's palette does.
    const WICPixelFormatGUID wanted = picture.pixels == PagePixels::Rgb    ? GUID_WICPixelFormat24bppBGR
                                      : picture.pixels == PagePixels::Gray ? GUID_WICPixelFormat8bppGray
                                                                           : GUID_WICPixelFormatBlackWhite;
    WICPixelFormatGUID format = wanted;
    if (FAILED(frame->SetPixelFormat(&format)) || format != wanted) return false;
    // The encoder takes rows from the top; the DIB keeps them bottom-up.
    const UINT stride = static_cast<UINT>(picture.stride);
    for (int32_t y = 0; y < picture.height; ++y) {
        const uint8_t* row = picture.data + static_cast<size_t>(picture.height - 1 - y) * stride;
        if (FAILED(frame->WritePixels(1, stride, stride, const_cast<BYTE*>(row)))) return false;
    }
    return SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
}

}  // namespace

bool WriteImageFile(const std::wstring& path, HGLOBAL packedDib, TW_UINT16 format,
                    double dotsPerInch) {
    if (path.empty() || !packedDib || (format != TWFF_BMP && format != TWFF_PNG)) return false;
    wchar_t full[MAX_PATH];
    wchar_t* name = nullptr;
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, &name);
    if (length == 0 || length >= MAX_PATH || !name || !*name) return false;
    std::wstring folder(full, name);
    // Made in the target's own folder, so that the rename cannot cross volumes.
    wchar_t temporary[MAX_PATH];
    if (!GetTempFileNameW(folder.c_str(), L"orv", 0, temporary)) return false;
    bool written = format == TWFF_PNG ? WritePngFile(temporary, packedDib, dotsPerInch)
                                      : WriteBmpFile(temporary, packedDib);
    if (written && MoveFileExW(temporary, full, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileW(temporary);
    return false;
}
