#pragma once
// A camera that stops delivering while it is in use: what the user is told,
// and how soon it is opened again. The capture dialog and the data source's
// window say and do the same.

#include <algorithm>

#include "camera/video_reader.h"

// A failed stream stays failed, so each try is a fresh open. The first comes
// soon; then less and less often, so that a camera another program holds is
// not hammered, and one that comes back is seen within the longest wait.
constexpr unsigned RECOVERY_FIRST_MS = 1000;
constexpr unsigned RECOVERY_MAX_MS = 8000;

constexpr unsigned NextRecoveryDelay(unsigned delayMs) {
    return delayMs == 0 ? RECOVERY_FIRST_MS : std::min(2 * delayMs, RECOVERY_MAX_MS);
}

// What went wrong, and that the picture comes back by itself.
inline const wchar_t* CameraTroubleText(CameraError error) {
    switch (ClassifyCameraError(error)) {
        case CameraProblem::InUse:
            return L"Camera in use by another app. The preview resumes when it is free.";
        case CameraProblem::Disconnected:
            return L"Camera disconnected. The preview resumes when it is plugged in.";
        case CameraProblem::Blocked:
            return L"Camera blocked by Windows privacy settings (Settings > Privacy > Camera).";
        case CameraProblem::None:
        case CameraProblem::Other:
            break;
    }
    if (error == CAMERA_ERROR_OUT_OF_MEMORY) return L"Not enough memory for this camera's picture size.";
    // Also a camera that sends nothing at all (CAMERA_ERROR_NO_FRAMES): what
    // the user sees is the same, and so is the recovery.
    return L"The camera stopped sending pictures. Retrying...";
}
