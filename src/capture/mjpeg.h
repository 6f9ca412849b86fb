#pragma once
// Compressed (MJPG) camera frames.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "capture/frame.h"

// Decodes one JPEG frame into `frame` when it decodes to exactly width x height;
// returns false otherwise (truncated, corrupt, other size, or no JPEG decoder
// on this platform), leaving `frame` untouched.
bool DecodeMjpegFrame(const uint8_t* data, int32_t length, int32_t width, int32_t height,
                      CapturedFrame& frame);

// What a walk over the markers of one JPEG stream found.
struct JpegLayout {
    int32_t width = 0;   // from the first frame header (SOFn)
    int32_t height = 0;  // 0 when the height is deferred to a DNL marker
    bool hasHuffmanTables = false;  // a DHT segment before the first scan
    size_t firstHuffman = 0;        // offset of the first such segment's 0xFF
    // The slots those segments define among the four the standard tables
    // fill: bit (class * 2 + id), class 0 for DC and 1 for AC, id 0 or 1.
    uint8_t huffmanSlots = 0;
    size_t firstScan = 0;           // offset of the first SOS marker's 0xFF
    size_t end = 0;                 // offset just past the EOI marker
};

// Walks the stream from SOI to EOI, reading no byte at or beyond `length`.
// False for anything that is not one whole JPEG stream: no SOI, a segment that
// runs past the end, no frame header before the first scan, no scan, or no EOI
// (a frame cut short in transfer is dropped rather than shown half grey).
// Bytes after the EOI are ignored; `end` says where they start.
bool ParseJpeg(const uint8_t* data, size_t length, JpegLayout& layout);

// Motion-JPEG webcams leave out the Huffman tables and expect the decoder to
// use the standard ones (ISO/IEC 10918-1, Annex K.3). Copies data[0, layout.end)
// into `out` with one DHT segment holding the four standard tables inserted
// before the first scan, or before the stream's own first DHT segment, whose
// tables then replace the standard ones of their slots. `layout` must come
// from ParseJpeg on the same bytes.
void InsertStandardHuffmanTables(const uint8_t* data, const JpegLayout& layout,
                                 std::vector<uint8_t>& out);

// The bytes to hand a decoder that, like Windows' imaging component, refuses a
// scan without Huffman tables: data[0, layout.end) itself when it defines all
// four slots, else a copy in `scratch` with the standard tables inserted (a
// stream that sends some tables may leave the others to the decoder too). Bytes after the
// EOI are left out either way. `layout` must come from ParseJpeg on the same
// bytes; the result lives as long as `data` or `scratch`, whichever it uses.
std::span<const uint8_t> JpegForStrictDecoder(const uint8_t* data, const JpegLayout& layout,
                                              std::vector<uint8_t>& scratch);

// Removes, before the first scan, every DHT segment whose tables are all the
// standard tables for their class and slot, so that `jpeg` looks like a
// webcam's frame. Segments holding any other table are kept. Returns true
// when the result has no DHT segment before its first scan; false (with
// `jpeg` unchanged) when it is no whole JPEG stream.
bool RemoveStandardHuffmanTables(std::vector<uint8_t>& jpeg);

// The DHT segment (marker included) that InsertStandardHuffmanTables adds.
const uint8_t* StandardHuffmanSegment();
size_t StandardHuffmanSegmentSize();
