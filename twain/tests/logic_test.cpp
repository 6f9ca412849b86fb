// The source's protocol logic without a manager, each part against a plain
// reference over generated inputs: the state machine, capability negotiation
// and its containers, and the image rows.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "capture/page_pixels.h"
#include "ds_capabilities.h"
#include "ds_image.h"
#include "ds_state.h"

TEST(TwainStates, OutOfOrderAndUnknownTripletsDoNotPass) {
    using enum DsState;
    constexpr auto OK = TripletCheck::Allowed, SEQ = TripletCheck::OutOfSequence;
    const std::tuple<DsState, TW_UINT32, TW_UINT16, TW_UINT16, TripletCheck> cases[] = {
        // The sessions in order are those of the source's own tests. A manager
        // opens the source again only after forgetting it.
        {Transferring, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, OK},
        // A 2.x manager hands its entry points over before every open.
        {Enabled, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, OK}, {Transferring, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, OK},
        {Closed, DG_CONTROL, DAT_CAPABILITY, MSG_GET, SEQ}, {Open, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, SEQ},
        {Enabled, DG_CONTROL, DAT_CAPABILITY, MSG_SET, SEQ}, {Enabled, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, SEQ},
        {XferReady, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, SEQ},
        {Transferring, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, SEQ},
        {Transferring, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, SEQ},
        // No settings-only dialog; the manager's own triplet; right DAT, wrong group.
        {Open, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, TripletCheck::Unknown},
        {Closed, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, TripletCheck::Unknown},
        {Open, DG_IMAGE, DAT_CAPABILITY, MSG_GET, TripletCheck::Unknown},
    };
    for (auto [state, dg, dat, msg, expected] : cases) {
        EXPECT_EQ(CheckTriplet(state, dg, dat, msg), expected)
            << "state " << static_cast<int>(state) << " dat " << dat << " msg " << msg;
    }
}

namespace {

// Whether a capability that offers `offer` (MSG_GET's answer) takes `value`.
bool Takes(TW_UINT16 cap, const CapContainer& offer, double value) {
    if (offer.conType == TWON_ENUMERATION) return std::ranges::count(offer.items, value) > 0;
    if (cap == CAP_INDICATORS) return value == 0 || value == 1;
    return cap == CAP_XFERCOUNT && (value == -1 || (value >= 1 && value <= 32767));
}

// What a host means by `raw` sent as `type`: the number it is in that type;
// but a count of -1 ("any") written into an unsigned field of 16 or 32 bits
// arrives as all ones of that field.
double Meant(TW_UINT16 cap, TW_UINT16 type, TW_UINT32 raw) {
    switch (type) {
        case TWTY_INT8: return int8_t(raw & 0xff);
        case TWTY_UINT8: return raw & 0xff;
        case TWTY_INT16: return int16_t(raw & 0xffff);
        case TWTY_UINT16: return cap == CAP_XFERCOUNT && (raw & 0xffff) == 0xffff ? -1.0 : raw & 0xffff;
        case TWTY_INT32: return int32_t(raw);
        default: return cap == CAP_XFERCOUNT && (raw == 0xffff || raw == 0xffffffff) ? -1.0 : raw;
    }
}

// A packed DIB whose pixel (x, y from the top) is `colour`, rows padded with zeros.
std::vector<uint8_t> MakeDib(int32_t width, int32_t height, uint32_t perMetre,
                             const std::function<uint32_t(int32_t, int32_t)>& colour) {
    const int32_t stride = (width * 3 + 3) & ~3;
    std::vector<uint8_t> dib(40 + static_cast<size_t>(stride) * height, 0);
    const int32_t header[10] = {40, width, height, 1 | (24 << 16), 0, stride * height,
                                int32_t(perMetre), int32_t(perMetre)};
    std::memcpy(dib.data(), header, sizeof(header));
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint32_t bgr = colour(x, y);
            std::memcpy(&dib[40 + (height - 1 - y) * stride + 3 * x], &bgr, 3);
        }
    }
    return dib;
}

uint32_t Numbered(int32_t x, int32_t y) { return 0x10203u * (x + 1) + 0x50709u * y; }

}  // namespace

// Each shape in its published byte layout, little-endian: the item type; a
// list's count; an enumeration's current and default index; then the items,
// 4 bytes each in a one-value or a range, at their own width in a list.
TEST(TwainContainers, EveryShapeAndItemWidthFollowsThePublishedLayoutAndReadsBack) {
    EXPECT_DOUBLE_EQ(Fix32Value(Fix32Item(-1.5)), -1.5);
    const std::pair<CapContainer, std::vector<uint8_t>> layouts[] = {
        {{TWON_ONEVALUE, TWTY_INT16, {0xfffffffe}}, {1, 0, 0xfe, 0xff, 0xff, 0xff}},
        {{TWON_ONEVALUE, TWTY_FIX32, {Fix32Item(-1.5)}}, {7, 0, 0xfe, 0xff, 0, 0x80}},  // Frac never negative
        {{TWON_RANGE, TWTY_UINT16, {1, 0xffff, 1, 0x80, 0x81}},
         {4, 0, 1, 0, 0, 0, 0xff, 0xff, 0, 0, 1, 0, 0, 0, 0x80, 0, 0, 0, 0x81, 0, 0, 0}},
        {{TWON_ENUMERATION, TWTY_INT8, {0xffffff80, 0x7f, 0}, 2, 1},
         {0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0x80, 0x7f, 0}},
        {{TWON_ENUMERATION, TWTY_UINT32, {0x12345678}},
         {5, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}},
        {{TWON_ARRAY, TWTY_UINT8, {0xff, 1}}, {3, 0, 2, 0, 0, 0, 0xff, 1}},
        {{TWON_ARRAY, TWTY_INT16, {0xffff8000, 0x7fff}}, {1, 0, 2, 0, 0, 0, 0, 0x80, 0xff, 0x7f}},
        {{TWON_ARRAY, TWTY_BOOL, {}}, {6, 0, 0, 0, 0, 0}},
    };
    for (const auto& [container, bytes] : layouts) {
        SCOPED_TRACE(testing::Message() << container.conType << " type " << container.itemType);
        EXPECT_EQ(EncodeContainer(container), bytes);
        CapContainer back;
        ASSERT_TRUE(DecodeContainer(container.conType, bytes.data(), bytes.size(), back));
        EXPECT_TRUE(back.conType == container.conType && back.itemType == container.itemType &&
                    back.items == container.items && back.currentIndex == container.currentIndex &&
                    back.defaultIndex == container.defaultIndex);
        // A byte short; reading past the end at all is the fuzz target's watch.
        EXPECT_FALSE(DecodeContainer(container.conType, bytes.data(), bytes.size() - 1, back));
        EXPECT_FALSE(DecodeContainer(TWON_DONTCARE16, bytes.data(), bytes.size(), back));
        EXPECT_FALSE(DecodeContainer(container.conType, nullptr, bytes.size(), back));
        std::vector<uint8_t> untyped = bytes;  // an item type whose width we do not know
        untyped[0] = 0x33;
        EXPECT_FALSE(DecodeContainer(container.conType, untyped.data(), untyped.size(), back));
    }
}

// Each capability takes exactly what it offers, in any integer type a host
// may send (the count's -1 as all ones of an unsigned one too), as one value
// or an enumeration's current item (past its end: refused); never a
// fixed-point value, and nothing when it is read-only.
TEST(TwainCapabilities, EveryCapabilityTakesWhatItOffersAndAnswersEveryMessage) {
    const TW_UINT32 reads = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
    const std::vector<TW_UINT16> supported = CapabilitySet().Supported();
    for (TW_UINT16 cap : supported) {
        SCOPED_TRACE(cap);
        CapabilitySet caps;
        CapContainer offer, answer, byDefault;
        caps.QuerySupport(cap, answer);
        const bool settable = answer.items.at(0) & TWQC_SET;
        EXPECT_EQ(answer.items[0], settable ? reads | TWQC_SET | TWQC_RESET : reads);
        ASSERT_EQ(caps.Query(cap, CapQuery::Get, offer).returnCode, TWRC_SUCCESS);
        ASSERT_EQ(caps.Query(cap, CapQuery::GetDefault, byDefault).returnCode, TWRC_SUCCESS);
        EXPECT_EQ(caps.Query(cap, CapQuery::Reset, answer).conditionCode,
                  settable ? TWCC_SUCCESS : TWCC_CAPBADOPERATION);
        if (cap == CAP_SUPPORTEDCAPS) {  // everything offered, once
            EXPECT_EQ(offer.conType, TWON_ARRAY);
            EXPECT_EQ(std::set<TW_UINT32>(offer.items.begin(), offer.items.end()).size(), supported.size());
            EXPECT_EQ(offer.items.size(), supported.size());
            continue;
        }
        EXPECT_EQ(byDefault.conType, TWON_ONEVALUE);
        if (offer.conType == TWON_ENUMERATION) {
            EXPECT_EQ(offer.items.at(offer.currentIndex), byDefault.items.at(0));
            EXPECT_EQ(offer.items.at(offer.defaultIndex), byDefault.items[0]);
        }
        if (offer.conType == TWON_RANGE) continue;  // resolutions: below
        EXPECT_EQ(settable, offer.conType == TWON_ENUMERATION || Takes(cap, offer, 1));
        for (TW_UINT16 type : {TWTY_INT8, TWTY_UINT8, TWTY_INT16, TWTY_UINT16, TWTY_INT32, TWTY_UINT32, TWTY_FIX32}) {
            for (TW_UINT32 raw : {0u, 1u, 2u, 4u, 5u, 24u, 0xffu, 32767u, 32768u, 0xfffeu, 0xffffu, 0x10002u,
                                  0xfffffffeu, 0xffffffffu}) {
                const double value = Meant(cap, type, raw);
                for (size_t size = 1; size <= 3; ++size) {
                    for (TW_UINT32 at = 0; at <= size; ++at) {
                        CapContainer request{TWON_ENUMERATION, type, std::vector<TW_UINT32>(size, 9), at};
                        if (at < size) request.items[at] = raw;
                        if (size == 1 && at == 0) request.conType = TWON_ONEVALUE;
                        bool taken = settable && type != TWTY_FIX32 && at < size && Takes(cap, offer, value);
                        EXPECT_EQ(caps.Set(cap, request).conditionCode,
                                  taken ? TWCC_SUCCESS : settable ? TWCC_BADVALUE : TWCC_CAPBADOPERATION);
                        caps.Query(cap, CapQuery::GetCurrent, answer);
                        ASSERT_EQ(answer.items, std::vector<TW_UINT32>{taken ? TW_UINT32(int32_t(value))
                                                                             : byDefault.items[0]})
                            << raw << " " << type;
                        caps.ResetAll();
                    }
                }
            }
        }
    }
    CapabilitySet caps;
    CapContainer answer;
    EXPECT_EQ(caps.Query(ICAP_BRIGHTNESS, CapQuery::Get, answer).conditionCode, TWCC_CAPUNSUPPORTED);
    EXPECT_EQ(caps.QuerySupport(ICAP_BRIGHTNESS, answer).conditionCode, TWCC_CAPUNSUPPORTED);
    EXPECT_EQ(caps.Set(ICAP_BRIGHTNESS, CapContainer{TWON_ONEVALUE, TWTY_INT16, {1}}).conditionCode,
              TWCC_CAPUNSUPPORTED);
    // A resolution in an integer type, as some hosts send it.
    EXPECT_EQ(caps.Set(ICAP_YRESOLUTION, CapContainer{TWON_ONEVALUE, TWTY_UINT16, {150}}).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.Resolution(), 150);
    for (bool online : {false, true}) {
        caps.SetDeviceOnline(online);
        caps.Query(CAP_DEVICEONLINE, CapQuery::GetCurrent, answer);
        EXPECT_EQ(answer.items, std::vector<TW_UINT32>{online});
    }
}

// What one capability makes of another, and the standard pages a frame in inches is taken to be.
TEST(TwainCapabilities, PixelTypesCarryTheirDepthUnitsTheSizesAndPagesAreKnownByTheirFrames) {
    const auto one = [](TW_UINT16 type, TW_UINT32 item) { return CapContainer{TWON_ONEVALUE, type, {item}}; };
    const auto current = [](CapabilitySet& caps, TW_UINT16 cap) {
        CapContainer answer;
        caps.Query(cap, CapQuery::GetCurrent, answer);
        return answer.items.at(0);
    };
    CapabilitySet caps;
    caps.SetFrameSize(1280, 720);
    for (const auto& [type, depth] : {std::pair{TWPT_BW, 1u}, {TWPT_GRAY, 8u}, {TWPT_RGB, 24u}}) {
        ASSERT_EQ(caps.Set(ICAP_PIXELTYPE, one(TWTY_UINT16, type)).returnCode, TWRC_SUCCESS);
        CapContainer offered;
        caps.Query(ICAP_BITDEPTH, CapQuery::Get, offered);
        EXPECT_EQ(offered.items, std::vector<TW_UINT32>{depth}) << type;
        EXPECT_EQ(caps.Set(ICAP_BITDEPTH, one(TWTY_UINT16, depth == 8 ? 24 : 8)).conditionCode, TWCC_BADVALUE);
        EXPECT_EQ(caps.Set(ICAP_BITDEPTH, one(TWTY_UINT16, depth)).returnCode, TWRC_SUCCESS);
    }
    caps.Set(ICAP_PIXELTYPE, one(TWTY_UINT16, TWPT_BW));
    caps.ResetAll();
    EXPECT_EQ(current(caps, ICAP_BITDEPTH), 24u);
    // The threshold: whole levels from 0 to 255, the nearest kept and the caller told.
    EXPECT_EQ(caps.Set(ICAP_THRESHOLD, one(TWTY_FIX32, Fix32Item(99.6))).returnCode, TWRC_CHECKSTATUS);
    EXPECT_EQ(caps.Threshold(), 100);
    EXPECT_EQ(caps.Set(ICAP_THRESHOLD, one(TWTY_INT16, TW_UINT32(-1))).conditionCode, TWCC_BADVALUE);
    EXPECT_EQ(caps.Set(ICAP_THRESHOLD, one(TWTY_UINT16, 255)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.Threshold(), 255);
    CapContainer range;
    caps.Query(ICAP_THRESHOLD, CapQuery::Get, range);
    EXPECT_EQ(range.items, (std::vector<TW_UINT32>{Fix32Item(0), Fix32Item(255), Fix32Item(1), Fix32Item(128),
                                                   Fix32Item(255)}));
    EXPECT_EQ(EncodeContainer(range).size(), sizeof(TW_RANGE));
    // Pixels have no size: the physical size is the picture's, whatever the resolution.
    caps.Set(ICAP_XRESOLUTION, one(TWTY_FIX32, Fix32Item(192)));
    caps.Set(ICAP_UNITS, one(TWTY_UINT16, TWUN_PIXELS));
    EXPECT_EQ(current(caps, ICAP_PHYSICALWIDTH), Fix32Item(1280));
    EXPECT_EQ(caps.PixelsPerUnit(), 1);
    caps.Set(ICAP_UNITS, one(TWTY_UINT16, TWUN_INCHES));
    caps.SetFrameSize(0, 480);  // no size told: the last one stays
    EXPECT_EQ(current(caps, ICAP_PHYSICALHEIGHT), Fix32Item(720 / 192.0));
    EXPECT_EQ(caps.PixelsPerUnit(), 192);

    const auto frame = [](double left, double top, double right, double bottom) {
        return TW_FRAME{ToFix32(left), ToFix32(top), ToFix32(right), ToFix32(bottom)};
    };
    const struct {
        TW_FRAME frame;
        TW_UINT16 page;
    } pages[] = {
        {frame(0, 0, 8.5, 11), TWSS_USLETTER},       {frame(0, 0, 11, 8.5), TWSS_USLETTER},
        {frame(0, 0, 8.5, 14), TWSS_USLEGAL},        {frame(0, 0, 8.27, 11.69), TWSS_A4},
        {frame(0, 0, 8.26, 11.7), TWSS_A4},          {frame(0.03, 0.03, 8.3, 11.72), TWSS_A4},
        {frame(0, 0, 5.83, 8.27), TWSS_A5},          {frame(0, 0, 7.17, 10.12), TWSS_JISB5},
        {frame(0, 0, 7.25, 10.5), TWSS_USEXECUTIVE}, {frame(0.05, 0, 8.55, 11), TWSS_NONE},
        {frame(0, 0, 8.5, 11.05), TWSS_NONE},        {frame(0, 0, 8.5, 8.5), TWSS_NONE},
        {frame(1, 1, 9.5, 12), TWSS_NONE},           {frame(0, 0, 0, 0), TWSS_NONE},
    };
    for (const auto& page : pages) EXPECT_EQ(StandardPageOf(page.frame), page.page) << &page - pages;
}

// Every part of a picture: its frame in inches fits back to its pixels at any
// resolution, its crop holds exactly its pixels, and strips of the crop in
// buffers of every size reassemble its top-down red-green-blue rows.
TEST(TwainImage, EveryPartCropsAndStripsToExactlyItsPixels) {
    const int32_t width = 9, height = 4;
    std::vector<uint8_t> dib = MakeDib(width, height, 0, Numbered);
    DibPixels picture;
    EXPECT_FALSE(ViewPackedDib(dib.data(), dib.size() - 1, picture));  // last row cut
    ASSERT_TRUE(ViewPackedDib(dib.data(), dib.size(), picture));
    for (int32_t left = 0; left < width; ++left) {
        for (int32_t top = 0; top < height; ++top) {
            for (int32_t right = left + 1; right <= width; ++right) {
                for (int32_t bottom = top + 1; bottom <= height; ++bottom) {
                    const PixelRect rect{left, top, right - left, bottom - top};
                    SCOPED_TRACE(testing::Message() << left << "," << top << " " << rect.width << "x" << rect.height);
                    for (double dotsPerInch : {10.0, 96.0, 150.0, 1200.0}) {
                        PixelRect back;
                        TW_IMAGELAYOUT layout = LayoutFor(rect, dotsPerInch);
                        ASSERT_EQ(FitFrame(layout.Frame, dotsPerInch, width, height, back), FrameFit::Exact);
                        ASSERT_EQ(back, rect) << dotsPerInch;
                        ASSERT_TRUE(layout.DocumentNumber == 1 && layout.PageNumber == 1 && layout.FrameNumber == 1);
                    }
                    auto pixel = [&](int32_t x, int32_t y) { return Numbered(x + left, y + top); };
                    std::vector<uint8_t> crop(PackedDibBytes(rect.width, rect.height), 0x55);
                    WriteCroppedDib(picture, rect, 72, crop.data());
                    ASSERT_EQ(crop, MakeDib(rect.width, rect.height, 2835, pixel));  // 72 dots per inch
                    DibPixels part;
                    ASSERT_TRUE(ViewPackedDib(crop.data(), crop.size(), part));
                    const uint32_t rowBytes = RgbRowBytes(rect.width), whole = rowBytes * rect.height;
                    std::vector<uint8_t> expected(whole, 0);
                    for (int32_t i = 0; i < rect.width * rect.height * 3; ++i) {
                        const int32_t y = i / 3 / rect.width, x = i / 3 % rect.width;
                        expected[y * rowBytes + i % (rect.width * 3)] = uint8_t(pixel(x, y) >> 8 * (2 - i % 3));
                    }
                    TW_SETUPMEMXFER sizes = MemoryBufferSizes(rect.width, rect.height);
                    EXPECT_TRUE(sizes.MinBufSize == rowBytes && sizes.MaxBufSize == whole && sizes.Preferred == whole);
                    for (uint32_t capacity = rowBytes; capacity <= whole + rowBytes; ++capacity) {
                        std::vector<uint8_t> out(whole + capacity, 0x55);  // room past every strip
                        uint32_t done = 0;
                        for (uint32_t rows; (rows = CopyRgbRows(part, done, &out[done * rowBytes], capacity)) > 0;) {
                            EXPECT_EQ(rows, std::min<uint32_t>(capacity / rowBytes, rect.height - done));
                            done += rows;
                            ASSERT_TRUE(std::all_of(out.begin() + done * rowBytes, out.end(),
                                                    [](uint8_t b) { return b == 0x55; }));
                        }
                        out.resize(whole);
                        ASSERT_EQ(out, expected) << "in " << capacity;
                    }
                    EXPECT_EQ(CopyRgbRows(part, 0, expected.data(), rowBytes - 1), 0u);  // not one whole row
                }
            }
        }
    }
}

TEST(TwainImage, FramesOffThePixelEdgesAreAdjustedOrRefusedAndSizesStayInBounds) {
    // Frames off the pixel edges or past the picture, in a picture of 1280 x 720.
    auto inches = [](double l, double t, double r, double b) {
        return TW_FRAME{ToFix32(l), ToFix32(t), ToFix32(r), ToFix32(b)};
    };
    const std::tuple<TW_FRAME, double, FrameFit, PixelRect> frames[] = {
        {inches(0.1, 0, 1, 1), 96, FrameFit::Adjusted, {10, 0, 86, 96}},  // 9.6 pixels in
        {inches(-1, 7, 2, 8), 96, FrameFit::Adjusted, {0, 672, 192, 48}},  // partly outside
        {inches(1, 1, 1, 2), 96, FrameFit::Refused, {}},                   // no width
        {inches(0, 0, 0.004, 1), 96, FrameFit::Refused, {}},               // less than half a pixel
        {inches(14, 0, 15, 1), 96, FrameFit::Refused, {}},                 // right of the picture
        {inches(0, 0, 1, 1), 0, FrameFit::Refused, {}},                    // no resolution
    };
    for (const auto& [frame, dotsPerInch, fit, expected] : frames) {
        PixelRect rect;
        ASSERT_EQ(FitFrame(frame, dotsPerInch, 1280, 720, rect), fit) << expected.left << " at " << dotsPerInch;
        EXPECT_TRUE(fit == FrameFit::Refused || rect == expected) << expected.left;
    }
    // A crop set for one camera, taken by a smaller one.
    EXPECT_EQ(ClipToPicture({10, 20, 30, 40}, 640, 480), (PixelRect{10, 20, 30, 40}));
    EXPECT_EQ(ClipToPicture({600, -5, 100, 40}, 640, 480), (PixelRect{600, 0, 40, 35}));
    EXPECT_EQ(ClipToPicture({640, 0, 100, 40}, 640, 480), (PixelRect{0, 0, 640, 480}));
    EXPECT_EQ(PackedDibBytes(16384, 16384), 40u + 49152u * 16384u);
    EXPECT_EQ(PackedDibBytes(40000, 40000), 0u);  // past 2 GB
    EXPECT_EQ(PackedDibBytes(0, 5), 0u);
    TW_SETUPMEMXFER large = MemoryBufferSizes(1281, 720);
    EXPECT_TRUE(large.Preferred % 3844 == 0 && large.Preferred < large.MaxBufSize && large.Preferred >= 3844);
    EXPECT_EQ(MemoryBufferSizes(0, 5).MinBufSize, 0u);
    TW_IMAGEINFO info = ImageInfoFor(7, 5, 150);
    EXPECT_TRUE(info.ImageWidth == 7 && info.ImageLength == 5 && FromFix32(info.YResolution) == 150);
    EXPECT_EQ(info.BitsPerSample[0] + info.BitsPerSample[1] + info.BitsPerSample[2], info.BitsPerPixel);
}

namespace {

// A grey or black-and-white page built the plain way from its levels (x, y from
// the top; black and white as 0 and 255): header, palette, bottom-up rows.
std::vector<uint8_t> ReferencePage(int32_t width, int32_t height, PagePixels kind,
                                   const std::function<uint8_t(int32_t, int32_t)>& level) {
    const bool grey = kind == PagePixels::Gray;
    const int32_t entries = grey ? 256 : 2, stride = ((grey ? width : (width + 7) / 8) + 3) & ~3;
    std::vector<uint8_t> dib(40 + 4 * entries + static_cast<size_t>(stride) * height, 0);
    const int32_t header[10] = {40, width, height, 1 | (grey ? 8 : 1) << 16, 0, stride * height, 2835, 2835, entries};
    std::memcpy(dib.data(), header, sizeof(header));
    for (int32_t i = 0; i < entries; ++i) std::memset(&dib[40 + 4 * i], grey ? i : i * 255, 3);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = &dib[40 + 4 * entries + (height - 1 - y) * stride];
        for (int32_t x = 0; x < width; ++x) {
            if (grey) {
                row[x] = level(x, y);
            } else if (level(x, y)) {
                row[x / 8] |= uint8_t(0x80 >> x % 8);
            }
        }
    }
    return dib;
}

uint8_t LumaOf(uint32_t bgr) {
    uint8_t pixel[3], luma;
    std::memcpy(pixel, &bgr, 3);
    BgrRowToGrayScalar(pixel, 1, &luma);
    return luma;
}

}  // namespace

// Grey and black-and-white pages of every width around a byte of bits, whole
// and cropped, at the edge thresholds: the page is the reference's byte for
// byte, it views back as its kind, and strips in buffers of every size
// reassemble its rows top-down.
TEST(TwainImage, GreyAndBlackWhitePagesHoldTheirLumasAndStripBack) {
    auto colour = [](int32_t x, int32_t y) { return 0x9a3b17u * uint32_t(x + 1) + 0x2f61c5u * uint32_t(y); };
    for (int32_t width : {1, 7, 8, 9, 33}) {
        const int32_t height = 3;
        std::vector<uint8_t> source = MakeDib(width, height, 0, colour);
        DibPixels picture;
        ASSERT_TRUE(ViewPackedDib(source.data(), source.size(), picture));
        const PixelRect rects[] = {{0, 0, width, height}, {width / 2, 1, width - width / 2, 2}, {width - 1, 2, 1, 1}};
        for (const PixelRect& rect : rects) {
            for (auto [kind, threshold] : {std::pair{PagePixels::Gray, 128}, {PagePixels::BlackWhite, 0},
                                           {PagePixels::BlackWhite, 128}, {PagePixels::BlackWhite, 255}}) {
                SCOPED_TRACE(testing::Message() << width << " wide, crop " << rect.left << "," << rect.top << " "
                                                << rect.width << "x" << rect.height << " kind "
                                                << static_cast<int>(kind) << " at " << threshold);
                auto level = [&](int32_t x, int32_t y) {
                    const uint8_t luma = LumaOf(colour(x + rect.left, y + rect.top));
                    return kind == PagePixels::Gray ? luma : uint8_t(luma >= threshold ? 255 : 0);
                };
                const std::vector<uint8_t> expected = ReferencePage(rect.width, rect.height, kind, level);
                std::vector<uint8_t> page(PackedDibBytes(rect.width, rect.height, kind), 0x55);
                ASSERT_TRUE(WriteCroppedDib(picture, rect, 72, kind, uint8_t(threshold), page.data()));
                ASSERT_EQ(page, expected);
                DibPixels view;
                ASSERT_TRUE(ViewPackedDib(page.data(), page.size(), view));
                ASSERT_TRUE(view.pixels == kind && view.width == rect.width && view.height == rect.height);
                // The strip rows: the DIB's rows top-down, each RowBytes long.
                const uint32_t rowBytes = RowBytes(rect.width, kind), whole = rowBytes * rect.height;
                std::vector<uint8_t> rows;
                for (int32_t y = 0; y < rect.height; ++y) {
                    auto start = expected.end() - (y + 1) * view.stride;
                    rows.insert(rows.end(), start, start + rowBytes);
                }
                const TW_SETUPMEMXFER sizes = MemoryBufferSizes(rect.width, rect.height, kind);
                EXPECT_TRUE(sizes.MinBufSize == rowBytes && sizes.MaxBufSize == whole && sizes.Preferred == whole);
                for (uint32_t capacity = rowBytes - 1; capacity <= whole + 1; ++capacity) {
                    std::vector<uint8_t> out(whole + capacity, 0x55);
                    uint32_t done = 0;
                    for (uint32_t got; (got = CopyRows(view, done, &out[done * rowBytes], capacity)) > 0; done += got) {
                        ASSERT_EQ(got, std::min<uint32_t>(capacity / rowBytes, rect.height - done));
                    }
                    ASSERT_EQ(done, capacity < rowBytes ? 0u : uint32_t(rect.height));
                    ASSERT_TRUE(std::all_of(out.begin() + done * rowBytes, out.end(), [](uint8_t b) { return b == 0x55; }));
                    if (done) {
                        ASSERT_TRUE(std::equal(rows.begin(), rows.end(), out.begin())) << "in " << capacity;
                    }
                }
            }
        }
        // Stray bits past the last pixel of a DIB stay out of the strips.
        std::vector<uint8_t> page(PackedDibBytes(width, 1, PagePixels::BlackWhite));
        ASSERT_TRUE(WriteCroppedDib(picture, {0, 0, width, 1}, 72, PagePixels::BlackWhite, 0, page.data()));
        std::memset(&page[48], 0xff, page.size() - 48);
        DibPixels view;
        std::vector<uint8_t> strip(8, 0), bits(8, 0);
        ASSERT_TRUE(ViewPackedDib(page.data(), page.size(), view) && CopyRows(view, 0, strip.data(), 8) == 1);
        std::fill_n(bits.begin(), width / 8, 0xff);
        if (width % 8) bits[width / 8] = uint8_t(0xff00 >> width % 8);
        EXPECT_EQ(strip, bits) << width;
    }
}

// What each kind tells the application, and the sizes of its DIB and strips.
TEST(TwainImage, EachKindDescribesItselfAndSizesItsRows) {
    const std::tuple<PagePixels, int, int, TW_UINT16, int32_t, uint32_t, size_t> kinds[] = {
        // kind, bits per pixel, samples, pixel type, width, row bytes, DIB bytes of width x 5
        {PagePixels::Rgb, 24, 3, TWPT_RGB, 7, 24, 40 + 24 * 5},
        {PagePixels::Gray, 8, 1, TWPT_GRAY, 7, 8, 40 + 1024 + 8 * 5},
        {PagePixels::Gray, 8, 1, TWPT_GRAY, 9, 12, 40 + 1024 + 12 * 5},
        {PagePixels::BlackWhite, 1, 1, TWPT_BW, 33, 8, 40 + 8 + 8 * 5},
        {PagePixels::BlackWhite, 1, 1, TWPT_BW, 32, 4, 40 + 8 + 4 * 5},
    };
    for (const auto& [kind, bits, samples, type, width, rowBytes, dibBytes] : kinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        const TW_IMAGEINFO info = ImageInfoFor(width, 5, 150, kind);
        EXPECT_TRUE(info.BitsPerPixel == bits && info.SamplesPerPixel == samples && info.PixelType == type &&
                    info.Planar == 0 && info.Compression == TWCP_NONE && info.ImageWidth == width &&
                    info.ImageLength == 5 && FromFix32(info.XResolution) == 150);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(info.BitsPerSample[i], i < samples ? bits / samples : 0) << i;
        EXPECT_EQ(RowBytes(width, kind), rowBytes);
        EXPECT_EQ(PackedDibBytes(width, 5, kind), dibBytes);
        EXPECT_EQ(RowBytes(0, kind) + PackedDibBytes(width, 0, kind), 0u);
    }
    EXPECT_EQ(PackedDibBytes(0x7fffffff, 1, PagePixels::BlackWhite), 40u + 8 + 0x10000000u);
    EXPECT_EQ(PackedDibBytes(46341, 46341, PagePixels::Gray), 0u);  // past 2 GB
    EXPECT_EQ(RowBytes(0x7fffffff, PagePixels::Gray), 0u);
}

// Only the three kinds the source makes, with exactly their palettes, whose
// header, palette and pixels lie in the block; and no page from anything but
// a 24-bit picture or from a crop outside it.
TEST(TwainImage, ViewsRefuseOtherDibsAndPagesComeOnlyFromInside) {
    std::vector<uint8_t> rgb = MakeDib(9, 2, 0, Numbered);
    DibPixels picture;
    ASSERT_TRUE(ViewPackedDib(rgb.data(), rgb.size(), picture));
    std::vector<uint8_t> grey(PackedDibBytes(9, 2, PagePixels::Gray)), bw(PackedDibBytes(9, 2, PagePixels::BlackWhite));
    ASSERT_TRUE(WriteCroppedDib(picture, {0, 0, 9, 2}, 96, PagePixels::Gray, 128, grey.data()));
    ASSERT_TRUE(WriteCroppedDib(picture, {0, 0, 9, 2}, 96, PagePixels::BlackWhite, 128, bw.data()));
    struct Change {
        std::vector<uint8_t>* dib;
        size_t offset;
        uint32_t value;  // written as 4 bytes, or 2 at offsets 12 and 14
        bool accepted;
    };
    const Change changes[] = {
        {&grey, 32, 0, true},      {&bw, 32, 0, true},        // biClrUsed 0: the whole palette
        {&grey, 32, 255, false},   {&bw, 32, 1, false},       {&rgb, 32, 2, false},
        {&grey, 14, 4, false},     {&grey, 14, 32, false},    {&rgb, 14, 16, false},  // other depths
        {&bw, 12, 2, false},       {&grey, 16, 1, false},     {&bw, 8, uint32_t(-2), false},
        {&grey, 40 + 4 * 200, 0xc8c8c9, false},               {&bw, 44, 0xfffffe, false},
        {&bw, 40, 0x01000000, false},                         {&grey, 0, 2000, false},  // header past the block
    };
    for (const Change& c : changes) {
        std::vector<uint8_t> dib = *c.dib;
        if (c.offset == 12 || c.offset == 14) std::memcpy(&dib[c.offset], &c.value, 2);
        else std::memcpy(&dib[c.offset], &c.value, 4);
        DibPixels view;
        EXPECT_EQ(ViewPackedDib(dib.data(), dib.size(), view), c.accepted) << c.offset << " " << c.value;
    }
    for (const std::vector<uint8_t>* dib : {&grey, &bw}) {
        DibPixels view;
        EXPECT_TRUE(ViewPackedDib(dib->data(), dib->size(), view));
        EXPECT_FALSE(ViewPackedDib(dib->data(), dib->size() - 1, view));  // last row cut
        EXPECT_FALSE(ViewPackedDib(dib->data(), dib == &grey ? 1063 : 47, view));  // palette cut
        std::vector<uint8_t> sink(grey.size(), 0x55);
        EXPECT_FALSE(WriteCroppedDib(view, {0, 0, 9, 2}, 96, PagePixels::Gray, 0, sink.data()));  // not 24-bit
    }
    std::vector<uint8_t> sink(grey.size(), 0x55);
    for (PixelRect outside : {PixelRect{1, 0, 9, 2}, PixelRect{0, 1, 9, 2}, PixelRect{-1, 0, 2, 2},
                              PixelRect{0, -1, 2, 2}, PixelRect{0, 0, 0, 2}, PixelRect{0, 0, 2, 0}}) {
        EXPECT_FALSE(WriteCroppedDib(picture, outside, 96, PagePixels::Gray, 0, sink.data())) << outside.left;
    }
    EXPECT_TRUE(std::all_of(sink.begin(), sink.end(), [](uint8_t b) { return b == 0x55; }));
}
