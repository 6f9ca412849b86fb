// The marker walk and the Huffman-table insertion and removal on any bytes:
// no read outside them, and whatever is accepted comes out well formed.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "capture/mjpeg.h"

static void Check(bool condition) { if (!condition) std::abort(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JpegLayout layout;
    std::vector<uint8_t> removed(data, data + size);
    const bool whole = ParseJpeg(data, size, layout);
    const bool onlyStandard = RemoveStandardHuffmanTables(removed);
    Check(whole || (!onlyStandard && std::equal(removed.begin(), removed.end(), data, data + size)));
    if (!whole) return 0;
    Check(layout.end <= size && layout.firstScan + 2 <= layout.end && data[0] == 0xFF && data[1] == 0xD8);
    Check(data[layout.firstScan] == 0xFF && data[layout.firstScan + 1] == 0xDA);
    Check(data[layout.end - 2] == 0xFF && data[layout.end - 1] == 0xD9);
    // The tables go in once, just before the first scan or the stream's own first tables: a whole stream with the
    // same frame header and scans.
    std::vector<uint8_t> out;
    InsertStandardHuffmanTables(data, layout, out);
    const uint8_t* segment = StandardHuffmanSegment();
    const size_t segmentSize = StandardHuffmanSegmentSize(), scan = layout.firstScan;
    const size_t at = layout.hasHuffmanTables ? layout.firstHuffman : scan;
    Check(at <= scan && (!layout.hasHuffmanTables || (data[at] == 0xFF && data[at + 1] == 0xC4)));
    Check(out.size() == layout.end + segmentSize && std::equal(data, data + at, out.begin()) &&
          std::equal(segment, segment + segmentSize, out.begin() + at) &&
          std::equal(data + at, data + layout.end, out.begin() + at + segmentSize));
    JpegLayout inserted;
    Check(ParseJpeg(out.data(), out.size(), inserted) && inserted.hasHuffmanTables && inserted.huffmanSlots == 0x0F &&
          inserted.firstScan == scan + segmentSize && inserted.end == out.size() &&
          inserted.width == layout.width && inserted.height == layout.height);
    // Removing them again gives back the stream without them.
    Check(layout.hasHuffmanTables ||
          (RemoveStandardHuffmanTables(out) && std::equal(out.begin(), out.end(), data, data + layout.end)));
    JpegLayout after;
    Check(ParseJpeg(removed.data(), removed.size(), after) && after.hasHuffmanTables != onlyStandard);
    return 0;
}
