#include "capture/dib.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr uintptr_t CACHE_LINE = 64;

void PutU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetU32(const uint8_t* at) {
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

constexpr size_t BI_BIT_COUNT_OFFSET = 14;
constexpr size_t BI_SIZE_IMAGE_OFFSET = 20;
constexpr size_t BI_CLR_USED_OFFSET = 32;

}  // namespace

size_t PackedDibSize(const CapturedFrame& frame) {
    if (frame.width <= 0 || frame.height <= 0) return 0;
    const int64_t stride = (int64_t{3} * frame.width + 3) & ~int64_t{3};
    const int64_t imageSize = stride * frame.height;
    // As in ConvertFrame: every byte count fits in int32, so the header's
    // 32-bit fields and the file's bfSize cannot wrap.
    if (frame.stride != stride || imageSize > std::numeric_limits<int32_t>::max()) return 0;
    if (frame.pixels.size() != static_cast<uint64_t>(imageSize)) return 0;
    return DIB_HEADER_SIZE + static_cast<size_t>(imageSize);
}

bool WritePackedDib(const CapturedFrame& frame, uint8_t* dest) {
    const size_t size = PackedDibSize(frame);
    if (size == 0 || dest == nullptr) return false;
    const size_t imageSize = frame.pixels.size();
    PutU32(dest + 0, static_cast<uint32_t>(DIB_HEADER_SIZE));
    PutU32(dest + 4, static_cast<uint32_t>(frame.width));
    PutU32(dest + 8, static_cast<uint32_t>(frame.height));  // positive: bottom-up rows
    PutU16(dest + 12, 1);                                   // planes
    PutU16(dest + 14, 24);                                  // bits per pixel
    PutU32(dest + 16, 0);                                   // BI_RGB
    PutU32(dest + BI_SIZE_IMAGE_OFFSET, static_cast<uint32_t>(imageSize));
    PutU32(dest + 24, static_cast<uint32_t>(DIB_PELS_PER_METER));
    PutU32(dest + 28, static_cast<uint32_t>(DIB_PELS_PER_METER));
    PutU32(dest + 32, 0);  // colours used: no colour table
    PutU32(dest + 36, 0);  // colours important
    // The frame already has the DIB's row order, pixel order and padding. The
    // pixels start 40 bytes into the block, off the cache-line grid: the first
    // few bytes are copied apart so that the long copy writes whole lines
    // (misaligned reads cost less than misaligned writes).
    uint8_t* pixels = dest + DIB_HEADER_SIZE;
    const size_t head = std::min(imageSize, (CACHE_LINE - reinterpret_cast<uintptr_t>(pixels) % CACHE_LINE) % CACHE_LINE);
    std::memcpy(pixels, frame.pixels.data(), head);
    std::memcpy(pixels + head, frame.pixels.data() + head, imageSize - head);
    return true;
}

std::vector<uint8_t> EncodePackedDib(const CapturedFrame& frame) {
    std::vector<uint8_t> dib(PackedDibSize(frame));
    if (!dib.empty()) WritePackedDib(frame, dib.data());
    return dib;
}

std::array<uint8_t, BMP_FILE_HEADER_SIZE> EncodeBmpFileHeader(const uint8_t* packedDib,
                                                              size_t length) {
    std::array<uint8_t, BMP_FILE_HEADER_SIZE> header{};
    if (packedDib == nullptr || length < DIB_HEADER_SIZE) return header;
    const uint64_t headerSize = GetU32(packedDib);
    const uint64_t imageSize = GetU32(packedDib + BI_SIZE_IMAGE_OFFSET);
    // The palette sits between the header and the pixels: biClrUsed entries,
    // or for 8 bits or fewer all the depth allows when that is 0.
    const uint32_t bitCount = GetU32(packedDib + BI_BIT_COUNT_OFFSET) & 0xffff;
    uint64_t entries = GetU32(packedDib + BI_CLR_USED_OFFSET);
    if (entries == 0 && bitCount >= 1 && bitCount <= 8) entries = uint64_t{1} << bitCount;
    const uint64_t infoSize = headerSize + 4 * entries;
    const uint64_t fileSize = BMP_FILE_HEADER_SIZE + infoSize + imageSize;
    if (headerSize < DIB_HEADER_SIZE || infoSize + imageSize > length || fileSize > UINT32_MAX) {
        return header;
    }
    header[0] = 'B';
    header[1] = 'M';
    PutU32(&header[2], static_cast<uint32_t>(fileSize));
    // bytes 6 to 9: two reserved words, zero
    PutU32(&header[10], static_cast<uint32_t>(BMP_FILE_HEADER_SIZE + infoSize));
    return header;
}
