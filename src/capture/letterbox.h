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
