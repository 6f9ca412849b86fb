#pragma once
// The data source as the TWAIN manager drives it: each triplet checked
// against the state machine, capabilities, the camera, the source's window,
// and the signals that tell the application an image is ready.

#include <windows.h>

#include "snapward_version.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/devices.h"
#include "camera/frame_sizes.h"
#include "camera_worker.h"
#include "ds_capabilities.h"
#include "ds_image.h"
#include "ds_state.h"
#include "platform/win_handles.h"
#include "source_window.h"
#include "twain_protocol.h"

inline constexpr char TWAIN_PRODUCT_NAME[] = "Snapward";
inline constexpr char TWAIN_PRODUCT_FAMILY[] = "Snapward";
inline constexpr char TWAIN_MANUFACTURER[] = "Quillmere";
inline constexpr char TWAIN_VERSION_INFO[] = SNAPWARD_VERSION_SHORT;

// Fills everything of an identity but the Id, which the manager assigns.
void FillSourceIdentity(TW_IDENTITY& identity);

class DataSource {
public:
    // `module` owns the source's window classes; `addTestCameras`, when given,
    // adds the development build's test-pattern cameras to the devices found
    // (a function rather than a flag, so that the shipped source links none
    // of their code).
    DataSource(HINSTANCE module, void (*addTestCameras)());
    ~DataSource();
    DataSource(const DataSource&) = delete;
    DataSource& operator=(const DataSource&) = delete;

    // DS_Entry, on the application's thread.
    TW_UINT16 Entry(TW_IDENTITY* origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                    TW_MEMREF data);
    // A failure that happened outside any triplet's own handling.
    TW_UINT16 Fail(TW_UINT16 conditionCode);
    // The module goes away while the source is still open: leave the thread
    // and the windows to the process's end instead of waiting in the loader.
    void Abandon();

private:
    enum class CameraOpen { Opened, NoCamera, Failed };
    struct GrabResult {
        unsigned generation = 0;
        UniqueGlobal dib;  // null when the grab failed
        PixelRect frame;   // the part of the camera's picture it holds
        CameraError error = CAMERA_ERROR_NONE;  // why it failed
    };
    // What a grab needs to know, copied from the application's thread.
    struct GrabOrder {
        std::wstring link;  // to open the camera again if its stream failed
        FrameSize size;
        std::optional<PixelRect> crop;
        double dotsPerInch = 96;
        PagePixels pixels = PagePixels::Rgb;
        uint8_t threshold = 128;
        // Without our window nobody else brings a failed camera back.
        bool reopen = false;
    };
    // How the open camera is doing, read on its thread.
    struct CameraHealth {
        CameraError trouble = CAMERA_ERROR_NONE;  // why it stopped, if it did
        bool delivering = false;                  // a frame came since it opened
    };

    static LRESULT CALLBACK SignalProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    TW_UINT16 Control(TW_IDENTITY* origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    TW_UINT16 Image(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

    TW_UINT16 OpenSource(TW_IDENTITY* origin, TW_IDENTITY* identity);
    TW_UINT16 CloseSource();
    TW_UINT16 Capability(TW_UINT16 msg, TW_CAPABILITY* capability);
    TW_UINT16 EnableSource(const TW_USERINTERFACE& ui);
    TW_UINT16 DisableSource();
    TW_UINT16 ProcessEvent(TW_EVENT& event);
    TW_UINT16 PendingTransfers(TW_UINT16 msg, TW_PENDINGXFERS& pending);
    TW_UINT16 ImageLayout(TW_UINT16 msg, TW_IMAGELAYOUT& layout);
    TW_UINT16 SetupFileTransfer(TW_UINT16 msg, TW_SETUPFILEXFER& setup);
    TW_UINT16 NativeTransfer(TW_HANDLE& dib);
    TW_UINT16 MemoryTransfer(TW_IMAGEMEMXFER& transfer);
    TW_UINT16 FileTransfer();
    // The camera's whole picture, and the part of it the next image will hold.
    PixelRect WholeFrame() const;
    PixelRect NextFrame() const;

    void FindCameras();
    CameraOpen OpenCamera(size_t index, bool preview);
    void CloseCamera();
    CameraHealth CheckHealth();
    // The open camera if it still delivers, else a fresh open of the chosen
    // one (a failed stream stays failed): false when that fails too.
    bool ReviveCamera();
    // With our window, every few hundred milliseconds: a camera whose stream
    // failed is closed, its picture cleared, the reason shown, and opened
    // again on the capture dialog's schedule.
    void OnWindowTick();
    void LoseCamera(CameraError trouble);
    void PlanRecovery();
    void StartGrab();
    GrabOrder OrderGrab() const;
    // What ICAP_PIXELTYPE asks the next image to be.
    PagePixels NextPixels() const;
    // On the camera's thread: a settled still as the order asks, after one
    // fresh open when the stream has failed meanwhile.
    static GrabResult TakePicture(Camera& camera, const GrabOrder& order);
    void OnGrabbed();
    // Keeps a grabbed picture as the image waiting for the application.
    bool AcceptImage(GrabResult& result);
    // Without our window the application only learns of a failed grab as a
    // close request: the camera is offline, the condition says so, and the
    // user is told when the application lets us indicate.
    void ReportLostCamera(CameraError error);
    void EndTransfers();
    // The next of the pages asked for without our window, grabbed now that
    // the last transfer has ended: false when none is left or it failed.
    bool TakeNextPage();
    // The host's window, disabled for a modal session, enabled again.
    void ReleaseHostWindow();

    void Signal(TW_UINT16 message);
    TW_UINT16 TakeSignal();
    void SendSignalThroughManager();
    DSMENTRYPROC ManagerEntry() const;
    bool ManagerDeliversSignals() const;

    TW_HANDLE Allocate(TW_UINT32 size);
    void Free(TW_HANDLE handle);
    void* Lock(TW_HANDLE handle);
    void Unlock(TW_HANDLE handle);

    void OnCapturePressed();
    void OnCancelPressed();
    void OnCameraChosen(size_t index);
    void OnFrameSizeChosen(size_t entry);
    void SwitchCamera(size_t index);
    void ShowFrameSizes();
    std::wstring ReadyText() const;

    HINSTANCE module_;
    void (*addTestCameras_)();
    DsState state_ = DsState::Closed;
    TW_UINT16 condition_ = TWCC_SUCCESS;

    TW_IDENTITY identity_{};     // ours, with the Id given at MSG_OPENDS
    TW_IDENTITY application_{};  // the application that opened us
    TW_ENTRYPOINT manager_{};    // from a 2.x manager; Size 0 otherwise
    bool entryPointsHanded_ = false;  // since the last MSG_OPENDS

    CapabilitySet caps_;
    CameraWorker worker_;
    UniqueWindow signalWindow_;  // message-only, on the application's thread
    SourceWindow ui_;
    PreviewFrame preview_;
    // The window's picture area in its pixels: preview frames need be no larger.
    SIZE previewBox_{TWAIN_PREVIEW_WIDTH, TWAIN_PREVIEW_HEIGHT};
    bool showUI_ = false;
    HWND disabledHost_ = nullptr;  // the application's window while our modal one is up
    HWND hostWindow_ = nullptr;    // the parent the application enabled us with

    std::vector<CameraDevice> cameras_;
    size_t cameraIndex_ = 0;
    bool cameraOpen_ = false;
    std::wstring openLink_;  // of the camera open on the worker, if any
    FrameSize openSize_;     // the size it was opened for
    // The size to open the chosen camera at: the program's saved size for its
    // saved camera, the default for any other, or what our window chose.
    FrameSize wantedSize_;
    // What the open camera offers, and whether it got the wanted size.
    std::vector<FrameSizeOption> frameSizes_;
    bool sizeHonoured_ = false;
    CameraError cameraError_ = CAMERA_ERROR_NONE;  // why the last open failed
    // A camera lost while our window is up is opened again on a schedule.
    struct Recovery {
        bool planned = false;
        bool midSession = false;  // the stream failed, rather than an open
        unsigned delayMs = 0;
        std::chrono::steady_clock::time_point due;
    } recovery_;
    // Chosen in our window while a grab was under way; applied when it ends.
    std::optional<size_t> chosenCamera_;
    int32_t frameWidth_ = 0;
    int32_t frameHeight_ = 0;

    // The layout the application set, in camera pixels; none for the whole
    // picture, whatever camera ends up taking it.
    std::optional<PixelRect> crop_;
    std::string fileName_;  // of a file transfer, as the application gave it

    UniqueGlobal image_;  // the packed DIB waiting for the application
    int32_t imageWidth_ = 0;
    int32_t imageHeight_ = 0;
    PixelRect imageFrame_;
    PagePixels imagePixels_ = PagePixels::Rgb;
    uint32_t nextRow_ = 0;  // of a memory transfer in progress
    int pagesDone_ = 0;     // transferred since the source was enabled

    TW_UINT16 pendingSignal_ = MSG_NULL;
    // Raised whenever the source is enabled or disabled, so that a grab that
    // finishes afterwards is recognised as stale.
    unsigned generation_ = 0;
    bool grabbing_ = false;
    std::mutex grabLock_;
    // Grabs run one after another and only the newest generation counts, so
    // one slot is enough, and filling it allocates nothing.
    std::optional<GrabResult> grabbed_;
};
