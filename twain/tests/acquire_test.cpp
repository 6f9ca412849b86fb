// A TWAIN application acquiring from Orvendel-testcam.ds through the system's
// own manager, twain_32.dll. Wine's manager looks only for the sources
// sane.ds and gphoto2.ds in the Windows directory's TWAIN folder (twain_64 for
// a 64-bit process), so the test installs the source under the first name in
// its scratch prefix.

#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "twain_app.h"

// Pressing Capture in the source's window: the image comes as a signal, once,
// not at once. While the grab is under way the user picks the RGB24 camera,
// which delivers the pattern unchanged: the grab keeps its camera (its image
// is not wanted), the next one uses the new one, in strips; a buffer too
// small for one row is refused, and past the last row there is nothing more
// to send. The window stays for another capture until the user closes it.
TEST(ManagerAcquire, MemoryTransferOfTheCameraChosenInTheSourceWindow) {
    wchar_t built[MAX_PATH] = {}, windows[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, built, MAX_PATH);
    std::wcscpy(std::wcsrchr(built, L'\\') + 1, L"Orvendel-testcam.ds");
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    std::wstring folder = std::wstring(windows) + (sizeof(void*) == 8 ? L"\\twain_64" : L"\\twain_32");
    CreateDirectoryW(folder.c_str(), nullptr);
    // Replaces Wine's placeholder for its own SANE bridge, which this prefix
    // has no use for; it stays after the run, as the manager never unloads it.
    ASSERT_TRUE(CopyFileW(built, (folder + L"\\sane.ds").c_str(), FALSE));
    auto yuy2 = ChooseCamera(TestPatternCameras()[1].symbolicLink);
    Session host(nullptr);
    host.Run({{Do::Open}, {Do::Refuse, UI_ONLY, 0, TWCC_BADPROTOCOL}});  // no settings-only dialog
    EXPECT_EQ(host.Condition(), TWCC_SUCCESS);                        // reading the condition cleared it
    host.Run({{Do::Current, CAP_DEVICEONLINE, 1}, {Do::Set, ICAP_XFERMECH, TWSX_MEMORY}, {Do::Enable, 1},
              {Do::Window, 1, 4}, {Do::Signal, 300, 0, MSG_NULL}, {Do::Capture, 1, 1}, {Do::Choose, 3},
              {Do::Signal, 0, 0, READY}, {Do::Capture, 0}, {Do::Pending, MSG_RESET, 0}, {Do::Capture, 1, 1},
              {Do::Signal, 0, 0, READY}, {Do::Refuse, ROW_TOO_SHORT, 0, TWCC_BADVALUE}, {Do::Info, 1280, 720},
              {Do::Transfer, TWSX_MEMORY, 0}, {Do::Refuse, MEMORY_XFER, 0, TWCC_SEQERROR},
              {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 200, 0, MSG_NULL}, {Do::Capture, 1}, {Do::CloseBox},
              {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::Window, 0}, {Do::Close}});
    EXPECT_EQ(host.signals, (std::vector<TW_UINT16>{READY, READY, CLOSE_REQUEST}));
    // Three pages without the window, each a fresh frame, in strips.
    host.Run({{Do::Open}, {Do::Set, ICAP_XFERMECH, TWSX_MEMORY}, {Do::Set, CAP_XFERCOUNT, 3}, {Do::Enable},
              {Do::Signal, 0, 0, READY}, {Do::Transfer, TWSX_MEMORY, 12}, {Do::Pending, MSG_ENDXFER, 2},
              {Do::Transfer, TWSX_MEMORY, 12}, {Do::Pending, MSG_ENDXFER, 1}, {Do::Transfer, TWSX_MEMORY, 12},
              {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::Close}});
    ASSERT_EQ(host.counters.size(), 4u);
    EXPECT_TRUE(host.counters[1] < host.counters[2] && host.counters[2] < host.counters[3]);
}
