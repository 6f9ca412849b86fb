#include "app/tray_window.h"

#include <shellapi.h>

#include <cwchar>
#include <iterator>

#include "app/dialog_from_tray.h"
#include "app/hotkey.h"
#include "app/resource.h"
#include "app/twain_installer.h"
#include "platform/win_handles.h"
#include "ui/shell_open.h"

namespace {

constexpr wchar_t TRAY_WINDOW_NAME[] = L"Snapward";
constexpr wchar_t TRAY_HELPER_CLASS[] = L"OrvendelTrayHelper";
constexpr wchar_t TASKBAR_CREATED_MESSAGE[] = L"TaskbarCreated";

constexpr wchar_t MENU_OPEN_TEXT[] = L"Open Snapward";
constexpr wchar_t MENU_TWAIN_INSTALLED_TEXT[] = L"TWAIN source: installed";
constexpr wchar_t MENU_TWAIN_INSTALL_TEXT[] = L"Install TWAIN source (admin)...";
constexpr wchar_t MENU_SUPPORT_TEXT[] = L"Submit Support Ticket...";
constexpr wchar_t MENU_EXIT_TEXT[] = L"Exit";

// Puts the icon in; when the shell refuses, tries again on the retry timer
// while `attempts` last. A NIM_ADD can fail on a timeout although the shell
// took the icon: then NIM_MODIFY succeeds, and it is there.
void OfferTrayIcon(int attempts) {
    TrayWindow& tray = Tray();
    const bool shown =
        tray.notifyIcon(NIM_ADD, &tray.iconData) || tray.notifyIcon(NIM_MODIFY, &tray.iconData);
    tray.iconAttemptsLeft = shown ? 0 : attempts;
    if (!tray.window) return;
    if (tray.iconAttemptsLeft > 0) {
        SetTimer(tray.window, ICON_RETRY_TIMER_ID, ICON_RETRY_MS, nullptr);
    } else {
        KillTimer(tray.window, ICON_RETRY_TIMER_ID);
    }
}

// The taskbar has been (re)created, e.g. after Explorer crashed: every icon it
// showed is gone. The shell broadcasts that to top-level windows only, which
// the message-only tray window is not.
LRESULT CALLBACK TrayHelperProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TrayWindow& tray = Tray();
    if (tray.taskbarCreatedMessage != 0 && message == tray.taskbarCreatedMessage && tray.iconAdded) {
        OfferTrayIcon(ICON_RETRY_ATTEMPTS);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// An elevated program (started from an installer, say) does not receive
// messages from Explorer, which runs at the user's own rights, unless it lets
// them in: its icon would be gone for good after Explorer restarts. Looked up
// at run time: Windows Vista has only the process-wide, older function.
void AdmitTaskbarCreated(HWND window, UINT message) {
    using FilterFunction = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    const HMODULE user = GetModuleHandleW(L"user32.dll");
    const auto filter = user ? reinterpret_cast<FilterFunction>(
                                   reinterpret_cast<void*>(GetProcAddress(user, "ChangeWindowMessageFilterEx")))
                             : nullptr;
    constexpr DWORD MESSAGE_FILTER_ALLOW = 1;  // MSGFLT_ALLOW
    if (filter && window && message != 0) filter(window, message, MESSAGE_FILTER_ALLOW, nullptr);
}

void RemoveTrayIcon() {
    TrayWindow& tray = Tray();
    tray.notifyIcon(NIM_DELETE, &tray.iconData);
    tray.iconAdded = false;
    tray.iconAttemptsLeft = 0;
    if (tray.window) KillTimer(tray.window, ICON_RETRY_TIMER_ID);
}

void ShowTrayMenu(HWND window) {
    POINT point{};
    GetCursorPos(&point);
    UniqueMenu menu(CreatePopupMenu());
    if (!menu) return;
    const bool twainInstalled = IsTwainSourceInstalled();
    AppendMenuW(menu.get(), MF_STRING, ID_TRAY_OPEN, MENU_OPEN_TEXT);
    AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu.get(), MF_STRING | (twainInstalled ? MF_GRAYED : 0), ID_TRAY_TWAIN,
                twainInstalled ? MENU_TWAIN_INSTALLED_TEXT : MENU_TWAIN_INSTALL_TEXT);
    AppendMenuW(menu.get(), MF_STRING, ID_TRAY_SUPPORT, MENU_SUPPORT_TEXT);
    AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu.get(), MF_STRING, ID_TRAY_EXIT, MENU_EXIT_TEXT);

    // A menu opened from the notification area closes on a click elsewhere only
    // if its owner is the foreground window (documented for TrackPopupMenu). A
    // message-only window can never be that, so the hidden helper owns it;
    // with TPM_RETURNCMD the owner receives no command anyway.
    HWND owner = Tray().helperWindow ? Tray().helperWindow : window;
    SetForegroundWindow(owner);
    const UINT command = static_cast<UINT>(TrackPopupMenu(
        menu.get(), TPM_RETURNCMD | TPM_BOTTOMALIGN, point.x, point.y, 0, owner, nullptr));
    // Documented for menus of the notification area: without a message of its
    // own after the menu, the owner's next menu can close as soon as it opens.
    PostMessageW(owner, WM_NULL, 0, 0);
    menu.reset();
    // Run the command from the queue, once the menu has gone.
    if (command >= ID_TRAY_OPEN && command <= ID_TRAY_SUPPORT) {
        PostMessageW(window, WM_COMMAND, command, 0);
    }
}

}  // namespace

bool IsLogonStart(const wchar_t* commandLine) {
    if (!commandLine || !*commandLine) return false;
    int count = 0;
    wchar_t** const argv = CommandLineToArgvW(commandLine, &count);
    const UniqueLocal arguments(argv);
    if (!argv) return false;
    for (int i = 1; i < count; ++i) {
        if (CompareStringOrdinal(argv[i], -1, LOGON_START_ARGUMENT, -1, TRUE) == CSTR_EQUAL) return true;
    }
    return false;
}

HWND CreateTrayWindow(HINSTANCE instance) {
    TrayWindow& tray = Tray();
    tray.instance = instance;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = TrayWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = TRAY_WINDOW_CLASS;
    RegisterClassExW(&windowClass);
    tray.window = CreateWindowExW(0, TRAY_WINDOW_CLASS, TRAY_WINDOW_NAME, 0, 0, 0, 0, 0,
                                  HWND_MESSAGE, nullptr, instance, nullptr);

    tray.taskbarCreatedMessage = RegisterWindowMessageW(TASKBAR_CREATED_MESSAGE);
    windowClass.lpfnWndProc = TrayHelperProc;
    windowClass.lpszClassName = TRAY_HELPER_CLASS;
    RegisterClassExW(&windowClass);
    // Never shown; as a tool window it would stay out of the task switcher
    // even if it were.
    tray.helperWindow = CreateWindowExW(WS_EX_TOOLWINDOW, TRAY_HELPER_CLASS, L"",
                                        WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    AdmitTaskbarCreated(tray.helperWindow, tray.taskbarCreatedMessage);
    return tray.window;
}

void AddTrayIcon() {
    TrayWindow& tray = Tray();
    NOTIFYICONDATAW& icon = tray.iconData;
    icon = NOTIFYICONDATAW{};
    icon.cbSize = sizeof(icon);
    icon.hWnd = tray.window;
    icon.uID = TRAY_ICON_ID;
    icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    icon.uCallbackMessage = WM_TRAYICON;
    // At the notification area's own size (16 at 100 %, 24 at 150 %, ...),
    // drawn for it, rather than the 32-pixel icon LoadIcon gives, scaled down.
    // Shared: the system owns and frees it.
    icon.hIcon = static_cast<HICON>(LoadImageW(tray.instance, MAKEINTRESOURCEW(IDI_SNAPWARD), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                               LR_SHARED));
    if (!icon.hIcon) icon.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    lstrcpynW(icon.szTip, TRAY_WINDOW_NAME, static_cast<int>(std::size(icon.szTip)));
    tray.iconAdded = true;
    OfferTrayIcon(ICON_RETRY_ATTEMPTS);
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TrayWindow& tray = Tray();
    switch (message) {
    case WM_TRAYICON:
        // No NIM_SETVERSION: lParam is the mouse message itself.
        if (lParam == WM_LBUTTONUP || lParam == WM_LBUTTONDBLCLK) {
            OpenDialogFromTray();
        } else if (lParam == WM_RBUTTONUP) {
            ShowTrayMenu(window);
        }
        break;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case ID_TRAY_OPEN:
            OpenDialogFromTray();
            break;
        case ID_TRAY_TWAIN:
            InstallTwainSource(nullptr, tray.instance);
            break;
        case ID_TRAY_SUPPORT:
            OpenInShell(SUPPORT_URL);
            break;
        case ID_TRAY_EXIT:
            RemoveTrayIcon();
            PostQuitMessage(0);
            break;
        default:
            break;
        }
        break;
    case WM_HOTKEY:
        if (wParam == CAPTURE_HOTKEY_ID) CaptureFromHotkey(window);
        break;
    case WM_HOTKEY_CAPTURE_DONE:
        FinishHotkeyCapture();
        if (tray.dialogWanted) OpenDialogFromTray();
        break;
    case WM_TIMER:
        if (wParam == CAMERA_IDLE_TIMER_ID) {
            ReleaseIdleCamera();
        } else if (wParam == ICON_RETRY_TIMER_ID && tray.iconAdded && tray.iconAttemptsLeft > 0) {
            OfferTrayIcon(tray.iconAttemptsLeft - 1);
        }
        break;
    case WM_DESTROY:
        RemoveTrayIcon();
        PostQuitMessage(0);
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
