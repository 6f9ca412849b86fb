#include "camera/frame_sizes.h"

#include <gtest/gtest.h>

#include "camera/camera.h"
#include "camera/test_pattern.h"

namespace {

MediaFormat Type(PixelFormat subtype, int32_t width, int32_t height, uint32_t numerator, uint32_t denominator = 1) {
    return {subtype, width, height, 0, numerator, denominator};
}

}  // namespace

// The list a user picks from and the type each pick opens, on a device that lists its types in an order of its
// own, with rates given as Media Foundation gives them (7.5 fps as 15/2, 29.97 as 30000/1001, unknown as 0/0).
TEST(FrameSizes, SizesLargestFirstWithTheirBestRateAndTheFastestCheapestTypeForEach) {
    using F = PixelFormat;
    const std::vector<MediaFormat> formats = {
        Type(F::YUY2, 640, 480, 30),         Type(F::YUY2, 640, 480, 15),     Type(F::YUY2, 1920, 1080, 5),
        Type(F::MJPG, 1920, 1080, 30),       Type(F::NV12, 1920, 1080, 30),   Type(F::MJPG, 640, 480, 30),
        Type(F::Unknown, 3840, 2160, 30),    Type(F::YUY2, 1600, 896, 15, 2), Type(F::MJPG, 1080, 1920, 30000, 1001),
        Type(F::RGB24, 1080, 1920, 30000, 1001), Type(F::NV12, 176, 144, 0, 0), Type(F::MJPG, 176, 144, 10),
        Type(F::YUY2, 0, 480, 30),           Type(F::NV12, 20000, 10, 30),    Type(F::MJPG, 2304, 1296, 2),
        Type(F::RGB24, 1296, 2304, 2),       Type(F::YUY2, 1296, 2304, 2),
    };
    const struct {
        FrameSize size;
        const wchar_t* label;
        int chosen;  // index of the type opened for the size
    } expected[] = {
        {{2304, 1296}, L"2304 x 1296 (2 fps)", 14},  {{1296, 2304}, L"1296 x 2304 (2 fps)", 16},
        {{1920, 1080}, L"1920 x 1080 (30 fps)", 4},  {{1080, 1920}, L"1080 x 1920 (29.97 fps)", 9},
        {{1600, 896}, L"1600 x 896 (7.5 fps)", 7},   {{640, 480}, L"640 x 480 (30 fps)", 0},
        {{176, 144}, L"176 x 144 (10 fps)", 11},
    };
    const std::vector<FrameSizeOption> options = ListFrameSizes(formats);
    ASSERT_EQ(options.size(), std::size(expected));
    const std::vector<std::wstring> entries = FrameSizeEntries(options);
    ASSERT_EQ(entries.size(), options.size() + 1);
    EXPECT_EQ(entries[0], L"Camera default");
    for (size_t i = 0; i < options.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(options[i].size, expected[i].size);
        EXPECT_EQ(entries[i + 1], expected[i].label);
        EXPECT_EQ(ChooseTypeForSize(formats, expected[i].size), expected[i].chosen);
        EXPECT_EQ(FrameSizeOfEntry(options, static_cast<int>(i) + 1), expected[i].size);
        EXPECT_EQ(FrameSizeEntryInUse(options, true, expected[i].size), static_cast<int>(i) + 1);
        EXPECT_EQ(FrameSizeEntryInUse(options, false, expected[i].size), 0);
    }
    for (FrameSize absent : {FrameSize{3840, 2160}, FrameSize{800, 600}, FrameSize{0, 480}, FrameSize{20000, 10}}) {
        EXPECT_EQ(ChooseTypeForSize(formats, absent), -1);
        EXPECT_EQ(FrameSizeEntryInUse(options, true, absent), 0);
    }
    EXPECT_TRUE(FrameSizeOfEntry(options, 0).IsDefault() && FrameSizeOfEntry(options, 8).IsDefault() &&
                FrameSizeOfEntry(options, -1).IsDefault());
    EXPECT_EQ(FrameSizeLabel({{640, 480}, 1, 3}), L"640 x 480 (0.33 fps)");
    EXPECT_EQ(FrameSizeLabel({{640, 480}, 25, 0}), L"640 x 480");
    EXPECT_EQ(FrameSizeLabel({{640, 480}, UINT32_MAX, 1}), L"640 x 480 (4294967295 fps)");
}

// What the registry holds is read back only when it names a picture a 32-bit process can hold; anything else is
// the camera's default, never a nonsense request.
TEST(FrameSizes, StoredSizesRoundTripAndOddTextReadsAsTheDefault) {
    for (FrameSize size : {FrameSize{1920, 1080}, FrameSize{1, 1}, FrameSize{16384, 5461}, FrameSize{3840, 2160}}) {
        EXPECT_EQ(ParseFrameSize(FormatFrameSize(size)), size);
    }
    EXPECT_EQ(FormatFrameSize({1920, 1080}), L"1920x1080");
    EXPECT_EQ(FormatFrameSize({}), L"");
    for (const wchar_t* odd : {L"", L"x", L"1920", L"1920x", L"x1080", L"1920X1080", L"1920 x 1080", L"-1920x1080",
                               L"1920x1080x1", L"0x1080", L"1920x0", L"16385x16", L"16384x16384", L"99999999x1",
                               L"+640x480", L"640x480 ", L"\u0661920x1080"}) {
        EXPECT_TRUE(ParseFrameSize(odd).IsDefault()) << testing::PrintToString(std::wstring(odd));
    }
}

// Real cameras' lists, through the camera as the dialog uses it: the default is the first type we take in the
// device's order (today's negotiation), the list runs largest first with each size's best rate, and a size opens
// with its fastest type, NV12 before YUY2 before MJPG at equal rates.
TEST(FrameSizes, RealCamerasListsGiveTheirSizesAndTheFastestCheapestTypeForEach) {
    using F = PixelFormat;
    struct Pick { FrameSize size; F subtype; };
    const struct {
        const wchar_t* modes;
        Pick byDefault;
        size_t sizes;
        std::vector<const wchar_t*> first;  // the list's first entries after "Camera default"
        std::vector<Pick> picks;
    } cameras[] = {
        {L"c920", {{640, 480}, F::YUY2}, 19, {L"2304 x 1536 (2 fps)", L"2304 x 1296 (2 fps)", L"1920 x 1080 (30 fps)",
                                               L"1600 x 896 (7.5 fps)", L"1280 x 720 (30 fps)"},
         {{{1920, 1080}, F::MJPG}, {{640, 480}, F::YUY2}, {{1280, 720}, F::MJPG}, {{2304, 1536}, F::YUY2},
          {{1600, 896}, F::YUY2}, {{160, 90}, F::YUY2}}},
        {L"laptop", {{640, 480}, F::MJPG}, 9, {L"1280 x 720 (30 fps)", L"960 x 540 (30 fps)"},
         {{{1280, 720}, F::NV12}, {{640, 480}, F::NV12}, {{160, 120}, F::NV12}}},
        {L"uhd", {{640, 480}, F::MJPG}, 5, {L"3840 x 2160 (30 fps)", L"2560 x 1440 (30 fps)", L"1920 x 1080 (30 fps)"},
         {{{3840, 2160}, F::NV12}, {{1920, 1080}, F::NV12}, {{640, 480}, F::NV12}}},
        {L"frameserver", {{640, 480}, F::NV12}, 10, {L"1920 x 1080 (30 fps)", L"1280 x 720 (30 fps)"},
         {{{1920, 1080}, F::NV12}, {{424, 240}, F::NV12}}},
    };
    Camera camera([](const std::wstring& link, CameraError& error) { return OpenTestPatternReader(link, nullptr, error); });
    for (const auto& c : cameras) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.modes)));
        const std::wstring link = std::wstring(L"snapward-testpattern:nv12?modes=") + c.modes;
        ASSERT_TRUE(camera.Open(link));
        const FrameSize opened{camera.width(), camera.height()};
        EXPECT_TRUE(camera.subtype() == c.byDefault.subtype && opened == c.byDefault.size && !camera.sizeHonoured());
        const std::vector<FrameSizeOption> options = ListFrameSizes(camera.formats());
        const std::vector<std::wstring> entries = FrameSizeEntries(options);
        ASSERT_EQ(options.size(), c.sizes);
        for (size_t i = 0; i < c.first.size(); ++i) EXPECT_EQ(entries[i + 1], c.first[i]);
        for (size_t i = 1; i < options.size(); ++i) {
            EXPECT_GE(int64_t{options[i - 1].size.width} * options[i - 1].size.height,
                      int64_t{options[i].size.width} * options[i].size.height);
        }
        for (const Pick& pick : c.picks) {
            ASSERT_TRUE(camera.Open(link, pick.size));
            const FrameSize size{camera.width(), camera.height()};
            EXPECT_TRUE(camera.sizeHonoured() && camera.subtype() == pick.subtype && size == pick.size)
                << pick.size.width << "x" << pick.size.height;
        }
        ASSERT_TRUE(camera.Open(link, {1000, 1000}));  // not offered: the default, said so
        EXPECT_TRUE(!camera.sizeHonoured() && camera.subtype() == c.byDefault.subtype);
    }
}
