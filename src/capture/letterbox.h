#pragma once
// Where a frame lands when it is scaled to fit an area with its proportions
// kept and centred: the spare bands stay outside the rectangle.

#include <cstdint>

struct LetterboxRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Single precision on purpose: the painted rectangle must come out the same on
// every build (e.g. 1280 x 720 in 400 x 300 gives y 37, height 225). An empty
// frame or area gives an empty rectangle.
LetterboxRect FitLetterbox(int32_t frameWidth, int32_t frameHeight, int32_t areaWidth,
                           int32_t areaHeight);

// Whether a frame drawn into `fit` needs the screen's smoothing stretch
// (HALFTONE) rather than a plain resample: only when it shrinks by half or more
// in a direction, where a plain resample would skip whole rows or columns.
// Preview frames are averaged down to within half of their area beforehand
// (PreviewScaleFactor), so they take the plain resample, which costs GDI
// little; Wine's HALFTONE stretch of one frame can cost more than a frame's time.
bool NeedsSmoothStretch(int32_t frameWidth, int32_t frameHeight, const LetterboxRect& fit);
