#include "twain_app.h"

#include <cstring>

#include "ds_image.h"
#include "source_window.h"

std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\'));
}

CapturedFrame FrameFromDib(HGLOBAL dib) {
    CapturedFrame frame;
    if (!dib) return frame;
    auto* bytes = static_cast<const uint8_t*>(GlobalLock(dib));
    DibPixels view;
    if (bytes && ViewPackedDib(bytes, GlobalSize(dib), view)) {
        frame.width = view.width;
        frame.height = view.height;
        frame.stride = view.stride;
        frame.pixels.assign(view.data, view.data + static_cast<size_t>(view.stride) * view.height);
    }
    if (bytes) GlobalUnlock(dib);
    return frame;
}

CapturedFrame FrameFromRgbRows(const std::vector<uint8_t>& rows, int32_t width, int32_t height,
                               uint32_t bytesPerRow) {
    CapturedFrame frame;
    frame.width = width;
    frame.height = height;
    frame.stride = (width * 3 + 3) & ~3;
    frame.pixels.assign(static_cast<size_t>(frame.stride) * height, 0);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* source = rows.data() + static_cast<size_t>(y) * bytesPerRow;
        uint8_t* target = frame.pixels.data() + static_cast<size_t>(height - 1 - y) * frame.stride;
        for (int32_t x = 0; x < width; ++x) {
            target[3 * x] = source[3 * x + 2];
            target[3 * x + 1] = source[3 * x + 1];
            target[3 * x + 2] = source[3 * x];
        }
    }
    return frame;
}

namespace {

BOOL CALLBACK FindSource(HWND window, LPARAM found) {
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (wcscmp(className, TWAIN_WINDOW_CLASS) == 0) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND FindSourceWindow() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindSource, reinterpret_cast<LPARAM>(&found));
    return found;
}

TwainApp::TwainApp(DSMENTRYPROC entry) : entry_(entry) {
    app.Version.MajorNum = 1;
    app.Version.Language = TWLG_USA;
    app.Version.Country = TWCY_USA;
    std::strcpy(app.Version.Info, "test");
    app.ProtocolMajor = TWON_PROTOCOLMAJOR;
    app.ProtocolMinor = TWON_PROTOCOLMINOR;
    app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(app.Manufacturer, "Snapward tests");
    std::strcpy(app.ProductFamily, "Snapward tests");
    std::strcpy(app.ProductName, "TWAIN test application");
    window = CreateWindowExW(0, L"STATIC", L"TWAIN test application", WS_OVERLAPPED, 0, 0, 100, 100,
                             nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

TwainApp::~TwainApp() {
    if (window) DestroyWindow(window);
}

TW_UINT16 TwainApp::Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return entry_(&app, &source, dg, dat, msg, data);
}

TW_UINT16 TwainApp::CallManager(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return entry_(&app, nullptr, DG_CONTROL, dat, msg, data);
}

TW_UINT16 TwainApp::Condition() {
    TW_STATUS status{};
    if (Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS) return 0xffff;
    return status.ConditionCode;
}

TW_UINT16 TwainApp::GetCap(TW_UINT16 cap, TW_UINT16 msg, CapContainer& answer) {
    TW_CAPABILITY capability{cap, TWON_DONTCARE16, nullptr};
    TW_UINT16 result = Call(DG_CONTROL, DAT_CAPABILITY, msg, &capability);
    answer = CapContainer{};
    if (result == TWRC_FAILURE || !capability.hContainer) return result;
    auto* bytes = static_cast<const uint8_t*>(GlobalLock(capability.hContainer));
    if (!DecodeContainer(capability.ConType, bytes, GlobalSize(capability.hContainer), answer)) {
        answer.conType = 0;
    }
    GlobalUnlock(capability.hContainer);
    GlobalFree(capability.hContainer);
    return result;
}

TW_UINT16 TwainApp::SetCap(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 item) {
    HGLOBAL container = GlobalAlloc(GHND, sizeof(TW_ONEVALUE));
    auto* value = static_cast<TW_ONEVALUE*>(GlobalLock(container));
    value->ItemType = itemType;
    value->Item = item;
    GlobalUnlock(container);
    TW_CAPABILITY capability{cap, TWON_ONEVALUE, container};
    TW_UINT16 result = Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
    GlobalFree(container);
    return result;
}

TW_UINT16 TwainApp::Enable(bool showUI) {
    TW_USERINTERFACE ui{};
    ui.ShowUI = showUI ? 1 : 0;
    ui.ModalUI = 0;
    ui.hParent = window;
    return Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
}

bool TwainApp::PumpOne(TW_UINT16& signal) {
    signal = MSG_NULL;
    MSG message;
    if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return false;
    TW_EVENT event{&message, MSG_NULL};
    TW_UINT16 result = Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
    if (result == TWRC_DSEVENT) {
        signal = event.TWMessage;
    } else {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (signal == MSG_NULL && fromManager) signal = fromManager();
    if (signal != MSG_NULL) signals.push_back(signal);
    return true;
}

TW_UINT16 TwainApp::WaitForSignal(DWORD timeoutMs, const std::function<void()>& onIdle) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        TW_UINT16 signal = MSG_NULL;
        if (!PumpOne(signal)) {
            if (onIdle) onIdle();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            continue;
        }
        if (signal != MSG_NULL) return signal;
    }
    return MSG_NULL;
}

void TwainApp::Pump(DWORD milliseconds) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        TW_UINT16 signal = MSG_NULL;
        if (!PumpOne(signal)) MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}
