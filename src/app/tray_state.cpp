#include "app/tray_state.h"

#include <iterator>

namespace {

constexpr UINT BALLOON_TIMEOUT_MS = 3000;

}  // namespace

TrayWindow& Tray() {
    static TrayWindow tray;
    return tray;
}

void ShowTrayBalloon(const wchar_t* title, const wchar_t* text) {
    TrayWindow& tray = Tray();
    // The stored record never carries NIF_INFO, so later modifies and the
    // delete show no balloon of their own.
    NOTIFYICONDATAW balloon = tray.iconData;
    balloon.uFlags |= NIF_INFO;
    lstrcpynW(balloon.szInfoTitle, title, static_cast<int>(std::size(balloon.szInfoTitle)));
    lstrcpynW(balloon.szInfo, text, static_cast<int>(std::size(balloon.szInfo)));
    balloon.uTimeout = BALLOON_TIMEOUT_MS;
    balloon.dwInfoFlags = NIIF_INFO;
    tray.notifyIcon(NIM_MODIFY, &balloon);
}

