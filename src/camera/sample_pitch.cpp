#include "camera/sample_pitch.h"

int32_t PitchFromLength(const MediaFormat& format, int64_t length) {
    // A length of 0 or less is no whole number of rows of at least one byte.
    if (format.width <= 0 || format.height <= 0) return 0;
    int64_t rows = 0;
    int64_t rowBytes = 0;
    switch (format.subtype) {
    case PixelFormat::RGB24:
        rows = format.height;
        rowBytes = int64_t{3} * format.width;
        break;
    case PixelFormat::YUY2:
        rows = format.height;
        rowBytes = int64_t{2} * format.width;
        break;
    case PixelFormat::NV12:
        rows = int64_t{format.height} + (int64_t{format.height} + 1) / 2;
        rowBytes = format.width;
        break;
    case PixelFormat::MJPG:
    case PixelFormat::Unknown:
        return 0;
    }
    if (length % rows != 0) return 0;
    const int64_t pitch = length / rows;
    if (pitch < rowBytes || pitch > rowBytes + LARGEST_ROW_PADDING) return 0;
    return static_cast<int32_t>(pitch);
}
