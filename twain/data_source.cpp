#include "data_source.h"

#include <algorithm>
#include <cstring>

#include "camera/camera.h"
#include "capture/capture_action.h"
#include "capture/frame.h"
#include "platform/product.h"
#include "ds_image.h"
#include "settings/settings.h"

namespace {

constexpr wchar_t NO_CAMERA_TEXT[] =
    L"No camera was found.\n\nConnect a webcam and try again.";
constexpr wchar_t CAMERA_FAILED_TEXT[] =
    L"The camera could not be started.\n\nIt may be in use by another program. Close that "
    L"program and try again.";
constexpr wchar_t CAMERA_FAILED_STATUS[] =
    L"This camera could not be started. It may be in use by another program.";
constexpr wchar_t CAPTURING_STATUS[] = L"Capturing...";
constexpr wchar_t CAPTURE_FAILED_STATUS[] = L"Capture failed. Try again.";
constexpr wchar_t TRANSFERRING_STATUS[] = L"Sending the picture...";

constexpr wchar_t SIGNAL_WINDOW_CLASS[] = L"OrvendelTwainSignal";
// Posted to the signal window on the application's thread.
constexpr UINT WM_TWAIN_GRABBED = WM_APP + 1;  // the worker finished a grab
constexpr UINT WM_TWAIN_SIGNAL = WM_APP + 2;   // a signal waits for the application


void CopyName(char (&target)[34], const char* text) {
    std::memset(target, 0, sizeof(target));
    std::strncpy(target, text, sizeof(target) - 1);
}

}  // namespace

void FillSourceIdentity(TW_IDENTITY& identity) {
    identity.Version.MajorNum = SNAPWARD_VERSION_MAJOR;
    identity.Version.MinorNum = SNAPWARD_VERSION_MINOR;
    identity.Version.Language = TWLG_USA;
    identity.Version.Country = TWCY_USA;
    CopyName(identity.Version.Info, TWAIN_VERSION_INFO);
    identity.ProtocolMajor = TWON_PROTOCOLMAJOR;
    identity.ProtocolMinor = TWON_PROTOCOLMINOR;
    identity.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
    CopyName(identity.Manufacturer, TWAIN_MANUFACTURER);
    CopyName(identity.ProductFamily, TWAIN_PRODUCT_FAMILY);
    CopyName(identity.ProductName, TWAIN_PRODUCT_NAME);
}

DataSource::DataSource(HINSTANCE module, void (*addTestCameras)())
    : module_(module), addTestCameras_(addTestCameras) {}

DataSource::~DataSource() {
    ui_.Destroy();
    worker_.Stop();
}

void DataSource::Abandon() {
    ui_.Abandon();
    signalWindow_.release();
    worker_.Abandon();
}

TW_UINT16 DataSource::Fail(TW_UINT16 conditionCode) {
    condition_ = conditionCode;
    return TWRC_FAILURE;
}

TW_UINT16 DataSource::Entry(TW_IDENTITY* origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                            TW_MEMREF data) {
    TripletCheck check = CheckTriplet(state_, dg, dat, msg);
    if (check != TripletCheck::Allowed) return Fail(ConditionFor(check));
    // Every triplet this source knows carries data.
    if (!data) return Fail(TWCC_BADVALUE);
    bool keepsCondition = dat == DAT_STATUS || dat == DAT_EVENT;
    if (!keepsCondition) condition_ = TWCC_SUCCESS;
    return dg == DG_CONTROL ? Control(origin, dat, msg, data) : Image(dat, msg, data);
}

TW_UINT16 DataSource::Control(TW_IDENTITY* origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    switch (dat) {
        case DAT_IDENTITY: {
            auto* identity = static_cast<TW_IDENTITY*>(data);
            if (msg == MSG_GET) {
                FillSourceIdentity(*identity);
                return TWRC_SUCCESS;
            }
            return msg == MSG_OPENDS ? OpenSource(origin, identity) : CloseSource();
        }
        case DAT_ENTRYPOINT: {
            const auto* entry = static_cast<const TW_ENTRYPOINT*>(data);
            if (entry->Size < sizeof(TW_ENTRYPOINT) || !entry->DSM_Entry) return Fail(TWCC_BADVALUE);
            manager_ = *entry;
            return TWRC_SUCCESS;
        }
        case DAT_STATUS: {
            auto* status = static_cast<TW_STATUS*>(data);
            status->ConditionCode = condition_;
            status->Data = 0;
            condition_ = TWCC_SUCCESS;
            return TWRC_SUCCESS;
        }
        case DAT_CAPABILITY:
            return Capability(msg, static_cast<TW_CAPABILITY*>(data));
        case DAT_USERINTERFACE:
            return msg == MSG_ENABLEDS ? EnableSource(*static_cast<TW_USERINTERFACE*>(data))
                                       : DisableSource();
        case DAT_EVENT:
            return ProcessEvent(*static_cast<TW_EVENT*>(data));
        case DAT_PENDINGXFERS:
            return PendingTransfers(msg, *static_cast<TW_PENDINGXFERS*>(data));
        case DAT_XFERGROUP:
            *static_cast<TW_UINT32*>(data) = DG_IMAGE;
            return TWRC_SUCCESS;
        case DAT_SETUPMEMXFER: {
            bool haveImage = imageWidth_ > 0 && state_ >= DsState::XferReady;
            *static_cast<TW_SETUPMEMXFER*>(data) =
                haveImage ? MemoryBufferSizes(imageWidth_, imageHeight_)
                          : MemoryBufferSizes(frameWidth_ > 0 ? frameWidth_ : 640,
                                              frameHeight_ > 0 ? frameHeight_ : 480);
            return TWRC_SUCCESS;
        }
        default:
            break;
    }
    return Fail(TWCC_BADPROTOCOL);
}

TW_UINT16 DataSource::Image(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    switch (dat) {
        case DAT_IMAGEINFO:
            *static_cast<TW_IMAGEINFO*>(data) = ImageInfoFor(imageWidth_, imageHeight_);
            return TWRC_SUCCESS;
        case DAT_IMAGELAYOUT:
            return ImageLayout(msg, *static_cast<TW_IMAGELAYOUT*>(data));
        case DAT_IMAGENATIVEXFER:
            return NativeTransfer(*static_cast<TW_HANDLE*>(data));
        case DAT_IMAGEMEMXFER:
            return MemoryTransfer(*static_cast<TW_IMAGEMEMXFER*>(data));
        default:
            break;
    }
    return Fail(TWCC_BADPROTOCOL);
}

TW_UINT16 DataSource::OpenSource(TW_IDENTITY* origin, TW_IDENTITY* identity) {
    if (state_ >= DsState::Enabled) DisableSource();
    if (state_ == DsState::Open) CloseSource();
    if (addTestCameras_) addTestCameras_();

    WNDCLASSEXW signalClass{};
    signalClass.cbSize = sizeof(signalClass);
    signalClass.lpfnWndProc = SignalProc;
    signalClass.hInstance = module_;
    signalClass.lpszClassName = SIGNAL_WINDOW_CLASS;
    RegisterClassExW(&signalClass);  // fails harmlessly when already registered
    // Created here, on the application's thread, so that what we post to it
    // reaches the application's own message loop.
    signalWindow_.reset(CreateWindowExW(0, SIGNAL_WINDOW_CLASS, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, module_, nullptr));
    if (!signalWindow_) return Fail(TWCC_LOWMEMORY);
    SetWindowLongPtrW(signalWindow_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    worker_.Start();

    application_ = origin ? *origin : TW_IDENTITY{};
    FillSourceIdentity(*identity);
    identity_ = *identity;
    caps_ = CapabilitySet();
    // The size of the camera seen last is a better guess than none.
    if (frameWidth_ > 0) caps_.SetFrameSize(frameWidth_, frameHeight_);
    cameras_.clear();
    cameraOpen_ = false;
    pendingSignal_ = MSG_NULL;
    state_ = DsState::Open;
    return TWRC_SUCCESS;
}

TW_UINT16 DataSource::CloseSource() {
    worker_.Stop();
    signalWindow_.reset();
    image_.reset();
    {
        std::lock_guard<std::mutex> hold(grabLock_);
        grabbed_.clear();
    }
    cameraOpen_ = false;
    state_ = DsState::Closed;
    return TWRC_SUCCESS;
}

TW_UINT16 DataSource::Capability(TW_UINT16 msg, TW_CAPABILITY* capability) {
    if (msg == MSG_RESETALL) {
        caps_.ResetAll();
        return TWRC_SUCCESS;
    }
    if (msg == MSG_SET) {
        void* bytes = capability->hContainer ? Lock(capability->hContainer) : nullptr;
        if (!bytes) return Fail(TWCC_BADVALUE);
        CapContainer request;
        SIZE_T length = GlobalSize(capability->hContainer);
        bool read = DecodeContainer(capability->ConType, static_cast<const uint8_t*>(bytes),
                                    length, request);
        Unlock(capability->hContainer);
        if (!read) return Fail(TWCC_BADVALUE);
        CapResult result = caps_.Set(capability->Cap, request);
        if (result.returnCode == TWRC_FAILURE) return Fail(result.conditionCode);
        return result.returnCode;
    }

    if (capability->Cap == CAP_DEVICEONLINE) {
        if (state_ == DsState::Open) {
            FindCameras();
            caps_.SetDeviceOnline(!cameras_.empty());
        } else {
            caps_.SetDeviceOnline(cameraOpen_);
        }
    }
    CapContainer answer;
    CapResult result;
    switch (msg) {
        case MSG_GET:
            result = caps_.Query(capability->Cap, CapQuery::Get, answer);
            break;
        case MSG_GETCURRENT:
            result = caps_.Query(capability->Cap, CapQuery::GetCurrent, answer);
            break;
        case MSG_GETDEFAULT:
            result = caps_.Query(capability->Cap, CapQuery::GetDefault, answer);
            break;
        case MSG_RESET:
            result = caps_.Query(capability->Cap, CapQuery::Reset, answer);
            break;
        default:
            result = caps_.QuerySupport(capability->Cap, answer);
            break;
    }
    if (result.returnCode == TWRC_FAILURE) return Fail(result.conditionCode);

    std::vector<uint8_t> bytes = EncodeContainer(answer);
    TW_HANDLE container = Allocate(static_cast<TW_UINT32>(bytes.size()));
    void* target = container ? Lock(container) : nullptr;
    if (!target) {
        if (container) Free(container);
        return Fail(TWCC_LOWMEMORY);
    }
    std::memcpy(target, bytes.data(), bytes.size());
    Unlock(container);
    // The container belongs to the application from here on.
    capability->ConType = answer.conType;
    capability->hContainer = container;
    return result.returnCode;
}

void DataSource::FindCameras() {
    std::vector<CameraDevice> found;
    std::wstring saved = LoadSettings().DeviceSymLink;
    worker_.Run([&](Camera&) { found = EnumerateCameras(); });
    found.erase(std::remove_if(found.begin(), found.end(),
                               [](const CameraDevice& device) { return device.symbolicLink.empty(); }),
                found.end());
    cameras_ = std::move(found);
    // The camera the program was last told to use, else the first one found.
    cameraIndex_ = 0;
    for (size_t i = 0; i < cameras_.size(); ++i) {
        if (!saved.empty() && cameras_[i].symbolicLink == saved) cameraIndex_ = i;
    }
}

DataSource::CameraOpen DataSource::OpenCamera(size_t index, bool preview) {
    if (index >= cameras_.size()) return CameraOpen::NoCamera;
    std::wstring link = cameras_[index].symbolicLink;
    CameraOpen result = CameraOpen::Failed;
    int32_t width = 0;
    int32_t height = 0;
    preview_.Clear();
    worker_.Run([&](Camera& camera) {
        if (!camera.Open(link)) return;
        width = camera.width();
        height = camera.height();
        result = CameraOpen::Opened;
        if (preview) {
            camera.StartPreview([this](const uint8_t* pixels, int32_t frameWidth, int32_t frameHeight,
                                       int32_t stride) {
                preview_.Store(pixels, frameWidth, frameHeight, stride);
            });
        }
    });
    cameraIndex_ = index;
    cameraOpen_ = result == CameraOpen::Opened;
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
    preview_.Clear();
}

TW_UINT16 DataSource::EnableSource(const TW_USERINTERFACE& ui) {
    showUI_ = ui.ShowUI != 0;
    HWND parent = static_cast<HWND>(ui.hParent);
    if (parent && !IsWindow(parent)) parent = nullptr;

    FindCameras();
    CameraOpen opened = OpenCamera(cameraIndex_, showUI_);
    if (opened != CameraOpen::Opened) {
        caps_.SetDeviceOnline(opened != CameraOpen::NoCamera);
        if (showUI_) {
            MessageBoxW(parent, opened == CameraOpen::NoCamera ? NO_CAMERA_TEXT : CAMERA_FAILED_TEXT,
                        SNAPWARD_TITLE, MB_OK | MB_ICONEXCLAMATION);
        }
        return Fail(opened == CameraOpen::NoCamera ? TWCC_CHECKDEVICEONLINE : TWCC_DENIED);
    }

    ++generation_;
    grabbing_ = false;
    pendingSignal_ = MSG_NULL;
    state_ = DsState::Enabled;
    if (!showUI_) {
        StartGrab();
        return TWRC_SUCCESS;
    }

    std::vector<std::wstring> names;
    for (const CameraDevice& device : cameras_) {
        names.push_back(device.friendlyName.empty() ? device.symbolicLink : device.friendlyName);
    }
    SourceWindowEvents events;
    events.capture = [this] { OnCapturePressed(); };
    events.cancel = [this] { OnCancelPressed(); };
    events.cameraChosen = [this](size_t index) { OnCameraChosen(index); };
    if (!ui_.Create(module_, parent, names, cameraIndex_, &preview_, std::move(events))) {
        CloseCamera();
        state_ = DsState::Open;
        return Fail(TWCC_LOWMEMORY);
    }
    ui_.SetStatus(ReadyText());
    return TWRC_SUCCESS;
}

TW_UINT16 DataSource::DisableSource() {
    ++generation_;
    grabbing_ = false;
    pendingSignal_ = MSG_NULL;
    ui_.Destroy();
    CloseCamera();
    image_.reset();
    state_ = DsState::Open;
    return TWRC_SUCCESS;
}

TW_UINT16 DataSource::ProcessEvent(TW_EVENT& event) {
    event.TWMessage = MSG_NULL;
    auto* message = static_cast<MSG*>(event.pEvent);
    if (!message) return TWRC_NOTDSEVENT;
    // A 1.x manager leaves it to the source to hand its signals over here; a
    // 2.x manager takes them through DAT_NULL (SignalProc) and delivers them
    // itself.
    if (message->hwnd && message->hwnd == signalWindow_.get() &&
        message->message == WM_TWAIN_SIGNAL && pendingSignal_ != MSG_NULL &&
        !ManagerDeliversSignals()) {
        event.TWMessage = TakeSignal();
        return TWRC_DSEVENT;
    }
    if (showUI_ && ui_.TranslateDialogKey(message)) return TWRC_DSEVENT;
    return TWRC_NOTDSEVENT;
}

TW_UINT16 DataSource::PendingTransfers(TW_UINT16 msg, TW_PENDINGXFERS& pending) {
    pending.EOJ = 0;
    if (msg == MSG_GET) {
        pending.Count = state_ >= DsState::XferReady ? 1 : 0;
        return TWRC_SUCCESS;
    }
    // MSG_ENDXFER and MSG_RESET: a webcam has one picture per capture.
    image_.reset();
    pending.Count = 0;
    state_ = DsState::Enabled;
    EndTransfers();
    return TWRC_SUCCESS;
}

void DataSource::EndTransfers() {
    if (showUI_) {
        ui_.EnableCapture(cameraOpen_);
        ui_.SetStatus(ReadyText());
        return;
    }
    // Without our window there is nothing more to do: ask to be closed. An
    // application that disables us at once simply never sees the request.
    Signal(MSG_CLOSEDSREQ);
}

TW_UINT16 DataSource::ImageLayout(TW_UINT16 msg, TW_IMAGELAYOUT& layout) {
    int32_t width = state_ >= DsState::XferReady ? imageWidth_ : frameWidth_;
    int32_t height = state_ >= DsState::XferReady ? imageHeight_ : frameHeight_;
    if (width <= 0 || height <= 0) {
        width = 640;
        height = 480;
    }
    // Only the whole picture is offered; any other frame is answered with it.
    bool whole = msg != MSG_SET || IsFullFrame(layout.Frame, width, height);
    layout = FullFrameLayout(width, height);
    return whole ? TWRC_SUCCESS : TWRC_CHECKSTATUS;
}

TW_UINT16 DataSource::NativeTransfer(TW_HANDLE& dib) {
    if (caps_.XferMech() != TWSX_NATIVE || !image_) return Fail(TWCC_SEQERROR);
    dib = image_.release();  // the application frees it
    state_ = DsState::Transferring;
    if (showUI_) ui_.SetStatus(TRANSFERRING_STATUS);
    return TWRC_XFERDONE;
}

TW_UINT16 DataSource::MemoryTransfer(TW_IMAGEMEMXFER& transfer) {
    if (caps_.XferMech() != TWSX_MEMORY || !image_ ||
        nextRow_ >= static_cast<uint32_t>(imageHeight_)) {
        return Fail(TWCC_SEQERROR);
    }
    TW_MEMORY& memory = transfer.Memory;
    if (!memory.TheMem || memory.Length == 0) return Fail(TWCC_BADVALUE);
    bool handle = (memory.Flags & TWMF_HANDLE) != 0;
    auto* target = static_cast<uint8_t*>(handle ? Lock(memory.TheMem) : memory.TheMem);
    if (!target) return Fail(TWCC_BADVALUE);

    uint32_t rows = 0;
    {
        GlobalLockGuard locked(image_.get());
        DibPixels picture;
        if (locked.data() && ViewPackedDib(static_cast<const uint8_t*>(locked.data()),
                                           GlobalSize(image_.get()), picture)) {
            rows = CopyRgbRows(picture, nextRow_, target, memory.Length);
        }
    }
    if (handle) Unlock(memory.TheMem);
    // Too small for a single row: the application may try a bigger buffer.
    if (rows == 0) return Fail(TWCC_BADVALUE);

    transfer.Compression = TWCP_NONE;
    transfer.BytesPerRow = RgbRowBytes(imageWidth_);
    transfer.Columns = static_cast<TW_UINT32>(imageWidth_);
    transfer.Rows = rows;
    transfer.XOffset = 0;
    transfer.YOffset = nextRow_;
    transfer.BytesWritten = rows * transfer.BytesPerRow;
    nextRow_ += rows;
    if (state_ == DsState::XferReady && showUI_) ui_.SetStatus(TRANSFERRING_STATUS);
    state_ = DsState::Transferring;
    return nextRow_ >= static_cast<uint32_t>(imageHeight_) ? TWRC_XFERDONE : TWRC_SUCCESS;
}

void DataSource::StartGrab() {
    grabbing_ = true;
    unsigned generation = generation_;
    HWND signalWindow = signalWindow_.get();
    worker_.Post([this, generation, signalWindow](Camera& camera) {
        // Frames read and dropped until the camera has settled, as the
        // capture key does.
        SettleCamera(camera);
        GrabResult result;
        result.generation = generation;
        result.dib = CaptureDib(camera);
        {
            std::lock_guard<std::mutex> hold(grabLock_);
            grabbed_.push_back(std::move(result));
        }
        PostMessageW(signalWindow, WM_TWAIN_GRABBED, 0, 0);
    });
}

void DataSource::OnGrabbed() {
    std::vector<GrabResult> results;
    {
        std::lock_guard<std::mutex> hold(grabLock_);
        results.swap(grabbed_);
    }
    for (GrabResult& result : results) {
        // A grab started before the last enable or disable is stale.
        if (result.generation != generation_ || state_ != DsState::Enabled) continue;
        grabbing_ = false;
        DibPixels picture;
        bool usable = false;
        if (result.dib) {
            GlobalLockGuard locked(result.dib.get());
            usable = locked.data() && ViewPackedDib(static_cast<const uint8_t*>(locked.data()),
                                                    GlobalSize(result.dib.get()), picture);
        }
        if (!usable) {
            if (showUI_) {
                ui_.SetStatus(CAPTURE_FAILED_STATUS);
                ui_.EnableCapture(cameraOpen_);
            } else {
                Signal(MSG_CLOSEDSREQ);
            }
            continue;
        }
        image_ = std::move(result.dib);
        imageWidth_ = picture.width;
        imageHeight_ = picture.height;
        nextRow_ = 0;
        caps_.SetFrameSize(imageWidth_, imageHeight_);
        Signal(MSG_XFERREADY);
    }
}

void DataSource::Signal(TW_UINT16 message) {
    pendingSignal_ = message;
    PostMessageW(signalWindow_.get(), WM_TWAIN_SIGNAL, 0, 0);
}

TW_UINT16 DataSource::TakeSignal() {
    TW_UINT16 message = pendingSignal_;
    pendingSignal_ = MSG_NULL;
    // The source is in state 6 from the moment it says an image is ready.
    if (message == MSG_XFERREADY) state_ = DsState::XferReady;
    return message;
}

bool DataSource::ManagerDeliversSignals() const {
    return manager_.Size >= sizeof(TW_ENTRYPOINT) && manager_.DSM_Entry;
}

DSMENTRYPROC DataSource::ManagerEntry() const {
    if (ManagerDeliversSignals()) return manager_.DSM_Entry;
    // A 1.x manager gives no entry point; it is the twain_32.dll that loaded us.
    HMODULE manager = GetModuleHandleW(L"twain_32.dll");
    FARPROC entry = manager ? GetProcAddress(manager, "DSM_Entry") : nullptr;
    return reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void*>(entry));
}

void DataSource::SendSignalThroughManager() {
    if (pendingSignal_ == MSG_NULL) return;
    DSMENTRYPROC entry = ManagerEntry();
    if (!entry) return;
    bool ownDelivery = ManagerDeliversSignals();
    TW_UINT16 message = TakeSignal();
    // The application may run whole transfers inside this call (from its
    // callback), so nothing below may rely on the state from before it.
    TW_UINT16 result = entry(&identity_, &application_, DG_CONTROL, DAT_NULL, message, nullptr);
    if (result != TWRC_SUCCESS && message == MSG_XFERREADY && state_ == DsState::XferReady) {
        // Nobody will come for the image.
        image_.reset();
        state_ = DsState::Enabled;
        if (showUI_) ui_.EnableCapture(cameraOpen_);
        return;
    }
    // A manager that keeps the message until the application passes it an
    // event needs one more event to come.
    if (ownDelivery && signalWindow_) PostMessageW(signalWindow_.get(), WM_NULL, 0, 0);
}

TW_HANDLE DataSource::Allocate(TW_UINT32 size) {
    if (manager_.DSM_MemAllocate) return manager_.DSM_MemAllocate(size);
    return GlobalAlloc(GHND, size);
}

void DataSource::Free(TW_HANDLE handle) {
    if (manager_.DSM_MemFree) {
        manager_.DSM_MemFree(handle);
    } else {
        GlobalFree(handle);
    }
}

void* DataSource::Lock(TW_HANDLE handle) {
    if (manager_.DSM_MemLock) return manager_.DSM_MemLock(handle);
    return GlobalLock(handle);
}

void DataSource::Unlock(TW_HANDLE handle) {
    if (manager_.DSM_MemUnlock) {
        manager_.DSM_MemUnlock(handle);
    } else {
        GlobalUnlock(handle);
    }
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
    if (state_ != DsState::Enabled || grabbing_ || index == cameraIndex_) return;
    ui_.EnableCapture(false);
    if (OpenCamera(index, true) == CameraOpen::Opened) {
        ui_.SetStatus(ReadyText());
        ui_.EnableCapture(true);
    } else {
        ui_.SetStatus(CAMERA_FAILED_STATUS);
    }
}

std::wstring DataSource::ReadyText() const {
    if (!cameraOpen_) return CAMERA_FAILED_STATUS;
    return std::to_wstring(frameWidth_) + L" x " + std::to_wstring(frameHeight_);
}

LRESULT CALLBACK DataSource::SignalProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<DataSource*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == WM_TWAIN_GRABBED) {
        self->OnGrabbed();
        return 0;
    }
    if (self && message == WM_TWAIN_SIGNAL) {
        // Still pending: the application dispatched the message without
        // passing it to us first, or the manager delivers signals itself.
        self->SendSignalThroughManager();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
