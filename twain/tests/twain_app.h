#pragma once
// A TWAIN application of our own for the tests: it drives a source through a
// manager's DSM_Entry (or a stand-in's) the way scanning applications do.

#include <windows.h>

#include <gtest/gtest.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cwchar>
#include <thread>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "camera/test_pattern.h"
#include "capture/frame.h"
#include "capture/jpeg_win.h"
#include "capture/page_pixels.h"
#include "ds_capabilities.h"
#include "ds_image.h"
#include "platform/win_handles.h"
#include "settings/settings.h"
#include "source_window.h"
#include "twain_protocol.h"

// Top-down red-green-blue rows of `bytesPerRow` as a bottom-up blue-green-red
// picture; the padding is made zero.
inline CapturedFrame FrameOfRows(const uint8_t* rows, size_t bytesPerRow, int32_t width, int32_t height) {
    int32_t stride = (width * 3 + 3) & ~3;
    CapturedFrame frame{std::vector<uint8_t>(static_cast<size_t>(stride) * height), width, height,
                        stride};
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* from = rows + static_cast<size_t>(y) * bytesPerRow;
        uint8_t* to = &frame.pixels[static_cast<size_t>(height - 1 - y) * stride];
        for (int32_t i = 0; i < width * 3; ++i) to[i] = from[i + 2 - i % 3 * 2];
    }
    return frame;
}

// Bottom-up rows of `stride` bytes of grey or black-and-white pixels as the
// bottom-up blue-green-red picture a viewer shows.
inline CapturedFrame ExpandToColour(const uint8_t* rows, size_t stride, int32_t width, int32_t height,
                                    PagePixels pixels) {
    const int32_t colourStride = (width * 3 + 3) & ~3;
    CapturedFrame frame{std::vector<uint8_t>(static_cast<size_t>(colourStride) * height), width, height, colourStride};
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* from = rows + static_cast<size_t>(y) * stride;
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t level = pixels == PagePixels::Gray ? from[x] : (from[x / 8] >> (7 - x % 8)) & 1 ? 255 : 0;
            std::memset(&frame.pixels[static_cast<size_t>(y) * colourStride + 3 * x], level, 3);
        }
    }
    return frame;
}

// The picture of a packed DIB of any kind the source makes; empty when it is none.
inline CapturedFrame FrameOfDib(const void* bytes, size_t size) {
    DibPixels view;
    if (!ViewPackedDib(static_cast<const uint8_t*>(bytes), size, view)) return {};
    if (view.pixels != PagePixels::Rgb) {
        return ExpandToColour(view.data, view.stride, view.width, view.height, view.pixels);
    }
    return {{view.data, view.data + static_cast<size_t>(view.stride) * view.height}, view.width, view.height,
            view.stride};
}

// What a pixel of colour `c` becomes in a page of `pixels`: the BT.601 luma
// for grey, and white from `threshold` up for black and white.
inline TestPatternColour PageColour(TestPatternColour c, PagePixels pixels, uint8_t threshold) {
    if (pixels == PagePixels::Rgb) return c;
    const uint8_t bgr[3] = {c.blue, c.green, c.red};
    uint8_t luma = 0;
    BgrRowToGrayScalar(bgr, 1, &luma);  // checked against BT.601 itself in the kernels' tests
    const uint8_t level = pixels == PagePixels::Gray ? luma : luma >= threshold ? 255 : 0;
    return {level, level, level};
}

// A BMP or PNG file read back by the imaging component; empty if it cannot be.
inline CapturedFrame ReadPictureFile(const std::wstring& path) {
    using Microsoft::WRL::ComPtr;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the imaging component needs it
    ComPtr<IWICImagingFactory> factory = WicImagingFactory();
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> picture;
    ComPtr<IWICBitmapSource> rgb;
    UINT width = 0, height = 0;
    if (!factory ||
        FAILED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, &decoder)) ||
        FAILED(decoder->GetFrame(0, &picture)) ||
        // Wine converts grey and black-and-white pictures to 32-bit BGR only.
        FAILED(WicConvertBitmapSource(GUID_WICPixelFormat32bppBGR, picture.Get(), &rgb)) ||
        FAILED(rgb->GetSize(&width, &height))) {
        return {};
    }
    std::vector<uint8_t> bgrx(static_cast<size_t>(width) * 4 * height);
    if (FAILED(rgb->CopyPixels(nullptr, width * 4, static_cast<UINT>(bgrx.size()), bgrx.data()))) return {};
    const int32_t stride = (static_cast<int32_t>(width) * 3 + 3) & ~3;
    CapturedFrame frame{std::vector<uint8_t>(static_cast<size_t>(stride) * height), static_cast<int32_t>(width),
                        static_cast<int32_t>(height), stride};
    for (size_t i = 0; i < size_t(width) * height; ++i) {  // bottom-up, as a DIB
        const size_t x = i % width, y = i / width;
        std::memcpy(&frame.pixels[(height - 1 - y) * stride + 3 * x], &bgrx[4 * i], 3);
    }
    return frame;
}

// Whether `picture` is exactly `rect` of the test pattern, which must lie in
// its colour bars (the same in every frame).
inline bool ShowsPatternPart(const CapturedFrame& picture, const PixelRect& rect,
                             PagePixels pixels = PagePixels::Rgb, uint8_t threshold = 128) {
    bool same = picture.width == rect.width && picture.height == rect.height;
    for (int32_t i = 0; same && i < rect.width * rect.height; ++i) {
        const int32_t x = i % rect.width, y = i / rect.width;
        const uint8_t* pixel = &picture.pixels[static_cast<size_t>(rect.height - 1 - y) * picture.stride + 3 * x];
        TestPatternColour colour = PageColour(TestPatternColourAt(rect.left + x, rect.top + y, 0), pixels, threshold);
        same = pixel[0] == colour.blue && pixel[1] == colour.green && pixel[2] == colour.red;
    }
    return same;
}

// Makes `link` the camera the source opens first, at the picture size saved
// for it, for as long as the result lives.
inline auto ChooseCamera(const std::wstring& link, const std::wstring& frameSize = L"") {
    Settings saved = LoadSettings(), changed = saved;
    changed.DeviceSymLink = link;
    changed.FrameSize = frameSize;
    SaveSettings(changed);
    return ScopeExit([saved] { SaveSettings(saved); });
}

// Whether every control of our window lies wholly in its client area, none
// over another, so that nothing the user needs is cut off or hidden.
inline bool ControlsFit(HWND window) {
    RECT client{}, both{};
    GetClientRect(window, &client);
    std::vector<RECT> seen;
    bool fit = true;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        fit = fit && r.left >= 0 && r.top >= 0 && r.right <= client.right && r.bottom <= client.bottom;
        for (const RECT& other : seen) fit = fit && !IntersectRect(&both, &r, &other);
        seen.push_back(r);
    }
    return fit && seen.size() == 6;
}

// Whether the preview shows a picture rather than the black of "no picture".
inline bool PreviewShowsPicture(HWND preview) {
    RedrawWindow(preview, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    HDC dc = GetDC(preview);
    const COLORREF corner = GetPixel(dc, 20, 20);
    ReleaseDC(preview, dc);
    return corner != CLR_INVALID && corner != RGB(0, 0, 0);
}

// A stand-in for a TWAIN 2.x manager that behaves as the real one does: it
// hands over its entry points and memory functions, takes the source's
// signals inside the source's own call, and unloads the source on close.
struct Delivery {
    TW_UINT16 message;
    DWORD thread;
    bool duringTriplet;
    TW_UINT32 originId, destinationId;
};
inline struct StandInManager {
    HMODULE module = nullptr;
    DSENTRYPROC source = nullptr;
    bool insideTriplet = false;
    std::vector<Delivery> deliveries;
    size_t taken = 0;
    int allocations = 0;
} fake;

inline TW_UINT16 TW_CALLINGSTYLE FakeDsmEntry(TW_IDENTITY* origin, TW_IDENTITY* destination,
                                              TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    if (dg == DG_CONTROL && dat == DAT_NULL) {
        fake.deliveries.push_back({msg, GetCurrentThreadId(), fake.insideTriplet, origin ? origin->Id : 0,
                                   destination ? destination->Id : 0});
        return TWRC_SUCCESS;
    }
    if (!fake.source) return TWRC_FAILURE;
    fake.insideTriplet = true;
    TW_UINT16 result = fake.source(origin, dg, dat, msg, data);
    fake.insideTriplet = false;
    if (dat == DAT_IDENTITY && msg == MSG_CLOSEDS && result == TWRC_SUCCESS) {
        fake.source = nullptr;  // nobody else holds the source: the manager lets it go
        FreeLibrary(std::exchange(fake.module, nullptr));
    }
    return result;
}
inline TW_HANDLE TW_CALLINGSTYLE FakeAllocate(TW_UINT32 size) {
    ++fake.allocations;
    return GlobalAlloc(GHND, size);
}
inline void TW_CALLINGSTYLE FakeFree(TW_HANDLE handle) { GlobalFree(handle); }
inline TW_MEMREF TW_CALLINGSTYLE FakeLock(TW_HANDLE handle) { return GlobalLock(handle); }
inline void TW_CALLINGSTYLE FakeUnlock(TW_HANDLE handle) { GlobalUnlock(handle); }

// One step of a session as a host takes it, and what must come of it.
enum class Do {
    Open,       // the manager opens the source; `expect`: the condition code (OK: it opens)
    Close,      // MSG_CLOSEDS; `expect`: the condition code (OK: it closes)
    Set,        // capability `a` to `b`; `expect`: the condition code (OK: it is set)
    Current,    // capability `a` is now `b`
    Enable,     // with our window when `a`; `expect`: the condition code (OK: enabled)
    Disable,
    Signal,     // pumps messages (`a` ms, or the slowest grab's time) until `expect` or none
    Info,       // DAT_IMAGEINFO says `a` x `b` pixels
    Transfer,   // by mechanism `a`: the pattern within tolerance `b`, or the crop exactly
                // (a file: after a write into the folder failed)
    Pending,    // DAT_PENDINGXFERS `a` leaves `b` transfers
    Refuse,     // the triplet `a` of Refused fails with condition `expect`
    Window,     // our window is open when `a`, its controls in view, `b` cameras listed when not 0
    Capture,    // Capture can be pressed when `a`; pressed when `b`
    Choose,     // the user picks camera `a` in the list, which shows it chosen
    CloseBox,   // the user closes our window
    Condition,  // the source's condition code is now `a`
    HostWindow, // the application's window takes input when `a`
    Status,     // within 10 s our window's status line says STATUS_WORDS[a]
    Preview,    // our preview shows a picture when `a`, the black of none when not
    Boxes,      // from here on our message boxes are answered; `a`: how many came before this step
};
// What the status line says, in words of its texts.
inline const wchar_t* const STATUS_WORDS[] = {L" x ", L"Camera disconnected", L"Camera in use", L"not connected"};
enum StatusWord { STATUS_READY, STATUS_DISCONNECTED, STATUS_IN_USE, STATUS_GONE_AT_OPEN };
// The condition code of a triplet that did not fail.
constexpr TW_UINT16 OK = 0xffff, READY = MSG_XFERREADY, CLOSE_REQUEST = MSG_CLOSEDSREQ;
enum Refused { NATIVE_XFER, MEMORY_XFER, ROW_TOO_SHORT, FILE_XFER, UI_ONLY, NO_INTERFACE, TIFF, SHORT_ENTRY };
struct Step {
    Do op;
    TW_UINT32 a = 0, b = 0;
    TW_UINT16 expect = OK;
};

// Our TWAIN application, under the stand-in manager (with the .ds file
// `standInModule` beside the executable) or under the system's twain_32.dll,
// which finds the source installed as sane.ds.
struct Session {
    explicit Session(const wchar_t* standInModule)
        : module(standInModule), system(module ? nullptr : LoadLibraryW(L"twain_32.dll")),
          entry(module ? FakeDsmEntry
                       : reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void*>(
                             system ? GetProcAddress(system, "DSM_Entry") : nullptr))) {
        self.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
        window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                 nullptr, nullptr);
    }
    ~Session() {
        KillTimer(window, BOX_TIMER);
        if (boxHost == this) boxHost = nullptr;
        StopAnsweringBoxes();
        if (!module && entry) CallManager(DAT_PARENT, MSG_CLOSEDSM, &window);
        DestroyWindow(window);
    }

    TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
        return entry(&self, &source, dg, dat, msg, data);
    }
    TW_UINT16 CallManager(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
        return entry(&self, nullptr, DG_CONTROL, dat, msg, data);
    }
    // The source's condition code, which reading clears.
    TW_UINT16 Condition() {
        TW_STATUS status{0xfffe, 0};  // left so if the call fails
        Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        return status.ConditionCode;
    }
    // The condition code of a call that failed, or OK.
    TW_UINT16 Outcome(TW_UINT16 returnCode) { return returnCode == TWRC_FAILURE ? Condition() : OK; }

    // `withEntryPoints` false: as a 1.x manager, which hands the source none.
    TW_UINT16 Open(bool withEntryPoints = true) {
        if (!module) return OpenUnderSystem();
        // The 2.x manager's way: entry points first.
        if (fake.module) FreeLibrary(fake.module);
        fake = StandInManager{};
        fake.module = LoadLibraryW(module);
        FARPROC found = fake.module ? GetProcAddress(fake.module, "DS_Entry") : nullptr;
        fake.source = reinterpret_cast<DSENTRYPROC>(reinterpret_cast<void*>(found));
        if (!fake.source) return TWRC_FAILURE;
        self.Id = 4;
        source.Id = 9;
        TW_ENTRYPOINT points{sizeof(TW_ENTRYPOINT), FakeDsmEntry, FakeAllocate, FakeFree, FakeLock, FakeUnlock};
        TW_UINT16 result = withEntryPoints ? Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points) : TWRC_SUCCESS;
        return result == TWRC_SUCCESS ? Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source) : result;
    }
    TW_UINT16 OpenUnderSystem() {
        if (!entry || (!managerOpen && CallManager(DAT_PARENT, MSG_OPENDSM, &window) != TWRC_SUCCESS)) {
            return TWRC_FAILURE;
        }
        managerOpen = true;
        // The manager lists the source by the identity it reports.
        source = TW_IDENTITY{};
        for (TW_UINT16 rc = CallManager(DAT_IDENTITY, MSG_GETFIRST, &source);
             rc == TWRC_SUCCESS && std::strcmp(source.ProductName, "Snapward") != 0;
             rc = CallManager(DAT_IDENTITY, MSG_GETNEXT, &source)) {
        }
        if (std::strcmp(source.ProductName, "Snapward") != 0) return TWRC_FAILURE;
        return CallManager(DAT_IDENTITY, MSG_OPENDS, &source);
    }

    // The container `msg` answers for `cap` (and frees); empty if the source
    // fails or sends a bad container.
    CapContainer Query(TW_UINT16 cap, TW_UINT16 msg) {
        TW_CAPABILITY capability{cap, TWON_DONTCARE16, nullptr};
        CapContainer answer;
        if (Call(DG_CONTROL, DAT_CAPABILITY, msg, &capability) == TWRC_FAILURE) return answer;
        UniqueGlobal container(capability.hContainer);
        GlobalLockGuard bytes(container.get());
        DecodeContainer(capability.ConType, static_cast<const uint8_t*>(bytes.data()), GlobalSize(container.get()),
                        answer);
        return answer;
    }
    // `item` as one value, a resolution's as TW_FIX32.
    TW_UINT16 SetCap(TW_UINT16 cap, TW_UINT32 item) {
        const TW_UINT16 type = cap == ICAP_XRESOLUTION || cap == ICAP_YRESOLUTION ? TWTY_FIX32
                               : cap == CAP_XFERCOUNT                             ? TWTY_INT16
                                                                                  : TWTY_UINT16;
        UniqueGlobal container(GlobalAlloc(GHND, sizeof(TW_ONEVALUE)));
        *static_cast<TW_ONEVALUE*>(GlobalLockGuard(container.get()).data()) = TW_ONEVALUE{type, item};
        TW_CAPABILITY capability{cap, TWON_ONEVALUE, container.get()};
        return Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
    }

    // The image waiting in the source: a DIB, or strips in buffers of the
    // preferred size, into place and through a handle by turns. Empty on any
    // failure, or when a strip says something other than the rows it brought.
    CapturedFrame Transfer(TW_UINT16 mechanism) {
        if (mechanism == TWSX_NATIVE) {
            TW_HANDLE dib = nullptr;
            if (Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) != TWRC_XFERDONE) return {};
            UniqueGlobal owned(dib);  // the application's once transferred
            GlobalLockGuard locked(dib);
            return FrameOfDib(locked.data(), GlobalSize(dib));
        }
        TW_SETUPMEMXFER sizes{};
        TW_IMAGEINFO info{};
        Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &sizes);
        Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
        const PagePixels pixels = info.BitsPerPixel == 8   ? PagePixels::Gray
                                  : info.BitsPerPixel == 1 ? PagePixels::BlackWhite
                                                           : PagePixels::Rgb;
        const uint32_t rowBytes = RowBytes(info.ImageWidth, pixels), height = info.ImageLength;
        std::vector<uint8_t> rows(rowBytes * height);
        UniqueGlobal handle(GlobalAlloc(GHND, sizes.Preferred));
        TW_UINT16 result = TWRC_SUCCESS;
        uint32_t done = 0;
        for (int strip = 0; result != TWRC_XFERDONE && done < height; ++strip) {
            TW_IMAGEMEMXFER transfer{};
            bool viaHandle = strip % 2 == 1;
            uint8_t* place = &rows[done * rowBytes];
            TW_UINT32 room = std::min<TW_UINT32>(sizes.Preferred, (height - done) * rowBytes);
            transfer.Memory = {TWMF_APPOWNS | (viaHandle ? TWMF_HANDLE : TWMF_POINTER), room,
                               viaHandle ? handle.get() : place};
            result = Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &transfer);
            if (result == TWRC_FAILURE || transfer.BytesPerRow != rowBytes || transfer.YOffset != done ||
                transfer.BytesWritten != transfer.Rows * rowBytes || transfer.Rows > height - done) {
                return {};
            }
            if (viaHandle) std::memcpy(place, GlobalLockGuard(handle.get()).data(), transfer.BytesWritten);
            done += transfer.Rows;
        }
        if (result != TWRC_XFERDONE || done != height) return {};
        if (pixels == PagePixels::Rgb) return FrameOfRows(rows.data(), rowBytes, info.ImageWidth, info.ImageLength);
        std::vector<uint8_t> bottomUp(rows.size());  // strips come top first
        for (uint32_t y = 0; y < height; ++y) {
            std::memcpy(&bottomUp[(height - 1 - y) * rowBytes], &rows[y * rowBytes], rowBytes);
        }
        return ExpandToColour(bottomUp.data(), rowBytes, info.ImageWidth, info.ImageLength, pixels);
    }

    // Passes every message to the source first, as the protocol asks: the
    // first signal (or the stand-in's), or MSG_NULL after `milliseconds`.
    TW_UINT16 Pump(DWORD milliseconds) {
        for (DWORD start = GetTickCount(); GetTickCount() - start < milliseconds;) {
            MSG message;
            TW_EVENT event{&message, MSG_NULL};
            const bool got = PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);
            if (got && !message.hwnd && message.message >= WM_APP && message.message < 0xc000) {
                strays.push_back(message.message);
            }
            if (!got) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            } else if (Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) != TWRC_DSEVENT) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            TW_UINT16 signal = event.TWMessage;
            if (signal == MSG_NULL && module && fake.taken < fake.deliveries.size()) {
                signal = fake.deliveries[fake.taken++].message;
            }
            if (signal != MSG_NULL) {
                signals.push_back(signal);
                return signal;
            }
        }
        return MSG_NULL;
    }

    TW_UINT16 Refuse(TW_UINT32 which) {
        std::vector<uint8_t> row(RgbRowBytes(TEST_PATTERN_WIDTH));
        TW_IMAGEMEMXFER strip{};
        strip.Memory = {TWMF_APPOWNS | TWMF_POINTER, TW_UINT32(row.size() - (which == ROW_TOO_SHORT)), row.data()};
        TW_HANDLE dib = nullptr;
        TW_USERINTERFACE ui{};
        TW_SETUPFILEXFER tiff{"x.tif", TWFF_TIFF, 0};
        TW_ENTRYPOINT tooShort{4, FakeDsmEntry, nullptr, nullptr, nullptr, nullptr};  // no memory functions
        const std::tuple<TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF> triplets[] = {
            {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib}, {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip},
            {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip}, {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr},
            {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, &ui},
            {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, nullptr},
            {DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &tiff}, {DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &tooShort}};
        return std::apply([&](auto... call) { return Outcome(Call(call...)); }, triplets[which]);
    }

    // A file transfer in `format`: first into the folder itself, which no file
    // can replace and which is left as it was; then over a file already there.
    CapturedFrame FileTransfer(TW_UINT16 format) {
        const std::filesystem::path folder = std::filesystem::temp_directory_path() / "orvendel-files";
        const std::filesystem::path path = folder / (format == TWFF_PNG ? "crop.png" : "crop.bmp");
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        std::ofstream(path) << "old";
        TW_SETUPFILEXFER file{{}, format, 0};
        std::strcpy(file.FileName, folder.string().c_str());
        EXPECT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &file), TWRC_SUCCESS);
        EXPECT_EQ(Outcome(Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr)), TWCC_FILEWRITEERROR);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
        std::strcpy(file.FileName, path.string().c_str());
        EXPECT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &file), TWRC_SUCCESS);
        bool done = Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) == TWRC_XFERDONE;
        CapturedFrame picture = done ? ReadPictureFile(path.wstring()) : CapturedFrame{};
        char magic[2] = {};
        std::ifstream(path, std::ios::binary).read(magic, 2);
        EXPECT_EQ(std::string(magic, 2), format == TWFF_PNG ? "\x89P" : "BM");
        std::filesystem::remove_all(folder);
        return picture;
    }

    void Run(const std::vector<Step>& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            const auto [op, a, b, expect] = steps[i];
            SCOPED_TRACE(testing::Message() << "step " << i);
            HWND dialog = FindWindowW(TWAIN_WINDOW_CLASS, nullptr);
            HWND list = GetDlgItem(dialog, IDC_TWAIN_CAMERAS), capture = GetDlgItem(dialog, IDC_TWAIN_CAPTURE);
            switch (op) {
                case Do::Open: ASSERT_EQ(Outcome(Open(a == 0)), expect); break;
                case Do::Close: EXPECT_EQ(Outcome(CallManager(DAT_IDENTITY, MSG_CLOSEDS, &source)), expect); break;
                case Do::Set: EXPECT_EQ(Outcome(SetCap(TW_UINT16(a), b)), expect); break;
                case Do::Current: EXPECT_EQ(Query(TW_UINT16(a), MSG_GETCURRENT).items, std::vector{b}); break;
                case Do::Enable:
                case Do::Disable: {
                    TW_USERINTERFACE ui{TW_BOOL(a != 0), TW_BOOL(b != 0), window};
                    const TW_UINT16 msg = op == Do::Enable ? MSG_ENABLEDS : MSG_DISABLEDS;
                    ASSERT_EQ(Outcome(Call(DG_CONTROL, DAT_USERINTERFACE, msg, &ui)), expect);
                    break;
                }
                case Do::Signal: ASSERT_EQ(Pump(a ? a : 20000), expect); break;  // 20 s: the slowest grab
                case Do::Info: {
                    TW_IMAGEINFO info{};
                    ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
                    EXPECT_EQ(info.ImageWidth * 10000 + info.ImageLength, TW_INT32(a * 10000 + b));
                    EXPECT_TRUE(!crop.width || FromFix32(info.XResolution) == 192);
                    break;
                }
                case Do::Transfer: {
                    CapturedFrame picture = a == TWSX_FILE ? FileTransfer(TW_UINT16(b)) : Transfer(TW_UINT16(a));
                    uint32_t counter = 0;
                    EXPECT_TRUE(crop.width ? ShowsPatternPart(picture, crop, pixels, threshold)
                                           : MatchesTestPattern(picture, int(b), counter))
                        << picture.width << " x " << picture.height;
                    // A queue camera's counter is the time its frame was taken.
                    if (!crop.width) counters.push_back(counter);
                    break;
                }
                case Do::Pending: {
                    TW_PENDINGXFERS pending{0x7777, 0x7777};
                    if (a == MSG_ENDXFER) endedAt.push_back(TestPatternClockTicks(std::chrono::steady_clock::now()));
                    Call(DG_CONTROL, DAT_PENDINGXFERS, TW_UINT16(a), &pending);
                    EXPECT_EQ(pending.Count * 10000 + pending.EOJ, TW_INT32(b * 10000));
                    break;
                }
                case Do::Refuse: EXPECT_EQ(Refuse(a), expect); break;
                case Do::Window:
                    ASSERT_EQ(dialog != nullptr, a != 0);
                    EXPECT_TRUE(!b || SendMessageW(list, CB_GETCOUNT, 0, 0) == LRESULT(b));
                    EXPECT_TRUE(!dialog || ControlsFit(dialog));
                    break;
                case Do::Capture:
                    EXPECT_EQ(IsWindowEnabled(capture) != FALSE, a != 0);
                    if (b) SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_TWAIN_CAPTURE, BN_CLICKED), LPARAM(capture));
                    break;
                case Do::Choose:
                    SendMessageW(list, CB_SETCURSEL, a, 0);
                    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_TWAIN_CAMERAS, CBN_SELCHANGE), LPARAM(list));
                    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), LRESULT(a));
                    break;
                case Do::CloseBox: PostMessageW(dialog, WM_CLOSE, 0, 0); break;
                case Do::Condition: EXPECT_EQ(Condition(), TW_UINT16(a)); break;
                case Do::HostWindow: EXPECT_EQ(IsWindowEnabled(window) != FALSE, a != 0); break;
                case Do::Status: {
                    wchar_t text[512] = {};
                    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000;) {
                        GetDlgItemTextW(FindWindowW(TWAIN_WINDOW_CLASS, nullptr), IDC_TWAIN_STATUS, text, 512);
                        if (std::wcsstr(text, STATUS_WORDS[a])) break;
                        Pump(50);
                    }
                    EXPECT_NE(std::wcsstr(text, STATUS_WORDS[a]), nullptr) << "status: " << testing::PrintToString(std::wstring(text));
                    break;
                }
                case Do::Preview: EXPECT_EQ(PreviewShowsPicture(GetDlgItem(dialog, IDC_TWAIN_PREVIEW)), a != 0); break;
                case Do::Boxes: EXPECT_EQ(AnswerBoxes(), int(a)); break;
            }
            if (::testing::Test::HasFatalFailure()) return;
        }
    }

    // Takes `steps` from inside our next message box once it has been up for
    // `afterMs`, as a host's timer that runs in the box's loop would, then
    // answers the box.
    void ActInBox(std::vector<Step> steps, DWORD afterMs) {
        boxSteps = std::move(steps);
        boxDelay = afterMs;
        boxSeen = 0;
        boxHost = this;
        SetTimer(window, BOX_TIMER, 20, BoxTimer);
    }
    static void CALLBACK BoxTimer(HWND window, UINT, UINT_PTR id, DWORD) {
        Session* host = boxHost;
        HWND box = FindWindowW(L"#32770", L"Snapward");
        if (!host || !box) return;
        const DWORD now = GetTickCount();
        if (!host->boxSeen) host->boxSeen = now | 1;
        if (now - host->boxSeen < host->boxDelay) return;
        KillTimer(window, id);
        ++host->boxesActedIn;
        host->Run(host->boxSteps);
        SendMessageW(box, WM_COMMAND, IDOK, 0);
    }

    // Answers every message box of ours from here on (they hold the thread
    // that shows them); how many the watcher answered until now.
    int AnswerBoxes() {
        const int answered = boxes.exchange(0);
        if (!watcher.joinable()) {
            watcher = std::thread([this] {
                for (;;) {
                    if (HWND box = FindWindowW(L"#32770", L"Snapward")) {
                        SendMessageW(box, WM_COMMAND, IDOK, 0);
                        ++boxes;
                    }
                    if (stopWatching) return;
                    Sleep(50);
                }
            });
        }
        return answered;
    }
    void StopAnsweringBoxes() {
        stopWatching = true;
        if (watcher.joinable()) watcher.join();
    }

    const wchar_t* module;
    HMODULE system;
    DSMENTRYPROC entry;
    TW_IDENTITY self{};
    TW_IDENTITY source{};
    HWND window = nullptr;  // the application's window, handed to the manager
    bool managerOpen = false;
    std::vector<TW_UINT16> signals;  // every signal so far, in order
    std::vector<UINT> strays;        // private messages that came to the thread, outside any window
    static constexpr UINT_PTR BOX_TIMER = 7;
    static inline Session* boxHost = nullptr;
    std::vector<Step> boxSteps;
    DWORD boxDelay = 0, boxSeen = 0;
    int boxesActedIn = 0;
    PixelRect crop;  // set at 192 dots per inch: the pictures are this part of the pattern
    PagePixels pixels = PagePixels::Rgb;  // what the pages are to be, for the crop's check
    uint8_t threshold = 128;
    std::vector<uint32_t> counters;  // of every whole pattern transferred, in order
    std::vector<uint32_t> endedAt;   // a queue camera's clock when each transfer ended
    std::thread watcher;
    std::atomic<int> boxes{0};
    std::atomic<bool> stopWatching{false};
};
