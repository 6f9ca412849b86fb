#include "capture/mjpeg.h"

// There is no JPEG decoder outside Windows: MJPG samples are dropped there.
bool DecodeMjpegFrame(const uint8_t*, int32_t, int32_t, int32_t, CapturedFrame&) {
    return false;
}
