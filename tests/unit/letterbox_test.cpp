#include "capture/letterbox.h"

#include <gtest/gtest.h>

namespace {

void ExpectFit(int32_t bw, int32_t bh, int32_t w, int32_t h, LetterboxRect expected) {
    LetterboxRect fit = FitLetterbox(bw, bh, w, h);
    EXPECT_EQ(fit.x, expected.x) << bw << "x" << bh << " in " << w << "x" << h;
    EXPECT_EQ(fit.y, expected.y) << bw << "x" << bh << " in " << w << "x" << h;
    EXPECT_EQ(fit.width, expected.width) << bw << "x" << bh << " in " << w << "x" << h;
    EXPECT_EQ(fit.height, expected.height) << bw << "x" << bh << " in " << w << "x" << h;
}

TEST(Letterbox, NarrowFrameGetsBandsLeftAndRight) {
    ExpectFit(640, 480, 500, 300, {50, 0, 400, 300});
    // Odd spare width: the extra column goes to the right band.
    ExpectFit(100, 100, 301, 200, {50, 0, 200, 200});
}

TEST(Letterbox, WideFrameGetsBandsAboveAndBelowTruncated) {
    // 75 spare lines: 37 above, 38 below.
    ExpectFit(1280, 720, 400, 300, {0, 37, 400, 225});
    // 500 / 1.7777778 = 281.25, truncated.
    ExpectFit(1920, 1080, 500, 300, {0, 9, 500, 281});
}

TEST(Letterbox, SameProportionsFillTheArea) {
    ExpectFit(640, 480, 400, 300, {0, 0, 400, 300});
    ExpectFit(1, 1, 7, 7, {0, 0, 7, 7});
    // The preview control's usual client area with a smaller frame: scaled up.
    ExpectFit(160, 120, 496, 372, {0, 0, 496, 372});
}

TEST(Letterbox, ExtremeProportionsStayInsideTheArea) {
    LetterboxRect tall = FitLetterbox(1, 30000, 500, 300);
    EXPECT_EQ(tall.height, 300);
    EXPECT_GE(tall.width, 0);
    EXPECT_LE(tall.x + tall.width, 500);
    LetterboxRect wide = FitLetterbox(30000, 1, 500, 300);
    EXPECT_EQ(wide.width, 500);
    EXPECT_GE(wide.height, 0);
    EXPECT_LE(wide.y + wide.height, 300);
}

TEST(Letterbox, EmptyFrameOrAreaGivesEmptyRectangle) {
    // A collapsed control or a bitmap without size must not reach the
    // float-to-int conversion with an infinite ratio.
    ExpectFit(0, 480, 500, 300, {0, 0, 0, 0});
    ExpectFit(640, 0, 500, 300, {0, 0, 0, 0});
    ExpectFit(640, 480, 0, 300, {0, 0, 0, 0});
    ExpectFit(640, 480, 500, 0, {0, 0, 0, 0});
    ExpectFit(-640, 480, 500, 300, {0, 0, 0, 0});
}

}  // namespace
