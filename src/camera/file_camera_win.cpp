#include <windows.h>

#include "camera/file_camera.h"
#include "camera/media_foundation_win.h"

std::unique_ptr<VideoReader> OpenFileCameraReader(const std::wstring& symbolicLink, CameraError& error) {
    std::wstring path, name;
    if (!ParseFileCameraLink(symbolicLink, path, name)) return nullptr;
    return OpenMediaFoundationFile(path, error);
}
