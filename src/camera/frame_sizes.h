#pragma once
// The picture sizes a camera offers, and which of its types serves a size the
// user chose.

#include <cstdint>
#include <string>
#include <vector>

#include "camera/video_reader.h"

struct FrameSize {
    int32_t width = 0;
    int32_t height = 0;  // 0 x 0: the camera's default
    bool IsDefault() const { return width == 0 && height == 0; }
    bool operator==(const FrameSize&) const = default;
};

// One entry of the size list: a size and the best rate any type offers at it.
struct FrameSizeOption {
    FrameSize size;
    uint32_t rateNumerator = 0;  // 0 / 0: no type of this size says
    uint32_t rateDenominator = 0;
};

// True for the four subtypes we turn into pictures.
bool IsTakenSubtype(PixelFormat subtype);

// Every distinct size among the types we take, largest picture first (by pixel
// count, then by width), each with its highest rate.
std::vector<FrameSizeOption> ListFrameSizes(const std::vector<MediaFormat>& formats);

// The index of the type to use for `size`: the highest frame rate, and among
// equal rates the subtype cheapest to turn into a picture (NV12, YUY2, RGB24,
// then MJPG), then the device's own order. -1 when no type we take has it.
int ChooseTypeForSize(const std::vector<MediaFormat>& formats, FrameSize size);

// The first entry of every size list: the camera's own choice.
inline constexpr wchar_t CAMERA_DEFAULT_SIZE_TEXT[] = L"Camera default";

// The entries of a size list: the default, then each option's label.
std::vector<std::wstring> FrameSizeEntries(const std::vector<FrameSizeOption>& options);
// The entry that shows the size in use: its option's when the camera got the
// size it was asked for, else the default's (0).
int FrameSizeEntryInUse(const std::vector<FrameSizeOption>& options, bool sizeHonoured, FrameSize inUse);
// The size an entry stands for; the default for entry 0 and for entries out
// of range.
FrameSize FrameSizeOfEntry(const std::vector<FrameSizeOption>& options, int entry);

// "1920 x 1080 (30 fps)"; "(7.5 fps)", "(29.97 fps)"; without a known rate just
// "1920 x 1080".
std::wstring FrameSizeLabel(const FrameSizeOption& option);

// The stored form, "1920x1080"; the empty text for the camera's default.
std::wstring FormatFrameSize(FrameSize size);
// Reads the stored form back. Anything that is not two positive decimal
// numbers around one 'x' that make a usable picture (IsUsableFrameSize) reads
// as the default: odd registry data never makes the camera ask for a nonsense
// size.
FrameSize ParseFrameSize(const std::wstring& text);
