#include <gtest/gtest.h>

#include <numeric>
#include <utility>

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

// The copy's storage ends where its bytes end, so that the sanitizer sees any read past them.
bool ParseExact(Bytes copy, JpegLayout& layout) {
    return ParseJpeg(copy.empty() ? nullptr : copy.data(), copy.size(), layout);
}

}  // namespace

// Webcams pad frames after the EOI: the walk ends at the EOI, and the tables go in once, right before the scan. A
// frame cut short in transfer is dropped, at every length, without a read past its end (other corruption is the fuzz
// target's). Removal takes out our tables only: that they are the standard ones, the Windows decoder tests check.
TEST(Mjpeg, ParseFindsTheLayoutOfWholeStreamsOnlyAndInsertAndRemoveOnlyTheStandardTablesBeforeTheScan) {
    const Bytes plain = MakeJpeg(1280, 720), standard(StandardHuffmanSegment() + 4,
                                                      StandardHuffmanSegment() + StandardHuffmanSegmentSize());
    const size_t scan = plain.size() - ENTROPY_AND_EOI.size() - 4 - SCAN_HEADER.size();
    Bytes padded = plain, out;
    padded.insert(padded.end(), {0, 0, 0, 0xFF});
    JpegLayout layout;
    ASSERT_TRUE(ParseExact(padded, layout));
    EXPECT_TRUE(layout.width == 1280 && layout.height == 720 && !layout.hasHuffmanTables &&
                layout.firstScan == scan && layout.end == plain.size());
    InsertStandardHuffmanTables(padded.data(), layout, out);
    ASSERT_TRUE(ParseExact(out, layout));
    EXPECT_TRUE(layout.hasHuffmanTables && layout.firstScan == scan + StandardHuffmanSegmentSize());
    for (size_t cut = 0; cut < out.size(); ++cut)
        EXPECT_FALSE(ParseExact(Bytes(out.begin(), out.begin() + cut), layout)) << cut;
    ASSERT_TRUE(RemoveStandardHuffmanTables(out));  // and come out again, leaving the stream as it was
    EXPECT_EQ(out, plain);
    // An optimised table (one symbol changed, or two code lengths swapped) must stay: the scan needs it. So must a
    // table cut short; a stream that is not whole is the fuzz target's.
    Bytes symbol = standard, lengths = standard;
    symbol[17] = 5;
    std::swap(lengths[2], lengths[3]);
    for (const Bytes& table : {symbol, lengths, Bytes(standard.begin(), standard.begin() + 20)}) {
        Bytes kept = MakeJpeg(64, 48, &table);
        EXPECT_TRUE(!RemoveStandardHuffmanTables(kept) && kept == MakeJpeg(64, 48, &table));
    }
}


// What Windows' decoder is given (Wine's supplies missing tables by itself, so no decode under Wine can tell): a
// webcam's table-less frame gets the standard tables and is then, byte for byte, the frame an encoder using them
// writes, so the two decode alike; a frame with all four tables of its own, standard or not, goes as it came,
// uncopied, and one with some of them gets the standard ones for the rest. The padding after the EOI is left out,
// and stale scratch bytes never leak in.
TEST(Mjpeg, AStrictDecoderIsGivenTheStandardTablesForEverySlotTheFrameLeavesOut) {
    const Bytes standard(StandardHuffmanSegment() + 4, StandardHuffmanSegment() + StandardHuffmanSegmentSize());
    Bytes optimised = standard;
    optimised[17] = 5;
    // The luma tables alone (DC then AC slot 0, as the standard segment holds them): the chroma slots are left to
    // the standard tables, inserted ahead of the stream's own, which then replace the standard luma ones.
    const Bytes luma = [&] {
        Bytes tables;
        for (size_t at = 0; at < standard.size();) {
            const size_t end = at + 17 + std::accumulate(&standard[at + 1], &standard[at + 17], size_t{0});
            if ((standard[at] & 0x0F) == 0) tables.insert(tables.end(), &standard[at], &standard[0] + end);
            at = end;
        }
        return tables;
    }();
    Bytes lumaFixed = MakeJpeg(64, 48, &luma);
    const size_t dht = MakeJpeg(64, 48).size() - ENTROPY_AND_EOI.size() - 4 - SCAN_HEADER.size();
    lumaFixed.insert(lumaFixed.begin() + static_cast<std::ptrdiff_t>(dht), StandardHuffmanSegment(),
                     StandardHuffmanSegment() + StandardHuffmanSegmentSize());
    const struct { Bytes frame, given; bool copied; } cases[] = {
        {MakeJpeg(64, 48), MakeJpeg(64, 48, &standard), true},
        {MakeJpeg(64, 48, &standard), MakeJpeg(64, 48, &standard), false},
        {MakeJpeg(64, 48, &optimised), MakeJpeg(64, 48, &optimised), false},
        {MakeJpeg(64, 48, &luma), lumaFixed, true}};
    for (const auto& c : cases) {
        Bytes padded = c.frame, scratch(5000, 0xAB);
        padded.insert(padded.end(), {0, 0, 0xFF});
        JpegLayout layout;
        ASSERT_TRUE(ParseJpeg(padded.data(), padded.size(), layout));
        const std::span<const uint8_t> given = JpegForStrictDecoder(padded.data(), layout, scratch);
        EXPECT_EQ(Bytes(given.begin(), given.end()), c.given) << &c - cases;
        EXPECT_EQ(given.data() != padded.data(), c.copied) << &c - cases;
    }
}
