#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "capture/mjpeg.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }

void AppendSegment(Bytes& out, uint8_t marker, const Bytes& payload) {
    const size_t length = payload.size() + 2;
    Append(out, {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    out.insert(out.end(), payload.begin(), payload.end());
}

Bytes FrameHeader(uint16_t width, uint16_t height) {
    return {8, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
            static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width), 1, 1, 0x11, 0};
}

const Bytes SCAN_HEADER = {1, 1, 0x00, 0, 63, 0};

// Entropy data that exercises the scan walk: a stuffed 0xFF, a restart marker
// and a fill byte before a restart marker.
const Bytes ENTROPY = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56, 0xFF, 0xFF, 0xD1, 0x78, 0xD9};

// SOI, APP0, SOF0 (width x height), optional DHT payload, SOS, entropy, EOI.
Bytes MakeJpeg(uint16_t width, uint16_t height, const Bytes* huffman = nullptr) {
    Bytes out = {0xFF, 0xD8};
    AppendSegment(out, 0xE0, {'J', 'F', 'I', 'F', 0});
    AppendSegment(out, 0xC0, FrameHeader(width, height));
    if (huffman) AppendSegment(out, 0xC4, *huffman);
    AppendSegment(out, 0xDA, SCAN_HEADER);
    out.insert(out.end(), ENTROPY.begin(), ENTROPY.end());
    Append(out, {0xFF, 0xD9});
    return out;
}

size_t FindScan(const Bytes& jpeg) {
    for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) return i;
    }
    return jpeg.size();
}

Bytes StandardPayload() {
    const uint8_t* segment = StandardHuffmanSegment();
    return Bytes(segment + 4, segment + StandardHuffmanSegmentSize());
}

// Parses a copy that ends exactly where the bytes end, so that the sanitizer
// sees any read past them.
bool ParseExact(const Bytes& bytes, JpegLayout& layout) {
    auto copy = std::make_unique<uint8_t[]>(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return ParseJpeg(bytes.empty() ? nullptr : copy.get(), bytes.size(), layout);
}

}  // namespace

TEST(Mjpeg, ParseFindsSizeScanAndEnd) {
    Bytes jpeg = MakeJpeg(1280, 720);
    const size_t eoiEnd = jpeg.size();
    Append(jpeg, {0, 0, 0, 0xFF});  // webcams pad frames after the EOI
    JpegLayout layout;
    ASSERT_TRUE(ParseExact(jpeg, layout));
    EXPECT_EQ(layout.width, 1280);
    EXPECT_EQ(layout.height, 720);
    EXPECT_FALSE(layout.hasHuffmanTables);
    EXPECT_EQ(layout.firstScan, FindScan(jpeg));
    EXPECT_EQ(layout.end, eoiEnd);

    const Bytes payload = StandardPayload();
    ASSERT_TRUE(ParseExact(MakeJpeg(16, 8, &payload), layout));
    EXPECT_TRUE(layout.hasHuffmanTables);
}

TEST(Mjpeg, OnlyTablesBeforeTheFirstScanCount) {
    // A second scan preceded by its own DHT (as in a progressive stream).
    Bytes jpeg = MakeJpeg(16, 8);
    jpeg.resize(jpeg.size() - 2);  // drop the EOI
    AppendSegment(jpeg, 0xC4, StandardPayload());
    AppendSegment(jpeg, 0xDA, SCAN_HEADER);
    Append(jpeg, {0x01, 0x02, 0xFF, 0xD9});
    JpegLayout layout;
    ASSERT_TRUE(ParseExact(jpeg, layout));
    EXPECT_FALSE(layout.hasHuffmanTables);
    EXPECT_EQ(layout.firstScan, FindScan(jpeg));
}

TEST(Mjpeg, RejectsStreamsThatAreNotWhole) {
    JpegLayout layout;
    EXPECT_FALSE(ParseExact({}, layout));
    EXPECT_FALSE(ParseExact({0xFF, 0xD8}, layout));
    EXPECT_FALSE(ParseExact({0xFF, 0xD8, 0xFF, 0xD9}, layout)) << "no scan";

    Bytes noSoi = MakeJpeg(16, 8);
    noSoi[1] = 0xD9;
    EXPECT_FALSE(ParseExact(noSoi, layout));

    Bytes scanBeforeFrame = {0xFF, 0xD8};
    AppendSegment(scanBeforeFrame, 0xDA, SCAN_HEADER);
    Append(scanBeforeFrame, {0x00, 0xFF, 0xD9});
    EXPECT_FALSE(ParseExact(scanBeforeFrame, layout));

    Bytes garbageBetweenSegments = {0xFF, 0xD8, 0x00};
    const Bytes rest = MakeJpeg(16, 8);
    garbageBetweenSegments.insert(garbageBetweenSegments.end(), rest.begin() + 2, rest.end());
    EXPECT_FALSE(ParseExact(garbageBetweenSegments, layout));

    for (uint16_t badLength : {0, 1, 0xFFFF}) {
        Bytes jpeg = MakeJpeg(16, 8);
        jpeg[4] = static_cast<uint8_t>(badLength >> 8);  // APP0's length
        jpeg[5] = static_cast<uint8_t>(badLength);
        EXPECT_FALSE(ParseExact(jpeg, layout)) << badLength;
    }

    Bytes shortFrameHeader = {0xFF, 0xD8};
    AppendSegment(shortFrameHeader, 0xC0, {8, 0, 8});
    AppendSegment(shortFrameHeader, 0xDA, SCAN_HEADER);
    Append(shortFrameHeader, {0x00, 0xFF, 0xD9});
    EXPECT_FALSE(ParseExact(shortFrameHeader, layout));
}

TEST(Mjpeg, EveryTruncationIsRejectedWithoutReadingPastTheEnd) {
    const Bytes payload = StandardPayload();
    for (const Bytes& jpeg : {MakeJpeg(640, 480), MakeJpeg(640, 480, &payload)}) {
        for (size_t cut = 0; cut < jpeg.size(); ++cut) {
            JpegLayout layout;
            EXPECT_FALSE(ParseExact(Bytes(jpeg.begin(), jpeg.begin() + cut), layout)) << cut;
        }
    }
}

TEST(Mjpeg, CorruptBytesNeverReadPastTheEnd) {
    const Bytes jpeg = MakeJpeg(640, 480);
    for (size_t at = 0; at < jpeg.size(); ++at) {
        for (uint8_t value : {0x00, 0x01, 0xC4, 0xD8, 0xD9, 0xDA, 0xFF}) {
            Bytes corrupt = jpeg;
            corrupt[at] = value;
            JpegLayout layout;
            if (ParseExact(corrupt, layout)) {
                EXPECT_LE(layout.firstScan, layout.end);
                EXPECT_LE(layout.end, corrupt.size());
                Bytes out;
                InsertStandardHuffmanTables(corrupt.data(), layout, out);
                EXPECT_EQ(out.size(), layout.end + StandardHuffmanSegmentSize());
            }
            RemoveStandardHuffmanTables(corrupt);
        }
    }
}

TEST(Mjpeg, InsertPutsTheTablesBeforeTheScan) {
    Bytes jpeg = MakeJpeg(320, 240);
    const size_t scan = FindScan(jpeg);
    const size_t eoiEnd = jpeg.size();
    Append(jpeg, {0, 0});
    JpegLayout layout;
    ASSERT_TRUE(ParseExact(jpeg, layout));

    Bytes out;
    InsertStandardHuffmanTables(jpeg.data(), layout, out);
    const size_t segment = StandardHuffmanSegmentSize();
    ASSERT_EQ(out.size(), eoiEnd + segment);  // trailing padding left out
    EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.begin() + scan, out.begin()));
    EXPECT_TRUE(std::equal(StandardHuffmanSegment(), StandardHuffmanSegment() + segment,
                           out.begin() + scan));
    EXPECT_TRUE(std::equal(jpeg.begin() + scan, jpeg.begin() + eoiEnd, out.begin() + scan + segment));

    JpegLayout inserted;
    ASSERT_TRUE(ParseExact(out, inserted));
    EXPECT_TRUE(inserted.hasHuffmanTables);
    EXPECT_EQ(inserted.firstScan, scan + segment);
    EXPECT_EQ(inserted.width, 320);
    EXPECT_EQ(inserted.height, 240);
}

// The symbols and code counts of Annex K.3: a typo in the tables shows up as a
// missing or repeated symbol or as counts that no prefix code can have.
TEST(Mjpeg, StandardTablesAreWellFormedPrefixCodes) {
    const Bytes payload = StandardPayload();
    const uint8_t* segment = StandardHuffmanSegment();
    ASSERT_EQ(segment[0], 0xFF);
    ASSERT_EQ(segment[1], 0xC4);
    ASSERT_EQ((segment[2] << 8) | segment[3], static_cast<int>(StandardHuffmanSegmentSize() - 2));

    std::set<uint8_t> acSymbols = {0x00, 0xF0};
    for (int run = 0; run < 16; ++run) {
        for (int size = 1; size <= 10; ++size) acSymbols.insert(static_cast<uint8_t>(run << 4 | size));
    }
    std::set<uint8_t> dcSymbols;
    for (uint8_t size = 0; size <= 11; ++size) dcSymbols.insert(size);

    std::set<uint8_t> slots;
    size_t at = 0;
    while (at < payload.size()) {
        ASSERT_LE(at + 17, payload.size());
        const uint8_t classAndSlot = payload[at];
        slots.insert(classAndSlot);
        size_t count = 0;
        // Codes of each length must leave room below the all-ones code.
        int64_t available = 1;
        for (int length = 1; length <= 16; ++length) {
            available = available * 2 - payload[at + length];
            ASSERT_GE(available, 1) << "length " << length;
            count += payload[at + length];
        }
        ASSERT_LE(at + 17 + count, payload.size());
        const std::set<uint8_t> symbols(payload.begin() + static_cast<std::ptrdiff_t>(at + 17),
                                        payload.begin() + static_cast<std::ptrdiff_t>(at + 17 + count));
        EXPECT_EQ(symbols.size(), count) << "repeated symbol in table " << int(classAndSlot);
        EXPECT_EQ(symbols, (classAndSlot >> 4) ? acSymbols : dcSymbols) << int(classAndSlot);
        at += 17 + count;
    }
    EXPECT_EQ(slots, (std::set<uint8_t>{0x00, 0x01, 0x10, 0x11}));
}

TEST(Mjpeg, RemoveTakesOutOnlyStandardTables) {
    // The standard tables as one segment, and as one segment per table (as
    // encoders write them).
    const Bytes together = StandardPayload();
    Bytes jpeg = MakeJpeg(64, 48, &together);
    ASSERT_TRUE(RemoveStandardHuffmanTables(jpeg));
    EXPECT_EQ(jpeg, MakeJpeg(64, 48));

    Bytes separate = MakeJpeg(64, 48);
    const size_t scan = FindScan(separate);
    Bytes tables;
    for (size_t at = 0; at < together.size();) {
        size_t count = 0;
        for (int i = 1; i <= 16; ++i) count += together[at + i];
        AppendSegment(tables, 0xC4, Bytes(together.begin() + at, together.begin() + at + 17 + count));
        at += 17 + count;
    }
    separate.insert(separate.begin() + scan, tables.begin(), tables.end());
    ASSERT_TRUE(RemoveStandardHuffmanTables(separate));
    EXPECT_EQ(separate, MakeJpeg(64, 48));

    // Round trip: inserted tables come out again.
    JpegLayout layout;
    const Bytes bare = MakeJpeg(64, 48);
    ASSERT_TRUE(ParseExact(bare, layout));
    Bytes inserted;
    InsertStandardHuffmanTables(bare.data(), layout, inserted);
    ASSERT_TRUE(RemoveStandardHuffmanTables(inserted));
    EXPECT_EQ(inserted, bare);

    // An optimised table (one symbol changed) must stay: the scan needs it.
    Bytes custom = together;
    custom[17] = 5;
    const Bytes withCustom = MakeJpeg(64, 48, &custom);
    Bytes kept = withCustom;
    EXPECT_FALSE(RemoveStandardHuffmanTables(kept));
    EXPECT_EQ(kept, withCustom);

    // A DHT segment cut short inside a table is not standard either.
    const Bytes cutTable(together.begin(), together.begin() + 20);
    Bytes withCut = MakeJpeg(64, 48, &cutTable);
    EXPECT_FALSE(RemoveStandardHuffmanTables(withCut));

    Bytes broken = {0xFF, 0xD8, 0xFF};
    EXPECT_FALSE(RemoveStandardHuffmanTables(broken));
    EXPECT_EQ(broken, (Bytes{0xFF, 0xD8, 0xFF}));
}
