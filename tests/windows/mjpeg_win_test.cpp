#include <cstdlib>

#include "camera/devices.h"
#include "capture/jpeg_win.h"
#include "capture/mjpeg.h"
#include "capture_test_support.h"

namespace {

// 70 x 48: rows of 210 bytes padded to 212, and four quadrants whose edges lie
// on the 16-pixel blocks of the JPEG so that each decodes to a flat colour.
constexpr int32_t WIDTH = 70;
constexpr int32_t HEIGHT = 48;
constexpr uint8_t QUADRANTS[4][3] = {{30, 40, 200}, {40, 190, 50}, {200, 60, 40}, {180, 180, 180}};  // blue, green, red

// A frame that a failed decode must leave exactly as it was.
const CapturedFrame SENTINEL{{1, 2, 3, 4, 5, 6, 0, 0}, 2, 1, 8};

bool IsSentinel(const CapturedFrame& f) { return f.pixels == SENTINEL.pixels && f.width == 2 && f.stride == 8; }

class MjpegWin : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(StartMediaFoundation());
        for (size_t i = 0; i < picture.pixels.size(); ++i) {  // bottom-up rows
            const int32_t x = static_cast<int32_t>(i % 212 / 3), y = HEIGHT - 1 - static_cast<int32_t>(i / 212);
            if (x < WIDTH) picture.pixels[i] = QUADRANTS[(y < 32 ? 0 : 2) + (x < 32 ? 0 : 1)][i % 212 % 3];
        }
        ASSERT_TRUE(EncodeJpegFrame(picture, jpeg));
        bare = jpeg;
        ASSERT_TRUE(RemoveStandardHuffmanTables(bare));
    }
    void TearDown() override { StopMediaFoundation(); }

    static bool Decode(const std::vector<uint8_t>& bytes, CapturedFrame& frame, int32_t width = WIDTH,
                       int32_t height = HEIGHT) {
        return DecodeMjpegFrame(bytes.data(), static_cast<int32_t>(bytes.size()), width, height, frame);
    }

    // Same size and layout as the source picture, zeroed padding, and each
    // colour within 10 of the source's.
    void ExpectPicture(const CapturedFrame& frame) const {
        ASSERT_TRUE(frame.width == WIDTH && frame.height == HEIGHT && frame.stride == 212 &&
                    frame.pixels.size() == picture.pixels.size());
        size_t off = 0;
        for (size_t i = 0; i < frame.pixels.size(); ++i) off += std::abs(frame.pixels[i] - picture.pixels[i]) > (i % 212 < 210 ? 10 : 0);
        EXPECT_EQ(off, 0u) << "bytes off";
    }

    CapturedFrame picture{std::vector<uint8_t>(212 * HEIGHT), WIDTH, HEIGHT, 212};
    std::vector<uint8_t> jpeg;  // as the encoder wrote it, with its Huffman tables
    std::vector<uint8_t> bare;  // without them, as a webcam sends it
};

}  // namespace

// RemoveStandardHuffmanTables takes out only tables equal to ours byte for byte,
// which checks our copy against the encoder's. Windows' decoder, unlike Wine's,
// needs them inserted. The preview thread decodes without COM of its own, with
// the factory made at start-up, reusing its frame, whose padding stays zeroed.
TEST_F(MjpegWin, DecodesWithAndWithoutHuffmanTablesOnAThreadWithoutItsOwnCom) {
    ASSERT_GE(jpeg.size() - bare.size(), StandardHuffmanSegmentSize());  // tables were taken out
    CapturedFrame withTables, withoutTables = SENTINEL;
    ASSERT_TRUE(Decode(jpeg, withTables));
    ExpectPicture(withTables);
    bool decoded = false;
    std::thread([&] {
        for (int i = 0; i < 2; ++i) decoded = Decode(bare, withoutTables);
    }).join();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(withoutTables.pixels, withTables.pixels);

    // Through the conversion, and with the padding webcams put after the EOI.
    std::vector<uint8_t> padded = bare;
    padded.insert(padded.end(), 100, 0);
    CapturedFrame converted;
    ASSERT_TRUE(ConvertFrame(padded.data(), static_cast<int32_t>(padded.size()), WIDTH, HEIGHT,
                             SampleLayout{PixelFormat::MJPG, 0}, converted));
    EXPECT_EQ(converted.pixels, withTables.pixels);
}

TEST_F(MjpegWin, RejectsTruncatedCorruptAndMisSizedFramesLeavingTheFrameAlone) {
    CapturedFrame frame = SENTINEL;
    EXPECT_FALSE(Decode(jpeg, frame, WIDTH + 16, HEIGHT));
    EXPECT_FALSE(Decode(bare, frame, WIDTH, HEIGHT - 16));
    EXPECT_FALSE(Decode(bare, frame, 0, 0));
    EXPECT_FALSE(Decode(bare, frame, 1 << 15, 1 << 15)) << "more than a frame may take";
    EXPECT_FALSE(DecodeMjpegFrame(bare.data(), -1, WIDTH, HEIGHT, frame));
    EXPECT_FALSE(DecodeMjpegFrame(nullptr, 100, WIDTH, HEIGHT, frame));
    EXPECT_FALSE(Decode(std::vector<uint8_t>(bare.begin(), bare.end() - 1), frame)) << "no end of image";
    // A scan naming a component the frame does not have: the decoder refuses it.
    JpegLayout layout;
    ASSERT_TRUE(ParseJpeg(bare.data(), bare.size(), layout));
    std::vector<uint8_t> badScan = bare;
    badScan[layout.firstScan + 5] = 0x7F;  // first component selector of the SOS
    EXPECT_FALSE(Decode(badScan, frame));
    EXPECT_TRUE(IsSentinel(frame));
}

// A pattern camera with modes encodes its MJPG frames when a stream of a size starts, a cycle of them at once, and
// sends them round: the counter decoded is the one drawn, the frame's number modulo the cycle, at every size up to
// 3840 x 2160, and the frame after the cycle is the first one again, byte for byte.
TEST_F(MjpegWin, PatternCameraWithModesCyclesFramesEncodedOncePerSize) {
    EnableTestPatternCameras();
    CameraError error = CAMERA_ERROR_NONE;
    auto reader = OpenCameraReader(L"snapward-testpattern:nv12?modes=uhd", error);
    EnableTestPatternCameras(false);
    ASSERT_TRUE(reader);
    uint32_t frames = 0;
    for (const auto [width, height] : {std::pair{640, 480}, {1920, 1080}, {3840, 2160}}) {
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        MediaFormat type;
        uint32_t index = 0;
        while (reader->GetNativeFormat(index, type) && (type.subtype != PixelFormat::MJPG || type.width != width ||
                                                        type.height != height))
            ++index;
        ASSERT_TRUE(reader->UseNativeFormat(index) && type.rateNumerator == 30);
        std::vector<uint8_t> first, bytes;
        for (uint32_t n = 0; n <= TEST_PATTERN_MJPG_CYCLE; ++n, ++frames) {
            ASSERT_EQ(reader->ReadSample([&](const SampleView& s) { bytes.assign(s.data, s.data + s.length); }, error),
                      ReadOutcome::Sample);
            if (n == 0) first = bytes;
            CapturedFrame frame;
            uint32_t counter = 99;
            ASSERT_TRUE(ConvertFrame(bytes.data(), int32_t(bytes.size()), width, height, {PixelFormat::MJPG, 0}, frame));
            EXPECT_TRUE(MatchesTestPattern(frame, 12, counter) && counter == frames % TEST_PATTERN_MJPG_CYCLE)
                << n << ": counter " << counter << ", deviation " << TestPatternDeviation(frame, frames % TEST_PATTERN_MJPG_CYCLE);
        }
        EXPECT_EQ(bytes, first);
    }
}
