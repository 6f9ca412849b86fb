#include "capture/frame.h"
bool ConvertFrame(const uint8_t*, int32_t, int32_t, int32_t, CapturedFrame&) { return false; }
