#pragma once
// JPEG through the Windows Imaging Component: the process's one imaging
// factory, and the encoder that feeds the MJPG test-pattern camera.

#include <wincodec.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

#include "capture/frame.h"

// The process-wide imaging factory, created on first use. The factory is
// free-threaded, so the preview thread may use the one that the UI thread
// created. Null when COM is not usable on the calling thread and no factory
// exists yet.
Microsoft::WRL::ComPtr<IWICImagingFactory> WicImagingFactory();
// Drops the process's reference; called before COM is uninitialised.
void ReleaseWicImagingFactory();
// WICConvertBitmapSource from the imaging component in the system folder, which
// nothing imports; HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND) where it is missing.
HRESULT WicConvertBitmapSource(REFWICPixelFormatGUID format, IWICBitmapSource* source,
                               IWICBitmapSource** converted);

// Compresses a CapturedFrame (bottom-up BGR) into one baseline JPEG stream.
// False, with `jpeg` unspecified, on failure or for a frame whose pixels do
// not match its sizes.
bool EncodeJpegFrame(const CapturedFrame& frame, std::vector<uint8_t>& jpeg);
