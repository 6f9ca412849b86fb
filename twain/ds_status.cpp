#include "camera/camera.h"
#include "camera/camera_trouble.h"
#include "ds_shared.h"

namespace ds {

namespace {

// Device names run up to a USB string's 126 characters, sometimes without a
// space to wrap at. Cut to this many, even a name of the widest letters takes
// one line of the status line at every scale, leaving the others to the
// reason; the cut is shown.
constexpr size_t SHOWN_NAME_MAX = 40;

std::wstring ShownName(const std::wstring& name) {
    if (name.empty()) return L"This camera";
    if (name.size() <= SHOWN_NAME_MAX) return name;
    size_t kept = SHOWN_NAME_MAX - 1;
    // Not between the halves of a character outside the basic plane.
    if (name[kept - 1] >= 0xD800 && name[kept - 1] <= 0xDBFF) --kept;
    return name.substr(0, kept) + L"\u2026";
}

}  // namespace

std::wstring CameraNotOpenText(const std::wstring& name, CameraError error) {
    const std::wstring shown = ShownName(name);
    if (error == CAMERA_ERROR_NO_FORMAT) return shown + CAMERA_NO_FORMAT_STATUS;
    switch (ClassifyCameraError(error)) {
        case CameraProblem::InUse:
            return shown + CAMERA_IN_USE_STATUS;
        case CameraProblem::Blocked:
            return shown + CAMERA_BLOCKED_STATUS;
        case CameraProblem::Disconnected:
            return shown + CAMERA_GONE_STATUS;
        default:
            return shown + CAMERA_FAILED_STATUS;
    }
}

std::vector<std::wstring> StatusTexts(const std::wstring& name) {
    std::vector<std::wstring> texts = {SWITCH_AFTER_CAPTURE_STATUS, CAPTURING_STATUS, CAPTURE_FAILED_STATUS,
                                       TRANSFERRING_STATUS, L"99999 x 99999"};
    for (const CameraError error : {CAMERA_ERROR_NO_FORMAT, CAMERA_ERROR_START_STREAMING, CAMERA_ERROR_INVALIDATED,
                                    CAMERA_ERROR_ACCESS_DENIED, CAMERA_ERROR_OUT_OF_MEMORY, CAMERA_ERROR_NO_PICTURE,
                                    CAMERA_ERROR_PREEMPTED}) {
        texts.emplace_back(CameraTroubleText(error));
        texts.push_back(CameraNotOpenText(name, error));
    }
    return texts;
}

}  // namespace ds
