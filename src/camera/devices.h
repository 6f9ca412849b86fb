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
// link is one of theirs, else the platform's device. Null on failure, with
// `error` saying why when the device told us.
std::unique_ptr<VideoReader> OpenCameraReader(const std::wstring& symbolicLink, CameraError& error);

// Cameras that are not the platform's: development builds add the test-pattern
// cameras through this, so that the shipped program carries none of their code.
struct ExtraCameras {
    std::vector<CameraDevice> (*enumerate)() = nullptr;  // listed after the platform's
    bool (*owns)(const std::wstring& symbolicLink) = nullptr;
    std::unique_ptr<VideoReader> (*open)(const std::wstring& symbolicLink, CameraError& error) = nullptr;
};
// Process-wide; null for none. `extra` must outlive its use.
void SetExtraCameras(const ExtraCameras* extra);

// Development builds only (defined with the test-pattern cameras): lists them,
// with the extra, misbehaving cameras named in the environment variable
// SNAPWARD_TEST_CAMERAS (links joined by ';'; a leading '!' lists them before
// the four plain pattern cameras) and the file cameras named there
// ("snapward-file:PATH", file_camera.h), listed first of all with '!', else last.
// Process-wide; tests switch them off again when done.
void EnableTestPatternCameras(bool enabled = true);
// Development builds only: adds one to the named semaphore, when a test in
// another process made it, to tell that test that something happened.
void AddToSemaphore(const wchar_t* name);

// Starts COM and Media Foundation for this thread and the process. False when
// Media Foundation cannot be had (Windows N editions without the Media Feature
// Pack): then no camera is listed and every open fails, and the rest of the
// program works on.
bool StartMediaFoundation();
void StopMediaFoundation();
