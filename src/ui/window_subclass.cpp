#include "ui/window_subclass.h"

#include "platform/system_library.h"

namespace {

struct CommonControls {
    decltype(&::SetWindowSubclass) subclass = nullptr;
    decltype(&::RemoveWindowSubclass) unsubclass = nullptr;
    decltype(&::DefSubclassProc) defaultProc = nullptr;
};

template <typename Function>
void Resolve(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Loaded once and kept: subclassed windows call back into it until they die.
const CommonControls& Controls() {
    static const CommonControls controls = [] {
        CommonControls found;
        if (const HMODULE module = LoadSystemLibrary(L"comctl32.dll")) {
            Resolve(module, "SetWindowSubclass", found.subclass);
            Resolve(module, "RemoveWindowSubclass", found.unsubclass);
            Resolve(module, "DefSubclassProc", found.defaultProc);
        }
        // All three or none: a window subclassed without the others would
        // never reach its own procedure again.
        if (!found.subclass || !found.unsubclass || !found.defaultProc) found = {};
        return found;
    }();
    return controls;
}

}  // namespace

bool SubclassWindow(HWND window, SUBCLASSPROC procedure, UINT_PTR id, DWORD_PTR data) {
    return Controls().subclass && Controls().subclass(window, procedure, id, data);
}

void UnsubclassWindow(HWND window, SUBCLASSPROC procedure, UINT_PTR id) {
    if (Controls().unsubclass) Controls().unsubclass(window, procedure, id);
}

LRESULT DefaultSubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Only reached from a procedure that SubclassWindow installed, so the
    // common controls are there.
    return Controls().defaultProc(window, message, wParam, lParam);
}
