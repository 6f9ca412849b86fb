// Every status text fits its line whole, in the line's own font, at 100, 150
// and 200 % display scale: Wine's LogPixels is read once per process, so the
// larger scales are measured by a child of this program started under them.

#include <cstdlib>

#include "capture_test_support.h"
#include "ui/capture_dialog.h"
#include "../../twain/ds_shared.h"
#include "../../twain/source_window.h"

using namespace capture_test;

namespace {

constexpr wchar_t DPI_VARIABLE[] = L"SNAPWARD_TEST_DPI";
constexpr wchar_t DESKTOP_KEY[] = L"Control Panel\\Desktop";

INT_PTR CALLBACK BareDialog(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

// What `text` needs in `control`'s font, laid out as a left-aligned static control
// does, when that is more than the control's client area; empty when it fits.
std::string Overflow(HWND control, const std::wstring& text) {
    RECT line{};
    GetClientRect(control, &line);
    WindowDc dc(control);
    SelectGuard font(dc.get(), reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT needed{0, 0, line.right, 0};
    DrawTextW(dc.get(), text.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    if (needed.right <= line.right && needed.bottom <= line.bottom) return {};
    return std::string(text.begin(), text.end()) + ": " + std::to_string(needed.right) + " x " +
           std::to_string(needed.bottom) + " in " + std::to_string(line.right) + " x " + std::to_string(line.bottom);
}

// The texts that do not fit the capture dialog's status line whole, with what they would need.
std::vector<std::string> TextsThatDoNotFit() {
    UniqueWindow dialog(CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CAPTURE), nullptr,
                                           BareDialog, 0));
    const HWND status = GetDlgItem(dialog.get(), IDC_STATUS);
    if (!status) return {"no status line"};
    std::vector<std::string> cut;
    for (const std::wstring& text : DialogStatusTexts()) {
        std::string overflow = Overflow(status, text);
        if (!overflow.empty()) cut.push_back(std::move(overflow));
    }
    return cut;
}

// The data source's window at this process's scale: its picture area scaled
// from the 96-dpi layout and told to the source, and every text it shows whole
// in its status line, a camera's name as long as USB lets a name be among them.
std::vector<std::string> SourceWindowMisfits(int dpi) {
    SIZE told{};
    SourceWindowEvents events;
    events.previewSized = [&told](SIZE box) { told = box; };
    SourceWindow window;
    if (!window.Create(GetModuleHandleW(nullptr), nullptr, {L"Camera"}, 0, nullptr, events)) return {"no window"};
    std::vector<std::string> wrong;
    RECT preview{};
    GetClientRect(GetDlgItem(window.window(), IDC_TWAIN_PREVIEW), &preview);
    if (preview.right != MulDiv(TWAIN_PREVIEW_WIDTH, dpi, 96) || preview.bottom != MulDiv(TWAIN_PREVIEW_HEIGHT, dpi, 96) ||
        told.cx != preview.right || told.cy != preview.bottom) {
        wrong.push_back("picture area " + std::to_string(preview.right) + " x " + std::to_string(preview.bottom) +
                        ", told " + std::to_string(told.cx) + " x " + std::to_string(told.cy));
    }
    const std::wstring widest(126, L'W');
    const std::wstring worded = L"Ultra HD Pro Business Webcam with Dual Noise-Cancelling Microphones, Autofocus and "
                                L"Light Correction (USB 3.0 SuperSpeed)";
    for (const std::wstring& name : {std::wstring(L"HD Webcam"), widest, worded}) {
        for (const std::wstring& text : ds::StatusTexts(name)) {
            const std::string cut = Overflow(GetDlgItem(window.window(), IDC_TWAIN_STATUS), text);
            if (!cut.empty()) wrong.push_back(cut);
        }
    }
    window.Destroy();
    return wrong;
}

int ScreenDpi() {
    WindowDc screen(nullptr);
    return GetDeviceCaps(screen.get(), LOGPIXELSY);
}

// Runs this program's DISABLED_MeasuredInThisProcess under `dpi`; its exit code.
DWORD MeasureUnder(DWORD dpi) {
    DWORD old = 0, size = sizeof(old);
    const bool had = RegGetValueW(HKEY_CURRENT_USER, DESKTOP_KEY, L"LogPixels", RRF_RT_REG_DWORD, nullptr, &old,
                                  &size) == ERROR_SUCCESS;
    RegSetKeyValueW(HKEY_CURRENT_USER, DESKTOP_KEY, L"LogPixels", REG_DWORD, &dpi, sizeof(dpi));
    ScopeExit restore([&] {
        if (had) {
            RegSetKeyValueW(HKEY_CURRENT_USER, DESKTOP_KEY, L"LogPixels", REG_DWORD, &old, sizeof(old));
        } else {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, DESKTOP_KEY, L"LogPixels");
        }
    });
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) +
                        L"\" --gtest_filter=TextFit.DISABLED_MeasuredInThisProcess --gtest_also_run_disabled_tests"
                        L" --gtest_brief=1";
    SetEnvironmentVariableW(DPI_VARIABLE, std::to_wstring(dpi).c_str());
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION info{};
    const BOOL started =
        CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
    SetEnvironmentVariableW(DPI_VARIABLE, nullptr);
    if (!started) return ~DWORD{0};
    UniqueKernelHandle process(info.hProcess), thread(info.hThread);
    DWORD code = ~DWORD{0};
    if (WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &code);
    return code;
}

}  // namespace

TEST(TextFit, DISABLED_MeasuredInThisProcess) {
    wchar_t wanted[16] = {};
    if (GetEnvironmentVariableW(DPI_VARIABLE, wanted, 16)) EXPECT_EQ(ScreenDpi(), _wtoi(wanted));
    EXPECT_EQ(TextsThatDoNotFit(), std::vector<std::string>{});
    EXPECT_EQ(SourceWindowMisfits(ScreenDpi()), std::vector<std::string>{});
}

TEST(TextFit, EveryStatusTextFitsItsLineWholeAt100150And200Percent) {
    ASSERT_EQ(ScreenDpi(), 96);
    EXPECT_EQ(TextsThatDoNotFit(), std::vector<std::string>{}) << "at 96 dpi";
    EXPECT_EQ(SourceWindowMisfits(96), std::vector<std::string>{}) << "at 96 dpi";
    for (const DWORD dpi : {144u, 192u}) EXPECT_EQ(MeasureUnder(dpi), 0u) << "at " << dpi << " dpi (its output above)";
}

// A name too long for the line is cut visibly, never between the two halves of
// a character outside the basic plane; no name at all is still a subject.
TEST(TextFit, CameraNamesAreCutWholeAndVisibly) {
    const std::wstring w37(37, L'W'), w38(38, L'W');
    const std::pair<std::wstring, std::wstring> names[] = {
        {L"HD Webcam", L"HD Webcam"},
        {L"", L"This camera"},
        {std::wstring(40, L'W'), std::wstring(40, L'W')},
        {std::wstring(126, L'W'), std::wstring(39, L'W') + L"\u2026"},
        {w38 + L"\U0001F4F7 Camera", w38 + L"\u2026"},
        {w37 + L"\U0001F4F7 Camera", w37 + L"\U0001F4F7\u2026"},
    };
    for (const auto& [name, shown] : names) {
        EXPECT_TRUE(ds::CameraNotOpenText(name, CAMERA_ERROR_INVALIDATED) == shown + ds::CAMERA_GONE_STATUS)
            << name.size() << " characters";
    }
}
