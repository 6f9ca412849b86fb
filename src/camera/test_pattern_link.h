#pragma once
// The pattern cameras' links, apart from the cameras themselves: the four plain
// cameras, the misbehaviour a link's keys ask for (ParseTestPatternLink in
// test_pattern.h), and the types of the real cameras that `modes` imitates.

#include <string>
#include <vector>

#include "camera/test_pattern.h"

namespace test_pattern_link {

struct PatternCamera {
    const wchar_t* friendlyName;
    const wchar_t* symbolicLink;
    PixelFormat subtype;
};

// NV12, YUY2, MJPG, RGB24, in the order the device list shows them.
const std::vector<PatternCamera>& PlainCameras();
// The plain camera with exactly this link, or null.
const PatternCamera* PlainCamera(const std::wstring& link);
// The types of the camera that `modes=name` names, in its order; false for a
// name that is none of them.
bool ModeTypes(const std::wstring& name, std::vector<MediaFormat>& types);

}  // namespace test_pattern_link
