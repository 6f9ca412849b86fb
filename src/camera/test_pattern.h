#pragma once
// Built-in cameras that show a known, moving picture: the development build
// lists them so that the whole program can be driven where no camera exists,
// and tests check what comes out of a capture against the picture below.
//
// The picture, 1280 x 720, rows counted from the top:
// - rows [0, 576): eight vertical 75% colour bars, 160 pixels wide;
// - rows [576, 672): a grey band with a 64 x 64 white square at rows [592, 656)
//   that moves 16 pixels right with every frame;
// - rows [672, 720): the frame counter, 32 blocks 40 pixels wide, the most
//   significant bit on the left, white for 1 and black for 0.
// Every edge between two colours lies on a multiple of 16, so 4:2:0 chroma and
// 16 x 16 JPEG blocks never straddle two colours; the counter's blocks, black
// and white only, lie on multiples of 8, as 8 x 8 luma blocks do.
//
// At other sizes every edge is scaled from that layout and rounded to an even
// pixel, and to a multiple of 8 or 16 where the features are large enough for
// the rounding not to matter (rows: 16 from 720 high, 8 from 360; bars: 16 from
// 512 wide, 8 from 256); the square stays square. The picture is drawn at any
// even size; the checkers below read it from TEST_PATTERN_MIN_WIDTH x
// TEST_PATTERN_MIN_HEIGHT up (where a counter block is 5 pixels wide) and
// refuse smaller frames.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/devices.h"
#include "camera/video_reader.h"
#include "capture/frame.h"

constexpr int32_t TEST_PATTERN_WIDTH = 1280;
constexpr int32_t TEST_PATTERN_HEIGHT = 720;
constexpr int32_t TEST_PATTERN_FRAME_INTERVAL_US = 33333;  // about 30 frames a second
constexpr int TEST_PATTERN_BAR_COUNT = 8;
constexpr int32_t TEST_PATTERN_MIN_WIDTH = 160;
constexpr int32_t TEST_PATTERN_MIN_HEIGHT = 90;
// How many MJPG frames of one size a camera with `modes` encodes when a stream
// of that size first starts; its frames cycle through them, so the counter
// drawn in (and decoded from) its n-th frame is n % TEST_PATTERN_MJPG_CYCLE,
// except while a ramp darkens them (those are encoded one by one). A real
// webcam compresses in hardware; encoding every frame here would measure
// Windows' encoder rather than the program (under Wine, half a second a frame
// at 3840 x 2160, so such a stream's first frame takes two seconds, once a
// process).
constexpr uint32_t TEST_PATTERN_MJPG_CYCLE = 4;

// Compresses one picture (bottom-up BGR) into a JPEG stream; false on failure.
using JpegEncoder = std::function<bool(const CapturedFrame& bgr, std::vector<uint8_t>& jpeg)>;

struct TestPatternColour {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
};

// A pattern camera can misbehave as real webcams do on their worst day. A test
// asks for it in the link, after the plain camera's link and a '?', as
// key=value pairs joined by '&'; for example
// "snapward-testpattern:nv12?name=Slow&slow=1500&ramp=400". The keys:
//   name=TEXT     shown in the camera's friendly name; also keeps two cameras
//                 with the same misbehaviour apart (their state is per link)
//   slow=MS       the first read of each stream blocks MS before its frame, as
//                 a webcam's does while the device starts
//   ramp=MS       frames of the first MS after the first one are dark and
//                 brighten steadily, as auto-exposure does
//   dimfps=N      ... and come at N a second while they do, as cameras lower
//                 their rate in dim light
//   queue=N       while nobody reads, the camera keeps the last N frames it
//                 took and serves them, oldest first, to the next reads, as a
//                 capture source's sample queue does. Its frames carry as their
//                 counter the time they were taken, in 1/30 s ticks of the
//                 monotonic clock every process shares (steady_clock), so that
//                 a test in another process can tell a frame taken before a
//                 press from one taken after it
//   busy=HEX      another program holds the camera: every read of a stream
//                 opened while it does fails with this code
//   privacy=open|read  Windows' privacy settings block the camera: the open,
//                 or every read, fails with E_ACCESSDENIED
//   typefail=HEX  the device fails while its type is set (partial or native)
//                 with this code, as one unplugged or taken by another program
//                 between listing and opening does; the open itself works
//   for=MS        busy, privacy and typefail last MS from the camera's first
//                 open in the process; without it, for ever
//   unplug=N      after N frames (once a process) the camera is unplugged: reads
//                 of every open stream fail with the device-invalidated code
//                 and it leaves the device list; 0 pulls it out the moment it
//                 first opens. A stream opened before the unplug stays failed
//                 once the camera is back: only a new open sees it again
//   replug=MS     ... and is plugged in again MS later
//   stall=N       after N frames (counted over the process, as for unplug) the
//                 camera stays listed and open but sends nothing: each read
//                 waits as a real one does (ReadWaits, the first of a stream
//                 the longer), then fails with CAMERA_ERROR_NO_FRAMES, unless
//                 cancelled first; as an HDMI grabber that lost its signal
//   wait=MS       ... each such read waits MS instead
//   huge=WxH      the camera offers this frame size, a flat grey picture
//   noformat=1    the camera offers only a format that nobody takes
//   quiet=1       unplugging and plugging in are not announced, as when the
//                 notice is lost on its way to a busy window
//   modes=NAME    instead of its one 1280 x 720 type the camera lists a real
//                 camera's types, in the order that camera reports them (the
//                 plain camera's subtype in the link then means nothing). Media
//                 Foundation lists one type per frame rate, highest first; a
//                 stream runs at the selected type's size, subtype and rate,
//                 and the first type is current until another is chosen:
//                   c920     a Logitech C920-class camera on USB 2.0: YUY2
//                            640 x 480 first, YUY2 from 160 x 90 to 2304 x 1536
//                            whose best rate falls with the size (1920 x 1080
//                            at 5, 2304 x 1296 at 2), then MJPG 640 x 480 and
//                            160 x 90 to 1920 x 1080 at 30 down to 10; 143 types
//                   laptop   a laptop's camera: MJPG 640 x 480 first, sizes up
//                            to 1280 x 720 at 30 and 15, each MJPG type followed
//                            by an NV12 type of the same size and rate; 36 types
//                   uhd      a 4K camera: MJPG, then NV12, at 640 x 480 and
//                            1280 x 720 up to 3840 x 2160, 30 down to 5; YUY2 up
//                            to 1920 x 1080 at 5; 81 types
//                   frameserver  Windows' frame server in front of a camera:
//                            an NV12 type, then the MJPG type of the same size
//                            and rate, from NV12 640 x 480 at 30 up to
//                            1920 x 1080, at 30 and 15; 40 types
//                 None offers RGB24, so asking for it fails, as on a real camera
//                 without a video processor. Without an encoder the camera still
//                 opens, but reads of an MJPG type give no sample.
// Unknown keys and malformed values make the link unknown, as does modes with
// huge or noformat.
struct TestCameraBehaviour {
    std::wstring name;
    int slowStartMs = 0;
    int rampMs = 0;
    int dimFps = 0;
    int queueFrames = 0;
    CameraError busyError = CAMERA_ERROR_NONE;
    CameraError typeError = CAMERA_ERROR_NONE;
    enum class Privacy { Allowed, BlockOpen, BlockRead } privacy = Privacy::Allowed;
    int conditionMs = -1;  // how long busy and privacy last; -1: for ever
    int unplugAfterFrames = -1;
    int replugAfterMs = -1;
    int stallAfterFrames = -1;
    int waitMs = -1;  // -1: as ReadWaits
    int32_t hugeWidth = 0;
    int32_t hugeHeight = 0;
    bool noFormat = false;
    bool quiet = false;
    std::wstring modes;  // empty: the one 1280 x 720 type
};

// The plain camera's subtype and the misbehaviour a link asks for; false when
// the link is no pattern camera's.
bool ParseTestPatternLink(const std::wstring& symbolicLink, PixelFormat& subtype,
                          TestCameraBehaviour& behaviour);

// One camera per subtype: NV12, YUY2, MJPG, RGB24, in that order, and the extra
// (misbehaving) cameras after them, or before them when asked for; a camera
// that is unplugged is not listed. An extra camera's friendly name carries its
// name= or else its keys; a camera with modes shows no subtype, having many.
std::vector<CameraDevice> TestPatternCameras();
bool IsTestPatternLink(const std::wstring& symbolicLink);

// Extra cameras to list, by link (process-wide; malformed links are left out).
void SetExtraTestPatternCameras(const std::vector<std::wstring>& symbolicLinks, bool listFirst);

// Told, on some thread, whenever a pattern camera is unplugged or plugged in
// again (process-wide; null for nobody).
void SetTestPatternPresenceListener(void (*listener)(bool arrived));

// A reader for one of the links above, or null for any other link (and for the
// MJPG camera when no encoder is given, and for a camera that is unplugged or
// blocked at open, with `error` saying so). Each read blocks until the next
// frame is due, so the camera runs at about 30 frames a second (a camera with
// modes: at its current type's rate) as a real one would. Samples are stamped
// with the time they were taken, in 100 ns units from the stream's first frame.
std::unique_ptr<VideoReader> OpenTestPatternReader(const std::wstring& symbolicLink,
                                                   JpegEncoder encoder, CameraError& error);

// Named semaphores through which a test in another process counts the pattern
// cameras' streams of the development builds: each reader opened adds one to
// the first, each one let go adds one to the second, when the test made them.
constexpr wchar_t TEST_PATTERN_OPENS_SEMAPHORE[] = L"Local\\SnapwardTestPatternOpens";
constexpr wchar_t TEST_PATTERN_CLOSES_SEMAPHORE[] = L"Local\\SnapwardTestPatternCloses";

// The colour at picture position (x, y) of the 1280 x 720 frame with this
// counter, and of a frame of another size.
TestPatternColour TestPatternColourAt(int32_t x, int32_t y, uint32_t counter);
TestPatternColour TestPatternColourAt(int32_t x, int32_t y, uint32_t counter, int32_t width,
                                      int32_t height);

// The checkers take a converted frame of any size from TEST_PATTERN_MIN_WIDTH x
// TEST_PATTERN_MIN_HEIGHT up to 16384 on a side, and compare it with the
// picture drawn at that size.
// A queue camera's frame counter for a frame taken at `at`: 1/30 s ticks of
// the monotonic clock every process shares.
uint32_t TestPatternClockTicks(std::chrono::steady_clock::time_point at);

// Reads the counter band. False when the frame has no readable size, does not
// hold its rows, or a block is neither clearly black nor clearly white.
bool DecodeFrameCounter(const CapturedFrame& frame, uint32_t& counter);
// The largest difference in any channel between the frame and the picture for
// `counter`, over a grid of points away from every edge of the pattern (8
// pixels from 480 rows up, fewer below), so that compression ringing does not
// count; -1 for a frame the checkers do not take.
int TestPatternDeviation(const CapturedFrame& frame, uint32_t counter);
// Decodes the counter and checks the whole picture against it.
bool MatchesTestPattern(const CapturedFrame& frame, int tolerance, uint32_t& counter);
