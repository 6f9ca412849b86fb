#pragma once
// A TWAIN application of our own for the tests: it drives a source through a
// manager's DSM_Entry the way scanning applications do, and checks what
// comes out against the test pattern.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture/frame.h"
#include "ds_capabilities.h"
#include "twain_protocol.h"

std::wstring ExecutableFolder();

// A bottom-up BGR frame from a packed 24-bit DIB block (empty if it is none).
CapturedFrame FrameFromDib(HGLOBAL dib);
// A bottom-up BGR frame from top-down RGB rows of `bytesPerRow` bytes.
CapturedFrame FrameFromRgbRows(const std::vector<uint8_t>& rows, int32_t width, int32_t height,
                               uint32_t bytesPerRow);

// The source's own window on this thread, or null.
HWND FindSourceWindow();

class TwainApp {
public:
    // `entry` is the manager's DSM_Entry (or a stand-in for one).
    explicit TwainApp(DSMENTRYPROC entry);
    ~TwainApp();

    TW_IDENTITY app{};
    TW_IDENTITY source{};
    HWND window = nullptr;  // the application's window, handed to the manager

    // A triplet for the source.
    TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    // A triplet for the manager.
    TW_UINT16 CallManager(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    // The source's condition code (DAT_STATUS MSG_GET).
    TW_UINT16 Condition();

    // MSG_GET and friends on a capability; the container is read and freed.
    TW_UINT16 GetCap(TW_UINT16 cap, TW_UINT16 msg, CapContainer& answer);
    TW_UINT16 SetCap(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 item);

    TW_UINT16 Enable(bool showUI);

    // Runs a message loop that passes every message to the source first, as
    // the protocol asks, until a signal arrives (from MSG_PROCESSEVENT or from
    // `fromManager`) or `timeoutMs` passes. `onIdle` runs between messages.
    // Returns the signal, or MSG_NULL on time-out.
    TW_UINT16 WaitForSignal(DWORD timeoutMs, const std::function<void()>& onIdle = {});
    // Pumps messages for a while, the same way, collecting any signal.
    void Pump(DWORD milliseconds);

    // Signals a 2.x manager hands over outside MSG_PROCESSEVENT (callbacks).
    std::function<TW_UINT16()> fromManager;
    // Every signal received so far, in order.
    std::vector<TW_UINT16> signals;

private:
    bool PumpOne(TW_UINT16& signal);
    DSMENTRYPROC entry_;
};
