#include "camera/devices.h"

#include <windows.h>

#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "camera/device_changes_win.h"
#include "camera/media_foundation_win.h"

namespace {

std::atomic<const ExtraCameras*> extraCameras{nullptr};

// The interface classes under which Windows announces video capture devices:
// the camera class of Windows 10 and the capture class of earlier versions.
constexpr GUID CAMERA_INTERFACE_CLASSES[] = {
    {0xE5323777, 0xF976, 0x4F5B, {0x9B, 0x55, 0xB9, 0x46, 0x99, 0xC4, 0x6E, 0x44}},  // KSCATEGORY_VIDEO_CAMERA
    {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}},  // KSCATEGORY_CAPTURE
};

// Windows that listen, so that cameras of our own can announce themselves as
// the system announces real ones.
std::mutex listenersLock;
std::vector<HWND> listeners;

// Sent from a thread that may outlive the caller: the receiver only reads the header.
const DEV_BROADCAST_DEVICEINTERFACE_W ANNOUNCED_CHANGE = [] {
    DEV_BROADCAST_DEVICEINTERFACE_W change{};
    change.dbcc_size = sizeof(change);
    change.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    change.dbcc_classguid = CAMERA_INTERFACE_CLASSES[0];
    return change;
}();

}  // namespace

std::vector<CameraDevice> EnumerateCameras() {
    std::vector<CameraDevice> devices = EnumerateMediaFoundationCameras();
    if (const ExtraCameras* extra = extraCameras.load()) {
        std::vector<CameraDevice> more = extra->enumerate();
        devices.insert(devices.end(), more.begin(), more.end());
    }
    return devices;
}

std::unique_ptr<VideoReader> OpenCameraReader(const std::wstring& symbolicLink, CameraError& error) {
    const ExtraCameras* extra = extraCameras.load();
    if (extra && extra->owns(symbolicLink)) return extra->open(symbolicLink, error);
    return OpenMediaFoundationReader(symbolicLink, error);
}

void SetExtraCameras(const ExtraCameras* extra) { extraCameras.store(extra); }

CameraChangeNotifications::CameraChangeNotifications(HWND window) : window_(window) {
    if (!window_) return;
    for (size_t i = 0; i < std::size(CAMERA_INTERFACE_CLASSES); ++i) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = CAMERA_INTERFACE_CLASSES[i];
        registrations_[i].reset(RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
    }
    std::lock_guard<std::mutex> hold(listenersLock);
    listeners.push_back(window_);
}

CameraChangeNotifications::~CameraChangeNotifications() {
    if (!window_) return;
    std::lock_guard<std::mutex> hold(listenersLock);
    listeners.erase(std::remove(listeners.begin(), listeners.end(), window_), listeners.end());
}

bool IsCameraChange(WPARAM event, LPARAM data) {
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return false;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    return header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
}

void AnnounceCameraChange(bool arrived) {
    std::vector<HWND> windows;
    {
        std::lock_guard<std::mutex> hold(listenersLock);
        windows = listeners;
    }
    // Sent, as Windows sends it (a posted WM_DEVICECHANGE with a device
    // record is refused), and from a thread of its own: the caller may be a
    // camera's reading thread that the window's thread is waiting for.
    try {
        std::thread([windows, arrived] {
            for (HWND window : windows) {
                DWORD_PTR result = 0;
                SendMessageTimeoutW(window, WM_DEVICECHANGE, arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                                    reinterpret_cast<LPARAM>(&ANNOUNCED_CHANGE), SMTO_ABORTIFHUNG, 10000, &result);
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to tell them: the lists are read afresh on Refresh.
    }
}
