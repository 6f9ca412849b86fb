#include "ui/shell_open.h"

#include <objbase.h>
#include <shellapi.h>

#include <functional>
#include <string>
#include <system_error>
#include <thread>

namespace {

// ShellExecute is documented for a single-threaded apartment: shell extensions
// it may load are apartment-threaded COM objects. The UI thread lives in the
// multithreaded apartment that Media Foundation wants, so a thread of its own
// gets one, without OLE 1 DDE, which ShellExecute does not need.
void InShellApartment(const std::function<void()>& work) {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    work();
    if (SUCCEEDED(com)) CoUninitialize();
}

}  // namespace

bool OpenInShell(const wchar_t* url, ShellOpenFunction open) {
    if (!open) open = ShellExecuteW;
    // The UI thread does not wait for a browser to start.
    try {
        std::thread([target = std::wstring(url), open] {
            InShellApartment([&] { open(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL); });
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool RunInShellApartment(const std::function<void()>& work) {
    try {
        std::thread([&work] { InShellApartment(work); }).join();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}
