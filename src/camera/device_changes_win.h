#pragma once
// Cameras plugged in and pulled out while the program runs.

#include <windows.h>

#include "platform/win_handles.h"

// While it lives, `window` receives WM_DEVICECHANGE whenever a video capture
// device arrives or goes (for every interface class Windows announces cameras
// under).
class CameraChangeNotifications {
public:
    explicit CameraChangeNotifications(HWND window);
    ~CameraChangeNotifications();
    CameraChangeNotifications(const CameraChangeNotifications&) = delete;
    CameraChangeNotifications& operator=(const CameraChangeNotifications&) = delete;

private:
    HWND window_ = nullptr;
    UniqueDeviceNotify registrations_[2];
};

// True for a WM_DEVICECHANGE that tells of a device interface arriving or
// going: the moment to list the cameras afresh.
bool IsCameraChange(WPARAM event, LPARAM data);

// Posts the change to every window that listens, as Windows would: for cameras
// that are the program's own (the development build's test cameras).
void AnnounceCameraChange(bool arrived);
