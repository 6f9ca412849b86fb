// The capture dialog driven for real: DialogBoxParamW runs its modal loop on
// the test's thread, and a thread timer (dispatched by that loop) plays a
// script of steps against it: button clicks as WM_COMMAND, keys through
// SendInput so that they pass the keyboard hook as typed keys do.

#include <windows.h>

#include <psapi.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/dialog_from_tray.h"
#include "app/hotkey.h"
#include "app/tray_window.h"
#include "camera/camera.h"
#include "camera/test_pattern.h"
#include "settings/key_names.h"
#include "settings/settings.h"
#include "ui/capture_dialog.h"

namespace {

constexpr wchar_t SCRATCH_KEY[] = L"Software\\Quillmere\\OrvendelDialogTest";
constexpr DWORD STEP_TIMEOUT_MS = 8000;
constexpr UINT TICK_MS = 15;

// The module that holds template 101: this executable when the dialog's
// resources are linked into it, else the development program beside it.
HINSTANCE DialogModule() {
    static HINSTANCE module = [] {
        HINSTANCE self = ::GetModuleHandleW(nullptr);
        if (::FindResourceW(self, MAKEINTRESOURCEW(IDD_CAPTURE), MAKEINTRESOURCEW(5) /*RT_DIALOG*/)) {
            return self;
        }
        wchar_t path[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring program(path);
        program.resize(program.find_last_of(L'\\') + 1);
        program += L"Snapward-testcam.exe";
        return static_cast<HINSTANCE>(
            ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    }();
    return module;
}

// Live GDI objects of this process. Wine does not implement GetGuiResources;
// there every live object has a slot in the process's handle table, and a
// handle given by its slot number alone names it.
int GdiObjectCount() {
    ::SetLastError(0);
    DWORD count = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    if (count != 0 || ::GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return static_cast<int>(count);
    int live = 0;
    for (UINT_PTR slot = 1; slot < 0x10000; ++slot) {
        if (::GetObjectType(reinterpret_cast<HGDIOBJ>(slot)) != 0) ++live;
    }
    return live;
}

SIZE_T WorkingSetBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return counters.WorkingSetSize;
}

// Delivers RGB24 frames as fast as they are asked for: thousands of preview
// frames in seconds instead of minutes at a camera's pace.
class UnpacedReader : public VideoReader {
public:
    UnpacedReader(int32_t width, int32_t height, std::atomic<int>& frames)
        : width_(width), height_(height), bytes_(static_cast<size_t>(width) * height * 3), frames_(frames) {}
    bool SetPartialType(PixelFormat subtype) override { return subtype == PixelFormat::RGB24; }
    bool GetNativeFormat(uint32_t index, MediaFormat& format) override {
        if (index != 0) return false;
        return GetCurrentFormat(format);
    }
    bool UseNativeFormat(uint32_t index) override { return index == 0; }
    bool GetCurrentFormat(MediaFormat& format) override {
        format = MediaFormat{PixelFormat::RGB24, width_, height_, 0};
        return true;
    }
    ReadOutcome ReadSample(const std::function<void(const SampleView&)>& onSample) override {
        const int n = ++frames_;
        bytes_[static_cast<size_t>(n) % bytes_.size()] ^= 0xFF;  // frames that differ
        onSample(SampleView{bytes_.data(), static_cast<int32_t>(bytes_.size()), 0});
        return ReadOutcome::Sample;
    }

private:
    int32_t width_;
    int32_t height_;
    std::vector<uint8_t> bytes_;
    std::atomic<int>& frames_;
};

constexpr wchar_t UNPACED_LINK[] = L"\\\\?\\test#unpaced-640x480";
constexpr wchar_t UNPACED_SMALL_LINK[] = L"\\\\?\\test#unpaced-320x240";
constexpr wchar_t MISSING_LINK[] = L"\\\\?\\usb#vid_0000&pid_0000#unplugged";

std::atomic<int> unpacedFrames{0};

std::unique_ptr<VideoReader> OpenTestReader(const std::wstring& link) {
    if (link == UNPACED_LINK) return std::make_unique<UnpacedReader>(640, 480, unpacedFrames);
    if (link == UNPACED_SMALL_LINK) return std::make_unique<UnpacedReader>(320, 240, unpacedFrames);
    // The pattern cameras that need no JPEG encoder; MISSING_LINK opens nothing.
    return OpenTestPatternReader(link, nullptr);
}

std::wstring PatternLink(PixelFormat format) {
    const wchar_t* tag = format == PixelFormat::RGB24 ? L"RGB24" : format == PixelFormat::NV12 ? L"NV12" : L"YUY2";
    for (const CameraDevice& device : TestPatternCameras()) {
        if (device.friendlyName.find(tag) != std::wstring::npos) return device.symbolicLink;
    }
    ADD_FAILURE() << "no test-pattern camera for a subtype";
    return {};
}

// What EnumerateCameras reports to the dialog; tests change it between steps
// (a camera unplugged before Refresh).
std::vector<CameraDevice> presentDevices;
std::vector<CameraDevice> PresentDevices() { return presentDevices; }

struct Step {
    const char* name;
    std::function<bool()> done;  // true when the step has finished
    DWORD timeoutMs = STEP_TIMEOUT_MS;
};

class CaptureDialogTest : public ::testing::Test {
public:
    void SetUp() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        pictures = std::wstring(temp) + L"snapward-dialog-test";
        ::CreateDirectoryW(pictures.c_str(), nullptr);
        DeletePictures();
        environment.settingsKeyPath = SCRATCH_KEY;
        environment.picturesFolder = pictures.c_str();
        environment.enumerateCameras = PresentDevices;
        ASSERT_NE(DialogModule(), nullptr) << "no module holds dialog template 101";
    }
    void TearDown() override {
        camera.Close();
        DeletePictures();
        ::RemoveDirectoryW(pictures.c_str());
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
    }

    // Shows the dialog and plays `script` against it; returns when it closed.
    void Run(std::vector<Step> script) {
        steps = std::move(script);
        next = 0;
        dialog = nullptr;
        record = nullptr;
        stepStart = ::GetTickCount();
        current = this;
        const UINT_PTR timer = ::SetTimer(nullptr, 0, TICK_MS, Tick);
        CaptureDialog::Show(nullptr, DialogModule(), &settings, &camera, environment);
        ::KillTimer(nullptr, timer);
        current = nullptr;
        EXPECT_EQ(next, steps.size()) << "the dialog closed before the script ended";
    }

    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        CaptureDialogTest* self = current;
        if (!self || self->inTick || self->next >= self->steps.size()) return;
        self->inTick = true;
        if (!self->dialog) self->FindDialog();
        if (self->dialog) {
            Step& step = self->steps[self->next];
            if (step.done()) {
                ++self->next;
                self->stepStart = ::GetTickCount();
            } else if (::GetTickCount() - self->stepStart > step.timeoutMs) {
                ADD_FAILURE() << "step \"" << step.name << "\" did not finish";
                self->next = self->steps.size();
                ::PostMessageW(self->dialog, WM_COMMAND, IDC_CLOSE, 0);
            }
        }
        self->inTick = false;
    }

    static BOOL CALLBACK ClaimDialog(HWND window, LPARAM context) {
        auto* self = reinterpret_cast<CaptureDialogTest*>(context);
        auto* owner = reinterpret_cast<CaptureDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
        if (owner && owner->dialog == window && ::IsWindowVisible(window)) {
            self->dialog = window;
            self->record = owner;
            return FALSE;
        }
        return TRUE;
    }

    void FindDialog() {
        ::EnumThreadWindows(::GetCurrentThreadId(), ClaimDialog, reinterpret_cast<LPARAM>(this));
        if (dialog) ::SetForegroundWindow(dialog);
    }

    // Step builders.
    static Step Do(const char* name, std::function<void()> action) {
        return Step{name, [action] {
                        action();
                        return true;
                    }};
    }
    static Step WaitFor(const char* name, std::function<bool()> condition, DWORD timeoutMs = STEP_TIMEOUT_MS) {
        return Step{name, std::move(condition), timeoutMs};
    }

    void Click(int id) {
        ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
    }
    void ChooseEntry(int index) {
        HWND combo = ::GetDlgItem(dialog, IDC_DEVICE_COMBO);
        ::SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_DEVICE_COMBO, CBN_SELCHANGE),
                       reinterpret_cast<LPARAM>(combo));
    }
    // A key typed on the keyboard: through the system's input queue, so that
    // the thread's keyboard hook sees it as it would a real key.
    static void Type(WORD key) {
        INPUT input[2] = {};
        input[0].type = INPUT_KEYBOARD;
        input[0].ki.wVk = key;
        input[1] = input[0];
        input[1].ki.dwFlags = KEYEVENTF_KEYUP;
        ::SendInput(2, input, sizeof(INPUT));
    }
    std::wstring Text(int id) const {
        wchar_t text[512] = {};
        ::GetDlgItemTextW(dialog, id, text, 512);
        return text;
    }
    std::vector<std::wstring> ComboEntries() const {
        HWND combo = ::GetDlgItem(dialog, IDC_DEVICE_COMBO);
        std::vector<std::wstring> entries;
        const int count = static_cast<int>(::SendMessageW(combo, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            wchar_t entry[256] = {};
            ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
            entries.push_back(entry);
        }
        return entries;
    }
    int ComboSelection() const {
        return static_cast<int>(::SendDlgItemMessageW(dialog, IDC_DEVICE_COMBO, CB_GETCURSEL, 0, 0));
    }
    bool HasPreviewFrame() const {
        std::lock_guard<std::mutex> lock(record->previewLock);
        return static_cast<bool>(record->previewBitmap);
    }
    bool StatusIs(const wchar_t* text) const { return Text(IDC_STATUS) == text; }

    void DeletePictures() {
        WIN32_FIND_DATAW found{};
        HANDLE search = ::FindFirstFileW((pictures + L"\\*.bmp").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return;
        do {
            ::DeleteFileW((pictures + L"\\" + found.cFileName).c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    int PictureCount() {
        int count = 0;
        WIN32_FIND_DATAW found{};
        HANDLE search = ::FindFirstFileW((pictures + L"\\*.bmp").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return 0;
        do ++count;
        while (::FindNextFileW(search, &found));
        ::FindClose(search);
        return count;
    }

    static inline CaptureDialogTest* current = nullptr;

    Settings settings;
    Camera camera{OpenTestReader};
    DialogEnvironment environment;
    std::wstring pictures;
    std::vector<Step> steps;
    size_t next = 0;
    DWORD stepStart = 0;
    bool inTick = false;
    HWND dialog = nullptr;
    CaptureDialog* record = nullptr;
};

constexpr wchar_t INSTRUCTIONS[] = L"Select webcam and press Capture (or your hotkey) to grab a frame.";
constexpr wchar_t READY[] = L"Ready. Click Capture or press the hotkey anywhere on screen.";
constexpr wchar_t OPEN_FAILED[] = L"Failed to open camera. Try another device or click Refresh.";
constexpr wchar_t NO_WEBCAMS[] = L"No webcams detected. Connect a camera and click Refresh.";
constexpr wchar_t NO_CAMERA[] = L"No camera open. Select a device first.";
constexpr wchar_t KEY_PROMPT[] = L"Press a key to use as the capture hotkey, or Escape to cancel...";
constexpr wchar_t KEY_UPDATED[] = L"Hotkey updated. It works globally, even when this window is closed.";
constexpr wchar_t KEY_UNCHANGED[] = L"Hotkey unchanged.";

TEST(ChooseDeviceIndex, LastExactMatchElseFirst) {
    const std::vector<CameraDevice> devices = {
        {L"Cam", L"\\\\?\\usb#a"}, {L"Cam", L"\\\\?\\usb#b"}, {L"Other", L"\\\\?\\usb#a"}, {L"", L""}};
    EXPECT_EQ(ChooseDeviceIndex(devices, L"\\\\?\\usb#a"), 2);
    EXPECT_EQ(ChooseDeviceIndex(devices, L"\\\\?\\usb#b"), 1);
    EXPECT_EQ(ChooseDeviceIndex(devices, L"\\\\?\\USB#B"), 0) << "links compare case-sensitively";
    EXPECT_EQ(ChooseDeviceIndex(devices, L"\\\\?\\usb#b "), 0);
    // An unreadable link is empty and matches an empty saved link.
    EXPECT_EQ(ChooseDeviceIndex(devices, L""), 3);
    EXPECT_EQ(ChooseDeviceIndex({}, L"\\\\?\\usb#a"), -1);
}

// Reads the compiled template 101 as the resource compiler laid it out.
class TemplateReader {
public:
    explicit TemplateReader(const uint8_t* data) : at_(data) {}
    uint16_t Word() {
        uint16_t value;
        std::memcpy(&value, at_, 2);
        at_ += 2;
        return value;
    }
    uint32_t Dword() { return Word() | (static_cast<uint32_t>(Word()) << 16); }
    // A string, or an ordinal (0xFFFF, then the number) as "#number".
    std::wstring StringOrOrdinal() {
        uint16_t first = Word();
        if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
        std::wstring text;
        for (; first != 0; first = Word()) text += static_cast<wchar_t>(first);
        return text;
    }
    void AlignToDword(const uint8_t* base) {
        while ((at_ - base) % 4 != 0) ++at_;
    }
    void Skip(size_t bytes) { at_ += bytes; }

private:
    const uint8_t* at_;
};

TEST_F(CaptureDialogTest, TemplateIsTheExtendedDialogWithThirteenControls) {
    HRSRC found = ::FindResourceExW(DialogModule(), MAKEINTRESOURCEW(5) /*RT_DIALOG*/, MAKEINTRESOURCEW(IDD_CAPTURE),
                                    MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(found, nullptr);
    const auto* base = static_cast<const uint8_t*>(::LockResource(::LoadResource(DialogModule(), found)));
    ASSERT_NE(base, nullptr);
    TemplateReader read(base);
    EXPECT_EQ(read.Word(), 1);       // dlgVer
    EXPECT_EQ(read.Word(), 0xFFFF);  // signature of DLGTEMPLATEEX
    read.Dword();                    // help id
    EXPECT_EQ(read.Dword(), static_cast<uint32_t>(WS_EX_DLGMODALFRAME));
    EXPECT_EQ(read.Dword(), static_cast<uint32_t>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                                                  DS_SETFONT | DS_FIXEDSYS));
    ASSERT_EQ(read.Word(), 13);
    const uint16_t frame[4] = {read.Word(), read.Word(), read.Word(), read.Word()};
    EXPECT_EQ(std::vector<uint16_t>(frame, frame + 4), (std::vector<uint16_t>{0, 0, 380, 310}));
    EXPECT_EQ(read.StringOrOrdinal(), L"");  // no menu
    EXPECT_EQ(read.StringOrOrdinal(), L"");  // the standard dialog class
    EXPECT_EQ(read.StringOrOrdinal(), L"Snapward");
    EXPECT_EQ(read.Word(), 8);    // points
    EXPECT_EQ(read.Word(), 400);  // weight
    const uint16_t italicAndCharset = read.Word();
    EXPECT_EQ(italicAndCharset, 0x0100);  // not italic, character set 1
    EXPECT_EQ(read.StringOrOrdinal(), L"MS Shell Dlg");

    struct Control {
        int32_t id;
        const wchar_t* classOrdinal;  // 0x80 button, 0x82 static, 0x85 combo box
        const wchar_t* className;
        const wchar_t* text;
        uint16_t x, y, cx, cy;
        uint32_t style;
    };
    const uint32_t base_style = WS_CHILD | WS_VISIBLE;
    const Control controls[] = {
        {-1, L"#130", L"Static", L"Video Source:", 8, 10, 54, 10, base_style | SS_LEFT | WS_GROUP},
        {IDC_DEVICE_COMBO, L"#133", L"ComboBox", L"", 68, 8, 220, 120,
         base_style | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
        {IDC_REFRESH, L"#128", L"Button", L"Refresh", 296, 7, 44, 14, base_style | BS_PUSHBUTTON | WS_TABSTOP},
        {-1, L"#130", L"Static", L"Preview:", 8, 28, 36, 10, base_style | SS_LEFT | WS_GROUP},
        {IDC_PREVIEW, L"#130", L"Static", L"", 8, 40, 332, 200, base_style | SS_BLACKRECT | WS_BORDER},
        {IDC_RESOLUTION, L"#130", L"Static", L"", 8, 244, 180, 10, base_style | SS_LEFT | WS_GROUP},
        {-1, L"#130", L"Static", L"Capture Key:", 8, 262, 56, 10, base_style | SS_LEFT | WS_GROUP},
        {IDC_KEY_LABEL, L"#130", L"Static", L"F10", 70, 262, 80, 10, base_style | SS_LEFT | WS_GROUP},
        {IDC_CHANGE_KEY, L"#128", L"Button", L"Change...", 156, 259, 56, 14, base_style | BS_PUSHBUTTON | WS_TABSTOP},
        {IDC_STATUS, L"#130", L"Static", L"", 8, 280, 280, 10, base_style | SS_LEFT | WS_GROUP},
        {IDC_SUPPORT, L"#128", L"Button", L"Support...", 162, 289, 60, 14, base_style | BS_PUSHBUTTON | WS_TABSTOP},
        {IDC_CAPTURE, L"#128", L"Button", L"", 230, 289, 60, 14, base_style | BS_DEFPUSHBUTTON | WS_TABSTOP},
        {IDC_CLOSE, L"#128", L"Button", L"", 298, 289, 60, 14, base_style | BS_PUSHBUTTON | WS_TABSTOP},
    };
    for (const Control& control : controls) {
        SCOPED_TRACE(control.id);
        read.AlignToDword(base);
        read.Dword();                      // help id
        EXPECT_EQ(read.Dword(), 0u);       // extended style
        EXPECT_EQ(read.Dword(), control.style);
        const uint16_t place[4] = {read.Word(), read.Word(), read.Word(), read.Word()};
        EXPECT_EQ(std::vector<uint16_t>(place, place + 4),
                  (std::vector<uint16_t>{control.x, control.y, control.cx, control.cy}));
        EXPECT_EQ(static_cast<int32_t>(read.Dword()), control.id);
        const std::wstring className = read.StringOrOrdinal();
        EXPECT_TRUE(className == control.classOrdinal || _wcsicmp(className.c_str(), control.className) == 0)
            << std::string(className.begin(), className.end());
        EXPECT_EQ(read.StringOrOrdinal(), control.text);
        read.Skip(read.Word());  // creation data
    }
}

TEST_F(CaptureDialogTest, InitialisationTextsAndSize) {
    presentDevices = {};
    Run({Do("texts", [&] {
             wchar_t caption[64] = {};
             ::GetWindowTextW(dialog, caption, 64);
             EXPECT_STREQ(caption, L"Snapward");
             EXPECT_EQ(Text(IDC_CAPTURE), L"Capture");
             EXPECT_EQ(Text(IDC_CLOSE), L"Close");
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"F10  (global hotkey)");
             EXPECT_EQ(record->previewControl, ::GetDlgItem(dialog, IDC_PREVIEW));
             // Centred on the primary screen.
             RECT bounds{};
             ::GetWindowRect(dialog, &bounds);
             EXPECT_EQ(bounds.left, (::GetSystemMetrics(SM_CXSCREEN) - (bounds.right - bounds.left)) / 2);
             EXPECT_EQ(bounds.top, (::GetSystemMetrics(SM_CYSCREEN) - (bounds.bottom - bounds.top)) / 2);
             Click(IDC_CLOSE);
         })});
}

TEST_F(CaptureDialogTest, ListsDevicesInEnumerationOrderAndOpensTheSavedOne) {
    presentDevices = {{L"Zeta Cam", PatternLink(PixelFormat::RGB24)},
                      {L"Alpha Cam", UNPACED_SMALL_LINK},
                      {L"Mid Cam", PatternLink(PixelFormat::NV12)}};
    settings.DeviceSymLink = presentDevices[2].symbolicLink;
    Run({WaitFor("first frame", [&] { return HasPreviewFrame(); }),
         Do("initial state",
            [&] {
                EXPECT_EQ(ComboEntries(), (std::vector<std::wstring>{L"Zeta Cam", L"Alpha Cam", L"Mid Cam"}));
                EXPECT_EQ(ComboSelection(), 2);
                EXPECT_EQ(settings.DeviceIndex, 2);
                EXPECT_EQ(settings.DeviceName, L"Mid Cam");
                EXPECT_TRUE(camera.IsOpen());
                EXPECT_EQ(Text(IDC_RESOLUTION), L"Resolution: 1280 x 720");
                // The instruction replaces the open's "Ready." at the end of initialisation.
                EXPECT_TRUE(StatusIs(INSTRUCTIONS));
            }),
         Do("choose the second entry", [&] { ChooseEntry(1); }),
         WaitFor("second device previewing", [&] { return unpacedFrames.load() > 5; }),
         Do("second device", [&] {
             EXPECT_EQ(settings.DeviceSymLink, UNPACED_SMALL_LINK);
             EXPECT_EQ(settings.DeviceIndex, 1);
             EXPECT_EQ(settings.DeviceName, L"Alpha Cam");
             EXPECT_EQ(Text(IDC_RESOLUTION), L"Resolution: 320 x 240");
             EXPECT_TRUE(StatusIs(READY));
             // Chosen but not saved yet: the registry learns it on closing.
             EXPECT_EQ(LoadSettings(SCRATCH_KEY).DeviceSymLink, L"");
             Click(IDC_CLOSE);
         })});
    const Settings saved = LoadSettings(SCRATCH_KEY);
    EXPECT_EQ(saved.DeviceSymLink, UNPACED_SMALL_LINK);
    EXPECT_EQ(saved.DeviceIndex, 1);
    EXPECT_EQ(saved.DeviceName, L"Alpha Cam");
    // Left open, preview stopped: a new preview can start.
    EXPECT_TRUE(camera.IsOpen());
    EXPECT_TRUE(camera.StartPreview([](const uint8_t*, int32_t, int32_t, int32_t) {}));
    camera.StopPreview();
}

TEST_F(CaptureDialogTest, SavedLinkChoosesLastMatchOrElseFirstDevice) {
    const std::wstring rgb = PatternLink(PixelFormat::RGB24);
    const std::wstring yuy2 = PatternLink(PixelFormat::YUY2);
    presentDevices = {{L"One", yuy2}, {L"Two", rgb}, {L"Three", yuy2}, {L"Four", rgb}, {L"Five", yuy2}};
    settings.DeviceSymLink = rgb;
    Run({Do("last of two matches", [&] {
             EXPECT_EQ(ComboSelection(), 3);
             EXPECT_EQ(settings.DeviceIndex, 3);
             Click(IDC_CLOSE);
         })});

    // Unplugged camera (or a link that differs only in case): the first device
    // is chosen, opened and written into the settings.
    presentDevices = {{L"First", yuy2}, {L"Second", rgb}};
    std::wstring upper = rgb;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(::towupper(c));
    ASSERT_NE(upper, rgb);
    settings.DeviceSymLink = upper;
    settings.DeviceIndex = 1;
    settings.DeviceName = L"Second";
    Run({Do("no match", [&] {
             EXPECT_EQ(ComboSelection(), 0);
             EXPECT_EQ(settings.DeviceSymLink, yuy2);
             EXPECT_EQ(settings.DeviceIndex, 0);
             EXPECT_EQ(settings.DeviceName, L"First");
             EXPECT_TRUE(camera.IsOpen());
             ::SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
         })});
    EXPECT_EQ(LoadSettings(SCRATCH_KEY).DeviceSymLink, yuy2);
}

TEST_F(CaptureDialogTest, NoDevicesAndRefreshAfterUnplugging) {
    presentDevices = {};
    Run({Do("empty list at start", [&] {
             EXPECT_EQ(ComboEntries(), std::vector<std::wstring>{L"(No video devices found)"});
             EXPECT_EQ(ComboSelection(), 0);
             // The instruction of initialisation replaces the no-webcam text.
             EXPECT_TRUE(StatusIs(INSTRUCTIONS));
             EXPECT_FALSE(camera.IsOpen());
             // Choosing the placeholder entry opens nothing.
             ChooseEntry(0);
             EXPECT_FALSE(camera.IsOpen());
             Click(IDC_CAPTURE);
             EXPECT_TRUE(StatusIs(NO_CAMERA));
             Click(IDC_CLOSE);
         })});
    // Nothing chosen: the settings keep what they had, and are saved all the same.
    EXPECT_EQ(LoadSettings(SCRATCH_KEY).Keybind, 0x79u);

    presentDevices = {{L"Cam", PatternLink(PixelFormat::RGB24)}};
    Run({WaitFor("first frame", [&] { return HasPreviewFrame(); }),
         Do("unplug and refresh",
            [&] {
                presentDevices = {};
                Click(IDC_REFRESH);
                EXPECT_EQ(ComboEntries(), std::vector<std::wstring>{L"(No video devices found)"});
                EXPECT_TRUE(StatusIs(NO_WEBCAMS));
                EXPECT_FALSE(camera.IsOpen());
                // The last frame stays on display; the resolution label keeps its text.
                EXPECT_TRUE(HasPreviewFrame());
                EXPECT_EQ(Text(IDC_RESOLUTION), L"Resolution: 1280 x 720");
                Click(IDC_CAPTURE);
                EXPECT_TRUE(StatusIs(NO_CAMERA));
            }),
         Do("plug in again and refresh", [&] {
             presentDevices = {{L"Cam", PatternLink(PixelFormat::RGB24)}};
             Click(IDC_REFRESH);
             EXPECT_TRUE(camera.IsOpen());
             EXPECT_TRUE(StatusIs(READY));
             ::SendMessageW(dialog, WM_CLOSE, 0, 0);
         })});
}

TEST_F(CaptureDialogTest, DeviceThatFailsToOpenKeepsResolutionAndIsSaved) {
    presentDevices = {{L"Good", PatternLink(PixelFormat::RGB24)}, {L"Gone", MISSING_LINK}};
    Run({WaitFor("first frame", [&] { return HasPreviewFrame(); }),
         Do("choose the broken device", [&] {
             ChooseEntry(1);
             EXPECT_TRUE(StatusIs(OPEN_FAILED));
             EXPECT_EQ(Text(IDC_RESOLUTION), L"Resolution: 1280 x 720");
             EXPECT_FALSE(camera.IsOpen());
             EXPECT_TRUE(HasPreviewFrame()) << "the old camera's last frame stays";
             Click(IDC_CAPTURE);
             EXPECT_TRUE(StatusIs(NO_CAMERA));
             Click(IDC_CLOSE);
         })});
    const Settings saved = LoadSettings(SCRATCH_KEY);
    EXPECT_EQ(saved.DeviceSymLink, MISSING_LINK);
    EXPECT_EQ(saved.DeviceIndex, 1);
    EXPECT_EQ(saved.DeviceName, L"Gone");
}

TEST_F(CaptureDialogTest, CaptureButtonAndEnterCapture) {
    presentDevices = {{L"Cam", PatternLink(PixelFormat::RGB24)}};
    Run({WaitFor("first frame", [&] { return HasPreviewFrame(); }),
         Do("click Capture", [&] { Click(IDC_CAPTURE); }),
         WaitFor("first capture",
                 [&] { return StatusIs(L"Captured! Image #1 copied to clipboard and saved to Pictures."); }),
         Do("clipboard and file", [&] {
             EXPECT_EQ(record->captureCount, 1);
             EXPECT_EQ(PictureCount(), 1);
             ASSERT_TRUE(::OpenClipboard(dialog));
             auto* header = static_cast<BITMAPINFOHEADER*>(::GlobalLock(::GetClipboardData(CF_DIB)));
             ASSERT_NE(header, nullptr);
             EXPECT_EQ(header->biWidth, 1280);
             EXPECT_EQ(header->biHeight, 720);
             ::GlobalUnlock(::GetClipboardData(CF_DIB));
             ::CloseClipboard();
             ::SetFocus(::GetDlgItem(dialog, IDC_DEVICE_COMBO));
             Type(VK_RETURN);
         }),
         WaitFor("Enter captures",
                 [&] { return StatusIs(L"Captured! Image #2 copied to clipboard and saved to Pictures."); }),
         Do("close", [&] { Click(IDC_CLOSE); })});
}

TEST_F(CaptureDialogTest, KeyChangeTakesF9AndIsSavedAtOnce) {
    presentDevices = {{L"Cam", PatternLink(PixelFormat::RGB24)}};
    Run({Do("Change...", [&] {
             Click(IDC_CHANGE_KEY);
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"[press any key]");
             EXPECT_TRUE(StatusIs(KEY_PROMPT));
             EXPECT_TRUE(activeKeyHook);
             EXPECT_EQ(keyHookOwner, record);
             Type(VK_F9);
         }),
         WaitFor("F9 taken", [&] { return !record->keyChangeActive; }),
         Do("F9 stored", [&] {
             EXPECT_EQ(settings.Keybind, static_cast<uint32_t>(VK_F9));
             EXPECT_EQ(LoadSettings(SCRATCH_KEY).Keybind, static_cast<uint32_t>(VK_F9)) << "saved at once";
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"F9  (global hotkey)");
             EXPECT_TRUE(StatusIs(KEY_UPDATED));
             EXPECT_FALSE(activeKeyHook);
             EXPECT_EQ(keyHookOwner, nullptr);
             Click(IDC_CHANGE_KEY);
             Type(VK_ESCAPE);
         }),
         WaitFor("Escape cancels", [&] { return !record->keyChangeActive; }),
         Do("still open after Escape", [&] {
             EXPECT_TRUE(::IsWindowVisible(dialog));
             EXPECT_EQ(settings.Keybind, static_cast<uint32_t>(VK_F9));
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"F9  (global hotkey)");
             EXPECT_TRUE(StatusIs(KEY_UNCHANGED));
             Click(IDC_CHANGE_KEY);
             Type(VK_LSHIFT);
         }),
         WaitFor("a modifier alone is refused", [&] { return !record->keyChangeActive; }),
         Do("modifier refused", [&] {
             EXPECT_EQ(settings.Keybind, static_cast<uint32_t>(VK_F9));
             EXPECT_TRUE(StatusIs(KEY_UNCHANGED));
             // Change... twice: one hook, and one key ends the change.
             Click(IDC_CHANGE_KEY);
             HHOOK first = activeKeyHook.get();
             Click(IDC_CHANGE_KEY);
             EXPECT_EQ(activeKeyHook.get(), first);
             Type(VK_RETURN);
         }),
         WaitFor("Enter taken", [&] { return !record->keyChangeActive; }),
         Do("Enter is the key, no capture made", [&] {
             EXPECT_EQ(settings.Keybind, static_cast<uint32_t>(VK_RETURN));
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"Enter  (global hotkey)");
             EXPECT_EQ(record->captureCount, 0);
             EXPECT_FALSE(activeKeyHook);
             Click(IDC_CLOSE);
         })});
    EXPECT_EQ(LoadSettings(SCRATCH_KEY).Keybind, static_cast<uint32_t>(VK_RETURN));
}

TEST_F(CaptureDialogTest, KeyChangeEndsOnlyByKeysForTheDialog) {
    presentDevices = {};
    HWND elsewhere = nullptr;
    Run({Do("Change..., then focus another window of this thread",
            [&] {
                Click(IDC_CHANGE_KEY);
                elsewhere = ::CreateWindowExW(0, L"EDIT", L"", WS_POPUP | WS_VISIBLE, 0, 0, 100, 20, nullptr,
                                              nullptr, nullptr, nullptr);
                ::SetForegroundWindow(elsewhere);
                ::SetFocus(elsewhere);
                Type('X');
            }),
         WaitFor("the other window got the key",
                 [&] {
                     wchar_t text[8] = {};
                     ::GetWindowTextW(elsewhere, text, 8);
                     return text[0] != 0;
                 }),
         Do("still waiting; back to the dialog",
            [&] {
                EXPECT_TRUE(record->keyChangeActive);
                EXPECT_EQ(settings.Keybind, 0x79u);
                ::DestroyWindow(elsewhere);
                ::SetForegroundWindow(dialog);
                ::SetFocus(dialog);
                Type('K');
            }),
         WaitFor("K taken", [&] { return !record->keyChangeActive; }),
         Do("K stored", [&] {
             EXPECT_EQ(settings.Keybind, static_cast<uint32_t>('K'));
             // The dialog's own key messages end a change too (no hook needed).
             Click(IDC_CHANGE_KEY);
             ::SendMessageW(dialog, WM_KEYDOWN, VK_F7, 0);
             EXPECT_FALSE(record->keyChangeActive);
             EXPECT_EQ(settings.Keybind, static_cast<uint32_t>(VK_F7));
             ::SendMessageW(dialog, WM_KEYDOWN, VK_F8, 0);
             EXPECT_EQ(settings.Keybind, static_cast<uint32_t>(VK_F7)) << "no change waiting";
             Click(IDC_CLOSE);
         })});
}

TEST_F(CaptureDialogTest, ClosingOrCapturingWhileWaitingCancelsTheChange) {
    presentDevices = {{L"Cam", PatternLink(PixelFormat::RGB24)}};
    Run({WaitFor("first frame", [&] { return HasPreviewFrame(); }),
         Do("Capture while waiting", [&] {
             Click(IDC_CHANGE_KEY);
             Click(IDC_CAPTURE);
             EXPECT_FALSE(record->keyChangeActive);
             EXPECT_FALSE(activeKeyHook);
             EXPECT_EQ(Text(IDC_KEY_LABEL), L"F10  (global hotkey)");
             EXPECT_EQ(record->captureCount, 1);
         }),
         Do("close while waiting", [&] {
             Click(IDC_CHANGE_KEY);
             ASSERT_TRUE(activeKeyHook);
             Click(IDC_CLOSE);
         })});
    EXPECT_FALSE(activeKeyHook);
    EXPECT_EQ(keyHookOwner, nullptr);
    EXPECT_EQ(settings.Keybind, 0x79u);
    EXPECT_EQ(LoadSettings(SCRATCH_KEY).Keybind, 0x79u);
}

TEST_F(CaptureDialogTest, SettingsSavedOnEveryWayOfClosing) {
    const std::wstring rgb = PatternLink(PixelFormat::RGB24);
    const std::wstring nv12 = PatternLink(PixelFormat::NV12);
    struct Way {
        const char* name;
        std::function<void(CaptureDialogTest&)> close;
    };
    const Way ways[] = {
        {"Close button", [](CaptureDialogTest& t) { t.Click(IDC_CLOSE); }},
        {"Escape key",
         [](CaptureDialogTest& t) {
             ::SetFocus(::GetDlgItem(t.dialog, IDC_DEVICE_COMBO));
             Type(VK_ESCAPE);
         }},
        {"caption close box", [](CaptureDialogTest& t) { ::PostMessageW(t.dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        // Exit from the tray menu while the dialog is open ends its modal loop.
        {"quit message", [](CaptureDialogTest&) { ::PostQuitMessage(0); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
        settings = Settings{};
        presentDevices = {{L"A", rgb}, {L"B", nv12}};
        Run({Do("choose B", [&] { ChooseEntry(1); }), Do("close", [&, way] { way.close(*this); })});
        MSG quit;
        ::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        const Settings saved = LoadSettings(SCRATCH_KEY);
        EXPECT_EQ(saved.DeviceSymLink, nv12);
        EXPECT_EQ(saved.DeviceIndex, 1);
    }
}

TEST_F(CaptureDialogTest, PreviewSoakKeepsGdiObjectsAndMemoryFlat) {
    presentDevices = {{L"Fast", UNPACED_LINK}, {L"Fast small", UNPACED_SMALL_LINK}};
    // A first showing creates what the system makes once per process (fonts,
    // the screen's context): only later showings must leave no object behind.
    Run({WaitFor("frames painted", [&] { return unpacedFrames.load() >= 30; }),
         Do("close", [&] { Click(IDC_CLOSE); })});
    unpacedFrames = 0;
    const int gdiBefore = GdiObjectCount();
    const SIZE_T memoryBefore = WorkingSetBytes();
    int gdiWarm = 0;
    SIZE_T memoryWarm = 0;
    Run({WaitFor("warm up", [&] { return unpacedFrames.load() >= 300; }),
         Do("measure", [&] {
             gdiWarm = GdiObjectCount();
             memoryWarm = WorkingSetBytes();
             EXPECT_TRUE(HasPreviewFrame());
             // The dialog's own objects (its font), the record's bitmap and
             // perhaps one between conversion and swap; not hundreds of frames.
             EXPECT_LE(gdiWarm, gdiBefore + 8);
             EXPECT_LT(memoryWarm, memoryBefore + 32 * 1024 * 1024);
         }),
         WaitFor("1500 frames", [&] { return unpacedFrames.load() >= 1500; }, 120000),
         // A device change and a Refresh while frames arrive.
         Do("device change", [&] {
             ChooseEntry(1);
             Click(IDC_REFRESH);
         }),
         WaitFor("3000 frames", [&] { return unpacedFrames.load() >= 3000; }, 120000),
         Do("measure again and close while frames arrive", [&] {
             EXPECT_TRUE(HasPreviewFrame());
             // One frame may be between its conversion and the swap.
             EXPECT_NEAR(GdiObjectCount(), gdiWarm, 1);
             const SIZE_T memory = WorkingSetBytes();
             EXPECT_LT(memory, memoryWarm + 16 * 1024 * 1024)
                 << "working set grew from " << memoryWarm << " to " << memory;
             Click(IDC_CLOSE);
         })});
    // The preview thread is joined and the last bitmap deleted.
    EXPECT_EQ(GdiObjectCount(), gdiBefore);
    const int framesAfterClose = unpacedFrames.load();
    ::Sleep(100);
    EXPECT_EQ(unpacedFrames.load(), framesAfterClose) << "the preview still reads";
}

BOOL CALLBACK CollectVisible(HWND window, LPARAM list) {
    if (::IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

// Balloons asked of the tray while a test runs.
std::vector<std::wstring> balloons;
BOOL WINAPI RecordBalloon(DWORD message, PNOTIFYICONDATAW data) {
    if (message == NIM_MODIFY && (data->uFlags & NIF_INFO)) balloons.push_back(data->szInfo);
    return TRUE;
}

// Shows the dialog the way the tray does, with the program's own settings key
// (saved before and put back after) and its own device list.
class DialogFromTrayTest : public CaptureDialogTest {
protected:
    void SetUp() override {
        CaptureDialogTest::SetUp();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, BACKUP_KEY);
        UniqueHKey real;
        hadSettings = ::RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, KEY_READ, real.put()) == ERROR_SUCCESS;
        if (hadSettings) {
            UniqueHKey backup;
            ::RegCreateKeyExW(HKEY_CURRENT_USER, BACKUP_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, backup.put(),
                              nullptr);
            ::RegCopyTreeW(real.get(), nullptr, backup.get());
        }
        if (!Tray().window) CreateTrayWindow(::GetModuleHandleW(nullptr));
        ASSERT_NE(Tray().window, nullptr);
        savedTray = Tray();
        Tray().instance = DialogModule();
        Tray().settings = &settings;
        Tray().camera = &camera;
        Tray().notifyIcon = RecordBalloon;
        Tray().dialogOpen = false;
        balloons.clear();
    }
    void TearDown() override {
        ::UnregisterHotKey(Tray().window, CAPTURE_HOTKEY_ID);
        Tray() = savedTray;
        ::RegDeleteTreeW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH);
        if (hadSettings) {
            UniqueHKey backup;
            UniqueHKey real;
            if (::RegOpenKeyExW(HKEY_CURRENT_USER, BACKUP_KEY, 0, KEY_READ, backup.put()) == ERROR_SUCCESS &&
                ::RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  real.put(), nullptr) == ERROR_SUCCESS) {
                ::RegCopyTreeW(backup.get(), nullptr, real.get());
            }
        }
        ::RegDeleteTreeW(HKEY_CURRENT_USER, BACKUP_KEY);
        CaptureDialogTest::TearDown();
    }

    // Runs `script` against the dialog that OpenDialogFromTray shows.
    void RunFromTray(std::vector<Step> script) {
        steps = std::move(script);
        next = 0;
        dialog = nullptr;
        record = nullptr;
        stepStart = ::GetTickCount();
        current = this;
        const UINT_PTR timer = ::SetTimer(nullptr, 0, TICK_MS, Tick);
        OpenDialogFromTray();
        ::KillTimer(nullptr, timer);
        current = nullptr;
        EXPECT_EQ(next, steps.size()) << "the dialog closed before the script ended";
    }

    static bool KeyIsRegistered(UINT key) {
        if (!::RegisterHotKey(nullptr, 0x7E58, 0, key)) return true;
        ::UnregisterHotKey(nullptr, 0x7E58);
        return false;
    }

    static constexpr wchar_t BACKUP_KEY[] = L"Software\\Quillmere\\Orvendel-dialog-test-backup";
    TrayWindow savedTray;
    bool hadSettings = false;
};

TEST_F(DialogFromTrayTest, OneDialogThenKeyRegisteredCameraClosedAndStillRunningBalloon) {
    // 0x07 is unassigned: the layout has no name for it.
    const uint32_t namelessKey = 0x07;
    ASSERT_TRUE(LayoutKeyName(namelessKey).empty());

    const struct {
        uint32_t key;
        const wchar_t* registration;
        const wchar_t* stillRunning;
    } cases[] = {
        {VK_F9, L"Hotkey registered: F9  (press it anywhere to capture)",
         L"Still running in the tray. Press F9 anywhere to capture."},
        // Without a layout name the balloon names the key as the dialog did,
        // not "Press  anywhere".
        {namelessKey, L"Hotkey registered: VK 0x07  (press it anywhere to capture)",
         L"Still running in the tray. Press VK 0x07 anywhere to capture."},
        {0, L"No capture hotkey set. Open the app and click Change to set one.",
         L"Still running in the tray. Open the app to set a capture hotkey."},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.key);
        settings.Keybind = each.key;
        balloons.clear();
        // Opened as a capture key press would have; the tray's device list is
        // the system's (empty under Wine), which leaves the camera alone.
        ASSERT_TRUE(camera.Open(PatternLink(PixelFormat::RGB24)));
        RunFromTray({Do("tray clicks while open",
                        [&] {
                            EXPECT_TRUE(Tray().dialogOpen);
                            ::PostMessageW(Tray().window, WM_TRAYICON, TRAY_ICON_ID, WM_LBUTTONUP);
                            ::PostMessageW(Tray().window, WM_TRAYICON, TRAY_ICON_ID, WM_LBUTTONDBLCLK);
                            ::PostMessageW(Tray().window, WM_COMMAND, ID_TRAY_OPEN, 0);
                        }),
                     WaitFor("clicks handled", [&] { return !::GetQueueStatus(QS_POSTMESSAGE); }),
                     Do("still one dialog",
                        [&] {
                            std::vector<HWND> open;
                            ::EnumThreadWindows(::GetCurrentThreadId(), CollectVisible,
                                                reinterpret_cast<LPARAM>(&open));
                            EXPECT_EQ(open, std::vector<HWND>{dialog});
                            for (HWND extra : open) {
                                if (extra != dialog) ::PostMessageW(extra, WM_CLOSE, 0, 0);
                            }
                            EXPECT_TRUE(balloons.empty()) << "nothing happens before the dialog closes";
                        }),
                     Do("close", [&] { Click(IDC_CLOSE); })});
        EXPECT_FALSE(Tray().dialogOpen);
        EXPECT_FALSE(camera.IsOpen()) << "the tray releases the camera after the dialog";
        EXPECT_EQ(balloons, (std::vector<std::wstring>{each.registration, each.stillRunning}));
        if (each.key != 0) EXPECT_TRUE(KeyIsRegistered(each.key));
        ::UnregisterHotKey(Tray().window, CAPTURE_HOTKEY_ID);
    }
}

}  // namespace
