#include "data_source.h"

#include <algorithm>

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
    // The camera the program was last told to use, else the first one found.
    cameraIndex_ = 0;
    wantedSize_ = {};
    for (size_t i = 0; i < cameras_.size(); ++i) {
        if (!saved.empty() && cameras_[i].symbolicLink == saved) {
            cameraIndex_ = i;
            // The size the program's user chose belongs to that camera alone.
            wantedSize_ = ParseFrameSize(settings.FrameSize);
        }
    }
}

DataSource::CameraOpen DataSource::OpenCamera(size_t index, bool preview) {
    if (index >= cameras_.size()) return CameraOpen::NoCamera;
    std::wstring link = cameras_[index].symbolicLink;
    // The camera opened with the session, still idle, serves its first enable.
    const FrameSize wanted = wantedSize_;
    bool reuse = cameraOpen_ && link == openLink_ && wanted == openSize_;
    CameraOpen result = CameraOpen::Failed;
    CameraError error = CAMERA_ERROR_NONE;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<MediaFormat> formats;
    bool honoured = false;
    preview_.Clear();
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
            camera.SetPreviewBox(TWAIN_PREVIEW_WIDTH, TWAIN_PREVIEW_HEIGHT);
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
    preview_.Clear();
}

void DataSource::OnCapturePressed() {
    if (state_ != DsState::Enabled || grabbing_ || !cameraOpen_) return;
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
    if (index != cameraIndex_ || !cameraOpen_ || wantedSize_ != openSize_) {
        ui_.EnableCapture(false);
        OpenCamera(index, true);
        ShowFrameSizes();
    }
    ui_.SetStatus(ReadyText());
    // While an image waits, Capture comes back when its transfer ends.
    ui_.EnableCapture(cameraOpen_ && state_ == DsState::Enabled && !image_);
}

std::wstring DataSource::ReadyText() const {
    if (!cameraOpen_) {
        std::wstring name = cameraIndex_ < cameras_.size() ? cameras_[cameraIndex_].friendlyName : L"";
        if (name.empty()) name = L"This camera";
        if (cameraError_ == CAMERA_ERROR_NO_FORMAT) return name + CAMERA_NO_FORMAT_STATUS;
        switch (ClassifyCameraError(cameraError_)) {
            case CameraProblem::InUse:
                return name + CAMERA_IN_USE_STATUS;
            case CameraProblem::Blocked:
                return name + CAMERA_BLOCKED_STATUS;
            case CameraProblem::Disconnected:
                return name + CAMERA_GONE_STATUS;
            default:
                return name + CAMERA_FAILED_STATUS;
        }
    }
    return std::to_wstring(frameWidth_) + L" x " + std::to_wstring(frameHeight_);
}
