// The source's protocol logic without a manager: the state machine,
// capability negotiation and its containers, and the image rows.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "ds_capabilities.h"
#include "ds_image.h"
#include "ds_state.h"

namespace {

CapContainer OneValue(TW_UINT16 itemType, TW_UINT32 item) {
    return {TWON_ONEVALUE, itemType, {item}};
}

CapContainer Enumeration(TW_UINT16 itemType, std::vector<TW_UINT32> items, TW_UINT32 current) {
    return {TWON_ENUMERATION, itemType, std::move(items), current};
}

}  // namespace

TEST(TwainStates, ASessionInOrderPassesOutOfOrderAndUnknownTripletsDoNot) {
    using enum DsState;
    constexpr auto OK = TripletCheck::Allowed;
    constexpr auto SEQ = TripletCheck::OutOfSequence;
    constexpr auto UNKNOWN = TripletCheck::Unknown;
    const std::tuple<DsState, TW_UINT32, TW_UINT16, TW_UINT16, TripletCheck> cases[] = {
        // An application's session: open, negotiate, enable, transfer one
        // image by each mechanism, disable, close.
        {Closed, DG_CONTROL, DAT_IDENTITY, MSG_GET, OK},
        {Closed, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, OK},
        {Closed, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, OK},
        {Open, DG_CONTROL, DAT_CAPABILITY, MSG_SET, OK},
        {Open, DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, OK},
        {Open, DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, OK},
        {Open, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, OK},
        {Enabled, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, OK},
        {XferReady, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, OK},
        {XferReady, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, OK},
        {Transferring, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, OK},
        {XferReady, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, OK},
        {Transferring, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, OK},
        {XferReady, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, OK},
        {Enabled, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, OK},
        {Open, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, OK},
        // A manager opens the source again only after forgetting it.
        {Transferring, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, OK},
        // Out of order.
        {Closed, DG_CONTROL, DAT_CAPABILITY, MSG_GET, SEQ},
        {Open, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, SEQ},
        {Enabled, DG_CONTROL, DAT_CAPABILITY, MSG_SET, SEQ},  // negotiation is over
        {Enabled, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, SEQ},  // disable first
        {XferReady, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, SEQ},  // end transfers first
        {Transferring, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, SEQ},     // already handed over
        {Transferring, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, SEQ},
        // Unknown in any state.
        {Open, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, UNKNOWN},  // no such dialog
        {Closed, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, UNKNOWN},  // the manager's, not ours
        {Open, DG_IMAGE, DAT_CAPABILITY, MSG_GET, UNKNOWN},      // right DAT, wrong group
    };
    for (auto [state, dg, dat, msg, expected] : cases) {
        EXPECT_EQ(CheckTriplet(state, dg, dat, msg), expected)
            << "state " << static_cast<int>(state) << " dat " << dat << " msg " << msg;
    }
}

TEST(TwainContainers, BytesFollowThePublishedLayoutsAndBadOnesAreRefused) {
    EXPECT_EQ(Fix32Item(-1.5), 0x8000fffeu);  // Whole low, Frac high, and never negative
    EXPECT_DOUBLE_EQ(Fix32Value(Fix32Item(-1.5)), -1.5);

    CapContainer one = OneValue(TWTY_UINT16, TWSX_MEMORY);
    EXPECT_EQ(EncodeContainer(one), (std::vector<uint8_t>{4, 0, 2, 0, 0, 0}));
    CapContainer choice = Enumeration(TWTY_UINT16, {0, 2}, 1);
    EXPECT_EQ(EncodeContainer(choice),
              (std::vector<uint8_t>{4, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0}));
    CapContainer array = Enumeration(TWTY_FIX32, {Fix32Item(96), Fix32Item(0.5)}, 0);
    array.conType = TWON_ARRAY;
    choice.defaultIndex = 1;
    const CapContainer empty{TWON_ARRAY, TWTY_UINT16, {}};
    CapContainer range{TWON_RANGE, TWTY_INT16, {0xfffffff6u, 10, 1, 2, 3}};
    // Every field 4 bytes wide, whatever the item type.
    EXPECT_EQ(EncodeContainer(range),
              (std::vector<uint8_t>{1, 0, 0xf6, 0xff, 0xff, 0xff, 10, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0,
                                    0, 3, 0, 0, 0}));
    EXPECT_TRUE(EncodeContainer(CapContainer{TWON_RANGE, TWTY_INT16, {1, 2}}).empty());
    // A signed 16-bit item comes back sign-extended.
    for (const CapContainer& original :
         {one, choice, array, empty, range, OneValue(TWTY_INT16, 0xffffffffu)}) {
        std::vector<uint8_t> encoded = EncodeContainer(original);
        CapContainer decoded;
        ASSERT_TRUE(DecodeContainer(original.conType, encoded.data(), encoded.size(), decoded));
        EXPECT_EQ(decoded.conType, original.conType);
        EXPECT_EQ(decoded.itemType, original.itemType);
        EXPECT_EQ(decoded.items, original.items);
        EXPECT_EQ(decoded.currentIndex, original.currentIndex);
        EXPECT_EQ(decoded.defaultIndex, original.defaultIndex);
    }

    CapContainer out;
    const std::pair<TW_UINT16, std::vector<uint8_t>> refused[] = {
        {TWON_ONEVALUE, {4, 0, 2, 0, 0}},  // one byte short
        // Enumerations announcing more items than their bytes hold.
        {TWON_ENUMERATION, {4, 0, 0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {TWON_ENUMERATION, {4, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {TWON_ONEVALUE, {8, 0, 0, 0, 0, 0}},  // a frame: never exchanged
        {TWON_RANGE, std::vector<uint8_t>(21, 0)},  // one byte short
        {TWON_RANGE, {8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {TWON_DONTCARE16, std::vector<uint8_t>(30, 0)},
    };
    for (const auto& [conType, bytes] : refused) {
        EXPECT_FALSE(DecodeContainer(conType, bytes.data(), bytes.size(), out)) << bytes.size();
    }
}

TEST(TwainCapabilities, NegotiationKeepsToWhatTheCameraOffers) {
    CapabilitySet caps;
    CapContainer answer;
    // Any integer type carries the value; a fixed-point one does not.
    EXPECT_EQ(caps.Set(ICAP_XFERMECH, OneValue(TWTY_UINT32, TWSX_MEMORY)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.Set(ICAP_XFERMECH, OneValue(TWTY_FIX32, Fix32Item(0))).conditionCode,
              TWCC_BADVALUE);
    ASSERT_EQ(caps.Query(ICAP_XFERMECH, CapQuery::Get, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.conType, TWON_ENUMERATION);
    EXPECT_EQ(answer.items, (std::vector<TW_UINT32>{TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY}));
    EXPECT_EQ(answer.currentIndex, 2u);
    EXPECT_EQ(answer.defaultIndex, 0u);
    ASSERT_EQ(caps.Query(ICAP_XFERMECH, CapQuery::Reset, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.XferMech(), TWSX_NATIVE);
    // An enumeration sets its current item, if it has one.
    EXPECT_EQ(caps.Set(ICAP_XFERMECH, Enumeration(TWTY_UINT16, {0, 2}, 1)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.XferMech(), TWSX_MEMORY);
    CapContainer pastEnd = Enumeration(TWTY_UINT16, {0, 2, 0}, 2);
    pastEnd.items.pop_back();  // what lies past the end would be an allowed value
    EXPECT_EQ(caps.Set(ICAP_XFERMECH, pastEnd).conditionCode, TWCC_BADVALUE);

    // -1 written as 16 bits only, as some applications do.
    EXPECT_EQ(caps.Set(CAP_XFERCOUNT, OneValue(TWTY_INT16, 0xffff)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.XferCount(), -1);
    EXPECT_EQ(caps.Set(CAP_XFERCOUNT, OneValue(TWTY_INT16, 0)).conditionCode, TWCC_BADVALUE);
    EXPECT_EQ(caps.Set(CAP_XFERCOUNT, OneValue(TWTY_UINT32, 40000)).conditionCode, TWCC_BADVALUE);
    EXPECT_EQ(caps.Set(CAP_XFERCOUNT, OneValue(TWTY_INT16, 1)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.XferCount(), 1);
    EXPECT_EQ(caps.Set(CAP_INDICATORS, OneValue(TWTY_BOOL, 2)).conditionCode, TWCC_BADVALUE);
    EXPECT_EQ(caps.Set(CAP_INDICATORS, OneValue(TWTY_BOOL, 0)).returnCode, TWRC_SUCCESS);
    EXPECT_FALSE(caps.Indicators());
    EXPECT_EQ(caps.Set(ICAP_PIXELTYPE, OneValue(TWTY_UINT16, TWPT_GRAY)).conditionCode,
              TWCC_BADVALUE);

    EXPECT_EQ(caps.Set(ICAP_XFERMECH, OneValue(TWTY_UINT16, TWSX_FILE)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.Set(ICAP_IMAGEFILEFORMAT, OneValue(TWTY_UINT16, TWFF_PNG)).returnCode,
              TWRC_SUCCESS);
    EXPECT_EQ(caps.FileFormat(), TWFF_PNG);
    EXPECT_EQ(caps.Set(ICAP_IMAGEFILEFORMAT, OneValue(TWTY_UINT16, TWFF_TIFF)).conditionCode,
              TWCC_BADVALUE);

    // Resolution: a range of whole numbers in any number type, X and Y
    // together, the physical size after them; what lies off it is rounded
    // or clamped to it, nonsense is refused.
    caps.SetFrameSize(1280, 720);
    ASSERT_EQ(caps.Query(ICAP_YRESOLUTION, CapQuery::Get, answer).returnCode, TWRC_SUCCESS);
    ASSERT_EQ(answer.conType, TWON_RANGE);
    const double low = Fix32Value(answer.items[0]), high = Fix32Value(answer.items[1]);
    EXPECT_EQ(answer.items, (std::vector<TW_UINT32>{answer.items[0], answer.items[1], Fix32Item(1),
                                                    Fix32Item(96), Fix32Item(96)}));
    EXPECT_LT(low, 96);
    EXPECT_GE(high, 600);
    const std::tuple<TW_UINT16, CapContainer, TW_UINT16, double> resolutions[] = {
        {ICAP_XRESOLUTION, OneValue(TWTY_FIX32, answer.items[0]), TWRC_SUCCESS, low},
        {ICAP_YRESOLUTION, OneValue(TWTY_UINT16, 300), TWRC_SUCCESS, 300},
        {ICAP_XRESOLUTION, OneValue(TWTY_FIX32, Fix32Item(149.75)), TWRC_CHECKSTATUS, 150},
        {ICAP_YRESOLUTION, OneValue(TWTY_FIX32, Fix32Item(0.5)), TWRC_CHECKSTATUS, low},
        {ICAP_XRESOLUTION, OneValue(TWTY_UINT32, 40000), TWRC_CHECKSTATUS, high},
        {ICAP_XRESOLUTION, CapContainer{TWON_RANGE, TWTY_FIX32, {0, 0, 0, 0, Fix32Item(200)}},
         TWRC_SUCCESS, 200},
    };
    for (const auto& [cap, request, result, kept] : resolutions) {
        EXPECT_EQ(caps.Set(cap, request).returnCode, result) << kept;
        EXPECT_EQ(caps.Resolution(), kept);
        for (TW_UINT16 both : {ICAP_XRESOLUTION, ICAP_YRESOLUTION}) {
            ASSERT_EQ(caps.Query(both, CapQuery::GetCurrent, answer).returnCode, TWRC_SUCCESS);
            EXPECT_EQ(answer.items, std::vector<TW_UINT32>{Fix32Item(kept)});
        }
        ASSERT_EQ(caps.Query(ICAP_PHYSICALWIDTH, CapQuery::GetCurrent, answer).returnCode,
                  TWRC_SUCCESS);
        EXPECT_EQ(answer.items, std::vector<TW_UINT32>{Fix32Item(1280 / kept)});
    }
    EXPECT_EQ(caps.Set(ICAP_XRESOLUTION, OneValue(TWTY_FIX32, Fix32Item(-96))).conditionCode,
              TWCC_BADVALUE);
    ASSERT_EQ(caps.Query(ICAP_YRESOLUTION, CapQuery::Reset, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.Resolution(), 96);
    caps.Set(ICAP_XRESOLUTION, OneValue(TWTY_UINT16, 300));
    caps.ResetAll();
    ASSERT_EQ(caps.Query(ICAP_PHYSICALWIDTH, CapQuery::GetCurrent, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.items, std::vector<TW_UINT32>{Fix32Item(1280 / 96.0)});

    // Read-only ones say so.
    EXPECT_EQ(caps.Set(CAP_DEVICEONLINE, OneValue(TWTY_BOOL, 1)).conditionCode,
              TWCC_CAPBADOPERATION);
    EXPECT_EQ(caps.Query(CAP_SUPPORTEDCAPS, CapQuery::Reset, answer).conditionCode,
              TWCC_CAPBADOPERATION);
    ASSERT_EQ(caps.QuerySupport(CAP_DEVICEONLINE, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.items.front(), TW_UINT32{TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT});
    ASSERT_EQ(caps.QuerySupport(ICAP_XFERMECH, answer).returnCode, TWRC_SUCCESS);
    EXPECT_NE(answer.items.front() & TWQC_SET, 0u);
    EXPECT_EQ(caps.Query(ICAP_BRIGHTNESS, CapQuery::Get, answer).conditionCode, TWCC_CAPUNSUPPORTED);
    EXPECT_EQ(caps.Set(ICAP_BRIGHTNESS, OneValue(TWTY_INT16, 1)).conditionCode, TWCC_CAPUNSUPPORTED);

    // Everything listed as supported answers, the list itself included.
    ASSERT_EQ(caps.Query(CAP_SUPPORTEDCAPS, CapQuery::Get, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.conType, TWON_ARRAY);
    CapContainer value;
    for (TW_UINT32 cap : answer.items) {
        EXPECT_EQ(caps.Query(TW_UINT16(cap), CapQuery::GetCurrent, value).returnCode,
                  TWRC_SUCCESS) << cap;
    }

    // The camera's frame size gives the physical size; no size keeps the last.
    caps.SetFrameSize(1280, 720);
    caps.SetFrameSize(0, 480);
    caps.SetFrameSize(640, -1);
    ASSERT_EQ(caps.Query(ICAP_PHYSICALHEIGHT, CapQuery::GetCurrent, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(Fix32Value(answer.items.front()), 7.5);
}

TEST(TwainImage, PackedDibsAreCheckedAndSentAsTopDownRgbRowsInWholeFrames) {
    // A 3 x 2 DIB, bottom row first; pixel (x, y from the top) has blue
    // 10*x+y, green 100+x, red 200+y, and padding that must not leak out.
    std::vector<uint8_t> dib(40 + 2 * 12);
    const int32_t header[10] = {40, 3, 2, 1 | (24 << 16)};
    const uint8_t pixels[] = {1, 100, 201, 11, 101, 201, 21, 102, 201, 0xee, 0xee, 0xee,
                              0, 100, 200, 10, 101, 200, 20, 102, 200, 0xee, 0xee, 0xee};
    std::memcpy(dib.data(), header, sizeof(header));
    std::memcpy(&dib[40], pixels, sizeof(pixels));
    DibPixels picture;
    ASSERT_TRUE(ViewPackedDib(dib.data(), dib.size(), picture));
    EXPECT_FALSE(ViewPackedDib(dib.data(), dib.size() - 1, picture));  // last row cut
    EXPECT_FALSE(ViewPackedDib(dib.data(), 39, picture));
    // Top-down, 32-bit, RLE, a header larger than the block.
    for (auto [offset, value] : {std::pair{8, -2}, {14, 32}, {16, 1}, {0, 1000}}) {
        std::vector<uint8_t> odd = dib;
        std::memcpy(&odd[offset], &value, 4);
        EXPECT_FALSE(ViewPackedDib(odd.data(), odd.size(), picture)) << offset;
    }

    const std::vector<uint8_t> expected = {
        200, 100, 0, 200, 101, 10, 200, 102, 20, 0, 0, 0,  // top row
        201, 100, 1, 201, 101, 11, 201, 102, 21, 0, 0, 0,  // bottom row
    };
    std::vector<uint8_t> out(24, 0x55);
    ASSERT_EQ(CopyRgbRows(picture, 0, out.data(), 24), 2u);
    EXPECT_EQ(out, expected);
    // A buffer for one and a half rows takes one; the next call goes on.
    std::vector<uint8_t> strip(18, 0x55);
    ASSERT_EQ(CopyRgbRows(picture, 1, strip.data(), 18), 1u);
    EXPECT_TRUE(std::equal(strip.begin(), strip.begin() + 12, expected.begin() + 12));
    EXPECT_EQ(strip[12], 0x55);  // nothing past the whole row
    EXPECT_EQ(CopyRgbRows(picture, 2, strip.data(), 18), 0u);  // none left
    EXPECT_EQ(CopyRgbRows(picture, 0, strip.data(), 11), 0u);  // not one whole row

    TW_SETUPMEMXFER sizes = MemoryBufferSizes(1281, 720);
    EXPECT_EQ(sizes.MinBufSize, 3844u);  // 3 * 1281 padded to 4
    EXPECT_EQ(sizes.MaxBufSize, 3844u * 720);
    EXPECT_EQ(sizes.Preferred % 3844, 0u);
    EXPECT_LE(sizes.Preferred, sizes.MaxBufSize);
    EXPECT_GE(sizes.Preferred, sizes.MinBufSize);
}

namespace {

// A packed DIB whose every pixel, padding aside, differs from every other.
std::vector<uint8_t> NumberedDib(int32_t width, int32_t height) {
    const int32_t stride = (width * 3 + 3) & ~3;
    std::vector<uint8_t> dib(40 + static_cast<size_t>(stride) * height, 0xee);
    const int32_t header[10] = {40, width, height, 1 | (24 << 16)};
    std::memcpy(dib.data(), header, sizeof(header));
    for (int32_t row = 0; row < height; ++row) {
        for (int32_t i = 0; i < width * 3; ++i) dib[40 + row * stride + i] = uint8_t(row * 64 + i);
    }
    return dib;
}

// Pixel (x, y from the top) of a bottom-up picture.
const uint8_t* PixelAt(const DibPixels& picture, int32_t x, int32_t y) {
    return picture.data + (picture.height - 1 - y) * picture.stride + 3 * x;
}

}  // namespace

TEST(TwainImage, FramesInInchesBecomePixelRectsAndCropsHoldExactlyTheirPixels) {
    const int32_t width = 7, height = 5;
    std::vector<uint8_t> dib = NumberedDib(width, height);
    DibPixels picture;
    ASSERT_TRUE(ViewPackedDib(dib.data(), dib.size(), picture));
    for (int32_t left = 0; left < width; ++left) {
        for (int32_t top = 0; top < height; ++top) {
            for (int32_t right = left + 1; right <= width; ++right) {
                for (int32_t bottom = top + 1; bottom <= height; ++bottom) {
                    const PixelRect rect{left, top, right - left, bottom - top};
                    // Told in inches, a rectangle of pixels comes back as itself.
                    for (double dotsPerInch : {10.0, 96.0, 150.0, 1200.0}) {
                        PixelRect back;
                        ASSERT_EQ(FitFrame(LayoutFor(rect, dotsPerInch).Frame, dotsPerInch, width,
                                           height, back),
                                  FrameFit::Exact);
                        ASSERT_EQ(back, rect) << dotsPerInch;
                        ASSERT_EQ(LayoutFor(rect, dotsPerInch).PageNumber, 1u);
                        ASSERT_EQ(LayoutFor(rect, dotsPerInch).DocumentNumber, 1u);
                    }
                    std::vector<uint8_t> out(PackedDibBytes(rect.width, rect.height), 0x55);
                    WriteCroppedDib(picture, rect, 72, out.data());
                    DibPixels crop;
                    ASSERT_TRUE(ViewPackedDib(out.data(), out.size(), crop));
                    ASSERT_EQ(crop.width * 1000 + crop.height, rect.width * 1000 + rect.height);
                    for (int32_t y = 0; y < crop.height; ++y) {
                        for (int32_t x = 0; x < crop.width; ++x) {
                            const uint8_t* original = PixelAt(picture, x + left, y + top);
                            ASSERT_EQ(std::memcmp(PixelAt(crop, x, y), original, 3), 0);
                        }
                        const uint8_t* padding = PixelAt(crop, crop.width, y);
                        ASSERT_TRUE(std::all_of(padding, PixelAt(crop, 0, y) + crop.stride,
                                                [](uint8_t b) { return b == 0; }));
                    }
                    int32_t perMetre[2];
                    std::memcpy(perMetre, &out[24], 8);
                    ASSERT_EQ(perMetre[0], 2835);  // 72 dots per inch
                    ASSERT_EQ(perMetre[1], 2835);
                }
            }
        }
    }

    // Frames off the pixel edges or past the picture, at 96 dots per inch.
    auto inches = [](double l, double t, double r, double b) {
        return TW_FRAME{ToFix32(l), ToFix32(t), ToFix32(r), ToFix32(b)};
    };
    const std::tuple<TW_FRAME, FrameFit, PixelRect> frames[] = {
        {inches(0.1, 0, 1, 1), FrameFit::Adjusted, {10, 0, 86, 96}},  // 9.6 pixels in
        {inches(-1, 7, 2, 8), FrameFit::Adjusted, {0, 672, 192, 48}},  // partly outside
        {inches(1, 1, 1, 2), FrameFit::Refused, {}},                   // no width
        {inches(0, 0, 0.004, 1), FrameFit::Refused, {}},               // less than half a pixel
        {inches(14, 0, 15, 1), FrameFit::Refused, {}},                 // right of the picture
    };
    for (const auto& [frame, fit, expected] : frames) {
        PixelRect rect;
        ASSERT_EQ(FitFrame(frame, 96, 1280, 720, rect), fit) << expected.left;
        if (fit != FrameFit::Refused) {
            EXPECT_EQ(rect, expected);
        }
    }
    PixelRect unused;
    EXPECT_EQ(FitFrame(inches(0, 0, 1, 1), 0, 1280, 720, unused), FrameFit::Refused);

    // A crop set for one camera, taken by a smaller one.
    EXPECT_EQ(ClipToPicture({10, 20, 30, 40}, 640, 480), (PixelRect{10, 20, 30, 40}));
    EXPECT_EQ(ClipToPicture({600, -5, 100, 40}, 640, 480), (PixelRect{600, 0, 40, 35}));
    EXPECT_EQ(ClipToPicture({640, 0, 100, 40}, 640, 480), (PixelRect{0, 0, 640, 480}));

    EXPECT_EQ(PackedDibBytes(1, 1), 44u);
    EXPECT_EQ(PackedDibBytes(16384, 16384), 40u + 49152u * 16384u);
    EXPECT_EQ(PackedDibBytes(40000, 40000), 0u);  // past 2 GB
    EXPECT_EQ(PackedDibBytes(0, 5), 0u);
}
