#pragma once
// Raw camera samples -> a CapturedFrame a whole number of times smaller, for the
// live preview: the screen then gets a small bitmap to copy and stretch instead
// of a full-size one.

#include <cstdint>

#include "capture/frame.h"

// Converts one raw sample to a picture `factor` times smaller in each direction.
// Each output pixel is the mean of a factor x factor block of the picture; the
// sides are floor(width / factor) x floor(height / factor), the right columns
// and bottom rows that do not fill a block are left out. A side shorter than
// `factor` still gives one pixel, whose block spans that whole side; a side of
// 0 stays 0.
//
// Means are rounded half up: (sum + count / 2) / count. RGB24 averages each
// colour; YUY2 and NV12 average the luma and each pixel's U and V over the
// block (a pair shared by two pixels counts twice) and convert that mean
// Y, U, V exactly as ConvertFrame converts a pixel.
//
// Layouts as ConvertFrame with a SampleLayout: RGB24 (either stride sign), YUY2
// (either stride sign), NV12 (top-down, pitch |stride|); factor 1 gives exactly
// ConvertFrame's result. Returns false, leaving `frame` untouched, for MJPG and
// Unknown formats, factor < 1, and every sample ConvertFrame would refuse. Never
// reads at or past data + length. A frame of unchanged size keeps its storage.
bool ConvertFrameScaled(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                        const SampleLayout& layout, int32_t factor, CapturedFrame& frame);

// The factor the preview uses: the largest whole factor that keeps the picture
// at least `boxWidth` x `boxHeight`, so that the screen only ever shrinks it
// further; 1 when the picture is smaller than the box or the box is empty.
int32_t PreviewScaleFactor(int32_t width, int32_t height, int32_t boxWidth, int32_t boxHeight);

// One sample of any subtype for the preview, `factor` times smaller (from
// PreviewScaleFactor): raw samples as ConvertFrameScaled; MJPG decoded in the
// DCT domain at the largest power of two up to `factor` (at most 8), when the
// stream's header says the negotiated size. A stream our decoder does not take
// falls back to the full-size decode of ConvertFrame, so that whatever a still
// capture can show, the preview shows too. Factor 1 is ConvertFrame.
bool ConvertPreviewFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                         const SampleLayout& layout, int32_t factor, CapturedFrame& frame);
