#pragma once
// Which present device is the camera the user chose, by its saved link and name.

#include <string>
#include <vector>

#include "camera/devices.h"

// Windows compares device interface paths without regard to case, and the
// same device's link comes back in another case from another API or Windows
// version: links name one device whatever their case (ASCII letters; the
// paths are ASCII).
bool SameCameraLink(const std::wstring& a, const std::wstring& b);

// Where the saved camera is in `devices`: the last device whose link is the
// saved one; when none is, the one device bearing the saved name (a camera
// without a serial number gets a new link on another USB port), unless the
// name is empty or several devices bear it. With nothing saved, the first
// device. -1 when the list is empty or the saved camera is not in it: then
// no other camera may take its place.
int FindSavedCamera(const std::vector<CameraDevice>& devices, const std::wstring& savedLink,
                    const std::wstring& savedName);
