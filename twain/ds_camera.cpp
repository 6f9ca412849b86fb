#include "data_source.h"

#include <algorithm>

#include "camera/camera_trouble.h"
#include "camera/saved_camera.h"
#include "ds_shared.h"
#include "settings/settings.h"

using namespace ds;

void DataSource::FindCameras() {
    std::vector<CameraDevice> found;
    const Settings settings = LoadSettings();
    const std::wstring& saved = settings.DeviceSymLink;
    worker_.Run([&](Camera&) { found = EnumerateCameras(); });
    found.erase(std::remove_if(found.begin(), found.end(),
                               [](const CameraDevice& device) { return device.symbolicLink.empty(); }),
                found.end());
    cameras_ = std::move(found);
    // The camera the program was last told to use (by its link in any case,
    // or by its name on another port), else the first one found: the source
    // saves nothing, so taking another camera changes no one's choice.
    const int chosen = FindSavedCamera(cameras_, saved, settings.DeviceName);
    cameraIndex_ = chosen < 0 ? 0 : static_cast<size_t>(chosen);
    // The size the program's user chose belongs to that camera alone.
    wantedSize_ = chosen >= 0 && !saved.empty() ? ParseFrameSize(settings.FrameSize) : FrameSize{};
}

DataSource::CameraOpen DataSource::OpenCamera(size_t index, bool preview) {
    if (index >= cameras_.size()) return CameraOpen::NoCamera;
    std::wstring link = cameras_[index].symbolicLink;
    // The camera opened with the session, still idle, serves its first enable.
    const FrameSize wanted = wantedSize_;
    bool reuse = cameraOpen_ && SameCameraLink(link, openLink_) && wanted == openSize_;
    CameraOpen result = CameraOpen::Failed;
    CameraError error = CAMERA_ERROR_NONE;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<MediaFormat> formats;
    bool honoured = false;
    preview_.Clear();
    const SIZE box = previewBox_;
    worker_.Run([&](Camera& camera) {
        if (!(reuse && camera.IsOpen()) && !camera.Open(link, wanted)) {
            error = camera.lastError();
            return;
        }
        width = camera.width();
        height = camera.height();
        formats = camera.formats();
        honoured = camera.sizeHonoured();
        result = CameraOpen::Opened;
        if (preview) {
            camera.SetPreviewBox(box.cx, box.cy);
            camera.StartPreview([this](const uint8_t* pixels, int32_t frameWidth, int32_t frameHeight,
                                       int32_t stride) {
                preview_.Store(pixels, frameWidth, frameHeight, stride);
            });
        }
    });
    cameraIndex_ = index;
    cameraOpen_ = result == CameraOpen::Opened;
    cameraError_ = error;
    openLink_ = cameraOpen_ ? link : std::wstring();
    openSize_ = wanted;
    frameSizes_ = ListFrameSizes(formats);
    sizeHonoured_ = honoured;
    if (cameraOpen_) {
        frameWidth_ = width;
        frameHeight_ = height;
        caps_.SetFrameSize(width, height);
    }
    return result;
}

void DataSource::CloseCamera() {
    worker_.Run([](Camera& camera) { camera.Close(); });
    cameraOpen_ = false;
    openLink_.clear();
    // Not left on show as if it were live.
    preview_.Clear();
}

DataSource::CameraHealth DataSource::CheckHealth() {
    CameraHealth health;
    worker_.Run([&](Camera& camera) {
        if (!camera.IsOpen()) {
            health.trouble = CAMERA_ERROR_NO_PICTURE;
            return;
        }
        health.trouble = camera.previewError();
        if (health.trouble == CAMERA_ERROR_NONE) health.trouble = camera.lastError();
        health.delivering = camera.firstFrameTime().has_value();
    });
    return health;
}

bool DataSource::ReviveCamera() {
    if (cameraOpen_ && CheckHealth().trouble == CAMERA_ERROR_NONE) return true;
    if (cameraOpen_) CloseCamera();
    return OpenCamera(cameraIndex_, showUI_) == CameraOpen::Opened;
}

void DataSource::LoseCamera(CameraError trouble) {
    CloseCamera();
    cameraError_ = trouble;
    ui_.SetStatus(CameraTroubleText(trouble));
    recovery_.midSession = true;
    if (recovery_.planned) {
        PlanRecovery();  // it opened, but its stream failed again
        return;
    }
    // At once the first time: a reader that went stale while the
    // application waited comes back with a fresh open.
    recovery_.planned = true;
    recovery_.due = std::chrono::steady_clock::now();
}

void DataSource::PlanRecovery() {
    recovery_.planned = true;
    recovery_.delayMs = NextRecoveryDelay(recovery_.delayMs);
    recovery_.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(recovery_.delayMs);
}

void DataSource::OnWindowTick() {
    if (state_ != DsState::Enabled || !showUI_ || grabbing_) return;
    if (cameraOpen_) {
        const CameraHealth health = CheckHealth();
        if (health.trouble != CAMERA_ERROR_NONE) {
            LoseCamera(health.trouble);
        } else if (recovery_.planned && health.delivering) {
            // Back: the reason goes once pictures come again.
            recovery_ = Recovery{};
            ui_.SetStatus(ReadyText());
        }
        return;
    }
    if (!recovery_.planned || std::chrono::steady_clock::now() < recovery_.due) return;
    const bool opened = OpenCamera(cameraIndex_, true) == CameraOpen::Opened;
    ShowFrameSizes();
    if (opened) return;  // the reason stays until pictures come
    PlanRecovery();
    ui_.SetStatus(recovery_.midSession ? CameraTroubleText(cameraError_) : ReadyText());
}

void DataSource::OnCapturePressed() {
    if (state_ != DsState::Enabled || grabbing_) return;
    if (!ReviveCamera()) {
        ShowFrameSizes();
        ui_.SetStatus(ReadyText());
        return;
    }
    recovery_ = Recovery{};
    ui_.EnableCapture(false);
    ui_.SetStatus(CAPTURING_STATUS);
    StartGrab();
}

void DataSource::OnCancelPressed() {
    // Once an image is on its way the application ends the transfer first.
    if (state_ == DsState::Enabled) Signal(MSG_CLOSEDSREQ);
}

void DataSource::OnCameraChosen(size_t index) {
    if (state_ < DsState::Enabled || index >= cameras_.size()) return;
    // The grab under way keeps its camera; the list already shows the new
    // one, which takes over the moment the grab ends.
    if (grabbing_) {
        chosenCamera_ = index;
        ui_.SetStatus(SWITCH_AFTER_CAPTURE_STATUS);
        return;
    }
    SwitchCamera(index);
}

void DataSource::OnFrameSizeChosen(size_t entry) {
    if (state_ < DsState::Enabled || cameraIndex_ >= cameras_.size()) return;
    wantedSize_ = FrameSizeOfEntry(frameSizes_, static_cast<int>(entry));
    // As with a camera chosen mid-grab: the grab keeps its camera, and the
    // new size takes over when it ends.
    if (grabbing_) {
        chosenCamera_ = cameraIndex_;
        ui_.SetStatus(SWITCH_AFTER_CAPTURE_STATUS);
        return;
    }
    SwitchCamera(cameraIndex_);
}

void DataSource::ShowFrameSizes() {
    ui_.SetFrameSizes(FrameSizeEntries(frameSizes_),
                      static_cast<size_t>(FrameSizeEntryInUse(frameSizes_, sizeHonoured_,
                                                              FrameSize{frameWidth_, frameHeight_})));
}

void DataSource::SwitchCamera(size_t index) {
    // Another camera starts from its own default size.
    if (index != cameraIndex_) wantedSize_ = {};
    // The same camera chosen again is opened again if its stream failed.
    const bool same = index == cameraIndex_ && wantedSize_ == openSize_;
    if (!same || !cameraOpen_ || CheckHealth().trouble != CAMERA_ERROR_NONE) {
        ui_.EnableCapture(false);
        if (cameraOpen_) CloseCamera();
        OpenCamera(index, true);
        ShowFrameSizes();
    }
    // A choice that fails is tried again as any lost camera is.
    recovery_ = Recovery{};
    if (!cameraOpen_) PlanRecovery();
    ui_.SetStatus(ReadyText());
    // While an image waits, Capture comes back when its transfer ends.
    ui_.EnableCapture(state_ == DsState::Enabled && !image_);
}

std::wstring DataSource::ReadyText() const {
    if (!cameraOpen_) {
        return CameraNotOpenText(cameraIndex_ < cameras_.size() ? cameras_[cameraIndex_].friendlyName : L"",
                                 cameraError_);
    }
    return std::to_wstring(frameWidth_) + L" x " + std::to_wstring(frameHeight_);
}
