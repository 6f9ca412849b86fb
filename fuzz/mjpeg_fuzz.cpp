// The marker walk and the Huffman-table insertion and removal on any bytes:
// no read outside them, and whatever is accepted comes out well formed.
// (Which bytes the tables are and where they go is the unit test's.)
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "capture/mjpeg.h"

static void Check(bool condition) {
    if (!condition) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JpegLayout layout;
    std::vector<uint8_t> removed(data, data + size);
    const bool whole = ParseJpeg(data, size, layout);
    const bool onlyStandard = RemoveStandardHuffmanTables(removed);
    if (!whole) {
        Check(!onlyStandard && std::equal(removed.begin(), removed.end(), data, data + size));
        return 0;
    }
    Check(layout.end <= size && layout.firstScan + 2 <= layout.end && data[0] == 0xFF && data[1] == 0xD8);
    Check(data[layout.firstScan] == 0xFF && data[layout.firstScan + 1] == 0xDA);
    Check(data[layout.end - 2] == 0xFF && data[layout.end - 1] == 0xD9);
    std::vector<uint8_t> out;
    InsertStandardHuffmanTables(data, layout, out);
    JpegLayout inserted, after;
    Check(ParseJpeg(out.data(), out.size(), inserted) && inserted.hasHuffmanTables && inserted.end == out.size() &&
          inserted.firstScan == layout.firstScan + StandardHuffmanSegmentSize() && inserted.width == layout.width);
    Check(ParseJpeg(removed.data(), removed.size(), after) && after.hasHuffmanTables != onlyStandard);
    return 0;
}
