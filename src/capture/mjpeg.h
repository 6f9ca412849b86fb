#pragma once
// Compressed (MJPG) camera frames.

#include <cstdint>
#include <vector>

#include "capture/frame.h"

// Decodes one JPEG frame into `frame` when it decodes to exactly width x height;
// returns false otherwise (truncated, corrupt, other size, or no JPEG decoder
// on this platform), leaving `frame` untouched.
bool DecodeMjpegFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                      CapturedFrame& frame);
