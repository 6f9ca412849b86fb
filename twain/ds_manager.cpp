#include "data_source.h"

#include "ds_shared.h"

using namespace ds;

void DataSource::Signal(TW_UINT16 message) {
    // Without our window (closed) the post would land in the host's own
    // queue as a thread message, and nobody would take the signal.
    if (!signalWindow_) return;
    pendingSignal_ = message;
    PostMessageW(signalWindow_.get(), WM_TWAIN_SIGNAL, 0, 0);
}

TW_UINT16 DataSource::TakeSignal() {
    TW_UINT16 message = pendingSignal_;
    pendingSignal_ = MSG_NULL;
    // The source is in state 6 from the moment it says an image is ready.
    if (message == MSG_XFERREADY) state_ = DsState::XferReady;
    return message;
}

bool DataSource::ManagerDeliversSignals() const {
    return manager_.Size >= sizeof(TW_ENTRYPOINT) && manager_.DSM_Entry;
}

DSMENTRYPROC DataSource::ManagerEntry() const {
    if (ManagerDeliversSignals()) return manager_.DSM_Entry;
    // A 1.x manager gives no entry point; it is the twain_32.dll that loaded us.
    HMODULE manager = GetModuleHandleW(L"twain_32.dll");
    FARPROC entry = manager ? GetProcAddress(manager, "DSM_Entry") : nullptr;
    return reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void*>(entry));
}

void DataSource::SendSignalThroughManager() {
    if (pendingSignal_ == MSG_NULL) return;
    DSMENTRYPROC entry = ManagerEntry();
    if (!entry) return;
    bool ownDelivery = ManagerDeliversSignals();
    TW_UINT16 message = TakeSignal();
    // The application may run whole transfers inside this call (from its
    // callback), so nothing below may rely on the state from before it.
    TW_UINT16 result = entry(&identity_, &application_, DG_CONTROL, DAT_NULL, message, nullptr);
    if (result != TWRC_SUCCESS && message == MSG_XFERREADY && state_ == DsState::XferReady) {
        // Nobody will come for the image.
        image_.reset();
        state_ = DsState::Enabled;
        if (showUI_) ui_.EnableCapture(cameraOpen_);
        return;
    }
    // A manager that keeps the message until the application passes it an
    // event needs one more event to come.
    if (ownDelivery && signalWindow_) PostMessageW(signalWindow_.get(), WM_NULL, 0, 0);
}

TW_HANDLE DataSource::Allocate(TW_UINT32 size) {
    if (manager_.DSM_MemAllocate) return manager_.DSM_MemAllocate(size);
    return GlobalAlloc(GHND, size);
}

void DataSource::Free(TW_HANDLE handle) {
    if (manager_.DSM_MemFree) {
        manager_.DSM_MemFree(handle);
    } else {
        GlobalFree(handle);
    }
}

void* DataSource::Lock(TW_HANDLE handle) {
    if (manager_.DSM_MemLock) return manager_.DSM_MemLock(handle);
    return GlobalLock(handle);
}

void DataSource::Unlock(TW_HANDLE handle) {
    if (manager_.DSM_MemUnlock) {
        manager_.DSM_MemUnlock(handle);
    } else {
        GlobalUnlock(handle);
    }
}

LRESULT CALLBACK DataSource::SignalProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<DataSource*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    // Nothing may unwind into the application's message loop.
    try {
        if (self && message == WM_TWAIN_GRABBED) {
            self->OnGrabbed();
            return 0;
        }
        if (self && message == WM_TWAIN_SIGNAL) {
            // Still pending: the application dispatched the message without
            // passing it to us first, or the manager delivers signals itself.
            self->SendSignalThroughManager();
            return 0;
        }
    } catch (...) {
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
