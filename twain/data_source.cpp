#include "data_source.h"

#include <algorithm>
#include <cstring>

#include "camera/camera.h"
#include "capture/capture_action.h"
#include "capture/frame.h"
#include "platform/product.h"
#include "ds_image.h"
#include "image_file.h"
#include "settings/settings.h"

namespace {

constexpr wchar_t NO_CAMERA_TEXT[] =
    L"No camera was found.\n\nConnect a webcam and try again.";
constexpr wchar_t CAMERA_FAILED_TEXT[] =
    L"The camera could not be started.\n\nIt may be in use by another program. Close that "
    L"program and try again.";
// After the camera's name, by what its open said.
constexpr wchar_t CAMERA_IN_USE_STATUS[] =
    L" is in use by another program. Close that program, or choose another camera.";
constexpr wchar_t CAMERA_BLOCKED_STATUS[] =
    L" is blocked by the camera privacy settings of Windows. Allow it there, or choose another "
    L"camera.";
constexpr wchar_t CAMERA_GONE_STATUS[] = L" is not connected. Plug it in, or choose another camera.";
constexpr wchar_t CAMERA_NO_FORMAT_STATUS[] =
    L" offers no picture format this source can take. Choose another camera.";
constexpr wchar_t CAMERA_FAILED_STATUS[] =
    L" could not be started. It may be in use by another program. Choose another camera.";
constexpr wchar_t SWITCH_AFTER_CAPTURE_STATUS[] =
    L"Capturing... The camera chosen takes over when this picture is done.";
constexpr wchar_t CAPTURING_STATUS[] = L"Capturing...";
constexpr wchar_t CAPTURE_FAILED_STATUS[] = L"Capture failed. Try again.";
constexpr wchar_t TRANSFERRING_STATUS[] = L"Sending the picture...";

constexpr wchar_t SIGNAL_WINDOW_CLASS[] = L"OrvendelTwainSignal";
// Posted to the signal window on the application's thread.
constexpr UINT WM_TWAIN_GRABBED = WM_APP + 1;  // the worker finished a grab
constexpr UINT WM_TWAIN_SIGNAL = WM_APP + 2;   // a signal waits for the application

// What applications are told to expect before they name a file themselves.
constexpr char DEFAULT_FILE_NAME[] = "TWAIN.TMP";

template <size_t N>
void CopyName(char (&target)[N], const char* text) {
    std::memset(target, 0, sizeof(target));
    std::strncpy(target, text, sizeof(target) - 1);
}

// The grabbed picture as the application asked for it: the part `crop` of
// it, `dotsPerInch` in its header. Null when it cannot be made.
UniqueGlobal FinishImage(UniqueGlobal dib, const std::optional<PixelRect>& crop,
                         double dotsPerInch, PixelRect& frame) {
    GlobalLockGuard locked(dib.get());
    auto* bytes = static_cast<uint8_t*>(locked.data());
    DibPixels picture;
    if (!bytes || !ViewPackedDib(bytes, GlobalSize(dib.get()), picture)) return {};
    const PixelRect whole{0, 0, picture.width, picture.height};
    frame = crop ? ClipToPicture(*crop, picture.width, picture.height) : whole;
    if (frame == whole) {
        StampDibResolution(bytes, dotsPerInch);
        return dib;
    }
    size_t size = PackedDibBytes(frame.width, frame.height);
    UniqueGlobal cropped(size ? GlobalAlloc(GMEM_MOVEABLE, size) : nullptr);
    GlobalLockGuard target(cropped.get());
    if (!target.data()) return {};
    WriteCroppedDib(picture, frame, dotsPerInch, static_cast<uint8_t*>(target.data()));
    return cropped;
}

std::wstring FromAnsi(const char* text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 1) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
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
                haveImage ? MemoryBufferSizes(imageWidth_, imageHeight_)
                          : MemoryBufferSizes(next.width, next.height);
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
                ImageInfoFor(imageWidth_, imageHeight_, caps_.Resolution());
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
    worker_.Stop();
    signalWindow_.reset();
    image_.reset();
    {
        std::lock_guard<std::mutex> hold(grabLock_);
        grabbed_.reset();
    }
    cameraOpen_ = false;
    openLink_.clear();
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

TW_UINT16 DataSource::EnableSource(const TW_USERINTERFACE& ui) {
    showUI_ = ui.ShowUI != 0;
    HWND parent = static_cast<HWND>(ui.hParent);
    if (parent && !IsWindow(parent)) parent = nullptr;

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
    if (!ui_.Create(module_, parent, names, cameraIndex_, &preview_, std::move(events))) {
        CloseCamera();
        state_ = DsState::Open;
        return Fail(TWCC_LOWMEMORY);
    }
    ShowFrameSizes();
    ui_.SetStatus(ReadyText());
    ui_.EnableCapture(cameraOpen_);
    return TWRC_SUCCESS;
}

TW_UINT16 DataSource::DisableSource() {
    ++generation_;
    grabbing_ = false;
    chosenCamera_.reset();
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

PixelRect DataSource::WholeFrame() const {
    // Before any camera has told its size, VGA is as good a guess as any.
    return {0, 0, frameWidth_ > 0 ? frameWidth_ : 640, frameHeight_ > 0 ? frameHeight_ : 480};
}

PixelRect DataSource::NextFrame() const {
    PixelRect whole = WholeFrame();
    return crop_ ? ClipToPicture(*crop_, whole.width, whole.height) : whole;
}

TW_UINT16 DataSource::ImageLayout(TW_UINT16 msg, TW_IMAGELAYOUT& layout) {
    const double dotsPerInch = caps_.Resolution();
    const PixelRect whole = WholeFrame();
    TW_UINT16 result = TWRC_SUCCESS;
    PixelRect frame;
    switch (msg) {
        case MSG_SET: {
            FrameFit fit = FitFrame(layout.Frame, dotsPerInch, whole.width, whole.height, frame);
            if (fit == FrameFit::Refused) return Fail(TWCC_BADVALUE);
            if (fit == FrameFit::Adjusted) result = TWRC_CHECKSTATUS;
            crop_ = frame == whole ? std::nullopt : std::optional<PixelRect>(frame);
            break;
        }
        case MSG_RESET:
            crop_.reset();
            frame = whole;
            break;
        case MSG_GETDEFAULT:
            frame = whole;
            break;
        default:
            frame = state_ >= DsState::XferReady ? imageFrame_ : NextFrame();
            break;
    }
    layout = LayoutFor(frame, dotsPerInch);
    return result;
}

TW_UINT16 DataSource::SetupFileTransfer(TW_UINT16 msg, TW_SETUPFILEXFER& setup) {
    if (msg == MSG_SET) {
        // Only a name that ends inside its 255 characters, for a format we write.
        const void* end = std::memchr(setup.FileName, 0, sizeof(setup.FileName));
        if (!end || end == setup.FileName) return Fail(TWCC_BADVALUE);
        CapContainer format{TWON_ONEVALUE, TWTY_UINT16, {setup.Format}};
        CapResult set = caps_.Set(ICAP_IMAGEFILEFORMAT, format);
        if (set.returnCode != TWRC_SUCCESS) return Fail(TWCC_BADVALUE);
        fileName_ = setup.FileName;
        return TWRC_SUCCESS;
    }
    if (msg == MSG_RESET) {
        fileName_ = DEFAULT_FILE_NAME;
        CapContainer ignored;
        caps_.Query(ICAP_IMAGEFILEFORMAT, CapQuery::Reset, ignored);
    }
    bool defaults = msg == MSG_GETDEFAULT;
    CopyName(setup.FileName, defaults ? DEFAULT_FILE_NAME : fileName_.c_str());
    setup.Format = defaults ? TWFF_BMP : caps_.FileFormat();
    setup.VRefNum = 0;
    return TWRC_SUCCESS;
}

TW_UINT16 DataSource::NativeTransfer(TW_HANDLE& dib) {
    if (caps_.XferMech() != TWSX_NATIVE || !image_) return Fail(TWCC_SEQERROR);
    dib = image_.release();  // the application frees it
    state_ = DsState::Transferring;
    if (showUI_) ui_.SetStatus(TRANSFERRING_STATUS);
    return TWRC_XFERDONE;
}

TW_UINT16 DataSource::FileTransfer() {
    if (caps_.XferMech() != TWSX_FILE || !image_) return Fail(TWCC_SEQERROR);
    std::wstring path = FromAnsi(fileName_.c_str());
    TW_UINT16 format = caps_.FileFormat();
    double dotsPerInch = caps_.Resolution();
    bool written = false;
    // On the worker: the imaging component needs COM, which the
    // application's thread may not have started, and must not be made to.
    worker_.Run([&](Camera&) { written = WriteImageFile(path, image_.get(), format, dotsPerInch); });
    // The image stays for another try, or for the application to give up on.
    if (!written) return Fail(TWCC_FILEWRITEERROR);
    image_.reset();
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
    std::optional<PixelRect> crop = crop_;
    double dotsPerInch = caps_.Resolution();
    worker_.Post([this, generation, signalWindow, crop, dotsPerInch](Camera& camera) {
        GrabResult result;
        result.generation = generation;
        // Whatever the grab throws (an allocation for a huge frame in a
        // crowded 32-bit host) makes it a failed grab: the application's
        // thread waits for the result either way.
        try {
            // Frames read and dropped until the camera has settled, as the
            // capture key does.
            camera.Settle();
            result.dib = FinishImage(CaptureDib(camera), crop, dotsPerInch, result.frame);
        } catch (...) {
            result.dib.reset();
        }
        {
            std::lock_guard<std::mutex> hold(grabLock_);
            grabbed_ = std::move(result);
        }
        PostMessageW(signalWindow, WM_TWAIN_GRABBED, 0, 0);
    });
}

void DataSource::OnGrabbed() {
    std::optional<GrabResult> taken;
    {
        std::lock_guard<std::mutex> hold(grabLock_);
        taken.swap(grabbed_);
    }
    // A grab started before the last enable or disable is stale.
    if (taken && taken->generation == generation_ && state_ == DsState::Enabled) {
        GrabResult& result = *taken;
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
        } else {
            image_ = std::move(result.dib);
            imageWidth_ = picture.width;
            imageHeight_ = picture.height;
            imageFrame_ = result.frame;
            nextRow_ = 0;
            Signal(MSG_XFERREADY);
        }
    }
    if (chosenCamera_ && !grabbing_) {
        size_t index = *chosenCamera_;
        chosenCamera_.reset();
        SwitchCamera(index);
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

LRESULT CALLBACK DataSource::SignalProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<DataSource*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    // Nothing may unwind into the application's message loop.
    try {
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
    } catch (...) {
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
