#include <windows.h>

#include <memory>

#include "camera/devices.h"
#include "data_source.h"

namespace {
#if defined(SNAPWARD_TWAIN_TESTCAM)
void AddTestCameras() { EnableTestPatternCameras(); }
constexpr void (*TEST_CAMERAS)() = AddTestCameras;
#else
constexpr void (*TEST_CAMERAS)() = nullptr;
#endif

HINSTANCE module = nullptr;
// Made on first use, on the application's thread. Not a function-local
// static: its destructor must not run at process exit (see DllMain).
std::unique_ptr<DataSource> source;

DataSource& Source() {
    if (!source) source = std::make_unique<DataSource>(module, TEST_CAMERAS);
    return *source;
}

}  // namespace

extern "C" TW_UINT16 TW_CALLINGSTYLE DS_Entry(TW_IDENTITY* origin, TW_UINT32 dg, TW_UINT16 dat,
                                              TW_UINT16 msg, TW_MEMREF data) {
    // The caller is the host application's manager: an exception from the
    // standard library (an allocation, a thread that cannot start) must end
    // here as a failed triplet rather than unwind through its frames.
    try {
        return Source().Entry(origin, dg, dat, msg, data);
    } catch (...) {
        return source ? source->Fail(TWCC_LOWMEMORY) : TWRC_FAILURE;
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        module = instance;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && source) {
        if (reserved) {
            // The process is ending and its other threads are already gone,
            // perhaps in the middle of holding one of our locks (the preview
            // copy holds one a few percent of the time). Touch nothing: the
            // system takes back memory, windows and handles.
            static_cast<void>(source.release());
        } else {
            // FreeLibrary of a source never opened (an open pins the module):
            // no thread, no window. Should one exist all the same, joining
            // it here would wait under the loader lock, so leave it.
            source->Abandon();
            source.reset();
        }
    }
    return TRUE;
}
