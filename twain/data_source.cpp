#include "data_source.h"

#include <cstring>

#include "camera/camera_trouble.h"
#include "ds_shared.h"
#include "platform/product.h"

using namespace ds;

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
    ReleaseHostWindow();
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
    // Every triplet this source knows carries data, but for the file
    // transfer, whose file was named beforehand.
    if (!data && dat != DAT_IMAGEFILEXFER) return Fail(TWCC_BADVALUE);
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
            entryPointsHanded_ = true;
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
            PixelRect next = NextFrame();
            *static_cast<TW_SETUPMEMXFER*>(data) =
                haveImage ? MemoryBufferSizes(imageWidth_, imageHeight_, imagePixels_)
                          : MemoryBufferSizes(next.width, next.height, NextPixels());
            return TWRC_SUCCESS;
        }
        case DAT_SETUPFILEXFER:
            return SetupFileTransfer(msg, *static_cast<TW_SETUPFILEXFER*>(data));
        default:
            break;
    }
    return Fail(TWCC_BADPROTOCOL);
}

TW_UINT16 DataSource::Image(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    switch (dat) {
        case DAT_IMAGEINFO:
            *static_cast<TW_IMAGEINFO*>(data) =
                ImageInfoFor(imageWidth_, imageHeight_, caps_.Resolution(), imagePixels_);
            return TWRC_SUCCESS;
        case DAT_IMAGELAYOUT:
            return ImageLayout(msg, *static_cast<TW_IMAGELAYOUT*>(data));
        case DAT_IMAGENATIVEXFER:
            return NativeTransfer(*static_cast<TW_HANDLE*>(data));
        case DAT_IMAGEMEMXFER:
            return MemoryTransfer(*static_cast<TW_IMAGEMEMXFER*>(data));
        case DAT_IMAGEFILEXFER:
            return FileTransfer();
        default:
            break;
    }
    return Fail(TWCC_BADPROTOCOL);
}

TW_UINT16 DataSource::OpenSource(TW_IDENTITY* origin, TW_IDENTITY* identity) {
    // Opened again without a close: the entry points handed over for this
    // open outlive the earlier session's end, while those of an earlier open
    // may belong to a manager that has gone.
    const TW_ENTRYPOINT handed = entryPointsHanded_ ? manager_ : TW_ENTRYPOINT{};
    entryPointsHanded_ = false;
    if (state_ >= DsState::Enabled) DisableSource();
    if (state_ == DsState::Open) CloseSource();
    manager_ = handed;
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

    // A 2.x manager unloads the source at MSG_CLOSEDS, which an application
    // may send from inside the callback that our own window procedure is
    // running; the manager then reads our identity after that callback.
    // Staying loaded keeps both the identity and the code returned into.
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&SignalProc), &pinned);

    application_ = origin ? *origin : TW_IDENTITY{};
    FillSourceIdentity(*identity);
    identity_ = *identity;
    caps_ = CapabilitySet();
    crop_.reset();
    fileName_ = DEFAULT_FILE_NAME;
    cameras_.clear();
    cameraOpen_ = false;
    openLink_.clear();
    pendingSignal_ = MSG_NULL;
    state_ = DsState::Open;
    // Applications size their layout and buffers from what they are told
    // now. Opening a camera and settling its format does not start it
    // streaming (nor light it); it stays open for the session's first enable.
    FindCameras();
    OpenCamera(cameraIndex_, false);
    // When it cannot be opened, the size of the camera seen last is a better
    // guess than none.
    if (frameWidth_ > 0) caps_.SetFrameSize(frameWidth_, frameHeight_);
    return TWRC_SUCCESS;
}

TW_UINT16 DataSource::CloseSource() {
    ReleaseHostWindow();
    ui_.Destroy();
    worker_.Stop();
    signalWindow_.reset();
    image_.reset();
    {
        std::lock_guard<std::mutex> hold(grabLock_);
        grabbed_.reset();
    }
    cameraOpen_ = false;
    openLink_.clear();
    // The source stays loaded (it pins itself) while the manager that gave
    // these may not: a later session through a 1.x manager, which gives none,
    // must not call into an unloaded one.
    manager_ = TW_ENTRYPOINT{};
    state_ = DsState::Closed;
    return TWRC_SUCCESS;
}

TW_UINT16 DataSource::Capability(TW_UINT16 msg, TW_CAPABILITY* capability) {
    if (msg == MSG_RESETALL) {
        caps_.ResetAll();
        crop_.reset();
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
        if (capability->Cap == ICAP_SUPPORTEDSIZES && caps_.PageSize() != TWSS_NONE) {
            // The page is what the camera looks at: the whole picture (see
            // ImageLayout), which the application is told to read back.
            crop_.reset();
            return TWRC_CHECKSTATUS;
        }
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

TW_UINT16 DataSource::EnableSource(const TW_USERINTERFACE& ui) {
    showUI_ = ui.ShowUI != 0;
    HWND parent = static_cast<HWND>(ui.hParent);
    if (parent && !IsWindow(parent)) parent = nullptr;
    hostWindow_ = parent;
    pagesDone_ = 0;
    recovery_ = Recovery{};

    FindCameras();
    CameraOpen opened = OpenCamera(cameraIndex_, showUI_);
    // With our window the user can still choose another camera; the list and
    // the status line say which one failed.
    bool choiceLeft = showUI_ && opened == CameraOpen::Failed;
    if (opened != CameraOpen::Opened && !choiceLeft) {
        caps_.SetDeviceOnline(opened != CameraOpen::NoCamera);
        if (showUI_) {
            MessageBoxW(parent, opened == CameraOpen::NoCamera ? NO_CAMERA_TEXT : CAMERA_FAILED_TEXT,
                        SNAPWARD_TITLE, MB_OK | MB_ICONEXCLAMATION);
        }
        return Fail(opened == CameraOpen::NoCamera ? TWCC_CHECKDEVICEONLINE : TWCC_DENIED);
    }

    ++generation_;
    grabbing_ = false;
    chosenCamera_.reset();
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
    events.sizeChosen = [this](size_t entry) { OnFrameSizeChosen(entry); };
    events.tick = [this] { OnWindowTick(); };
    events.previewSized = [this](SIZE box) {
        previewBox_ = box;
        worker_.Post([box](Camera& camera) { camera.SetPreviewBox(box.cx, box.cy); });
    };
    if (!ui_.Create(module_, parent, names, cameraIndex_, &preview_, std::move(events))) {
        CloseCamera();
        state_ = DsState::Open;
        return Fail(TWCC_LOWMEMORY);
    }
    // A modal session: the application's window takes no input while ours
    // is up, as with a dialog box of its own.
    if (ui.ModalUI && parent && IsWindowEnabled(parent)) {
        disabledHost_ = parent;
        EnableWindow(parent, FALSE);
    }
    ShowFrameSizes();
    ui_.SetStatus(ReadyText());
    // Capture opens a camera that failed to start again, or says why not.
    ui_.EnableCapture(!cameras_.empty());
    if (!cameraOpen_) PlanRecovery();
    return TWRC_SUCCESS;
}

void DataSource::ReleaseHostWindow() {
    // Enabled before our window goes, so that Windows gives the activation
    // back to it rather than to another program.
    if (disabledHost_ && IsWindow(disabledHost_)) EnableWindow(disabledHost_, TRUE);
    disabledHost_ = nullptr;
}

TW_UINT16 DataSource::DisableSource() {
    ++generation_;
    grabbing_ = false;
    chosenCamera_.reset();
    pendingSignal_ = MSG_NULL;
    ReleaseHostWindow();
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
