// The data sources loaded directly, under a stand-in for a TWAIN 2.x manager:
// one that hands over its entry points and memory functions, and delivers the
// source's signals itself (as a callback would) instead of leaving them to
// MSG_PROCESSEVENT.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "camera/devices.h"
#include "camera/test_pattern.h"
#include "twain_app.h"

namespace {

constexpr DWORD SIGNAL_TIMEOUT_MS = 20000;
constexpr TW_UINT32 SOURCE_ID = 9;
constexpr TW_UINT32 APP_ID = 4;

struct Delivery {
    TW_UINT16 message = MSG_NULL;
    DWORD thread = 0;
    bool duringTriplet = false;
    TW_UINT32 originId = 0;
    TW_UINT32 destinationId = 0;
};

// The stand-in manager's state; its functions are plain C entry points.
struct FakeManager {
    DSENTRYPROC source = nullptr;
    int insideTriplet = 0;
    std::vector<Delivery> deliveries;
    size_t taken = 0;
    int allocations = 0;
} fake;

TW_UINT16 TW_CALLINGSTYLE FakeDsmEntry(TW_IDENTITY* origin, TW_IDENTITY* destination, TW_UINT32 dg,
                                       TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    if (dg == DG_CONTROL && dat == DAT_NULL) {
        Delivery delivery;
        delivery.message = msg;
        delivery.thread = GetCurrentThreadId();
        delivery.duringTriplet = fake.insideTriplet > 0;
        delivery.originId = origin ? origin->Id : 0;
        delivery.destinationId = destination ? destination->Id : 0;
        fake.deliveries.push_back(delivery);
        return TWRC_SUCCESS;
    }
    if (!destination || !fake.source) return TWRC_FAILURE;
    ++fake.insideTriplet;
    TW_UINT16 result = fake.source(origin, dg, dat, msg, data);
    --fake.insideTriplet;
    return result;
}

TW_HANDLE TW_CALLINGSTYLE FakeAllocate(TW_UINT32 size) {
    ++fake.allocations;
    return GlobalAlloc(GHND, size);
}
void TW_CALLINGSTYLE FakeFree(TW_HANDLE handle) {
    GlobalFree(handle);
}
TW_MEMREF TW_CALLINGSTYLE FakeLock(TW_HANDLE handle) {
    return GlobalLock(handle);
}
void TW_CALLINGSTYLE FakeUnlock(TW_HANDLE handle) {
    GlobalUnlock(handle);
}

// One of the built .ds files, loaded as a manager loads it.
class LoadedSource {
public:
    explicit LoadedSource(const wchar_t* fileName) {
        module_ = LoadLibraryW((ExecutableFolder() + L"\\" + fileName).c_str());
        FARPROC entry = module_ ? GetProcAddress(module_, "DS_Entry") : nullptr;
        entry_ = reinterpret_cast<DSENTRYPROC>(reinterpret_cast<void*>(entry));
    }
    DSENTRYPROC entry() const { return entry_; }

private:
    // Never unloaded: Wine's manager does not unload sources either, and a
    // second load must find the module as the first one left it.
    HMODULE module_ = nullptr;
    DSENTRYPROC entry_ = nullptr;
};

// Opens `entry`'s source as a 2.x manager would: entry points first.
TW_UINT16 OpenUnderFakeManager(DSENTRYPROC entry, TwainApp& app) {
    fake = FakeManager{};
    fake.source = entry;
    app.app.Id = APP_ID;
    app.source = TW_IDENTITY{};
    app.source.Id = SOURCE_ID;
    TW_ENTRYPOINT points{sizeof(TW_ENTRYPOINT), FakeDsmEntry, FakeAllocate, FakeFree, FakeLock,
                         FakeUnlock};
    TW_UINT16 result = entry(&app.app, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points);
    if (result != TWRC_SUCCESS) return result;
    return entry(&app.app, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &app.source);
}

// Reads and closes the "Snapward" message boxes of one thread.
class BoxReader {
public:
    explicit BoxReader(DWORD thread) : thread_(thread), worker_([this] { Run(); }) {}
    std::vector<std::wstring> Finish() {
        stop_ = true;
        worker_.join();
        return texts_;
    }

private:
    static BOOL CALLBACK Find(HWND window, LPARAM found) {
        wchar_t className[16] = {};
        wchar_t caption[32] = {};
        GetClassNameW(window, className, 16);
        GetWindowTextW(window, caption, 32);
        if (IsWindowVisible(window) && wcscmp(className, L"#32770") == 0 &&
            wcscmp(caption, L"Snapward") == 0) {
            *reinterpret_cast<HWND*>(found) = window;
            return FALSE;
        }
        return TRUE;
    }
    static BOOL CALLBACK Text(HWND child, LPARAM text) {
        wchar_t buffer[512] = {};
        GetWindowTextW(child, buffer, 512);
        auto* longest = reinterpret_cast<std::wstring*>(text);
        if (wcslen(buffer) > longest->size()) *longest = buffer;
        return TRUE;
    }
    void Run() {
        while (!stop_) {
            HWND box = nullptr;
            EnumThreadWindows(thread_, Find, reinterpret_cast<LPARAM>(&box));
            if (!box) {
                Sleep(20);
                continue;
            }
            std::wstring text;
            EnumChildWindows(box, Text, reinterpret_cast<LPARAM>(&text));
            texts_.push_back(text);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
            for (int i = 0; i < 250 && IsWindow(box); ++i) Sleep(20);
        }
    }

    DWORD thread_;
    std::atomic<bool> stop_{false};
    std::vector<std::wstring> texts_;
    std::thread worker_;
};

}  // namespace

TEST(DirectSource, TellsItsIdentityBeforeBeingOpened) {
    LoadedSource loaded(L"Orvendel.ds");
    ASSERT_NE(loaded.entry(), nullptr) << "Orvendel.ds must export DS_Entry undecorated";

    // Managers ask before opening, some with an origin that means nothing.
    TW_IDENTITY identity{};
    identity.Id = 77;
    ASSERT_EQ(loaded.entry()(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity), TWRC_SUCCESS);
    EXPECT_EQ(identity.Id, 77u);
    EXPECT_STREQ(identity.ProductName, "Snapward");
    EXPECT_STREQ(identity.Manufacturer, "Quillmere");
    EXPECT_EQ(identity.Version.MajorNum, 1);
    EXPECT_EQ(identity.Version.MinorNum, 0);
    EXPECT_EQ(identity.ProtocolMajor, 2);
    EXPECT_EQ(identity.SupportedGroups, DG_CONTROL | DG_IMAGE | DF_DS2);

    // Nothing else before it is opened.
    TW_STATUS status{};
    EXPECT_EQ(loaded.entry()(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity), TWRC_FAILURE);
    ASSERT_EQ(loaded.entry()(nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
    EXPECT_EQ(status.ConditionCode, TWCC_SEQERROR);
    TW_CAPABILITY capability{ICAP_XFERMECH, TWON_DONTCARE16, nullptr};
    EXPECT_EQ(loaded.entry()(nullptr, DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability), TWRC_FAILURE);
    ASSERT_EQ(loaded.entry()(nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
    EXPECT_EQ(status.ConditionCode, TWCC_SEQERROR);
    // An entry point record too short for the functions is refused.
    TW_ENTRYPOINT shortRecord{4, FakeDsmEntry, nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(loaded.entry()(nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &shortRecord), TWRC_FAILURE);
    ASSERT_EQ(loaded.entry()(nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
    EXPECT_EQ(status.ConditionCode, TWCC_BADVALUE);
}

TEST(DirectSource, WithoutACameraEnablingFailsAndSaysWhy) {
    StartMediaFoundation();
    if (!EnumerateCameras().empty()) GTEST_SKIP() << "this machine has a camera";

    LoadedSource loaded(L"Orvendel.ds");
    ASSERT_NE(loaded.entry(), nullptr);
    TwainApp app(FakeDsmEntry);
    ASSERT_EQ(OpenUnderFakeManager(loaded.entry(), app), TWRC_SUCCESS);

    CapContainer online;
    ASSERT_EQ(app.GetCap(CAP_DEVICEONLINE, MSG_GETCURRENT, online), TWRC_SUCCESS);
    EXPECT_EQ(online.items, std::vector<TW_UINT32>{0});
    // Containers for the application come from the manager's allocator.
    EXPECT_EQ(fake.allocations, 1);

    EXPECT_EQ(app.Enable(false), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_CHECKDEVICEONLINE);

    BoxReader reader(GetCurrentThreadId());
    EXPECT_EQ(app.Enable(true), TWRC_FAILURE);
    std::vector<std::wstring> texts = reader.Finish();
    EXPECT_EQ(app.Condition(), TWCC_CHECKDEVICEONLINE);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find(L"No camera was found."), std::wstring::npos);
    EXPECT_EQ(FindSourceWindow(), nullptr);

    // Still open, not enabled: it closes normally.
    EXPECT_EQ(app.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWRC_SUCCESS);
    EXPECT_TRUE(fake.deliveries.empty());
}

TEST(DirectSource, A2xManagerGetsTheSignalsOnTheApplicationThread) {
    LoadedSource loaded(L"Orvendel-testcam.ds");
    ASSERT_NE(loaded.entry(), nullptr);
    TwainApp app(FakeDsmEntry);
    ASSERT_EQ(OpenUnderFakeManager(loaded.entry(), app), TWRC_SUCCESS);
    app.fromManager = [] {
        if (fake.taken >= fake.deliveries.size()) return MSG_NULL;
        return fake.deliveries[fake.taken++].message;
    };

    ASSERT_EQ(app.Enable(false), TWRC_SUCCESS);
    EXPECT_TRUE(fake.deliveries.empty());
    ASSERT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_XFERREADY);

    TW_HANDLE dib = nullptr;
    ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
    CapturedFrame frame = FrameFromDib(static_cast<HGLOBAL>(dib));
    GlobalFree(dib);
    uint32_t counter = 0;
    EXPECT_TRUE(MatchesTestPattern(frame, 12, counter));
    TW_PENDINGXFERS pending{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    ASSERT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_CLOSEDSREQ);
    TW_USERINTERFACE ui{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWRC_SUCCESS);

    // Each signal came once, through the manager, from the application's
    // thread and outside any triplet, from the source to the application.
    EXPECT_EQ(app.signals, (std::vector<TW_UINT16>{MSG_XFERREADY, MSG_CLOSEDSREQ}));
    ASSERT_EQ(fake.deliveries.size(), 2u);
    for (const Delivery& delivery : fake.deliveries) {
        EXPECT_EQ(delivery.thread, GetCurrentThreadId());
        EXPECT_FALSE(delivery.duringTriplet);
        EXPECT_EQ(delivery.originId, SOURCE_ID);
        EXPECT_EQ(delivery.destinationId, APP_ID);
    }
}

TEST(DirectSource, DisablingWhileAGrabRunsDropsItsImage) {
    LoadedSource loaded(L"Orvendel-testcam.ds");
    TwainApp app(FakeDsmEntry);
    ASSERT_EQ(OpenUnderFakeManager(loaded.entry(), app), TWRC_SUCCESS);
    app.fromManager = [] {
        if (fake.taken >= fake.deliveries.size()) return MSG_NULL;
        return fake.deliveries[fake.taken++].message;
    };
    // Enabled and at once disabled: the grab still under way is stale, and
    // neither its image nor a signal for it reaches the application.
    ASSERT_EQ(app.Enable(false), TWRC_SUCCESS);
    TW_USERINTERFACE ui{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    app.Pump(1500);
    EXPECT_TRUE(app.signals.empty());
    TW_PENDINGXFERS pending{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0);

    // Enabled again, it works as before.
    ASSERT_EQ(app.Enable(false), TWRC_SUCCESS);
    ASSERT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_XFERREADY);
    TW_PENDINGXFERS reset{};
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &reset), TWRC_SUCCESS);
    EXPECT_EQ(reset.Count, 0);
    ASSERT_EQ(app.WaitForSignal(SIGNAL_TIMEOUT_MS), MSG_CLOSEDSREQ);
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWRC_SUCCESS);
}

TEST(DirectSource, ClosingOutOfOrderIsRefusedAndReopeningStartsAfresh) {
    LoadedSource loaded(L"Orvendel-testcam.ds");
    TwainApp app(FakeDsmEntry);
    ASSERT_EQ(OpenUnderFakeManager(loaded.entry(), app), TWRC_SUCCESS);
    ASSERT_EQ(app.Enable(true), TWRC_SUCCESS);
    ASSERT_NE(FindSourceWindow(), nullptr);

    EXPECT_EQ(app.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);
    EXPECT_NE(FindSourceWindow(), nullptr);

    // A manager that opens the source again has forgotten the session (Wine's
    // does so after a refused close): the old one ends, window and all.
    ASSERT_EQ(app.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &app.source), TWRC_SUCCESS);
    EXPECT_EQ(FindSourceWindow(), nullptr);
    EXPECT_EQ(app.SetCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
    EXPECT_EQ(app.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &app.source), TWRC_SUCCESS);
    EXPECT_TRUE(app.signals.empty());
}
