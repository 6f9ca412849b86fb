#include "camera/saved_camera.h"

#include <gtest/gtest.h>

#include <iterator>

// The saved camera by link in any case (the last of duplicates), else by a name
// only one present device bears; never some other camera in its place.
TEST(SavedCamera, FoundByLinkInAnyCaseElseByAUniqueNameElseNotAtAll) {
    const std::vector<CameraDevice> devices = {{L"Cam", L"\\\\?\\usb#a"},  {L"Cam", L"\\\\?\\usb#b"},
                                               {L"Other", L"\\\\?\\usb#a"}, {L"Solo", L"\\\\?\\usb#c1"},
                                               {L"", L""},                  {L"\u00dcn\u00ef", L"\\\\?\\usb#\u00c4"}};
    const struct {
        const wchar_t* link;
        const wchar_t* name;
        int found;
    } rows[] = {
        {L"\\\\?\\usb#a", L"Cam", 2},       {L"\\\\?\\USB#B", L"", 1},          {L"\\\\?\\usb#b", L"Solo", 1},
        {L"\\\\?\\usb#moved", L"Solo", 3},  {L"\\\\?\\usb#moved", L"Cam", -1},  {L"\\\\?\\usb#moved", L"", -1},
        {L"\\\\?\\usb#moved", L"solo", -1}, {L"\\\\?\\usb#c", L"Gone", -1},    {L"\\\\?\\usb#c12", L"", -1},
        {L"", L"Solo", 0},                  {L"\\\\?\\usb#\u00e4", L"", -1},         {L"\\\\?\\usb#\u00c4", L"", 5},
        {L"\\\\?\\USB#\u00c4", L"", 5},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(FindSavedCamera(devices, rows[i].link, rows[i].name), rows[i].found) << "row " << i;
    }
    EXPECT_EQ(FindSavedCamera({{L"Twin", L"x"}, {L"Twin", L"y"}}, L"X", L"Twin"), 0) << "the first, by its link";
    EXPECT_EQ(FindSavedCamera({}, L"\\\\?\\usb#a", L"Cam"), -1);
    EXPECT_EQ(FindSavedCamera({}, L"", L""), -1);
    EXPECT_TRUE(SameCameraLink(L"AbZ@[`{", L"aBz@[`{"));
    EXPECT_FALSE(SameCameraLink(L"ab", L"abc") || SameCameraLink(L"@", L"`") || SameCameraLink(L"[", L"{"));
}
