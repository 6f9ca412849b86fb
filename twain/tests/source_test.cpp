// The data sources loaded directly, under the stand-in for a TWAIN 2.x manager.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
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

// A camera pulled out after its first frame, without our window: the failed
// grab ends in a close request with nothing to transfer, not in a crash.
TEST(DirectSource, ACameraFailingMidSessionEndsInACloseRequest) {
    const std::wstring unplugged = L"snapward-testpattern:rgb24?unplug=1";
    SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", unplugged.c_str());  // listed by the testcam build
    auto unlisted = ScopeExit([] { SetEnvironmentVariableW(L"SNAPWARD_TEST_CAMERAS", nullptr); });
    auto choice = ChooseCamera(unplugged);
    Session host(L"Orvendel-testcam.ds");
    host.Run({{Do::Open}, {Do::Enable}, {Do::Signal, 0, 0, CLOSE_REQUEST}, {Do::Pending, MSG_GET, 0},
              {Do::Refuse, NATIVE_XFER, 0, TWCC_SEQERROR}, {Do::Disable}, {Do::Close}});
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
    auto choice = ChooseCamera(frameServer, L"1920x1080");
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
