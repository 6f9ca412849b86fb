// Where the program meets other programs and other rights: the single-instance
// mark left by an instance at other rights, and the shell called from a thread
// in the apartment it is documented for.

#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "app/single_instance.h"
#include "capture_test_support.h"
#include "ui/shell_open.h"

namespace {

// A mutex as another instance would leave it, with this security: "D:" allows nobody anything, as a mutex of a
// higher integrity level does for a plain process; "D:(A;;0x100000;;;WD)" allows only waiting on it (SYNCHRONIZE).
UniqueKernelHandle MutexWithSecurity(const wchar_t* name, const wchar_t* sddl) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return {};
    attributes.lpSecurityDescriptor = descriptor;
    UniqueKernelHandle mutex(CreateMutexW(&attributes, FALSE, name));
    LocalFree(descriptor);
    return mutex;
}

// The first claim is the first instance, a second finds it, and once the first has gone the name is free again. An
// instance whose mutex this one may only wait on, or not open at all, is running all the same.
TEST(SingleInstance, AnInstanceAtOtherRightsCountsAsRunning) {
    const std::wstring name = L"SnapwardTest_Single_" + std::to_wstring(GetCurrentProcessId());
    UniqueKernelHandle first, second;
    EXPECT_EQ(ClaimSingleInstance(name.c_str(), first), InstanceClaim::First);
    EXPECT_EQ(ClaimSingleInstance(name.c_str(), second), InstanceClaim::AlreadyRunning);
    EXPECT_FALSE(second);
    first.reset();
    EXPECT_EQ(ClaimSingleInstance(name.c_str(), second), InstanceClaim::First);
    second.reset();
    for (const wchar_t* sddl : {L"D:(A;;0x100000;;;WD)", L"D:"}) {
        const std::wstring guarded = name + L"_" + std::to_wstring(wcslen(sddl));
        UniqueKernelHandle other = MutexWithSecurity(guarded.c_str(), sddl);
        ASSERT_TRUE(other) << GetLastError();
        UniqueKernelHandle mine;
        EXPECT_EQ(ClaimSingleInstance(guarded.c_str(), mine), InstanceClaim::AlreadyRunning) << sddl;
    }
    // A name taken by another kind of object is no instance of ours: run on.
    const std::wstring squatted = name + L"_event";
    UniqueKernelHandle event(CreateEventW(nullptr, FALSE, FALSE, squatted.c_str()));
    UniqueKernelHandle mine;
    EXPECT_EQ(ClaimSingleInstance(squatted.c_str(), mine), InstanceClaim::Unknown);
}

std::atomic<HRESULT> apartmentSeen{E_UNEXPECTED};
std::wstring fileSeen;
HANDLE opened = nullptr;
HINSTANCE WINAPI RecordShellOpen(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR, LPCWSTR, INT) {
    // S_FALSE: this thread is in a single-threaded apartment already.
    const HRESULT again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(again)) CoUninitialize();
    fileSeen = std::wstring(verb) + L" " + file;
    apartmentSeen = again;
    SetEvent(opened);
    return reinterpret_cast<HINSTANCE>(33);
}

// The shell is called with the page, from a thread in a single-threaded apartment, while the caller (in the
// multithreaded one, as the program's UI thread) goes on.
TEST(ShellOpen, RunsInASingleThreadedApartmentOffTheCallersThread) {
    const HRESULT mine = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    UniqueKernelHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    opened = done.get();
    ASSERT_TRUE(OpenInShell(L"https://example.test/page", RecordShellOpen));
    ASSERT_EQ(WaitForSingleObject(done.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(apartmentSeen.load(), S_FALSE);
    EXPECT_EQ(fileSeen, L"open https://example.test/page");
    // The elevated start waits for the shell: done by the time the call returns.
    apartmentSeen = E_UNEXPECTED;
    DWORD thread = GetCurrentThreadId();
    ASSERT_TRUE(RunInShellApartment([&] {
        thread = GetCurrentThreadId();
        RecordShellOpen(nullptr, L"runas", L"cmd.exe", nullptr, nullptr, SW_HIDE);
    }));
    EXPECT_EQ(apartmentSeen.load(), S_FALSE);
    EXPECT_NE(thread, GetCurrentThreadId());
    if (SUCCEEDED(mine)) CoUninitialize();
}

}  // namespace
