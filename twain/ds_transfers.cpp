#include "data_source.h"

#include <algorithm>
#include <cstring>

#include "capture/capture_action.h"
#include "ds_shared.h"
#include "image_file.h"
#include "platform/product.h"

using namespace ds;

namespace {

// The grabbed picture as the application asked for it: the part `crop` of
// it, in `pixels` (with `threshold` for black and white), `dotsPerInch` in its
// header. Null when it cannot be made.
UniqueGlobal FinishImage(UniqueGlobal dib, const std::optional<PixelRect>& crop, double dotsPerInch,
                         PagePixels pixels, uint8_t threshold, PixelRect& frame) {
    GlobalLockGuard locked(dib.get());
    auto* bytes = static_cast<uint8_t*>(locked.data());
    DibPixels picture;
    if (!bytes || !ViewPackedDib(bytes, GlobalSize(dib.get()), picture)) return {};
    const PixelRect whole{0, 0, picture.width, picture.height};
    frame = crop ? ClipToPicture(*crop, picture.width, picture.height) : whole;
    if (frame == whole && pixels == PagePixels::Rgb) {
        StampDibResolution(bytes, dotsPerInch);
        return dib;
    }
    size_t size = PackedDibBytes(frame.width, frame.height, pixels);
    UniqueGlobal page(size ? GlobalAlloc(GMEM_MOVEABLE, size) : nullptr);
    GlobalLockGuard target(page.get());
    if (!target.data() ||
        !WriteCroppedDib(picture, frame, dotsPerInch, pixels, threshold, static_cast<uint8_t*>(target.data()))) {
        return {};
    }
    return page;
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

TW_UINT16 DataSource::PendingTransfers(TW_UINT16 msg, TW_PENDINGXFERS& pending) {
    pending.EOJ = 0;
    const TW_INT16 asked = caps_.XferCount();
    if (msg == MSG_GET) {
        // With our window each Capture makes one page; without it, the pages
        // asked for are taken one after another.
        const bool counted = !showUI_ && asked > 0;
        pending.Count = state_ < DsState::XferReady ? 0 : counted ? static_cast<TW_UINT16>(asked - pagesDone_) : 1;
        return TWRC_SUCCESS;
    }
    image_.reset();
    if (msg == MSG_ENDXFER) {
        ++pagesDone_;
        if (TakeNextPage()) {
            pending.Count = static_cast<TW_UINT16>(asked - pagesDone_);
            return TWRC_SUCCESS;
        }
    }
    // MSG_RESET, or the last page: nothing more until the next Capture.
    pending.Count = 0;
    state_ = DsState::Enabled;
    EndTransfers();
    return TWRC_SUCCESS;
}

bool DataSource::TakeNextPage() {
    const TW_INT16 asked = caps_.XferCount();
    // A webcam has no feeder: "as many as there are" (-1) is one page.
    if (showUI_ || asked <= 0 || pagesDone_ >= asked) return false;
    // Taken now, after the transfer before it ended, while the application
    // waits in this call: it moves on to the next transfer as it returns.
    GrabResult result;
    const GrabOrder order = OrderGrab();
    worker_.Run([&](Camera& camera) { result = TakePicture(camera, order); });
    if (AcceptImage(result)) {
        state_ = DsState::XferReady;
        return true;
    }
    // Signalled once this call has returned, with the application in state 5.
    ReportLostCamera(result.error);
    return false;
}

void DataSource::EndTransfers() {
    const TW_INT16 asked = caps_.XferCount();
    if (showUI_ && (asked <= 0 || pagesDone_ < asked)) {
        // The window stays for the next page until the user closes it.
        ui_.EnableCapture(!cameras_.empty());
        ui_.SetStatus(ReadyText());
        return;
    }
    // Nothing more to do: ask to be closed. An application that disables us
    // at once simply never sees the request.
    if (pendingSignal_ == MSG_NULL) Signal(MSG_CLOSEDSREQ);
}

PixelRect DataSource::WholeFrame() const {
    // Before any camera has told its size, VGA is as good a guess as any.
    return {0, 0, frameWidth_ > 0 ? frameWidth_ : 640, frameHeight_ > 0 ? frameHeight_ : 480};
}

PixelRect DataSource::NextFrame() const {
    PixelRect whole = WholeFrame();
    return crop_ ? ClipToPicture(*crop_, whole.width, whole.height) : whole;
}

// A webcam over a document is a scanner whose glass is the camera's view:
// its pixels are taken to be 1/96 inch (or what ICAP_XRESOLUTION says), so
// a 1920 x 1080 picture is a 20 x 11.25 inch bed. Hosts that set a standard
// page as the layout (Letter, A4, ...) mean "the page", not its top left
// corner of the view: the camera is pointed at the page, so the page is the
// whole picture, and TWRC_CHECKSTATUS tells them to read the layout back.
// Every other frame is cut exactly, in the units the host chose.
TW_UINT16 DataSource::ImageLayout(TW_UINT16 msg, TW_IMAGELAYOUT& layout) {
    const double perUnit = caps_.PixelsPerUnit();
    const PixelRect whole = WholeFrame();
    TW_UINT16 result = TWRC_SUCCESS;
    PixelRect frame;
    switch (msg) {
        case MSG_SET: {
            const TW_UINT16 page = caps_.Units() == TWUN_INCHES ? StandardPageOf(layout.Frame) : TWSS_NONE;
            if (page != TWSS_NONE) {
                caps_.SetPageSize(page);
                crop_.reset();
                frame = whole;
                result = TWRC_CHECKSTATUS;
                break;
            }
            FrameFit fit = FitFrame(layout.Frame, perUnit, whole.width, whole.height, frame);
            if (fit == FrameFit::Refused) return Fail(TWCC_BADVALUE);  // the layout stays as it was
            if (fit == FrameFit::Adjusted) result = TWRC_CHECKSTATUS;
            caps_.SetPageSize(TWSS_NONE);
            crop_ = frame == whole ? std::nullopt : std::optional<PixelRect>(frame);
            break;
        }
        case MSG_RESET:
            crop_.reset();
            caps_.SetPageSize(TWSS_NONE);
            frame = whole;
            break;
        case MSG_GETDEFAULT:
            frame = whole;
            break;
        default:
            frame = state_ >= DsState::XferReady ? imageFrame_ : NextFrame();
            break;
    }
    layout = LayoutFor(frame, perUnit);
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
    // A handle's block says how much room there is, whatever the host claims;
    // a pointer's Length is all there is to go by.
    uint32_t capacity = memory.Length;
    if (handle) capacity = static_cast<uint32_t>(std::min<SIZE_T>(capacity, GlobalSize(memory.TheMem)));
    auto* target = static_cast<uint8_t*>(handle ? Lock(memory.TheMem) : memory.TheMem);
    if (!target) return Fail(TWCC_BADVALUE);

    uint32_t rows = 0;
    {
        GlobalLockGuard locked(image_.get());
        DibPixels picture;
        if (locked.data() && ViewPackedDib(static_cast<const uint8_t*>(locked.data()),
                                           GlobalSize(image_.get()), picture)) {
            rows = CopyRows(picture, nextRow_, target, capacity);
        }
    }
    if (handle) Unlock(memory.TheMem);
    // Too small for a single row: the application may try a bigger buffer.
    if (rows == 0) return Fail(TWCC_BADVALUE);

    transfer.Compression = TWCP_NONE;
    transfer.BytesPerRow = RowBytes(imageWidth_, imagePixels_);
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

PagePixels DataSource::NextPixels() const {
    switch (caps_.PixelType()) {
        case TWPT_GRAY:
            return PagePixels::Gray;
        case TWPT_BW:
            return PagePixels::BlackWhite;
        default:
            return PagePixels::Rgb;
    }
}

DataSource::GrabOrder DataSource::OrderGrab() const {
    return {openLink_, openSize_, crop_, caps_.Resolution(), NextPixels(), caps_.Threshold(), !showUI_};
}

void DataSource::StartGrab() {
    grabbing_ = true;
    unsigned generation = generation_;
    HWND signalWindow = signalWindow_.get();
    GrabOrder order = OrderGrab();
    worker_.Post([this, generation, signalWindow, order](Camera& camera) {
        GrabResult result = TakePicture(camera, order);
        result.generation = generation;
        {
            std::lock_guard<std::mutex> hold(grabLock_);
            grabbed_ = std::move(result);
        }
        PostMessageW(signalWindow, WM_TWAIN_GRABBED, 0, 0);
    });
}

DataSource::GrabResult DataSource::TakePicture(Camera& camera, const GrabOrder& order) {
    GrabResult result;
    // Whatever the grab throws (an allocation for a huge frame in a crowded
    // 32-bit host) makes it a failed grab: the application's thread waits
    // for the result either way.
    try {
        for (int attempt = 0; attempt < (order.reopen ? 2 : 1) && !result.dib; ++attempt) {
            // The stream failed since the last frame (another program took
            // the camera, it was plugged out and in, a reader kept while the
            // application waited went stale): one fresh open.
            if (attempt > 0 || !camera.IsOpen()) {
                camera.Close();
                if (order.link.empty() || !camera.Open(order.link, order.size)) break;
            }
            // Frames read and dropped until the camera has settled, as the
            // capture key does.
            camera.Settle();
            result.dib = FinishImage(CaptureDib(camera), order.crop, order.dotsPerInch, order.pixels,
                                     order.threshold, result.frame);
        }
    } catch (...) {
        result.dib.reset();
    }
    if (!result.dib) result.error = camera.lastError() != CAMERA_ERROR_NONE ? camera.lastError() : CAMERA_ERROR_NO_PICTURE;
    return result;
}

bool DataSource::AcceptImage(GrabResult& result) {
    DibPixels picture;
    bool usable = false;
    if (result.dib) {
        GlobalLockGuard locked(result.dib.get());
        usable = locked.data() && ViewPackedDib(static_cast<const uint8_t*>(locked.data()),
                                                GlobalSize(result.dib.get()), picture);
    }
    if (!usable) return false;
    image_ = std::move(result.dib);
    imageWidth_ = picture.width;
    imageHeight_ = picture.height;
    imageFrame_ = result.frame;
    imagePixels_ = picture.pixels;
    nextRow_ = 0;
    return true;
}

void DataSource::ReportLostCamera(CameraError error) {
    cameraOpen_ = false;
    cameraError_ = error;
    caps_.SetDeviceOnline(false);
    const unsigned session = generation_;
    if (caps_.Indicators()) MessageBoxW(hostWindow_, CAMERA_LOST_TEXT, SNAPWARD_TITLE, MB_OK | MB_ICONEXCLAMATION);
    // The host's timers run in the box's loop: it may have disabled or closed
    // us meanwhile, or enabled us afresh, and that session lost nothing.
    if (generation_ != session) return;
    Signal(MSG_CLOSEDSREQ);
    // Read by an application that asks why it is asked to close.
    condition_ = TWCC_CHECKDEVICEONLINE;
}

void DataSource::OnGrabbed() {
    std::optional<GrabResult> taken;
    {
        std::lock_guard<std::mutex> hold(grabLock_);
        taken.swap(grabbed_);
    }
    // A grab started before the last enable or disable is stale.
    if (taken && taken->generation == generation_ && state_ == DsState::Enabled) {
        grabbing_ = false;
        if (AcceptImage(*taken)) {
            Signal(MSG_XFERREADY);
        } else if (showUI_) {
            // The window's check finds a failed stream and shows why.
            cameraError_ = taken->error;
            ui_.SetStatus(CAPTURE_FAILED_STATUS);
            ui_.EnableCapture(true);
            OnWindowTick();
        } else {
            ReportLostCamera(taken->error);
        }
    }
    if (chosenCamera_ && !grabbing_) {
        size_t index = *chosenCamera_;
        chosenCamera_.reset();
        SwitchCamera(index);
    }
}
