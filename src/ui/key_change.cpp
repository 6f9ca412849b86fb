#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "settings/key_names.h"
#include "ui/capture_dialog.h"

namespace {

constexpr const wchar_t* KEY_LABEL_SUFFIX = L"  (global hotkey)";
constexpr const wchar_t* KEY_LABEL_WAITING = L"[press any key]";
constexpr const wchar_t* STATUS_KEY_PROMPT =
    L"Press a key to use as the capture hotkey, or Escape to cancel...";
constexpr const wchar_t* STATUS_KEY_UPDATED =
    L"Hotkey updated. It works globally, even when this window is closed.";
constexpr const wchar_t* STATUS_KEY_UNCHANGED = L"Hotkey unchanged.";

// Bit 31 of a keyboard hook's lParam: set while the key is being released.
constexpr LPARAM KEY_TRANSITION_UP = static_cast<LPARAM>(0x80000000u);

// The hook sees every key of this thread, also those meant for a message box
// or a tray menu that runs while the dialog waits; only keys headed for the
// dialog end the change.
bool KeyIsForDialog(HWND dialog) {
    if (!dialog) return false;
    HWND target = ::GetFocus();
    if (!target) target = ::GetActiveWindow();
    return target == dialog || ::IsChild(dialog, target);
}

void ReleaseKeyHook(CaptureDialog* dialog) {
    activeKeyHook.reset();
    if (keyHookOwner == dialog) keyHookOwner = nullptr;
}

}  // namespace

UniqueHook activeKeyHook;
CaptureDialog* keyHookOwner = nullptr;

std::vector<std::wstring> KeyChangeStatusTexts() {
    return {STATUS_KEY_PROMPT, STATUS_KEY_UPDATED, STATUS_KEY_UNCHANGED};
}

bool IsModifierKey(uint32_t key) {
    return std::find(std::begin(MODIFIER_KEYS), std::end(MODIFIER_KEYS), key) != std::end(MODIFIER_KEYS);
}

void CaptureDialog::UpdateKeyLabel(HWND window) {
    const std::wstring label = KeyDisplayName(settings->Keybind) + KEY_LABEL_SUFFIX;
    ::SetDlgItemTextW(window, IDC_KEY_LABEL, label.c_str());
}

void CaptureDialog::BeginKeyChange(HWND window) {
    if (!keyChangeActive) statusAfterKeyChange.clear();
    keyChangeActive = true;
    ::SetDlgItemTextW(window, IDC_KEY_LABEL, KEY_LABEL_WAITING);
    ::SetDlgItemTextW(window, IDC_STATUS, STATUS_KEY_PROMPT);
    ::SetFocus(window);
    keyHookOwner = this;
    // Pressing Change... again while waiting keeps the one hook. Without a
    // hook the key still ends the change as the dialog's own WM_KEYDOWN.
    if (!activeKeyHook) {
        activeKeyHook.reset(
            ::SetWindowsHookExW(WH_KEYBOARD, CaptureKeyHookProc, nullptr, ::GetCurrentThreadId()));
    }
}

void CaptureDialog::FinishKeyChange(HWND window, uint32_t key, bool escape) {
    if (!keyChangeActive) return;
    ReleaseKeyHook(this);
    keyChangeActive = false;

    const bool accepted = !escape && key != 0 && !IsModifierKey(key);
    if (accepted) {
        settings->Keybind = key;
        SaveSettings(*settings, environment.settingsKeyPath);
    }
    UpdateKeyLabel(window);
    EndKeyChangeStatus(window, accepted ? STATUS_KEY_UPDATED : STATUS_KEY_UNCHANGED);
}

void CaptureDialog::CancelKeyChange(HWND window) {
    ReleaseKeyHook(this);
    keyChangeActive = false;
    UpdateKeyLabel(window);
    EndKeyChangeStatus(window, STATUS_KEY_UNCHANGED);
}

// The camera's news outranks the key's: the key label already shows which key
// captures, while a camera that went away meanwhile would otherwise go unsaid
// (its problem is shown once, not on every check).
void CaptureDialog::EndKeyChangeStatus(HWND window, const wchar_t* text) {
    const std::wstring held = std::move(statusAfterKeyChange);
    statusAfterKeyChange.clear();
    ::SetDlgItemTextW(window, IDC_STATUS, held.empty() ? text : held.c_str());
}

LRESULT CALLBACK CaptureKeyHookProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && keyHookOwner && (lParam & KEY_TRANSITION_UP) == 0 &&
        KeyIsForDialog(keyHookOwner->dialog)) {
        CaptureDialog* owner = keyHookOwner;
        owner->FinishKeyChange(owner->dialog, static_cast<uint32_t>(wParam), wParam == VK_ESCAPE);
        // Swallowed: neither the dialog nor a control acts on the chosen key.
        return 1;
    }
    return ::CallNextHookEx(activeKeyHook.get(), code, wParam, lParam);
}
