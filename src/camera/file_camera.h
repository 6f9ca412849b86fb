#pragma once
// Development builds: a stored video clip listed as a camera, so that the
// program, its dialog and the data source can be run against the platform's
// real media stack (decoders, buffers, types) where no camera exists. The
// link is "snapward-file:" followed by the clip's Windows path; it is listed
// under the file's own name.

#include <memory>
#include <string>
#include <vector>

#include "camera/devices.h"
#include "camera/video_reader.h"

constexpr wchar_t FILE_CAMERA_SCHEME[] = L"snapward-file:";

// The clip's path and the camera's friendly name (the path's last part);
// false for a link of another kind, and for one whose path is empty or ends
// in a separator, which names no file.
bool ParseFileCameraLink(const std::wstring& symbolicLink, std::wstring& path, std::wstring& name);

// The file cameras among `symbolicLinks`, in their order; other links are
// left out.
std::vector<CameraDevice> FileCamerasOf(const std::vector<std::wstring>& symbolicLinks);

// The clip read through Media Foundation as an endless camera at the clip's
// frame rate (OpenMediaFoundationFile); null for another kind of link or a
// clip that cannot be opened, with `error` saying why when the platform told us.
std::unique_ptr<VideoReader> OpenFileCameraReader(const std::wstring& symbolicLink, CameraError& error);
