#include "capture/mjpeg.h"

#include <array>
#include <cstring>

namespace {

constexpr uint8_t MARKER_PREFIX = 0xFF;
constexpr uint8_t SOI = 0xD8;
constexpr uint8_t EOI = 0xD9;
constexpr uint8_t SOS = 0xDA;
constexpr uint8_t DHT = 0xC4;
constexpr uint8_t TEM = 0x01;
constexpr uint8_t RST0 = 0xD0;
constexpr uint8_t RST7 = 0xD7;

bool IsRestart(uint8_t marker) { return marker >= RST0 && marker <= RST7; }

// SOF0..SOF15 share 0xC0..0xCF with DHT (C4), JPG (C8) and DAC (CC).
bool IsFrameHeader(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != DHT && marker != 0xC8 && marker != 0xCC;
}

uint16_t ReadBigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// One Huffman table of the standard set: the number of codes of each length
// 1..16, then the symbols in code order.
struct HuffmanTable {
    uint8_t classAndSlot;  // high nibble: 0 = DC, 1 = AC; low nibble: table slot
    std::array<uint8_t, 16> counts;
    const uint8_t* symbols;
    size_t symbolCount;
};

// ISO/IEC 10918-1 Annex K.3, tables K.3 to K.6. Slot 0 serves luminance and
// slot 1 chrominance, as every Motion-JPEG decoder assumes.
constexpr uint8_t DC_SYMBOLS[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

constexpr uint8_t AC_LUMINANCE_SYMBOLS[] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

constexpr uint8_t AC_CHROMINANCE_SYMBOLS[] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

constexpr HuffmanTable STANDARD_TABLES[] = {
    {0x00, {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, DC_SYMBOLS, sizeof DC_SYMBOLS},
    {0x10, {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d}, AC_LUMINANCE_SYMBOLS,
     sizeof AC_LUMINANCE_SYMBOLS},
    {0x01, {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, DC_SYMBOLS, sizeof DC_SYMBOLS},
    {0x11, {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77}, AC_CHROMINANCE_SYMBOLS,
     sizeof AC_CHROMINANCE_SYMBOLS},
};

constexpr size_t StandardSegmentSize() {
    size_t size = 4;  // marker and length
    for (const HuffmanTable& table : STANDARD_TABLES) size += 1 + 16 + table.symbolCount;
    return size;
}

constexpr std::array<uint8_t, StandardSegmentSize()> BuildStandardSegment() {
    std::array<uint8_t, StandardSegmentSize()> segment{};
    size_t at = 0;
    segment[at++] = MARKER_PREFIX;
    segment[at++] = DHT;
    segment[at++] = static_cast<uint8_t>((StandardSegmentSize() - 2) >> 8);
    segment[at++] = static_cast<uint8_t>((StandardSegmentSize() - 2) & 0xFF);
    for (const HuffmanTable& table : STANDARD_TABLES) {
        segment[at++] = table.classAndSlot;
        for (uint8_t count : table.counts) segment[at++] = count;
        for (size_t i = 0; i < table.symbolCount; ++i) segment[at++] = table.symbols[i];
    }
    return segment;
}

constexpr std::array<uint8_t, StandardSegmentSize()> STANDARD_SEGMENT = BuildStandardSegment();

const HuffmanTable* FindStandardTable(uint8_t classAndSlot) {
    for (const HuffmanTable& table : STANDARD_TABLES) {
        if (table.classAndSlot == classAndSlot) return &table;
    }
    return nullptr;
}

// True when the payload of one DHT segment is a well-formed list of tables,
// each equal to the standard table of its class and slot.
bool HoldsOnlyStandardTables(const uint8_t* payload, size_t length) {
    size_t at = 0;
    if (length == 0) return false;
    while (at < length) {
        if (length - at < 17) return false;
        const HuffmanTable* standard = FindStandardTable(payload[at]);
        size_t symbolCount = 0;
        for (size_t i = 0; i < 16; ++i) symbolCount += payload[at + 1 + i];
        if (!standard || symbolCount != standard->symbolCount) return false;
        if (length - at - 17 < symbolCount) return false;
        if (std::memcmp(payload + at + 1, standard->counts.data(), 16) != 0) return false;
        if (std::memcmp(payload + at + 17, standard->symbols, symbolCount) != 0) return false;
        at += 17 + symbolCount;
    }
    return true;
}

// The slots among the standard four that a DHT payload defines, up to the
// first table that runs past its end.
uint8_t HuffmanSlots(const uint8_t* payload, size_t length) {
    uint8_t slots = 0;
    for (size_t at = 0; length - at >= 17;) {
        size_t symbolCount = 0;
        for (size_t i = 0; i < 16; ++i) symbolCount += payload[at + 1 + i];
        if (length - at - 17 < symbolCount) break;
        const unsigned tableClass = payload[at] >> 4, id = payload[at] & 0x0Fu;
        if (tableClass < 2 && id < 2) slots |= static_cast<uint8_t>(1u << (tableClass * 2 + id));
        at += 17 + symbolCount;
    }
    return slots;
}

struct Segment {
    size_t start;  // offset of the marker's 0xFF
    size_t end;    // offset just past the segment
};

// The walk shared by ParseJpeg and RemoveStandardHuffmanTables; `onHuffman`
// sees every DHT segment before the first scan with its payload.
template <typename OnHuffman>
bool WalkJpeg(const uint8_t* data, size_t length, JpegLayout& layout, OnHuffman&& onHuffman) {
    layout = JpegLayout{};
    if (!data || length < 4 || data[0] != MARKER_PREFIX || data[1] != SOI) return false;
    bool sawFrameHeader = false;
    bool sawScan = false;
    size_t at = 2;
    for (;;) {
        // Between segments: a marker, possibly after 0xFF fill bytes.
        if (at >= length || data[at] != MARKER_PREFIX) return false;
        while (at < length && data[at] == MARKER_PREFIX) ++at;
        if (at >= length) return false;
        const size_t markerStart = at - 1;
        const uint8_t marker = data[at++];

        if (marker == EOI) {
            if (!sawScan) return false;
            layout.end = at;
            return true;
        }
        if (marker == 0x00 || marker == SOI) return false;
        if (IsRestart(marker) || marker == TEM) continue;  // markers without a length

        if (length - at < 2) return false;
        const size_t segmentLength = ReadBigEndian16(data + at);
        if (segmentLength < 2 || segmentLength > length - at) return false;
        const uint8_t* payload = data + at + 2;
        const size_t payloadLength = segmentLength - 2;
        const size_t segmentEnd = at + segmentLength;

        if (IsFrameHeader(marker) && !sawFrameHeader) {
            // precision, height, width, component count
            if (payloadLength < 6) return false;
            layout.height = ReadBigEndian16(payload + 1);
            layout.width = ReadBigEndian16(payload + 3);
            sawFrameHeader = true;
        } else if (marker == DHT && !sawScan) {
            if (!layout.hasHuffmanTables) layout.firstHuffman = markerStart;
            layout.hasHuffmanTables = true;
            layout.huffmanSlots |= HuffmanSlots(payload, payloadLength);
            onHuffman(Segment{markerStart, segmentEnd}, payload, payloadLength);
        } else if (marker == SOS) {
            if (!sawFrameHeader) return false;
            if (!sawScan) layout.firstScan = markerStart;
            sawScan = true;
        }
        at = segmentEnd;

        if (marker == SOS) {
            // Entropy-coded data: a 0xFF in it is followed by a stuffed 0x00 or
            // a restart marker; any other marker ends it.
            for (;;) {
                const void* found = std::memchr(data + at, MARKER_PREFIX, length - at);
                if (!found) return false;
                at = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
                size_t next = at + 1;
                while (next < length && data[next] == MARKER_PREFIX) ++next;
                if (next >= length) return false;
                if (data[next] == 0x00 || IsRestart(data[next])) {
                    at = next + 1;
                    continue;
                }
                at = next - 1;  // the last 0xFF before the marker
                break;
            }
        }
    }
}

}  // namespace

bool ParseJpeg(const uint8_t* data, size_t length, JpegLayout& layout) {
    return WalkJpeg(data, length, layout, [](const Segment&, const uint8_t*, size_t) {});
}

void InsertStandardHuffmanTables(const uint8_t* data, const JpegLayout& layout,
                                 std::vector<uint8_t>& out) {
    out.clear();
    const size_t at = layout.hasHuffmanTables ? layout.firstHuffman : layout.firstScan;
    if (at > layout.end) return;
    out.reserve(layout.end + STANDARD_SEGMENT.size());
    out.insert(out.end(), data, data + at);
    out.insert(out.end(), STANDARD_SEGMENT.begin(), STANDARD_SEGMENT.end());
    out.insert(out.end(), data + at, data + layout.end);
}

std::span<const uint8_t> JpegForStrictDecoder(const uint8_t* data, const JpegLayout& layout,
                                              std::vector<uint8_t>& scratch) {
    constexpr uint8_t ALL_SLOTS = 0x0F;
    if (layout.huffmanSlots == ALL_SLOTS) return {data, layout.end};
    InsertStandardHuffmanTables(data, layout, scratch);
    return scratch;
}

bool RemoveStandardHuffmanTables(std::vector<uint8_t>& jpeg) {
    std::vector<Segment> removable;
    bool keepsSome = false;
    JpegLayout layout;
    const bool whole = WalkJpeg(jpeg.data(), jpeg.size(), layout,
                                [&](const Segment& segment, const uint8_t* payload, size_t length) {
                                    if (HoldsOnlyStandardTables(payload, length)) {
                                        removable.push_back(segment);
                                    } else {
                                        keepsSome = true;
                                    }
                                });
    if (!whole) return false;
    // Back to front, so that earlier offsets stay valid.
    for (auto it = removable.rbegin(); it != removable.rend(); ++it) {
        jpeg.erase(jpeg.begin() + static_cast<std::ptrdiff_t>(it->start),
                   jpeg.begin() + static_cast<std::ptrdiff_t>(it->end));
    }
    return !keepsSome;
}

const uint8_t* StandardHuffmanSegment() { return STANDARD_SEGMENT.data(); }

size_t StandardHuffmanSegmentSize() { return STANDARD_SEGMENT.size(); }
