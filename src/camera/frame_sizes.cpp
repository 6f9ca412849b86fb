#include "camera/frame_sizes.h"

#include <algorithm>
#include <cwchar>
#include <iterator>

#include "camera/camera.h"

namespace {

// Rates compared as fractions, without floating point: a / b against c / d by
// cross-multiplying in 64 bits. A type that names no rate ranks below any that
// does.
int CompareRates(uint32_t aNumerator, uint32_t aDenominator, uint32_t bNumerator, uint32_t bDenominator) {
    const bool aKnown = aDenominator != 0;
    const bool bKnown = bDenominator != 0;
    if (aKnown != bKnown) return aKnown ? 1 : -1;
    if (!aKnown) return 0;
    const uint64_t left = uint64_t{aNumerator} * bDenominator;
    const uint64_t right = uint64_t{bNumerator} * aDenominator;
    return left < right ? -1 : left > right ? 1 : 0;
}

// Lower is cheaper: NV12 and YUY2 are converted by vector kernels, RGB24 is a
// copy but of twice the bytes across the bus, MJPG must be decoded.
int ConversionCost(PixelFormat subtype) {
    switch (subtype) {
    case PixelFormat::NV12:
        return 0;
    case PixelFormat::YUY2:
        return 1;
    case PixelFormat::RGB24:
        return 2;
    case PixelFormat::MJPG:
        return 3;
    case PixelFormat::Unknown:
        break;
    }
    return 4;
}

bool Offers(const MediaFormat& format) {
    return IsTakenSubtype(format.subtype) && IsUsableFrameSize(format.width, format.height);
}

}  // namespace

bool IsTakenSubtype(PixelFormat subtype) {
    return ConversionCost(subtype) < ConversionCost(PixelFormat::Unknown);
}

std::vector<FrameSizeOption> ListFrameSizes(const std::vector<MediaFormat>& formats) {
    std::vector<FrameSizeOption> options;
    for (const MediaFormat& format : formats) {
        if (!Offers(format)) continue;
        const FrameSize size{format.width, format.height};
        auto known = std::find_if(options.begin(), options.end(),
                                  [&](const FrameSizeOption& option) { return option.size == size; });
        if (known == options.end()) {
            options.push_back({size, format.rateNumerator, format.rateDenominator});
        } else if (CompareRates(format.rateNumerator, format.rateDenominator, known->rateNumerator,
                                known->rateDenominator) > 0) {
            known->rateNumerator = format.rateNumerator;
            known->rateDenominator = format.rateDenominator;
        }
    }
    std::stable_sort(options.begin(), options.end(), [](const FrameSizeOption& a, const FrameSizeOption& b) {
        const int64_t areaA = int64_t{a.size.width} * a.size.height;
        const int64_t areaB = int64_t{b.size.width} * b.size.height;
        return areaA != areaB ? areaA > areaB : a.size.width > b.size.width;
    });
    return options;
}

int ChooseTypeForSize(const std::vector<MediaFormat>& formats, FrameSize size) {
    int chosen = -1;
    for (size_t i = 0; i < formats.size(); ++i) {
        const MediaFormat& format = formats[i];
        if (!Offers(format) || format.width != size.width || format.height != size.height) continue;
        if (chosen < 0) {
            chosen = static_cast<int>(i);
            continue;
        }
        const MediaFormat& best = formats[static_cast<size_t>(chosen)];
        const int rate = CompareRates(format.rateNumerator, format.rateDenominator, best.rateNumerator,
                                      best.rateDenominator);
        if (rate > 0 || (rate == 0 && ConversionCost(format.subtype) < ConversionCost(best.subtype))) {
            chosen = static_cast<int>(i);
        }
    }
    return chosen;
}

std::wstring FrameSizeLabel(const FrameSizeOption& option) {
    wchar_t text[64] = {};
    const int written = std::swprintf(text, std::size(text), L"%d x %d", option.size.width, option.size.height);
    std::wstring label(text, written > 0 ? static_cast<size_t>(written) : 0);
    if (option.rateDenominator == 0 || option.rateNumerator == 0) return label;
    // Hundredths, rounded: 30000/1001 reads 29.97, 15/2 reads 7.5.
    const uint64_t hundredths =
        (uint64_t{option.rateNumerator} * 100 + option.rateDenominator / 2) / option.rateDenominator;
    const unsigned long long whole = hundredths / 100;
    const unsigned fraction = static_cast<unsigned>(hundredths % 100);
    if (fraction == 0) {
        std::swprintf(text, std::size(text), L" (%llu fps)", whole);
    } else if (fraction % 10 == 0) {
        std::swprintf(text, std::size(text), L" (%llu.%u fps)", whole, fraction / 10);
    } else {
        std::swprintf(text, std::size(text), L" (%llu.%02u fps)", whole, fraction);
    }
    return label + text;
}

std::vector<std::wstring> FrameSizeEntries(const std::vector<FrameSizeOption>& options) {
    std::vector<std::wstring> entries{CAMERA_DEFAULT_SIZE_TEXT};
    for (const FrameSizeOption& option : options) entries.push_back(FrameSizeLabel(option));
    return entries;
}

int FrameSizeEntryInUse(const std::vector<FrameSizeOption>& options, bool sizeHonoured, FrameSize inUse) {
    if (!sizeHonoured) return 0;
    for (size_t i = 0; i < options.size(); ++i) {
        if (options[i].size == inUse) return static_cast<int>(i) + 1;
    }
    return 0;
}

FrameSize FrameSizeOfEntry(const std::vector<FrameSizeOption>& options, int entry) {
    if (entry < 1 || static_cast<size_t>(entry) > options.size()) return {};
    return options[static_cast<size_t>(entry) - 1].size;
}

std::wstring FormatFrameSize(FrameSize size) {
    if (size.IsDefault()) return {};
    return std::to_wstring(size.width) + L"x" + std::to_wstring(size.height);
}

FrameSize ParseFrameSize(const std::wstring& text) {
    const auto readSide = [](const std::wstring& digits, int32_t& side) {
        if (digits.empty() || digits.size() > 5) return false;
        int32_t value = 0;
        for (wchar_t c : digits) {
            if (c < L'0' || c > L'9') return false;
            value = value * 10 + (c - L'0');
        }
        side = value;
        return true;
    };
    const size_t x = text.find(L'x');
    FrameSize size;
    if (x == std::wstring::npos || !readSide(text.substr(0, x), size.width) ||
        !readSide(text.substr(x + 1), size.height) || !IsUsableFrameSize(size.width, size.height)) {
        return {};
    }
    return size;
}
