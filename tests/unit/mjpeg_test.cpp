#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "capture/mjpeg.h"

namespace {

using Bytes = std::vector<uint8_t>;

void AppendSegment(Bytes& out, uint8_t marker, const Bytes& payload) {
    const size_t length = payload.size() + 2;
    out.insert(out.end(), {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    out.insert(out.end(), payload.begin(), payload.end());
}

const Bytes SCAN_HEADER = {1, 1, 0x00, 0, 63, 0};
// Entropy data with a stuffed 0xFF, a restart marker and a fill byte before a restart marker, then the EOI.
const Bytes ENTROPY_AND_EOI = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56, 0xFF, 0xFF, 0xD1, 0x78, 0xD9, 0xFF, 0xD9};

// SOI, APP0, SOF0 (width x height), optional DHT payload, SOS, entropy, EOI.
Bytes MakeJpeg(uint16_t width, uint16_t height, const Bytes* huffman = nullptr) {
    Bytes out = {0xFF, 0xD8};
    AppendSegment(out, 0xE0, {'J', 'F', 'I', 'F', 0});
    AppendSegment(out, 0xC0, {8, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                              static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width), 1, 1, 0x11, 0});
    if (huffman) AppendSegment(out, 0xC4, *huffman);
    AppendSegment(out, 0xDA, SCAN_HEADER);
    out.insert(out.end(), ENTROPY_AND_EOI.begin(), ENTROPY_AND_EOI.end());
    return out;
}

Bytes StandardPayload() { auto* s = StandardHuffmanSegment(); return {s + 4, s + StandardHuffmanSegmentSize()}; }

// The copy's storage ends where its bytes end, so that the sanitizer sees any read past them.
bool ParseExact(Bytes copy, JpegLayout& layout) {
    return ParseJpeg(copy.empty() ? nullptr : copy.data(), copy.size(), layout);
}

}  // namespace

// The inserted tables are the standard ones, checked from what the standard says of them rather than byte by byte:
// four tables (DC and AC for slots 0 and 1); the DC tables code the sizes 0 to 11, the AC tables every run/size pair
// (run 0 to 15, size 1 to 10) plus end-of-block and the run of sixteen zeros, each symbol once; and the code lengths
// leave the all-ones code unused.
TEST(Mjpeg, StandardSegmentHoldsTheFourStandardTables) {
    const Bytes segment(StandardHuffmanSegment(), StandardHuffmanSegment() + StandardHuffmanSegmentSize());
    ASSERT_TRUE((segment[0] << 8 | segment[1]) == 0xFFC4 && size_t(segment[2] << 8 | segment[3]) == segment.size() - 2);
    std::set<int> dc, ac{0x00, 0xF0}, slots;
    for (int i = 0; i < 160; ++i) ac.insert((i / 10) << 4 | (i % 10 + 1));  // run 0 to 15, size 1 to 10
    for (int i = 0; i < 12; ++i) dc.insert(i);
    for (size_t at = 4; at < segment.size();) {
        const int classAndSlot = segment[at];
        slots.insert(classAndSlot);
        size_t count = 0;
        double kraft = 0;
        for (int length = 1; length <= 16; ++length) {
            count += segment[at + length];
            kraft += std::ldexp(segment[at + length], -length);
        }
        ASSERT_LE(at + 17 + count, segment.size());
        const std::set<int> symbols(segment.begin() + at + 17, segment.begin() + at + 17 + count);
        EXPECT_TRUE(kraft < 1.0 && symbols.size() == count && symbols == (classAndSlot >> 4 ? ac : dc)) << classAndSlot;
        at += 17 + count;
    }
    EXPECT_EQ(slots, (std::set<int>{0x00, 0x01, 0x10, 0x11}));
}

// Webcams pad frames after the EOI: the walk ends at the EOI, and the tables go in once, right before the scan, in a
// segment whose own length fits them. A frame cut short in transfer is dropped, at every length, without a read past
// its end. (Other corruption is the fuzz target's.)
TEST(Mjpeg, ParseFindsTheLayoutOfWholeStreamsOnlyAndInsertAndRemoveTheTablesBeforeTheScan) {
    const Bytes plain = MakeJpeg(1280, 720), standard = StandardPayload();
    const size_t scan = plain.size() - ENTROPY_AND_EOI.size() - 4 - SCAN_HEADER.size();
    Bytes padded = plain, out;
    padded.insert(padded.end(), {0, 0, 0, 0xFF});
    JpegLayout layout;
    ASSERT_TRUE(ParseExact(padded, layout));
    EXPECT_TRUE(layout.width == 1280 && layout.height == 720 && !layout.hasHuffmanTables &&
                layout.firstScan == scan && layout.end == plain.size());
    InsertStandardHuffmanTables(padded.data(), layout, out);
    EXPECT_EQ(out, MakeJpeg(1280, 720, &standard));
    ASSERT_TRUE(ParseExact(out, layout));
    EXPECT_TRUE(layout.hasHuffmanTables && layout.firstScan == scan + StandardHuffmanSegmentSize());
    for (const Bytes& whole : {plain, out})
        for (size_t cut = 0; cut < whole.size(); ++cut)
            EXPECT_FALSE(ParseExact(Bytes(whole.begin(), whole.begin() + cut), layout)) << cut << " / " << whole.size();
    ASSERT_TRUE(RemoveStandardHuffmanTables(out));  // and come out again, leaving the stream as it was
    EXPECT_EQ(out, plain);
}

TEST(Mjpeg, RemoveLeavesTablesOtherThanTheStandardOnes) {
    const Bytes standard = StandardPayload();
    // An optimised table (one symbol changed, or two code lengths swapped) must stay: the scan needs it. So must a
    // table cut short, and a stream that is not whole.
    Bytes symbol = standard, lengths = standard;
    symbol[17] = 5;
    std::swap(lengths[2], lengths[3]);
    const Bytes cutTable(standard.begin(), standard.begin() + 20);
    for (Bytes kept : {MakeJpeg(64, 48, &symbol), MakeJpeg(64, 48, &lengths), MakeJpeg(64, 48, &cutTable),
                       Bytes{0xFF, 0xD8, 0xFF}}) {
        const Bytes before = kept;
        EXPECT_FALSE(RemoveStandardHuffmanTables(kept));
        EXPECT_EQ(kept, before);
    }
}
