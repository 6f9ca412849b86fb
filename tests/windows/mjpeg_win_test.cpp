#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "camera/devices.h"
#include "capture/frame.h"
#include "capture/jpeg_win.h"
#include "capture/mjpeg.h"

namespace {

// 70 x 48: rows of 210 bytes padded to 212, and four quadrants whose edges lie
// on the 16-pixel blocks of the JPEG so that each decodes to a flat colour.
constexpr int32_t WIDTH = 70;
constexpr int32_t HEIGHT = 48;
constexpr int TOLERANCE = 10;

struct Bgr {
    uint8_t blue, green, red;
};

constexpr Bgr TOP_LEFT = {30, 40, 200};      // red
constexpr Bgr TOP_RIGHT = {40, 190, 50};     // green
constexpr Bgr BOTTOM_LEFT = {200, 60, 40};   // blue
constexpr Bgr BOTTOM_RIGHT = {180, 180, 180};

Bgr Expected(int32_t x, int32_t y) {
    if (y < 32) return x < 32 ? TOP_LEFT : TOP_RIGHT;
    return x < 32 ? BOTTOM_LEFT : BOTTOM_RIGHT;
}

CapturedFrame MakePicture() {
    CapturedFrame frame;
    frame.width = WIDTH;
    frame.height = HEIGHT;
    frame.stride = (WIDTH * 3 + 3) & ~3;
    frame.pixels.assign(static_cast<size_t>(frame.stride) * HEIGHT, 0);
    for (int32_t y = 0; y < HEIGHT; ++y) {
        uint8_t* row = frame.pixels.data() + static_cast<size_t>(HEIGHT - 1 - y) * frame.stride;
        for (int32_t x = 0; x < WIDTH; ++x) {
            const Bgr c = Expected(x, y);
            row[3 * x] = c.blue;
            row[3 * x + 1] = c.green;
            row[3 * x + 2] = c.red;
        }
    }
    return frame;
}

// Checks the layout (size, bottom-up rows, zero padding) and the colour at the
// middle of each quadrant.
void ExpectPicture(const CapturedFrame& frame) {
    ASSERT_EQ(frame.width, WIDTH);
    ASSERT_EQ(frame.height, HEIGHT);
    ASSERT_EQ(frame.stride, 212);
    ASSERT_EQ(frame.pixels.size(), 212u * HEIGHT);
    for (int32_t y = 0; y < HEIGHT; ++y) {
        const uint8_t* row = frame.pixels.data() + static_cast<size_t>(HEIGHT - 1 - y) * frame.stride;
        EXPECT_EQ(row[210], 0) << "padding of row " << y;
        EXPECT_EQ(row[211], 0) << "padding of row " << y;
    }
    for (int32_t y : {8, 24, 40}) {
        for (int32_t x : {8, 24, 40, 56}) {
            const uint8_t* p = frame.pixels.data() + static_cast<size_t>(HEIGHT - 1 - y) * frame.stride + 3 * x;
            const Bgr c = Expected(x, y);
            EXPECT_NEAR(p[0], c.blue, TOLERANCE) << x << "," << y;
            EXPECT_NEAR(p[1], c.green, TOLERANCE) << x << "," << y;
            EXPECT_NEAR(p[2], c.red, TOLERANCE) << x << "," << y;
        }
    }
}

class MjpegWin : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(StartMediaFoundation());
        ASSERT_TRUE(EncodeJpegFrame(MakePicture(), jpeg));
    }
    void TearDown() override { StopMediaFoundation(); }

    bool Decode(const std::vector<uint8_t>& bytes, CapturedFrame& frame, int32_t width = WIDTH,
                int32_t height = HEIGHT) {
        return DecodeMjpegFrame(bytes.data(), static_cast<int32_t>(bytes.size()), width, height, frame);
    }

    std::vector<uint8_t> jpeg;
};

// A frame that a failed decode must leave exactly as it was.
CapturedFrame Sentinel() {
    CapturedFrame frame;
    frame.width = 2;
    frame.height = 1;
    frame.stride = 8;
    frame.pixels = {1, 2, 3, 4, 5, 6, 0, 0};
    return frame;
}

void ExpectSentinel(const CapturedFrame& frame) {
    const CapturedFrame sentinel = Sentinel();
    EXPECT_EQ(frame.pixels, sentinel.pixels);
    EXPECT_EQ(frame.width, sentinel.width);
    EXPECT_EQ(frame.height, sentinel.height);
    EXPECT_EQ(frame.stride, sentinel.stride);
}

}  // namespace

TEST_F(MjpegWin, DecodesWithAndWithoutHuffmanTables) {
    JpegLayout layout;
    ASSERT_TRUE(ParseJpeg(jpeg.data(), jpeg.size(), layout));
    ASSERT_TRUE(layout.hasHuffmanTables);
    CapturedFrame withTables;
    ASSERT_TRUE(Decode(jpeg, withTables));
    ExpectPicture(withTables);

    // The encoder writes the four standard tables, and they must equal ours
    // byte for byte to be removed: that checks our copy of Annex K.3 against
    // an independent one. (Wine's decoder would also fall back to the standard
    // tables by itself; Windows' does not, hence the insertion.) Without them
    // the frame is what a webcam sends, and it decodes to the same pixels.
    std::vector<uint8_t> bare = jpeg;
    ASSERT_TRUE(RemoveStandardHuffmanTables(bare));
    EXPECT_GE(jpeg.size() - bare.size(), StandardHuffmanSegmentSize());
    ASSERT_TRUE(ParseJpeg(bare.data(), bare.size(), layout));
    ASSERT_FALSE(layout.hasHuffmanTables);
    CapturedFrame inserted = Sentinel();
    ASSERT_TRUE(Decode(bare, inserted));
    EXPECT_EQ(inserted.pixels, withTables.pixels);

    // Webcams pad frames after the EOI.
    bare.insert(bare.end(), 100, 0);
    CapturedFrame padded;
    ASSERT_TRUE(Decode(bare, padded));
    EXPECT_EQ(padded.pixels, withTables.pixels);
}

TEST_F(MjpegWin, ConversionHandsMjpgSamplesToTheDecoder) {
    std::vector<uint8_t> bare = jpeg;
    ASSERT_TRUE(RemoveStandardHuffmanTables(bare));
    CapturedFrame frame;
    ASSERT_TRUE(ConvertFrame(bare.data(), static_cast<int32_t>(bare.size()), WIDTH, HEIGHT,
                             SampleLayout{PixelFormat::MJPG, 0}, frame));
    ExpectPicture(frame);
}

TEST_F(MjpegWin, RejectsTruncatedCorruptAndMisSizedFrames) {
    std::vector<uint8_t> bare = jpeg;
    ASSERT_TRUE(RemoveStandardHuffmanTables(bare));
    for (const std::vector<uint8_t>* source : {&jpeg, &bare}) {
        for (size_t cut : {size_t{0}, size_t{2}, size_t{20}, source->size() / 2, source->size() - 1,
                           source->size() - 2}) {
            CapturedFrame frame = Sentinel();
            EXPECT_FALSE(Decode(std::vector<uint8_t>(source->begin(), source->begin() + cut), frame)) << cut;
            ExpectSentinel(frame);
        }
        CapturedFrame frame = Sentinel();
        EXPECT_FALSE(Decode(*source, frame, WIDTH + 16, HEIGHT));
        EXPECT_FALSE(Decode(*source, frame, WIDTH, HEIGHT - 16));
        EXPECT_FALSE(Decode(*source, frame, 0, 0));
        EXPECT_FALSE(DecodeMjpegFrame(source->data(), -1, WIDTH, HEIGHT, frame));
        EXPECT_FALSE(DecodeMjpegFrame(nullptr, 100, WIDTH, HEIGHT, frame));
        ExpectSentinel(frame);
    }

    // Not a JPEG at all.
    std::vector<uint8_t> noise(4096);
    std::mt19937 random(7);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
    CapturedFrame frame = Sentinel();
    EXPECT_FALSE(Decode(noise, frame));

    // A scan that names a component the frame does not have: the decoder
    // refuses it.
    JpegLayout layout;
    ASSERT_TRUE(ParseJpeg(bare.data(), bare.size(), layout));
    std::vector<uint8_t> badScan = bare;
    badScan[layout.firstScan + 5] = 0x7F;  // first component selector of the SOS
    EXPECT_FALSE(Decode(badScan, frame));
    ExpectSentinel(frame);
}

// Whatever bytes arrive, the decoder returns; a success is a whole frame.
TEST_F(MjpegWin, SurvivesRandomDamage) {
    std::vector<uint8_t> bare = jpeg;
    ASSERT_TRUE(RemoveStandardHuffmanTables(bare));
    std::mt19937 random(11);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> damaged = bare;
        const int hits = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < hits; ++i) {
            damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
        }
        CapturedFrame frame = Sentinel();
        if (Decode(damaged, frame)) {
            EXPECT_EQ(frame.width, WIDTH);
            EXPECT_EQ(frame.height, HEIGHT);
            EXPECT_EQ(frame.pixels.size(), 212u * HEIGHT);
        } else {
            ExpectSentinel(frame);
        }
    }
}

// The preview thread does not initialise COM: it decodes in the process's
// multithreaded apartment with the factory made at start-up.
TEST_F(MjpegWin, DecodesOnAThreadWithoutItsOwnCom) {
    std::vector<uint8_t> bare = jpeg;
    ASSERT_TRUE(RemoveStandardHuffmanTables(bare));
    CapturedFrame frame;
    bool decoded = false;
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) decoded = Decode(bare, frame);
    });
    worker.join();
    ASSERT_TRUE(decoded);
    ExpectPicture(frame);
}
