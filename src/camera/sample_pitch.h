#pragma once
// The pitch of an uncompressed sample whose type does not state one.

#include <cstdint>

#include "camera/video_reader.h"

// Rows may be padded by at most this many bytes beyond their pixels.
// Decoders align rows to 4, 16, 32 or 64 bytes, surfaces to 256.
constexpr int32_t LARGEST_ROW_PADDING = 255;

// A type without MF_MT_DEFAULT_STRIDE means packed rows by Microsoft's rule,
// but Wine's decoders hand NV12 over with rows padded to a multiple of 4
// bytes (GStreamer's layout), so a picture 326 pixels wide arrives with 328
// bytes a row and no word of it. A buffer that holds exactly the frame's rows
// tells its pitch by its length: the pitch of `format` for a buffer of
// `length` bytes, when the length is a whole number of rows (of the luma
// plane and the half-height chroma plane for NV12), each at least as long as
// its pixels and padded by no more than LARGEST_ROW_PADDING; 0 otherwise, and
// for compressed and unknown subtypes.
int32_t PitchFromLength(const MediaFormat& format, int64_t length);
