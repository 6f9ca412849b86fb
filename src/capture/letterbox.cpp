#include "capture/letterbox.h"

LetterboxRect FitLetterbox(int32_t frameWidth, int32_t frameHeight, int32_t areaWidth,
                           int32_t areaHeight) {
    LetterboxRect fit;
    // A zero or negative side would make the ratios infinite or NaN, and
    // converting those to an integer is undefined.
    if (frameWidth <= 0 || frameHeight <= 0 || areaWidth <= 0 || areaHeight <= 0) return fit;

    const float frameAspect = static_cast<float>(frameWidth) / static_cast<float>(frameHeight);
    const float areaAspect = static_cast<float>(areaWidth) / static_cast<float>(areaHeight);
    if (frameAspect > areaAspect) {
        // Wider than the area: full width, bands above and below. The height
        // cannot exceed areaHeight because frameAspect > areaWidth / areaHeight.
        fit.width = areaWidth;
        fit.height = static_cast<int32_t>(static_cast<float>(areaWidth) / frameAspect);
        fit.y = (areaHeight - fit.height) / 2;
    } else {
        fit.height = areaHeight;
        fit.width = static_cast<int32_t>(static_cast<float>(areaHeight) * frameAspect);
        fit.x = (areaWidth - fit.width) / 2;
    }
    return fit;
}

bool NeedsSmoothStretch(int32_t frameWidth, int32_t frameHeight, const LetterboxRect& fit) {
    return frameWidth >= 2 * int64_t{fit.width} || frameHeight >= 2 * int64_t{fit.height};
}
