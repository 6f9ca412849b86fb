#pragma once
// Capture devices present now, and the process-wide media start-up.

#include <memory>
#include <string>
#include <vector>

#include "camera/video_reader.h"

struct CameraDevice {
    std::wstring friendlyName;  // empty if it could not be read
    std::wstring symbolicLink;  // the device's identity everywhere; empty if unreadable
};

// Every call enumerates afresh, in the platform's order; test-pattern cameras
// (when enabled) follow the real ones.
std::vector<CameraDevice> EnumerateCameras();

// Opens a device by symbolic link: a test-pattern camera when enabled and the
// link is one of theirs, else the platform's device. Null on failure.
std::unique_ptr<VideoReader> OpenCameraReader(const std::wstring& symbolicLink);

// Development build only: adds the built-in test-pattern cameras to the list
// (process-wide; tests switch them off again when done).
void EnableTestPatternCameras(bool enabled = true);

bool StartMediaFoundation();
void StopMediaFoundation();
