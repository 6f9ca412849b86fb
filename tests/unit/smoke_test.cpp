#include <gtest/gtest.h>
#include "capture/frame.h"
TEST(Smoke, Builds) { CapturedFrame f; EXPECT_FALSE(ConvertFrame(nullptr, 0, 1, 1, f)); }
