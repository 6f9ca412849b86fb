// Grey and black-and-white pages as files: written by WriteImageFile and read
// back through the imaging component, whose decoders know nothing of ours.

#include <windows.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "capture/jpeg_win.h"
#include "capture/page_pixels.h"
#include "ds_image.h"
#include "image_file.h"
#include "platform/win_handles.h"

using Microsoft::WRL::ComPtr;

TEST(ImageFiles, GreyAndBlackWhiteBmpAndPngReadBackAsTheirLevels) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ScopeExit uninitialise([] {
        ReleaseWicImagingFactory();
        CoUninitialize();
    });
    ComPtr<IWICImagingFactory> factory = WicImagingFactory();
    ASSERT_TRUE(factory);
    // A 24-bit picture 33 pixels wide (a partial byte of bits, padded rows).
    const int32_t width = 33, height = 5, stride = (width * 3 + 3) & ~3;
    std::vector<uint8_t> source(40 + static_cast<size_t>(stride) * height, 0);
    const int32_t header[10] = {40, width, height, 1 | 24 << 16, 0, stride * height};
    std::memcpy(source.data(), header, sizeof(header));
    for (size_t i = 40; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 37 + i / 7);
    DibPixels picture;
    ASSERT_TRUE(ViewPackedDib(source.data(), source.size(), picture));
    wchar_t folder[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);

    struct Case {
        PagePixels kind;
        TW_UINT16 format;
        WICPixelFormatGUID decoded;
    };
    const Case cases[] = {{PagePixels::Gray, TWFF_BMP, GUID_WICPixelFormat8bppIndexed},
                          {PagePixels::Gray, TWFF_PNG, GUID_WICPixelFormat8bppGray},
                          {PagePixels::BlackWhite, TWFF_BMP, GUID_WICPixelFormat1bppIndexed},
                          {PagePixels::BlackWhite, TWFF_PNG, GUID_WICPixelFormatBlackWhite}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(c.kind) << " format " << c.format);
        const uint8_t threshold = 100;
        const size_t bytes = PackedDibBytes(width, height, c.kind);
        UniqueGlobal page(GlobalAlloc(GMEM_MOVEABLE, bytes));
        {
            GlobalLockGuard lock(page.get());
            ASSERT_TRUE(lock.data() && WriteCroppedDib(picture, {0, 0, width, height}, 150, c.kind, threshold,
                                                       static_cast<uint8_t*>(lock.data())));
        }
        const std::wstring path = std::wstring(folder) + L"orvendel-page" + std::to_wstring(&c - cases) +
                                  (c.format == TWFF_PNG ? L".png" : L".bmp");
        ASSERT_TRUE(WriteImageFile(path, page.get(), c.format, 150));
        ScopeExit remove([&] { DeleteFileW(path.c_str()); });

        ComPtr<IWICBitmapDecoder> decoder;
        ComPtr<IWICBitmapFrameDecode> frame;
        ASSERT_TRUE(SUCCEEDED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                                 WICDecodeMetadataCacheOnDemand, &decoder)) &&
                    SUCCEEDED(decoder->GetFrame(0, &frame)));
        WICPixelFormatGUID format{};
        UINT w = 0, h = 0;
        double dpiX = 0, dpiY = 0;
        ASSERT_TRUE(SUCCEEDED(frame->GetPixelFormat(&format)) && SUCCEEDED(frame->GetSize(&w, &h)) &&
                    SUCCEEDED(frame->GetResolution(&dpiX, &dpiY)));
        EXPECT_TRUE(format == c.decoded);
        ASSERT_TRUE(w == UINT(width) && h == UINT(height));
        EXPECT_NEAR(dpiY, 150, 0.1);
        ComPtr<IWICFormatConverter> converter;
        std::vector<uint8_t> bgrx(static_cast<size_t>(width) * height * 4);
        ASSERT_TRUE(SUCCEEDED(factory->CreateFormatConverter(&converter)) &&
                    SUCCEEDED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGR,
                                                    WICBitmapDitherTypeNone, nullptr, 0, WICBitmapPaletteTypeCustom)) &&
                    SUCCEEDED(converter->CopyPixels(nullptr, width * 4, UINT(bgrx.size()), bgrx.data())));
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                uint8_t luma;
                BgrRowToGrayScalar(picture.data + (height - 1 - y) * stride + 3 * x, 1, &luma);
                const uint8_t level = c.kind == PagePixels::Gray ? luma : luma >= threshold ? 255 : 0;
                const uint8_t* got = &bgrx[(static_cast<size_t>(y) * width + x) * 4];
                ASSERT_TRUE(got[0] == level && got[1] == level && got[2] == level)
                    << x << "," << y << " is " << int(got[0]) << " not " << int(level);
            }
        }
    }
}
