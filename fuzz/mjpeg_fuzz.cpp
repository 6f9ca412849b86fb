// The marker walk and the removal of the standard Huffman tables on any bytes: no read outside them, whatever is
// accepted is a whole stream, and a removal leaves the bytes as they were or a stream without tables.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "capture/mjpeg.h"

static void Check(bool condition) {
    if (!condition) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JpegLayout layout, after;
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
    Check(ParseJpeg(removed.data(), removed.size(), after) && after.hasHuffmanTables != onlyStandard);
    return 0;
}
