#pragma once
// Small move-only owners for Win32 handles and scoped guards. Every handle is
// owned from the moment it is obtained; no Close/Release pairs by hand.

#include <windows.h>

#include <objbase.h>

#include <utility>

// Owns one handle-like value; Traits::Close runs once, on destruction or reset.
// Traits: `Type`, `Invalid()` (the "no handle" value), `Close(Type)`.
template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;
    UniqueHandle() = default;
    explicit UniqueHandle(Type value) : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Type get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Invalid(); }
    Type release() { return std::exchange(value_, Traits::Invalid()); }
    void reset(Type value = Traits::Invalid()) {
        Type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }
    // For out-parameters: closes what was held, then hands out the slot.
    Type* put() {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::Invalid();
};

namespace handle_detail {
template <typename T, void (*CloseFn)(T)>
struct NullTraits {
    using Type = T;
    static Type Invalid() { return nullptr; }
    static void Close(Type value) { CloseFn(value); }
};
inline void CloseKernelHandle(HANDLE h) { ::CloseHandle(h); }
inline void CloseKey(HKEY k) { ::RegCloseKey(k); }
inline void FreeGlobal(HGLOBAL g) { ::GlobalFree(g); }
inline void DeleteGdiObject(HGDIOBJ o) { ::DeleteObject(o); }
inline void DeleteBitmap(HBITMAP b) { ::DeleteObject(b); }
inline void DeleteMemoryDc(HDC dc) { ::DeleteDC(dc); }
inline void DestroyIconHandle(HICON i) { ::DestroyIcon(i); }
inline void DestroyMenuHandle(HMENU m) { ::DestroyMenu(m); }
inline void DestroyWindowHandle(HWND w) { ::DestroyWindow(w); }
inline void UnhookHook(HHOOK h) { ::UnhookWindowsHookEx(h); }
inline void ReleaseModule(HMODULE m) { ::FreeLibrary(m); }
inline void UnregisterDeviceNotify(HDEVNOTIFY n) { ::UnregisterDeviceNotification(n); }
inline void FreeLocal(HLOCAL l) { ::LocalFree(l); }
// CreateFileW reports failure as INVALID_HANDLE_VALUE, not null.
struct FileTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};
}  // namespace handle_detail

using UniqueFile = UniqueHandle<handle_detail::FileTraits>;
using UniqueKernelHandle = UniqueHandle<handle_detail::NullTraits<HANDLE, handle_detail::CloseKernelHandle>>;
using UniqueHKey = UniqueHandle<handle_detail::NullTraits<HKEY, handle_detail::CloseKey>>;
using UniqueGlobal = UniqueHandle<handle_detail::NullTraits<HGLOBAL, handle_detail::FreeGlobal>>;
using UniqueGdiObject = UniqueHandle<handle_detail::NullTraits<HGDIOBJ, handle_detail::DeleteGdiObject>>;
using UniqueBitmap = UniqueHandle<handle_detail::NullTraits<HBITMAP, handle_detail::DeleteBitmap>>;
using UniqueMemoryDc = UniqueHandle<handle_detail::NullTraits<HDC, handle_detail::DeleteMemoryDc>>;
using UniqueIcon = UniqueHandle<handle_detail::NullTraits<HICON, handle_detail::DestroyIconHandle>>;
using UniqueMenu = UniqueHandle<handle_detail::NullTraits<HMENU, handle_detail::DestroyMenuHandle>>;
using UniqueWindow = UniqueHandle<handle_detail::NullTraits<HWND, handle_detail::DestroyWindowHandle>>;
using UniqueHook = UniqueHandle<handle_detail::NullTraits<HHOOK, handle_detail::UnhookHook>>;
using UniqueModule = UniqueHandle<handle_detail::NullTraits<HMODULE, handle_detail::ReleaseModule>>;
// LocalAlloc'd memory handed out by the system (CommandLineToArgvW's array).
using UniqueLocal = UniqueHandle<handle_detail::NullTraits<HLOCAL, handle_detail::FreeLocal>>;
using UniqueDeviceNotify =
    UniqueHandle<handle_detail::NullTraits<HDEVNOTIFY, handle_detail::UnregisterDeviceNotify>>;

// Memory from CoTaskMemAlloc (Media Foundation strings and arrays).
template <typename T>
class UniqueCoTaskMem {
public:
    UniqueCoTaskMem() = default;
    explicit UniqueCoTaskMem(T* p) : p_(p) {}
    UniqueCoTaskMem(UniqueCoTaskMem&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    UniqueCoTaskMem& operator=(UniqueCoTaskMem&& o) noexcept {
        if (this != &o) reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    UniqueCoTaskMem(const UniqueCoTaskMem&) = delete;
    UniqueCoTaskMem& operator=(const UniqueCoTaskMem&) = delete;
    ~UniqueCoTaskMem() { reset(); }
    T* get() const { return p_; }
    T** put() {
        reset();
        return &p_;
    }
    void reset(T* p = nullptr) {
        if (p_) ::CoTaskMemFree(p_);
        p_ = p;
    }

private:
    T* p_ = nullptr;
};

// Runs a callable when the scope ends, unless dismissed.
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F f) : f_(std::move(f)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() {
        if (armed_) f_();
    }
    void Dismiss() { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

// GlobalLock for the guard's lifetime; data() is null when the lock failed.
class GlobalLockGuard {
public:
    explicit GlobalLockGuard(HGLOBAL block) : block_(block), data_(block ? ::GlobalLock(block) : nullptr) {}
    ~GlobalLockGuard() {
        if (data_) ::GlobalUnlock(block_);
    }
    GlobalLockGuard(const GlobalLockGuard&) = delete;
    GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
    void* data() const { return data_; }

private:
    HGLOBAL block_;
    void* data_;
};

// OpenClipboard for the guard's lifetime; opened() tells whether it is ours.
class ClipboardGuard {
public:
    explicit ClipboardGuard(HWND owner) : opened_(::OpenClipboard(owner) != FALSE) {}
    ~ClipboardGuard() {
        if (opened_) ::CloseClipboard();
    }
    ClipboardGuard(const ClipboardGuard&) = delete;
    ClipboardGuard& operator=(const ClipboardGuard&) = delete;
    bool opened() const { return opened_; }

private:
    bool opened_;
};

// GetDC/ReleaseDC.
class WindowDc {
public:
    explicit WindowDc(HWND window) : window_(window), dc_(::GetDC(window)) {}
    ~WindowDc() {
        if (dc_) ::ReleaseDC(window_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// BeginPaint/EndPaint.
class PaintGuard {
public:
    explicit PaintGuard(HWND window) : window_(window), dc_(::BeginPaint(window, &ps_)) {}
    ~PaintGuard() { ::EndPaint(window_, &ps_); }
    PaintGuard(const PaintGuard&) = delete;
    PaintGuard& operator=(const PaintGuard&) = delete;
    HDC dc() const { return dc_; }
    const PAINTSTRUCT& paint() const { return ps_; }

private:
    HWND window_;
    PAINTSTRUCT ps_{};
    HDC dc_;
};

// SelectObject that puts the previous object back.
class SelectGuard {
public:
    SelectGuard(HDC dc, HGDIOBJ object) : dc_(dc), old_(::SelectObject(dc, object)) {}
    ~SelectGuard() {
        if (old_ && old_ != HGDI_ERROR) ::SelectObject(dc_, old_);
    }
    SelectGuard(const SelectGuard&) = delete;
    SelectGuard& operator=(const SelectGuard&) = delete;

private:
    HDC dc_;
    HGDIOBJ old_;
};
