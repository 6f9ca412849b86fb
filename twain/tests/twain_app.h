#pragma once
// A TWAIN application of our own for the tests: it drives a source through a
// manager's DSM_Entry (or a stand-in's) the way scanning applications do.

#include <windows.h>

#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "camera/test_pattern.h"
#include "capture/frame.h"
#include "capture/jpeg_win.h"
#include "ds_capabilities.h"
#include "ds_image.h"
#include "platform/win_handles.h"
#include "settings/settings.h"
#include "source_window.h"
#include "twain_protocol.h"

// The picture of the packed DIB at `dib`, rows and padding as they are;
// empty when it is no packed 24-bit DIB.
inline CapturedFrame FrameOfDib(const void* dib, size_t length) {
    DibPixels view;
    if (!ViewPackedDib(static_cast<const uint8_t*>(dib), length, view)) return {};
    return {{view.data, view.data + static_cast<size_t>(view.stride) * view.height}, view.width,
            view.height, view.stride};
}

// Top-down rows of `bytesPerRow` (red-green-blue, or blue-green-red when
// `bgr`) as a bottom-up blue-green-red picture; the padding is made zero.
inline CapturedFrame FrameOfRows(const uint8_t* rows, size_t bytesPerRow, int32_t width,
                                 int32_t height, bool bgr) {
    int32_t stride = (width * 3 + 3) & ~3;
    CapturedFrame frame{std::vector<uint8_t>(static_cast<size_t>(stride) * height), width, height,
                        stride};
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* from = rows + static_cast<size_t>(y) * bytesPerRow;
        uint8_t* to = &frame.pixels[static_cast<size_t>(height - 1 - y) * stride];
        for (int32_t i = 0; i < width * 3; ++i) to[i] = from[bgr ? i : i + 2 - i % 3 * 2];
    }
    return frame;
}

// A BMP or PNG file read back; empty when it cannot be read.
inline CapturedFrame ReadPictureFile(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
    if (bytes.size() > 14 && bytes[0] == 'B' && bytes[1] == 'M') {
        return FrameOfDib(bytes.data() + 14, bytes.size() - 14);
    }
    using Microsoft::WRL::ComPtr;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the imaging component needs it
    ComPtr<IWICImagingFactory> factory = WicImagingFactory();
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> picture;
    ComPtr<IWICFormatConverter> converter;
    UINT width = 0, height = 0;
    if (!factory ||
        FAILED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, &decoder)) ||
        FAILED(decoder->GetFrame(0, &picture)) || FAILED(factory->CreateFormatConverter(&converter)) ||
        FAILED(converter->Initialize(picture.Get(), GUID_WICPixelFormat24bppBGR,
                                     WICBitmapDitherTypeNone, nullptr, 0,
                                     WICBitmapPaletteTypeCustom)) ||
        FAILED(converter->GetSize(&width, &height))) {
        return {};
    }
    std::vector<uint8_t> rows(static_cast<size_t>(width) * 3 * height);
    if (FAILED(converter->CopyPixels(nullptr, width * 3, static_cast<UINT>(rows.size()), rows.data()))) {
        return {};
    }
    return FrameOfRows(rows.data(), width * 3, static_cast<int32_t>(width),
                       static_cast<int32_t>(height), true);
}

// The reference: `rect` of the test pattern, which must lie in its colour
// bars (the same in every frame).
inline CapturedFrame PatternPart(const PixelRect& rect) {
    std::vector<uint8_t> rows;
    for (int32_t y = rect.top; y < rect.top + rect.height; ++y) {
        for (int32_t x = rect.left; x < rect.left + rect.width; ++x) {
            TestPatternColour colour = TestPatternColourAt(x, y, 0);
            rows.insert(rows.end(), {colour.red, colour.green, colour.blue});
        }
    }
    return FrameOfRows(rows.data(), static_cast<size_t>(rect.width) * 3, rect.width, rect.height,
                       false);
}

inline bool SamePicture(const CapturedFrame& a, const CapturedFrame& b) {
    return a.width == b.width && a.height == b.height && a.stride == b.stride && a.pixels == b.pixels;
}

// Makes `link` the camera the source opens first, for as long as the result
// lives; the settings are put back after.
inline auto ChooseCamera(const std::wstring& link) {
    HKEY key = nullptr;
    bool existed = RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, KEY_READ, &key) ==
                   ERROR_SUCCESS;
    if (key) RegCloseKey(key);
    Settings saved = LoadSettings(), changed = saved;
    changed.DeviceSymLink = link;
    SaveSettings(changed);
    return ScopeExit([saved, existed] {
        if (existed) SaveSettings(saved);
        if (!existed) RegDeleteKeyW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH);
    });
}

// The picture of a transferred DIB block, which it frees (the application's
// once transferred).
inline CapturedFrame TakeDib(TW_HANDLE dib) {
    CapturedFrame frame = FrameOfDib(GlobalLock(dib), GlobalSize(dib));
    GlobalUnlock(dib);
    GlobalFree(dib);
    return frame;
}

// Whether a packed 24-bit DIB block, which it frees, holds the test pattern
// within `tolerance`, the right way up and round.
inline bool DibIsTestPattern(TW_HANDLE dib, int tolerance) {
    uint32_t counter = 0;
    return MatchesTestPattern(TakeDib(dib), tolerance, counter);
}

inline HWND FindSourceWindow() {
    return FindWindowW(TWAIN_WINDOW_CLASS, nullptr);
}

struct TwainApp {
    explicit TwainApp(DSMENTRYPROC managerEntry) : entry(managerEntry) {
        app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
        window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                 nullptr, nullptr);
    }
    ~TwainApp() { DestroyWindow(window); }

    TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
        return entry(&app, &source, dg, dat, msg, data);
    }
    TW_UINT16 CallManager(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
        return entry(&app, nullptr, DG_CONTROL, dat, msg, data);
    }
    // The source's condition code, which reading clears.
    TW_UINT16 Condition() {
        TW_STATUS status{0xfffe, 0};  // left so if the call fails
        Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        return status.ConditionCode;
    }
    // The condition code of a triplet that fails, or NOT_FAILED.
    static constexpr TW_UINT16 NOT_FAILED = 0xffff;
    TW_UINT16 Refusal(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
        return Call(dg, dat, msg, data) == TWRC_FAILURE ? Condition() : NOT_FAILED;
    }

    // The container `msg` answers for `cap` (and frees); empty if the source
    // fails or sends a bad container.
    CapContainer Query(TW_UINT16 cap, TW_UINT16 msg) {
        TW_CAPABILITY capability{cap, TWON_DONTCARE16, nullptr};
        CapContainer answer;
        answer.conType = TWON_DONTCARE16;
        if (Call(DG_CONTROL, DAT_CAPABILITY, msg, &capability) == TWRC_FAILURE) return answer;
        auto* bytes = static_cast<const uint8_t*>(GlobalLock(capability.hContainer));
        DecodeContainer(capability.ConType, bytes, GlobalSize(capability.hContainer), answer);
        GlobalUnlock(capability.hContainer);
        GlobalFree(capability.hContainer);
        return answer;
    }
    std::vector<TW_UINT32> Current(TW_UINT16 cap) { return Query(cap, MSG_GETCURRENT).items; }
    TW_UINT16 SetCap(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 item) {
        HGLOBAL container = GlobalAlloc(GHND, sizeof(TW_ONEVALUE));
        *static_cast<TW_ONEVALUE*>(GlobalLock(container)) = TW_ONEVALUE{itemType, item};
        GlobalUnlock(container);
        TW_CAPABILITY capability{cap, TWON_ONEVALUE, container};
        TW_UINT16 result = Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
        GlobalFree(container);
        return result;
    }

    TW_UINT16 Enable(bool showUI) {
        TW_USERINTERFACE ui{static_cast<TW_BOOL>(showUI), 0, window};
        return Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    }
    TW_UINT16 Disable() {
        TW_USERINTERFACE ui{};
        return Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    }
    // The count of transfers DAT_PENDINGXFERS `msg` leaves, or NOT_FAILED.
    TW_UINT16 Pending(TW_UINT16 msg) {
        TW_PENDINGXFERS pending{NOT_FAILED, 0};
        Call(DG_CONTROL, DAT_PENDINGXFERS, msg, &pending);
        return pending.Count;
    }

    // The image waiting in the source, by the mechanism set: a DIB, the file
    // at `path`, or strips of rows in buffers of the preferred size, into
    // place and through a handle by turns. Empty on any failure, or when a
    // strip says something other than the rows it brought.
    CapturedFrame Transfer(TW_UINT16 mechanism, const std::wstring& path = {}) {
        if (mechanism == TWSX_NATIVE) {
            TW_HANDLE dib = nullptr;
            bool done = Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) == TWRC_XFERDONE;
            return done ? TakeDib(dib) : CapturedFrame{};
        }
        if (mechanism == TWSX_FILE) {
            bool done = Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) == TWRC_XFERDONE;
            return done ? ReadPictureFile(path) : CapturedFrame{};
        }
        TW_SETUPMEMXFER sizes{};
        TW_IMAGEINFO info{};
        Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &sizes);
        Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
        const uint32_t rowBytes = RgbRowBytes(info.ImageWidth), height = info.ImageLength;
        std::vector<uint8_t> rows(rowBytes * height);
        UniqueGlobal handle(GlobalAlloc(GHND, sizes.Preferred));
        TW_UINT16 result = TWRC_SUCCESS;
        uint32_t done = 0;
        for (int strip = 0; result != TWRC_XFERDONE; ++strip) {
            if (done >= height) return {};
            TW_IMAGEMEMXFER transfer{};
            bool viaHandle = strip % 2 == 1;
            uint8_t* place = &rows[done * rowBytes];
            TW_UINT32 room = std::min<TW_UINT32>(sizes.Preferred, (height - done) * rowBytes);
            transfer.Memory = {TWMF_APPOWNS | (viaHandle ? TWMF_HANDLE : TWMF_POINTER), room,
                               viaHandle ? handle.get() : place};
            result = Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &transfer);
            if (result == TWRC_FAILURE || transfer.BytesPerRow != rowBytes ||
                transfer.YOffset != done || transfer.BytesWritten != transfer.Rows * rowBytes ||
                transfer.Rows > height - done) {
                return {};
            }
            if (viaHandle) {
                std::memcpy(place, GlobalLock(handle.get()), transfer.BytesWritten);
                GlobalUnlock(handle.get());
            }
            done += transfer.Rows;
        }
        if (done != height) return {};
        return FrameOfRows(rows.data(), rowBytes, info.ImageWidth, info.ImageLength, false);
    }

    // Passes every message to the source first, as the protocol asks, and
    // collects signals: returns the first, or MSG_NULL after `milliseconds`
    // (by default the slowest grab's time); with `untilSignal` false it runs on.
    TW_UINT16 Pump(DWORD milliseconds = 20000, bool untilSignal = true) {
        for (DWORD start = GetTickCount(); GetTickCount() - start < milliseconds;) {
            MSG message;
            TW_EVENT event{&message, MSG_NULL};
            if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            } else if (Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) != TWRC_DSEVENT) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            TW_UINT16 signal = event.TWMessage;
            if (signal == MSG_NULL && fromManager) signal = fromManager();
            if (signal == MSG_NULL) continue;
            signals.push_back(signal);
            if (untilSignal) return signal;
        }
        return MSG_NULL;
    }

    DSMENTRYPROC entry;
    TW_IDENTITY app{};
    TW_IDENTITY source{};
    HWND window = nullptr;  // the application's window, handed to the manager
    // Signals a 2.x manager hands over outside MSG_PROCESSEVENT (callbacks).
    std::function<TW_UINT16()> fromManager;
    std::vector<TW_UINT16> signals;  // every signal so far, in order
};
