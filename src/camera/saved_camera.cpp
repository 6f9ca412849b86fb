#include "camera/saved_camera.h"

#include <algorithm>

namespace {

wchar_t FoldAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

bool SameCameraLink(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return FoldAscii(x) == FoldAscii(y); });
}

int FindSavedCamera(const std::vector<CameraDevice>& devices, const std::wstring& savedLink,
                    const std::wstring& savedName) {
    if (devices.empty()) return -1;
    if (savedLink.empty()) return 0;
    int byLink = -1;
    int byName = -1;
    int named = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (SameCameraLink(devices[i].symbolicLink, savedLink)) byLink = static_cast<int>(i);
        if (!savedName.empty() && devices[i].friendlyName == savedName) {
            byName = static_cast<int>(i);
            ++named;
        }
    }
    if (byLink >= 0) return byLink;
    return named == 1 ? byName : -1;
}
