#include "data_source.h"

#include <cstring>

#include "capture/capture_action.h"
#include "ds_shared.h"
#include "image_file.h"

using namespace ds;

namespace {

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
