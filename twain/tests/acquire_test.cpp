// A TWAIN application acquiring from Orvendel-testcam.ds through the system's
// own manager, twain_32.dll. Wine's manager looks only for the sources
// sane.ds and gphoto2.ds in the Windows directory's TWAIN folder (twain_64 for
// a 64-bit process), so the test installs the source under the first name in
// its scratch prefix.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "twain_app.h"

namespace {

constexpr const wchar_t* TWAIN_FOLDER = sizeof(void*) == 8 ? L"\\twain_64" : L"\\twain_32";

class ManagerAcquire : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        wchar_t built[MAX_PATH] = {};
        wchar_t windows[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, built, MAX_PATH);
        std::wcscpy(std::wcsrchr(built, L'\\') + 1, L"Orvendel-testcam.ds");
        GetSystemWindowsDirectoryW(windows, MAX_PATH);
        std::wstring folder = std::wstring(windows) + TWAIN_FOLDER;
        CreateDirectoryW(folder.c_str(), nullptr);
        // Replaces Wine's placeholder for its own SANE bridge, which this
        // prefix has no use for; it stays after the run, as the manager never
        // unloads it.
        installed = CopyFileW(built, (folder + L"\\sane.ds").c_str(), FALSE) != FALSE;
        manager = LoadLibraryW(L"twain_32.dll");
    }

    void SetUp() override {
        ASSERT_TRUE(installed) << "could not install the source as sane.ds";
        FARPROC entry = manager ? GetProcAddress(manager, "DSM_Entry") : nullptr;
        ASSERT_NE(entry, nullptr);
        twain.emplace(reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void*>(entry)));
        ASSERT_EQ(twain->CallManager(DAT_PARENT, MSG_OPENDSM, &twain->window), TWRC_SUCCESS);
        dsmOpen = true;
        // The manager lists the source by the identity it reports.
        TW_IDENTITY& found = twain->source;
        for (TW_UINT16 rc = twain->CallManager(DAT_IDENTITY, MSG_GETFIRST, &found);
             rc == TWRC_SUCCESS; rc = twain->CallManager(DAT_IDENTITY, MSG_GETNEXT, &found)) {
            if (std::strcmp(found.ProductName, "Snapward") == 0) break;
        }
        ASSERT_STREQ(found.ProductName, "Snapward");
        ASSERT_EQ(twain->CallManager(DAT_IDENTITY, MSG_OPENDS, &found), TWRC_SUCCESS);
        dsOpen = true;
    }

    // Closing in order: the source, then the manager.
    void TearDown() override {
        if (!twain) return;
        TwainApp& app = *twain;
        EXPECT_TRUE(!dsOpen || app.CallManager(DAT_IDENTITY, MSG_CLOSEDS, &app.source) == TWRC_SUCCESS);
        EXPECT_TRUE(!dsmOpen || app.CallManager(DAT_PARENT, MSG_CLOSEDSM, &app.window) == TWRC_SUCCESS);
    }

    static inline bool installed = false;
    static inline HMODULE manager = nullptr;
    std::optional<TwainApp> twain;
    bool dsmOpen = false;
    bool dsOpen = false;
};

}  // namespace

TEST_F(ManagerAcquire, ANativeSessionAndTheNextOne) {
    TwainApp& app = *twain;
    TW_USERINTERFACE ui{};  // no settings-only dialog
    EXPECT_EQ(app.Refusal(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, &ui), TWCC_BADPROTOCOL);
    EXPECT_EQ(app.Condition(), TWCC_SUCCESS);  // reading the condition cleared it

    EXPECT_EQ(app.Current(CAP_DEVICEONLINE), std::vector<TW_UINT32>{1});

    // From the first open of the process on, before the camera streams, the
    // layout is the camera's whole picture, as large as the physical size says.
    TW_IMAGELAYOUT layout{};
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_EQ(Fix32Item(FromFix32(layout.Frame.Right)), Fix32Item(TEST_PATTERN_WIDTH / 96.0));
    EXPECT_EQ(app.Current(ICAP_PHYSICALHEIGHT),
              std::vector<TW_UINT32>{Fix32Item(TEST_PATTERN_HEIGHT / 96.0)});

    // A native transfer without the source's window.
    ASSERT_EQ(app.Enable(false), TWRC_SUCCESS);
    EXPECT_TRUE(app.signals.empty());  // nothing from inside the enabling triplet
    EXPECT_EQ(FindSourceWindow(), nullptr);

    ASSERT_EQ(app.Pump(), MSG_XFERREADY);
    TW_IMAGEINFO info{};
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.ImageWidth, TEST_PATTERN_WIDTH);
    EXPECT_EQ(info.ImageLength, TEST_PATTERN_HEIGHT);
    // The transfer mechanism is native: a memory transfer is out of order.
    TW_IMAGEMEMXFER strip{};
    EXPECT_EQ(app.Refusal(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip), TWCC_SEQERROR);
    TW_HANDLE dib = nullptr;
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
    // Whichever test camera: the NV12, YUY2 and MJPG ones round colours.
    EXPECT_TRUE(DibIsTestPattern(dib, 12));
    EXPECT_EQ(app.Pending(MSG_ENDXFER), 0);
    // Without its window the source has nothing more to offer and says so.
    EXPECT_EQ(app.Pump(), MSG_CLOSEDSREQ);
    EXPECT_EQ(app.Disable(), TWRC_SUCCESS);
    EXPECT_EQ(app.signals, (std::vector<TW_UINT16>{MSG_XFERREADY, MSG_CLOSEDSREQ}));
}

TEST_F(ManagerAcquire, MemoryTransferOfTheCameraChosenInTheSourceWindow) {
    TwainApp& app = *twain;
    auto nv12 = ChooseCamera(TestPatternCameras()[1].symbolicLink);
    ASSERT_EQ(app.SetCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
    ASSERT_EQ(app.Enable(true), TWRC_SUCCESS);
    HWND window = FindSourceWindow();
    ASSERT_NE(window, nullptr);
    HWND list = GetDlgItem(window, IDC_TWAIN_CAMERAS);
    HWND capture = GetDlgItem(window, IDC_TWAIN_CAPTURE);
    EXPECT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 4);
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 1);  // the saved one
    EXPECT_TRUE(IsWindowEnabled(capture));
    auto press = [&] {
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_TWAIN_CAPTURE, BN_CLICKED),
                     reinterpret_cast<LPARAM>(capture));
    };

    // Pressing Capture: the image comes as a signal, not at once. While the
    // grab is under way (its end is only seen when we next pump) the user
    // picks the RGB24 camera, which delivers the pattern unchanged: the grab
    // keeps its camera, the next one uses it.
    EXPECT_EQ(app.Pump(300), MSG_NULL);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_TWAIN_CAPTURE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(capture));
    SendMessageW(list, CB_SETCURSEL, 3, 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_TWAIN_CAMERAS, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
    ASSERT_EQ(app.Pump(), MSG_XFERREADY);
    EXPECT_FALSE(IsWindowEnabled(capture));
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 3);
    EXPECT_EQ(app.Pending(MSG_RESET), 0);  // this one is not wanted
    EXPECT_TRUE(IsWindowEnabled(capture));
    press();
    ASSERT_EQ(app.Pump(), MSG_XFERREADY);

    // A buffer too small for one row is refused; the transfer can go on, in
    // strips (exact: the camera chosen), and past its last row there is
    // nothing more to send.
    const uint32_t rowBytes = RgbRowBytes(TEST_PATTERN_WIDTH);
    std::vector<uint8_t> row(rowBytes);
    TW_IMAGEMEMXFER strip{};
    strip.Memory = {TWMF_APPOWNS | TWMF_POINTER, rowBytes - 1, row.data()};
    EXPECT_EQ(app.Refusal(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip), TWCC_BADVALUE);
    uint32_t counter = 0;
    EXPECT_TRUE(MatchesTestPattern(app.Transfer(TWSX_MEMORY), 0, counter));
    strip.Memory.Length = rowBytes;
    EXPECT_EQ(app.Refusal(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip), TWCC_SEQERROR);

    EXPECT_EQ(app.Pending(MSG_ENDXFER), 0);
    // The window stays for another capture until the user cancels (here by
    // its close box).
    EXPECT_EQ(app.Pump(200), MSG_NULL);
    EXPECT_TRUE(IsWindowEnabled(capture));
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_EQ(app.Pump(), MSG_CLOSEDSREQ);
    ASSERT_EQ(app.Disable(), TWRC_SUCCESS);
    EXPECT_FALSE(IsWindow(window));
}
