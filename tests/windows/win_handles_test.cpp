#include <gtest/gtest.h>

#include "platform/win_handles.h"

namespace {

bool IsOpenHandle(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

TEST(UniqueHandle, ClosesOnceAcrossMoveResetAndPut) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(raw);
    {
        UniqueKernelHandle first(raw);
        UniqueKernelHandle second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), raw);
        EXPECT_TRUE(IsOpenHandle(raw));
    }
    EXPECT_FALSE(IsOpenHandle(raw));

    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UniqueKernelHandle holder(a);
    holder.reset(b);
    EXPECT_FALSE(IsOpenHandle(a));
    *holder.put() = nullptr;  // put() closes what was held before handing out the slot
    EXPECT_FALSE(IsOpenHandle(b));
    EXPECT_FALSE(holder);
}

TEST(UniqueHandle, FileTreatsInvalidHandleValueAsEmpty) {
    UniqueFile missing(CreateFileW(L"Z:\\no\\such\\dir\\file.bin", GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.get(), INVALID_HANDLE_VALUE);
}

TEST(GlobalLockGuard, UnlocksOnScopeEnd) {
    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, 16));
    ASSERT_TRUE(block);
    {
        GlobalLockGuard lock(block.get());
        ASSERT_NE(lock.data(), nullptr);
        EXPECT_EQ(GlobalFlags(block.get()) & GMEM_LOCKCOUNT, 1u);
    }
    EXPECT_EQ(GlobalFlags(block.get()) & GMEM_LOCKCOUNT, 0u);
    GlobalLockGuard none(nullptr);
    EXPECT_EQ(none.data(), nullptr);
}

TEST(ClipboardGuard, ClosesTheClipboardItOpened) {
    {
        ClipboardGuard clipboard(nullptr);
        ASSERT_TRUE(clipboard.opened());
    }
    // Had the guard left it open, this thread could still open it, but
    // CloseClipboard would then succeed twice; GetOpenClipboardWindow tells.
    EXPECT_EQ(GetOpenClipboardWindow(), nullptr);
    ClipboardGuard again(nullptr);
    EXPECT_TRUE(again.opened());
}

TEST(SelectGuard, PutsThePreviousObjectBack) {
    UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc);
    HGDIOBJ original = GetCurrentObject(dc.get(), OBJ_BRUSH);
    {
        SelectGuard select(dc.get(), GetStockObject(BLACK_BRUSH));
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BRUSH), GetStockObject(BLACK_BRUSH));
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BRUSH), original);
}

TEST(ScopeExit, RunsUnlessDismissed) {
    int runs = 0;
    {
        ScopeExit count([&] { ++runs; });
    }
    {
        ScopeExit count([&] { ++runs; });
        count.Dismiss();
    }
    EXPECT_EQ(runs, 1);
}

}  // namespace
