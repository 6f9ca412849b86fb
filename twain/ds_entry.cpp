#include <windows.h>

#include "camera/devices.h"
#include "data_source.h"

namespace {
#if defined(SNAPWARD_TWAIN_TESTCAM)
void AddTestCameras() { EnableTestPatternCameras(); }
constexpr void (*TEST_CAMERAS)() = AddTestCameras;
#else
constexpr void (*TEST_CAMERAS)() = nullptr;
#endif
}  // namespace

namespace {

HINSTANCE module = nullptr;
DataSource* made = nullptr;

DataSource& Source() {
    static DataSource source(module, TEST_CAMERAS);
    made = &source;
    return source;
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
        return Source().Fail(TWCC_LOWMEMORY);
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        module = instance;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && made) {
        // Unloaded or the process ends with the source still open: joining
        // the camera thread here would wait under the loader lock.
        made->Abandon();
    }
    return TRUE;
}
