#include "camera/file_camera.h"

bool ParseFileCameraLink(const std::wstring& symbolicLink, std::wstring& path, std::wstring& name) {
    const std::wstring scheme = FILE_CAMERA_SCHEME;
    if (symbolicLink.compare(0, scheme.size(), scheme) != 0) return false;
    std::wstring clip = symbolicLink.substr(scheme.size());
    // Windows takes both separators.
    const size_t separator = clip.find_last_of(L"\\/");
    std::wstring last = separator == std::wstring::npos ? clip : clip.substr(separator + 1);
    if (last.empty()) return false;
    path = std::move(clip);
    name = std::move(last);
    return true;
}

std::vector<CameraDevice> FileCamerasOf(const std::vector<std::wstring>& symbolicLinks) {
    std::vector<CameraDevice> cameras;
    for (const std::wstring& link : symbolicLinks) {
        std::wstring path, name;
        if (ParseFileCameraLink(link, path, name)) cameras.push_back(CameraDevice{name, link});
    }
    return cameras;
}
