// A TWAIN application acquiring from Orvendel-testcam.ds through the system's
// own manager, twain_32.dll. Wine's manager looks only for the sources
// twain_32\sane.ds and twain_32\gphoto2.ds of the Windows directory, so the
// test installs the source under the first name in its scratch prefix.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "camera/test_pattern.h"
#include "ds_image.h"
#include "settings/settings.h"
#include "source_window.h"
#include "twain_app.h"

namespace {

constexpr DWORD SIGNAL_TIMEOUT_MS = 20000;
// The NV12, YUY2 and MJPG test cameras round colours on the way through.
constexpr int CONVERTED_TOLERANCE = 12;

HMODULE manager = nullptr;

class ManagerAcquire : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        wchar_t windows[MAX_PATH] = {};
        GetSystemWindowsDirectoryW(windows, MAX_PATH);
        std::wstring folder = std::wstring(windows) + L"\\twain_32";
        CreateDirectoryW(folder.c_str(), nullptr);
        // Replaces Wine's placeholder for its own SANE bridge, which this
        // prefix has no use for; the source stays there after the run, as the
        // manager never unloads it.
        std::wstring built = ExecutableFolder() + L"\\Orvendel-testcam.ds";
        installed_ = CopyFileW(built.c_str(), (folder + L"\\sane.ds").c_str(), FALSE) != FALSE;
        manager = LoadLibraryW(L"twain_32.dll");
    }

    void SetUp() override {
        ASSERT_TRUE(installed_) << "could not install the source as twain_32\\sane.ds";
        ASSERT_NE(manager, nullptr);
        FARPROC entry = GetProcAddress(manager, "DSM_Entry");
        ASSERT_NE(entry, nullptr);
        twain_.emplace(reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void*>(entry)));
        TwainApp& app = *twain_;
        ASSERT_EQ(app.CallManager(DAT_PARENT, MSG_OPENDSM, &app.window), TWRC_SUCCESS);
        dsmOpen_ = true;

        // The manager lists the source by the identity it reports.
        TW_IDENTITY found{};
        bool listed = false;
        for (TW_UINT16 rc = app.CallManager(DAT_IDENTITY, MSG_GETFIRST, &found); rc == TWRC_SUCCESS;
             rc = app.CallManager(DAT_IDENTITY, MSG_GETNEXT, &found)) {
            if (std::strcmp(found.ProductName, "Snapward") == 0) {
                listed = true;
                break;
            }
        }
        ASSERT_TRUE(listed);
        EXPECT_STREQ(found.Manufacturer, "Quillmere");
        EXPECT_EQ(found.Version.MajorNum, 1);
        EXPECT_EQ(found.Version.MinorNum, 0);
        EXPECT_EQ(found.ProtocolMajor, 2);
        EXPECT_NE(found.SupportedGroups & DF_DS2, 0u);
        EXPECT_NE(found.SupportedGroups & DG_IMAGE, 0u);

        app.source = found;
        ASSERT_EQ(app.CallManager(DAT_IDENTITY, MSG_OPENDS, &app.source), TWRC_SUCCESS);
        dsOpen_ = true;
    }

    void TearDown() override {
        if (!twain_) return;
        TwainApp& app = *twain_;
        if (dsOpen_) {
            EXPECT_EQ(app.CallManager(DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWRC_SUCCESS);
        }
        if (dsmOpen_) {
            EXPECT_EQ(app.CallManager(DAT_PARENT, MSG_CLOSEDSM, &app.window), TWRC_SUCCESS);
        }
    }

    // Keeps the settings' DeviceSymLink at `link` for the test, then puts
    // back what was there.
    void UseSavedCamera(const std::wstring& link) {
        HKEY key = nullptr;
        keyExisted_ = RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, KEY_READ, &key) ==
                      ERROR_SUCCESS;
        if (key) RegCloseKey(key);
        savedSettings_ = LoadSettings();
        Settings changed = *savedSettings_;
        changed.DeviceSymLink = link;
        SaveSettings(changed);
    }
    ~ManagerAcquire() override {
        if (!savedSettings_) return;
        if (keyExisted_) {
            SaveSettings(*savedSettings_);
        } else {
            RegDeleteKeyW(HKEY_CURRENT_USER, SETTINGS_KEY_PATH);
        }
    }

    TwainApp& App() { return *twain_; }

    static bool installed_;
    std::optional<TwainApp> twain_;
    std::optional<Settings> savedSettings_;
    bool keyExisted_ = false;
    bool dsmOpen_ = false;
    bool dsOpen_ = false;
};

bool ManagerAcquire::installed_ = false;

void ExpectPattern(const CapturedFrame& frame, int tolerance) {
    ASSERT_EQ(frame.width, TEST_PATTERN_WIDTH);
    ASSERT_EQ(frame.height, TEST_PATTERN_HEIGHT);
    uint32_t counter = 0;
    EXPECT_TRUE(MatchesTestPattern(frame, tolerance, counter));
    // Top-left is the first bar, bottom rows the counter band: upside down
    // or mirrored pictures do not pass.
    EXPECT_LE(TestPatternDeviation(frame, counter), tolerance);
}

}  // namespace

TEST_F(ManagerAcquire, OutOfOrderTripletsAreSequenceErrors) {
    TwainApp& app = App();
    TW_HANDLE dib = nullptr;
    EXPECT_EQ(app.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);
    EXPECT_EQ(dib, nullptr);
    TW_USERINTERFACE ui{};
    EXPECT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);
    TW_PENDINGXFERS pending{};
    EXPECT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);
    TW_IMAGEINFO info{};
    EXPECT_EQ(app.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);
    // Not implemented at all: a settings-only dialog, file transfers.
    EXPECT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, &ui), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_BADPROTOCOL);
    EXPECT_EQ(app.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, &info), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_BADPROTOCOL);
    // Reading the condition clears it.
    EXPECT_EQ(app.Condition(), TWCC_SUCCESS);
}

TEST_F(ManagerAcquire, NegotiatesCapabilities) {
    TwainApp& app = App();
    CapContainer answer;
    ASSERT_EQ(app.GetCap(CAP_SUPPORTEDCAPS, MSG_GET, answer), TWRC_SUCCESS);
    EXPECT_EQ(answer.conType, TWON_ARRAY);
    for (TW_UINT16 cap : {CAP_XFERCOUNT, ICAP_XFERMECH, ICAP_PIXELTYPE, ICAP_BITDEPTH,
                          ICAP_XRESOLUTION, ICAP_PHYSICALWIDTH, CAP_UICONTROLLABLE}) {
        EXPECT_NE(std::find(answer.items.begin(), answer.items.end(), cap), answer.items.end()) << cap;
    }

    ASSERT_EQ(app.GetCap(ICAP_XFERMECH, MSG_GET, answer), TWRC_SUCCESS);
    ASSERT_EQ(answer.conType, TWON_ENUMERATION);
    EXPECT_EQ(answer.items, (std::vector<TW_UINT32>{TWSX_NATIVE, TWSX_MEMORY}));
    EXPECT_EQ(answer.currentIndex, 0u);
    EXPECT_EQ(app.SetCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
    ASSERT_EQ(app.GetCap(ICAP_XFERMECH, MSG_GETCURRENT, answer), TWRC_SUCCESS);
    EXPECT_EQ(answer.items, std::vector<TW_UINT32>{TWSX_MEMORY});
    EXPECT_EQ(app.SetCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_FILE), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_BADVALUE);
    ASSERT_EQ(app.GetCap(ICAP_XFERMECH, MSG_RESET, answer), TWRC_SUCCESS);
    EXPECT_EQ(answer.items[answer.currentIndex], TWSX_NATIVE);

    // The camera has 96 dots per inch and no other: 300 comes back as 96.
    EXPECT_EQ(app.SetCap(ICAP_XRESOLUTION, TWTY_FIX32, Fix32Item(300)), TWRC_CHECKSTATUS);
    ASSERT_EQ(app.GetCap(ICAP_XRESOLUTION, MSG_GETCURRENT, answer), TWRC_SUCCESS);
    EXPECT_EQ(answer.items, std::vector<TW_UINT32>{Fix32Item(96)});

    ASSERT_EQ(app.GetCap(CAP_DEVICEONLINE, MSG_GETCURRENT, answer), TWRC_SUCCESS);
    EXPECT_EQ(answer.items, std::vector<TW_UINT32>{1});
    EXPECT_EQ(app.SetCap(CAP_UICONTROLLABLE, TWTY_BOOL, 0), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_CAPBADOPERATION);
    EXPECT_EQ(app.GetCap(ICAP_BRIGHTNESS, MSG_GET, answer), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_CAPUNSUPPORTED);

    TW_UINT32 group = 0;
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group), TWRC_SUCCESS);
    EXPECT_EQ(group, DG_IMAGE);

    // The layout is the whole picture, as large as the physical size says;
    // a smaller frame is answered with the whole one.
    TW_IMAGELAYOUT layout{};
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    ASSERT_EQ(app.GetCap(ICAP_PHYSICALWIDTH, MSG_GETCURRENT, answer), TWRC_SUCCESS);
    EXPECT_EQ(Fix32Item(FromFix32(layout.Frame.Right)), answer.items.front());
    ASSERT_EQ(app.GetCap(ICAP_PHYSICALHEIGHT, MSG_GETCURRENT, answer), TWRC_SUCCESS);
    EXPECT_EQ(Fix32Item(FromFix32(layout.Frame.Bottom)), answer.items.front());
    TW_IMAGELAYOUT cropped = layout;
    cropped.Frame.Left = ToFix32(1.0);
    EXPECT_EQ(app.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &cropped), TWRC_CHECKSTATUS);
    EXPECT_EQ(std::memcmp(&cropped.Frame, &layout.Frame, sizeof(TW_FRAME)), 0);
}

TEST_F(ManagerAcquire, NativeTransferWithoutTheSourceWindow) {
    TwainApp& app = App();
    UseSavedCamera(L"");  // none saved: the first camera found
    ASSERT_EQ(app.Enable(false), TWRC_SUCCESS);
    // Nothing is signalled from inside the triplet that enabled the source.
    EXPECT_TRUE(app.signals.empty());
    EXPECT_EQ(FindSourceWindow(), nullptr);

    // Enabled (state 5): capabilities are read-only now, and the source
    // cannot be enabled twice.
    EXPECT_EQ(app.SetCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);
    EXPECT_EQ(app.Enable(false), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);

    ASSERT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_XFERREADY);
    TW_USERINTERFACE early{};
    EXPECT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &early), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);

    TW_IMAGEINFO info{};
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.ImageWidth, TEST_PATTERN_WIDTH);
    EXPECT_EQ(info.ImageLength, TEST_PATTERN_HEIGHT);
    EXPECT_EQ(info.BitsPerPixel, 24);
    EXPECT_EQ(info.SamplesPerPixel, 3);
    EXPECT_EQ(info.PixelType, TWPT_RGB);
    EXPECT_EQ(info.XResolution.Whole, 96);

    // The transfer mechanism is native: a memory transfer is out of order.
    TW_IMAGEMEMXFER strip{};
    EXPECT_EQ(app.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);

    TW_HANDLE dib = nullptr;
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
    ASSERT_NE(dib, nullptr);
    ExpectPattern(FrameFromDib(static_cast<HGLOBAL>(dib)), CONVERTED_TOLERANCE);
    GlobalFree(dib);  // the application's now

    TW_PENDINGXFERS pending{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0);
    // Without its window the source has nothing more to offer and says so.
    EXPECT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_CLOSEDSREQ);
    TW_USERINTERFACE ui{};
    EXPECT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(app.signals, (std::vector<TW_UINT16>{MSG_XFERREADY, MSG_CLOSEDSREQ}));
}

TEST_F(ManagerAcquire, MemoryTransferFromTheSourceWindow) {
    TwainApp& app = App();
    std::vector<CameraDevice> cameras = TestPatternCameras();
    ASSERT_EQ(cameras.size(), 4u);
    // The RGB24 camera delivers the pattern unchanged; saved, it is the one
    // the source opens.
    UseSavedCamera(cameras[3].symbolicLink);
    ASSERT_EQ(app.SetCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
    TW_SETUPMEMXFER sizes{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &sizes), TWRC_SUCCESS);
    EXPECT_GT(sizes.MinBufSize, 0u);
    EXPECT_GE(sizes.Preferred, sizes.MinBufSize);

    ASSERT_EQ(app.Enable(true), TWRC_SUCCESS);
    HWND window = FindSourceWindow();
    ASSERT_NE(window, nullptr);
    HWND list = GetDlgItem(window, IDC_TWAIN_CAMERAS);
    HWND capture = GetDlgItem(window, IDC_TWAIN_CAPTURE);
    EXPECT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 4);
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 3);
    EXPECT_TRUE(IsWindowEnabled(capture));

    // Pressing Capture: the image comes as a signal, not at once.
    app.Pump(300);
    EXPECT_TRUE(app.signals.empty());
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_TWAIN_CAPTURE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(capture));
    ASSERT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_XFERREADY);
    EXPECT_FALSE(IsWindowEnabled(capture));

    TW_IMAGEINFO info{};
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    ASSERT_EQ(info.ImageWidth, TEST_PATTERN_WIDTH);
    ASSERT_EQ(info.ImageLength, TEST_PATTERN_HEIGHT);

    // A buffer too small for one row is refused; the transfer can go on.
    uint32_t rowBytes = RgbRowBytes(info.ImageWidth);
    std::vector<uint8_t> tiny(rowBytes - 1);
    TW_IMAGEMEMXFER strip{};
    strip.Memory = {TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(tiny.size()), tiny.data()};
    EXPECT_EQ(app.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_BADVALUE);

    // Strips of 100 rows (the last one shorter), in a pointer and in a handle.
    std::vector<uint8_t> rows;
    std::vector<uint8_t> buffer(100 * rowBytes);
    HGLOBAL handleBuffer = GlobalAlloc(GHND, buffer.size());
    TW_UINT16 result = TWRC_SUCCESS;
    int strips = 0;
    while (result == TWRC_SUCCESS && strips < 100) {
        strip = TW_IMAGEMEMXFER{};
        bool useHandle = strips % 2 == 1;
        strip.Memory.Flags = TWMF_APPOWNS | (useHandle ? TWMF_HANDLE : TWMF_POINTER);
        strip.Memory.Length = static_cast<TW_UINT32>(buffer.size());
        strip.Memory.TheMem = useHandle ? static_cast<TW_MEMREF>(handleBuffer) : buffer.data();
        result = app.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
        if (result != TWRC_SUCCESS && result != TWRC_XFERDONE) break;
        EXPECT_EQ(strip.BytesPerRow, rowBytes);
        EXPECT_EQ(strip.Columns, static_cast<TW_UINT32>(info.ImageWidth));
        EXPECT_EQ(strip.YOffset, static_cast<TW_UINT32>(rows.size() / rowBytes));
        EXPECT_EQ(strip.BytesWritten, strip.Rows * rowBytes);
        const uint8_t* data = buffer.data();
        if (useHandle) data = static_cast<const uint8_t*>(GlobalLock(handleBuffer));
        rows.insert(rows.end(), data, data + strip.BytesWritten);
        if (useHandle) GlobalUnlock(handleBuffer);
        ++strips;
    }
    GlobalFree(handleBuffer);
    ASSERT_EQ(result, TWRC_XFERDONE);
    EXPECT_EQ(strips, (TEST_PATTERN_HEIGHT + 99) / 100);
    ASSERT_EQ(rows.size(), static_cast<size_t>(rowBytes) * info.ImageLength);
    ExpectPattern(FrameFromRgbRows(rows, info.ImageWidth, info.ImageLength, rowBytes), 0);

    // Past the last row there is nothing more to send.
    EXPECT_EQ(app.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);

    TW_PENDINGXFERS pending{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0);
    // The window stays for another capture until the user cancels.
    app.Pump(200);
    EXPECT_TRUE(IsWindowEnabled(capture));
    EXPECT_EQ(app.signals, std::vector<TW_UINT16>{MSG_XFERREADY});
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_TWAIN_CANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDC_TWAIN_CANCEL)));
    ASSERT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_CLOSEDSREQ);
    TW_USERINTERFACE ui{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(ManagerAcquire, AnotherCameraChosenInTheWindowIsTheOneCaptured) {
    TwainApp& app = App();
    std::vector<CameraDevice> cameras = TestPatternCameras();
    UseSavedCamera(cameras[0].symbolicLink);
    ASSERT_EQ(app.Enable(true), TWRC_SUCCESS);
    HWND window = FindSourceWindow();
    ASSERT_NE(window, nullptr);
    HWND list = GetDlgItem(window, IDC_TWAIN_CAMERAS);
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);

    SendMessageW(list, CB_SETCURSEL, 3, 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_TWAIN_CAMERAS, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
    wchar_t status[128] = {};
    GetDlgItemTextW(window, IDC_TWAIN_STATUS, status, 128);
    EXPECT_STREQ(status, L"1280 x 720");

    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_TWAIN_CAPTURE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDC_TWAIN_CAPTURE)));
    ASSERT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_XFERREADY);
    TW_HANDLE dib = nullptr;
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
    // Exact colours: the RGB24 camera, not the NV12 one that was saved.
    ExpectPattern(FrameFromDib(static_cast<HGLOBAL>(dib)), 0);
    GlobalFree(dib);
    TW_PENDINGXFERS pending{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    // Closing the window by its close box asks to be disabled, like Cancel.
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_CLOSEDSREQ);
    TW_USERINTERFACE ui{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
}

TEST_F(ManagerAcquire, ANewSessionStartsFromTheLastCameraSize) {
    TwainApp& app = App();
    ASSERT_EQ(app.Enable(false), TWRC_SUCCESS);
    ASSERT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_XFERREADY);
    TW_PENDINGXFERS pending{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    TW_USERINTERFACE ui{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    ASSERT_EQ(app.CallManager(DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWRC_SUCCESS);
    ASSERT_EQ(app.CallManager(DAT_IDENTITY, MSG_OPENDS, &app.source), TWRC_SUCCESS);

    // Before the camera opens again, layout and physical size agree on the
    // size it had.
    TW_IMAGELAYOUT layout{};
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_EQ(Fix32Item(FromFix32(layout.Frame.Right)), Fix32Item(TEST_PATTERN_WIDTH / 96.0));
    CapContainer answer;
    ASSERT_EQ(app.GetCap(ICAP_PHYSICALWIDTH, MSG_GETCURRENT, answer), TWRC_SUCCESS);
    EXPECT_EQ(answer.items, std::vector<TW_UINT32>{Fix32Item(TEST_PATTERN_WIDTH / 96.0)});
    TW_SETUPMEMXFER sizes{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &sizes), TWRC_SUCCESS);
    EXPECT_EQ(sizes.MinBufSize, RgbRowBytes(TEST_PATTERN_WIDTH));
}
