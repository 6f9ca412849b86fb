// The data sources loaded directly, under the stand-in for a TWAIN 2.x manager.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera.h"
#include "camera/devices.h"
#include "camera_worker.h"
#include "planted/planted_dlls.h"
#include "test_clips.h"
#include "twain_app.h"
#include "without_media_foundation.h"

// Managers load a source from its own folder, and some make that folder the
// current one or add it to the search so that the source finds its files; a
// folder that anyone can write to may then hold planted DLLs. Nothing the
// source loads, whether on opening, grabbing an MJPG frame or transferring it,
// may come from there, and the host's search order is left as it was. First
// in this file: Media Foundation and the imaging component must not be loaded
// yet, or the source would only be handed the copies already there.
TEST(PlantedLibraries, NoneIsLoadedByTheSourceNorIsTheHostsSearchChanged) {
    for (const wchar_t* name : PlantedDlls::NAMES) {
        ASSERT_EQ(GetModuleHandleW((std::wstring(name) + L".dll").c_str()), nullptr) << "already loaded";
    }
    wchar_t self[MAX_PATH] = {}, current[MAX_PATH] = {}, directory[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    PlantedDlls planted(L"orvendel-planted", std::filesystem::path(self).filename().wstring());
    // Under a name of its own: the source pins itself, and the later tests
    // want a fresh Orvendel-testcam.ds.
    const std::wstring source = (planted.folder / L"Orvendel-planted.ds").wstring();
    std::filesystem::copy_file(std::filesystem::path(self).parent_path() / L"Orvendel-testcam.ds", source);
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(planted.folder.c_str());
    SetDllDirectoryW(planted.folder.c_str());
    auto restore = ScopeExit([&] {
        SetDllDirectoryW(nullptr);
        SetCurrentDirectoryW(current);
    });
    auto mjpg = ChooseCamera(TestPatternCameras()[2].symbolicLink);
    {
        Session host(source.c_str());
        host.Run({{Do::Open}, {Do::Enable}, {Do::Signal, 0, 0, READY}, {Do::Transfer, TWSX_NATIVE, 12},
                  {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::Close}});
    }
    EXPECT_EQ(planted.Loaded(), std::vector<std::wstring>{});
    GetDllDirectoryW(MAX_PATH, directory);
    EXPECT_EQ(planted.folder.wstring(), directory);
    // The host's own folder is still searched: the source restricted no default.
    EXPECT_NE(LoadLibraryExW(L"planted_marker.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
}

TEST(DirectSource, WithoutACameraEnablingFailsAndSaysWhy) {
    // Run without Media Foundation, it must be gone, and no camera can be found: a skip would pass for a check.
    ASSERT_FALSE(RunWithoutMediaFoundation() && MediaFoundationLoads()) << "the override left Media Foundation";
    StartMediaFoundation();
    if (!EnumerateCameras().empty()) {
        ASSERT_FALSE(RunWithoutMediaFoundation()) << "a camera found without Media Foundation";
        GTEST_SKIP() << "this machine has a camera";
    }
    Session host(L"Orvendel.ds");  // must export DS_Entry undecorated
    host.Run({{Do::Open}, {Do::Current, CAP_DEVICEONLINE, 0},
              // No camera has told its size: VGA at 96 dots per inch is the guess.
              {Do::Current, ICAP_PHYSICALWIDTH, Fix32Item(640 / 96.0)},
              {Do::Refuse, SHORT_ENTRY, 0, TWCC_BADVALUE}, {Do::Refuse, NO_INTERFACE, 0, TWCC_BADVALUE},
              {Do::Enable, 0, 0, TWCC_CHECKDEVICEONLINE}, {Do::Window, 0}, {Do::Close}});
    EXPECT_EQ(fake.allocations, 2);  // the containers came from the manager's allocator
    EXPECT_TRUE(fake.deliveries.empty());
}

// Resolution, layout and file transfer as applications negotiate them, the
// crop delivered by each mechanism, and each signal through the 2.x manager
// once, on the application's thread. This must be the first test to open
// Orvendel-testcam.ds: the source reopened in one process remembers the size
// of the camera seen last.
TEST(DirectSource, ResolutionAndLayoutShapeEveryTransferAndEachSignalComesOnce) {
    auto rgb = ChooseCamera(TestPatternCameras()[3].symbolicLink);  // delivers the pattern unchanged
    Session host(L"Orvendel-testcam.ds");
    host.Run({{Do::Open}, {Do::Current, ICAP_PHYSICALHEIGHT, Fix32Item(7.5)}});
    // The camera's own size from the start, before anything streams.
    TW_IMAGELAYOUT layout{};
    auto same = [](const TW_FRAME& shown, const TW_FRAME& expected) {
        return std::memcmp(&shown, &expected, sizeof(TW_FRAME)) == 0;
    };
    ASSERT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_TRUE(same(layout.Frame, LayoutFor({0, 0, 1280, 720}, 96).Frame));
    // A range of resolutions, X and Y together, as a conformance test asks:
    // its minimum is taken as it is, nothing past its maximum, nothing below
    // one, and the rest to the nearest whole number, the size following.
    CapContainer range = host.Query(ICAP_XRESOLUTION, MSG_GET);
    ASSERT_EQ(range.items.size(), 5u);
    host.Run({{Do::Set, ICAP_XRESOLUTION, range.items[0]}, {Do::Current, ICAP_YRESOLUTION, range.items[0]},
              {Do::Set, ICAP_YRESOLUTION, Fix32Item(30000)}, {Do::Current, ICAP_XRESOLUTION, range.items[1]},
              {Do::Set, ICAP_YRESOLUTION, Fix32Item(-96), TWCC_BADVALUE},
              {Do::Set, ICAP_XRESOLUTION, Fix32Item(191.75)}, {Do::Current, ICAP_YRESOLUTION, Fix32Item(192)},
              {Do::Current, ICAP_PHYSICALWIDTH, Fix32Item(1280 / 192.0)}, {Do::Refuse, TIFF, 0, TWCC_BADVALUE}});
    // At 192 dots per inch half an inch is 96 pixels: one frame rounded (1.2
    // inches is 230.4 pixels), one refused, then the whole picture.
    layout.Frame = {ToFix32(0.5), ToFix32(0.5), ToFix32(1.2), ToFix32(1.2)};
    EXPECT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), TWRC_CHECKSTATUS);
    ASSERT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_TRUE(same(layout.Frame, LayoutFor({96, 96, 134, 134}, 192).Frame));
    layout.Frame = LayoutFor({1344, 768, 384, 192}, 192).Frame;  // right of the picture
    EXPECT_EQ(host.Outcome(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout)), TWCC_BADVALUE);
    ASSERT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, &layout), TWRC_SUCCESS);
    EXPECT_TRUE(same(layout.Frame, LayoutFor({0, 0, 1280, 720}, 192).Frame));
    host.crop = {96, 96, 97, 64};  // an odd width, across a bar edge
    layout.Frame = LayoutFor(host.crop, 192).Frame;
    ASSERT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), TWRC_SUCCESS);
    // Enabled and at once disabled: the grab still under way is stale, and
    // neither its image nor a signal for it reaches the application.
    host.Run({{Do::Enable}, {Do::Disable}, {Do::Signal, 1500, 0, MSG_NULL}, {Do::Pending, MSG_GET, 0}});
    for (auto [mechanism, format] : {std::pair{TWSX_NATIVE, 0}, {TWSX_MEMORY, 0}, {TWSX_FILE, TWFF_BMP},
                                     {TWSX_FILE, TWFF_PNG}}) {
        const TW_UINT32 other = mechanism == TWSX_FILE ? NATIVE_XFER : FILE_XFER;
        host.Run({{Do::Set, ICAP_XFERMECH, mechanism}, {Do::Enable}, {Do::Signal, 0, 0, READY},
                  {Do::Pending, MSG_GET, 1}, {Do::Refuse, other, 0, TWCC_SEQERROR}, {Do::Info, 97, 64},
                  {Do::Transfer, mechanism, TW_UINT32(format)}, {Do::Pending, MSG_ENDXFER, 0},
                  {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}});
    }
    host.Run({{Do::Close}});
    // Each came once, through the manager, on the application's thread and
    // outside any triplet, from the source to the application.
    EXPECT_EQ(host.signals.size(), 8u);
    EXPECT_EQ(fake.deliveries.size(), host.signals.size());
    for (const Delivery& delivery : fake.deliveries) {
        EXPECT_TRUE(delivery.thread == GetCurrentThreadId() && !delivery.duringTriplet);
        EXPECT_TRUE(delivery.originId == host.source.Id && delivery.destinationId == host.self.Id);
    }
}

// Cameras that fail after the source opened them, as another program taking the camera, a USB reset or a replug
// do. Without our window a grab tries one fresh open before it gives up, and giving up is told in TWAIN's terms: a
// close request, the device offline, the condition, and a message only while indicators are on. With the window
// the reason shows, the frozen picture goes, Capture says why it cannot, and the camera comes back by itself.
TEST(DirectSource, ACameraFailingMidSessionComesBackOrSaysWhy) {
    struct Case {
        const wchar_t* misbehaviour;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {L"gone&unplug=1",  // pulled out for good after its first frame
         {{Do::Open}, {Do::Set, CAP_INDICATORS, 0}, {Do::Enable}, {Do::Signal, 0, 0, CLOSE_REQUEST},
          {Do::Condition, TWCC_CHECKDEVICEONLINE}, {Do::Current, CAP_DEVICEONLINE, 0}, {Do::Pending, MSG_GET, 0},
          {Do::Refuse, NATIVE_XFER, 0, TWCC_SEQERROR}, {Do::Disable}, {Do::Close}}},
        {L"told&unplug=1",  // ... with indicators on: the user is told, once
         {{Do::Open}, {Do::Boxes, 0}, {Do::Enable}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Boxes, 1}, {Do::Disable},
          {Do::Close}}},
        {L"replugged&unplug=0&replug=200",  // replugged while the application waited: the kept reader is stale
         {{Do::Open}, {Do::Signal, 600, 0, MSG_NULL}, {Do::Set, CAP_INDICATORS, 0}, {Do::Enable},
          {Do::Signal, 0, 0, READY}, {Do::Transfer, TWSX_NATIVE, 0}, {Do::Pending, MSG_ENDXFER, 0},
          {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::Close}}},
        {L"held&busy=C00D3EA3&for=400",  // held by another program at the open, free at the grab
         {{Do::Open}, {Do::Signal, 600, 0, MSG_NULL}, {Do::Boxes, 0}, {Do::Enable}, {Do::Signal, 0, 0, READY},
          {Do::Transfer, TWSX_NATIVE, 0}, {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST},
          {Do::Boxes, 0}, {Do::Disable}, {Do::Close}}},
        {L"window&unplug=20&replug=1000",  // pulled out during the preview, back a second later
         {{Do::Open}, {Do::Enable, 1}, {Do::Status, STATUS_READY}, {Do::Signal, 200, 0, MSG_NULL}, {Do::Preview, 1},
          {Do::Status, STATUS_DISCONNECTED}, {Do::Preview, 0}, {Do::Capture, 1, 1},
          {Do::Status, STATUS_GONE_AT_OPEN}, {Do::Status, STATUS_DISCONNECTED},  // a retry failed: tried again later
          {Do::Status, STATUS_READY}, {Do::Signal, 400, 0, MSG_NULL},
          {Do::Preview, 1}, {Do::Capture, 1, 1}, {Do::Signal, 0, 0, READY}, {Do::Transfer, TWSX_NATIVE, 0},
          {Do::Pending, MSG_ENDXFER, 0}, {Do::CloseBox}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable},
          {Do::Close}}},
        {L"busywindow&busy=C00D3EA3&for=1200",  // held by another program for the first second
         {{Do::Open}, {Do::Enable, 1}, {Do::Status, STATUS_IN_USE}, {Do::Preview, 0}, {Do::Status, STATUS_READY},
          {Do::Signal, 400, 0, MSG_NULL}, {Do::Preview, 1}, {Do::CloseBox}, {Do::Signal, 0, 0, CLOSE_REQUEST},
          {Do::Disable}, {Do::Close}}},
    };
    for (const Case& c : cases) {
        const std::wstring link = std::wstring(L"snapward-testpattern:rgb24?name=") + c.misbehaviour;
        SCOPED_TRACE(testing::PrintToString(link));
        SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", link.c_str());  // listed by the testcam build
        auto unlisted = ScopeExit([] { SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", nullptr); });
        auto choice = ChooseCamera(link);
        Session host(L"Orvendel-testcam.ds");
        const DWORD start = GetTickCount();
        host.Run(c.steps);
        std::printf("%ls: %lu ms\n", c.misbehaviour, GetTickCount() - start);
    }
}

// Without our window a lost camera is told in a message box while indicators are on, and the host's timers run in
// its loop. A host that ends the session meanwhile, or starts another, hears nothing more of the lost one: no close
// request, no condition, and nothing in its queue outside our window.
TEST(DirectSource, ALostCameraIsReportedOnlyToTheSessionThatLostIt) {
    const struct {
        const wchar_t* misbehaviour;
        std::vector<Step> inBox, after;
    } cases[] = {
        {L"boxdisabled&unplug=1", {{Do::Disable}}, {{Do::Signal, 3000, 0, MSG_NULL}, {Do::Close}}},
        {L"boxclosed&unplug=1", {{Do::Disable}, {Do::Close}}, {{Do::Signal, 3000, 0, MSG_NULL}}},
        {L"boxreenabled&unplug=1&replug=300", {{Do::Disable}, {Do::Enable}},
         // The picture of a camera just plugged in again is off by one level now and then: the counter counts.
         {{Do::Signal, 0, 0, READY}, {Do::Condition, TWCC_SUCCESS}, {Do::Transfer, TWSX_NATIVE, 2},
          {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::Close}}},
    };
    for (const auto& c : cases) {
        const std::wstring link = std::wstring(L"snapward-testpattern:rgb24?name=") + c.misbehaviour;
        SCOPED_TRACE(testing::PrintToString(link));
        SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", link.c_str());
        auto unlisted = ScopeExit([] { SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", nullptr); });
        auto choice = ChooseCamera(link);
        Session host(L"Orvendel-testcam.ds");
        host.Run({{Do::Open}, {Do::Enable}});
        // Long enough for the camera to be back by the time the host enables us again.
        host.ActInBox(c.inBox, 600);
        host.Run(c.after);
        EXPECT_EQ(host.boxesActedIn, 1);
        EXPECT_EQ(host.strays, std::vector<UINT>{});
    }
}

// Document hosts set their page as the layout, or as ICAP_SUPPORTEDSIZES, before they acquire. The camera looks at
// the page, so the page is the whole picture, and the host is told to read the layout back; a frame that is no
// page at the origin is still cut as it is. In pixels, frames need no resolution at all.
TEST(DirectSource, APageIsTheWholePictureAndPixelsAreAUnit) {
    auto rgb = ChooseCamera(TestPatternCameras()[3].symbolicLink);
    Session host(L"Orvendel-testcam.ds");
    host.Run({{Do::Open}});
    const auto frame = [](double left, double top, double right, double bottom) {
        return TW_FRAME{ToFix32(left), ToFix32(top), ToFix32(right), ToFix32(bottom)};
    };
    const TW_FRAME whole = LayoutFor({0, 0, 1280, 720}, 96).Frame;
    const struct {
        TW_FRAME set;
        TW_UINT16 page;
        TW_FRAME then;
        TW_UINT16 told = TWRC_CHECKSTATUS;
    } layouts[] = {
        {frame(0, 0, 8.5, 11), TWSS_USLETTER, whole},
        {frame(0, 0, 11.69, 8.27), TWSS_A4, whole},  // landscape, millimetres rounded
        {frame(0, 0, 8.26, 11.69), TWSS_A4, whole},
        {frame(0, 0, 148 / 25.4, 210 / 25.4), TWSS_A5, whole},
        {frame(0, 0, 8.5, 14), TWSS_USLEGAL, whole},
        {frame(0.5, 0, 9, 11), TWSS_NONE, LayoutFor({48, 0, 816, 720}, 96).Frame},  // no page: cut, and clipped
        {frame(0, 0, 8.5, 5), TWSS_NONE, LayoutFor({0, 0, 816, 480}, 96).Frame, TWRC_SUCCESS},
    };
    for (const auto& layout : layouts) {
        TW_IMAGELAYOUT asked{};
        asked.Frame = layout.set;
        EXPECT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &asked), layout.told) << layout.page;
        TW_IMAGELAYOUT told{};
        ASSERT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &told), TWRC_SUCCESS);
        EXPECT_EQ(std::memcmp(&told.Frame, &layout.then, sizeof(TW_FRAME)), 0) << layout.page;
        host.Run({{Do::Current, ICAP_SUPPORTEDSIZES, layout.page}});
    }
    // A page asked for as a size takes the whole picture back from a frame; resetting the layout forgets it.
    EXPECT_EQ(host.SetCap(ICAP_SUPPORTEDSIZES, TWSS_USLETTER), TWRC_CHECKSTATUS);
    TW_IMAGELAYOUT reset{};
    EXPECT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, &reset), TWRC_SUCCESS);
    host.Run({{Do::Current, ICAP_SUPPORTEDSIZES, TWSS_NONE}});
    EXPECT_EQ(host.SetCap(ICAP_SUPPORTEDSIZES, TWSS_A5), TWRC_CHECKSTATUS);
    TW_IMAGELAYOUT outside{};  // refused, so the page stays
    outside.Frame = frame(14, 0, 15, 1);
    EXPECT_EQ(host.Outcome(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &outside)), TWCC_BADVALUE);
    host.Run({{Do::Current, ICAP_SUPPORTEDSIZES, TWSS_A5}, {Do::Set, ICAP_SUPPORTEDSIZES, 99, TWCC_BADVALUE},
              {Do::Enable}, {Do::Signal, 0, 0, READY}, {Do::Info, 1280, 720}, {Do::Transfer, TWSX_NATIVE, 0},
              {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}});
    // In pixels: the physical size is the picture's, and a frame is its pixels, whatever the resolution.
    host.Run({{Do::Set, ICAP_XRESOLUTION, Fix32Item(192)}, {Do::Set, ICAP_UNITS, TWUN_PIXELS},
              {Do::Current, ICAP_PHYSICALWIDTH, Fix32Item(1280)}, {Do::Current, ICAP_PHYSICALHEIGHT, Fix32Item(720)},
              {Do::Set, ICAP_UNITS, TWUN_CENTIMETERS, TWCC_BADVALUE}});
    host.crop = {96, 96, 97, 64};
    TW_IMAGELAYOUT pixels{};
    pixels.Frame = frame(96, 96, 193, 160);
    EXPECT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &pixels), TWRC_SUCCESS);
    host.Run({{Do::Current, ICAP_SUPPORTEDSIZES, TWSS_NONE}, {Do::Set, ICAP_XFERMECH, TWSX_MEMORY}, {Do::Enable},
              {Do::Signal, 0, 0, READY}, {Do::Info, 97, 64}, {Do::Transfer, TWSX_MEMORY, 0},
              {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::Close}});
}

// Grey and black-and-white pages by every mechanism, each the part of the pattern the layout cuts as the page
// kind makes it: BT.601 luma, and white from the threshold up.
TEST(DirectSource, GreyAndBlackAndWhitePagesComeByEveryMechanism) {
    auto rgb = ChooseCamera(TestPatternCameras()[3].symbolicLink);
    Session host(L"Orvendel-testcam.ds");
    host.crop = {96, 96, 97, 64};  // across a bar edge
    host.Run({{Do::Open}, {Do::Set, ICAP_XRESOLUTION, Fix32Item(192)}, {Do::Current, ICAP_BITDEPTH, 24},
              {Do::Set, ICAP_BITDEPTH, 8, TWCC_BADVALUE}, {Do::Set, ICAP_THRESHOLD, 256, TWCC_BADVALUE}});
    TW_IMAGELAYOUT layout{};
    layout.Frame = LayoutFor(host.crop, 192).Frame;
    ASSERT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), TWRC_SUCCESS);
    const struct {
        TW_UINT16 type, depth, threshold, mechanism, format;
    } pages[] = {
        {TWPT_GRAY, 8, 128, TWSX_NATIVE, 0},   {TWPT_GRAY, 8, 128, TWSX_MEMORY, 0},
        {TWPT_GRAY, 8, 128, TWSX_FILE, TWFF_BMP}, {TWPT_GRAY, 8, 128, TWSX_FILE, TWFF_PNG},
        {TWPT_BW, 1, 128, TWSX_NATIVE, 0},     {TWPT_BW, 1, 60, TWSX_MEMORY, 0},
        {TWPT_BW, 1, 200, TWSX_FILE, TWFF_BMP}, {TWPT_BW, 1, 128, TWSX_FILE, TWFF_PNG},
    };
    for (const auto& page : pages) {
        SCOPED_TRACE(testing::Message() << page.type << " " << page.threshold << " " << page.mechanism);
        host.pixels = page.type == TWPT_GRAY ? PagePixels::Gray : PagePixels::BlackWhite;
        host.threshold = uint8_t(page.threshold);
        host.Run({{Do::Set, ICAP_PIXELTYPE, page.type}, {Do::Current, ICAP_BITDEPTH, page.depth},
                  {Do::Set, ICAP_THRESHOLD, page.threshold}, {Do::Set, ICAP_XFERMECH, page.mechanism}, {Do::Enable},
                  {Do::Signal, 0, 0, READY}, {Do::Info, 97, 64}, {Do::Transfer, page.mechanism, page.format},
                  {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}});
    }
    host.Run({{Do::Close}});
}

// Many pages in one session. Without our window a host asking for three gets three fresh frames, each taken after
// the transfer before it ended; with the window each Capture is one page, for as long as the window stays, or
// until the pages asked for are done.
TEST(DirectSource, ManyPagesInOneSession) {
    const std::wstring queue = L"snapward-testpattern:rgb24?name=pages&queue=30";
    SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", queue.c_str());
    auto unlisted = ScopeExit([] { SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", nullptr); });
    auto choice = ChooseCamera(queue);
    Session host(L"Orvendel-testcam.ds");
    host.Run({{Do::Open}, {Do::Set, CAP_XFERCOUNT, 3}, {Do::Enable}, {Do::Signal, 0, 0, READY},
              {Do::Pending, MSG_GET, 3}, {Do::Transfer, TWSX_NATIVE, 0}, {Do::Pending, MSG_ENDXFER, 2},
              {Do::Transfer, TWSX_NATIVE, 0}, {Do::Pending, MSG_ENDXFER, 1}, {Do::Transfer, TWSX_NATIVE, 0},
              {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}});
    ASSERT_EQ(host.counters.size(), 3u);
    for (size_t page = 1; page < 3; ++page) {
        EXPECT_GE(int32_t(host.counters[page] - host.endedAt[page - 1]), 0) << "page " << page << " is older";
    }
    const std::vector<Step> page = {{Do::Capture, 1, 1}, {Do::Signal, 0, 0, READY}, {Do::Transfer, TWSX_NATIVE, 0},
                                    {Do::Pending, MSG_ENDXFER, 0}};
    for (const auto& [asked, pages] : {std::pair{TW_UINT32(-1), 3}, {2, 2}}) {
        host.Run({{Do::Set, CAP_XFERCOUNT, asked}, {Do::Enable, 1}});
        for (int i = 0; i < pages; ++i) host.Run(page);
        // Any number: the user closes the window. Two: the source asks to be closed after the second.
        if (pages == 3) host.Run({{Do::CloseBox}});
        host.Run({{Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}});
    }
    host.Run({{Do::Close}});
    EXPECT_EQ(host.signals, (std::vector<TW_UINT16>{READY, CLOSE_REQUEST, READY, READY, READY, CLOSE_REQUEST, READY,
                                                    READY, CLOSE_REQUEST}));
}

// The source outlives the manager that gave it entry points. A later session through a 1.x manager, which gives
// none, must not call the old one's memory functions or hand it signals: its image comes all the same.
TEST(DirectSource, ALaterSessionNeverCallsAManagerThatHasGone) {
    auto rgb = ChooseCamera(TestPatternCameras()[3].symbolicLink);
    {
        Session first(L"Orvendel-testcam.ds");
        first.Run({{Do::Open}, {Do::Current, CAP_DEVICEONLINE, 1}, {Do::Close}});
        EXPECT_EQ(fake.allocations, 1);
    }
    Session second(L"Orvendel-testcam.ds");
    second.Run({{Do::Open, 1}, {Do::Current, CAP_DEVICEONLINE, 1}, {Do::Enable}, {Do::Signal, 0, 0, READY},
                {Do::Transfer, TWSX_NATIVE, 0}, {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST},
                {Do::Disable}, {Do::Close}});
    EXPECT_EQ(fake.allocations, 0);
    EXPECT_TRUE(fake.deliveries.empty());
    EXPECT_EQ(second.signals, (std::vector<TW_UINT16>{READY, CLOSE_REQUEST}));
}

// A manager that forgot an earlier session opens the source again, in whatever state it was left: a 2.x manager
// hands its entry points over first, and the new session's signals and memory come through them; a 1.x manager
// hands none, and the new session leaves the old manager alone.
TEST(DirectSource, AReopenedSourceKeepsTheEntryPointsHandedOverForIt) {
    auto rgb = ChooseCamera(TestPatternCameras()[3].symbolicLink);
    const struct {
        std::vector<Step> left;  // the earlier session, as far as it got
        TW_UINT32 withoutEntryPoints;
    } cases[] = {
        {{{Do::Open}}, 0},
        {{{Do::Open}, {Do::Set, ICAP_XFERMECH, TWSX_MEMORY}, {Do::Enable}, {Do::Signal, 0, 0, READY},
          {Do::Transfer, TWSX_MEMORY, 0}},
         0},
        {{{Do::Open}, {Do::Enable}}, 1},  // its grab is stale once reopened
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.left.size() << " steps, without: " << c.withoutEntryPoints);
        Session host(L"Orvendel-testcam.ds");
        host.Run(c.left);
        host.Run({{Do::Open, c.withoutEntryPoints}, {Do::Current, ICAP_XFERMECH, TWSX_NATIVE}, {Do::Enable},
                  {Do::Signal, 0, 0, READY}, {Do::Transfer, TWSX_NATIVE, 0}, {Do::Pending, MSG_ENDXFER, 0},
                  {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}});
        // The stand-in started afresh with the reopen: what it saw is the new session's.
        EXPECT_EQ(fake.deliveries.size(), c.withoutEntryPoints ? 0u : 2u);
        EXPECT_EQ(fake.allocations, c.withoutEntryPoints ? 0 : 1);
        host.Run({{Do::Close}});
    }
}

// A strip goes only where the host's buffer has room: into place up to the Length given, through a handle up to
// the smaller of that and the block, which a host may overstate. Room for less than one row is refused, and the
// strip after it starts where the last one ended.
TEST(DirectSource, MemoryStripsStayInsideTheBufferTheHostGave) {
    auto rgb = ChooseCamera(TestPatternCameras()[3].symbolicLink);
    Session host(L"Orvendel-testcam.ds");
    host.Run({{Do::Open}, {Do::Set, ICAP_XFERMECH, TWSX_MEMORY}, {Do::Enable}, {Do::Signal, 0, 0, READY},
              {Do::Info, 1280, 720}});
    const TW_UINT32 row = RgbRowBytes(1280);
    const struct {
        TW_UINT32 block;   // bytes of the handle's block; 0: into place, in room for 16 rows
        TW_UINT32 length;  // what the host says it gave
        TW_UINT32 rows;    // written; 0: refused
    } strips[] = {
        {2 * row, 10 * row, 2}, {3 * row, row, 1}, {row / 2, 4 * row, 0}, {row - 1, row, 0},
        {row + row / 2, 16 * row, 1}, {0, row - 1, 0}, {0, 2 * row + 1, 2}, {0, 16 * row, 16},
    };
    std::vector<uint8_t> place(16 * row);
    TW_UINT32 done = 0;
    for (const auto& strip : strips) {
        SCOPED_TRACE(testing::Message() << strip.block << " " << strip.length);
        UniqueGlobal block(strip.block ? GlobalAlloc(GHND, strip.block) : nullptr);
        ASSERT_EQ(GlobalSize(block.get()), strip.block);
        TW_IMAGEMEMXFER transfer{};
        transfer.Memory = {TWMF_APPOWNS | (strip.block ? TWMF_HANDLE : TWMF_POINTER), strip.length,
                           strip.block ? TW_MEMREF(block.get()) : place.data()};
        const TW_UINT16 outcome = host.Outcome(host.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &transfer));
        EXPECT_EQ(outcome, strip.rows ? OK : TWCC_BADVALUE);
        if (strip.rows) {
            EXPECT_EQ(transfer.Rows * 10000 + transfer.YOffset, strip.rows * 10000 + done);
            EXPECT_EQ(transfer.BytesWritten, strip.rows * row);
        }
        done += strip.rows;
    }
    host.Run({{Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::Close}});
}

// A modal session holds the host's window while ours is up, and gives it back however ours goes; a modeless one
// leaves it alone. A host thread that never started COM still gets its PNG file: the imaging component runs on the
// source's own thread.
TEST(DirectSource, AModalWindowHoldsTheHostsWindowAndFilesNeedNoComOnTheHostsThread) {
    auto rgb = ChooseCamera(TestPatternCameras()[3].symbolicLink);
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "orvendel-nocom.png";
    HRESULT apartment = E_FAIL;
    std::thread([&] {
        Session host(L"Orvendel-testcam.ds");
        host.Run({{Do::Open}, {Do::Enable, 1, 1}, {Do::HostWindow, 0}, {Do::CloseBox},
                  {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::HostWindow, 1}, {Do::Enable, 1, 0},
                  {Do::HostWindow, 1}, {Do::Disable}, {Do::Set, ICAP_XFERMECH, TWSX_FILE}, {Do::Enable},
                  {Do::Signal, 0, 0, READY}});
        TW_SETUPFILEXFER setup{{}, TWFF_PNG, 0};
        std::strcpy(setup.FileName, file.string().c_str());
        host.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
        EXPECT_EQ(host.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
        // S_OK only where nobody has put the thread into an apartment.
        apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(apartment)) CoUninitialize();
        host.Run({{Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::Close}});
    }).join();
    EXPECT_EQ(apartment, S_OK);
    uint32_t counter = 0;
    EXPECT_TRUE(MatchesTestPattern(ReadPictureFile(file.wstring()), 0, counter));
    std::filesystem::remove(file);
}

// The picture size the program's user saved for the saved camera is the one the source takes without its window:
// the layout says so before anything streams, and the transfer is that whole picture. Another camera would start
// from its own default. A clip listed as a file camera, read through Media Foundation on the source's camera thread,
// is acquired as its picture.
TEST(DirectSource, TheSavedCameraIsAcquiredAtItsSavedPictureSize) {
    const std::filesystem::path clips = std::filesystem::temp_directory_path() / "orvendel-clips";
    std::filesystem::create_directories(clips);
    auto removed = ScopeExit([clips] { std::error_code ignored; std::filesystem::remove_all(clips, ignored); });
    const std::wstring clip = test_clips::WriteClip(clips.wstring(), PixelFormat::YUY2);
    ASSERT_FALSE(clip.empty());
    const std::wstring frameServer = L"snapward-testpattern:nv12?modes=frameserver&name=Server";
    SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", (frameServer + L";" + clip).c_str());
    auto unlisted = ScopeExit([] { SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", nullptr); });
    std::wstring savedInAnotherCase = frameServer;  // Windows hands the same link back in another case
    for (wchar_t& c : savedInAnotherCase) c = wchar_t(std::towupper(c));
    auto choice = ChooseCamera(savedInAnotherCase, L"1920x1080");
    Session host(L"Orvendel-testcam.ds");
    host.Run({{Do::Open}});
    TW_IMAGELAYOUT layout{};
    ASSERT_EQ(host.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    const TW_IMAGELAYOUT whole = LayoutFor({0, 0, 1920, 1080}, 96);
    EXPECT_EQ(std::memcmp(&layout.Frame, &whole.Frame, sizeof(TW_FRAME)), 0);
    host.Run({{Do::Enable}, {Do::Signal, 0, 0, READY}, {Do::Info, 1920, 1080}, {Do::Transfer, TWSX_NATIVE, 12},
              {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::Close}});
    auto fromClip = ChooseCamera(clip);
    Session played(L"Orvendel-testcam.ds");
    played.Run({{Do::Open}, {Do::Enable}, {Do::Signal, 0, 0, READY},
                {Do::Info, test_clips::CLIP_WIDTH, test_clips::CLIP_HEIGHT}, {Do::Transfer, TWSX_NATIVE, 4},
                {Do::Pending, MSG_ENDXFER, 0}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Disable}, {Do::Close}});
}

// The worker runs whatever camera task it is given; one that throws (an
// allocation for a huge frame) is a failed operation, not the end of the
// host, and the tasks after it still run.
TEST(CameraWorker, ATaskThatThrowsFailsAloneAndTheWorkerGoesOn) {
    CameraWorker worker;
    worker.Start();
    bool ran = false;
    worker.Post([](Camera&) { throw std::bad_alloc(); });
    worker.Run([](Camera&) { throw std::length_error("frame"); });
    worker.Run([&](Camera& camera) { ran = !camera.IsOpen(); });
    EXPECT_TRUE(ran);
    worker.Stop();
    worker.Run([&](Camera&) { ran = false; });  // a stopped worker runs nothing, and returns
    EXPECT_TRUE(ran);
}
