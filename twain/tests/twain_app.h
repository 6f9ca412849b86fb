#pragma once
// A TWAIN application of our own for the tests: it drives a source through a
// manager's DSM_Entry (or a stand-in's) the way scanning applications do.

#include <windows.h>

#include <functional>
#include <vector>

#include "camera/test_pattern.h"
#include "capture/frame.h"
#include "ds_capabilities.h"
#include "ds_image.h"
#include "source_window.h"
#include "twain_protocol.h"

// Whether a packed 24-bit DIB block, which it frees, holds the test pattern
// within `tolerance`, the right way up and round.
inline bool DibIsTestPattern(TW_HANDLE dib, int tolerance) {
    CapturedFrame frame;
    DibPixels view;
    if (ViewPackedDib(static_cast<const uint8_t*>(GlobalLock(dib)), GlobalSize(dib), view)) {
        frame = {{view.data, view.data + static_cast<size_t>(view.stride) * view.height},
                 view.width, view.height, view.stride};
    }
    GlobalUnlock(dib);
    GlobalFree(dib);  // the application's once transferred
    uint32_t counter = 0;
    return MatchesTestPattern(frame, tolerance, counter);
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

    // The items of a capability's current value (the container is freed);
    // none if the source fails or sends a bad container.
    std::vector<TW_UINT32> Current(TW_UINT16 cap) {
        TW_CAPABILITY capability{cap, TWON_DONTCARE16, nullptr};
        CapContainer answer;
        if (Call(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &capability) == TWRC_FAILURE) return {};
        auto* bytes = static_cast<const uint8_t*>(GlobalLock(capability.hContainer));
        DecodeContainer(capability.ConType, bytes, GlobalSize(capability.hContainer), answer);
        GlobalUnlock(capability.hContainer);
        GlobalFree(capability.hContainer);
        return answer.items;
    }
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
