// The source's protocol logic without a manager: the state machine,
// capability negotiation and its containers, and the image rows.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "ds_capabilities.h"
#include "ds_image.h"
#include "ds_state.h"

namespace {

struct Step {
    TW_UINT32 dg;
    TW_UINT16 dat;
    TW_UINT16 msg;
};

CapContainer OneValue(TW_UINT16 itemType, TW_UINT32 item) {
    CapContainer container;
    container.conType = TWON_ONEVALUE;
    container.itemType = itemType;
    container.items = {item};
    return container;
}

}  // namespace

TEST(TwainStates, AWholeSessionIsInOrder) {
    // An application's session: open, negotiate, enable, transfer one image
    // by each mechanism, disable, close.
    struct SessionStep {
        DsState state;
        Step triplet;
    };
    const SessionStep session[] = {
        {DsState::Closed, {DG_CONTROL, DAT_IDENTITY, MSG_GET}},
        {DsState::Closed, {DG_CONTROL, DAT_ENTRYPOINT, MSG_SET}},
        {DsState::Closed, {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS}},
        {DsState::Open, {DG_CONTROL, DAT_CAPABILITY, MSG_QUERYSUPPORT}},
        {DsState::Open, {DG_CONTROL, DAT_CAPABILITY, MSG_SET}},
        {DsState::Open, {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET}},
        {DsState::Open, {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET}},
        {DsState::Open, {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS}},
        {DsState::Enabled, {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT}},
        {DsState::Enabled, {DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT}},
        {DsState::XferReady, {DG_IMAGE, DAT_IMAGEINFO, MSG_GET}},
        {DsState::XferReady, {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET}},
        {DsState::Transferring, {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER}},
        {DsState::XferReady, {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET}},
        {DsState::Transferring, {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET}},
        {DsState::Transferring, {DG_IMAGE, DAT_IMAGEINFO, MSG_GET}},
        {DsState::Transferring, {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER}},
        {DsState::XferReady, {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET}},
        {DsState::Enabled, {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS}},
        {DsState::Open, {DG_CONTROL, DAT_STATUS, MSG_GET}},
        {DsState::Open, {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS}},
        // A manager opens the source again only after forgetting it.
        {DsState::Transferring, {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS}},
    };
    for (const SessionStep& step : session) {
        SCOPED_TRACE(::testing::Message() << "state " << static_cast<int>(step.state) << " dat "
                                          << step.triplet.dat << " msg " << step.triplet.msg);
        EXPECT_EQ(CheckTriplet(step.state, step.triplet.dg, step.triplet.dat, step.triplet.msg),
                  TripletCheck::Allowed);
    }
}

TEST(TwainStates, OutOfOrderIsASequenceErrorAndUnknownIsBadProtocol) {
    struct Wrong {
        DsState state;
        Step triplet;
    };
    const Wrong outOfOrder[] = {
        {DsState::Closed, {DG_CONTROL, DAT_CAPABILITY, MSG_GET}},        // not opened yet
        {DsState::Closed, {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS}},
        {DsState::Open, {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET}},       // nothing to transfer
        {DsState::Open, {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS}},
        {DsState::Open, {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER}},
        {DsState::Open, {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT}},
        {DsState::Enabled, {DG_CONTROL, DAT_CAPABILITY, MSG_SET}},       // negotiation is over
        {DsState::Enabled, {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS}},
        {DsState::Enabled, {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS}},     // disable first
        {DsState::Enabled, {DG_IMAGE, DAT_IMAGEINFO, MSG_GET}},          // no image yet
        {DsState::Enabled, {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET}},
        {DsState::XferReady, {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS}},  // end transfers first
        {DsState::XferReady, {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET}},
        {DsState::Transferring, {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET}},  // already handed over
        {DsState::Transferring, {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET}},
        {DsState::Transferring, {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET}},
    };
    for (const Wrong& wrong : outOfOrder) {
        SCOPED_TRACE(::testing::Message() << "state " << static_cast<int>(wrong.state) << " dat "
                                          << wrong.triplet.dat << " msg " << wrong.triplet.msg);
        TripletCheck check =
            CheckTriplet(wrong.state, wrong.triplet.dg, wrong.triplet.dat, wrong.triplet.msg);
        EXPECT_EQ(check, TripletCheck::OutOfSequence);
        EXPECT_EQ(ConditionFor(check), TWCC_SEQERROR);
    }

    const Step unknown[] = {
        {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY},  // no settings-only dialog
        {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET},
        {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET},
        {DG_CONTROL, DAT_PARENT, MSG_OPENDSM},   // the manager's, not ours
        {DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT},
        {DG_IMAGE, DAT_CAPABILITY, MSG_GET},     // right DAT, wrong group
        {0x0004, DAT_NULL, MSG_GET},             // audio
    };
    for (DsState state : {DsState::Closed, DsState::Open, DsState::Enabled, DsState::Transferring}) {
        for (const Step& step : unknown) {
            TripletCheck check = CheckTriplet(state, step.dg, step.dat, step.msg);
            EXPECT_EQ(check, TripletCheck::Unknown) << step.dat << " " << step.msg;
            EXPECT_EQ(ConditionFor(check), TWCC_BADPROTOCOL);
        }
    }
}

TEST(TwainFix32, ItemsKeepWholeAndFraction) {
    EXPECT_EQ(Fix32Item(96), 96u);
    EXPECT_EQ(Fix32Item(0.5), 0x80000000u);
    TW_FIX32 width = ToFix32(1280 / 96.0);  // 13.333...
    EXPECT_EQ(width.Whole, 13);
    EXPECT_EQ(width.Frac, 21845);
    TW_FIX32 negative = ToFix32(-1.5);  // the fraction is never negative
    EXPECT_EQ(negative.Whole, -2);
    EXPECT_EQ(negative.Frac, 32768);
    EXPECT_DOUBLE_EQ(FromFix32(negative), -1.5);
    EXPECT_DOUBLE_EQ(Fix32Value(Fix32Item(7.5)), 7.5);
}

TEST(TwainContainers, BytesFollowThePublishedLayouts) {
    CapContainer one = OneValue(TWTY_UINT16, TWSX_MEMORY);
    std::vector<uint8_t> bytes = EncodeContainer(one);
    ASSERT_EQ(bytes.size(), sizeof(TW_ONEVALUE));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x04, 0x00, 0x02, 0x00, 0x00, 0x00}));

    CapContainer enumeration;
    enumeration.conType = TWON_ENUMERATION;
    enumeration.itemType = TWTY_UINT16;
    enumeration.items = {0, 2};
    enumeration.currentIndex = 1;
    enumeration.defaultIndex = 0;
    bytes = EncodeContainer(enumeration);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x04, 0x00, 0x02, 0, 0, 0, 0x01, 0, 0, 0, 0x00, 0, 0, 0,
                                            0x00, 0x00, 0x02, 0x00}));

    CapContainer array;
    array.conType = TWON_ARRAY;
    array.itemType = TWTY_FIX32;
    array.items = {Fix32Item(96), Fix32Item(0.5)};
    bytes = EncodeContainer(array);
    ASSERT_EQ(bytes.size(), sizeof(TW_ARRAY_HEADER) + 8);

    for (const CapContainer& original : {one, enumeration, array}) {
        std::vector<uint8_t> encoded = EncodeContainer(original);
        CapContainer decoded;
        ASSERT_TRUE(DecodeContainer(original.conType, encoded.data(), encoded.size(), decoded));
        EXPECT_EQ(decoded.itemType, original.itemType);
        EXPECT_EQ(decoded.items, original.items);
        EXPECT_EQ(decoded.currentIndex, original.currentIndex);
    }
}

TEST(TwainContainers, BadBytesAreRefused) {
    CapContainer out;
    std::vector<uint8_t> oneValue = {0x04, 0x00, 0x02, 0x00, 0x00};  // one byte short
    EXPECT_FALSE(DecodeContainer(TWON_ONEVALUE, oneValue.data(), oneValue.size(), out));
    // An enumeration announcing more items than its bytes hold.
    std::vector<uint8_t> enumeration = {0x04, 0x00, 0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0, 0, 0, 0, 0,
                                        0x00, 0x00};
    EXPECT_FALSE(DecodeContainer(TWON_ENUMERATION, enumeration.data(), enumeration.size(), out));
    // Item types this source never exchanges (strings, frames).
    std::vector<uint8_t> frame = {0x08, 0x00, 0, 0, 0, 0};
    EXPECT_FALSE(DecodeContainer(TWON_ONEVALUE, frame.data(), frame.size(), out));
    std::vector<uint8_t> range(30, 0);
    EXPECT_FALSE(DecodeContainer(TWON_RANGE, range.data(), range.size(), out));
    EXPECT_FALSE(DecodeContainer(TWON_ONEVALUE, nullptr, 6, out));

    // A signed 16-bit item comes back sign-extended.
    std::vector<uint8_t> minusOne = {0x01, 0x00, 0xff, 0xff, 0x00, 0x00};
    ASSERT_TRUE(DecodeContainer(TWON_ONEVALUE, minusOne.data(), minusOne.size(), out));
    EXPECT_EQ(out.items, std::vector<TW_UINT32>{0xffffffffu});
}

TEST(TwainCapabilities, TransferMechanismIsNativeOrMemory) {
    CapabilitySet caps;
    CapContainer answer;
    ASSERT_EQ(caps.Query(ICAP_XFERMECH, CapQuery::Get, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.conType, TWON_ENUMERATION);
    EXPECT_EQ(answer.items, (std::vector<TW_UINT32>{TWSX_NATIVE, TWSX_MEMORY}));

    // Any integer type carries the value; a fixed-point one does not.
    EXPECT_EQ(caps.Set(ICAP_XFERMECH, OneValue(TWTY_UINT32, TWSX_MEMORY)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.XferMech(), TWSX_MEMORY);
    ASSERT_EQ(caps.Query(ICAP_XFERMECH, CapQuery::Get, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.currentIndex, 1u);
    EXPECT_EQ(answer.defaultIndex, 0u);
    CapResult file = caps.Set(ICAP_XFERMECH, OneValue(TWTY_UINT16, TWSX_FILE));
    EXPECT_EQ(file.returnCode, TWRC_FAILURE);
    EXPECT_EQ(file.conditionCode, TWCC_BADVALUE);
    EXPECT_EQ(caps.Set(ICAP_XFERMECH, OneValue(TWTY_FIX32, Fix32Item(0))).conditionCode,
              TWCC_BADVALUE);
    EXPECT_EQ(caps.XferMech(), TWSX_MEMORY);

    ASSERT_EQ(caps.Query(ICAP_XFERMECH, CapQuery::GetDefault, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.conType, TWON_ONEVALUE);
    EXPECT_EQ(answer.items, std::vector<TW_UINT32>{TWSX_NATIVE});
    ASSERT_EQ(caps.Query(ICAP_XFERMECH, CapQuery::Reset, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.XferMech(), TWSX_NATIVE);

    // An enumeration sets its current item.
    CapContainer choice;
    choice.conType = TWON_ENUMERATION;
    choice.itemType = TWTY_UINT16;
    choice.items = {TWSX_NATIVE, TWSX_MEMORY};
    choice.currentIndex = 1;
    EXPECT_EQ(caps.Set(ICAP_XFERMECH, choice).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.XferMech(), TWSX_MEMORY);
    choice.currentIndex = 2;  // past its items
    EXPECT_EQ(caps.Set(ICAP_XFERMECH, choice).conditionCode, TWCC_BADVALUE);
    caps.ResetAll();
    EXPECT_EQ(caps.XferMech(), TWSX_NATIVE);
}

TEST(TwainCapabilities, CountsFlagsAndResolutions) {
    CapabilitySet caps;
    EXPECT_EQ(caps.XferCount(), -1);
    EXPECT_EQ(caps.Set(CAP_XFERCOUNT, OneValue(TWTY_INT16, 5)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.XferCount(), 5);
    // -1 written as 16 bits only, as some applications do.
    EXPECT_EQ(caps.Set(CAP_XFERCOUNT, OneValue(TWTY_INT16, 0xffff)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.XferCount(), -1);
    EXPECT_EQ(caps.Set(CAP_XFERCOUNT, OneValue(TWTY_INT16, 0)).conditionCode, TWCC_BADVALUE);
    EXPECT_EQ(caps.Set(CAP_XFERCOUNT, OneValue(TWTY_UINT32, 40000)).conditionCode, TWCC_BADVALUE);
    CapContainer answer;
    ASSERT_EQ(caps.Query(CAP_XFERCOUNT, CapQuery::GetDefault, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.items, std::vector<TW_UINT32>{0xffffffffu});

    EXPECT_EQ(caps.Set(CAP_INDICATORS, OneValue(TWTY_BOOL, 0)).returnCode, TWRC_SUCCESS);
    EXPECT_FALSE(caps.Indicators());
    EXPECT_EQ(caps.Set(CAP_INDICATORS, OneValue(TWTY_BOOL, 2)).conditionCode, TWCC_BADVALUE);

    // 96 dots per inch only: other values are rounded to it, and the
    // application is told to look; nonsense is refused.
    EXPECT_EQ(caps.Set(ICAP_XRESOLUTION, OneValue(TWTY_FIX32, Fix32Item(96))).returnCode,
              TWRC_SUCCESS);
    EXPECT_EQ(caps.Set(ICAP_YRESOLUTION, OneValue(TWTY_UINT16, 96)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.Set(ICAP_XRESOLUTION, OneValue(TWTY_FIX32, Fix32Item(150))).returnCode,
              TWRC_CHECKSTATUS);
    ASSERT_EQ(caps.Query(ICAP_XRESOLUTION, CapQuery::GetCurrent, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.items, std::vector<TW_UINT32>{Fix32Item(96)});
    EXPECT_EQ(caps.Set(ICAP_XRESOLUTION, OneValue(TWTY_FIX32, Fix32Item(-96))).conditionCode,
              TWCC_BADVALUE);

    EXPECT_EQ(caps.Set(ICAP_PIXELTYPE, OneValue(TWTY_UINT16, TWPT_RGB)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.Set(ICAP_PIXELTYPE, OneValue(TWTY_UINT16, TWPT_GRAY)).conditionCode,
              TWCC_BADVALUE);
    EXPECT_EQ(caps.Set(ICAP_UNITS, OneValue(TWTY_UINT16, TWUN_CENTIMETERS)).conditionCode,
              TWCC_BADVALUE);
    EXPECT_EQ(caps.Set(ICAP_BITDEPTH, OneValue(TWTY_UINT16, 8)).conditionCode, TWCC_BADVALUE);
}

TEST(TwainCapabilities, ReadOnlyAndUnknownCapabilities) {
    CapabilitySet caps;
    CapContainer answer;
    for (TW_UINT16 cap : {CAP_UICONTROLLABLE, CAP_DEVICEONLINE, CAP_ENABLEDSUIONLY,
                          ICAP_XNATIVERESOLUTION, ICAP_PHYSICALWIDTH, CAP_SUPPORTEDCAPS}) {
        SCOPED_TRACE(cap);
        EXPECT_EQ(caps.Set(cap, OneValue(TWTY_BOOL, 1)).conditionCode, TWCC_CAPBADOPERATION);
        EXPECT_EQ(caps.Query(cap, CapQuery::Reset, answer).conditionCode, TWCC_CAPBADOPERATION);
        ASSERT_EQ(caps.QuerySupport(cap, answer).returnCode, TWRC_SUCCESS);
        EXPECT_EQ(answer.itemType, TWTY_INT32);
        EXPECT_EQ(answer.items.front(), static_cast<TW_UINT32>(TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT));
    }
    ASSERT_EQ(caps.QuerySupport(ICAP_XFERMECH, answer).returnCode, TWRC_SUCCESS);
    EXPECT_NE(answer.items.front() & TWQC_SET, 0u);

    EXPECT_EQ(caps.Query(ICAP_BRIGHTNESS, CapQuery::Get, answer).conditionCode, TWCC_CAPUNSUPPORTED);
    EXPECT_EQ(caps.Set(ICAP_BRIGHTNESS, OneValue(TWTY_INT16, 1)).conditionCode, TWCC_CAPUNSUPPORTED);
    EXPECT_EQ(caps.QuerySupport(ICAP_BRIGHTNESS, answer).conditionCode, TWCC_CAPUNSUPPORTED);

    // Everything listed as supported answers, the list itself included.
    ASSERT_EQ(caps.Query(CAP_SUPPORTEDCAPS, CapQuery::Get, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.conType, TWON_ARRAY);
    EXPECT_EQ(answer.items.size(), 20u);
    EXPECT_NE(std::find(answer.items.begin(), answer.items.end(), CAP_SUPPORTEDCAPS),
              answer.items.end());
    for (TW_UINT32 cap : answer.items) {
        CapContainer value;
        EXPECT_EQ(caps.Query(static_cast<TW_UINT16>(cap), CapQuery::GetCurrent, value).returnCode,
                  TWRC_SUCCESS)
            << cap;
    }
}

TEST(TwainCapabilities, TheCameraSetsOnlineAndPhysicalSize) {
    CapabilitySet caps;
    CapContainer answer;
    caps.SetDeviceOnline(false);
    ASSERT_EQ(caps.Query(CAP_DEVICEONLINE, CapQuery::GetCurrent, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(answer.items, std::vector<TW_UINT32>{0});
    caps.SetFrameSize(1280, 720);
    ASSERT_EQ(caps.Query(ICAP_PHYSICALWIDTH, CapQuery::GetCurrent, answer).returnCode, TWRC_SUCCESS);
    EXPECT_NEAR(Fix32Value(answer.items.front()), 13.3333, 0.0001);
    ASSERT_EQ(caps.Query(ICAP_PHYSICALHEIGHT, CapQuery::GetCurrent, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(Fix32Value(answer.items.front()), 7.5);
    caps.SetFrameSize(0, 720);  // no size: the last one stays
    ASSERT_EQ(caps.Query(ICAP_PHYSICALHEIGHT, CapQuery::GetCurrent, answer).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(Fix32Value(answer.items.front()), 7.5);
}

namespace {

// A 3 x 2 packed DIB: bottom row first, blue-green-red, rows of 12 bytes.
std::vector<uint8_t> SmallDib() {
    std::vector<uint8_t> dib(40 + 2 * 12, 0);
    uint32_t header = 40;
    int32_t width = 3;
    int32_t height = 2;
    uint16_t planes = 1;
    uint16_t bits = 24;
    std::memcpy(&dib[0], &header, 4);
    std::memcpy(&dib[4], &width, 4);
    std::memcpy(&dib[8], &height, 4);
    std::memcpy(&dib[12], &planes, 2);
    std::memcpy(&dib[14], &bits, 2);
    // Pixel (x, y from the top) has blue 10*x+y, green 100+x, red 200+y.
    for (int y = 0; y < 2; ++y) {
        uint8_t* row = &dib[40 + (1 - y) * 12];
        for (int x = 0; x < 3; ++x) {
            row[3 * x] = static_cast<uint8_t>(10 * x + y);
            row[3 * x + 1] = static_cast<uint8_t>(100 + x);
            row[3 * x + 2] = static_cast<uint8_t>(200 + y);
        }
        for (int pad = 9; pad < 12; ++pad) row[pad] = 0xee;  // must not leak out
    }
    return dib;
}

}  // namespace

TEST(TwainImage, PackedDibsAreCheckedBeforeUse) {
    std::vector<uint8_t> dib = SmallDib();
    DibPixels view;
    ASSERT_TRUE(ViewPackedDib(dib.data(), dib.size(), view));
    EXPECT_EQ(view.width, 3);
    EXPECT_EQ(view.height, 2);
    EXPECT_EQ(view.stride, 12);
    EXPECT_EQ(view.data, dib.data() + 40);

    EXPECT_FALSE(ViewPackedDib(dib.data(), dib.size() - 1, view));  // last row cut
    EXPECT_FALSE(ViewPackedDib(dib.data(), 39, view));
    std::vector<uint8_t> topDown = dib;
    int32_t negative = -2;
    std::memcpy(&topDown[8], &negative, 4);
    EXPECT_FALSE(ViewPackedDib(topDown.data(), topDown.size(), view));
    std::vector<uint8_t> thirtyTwo = dib;
    thirtyTwo[14] = 32;
    EXPECT_FALSE(ViewPackedDib(thirtyTwo.data(), thirtyTwo.size(), view));
    std::vector<uint8_t> compressed = dib;
    compressed[16] = 1;
    EXPECT_FALSE(ViewPackedDib(compressed.data(), compressed.size(), view));
}

TEST(TwainImage, MemoryRowsAreTopDownRedGreenBlue) {
    std::vector<uint8_t> dib = SmallDib();
    DibPixels picture;
    ASSERT_TRUE(ViewPackedDib(dib.data(), dib.size(), picture));
    ASSERT_EQ(RgbRowBytes(3), 12u);

    std::vector<uint8_t> out(24, 0x55);
    ASSERT_EQ(CopyRgbRows(picture, 0, out.data(), static_cast<uint32_t>(out.size())), 2u);
    const std::vector<uint8_t> expected = {
        200, 100, 0,  200, 101, 10, 200, 102, 20, 0, 0, 0,  // top row
        201, 100, 1,  201, 101, 11, 201, 102, 21, 0, 0, 0,  // bottom row
    };
    EXPECT_EQ(out, expected);

    // A buffer for one and a half rows takes one; the next call goes on.
    std::vector<uint8_t> strip(18, 0x55);
    ASSERT_EQ(CopyRgbRows(picture, 0, strip.data(), 18), 1u);
    EXPECT_TRUE(std::equal(strip.begin(), strip.begin() + 12, expected.begin()));
    EXPECT_EQ(strip[12], 0x55);  // nothing past the whole row
    ASSERT_EQ(CopyRgbRows(picture, 1, strip.data(), 18), 1u);
    EXPECT_TRUE(std::equal(strip.begin(), strip.begin() + 12, expected.begin() + 12));
    EXPECT_EQ(CopyRgbRows(picture, 2, strip.data(), 18), 0u);  // none left
    EXPECT_EQ(CopyRgbRows(picture, 0, strip.data(), 11), 0u);  // not one whole row
}

TEST(TwainImage, InfoLayoutAndBufferSizes) {
    TW_IMAGEINFO info = ImageInfoFor(1280, 720);
    EXPECT_EQ(info.ImageWidth, 1280);
    EXPECT_EQ(info.ImageLength, 720);
    EXPECT_EQ(info.SamplesPerPixel, 3);
    EXPECT_EQ(info.BitsPerSample[0], 8);
    EXPECT_EQ(info.BitsPerSample[3], 0);
    EXPECT_EQ(info.BitsPerPixel, 24);
    EXPECT_EQ(info.PixelType, TWPT_RGB);
    EXPECT_EQ(info.Compression, TWCP_NONE);
    EXPECT_EQ(FromFix32(info.XResolution), 96.0);

    TW_IMAGELAYOUT layout = FullFrameLayout(1280, 720);
    EXPECT_TRUE(IsFullFrame(layout.Frame, 1280, 720));
    EXPECT_EQ(FromFix32(layout.Frame.Bottom), 7.5);
    TW_FRAME almost = layout.Frame;
    almost.Right = ToFix32(1280 / 96.0 + 0.4 / 96);  // within half a pixel
    EXPECT_TRUE(IsFullFrame(almost, 1280, 720));
    TW_FRAME cropped = layout.Frame;
    cropped.Left = ToFix32(1.0);
    EXPECT_FALSE(IsFullFrame(cropped, 1280, 720));

    TW_SETUPMEMXFER sizes = MemoryBufferSizes(1281, 720);
    EXPECT_EQ(sizes.MinBufSize, 3844u);  // 3 * 1281 padded to 4
    EXPECT_EQ(sizes.MaxBufSize, 3844u * 720);
    EXPECT_EQ(sizes.Preferred % 3844, 0u);
    EXPECT_LE(sizes.Preferred, sizes.MaxBufSize);
    EXPECT_GE(sizes.Preferred, sizes.MinBufSize);
    TW_SETUPMEMXFER tiny = MemoryBufferSizes(2, 2);
    EXPECT_EQ(tiny.Preferred, tiny.MaxBufSize);
}
