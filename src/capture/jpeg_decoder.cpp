#include "capture/jpeg_decoder.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include "capture/convert_kernels.h"
#include "capture/jpeg_kernels.h"
#include "capture/mjpeg.h"

namespace {

constexpr int MAX_SIDE = 16384;
constexpr int64_t MAX_DECODED_BYTES = int64_t{1} << 28;

// Position in the block (row-major) of the n-th coefficient of the zigzag
// order in which streams carry them.
constexpr uint8_t NATURAL_ORDER[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// ---- Entropy-coded data ----

// The natural word, so that the 32-bit build does no 64-bit shifts.
using BitWord = size_t;
constexpr int WORD_BITS = static_cast<int>(sizeof(BitWord) * 8);

// Bits of one entropy-coded segment, most significant first. At a marker the
// reader stops and feeds zero bits, counting them: a scan that consumes any of
// them ran past its data, which a whole stream never does.
struct BitReader {
    const uint8_t* at = nullptr;
    const uint8_t* end = nullptr;
    BitWord bits = 0;  // the next bit in the top position
    int count = 0;     // valid bits in `bits`, zero padding included
    int padBits = 0;   // zero bits fed since the marker
    bool atMarker = false;

    // Afterwards at least WORD_BITS - 7 bits are buffered: 25 in the 32-bit
    // build, enough for a code of up to 16 bits or up to 11 extra bits.
    void Fill() {
        // Most words of a segment hold no 0xFF (no stuffing, no marker): their
        // bytes go in without the per-byte check. A byte of ~word is zero
        // exactly where the word holds 0xFF.
        if (!atMarker && end - at >= static_cast<std::ptrdiff_t>(sizeof(BitWord))) {
            BitWord word;
            std::memcpy(&word, at, sizeof word);
            constexpr BitWord ONES = ~BitWord{0} / 255;  // 0x0101...
            const BitWord inverse = ~word;
            if (((inverse - ONES) & ~inverse & (ONES << 7)) == 0) {
                const int room = (WORD_BITS - count) >> 3;
                for (int i = 0; i < room; ++i, count += 8) bits |= BitWord{at[i]} << (WORD_BITS - 8 - count);
                at += room;
                return;
            }
        }
        while (count <= WORD_BITS - 8) {
            BitWord byte = 0;
            if (!atMarker) {
                if (at < end && *at != 0xFF) {
                    byte = *at++;
                } else if (end - at >= 2 && at[1] == 0x00) {  // a stuffed 0xFF
                    byte = 0xFF;
                    at += 2;
                } else {
                    atMarker = true;
                }
            }
            if (atMarker) padBits += 8;
            bits |= byte << (WORD_BITS - 8 - count);
            count += 8;
        }
    }
    uint32_t Peek(int n) const { return static_cast<uint32_t>(bits >> (WORD_BITS - n)); }
    void Consume(int n) {
        bits <<= n;
        count -= n;
    }
    uint32_t Get(int n) {
        const uint32_t value = Peek(n);
        Consume(n);
        return value;
    }
    bool RanPastData() const { return padBits > count; }
    // Discards the rest of an interval and steps over the restart marker that
    // must come next. Bytes the interval did not use are skipped, as libjpeg
    // skips them.
    bool Restart(int expected) {
        const uint8_t* p = at;
        for (;;) {
            p = static_cast<const uint8_t*>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)));
            if (!p) return false;
            while (end - p >= 2 && p[1] == 0xFF) ++p;  // fill bytes
            if (end - p < 2) return false;
            if (p[1] != 0x00) break;
            p += 2;
        }
        if (p[1] != 0xD0 + expected) return false;
        at = p + 2;
        bits = 0;
        count = 0;
        padBits = 0;
        atMarker = false;
        return true;
    }
};

constexpr int FAST_BITS = 10;

// One Huffman table, with lookups for codes of up to FAST_BITS bits.
struct HuffmanTable {
    bool defined = false;
    std::array<uint16_t, 1 << FAST_BITS> fast;  // length << 8 | symbol; 0 for longer codes
    // For an AC table: a coefficient whose code and extra bits both fit in
    // FAST_BITS, as value << 16 | run << 8 | total length; the end of block
    // as END_OF_BLOCK | length; 0 otherwise.
    std::array<int32_t, 1 << FAST_BITS> fastAc;
    std::array<int32_t, 17> maxCode;  // largest code of each length, -1 for none
    std::array<int32_t, 17> offset;   // symbol index minus code, by length
    std::array<uint8_t, 256> symbols;
};

constexpr int32_t END_OF_BLOCK = 1 << 12;

int32_t Extend(uint32_t bits, int size) {
    const int32_t value = static_cast<int32_t>(bits);
    return value < (1 << (size - 1)) ? value - (1 << size) + 1 : value;
}

// Canonical codes from the counts per length; false for counts that overflow
// their length (an all-ones code included, as libjpeg rejects it too).
bool BuildTable(const uint8_t* counts, const uint8_t* symbols, int total, HuffmanTable& table) {
    table.fast.fill(0);
    table.fastAc.fill(0);
    std::copy(symbols, symbols + total, table.symbols.begin());
    int32_t code = 0;
    int k = 0;
    for (int length = 1; length <= 16; ++length) {
        table.offset[length] = k - code;
        for (int i = 0; i < counts[length - 1]; ++i, ++code, ++k) {
            if (code >= (1 << length) - 1) return false;
            if (length > FAST_BITS) continue;
            const int spread = FAST_BITS - length;
            const uint16_t entry = static_cast<uint16_t>(length << 8 | symbols[k]);
            std::fill_n(table.fast.begin() + (code << spread), 1 << spread, entry);
        }
        table.maxCode[length] = counts[length - 1] ? code - 1 : -1;
        code <<= 1;
    }
    for (int look = 0; look < (1 << FAST_BITS); ++look) {
        const int length = table.fast[look] >> 8;
        const int run = (table.fast[look] >> 4) & 15, size = table.fast[look] & 15;
        if (length != 0 && run == 0 && size == 0) table.fastAc[look] = END_OF_BLOCK | length;
        if (length == 0 || size == 0 || length + size > FAST_BITS) continue;
        const uint32_t extra = (look >> (FAST_BITS - length - size)) & ((1u << size) - 1);
        table.fastAc[look] = Extend(extra, size) * 65536 + (run << 8) + length + size;
    }
    table.defined = true;
    return true;
}

// A code longer than FAST_BITS: the symbol, or -1 for bits that are no code.
int DecodeLongCode(BitReader& reader, const HuffmanTable& table) {
    const int32_t bits = static_cast<int32_t>(reader.Peek(16));
    for (int length = FAST_BITS + 1; length <= 16; ++length) {
        const int32_t code = bits >> (16 - length);
        if (code <= table.maxCode[length]) {
            reader.Consume(length);
            return table.symbols[static_cast<size_t>(code + table.offset[length])];
        }
    }
    return -1;
}

// -1 for bits that are no code. At least 16 bits must be buffered.
inline int DecodeSymbol(BitReader& reader, const HuffmanTable& table) {
    const uint16_t entry = table.fast[reader.Peek(FAST_BITS)];
    if (entry) {
        reader.Consume(entry >> 8);
        return entry & 0xFF;
    }
    return DecodeLongCode(reader, table);
}

// Coefficients of 8-bit pictures stay well inside +-2047 (+-1024 and a
// quantisation step); corrupt data is held there so that the IDCTs' 32-bit
// sums cannot overflow.
int16_t Dequantize(int32_t value, uint16_t step) {
    return static_cast<int16_t>(std::clamp(value * step, -2047, 2047));
}

// ---- Inverse DCTs ----
using namespace jpeg_idct;

constexpr int32_t Descale(int32_t x, int n) { return (x + (1 << (n - 1))) >> n; }

uint8_t Clamp255(int32_t x) { return static_cast<uint8_t>(x < 0 ? 0 : x > 255 ? 255 : x); }
uint8_t Output(int32_t x) { return Clamp255(x >> OUT_SHIFT); }

// One 8-point transform of f[0], f[s], ... f[7s], scaled by 2^13 and sqrt 2
// at DC: x[n] = sum c(u) f[u] cos((2n + 1) u pi / 16), c(0) = 1 / sqrt 2.
// LOW: f[4s] .. f[7s] are known to be zero.
template <bool LOW, typename T>
void Transform8(const T* f, int s, int32_t* x) {
    const int32_t f4 = LOW ? 0 : f[4 * s], f6 = LOW ? 0 : f[6 * s];
    const int32_t p0 = (f[0] + f4) * R2, p1 = (f[0] - f4) * R2;
    const int32_t q0 = f[2 * s] * C1_8 + f6 * C3_8, q1 = f[2 * s] * C3_8 - f6 * C1_8;
    const int32_t e[4] = {p0 + q0, p1 + q1, p1 - q1, p0 - q0};
    const int32_t f1 = f[s], f3 = f[3 * s], f5 = LOW ? 0 : f[5 * s], f7 = LOW ? 0 : f[7 * s];
    for (int n = 0; n < 4; ++n) {
        const int32_t o = f1 * ODD8[n][0] + f3 * ODD8[n][1] + f5 * ODD8[n][2] + f7 * ODD8[n][3];
        x[n] = e[n] + o;
        x[7 - n] = e[n] - o;
    }
}

// LOW: only the top left 4 x 4 coefficients can be non-zero, as in most
// blocks of a camera's picture; half the columns and half the terms go.
template <bool LOW>
void Idct8(const int16_t* block, uint8_t* out, int stride) {
    int32_t work[64];
    for (int col = 0; col < 8; ++col) {
        const int16_t* f = block + col;
        if (LOW && col >= 4) {
            for (int n = 0; n < 8; ++n) work[n * 8 + col] = 0;
            continue;
        }
        if (!(f[8] | f[16] | f[24] | f[32] | f[40] | f[48] | f[56])) {
            const int32_t dc = Descale(f[0] * R2, CONST_BITS - PASS1_BITS);
            for (int n = 0; n < 8; ++n) work[n * 8 + col] = dc;
            continue;
        }
        int32_t x[8];
        Transform8<LOW>(f, 8, x);
        for (int n = 0; n < 8; ++n) work[n * 8 + col] = Descale(x[n], CONST_BITS - PASS1_BITS);
    }
    for (int row = 0; row < 8; ++row, out += stride) {
        int32_t x[8];
        Transform8<LOW>(work + row * 8, 1, x);
        for (int n = 0; n < 8; ++n) out[n] = Output(x[n] + OUT_BIAS);
    }
}


template <bool LOW, typename T>
void Transform4(const T* f, int s, int32_t* y) {
    const int32_t f6 = LOW ? 0 : f[6 * s];
    const int32_t z = f[0] * R2, t = f[2 * s] * T4_2 - f6 * T4_6;
    const int32_t f1 = f[s], f3 = f[3 * s], f5 = LOW ? 0 : f[5 * s], f7 = LOW ? 0 : f[7 * s];
    const int32_t o0 = f1 * A4_1 - f7 * A4_7 + f3 * A4_3 - f5 * A4_5;
    const int32_t o1 = f1 * B4_1 - f7 * B4_7 - f3 * B4_3 + f5 * B4_5;
    y[0] = z + t + o0;
    y[3] = z + t - o0;
    y[1] = z - t + o1;
    y[2] = z - t - o1;
}

template <bool LOW>
void Idct4(const int16_t* block, uint8_t* out, int stride) {
    int32_t work[32];  // 4 rows of 8 columns; column 4 does not contribute
    for (int col = 0; col < (LOW ? 4 : 8); ++col) {
        if (col == 4) continue;
        const int16_t* f = block + col;
        if (!(f[8] | f[16] | f[24] | f[40] | f[48] | f[56])) {
            const int32_t dc = Descale(f[0] * R2, CONST_BITS - PASS1_BITS);
            for (int n = 0; n < 4; ++n) work[n * 8 + col] = dc;
            continue;
        }
        int32_t y[4];
        Transform4<LOW>(f, 8, y);
        for (int n = 0; n < 4; ++n) work[n * 8 + col] = Descale(y[n], CONST_BITS - PASS1_BITS);
    }
    for (int row = 0; row < 4; ++row, out += stride) {
        int32_t y[4];
        Transform4<LOW>(work + row * 8, 1, y);
        for (int n = 0; n < 4; ++n) out[n] = Output(y[n] + OUT_BIAS);
    }
}

// The 2-point output: only the odd coefficients besides DC contribute.
constexpr int32_t A2_1 = Fix(0.640728862), A2_3 = Fix(0.224994056), A2_5 = Fix(0.150336222),
                  A2_7 = Fix(0.127448895);

template <typename T>
void Transform2(const T* f, int s, int32_t* y) {
    const int32_t z = f[0] * R2;
    const int32_t o = f[s] * A2_1 - f[3 * s] * A2_3 + f[5 * s] * A2_5 - f[7 * s] * A2_7;
    y[0] = z + o;
    y[1] = z - o;
}

void Idct2(const int16_t* block, uint8_t* out, int stride) {
    int32_t work[16];
    for (int col : {0, 1, 3, 5, 7}) {
        const int16_t* f = block + col;
        if (!(f[8] | f[24] | f[40] | f[56])) {
            work[col] = work[8 + col] = Descale(f[0] * R2, CONST_BITS - PASS1_BITS);
            continue;
        }
        int32_t y[2];
        Transform2(f, 8, y);
        work[col] = Descale(y[0], CONST_BITS - PASS1_BITS);
        work[8 + col] = Descale(y[1], CONST_BITS - PASS1_BITS);
    }
    for (int row = 0; row < 2; ++row, out += stride) {
        int32_t y[2];
        Transform2(work + row * 8, 1, y);
        out[0] = Output(y[0] + OUT_BIAS);
        out[1] = Output(y[1] + OUT_BIAS);
    }
}

// A block with only its DC term is flat at every size: the mean, rounded.
void FillFlat(int16_t dc, int size, uint8_t* out, int stride) {
    const uint8_t value = Clamp255(Descale(dc, 3) + 128);
    for (int row = 0; row < size; ++row, out += stride) std::memset(out, value, static_cast<size_t>(size));
}

using IdctFunction = void (*)(const int16_t*, uint8_t*, int);

// Bits of a natural index that mark a coefficient outside the top left 4 x 4.
constexpr int OUTSIDE_LOW = 0x24;

// ---- Colour ----
// Full-range BT.601 as JFIF defines it, in 16-bit fixed point with rounding.

struct ColourTables {
    std::array<int32_t, 256> crToR, cbToB, crToG, cbToG;  // cbToG carries the rounding
    std::array<uint8_t, 1024> clamp;                      // index value + 384
};

constexpr ColourTables MakeColourTables() {
    ColourTables t{};
    for (int i = 0; i < 256; ++i) {
        const int c = i - 128;
        t.crToR[i] = (91881 * c + 32768) >> 16;   // 1.402
        t.cbToB[i] = (116130 * c + 32768) >> 16;  // 1.772
        t.crToG[i] = -46802 * c;                  // 0.714136
        t.cbToG[i] = -22554 * c + 32768;          // 0.344136
    }
    for (int i = 0; i < 1024; ++i) t.clamp[i] = static_cast<uint8_t>(std::clamp(i - 384, 0, 255));
    return t;
}

constexpr ColourTables COLOUR = MakeColourTables();

// ---- Stream ----

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

struct Component {
    int id = 0;
    int h = 1, v = 1;  // sampling factors
    int quantSlot = 0;
    const HuffmanTable* dc = nullptr;
    const HuffmanTable* ac = nullptr;
    std::array<uint16_t, 64> quant{};  // zigzag order
    int blockSize = 8;                 // IDCT output side
    int shiftX = 0, shiftY = 0;        // output pixel -> sample: >> shift
    int planeStride = 0;
    size_t bandOffset = 0;
    IdctFunction idct = nullptr;
    IdctFunction idctLow = nullptr;  // for blocks with only low frequencies
    int16_t prediction = 0;
};

struct Decoder {
    HuffmanTable tables[2][4];  // [DC, AC][slot]
    std::array<uint16_t, 64> quant[4];
    bool quantDefined[4] = {};
    Component components[3];
    int componentCount = 0;
    int width = 0, height = 0;
    int restartInterval = 0;
    bool sawFrame = false;
    Component* scanOrder[3] = {};

    bool ReadHuffman(const uint8_t* p, size_t length) {
        while (length > 0) {
            if (length < 17) return false;
            const int tableClass = p[0] >> 4, slot = p[0] & 15;
            if (tableClass > 1 || slot > 3) return false;
            int total = 0;
            for (int i = 1; i <= 16; ++i) total += p[i];
            if (total > 256 || static_cast<size_t>(total) > length - 17) return false;
            if (!BuildTable(p + 1, p + 17, total, tables[tableClass][slot])) return false;
            p += 17 + total;
            length -= 17 + static_cast<size_t>(total);
        }
        return true;
    }

    bool ReadQuant(const uint8_t* p, size_t length) {
        while (length > 0) {
            const int precision = p[0] >> 4, slot = p[0] & 15;
            const size_t size = 1 + 64 * (precision + 1u);
            if (precision > 1 || slot > 3 || length < size) return false;
            for (int k = 0; k < 64; ++k)
                quant[slot][k] = precision ? Read16(p + 1 + 2 * k) : p[1 + k];
            quantDefined[slot] = true;
            p += size;
            length -= size;
        }
        return true;
    }

    bool ReadFrame(uint8_t marker, const uint8_t* p, size_t length) {
        // Baseline and extended sequential Huffman only.
        if ((marker != 0xC0 && marker != 0xC1) || sawFrame || length < 6 || p[0] != 8) return false;
        height = Read16(p + 1);
        width = Read16(p + 3);
        componentCount = p[5];
        if (height == 0 || width == 0 || width > MAX_SIDE || height > MAX_SIDE) return false;
        if ((componentCount != 1 && componentCount != 3) || length < 6 + 3u * componentCount) return false;
        for (int i = 0; i < componentCount; ++i) {
            Component& c = components[i];
            c.id = p[6 + 3 * i];
            c.h = p[7 + 3 * i] >> 4;
            c.v = p[7 + 3 * i] & 15;
            c.quantSlot = p[8 + 3 * i];
            if (c.h < 1 || c.h > 2 || c.v < 1 || c.v > 2 || c.quantSlot > 3) return false;
            for (int j = 0; j < i; ++j)
                if (components[j].id == c.id) return false;
        }
        // A single component is its own MCU whatever its factors say.
        if (componentCount == 1) components[0].h = components[0].v = 1;
        sawFrame = true;
        return true;
    }

    bool ReadScan(const uint8_t* p, size_t length) {
        if (!sawFrame || length < 1 || p[0] != componentCount || length < 4 + 2u * componentCount) return false;
        for (int i = 0; i < componentCount; ++i) {
            const int id = p[1 + 2 * i], dcSlot = p[2 + 2 * i] >> 4, acSlot = p[2 + 2 * i] & 15;
            Component* c = std::find_if(components, components + componentCount,
                                        [id](const Component& x) { return x.id == id; });
            if (c == components + componentCount || dcSlot > 3 || acSlot > 3) return false;
            if (std::find(scanOrder, scanOrder + i, c) != scanOrder + i) return false;
            c->dc = &tables[0][dcSlot];
            c->ac = &tables[1][acSlot];
            if (!c->dc->defined || !c->ac->defined || !quantDefined[c->quantSlot]) return false;
            c->quant = quant[c->quantSlot];
            scanOrder[i] = c;
        }
        const uint8_t* tail = p + 1 + 2 * componentCount;
        return tail[0] == 0 && tail[1] == 63 && tail[2] == 0;  // one sequential scan of all coefficients
    }

    // Tables, frame and scan headers up to the first scan's data; its offset
    // goes to `scanData`.
    bool ReadHeaders(const uint8_t* data, size_t& scanData) {
        // Webcams leave the tables out; any the stream has replace these.
        if (!ReadHuffman(StandardHuffmanSegment() + 4, StandardHuffmanSegmentSize() - 4)) return false;
        size_t at = 2;
        for (;;) {
            // ParseJpeg has walked these bytes: every segment lies inside them.
            while (data[at] == 0xFF && data[at + 1] == 0xFF) ++at;
            const uint8_t marker = data[at + 1];
            at += 2;
            if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) continue;
            const size_t length = Read16(data + at);
            const uint8_t* p = data + at + 2;
            const size_t payload = length - 2;
            bool ok = true;
            if (marker == 0xC4) {
                ok = ReadHuffman(p, payload);
            } else if (marker == 0xDB) {
                ok = ReadQuant(p, payload);
            } else if (marker == 0xDD) {
                ok = payload >= 2;
                if (ok) restartInterval = Read16(p);
            } else if (marker == 0xDA) {
                scanData = at + length;
                return ReadScan(p, payload);
            } else if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC8) {
                ok = ReadFrame(marker, p, payload);  // 0xCC (arithmetic tables) is refused here too
            }
            if (!ok) return false;
            at += length;
        }
    }
};

// `positions` gets the natural indices of the coefficients after DC ORed
// together: zero when the block has only its DC term.
template <bool KEEP_AC>
bool DecodeBlock(BitReader& reader, Component& c, int16_t* block, int& positions) {
    // Most codes and their extra bits fit the combined lookup, which needs
    // only FAST_BITS buffered: the 32-bit build's 25 bits then serve two
    // coefficients a refill rather than one. Longer codes take the full path.
    if (reader.count < FAST_BITS) reader.Fill();
    int32_t diff = 0;
    const int32_t fastDc = c.dc->fastAc[reader.Peek(FAST_BITS)];
    if (fastDc && ((fastDc >> 8) & 15) == 0) {  // an end-of-block entry is a size-0 difference
        reader.Consume(fastDc & 255);
        diff = fastDc >> 16;
    } else {
        if (reader.count < 16) reader.Fill();
        const int dcSize = DecodeSymbol(reader, *c.dc);
        if (dcSize < 0 || dcSize > 11) return false;
        if (dcSize) {
            if (reader.count < dcSize) reader.Fill();
            diff = Extend(reader.Get(dcSize), dcSize);
        }
    }
    // Wraps like libjpeg's 16-bit coefficients; only corrupt data gets there.
    c.prediction = static_cast<int16_t>(c.prediction + diff);
    block[0] = Dequantize(c.prediction, c.quant[0]);
    positions = 0;
    const HuffmanTable& ac = *c.ac;
    for (int k = 1; k < 64;) {
        if (reader.count < FAST_BITS) reader.Fill();
        const int32_t fast = ac.fastAc[reader.Peek(FAST_BITS)];
        if (fast) {
            reader.Consume(fast & 255);
            if (fast & END_OF_BLOCK) break;
            k += (fast >> 8) & 15;
            if (k > 63) return false;
            if (KEEP_AC) block[NATURAL_ORDER[k]] = Dequantize(fast >> 16, c.quant[k]);
            positions |= NATURAL_ORDER[k];
            ++k;
            continue;
        }
        if (reader.count < 16) reader.Fill();
        const int symbol = DecodeSymbol(reader, ac);
        if (symbol < 0) return false;
        const int run = symbol >> 4, size = symbol & 15;
        if (size == 0) {
            if (run != 15) break;  // end of block
            k += 16;
            continue;
        }
        k += run;
        if (k > 63 || size > 10) return false;
        if (reader.count < size) reader.Fill();
        const int32_t value = Extend(reader.Get(size), size);
        if (KEEP_AC) block[NATURAL_ORDER[k]] = Dequantize(value, c.quant[k]);
        positions |= NATURAL_ORDER[k];
        ++k;
    }
    return true;
}

// Writes the decoded band's rows [0, rows) to the bottom-up output, whose top
// row `top` is the band's first.
void ConvertBand(const Decoder& d, const uint8_t* band, int top, int rows, int outWidth, int outHeight,
                 int stride, uint8_t* out) {
    const size_t rowBytes = 3 * static_cast<size_t>(outWidth);
    const uint8_t* clamp = COLOUR.clamp.data() + 384;
    [[maybe_unused]] const bool vectorRows = InstructionSetInUse() != InstructionSet::Scalar;
    for (int r = 0; r < rows; ++r) {
        uint8_t* dst = out + static_cast<size_t>(outHeight - 1 - (top + r)) * static_cast<size_t>(stride);
        const Component& luma = d.components[0];
        const uint8_t* y = band + luma.bandOffset + static_cast<size_t>(r >> luma.shiftY) * luma.planeStride;
        if (d.componentCount == 1) {
            for (int x = 0; x < outWidth; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = y[x];
        } else {
            const Component& cbc = d.components[1];
            const Component& crc = d.components[2];
            const uint8_t* cb = band + cbc.bandOffset + static_cast<size_t>(r >> cbc.shiftY) * cbc.planeStride;
            const uint8_t* cr = band + crc.bandOffset + static_cast<size_t>(r >> crc.shiftY) * crc.planeStride;
            const int sy = luma.shiftX, sb = cbc.shiftX, sr = crc.shiftX;
            int x = 0;
#ifdef SNAPWARD_X86_KERNELS
            if (vectorRows && sy == 0) x = YccRowSse2(y, cb, cr, sb, sr, outWidth, dst);
#endif
            for (; x < outWidth; ++x) {
                const int Y = y[x >> sy], Cb = cb[x >> sb], Cr = cr[x >> sr];
                dst[3 * x] = clamp[Y + COLOUR.cbToB[Cb]];
                dst[3 * x + 1] = clamp[Y + ((COLOUR.cbToG[Cb] + COLOUR.crToG[Cr]) >> 16)];
                dst[3 * x + 2] = clamp[Y + COLOUR.crToR[Cr]];
            }
        }
        std::memset(dst + rowBytes, 0, static_cast<size_t>(stride) - rowBytes);
    }
}

// `bandRows` output rows per row of MCUs.
template <bool KEEP_AC>
bool DecodeScan(Decoder& d, BitReader& reader, int mcusX, int mcusY, int bandRows, int outWidth, int outHeight,
                int stride, std::vector<uint8_t>& band, uint8_t* out) {
    alignas(16) int16_t block[64] = {};
    int untilRestart = d.restartInterval, restarts = 0;
    for (int my = 0; my < mcusY; ++my) {
        for (int mx = 0; mx < mcusX; ++mx) {
            if (d.restartInterval && untilRestart-- == 0) {
                if (!reader.Restart(restarts++ & 7)) return false;
                for (int i = 0; i < d.componentCount; ++i) d.components[i].prediction = 0;
                untilRestart = d.restartInterval - 1;
            }
            for (int i = 0; i < d.componentCount; ++i) {
                Component& c = *d.scanOrder[i];
                uint8_t* plane = band.data() + c.bandOffset;
                for (int by = 0; by < c.v; ++by)
                    for (int bx = 0; bx < c.h; ++bx) {
                        int positions = 0;
                        if (!DecodeBlock<KEEP_AC>(reader, c, block, positions)) return false;
                        const bool hasAc = positions != 0;
                        uint8_t* at = plane + static_cast<size_t>(by * c.blockSize) * c.planeStride +
                                      static_cast<size_t>((mx * c.h + bx) * c.blockSize);
                        if (hasAc && c.blockSize > 1) {
                            (positions & OUTSIDE_LOW ? c.idct : c.idctLow)(block, at, c.planeStride);
                        } else {
                            FillFlat(block[0], c.blockSize, at, c.planeStride);
                        }
                        if (KEEP_AC && hasAc) {
                            std::memset(block, 0, sizeof block);
                        } else {
                            block[0] = 0;
                        }
                    }
            }
            if (reader.RanPastData()) return false;
        }
        const int top = my * bandRows;
        ConvertBand(d, band.data(), top, std::min(bandRows, outHeight - top), outWidth, outHeight, stride, out);
    }
    return true;
}

}  // namespace

bool DecodeJpeg(const uint8_t* data, size_t length, int scale, CapturedFrame& frame) {
    if (scale != 1 && scale != 2 && scale != 4 && scale != 8) return false;
    JpegLayout layout;
    if (!ParseJpeg(data, length, layout)) return false;
    Decoder d;
    size_t scanData = 0;
    if (!d.ReadHeaders(data, scanData)) return false;

    const int outWidth = (d.width + scale - 1) / scale, outHeight = (d.height + scale - 1) / scale;
    const int stride = PaddedStride(outWidth);
    if (int64_t{stride} * outHeight > MAX_DECODED_BYTES) return false;

    const int lumaSize = 8 / scale;
    int hMax = 1, vMax = 1, blocksPerMcu = 0;
    for (int i = 0; i < d.componentCount; ++i) {
        hMax = std::max(hMax, d.components[i].h);
        vMax = std::max(vMax, d.components[i].v);
        blocksPerMcu += d.components[i].h * d.components[i].v;
    }
    const int mcusX = (d.width + 8 * hMax - 1) / (8 * hMax), mcusY = (d.height + 8 * vMax - 1) / (8 * vMax);
    // Every block takes at least two bits (a DC and an AC code): a stream too
    // short for its header's size is refused before anything is allocated.
    if (int64_t{mcusX} * mcusY * blocksPerMcu > 4 * static_cast<int64_t>(layout.end - scanData)) return false;

    size_t bandBytes = 0;
    bool needAc = false;
    for (int i = 0; i < d.componentCount; ++i) {
        Component& c = d.components[i];
        // Chroma halved both ways is decoded at twice the luma's size instead of
        // being upsampled, as libjpeg does at reduced scales.
        c.blockSize = hMax / c.h == 2 && vMax / c.v == 2 && lumaSize < 8 ? 2 * lumaSize : lumaSize;
        c.shiftX = hMax * lumaSize / (c.h * c.blockSize) == 2 ? 1 : 0;
        c.shiftY = vMax * lumaSize / (c.v * c.blockSize) == 2 ? 1 : 0;
        c.planeStride = mcusX * c.h * c.blockSize;
        c.bandOffset = bandBytes;
        bandBytes += static_cast<size_t>(c.planeStride) * c.v * c.blockSize;
        c.idct = c.blockSize == 8 ? Idct8<false> : c.blockSize == 4 ? Idct4<false> : Idct2;  // unused at 1: DC only
        c.idctLow = c.blockSize == 8 ? Idct8<true> : c.blockSize == 4 ? Idct4<true> : Idct2;
#ifdef SNAPWARD_X86_KERNELS
        // The same bytes as the scalar transforms (low blocks included: their
        // zeros cost the vectors nothing).
        if (InstructionSetInUse() != InstructionSet::Scalar && c.blockSize > 2)
            c.idct = c.idctLow = c.blockSize == 8 ? Idct8Sse2 : Idct4Sse2;
#endif
        needAc |= c.blockSize > 1;
    }

    // Reused by every frame of this thread: the preview decodes about thirty a
    // second. The output trades places with the frame's storage on success.
    thread_local std::vector<uint8_t> band;
    thread_local std::vector<uint8_t> decoded;
    band.resize(bandBytes);
    decoded.resize(static_cast<size_t>(stride) * outHeight);

    BitReader reader;
    reader.at = data + scanData;
    reader.end = data + layout.end;
    const int bandRows = vMax * lumaSize;
    const bool ok = needAc ? DecodeScan<true>(d, reader, mcusX, mcusY, bandRows, outWidth, outHeight, stride,
                                              band, decoded.data())
                           : DecodeScan<false>(d, reader, mcusX, mcusY, bandRows, outWidth, outHeight, stride,
                                               band, decoded.data());
    if (!ok) return false;
    frame.pixels.swap(decoded);
    frame.width = outWidth;
    frame.height = outHeight;
    frame.stride = stride;
    return true;
}
