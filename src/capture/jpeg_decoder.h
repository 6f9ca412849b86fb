#pragma once
// The preview's own JPEG decoder: webcam frames, decoded at reduced size in the
// DCT domain so that a 4K stream costs the preview little. Stills keep using
// the full-size WIC decode (DecodeMjpegFrame).

#include <cstddef>
#include <cstdint>

#include "capture/frame.h"

// Decodes one baseline JPEG stream (as webcams send: sequential, Huffman-coded,
// 8-bit, 1 or 3 components, any sampling factors 1..2 in each direction,
// restart intervals, DHT segments left out meaning the standard tables) into a
// bottom-up BGR picture of ceil(width / scale) x ceil(height / scale), scale 1,
// 2, 4 or 8. False, with `frame` untouched, for anything else: progressive,
// arithmetic-coded, 12-bit, truncated (no EOI), corrupt entropy data (a code
// that is no code, a coefficient past the block, a restart marker missing or
// out of turn, a scan that needs bits past its end), a picture wider or taller
// than 16384 or whose BGR output would exceed 256 MiB.
//
// The pixels match libjpeg's decode at the same scale with fast (replicating)
// upsampling to within a few levels: YCbCr is full-range BT.601 (JFIF), and at
// reduced scales 4:2:0 chroma is decoded at twice the luma's reduction rather
// than upsampled, as libjpeg does.
//
// Never reads at or past data + length. A frame of unchanged size keeps its
// storage (the decode goes to a per-thread buffer that trades places with it).
bool DecodeJpeg(const uint8_t* data, size_t length, int scale, CapturedFrame& frame);
