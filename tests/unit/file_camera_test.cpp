// The portable parts of the file cameras: their links and names, the pitch a
// buffer's length tells, and the pace at which a clip's frames are handed on.
#include <gtest/gtest.h>

#include "camera/file_camera.h"
#include "camera/frame_pacing.h"
#include "camera/sample_pitch.h"

using namespace std::chrono;

TEST(FileCamera, LinksNameTheirClipAndOnlyFileLinksAreListed) {
    const struct {
        const wchar_t* link;
        const wchar_t* path;  // null: not a file camera's link
        const wchar_t* name;
    } cases[] = {
        {L"snapward-file:C:\\clips\\pattern.avi", L"C:\\clips\\pattern.avi", L"pattern.avi"},
        {L"snapward-file:Z:/tmp/a b.avi", L"Z:/tmp/a b.avi", L"a b.avi"},
        {L"snapward-file:dir\\sub/clip", L"dir\\sub/clip", L"clip"},
        {L"snapward-file:clip.avi", L"clip.avi", L"clip.avi"},
        {L"snapward-file:", nullptr, nullptr},
        {L"snapward-file:C:\\clips\\", nullptr, nullptr},
        {L"snapward-file:C:/clips/", nullptr, nullptr},
        {L"Snapward-File:C:\\a.avi", nullptr, nullptr},
        {L"snapward-fil", nullptr, nullptr},
        {L"snapward-testpattern:nv12", nullptr, nullptr},
        {L"\\\\?\\usb#snapward-file:a.avi", nullptr, nullptr},
    };
    std::vector<std::wstring> links;
    std::vector<CameraDevice> expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << &c - cases);
        std::wstring path = L"kept", name = L"kept";
        EXPECT_EQ(ParseFileCameraLink(c.link, path, name), c.path != nullptr);
        EXPECT_EQ(path, c.path ? c.path : L"kept");
        EXPECT_EQ(name, c.name ? c.name : L"kept");
        links.push_back(c.link);
        if (c.path) expected.push_back({c.name, c.link});
    }
    const std::vector<CameraDevice> listed = FileCamerasOf(links);
    ASSERT_EQ(listed.size(), expected.size());
    for (size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(listed[i].friendlyName, expected[i].friendlyName);
        EXPECT_EQ(listed[i].symbolicLink, expected[i].symbolicLink);
    }
}

// Every length a buffer of whole rows can have, against the rows and row bytes
// of each subtype worked out by hand: the pitch comes back exactly when it is
// within the padding allowed; lengths between whole rows tell nothing.
TEST(FileCamera, APitchIsToldByALengthOfWholeRowsWithinThePaddingAllowed) {
    const struct {
        MediaFormat format;
        int64_t rows;
        int64_t rowBytes;  // 0: no pitch for this subtype
    } cases[] = {
        {{PixelFormat::NV12, 326, 184}, 276, 326},   // Wine's NV12: rows of 328
        {{PixelFormat::NV12, 320, 181}, 272, 320},   // an odd height: 91 chroma rows
        {{PixelFormat::YUY2, 322, 180}, 180, 644},
        {{PixelFormat::RGB24, 33, 7}, 7, 99},
        {{PixelFormat::RGB24, 1, 1}, 1, 3},
        {{PixelFormat::NV12, 2, 1}, 2, 2},
        {{PixelFormat::MJPG, 320, 180}, 180, 0},
        {{PixelFormat::Unknown, 320, 180}, 180, 0},
        {{PixelFormat::NV12, 0, 180}, 180, 0},
        {{PixelFormat::YUY2, 320, 0}, 1, 0},
        {{PixelFormat::RGB24, -4, 2}, 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.format.subtype) << ' ' << c.format.width << 'x'
                                        << c.format.height);
        for (int64_t pitch = c.rowBytes - 3; pitch <= c.rowBytes + LARGEST_ROW_PADDING + 3; ++pitch) {
            if (pitch <= 0) continue;
            const bool fits = c.rowBytes > 0 && pitch >= c.rowBytes && pitch <= c.rowBytes + LARGEST_ROW_PADDING;
            EXPECT_EQ(PitchFromLength(c.format, pitch * c.rows), fits ? pitch : 0) << pitch;
            if (c.rows > 1) {  // one row: every length is whole rows
                EXPECT_EQ(PitchFromLength(c.format, pitch * c.rows - 1), 0) << pitch;
                EXPECT_EQ(PitchFromLength(c.format, pitch * c.rows + 1), 0) << pitch;
            }
        }
    }
    EXPECT_EQ(PitchFromLength({PixelFormat::NV12, 320, 180}, 0), 0);
    EXPECT_EQ(PitchFromLength({PixelFormat::NV12, 320, 180}, -86400), 0);
    // 16384 x 16384 RGB24 at its largest pitch: the products stay in 64 bits.
    EXPECT_EQ(PitchFromLength({PixelFormat::RGB24, 16384, 16384}, int64_t{3 * 16384 + 4} * 16384), 3 * 16384 + 4);
}

TEST(FileCamera, FramesArePacedAtTheClipsRateAndALateReaderIsOwedNoBurst) {
    EXPECT_EQ(FrameInterval(30, 1), nanoseconds(33333333));
    EXPECT_EQ(FrameInterval(30000, 1001), nanoseconds(33366666));
    EXPECT_EQ(FrameInterval(15, 2), nanoseconds(133333333));
    EXPECT_EQ(FrameInterval(1, 1), seconds(1));
    EXPECT_EQ(FrameInterval(1, 2), FRAME_PACER_LONGEST_INTERVAL);
    EXPECT_EQ(FrameInterval(1, 0xFFFFFFFFu), FRAME_PACER_LONGEST_INTERVAL);
    EXPECT_EQ(FrameInterval(0, 1), FRAME_PACER_DEFAULT_INTERVAL);
    EXPECT_EQ(FrameInterval(30, 0), FRAME_PACER_DEFAULT_INTERVAL);
    EXPECT_EQ(FrameInterval(0xFFFFFFFFu, 1), nanoseconds(0));

    // Frames ready at these times (ms from the first) of a 10 fps clip, and
    // how long each waits.
    const steady_clock::time_point start{seconds(1000)};
    const struct {
        int readyMs;
        int waitMs;
    } frames[] = {
        {0, 0}, {0, 100}, {150, 50}, {200, 100}, {300, 100},  // each an interval after the one before
        {900, 0}, {910, 90}, {1000, 100},                     // late: handed on at once, counted from then
        {1199, 1}, {1200, 100},
    };
    FramePacer pacer;
    for (const auto& frame : frames) {
        EXPECT_EQ(pacer.NextDelay(start + milliseconds(frame.readyMs), 10, 1), milliseconds(frame.waitMs))
            << frame.readyMs;
    }
}
