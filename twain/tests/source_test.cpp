// The data sources loaded directly, under a stand-in for a TWAIN 2.x manager:
// one that hands over its entry points and memory functions, and delivers the
// source's signals itself (as a callback would) instead of leaving them to
// MSG_PROCESSEVENT.

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "camera/devices.h"
#include "twain_app.h"

namespace {

struct Delivery {
    TW_UINT16 message;
    DWORD thread;
    bool duringTriplet;
    TW_UINT32 originId, destinationId;
};

// The stand-in manager's state; its functions are plain C entry points.
struct FakeManager {
    DSENTRYPROC source = nullptr;
    bool insideTriplet = false;
    std::vector<Delivery> deliveries;
    size_t taken = 0;
    int allocations = 0;
} fake;

TW_UINT16 TW_CALLINGSTYLE FakeDsmEntry(TW_IDENTITY* origin, TW_IDENTITY* destination, TW_UINT32 dg,
                                       TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    if (dg == DG_CONTROL && dat == DAT_NULL) {
        fake.deliveries.push_back({msg, GetCurrentThreadId(), fake.insideTriplet,
                                   origin ? origin->Id : 0, destination ? destination->Id : 0});
        return TWRC_SUCCESS;
    }
    fake.insideTriplet = true;
    TW_UINT16 result = fake.source(origin, dg, dat, msg, data);
    fake.insideTriplet = false;
    return result;
}

TW_HANDLE TW_CALLINGSTYLE FakeAllocate(TW_UINT32 size) {
    ++fake.allocations;
    return GlobalAlloc(GHND, size);
}
void TW_CALLINGSTYLE FakeFree(TW_HANDLE handle) { GlobalFree(handle); }
TW_MEMREF TW_CALLINGSTYLE FakeLock(TW_HANDLE handle) { return GlobalLock(handle); }
void TW_CALLINGSTYLE FakeUnlock(TW_HANDLE handle) { GlobalUnlock(handle); }

// Loads a built .ds file from the executable's folder, as a manager does, and
// opens it as a 2.x manager does: entry points first. The module is never
// unloaded: Wine's manager does not unload sources either, and a second load
// must find it as the first one left it.
TW_UINT16 OpenUnderFakeManager(const wchar_t* fileName, TwainApp& app) {
    fake = FakeManager{};
    HMODULE module = LoadLibraryW(fileName);
    FARPROC entry = module ? GetProcAddress(module, "DS_Entry") : nullptr;
    fake.source = reinterpret_cast<DSENTRYPROC>(reinterpret_cast<void*>(entry));
    if (!fake.source) return TWRC_FAILURE;
    app.app.Id = 4;
    app.source.Id = 9;
    app.fromManager = [] {
        return fake.taken < fake.deliveries.size() ? fake.deliveries[fake.taken++].message : MSG_NULL;
    };
    TW_ENTRYPOINT points{sizeof(TW_ENTRYPOINT), FakeDsmEntry, FakeAllocate, FakeFree, FakeLock,
                         FakeUnlock};
    TW_UINT16 result = app.Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points);
    return result == TWRC_SUCCESS ? app.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &app.source)
                                  : result;
}

}  // namespace

TEST(DirectSource, WithoutACameraEnablingFailsAndSaysWhy) {
    StartMediaFoundation();
    if (!EnumerateCameras().empty()) GTEST_SKIP() << "this machine has a camera";
    TwainApp app(FakeDsmEntry);
    ASSERT_EQ(OpenUnderFakeManager(L"Orvendel.ds", app), TWRC_SUCCESS)
        << "Orvendel.ds must export DS_Entry undecorated";
    EXPECT_EQ(app.Current(CAP_DEVICEONLINE), std::vector<TW_UINT32>{0});
    EXPECT_EQ(fake.allocations, 1);  // the container came from the manager's allocator
    // A second record of entry points, too short for the memory functions.
    TW_ENTRYPOINT shortRecord{4, FakeDsmEntry, nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(app.Refusal(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &shortRecord), TWCC_BADVALUE);
    EXPECT_EQ(app.Refusal(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, nullptr), TWCC_BADVALUE);
    EXPECT_EQ(app.Enable(false), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_CHECKDEVICEONLINE);
    EXPECT_EQ(FindSourceWindow(), nullptr);
    // Still open, not enabled: it closes normally.
    EXPECT_EQ(app.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWRC_SUCCESS);
    EXPECT_TRUE(fake.deliveries.empty());
}

TEST(DirectSource, A2xManagerGetsEachSignalOnceOnTheApplicationThread) {
    TwainApp app(FakeDsmEntry);
    ASSERT_EQ(OpenUnderFakeManager(L"Orvendel-testcam.ds", app), TWRC_SUCCESS);
    // Enabled and at once disabled: the grab still under way is stale, and
    // neither its image nor a signal for it reaches the application.
    ASSERT_EQ(app.Enable(false), TWRC_SUCCESS);
    ASSERT_EQ(app.Disable(), TWRC_SUCCESS);
    app.Pump(1500, false);
    EXPECT_EQ(app.Pending(MSG_GET), 0);

    ASSERT_EQ(app.Enable(false), TWRC_SUCCESS);
    EXPECT_TRUE(fake.deliveries.empty());  // nothing from inside the triplet
    ASSERT_EQ(app.Pump(), MSG_XFERREADY);
    TW_HANDLE dib = nullptr;
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
    EXPECT_TRUE(DibIsTestPattern(dib, 12));
    ASSERT_EQ(app.Pending(MSG_ENDXFER), 0);
    ASSERT_EQ(app.Pump(), MSG_CLOSEDSREQ);
    ASSERT_EQ(app.Disable(), TWRC_SUCCESS);
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWRC_SUCCESS);

    // Each signal came once, through the manager, from the application's
    // thread and outside any triplet, from the source to the application.
    EXPECT_EQ(app.signals, (std::vector<TW_UINT16>{MSG_XFERREADY, MSG_CLOSEDSREQ}));
    ASSERT_EQ(fake.deliveries.size(), 2u);
    for (const Delivery& delivery : fake.deliveries) {
        EXPECT_TRUE(delivery.thread == GetCurrentThreadId() && !delivery.duringTriplet);
        EXPECT_TRUE(delivery.originId == app.source.Id && delivery.destinationId == app.app.Id);
    }
}

TEST(DirectSource, ClosingOutOfOrderIsRefusedAndReopeningStartsAfresh) {
    TwainApp app(FakeDsmEntry);
    ASSERT_EQ(OpenUnderFakeManager(L"Orvendel-testcam.ds", app), TWRC_SUCCESS);
    ASSERT_EQ(app.Enable(true), TWRC_SUCCESS);
    ASSERT_NE(FindSourceWindow(), nullptr);
    EXPECT_EQ(app.Refusal(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWCC_SEQERROR);
    EXPECT_NE(FindSourceWindow(), nullptr);

    // A manager that opens the source again has forgotten the session (Wine's
    // does so after a refused close): the old one ends, window and all.
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &app.source), TWRC_SUCCESS);
    EXPECT_EQ(FindSourceWindow(), nullptr);
    EXPECT_EQ(app.SetCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
    EXPECT_EQ(app.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWRC_SUCCESS);
}
