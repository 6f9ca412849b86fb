#include "capture_test_support.h"

namespace {

bool IsOpenHandle(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

TEST(UniqueHandle, ClosesOnceAcrossMoveResetAndPutAndTakesInvalidFileHandlesForEmpty) {
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr), b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        UniqueKernelHandle first(a);
        UniqueKernelHandle second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), a);
        EXPECT_TRUE(IsOpenHandle(a));
        second.reset(b);
        EXPECT_FALSE(IsOpenHandle(a));
        *second.put() = nullptr;  // put() closes what was held before handing out the slot
        EXPECT_FALSE(IsOpenHandle(b));
        EXPECT_FALSE(second);
    }
    UniqueFile missing(CreateFileW(L"Z:\\no\\such\\dir\\file.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing);
}

TEST(SelectGuard, PutsThePreviousObjectBack) {
    UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    HGDIOBJ original = GetCurrentObject(dc.get(), OBJ_BRUSH);
    {
        SelectGuard select(dc.get(), GetStockObject(BLACK_BRUSH));
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BRUSH), GetStockObject(BLACK_BRUSH));
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BRUSH), original);
}

TEST(ScopeExit, RunsUnlessDismissed) {
    int runs = 0;
    ScopeExit([&] { ++runs; });
    ScopeExit([&] { runs += 10; }).Dismiss();
    EXPECT_EQ(runs, 1);
}

}  // namespace
