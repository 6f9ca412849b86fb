#include "capture/letterbox.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>

// Random frames in random areas, some of the area's own proportions: the rectangle fills one side, is centred on the
// other and keeps the proportions to within the truncated pixel (single precision can leave 820 x 1426 in 410 x 713
// one pixel short). Without a size, empty rather than an infinite ratio converted to int.
TEST(Letterbox, FillsOneSideCentresTheOtherKeepsTheProportionsOrIsEmpty) {
    std::mt19937 random(3);
    for (int i = 0; i < 20000; ++i) {
        const int32_t aw = 1 + random() % 800, ah = 1 + random() % 800, k = i % 4 == 0 ? 1 + random() % 4 : 0;
        const int32_t fw = k ? aw * k : 1 + random() % 4000, fh = k ? ah * k : 1 + random() % 4000;
        const LetterboxRect r = FitLetterbox(fw, fh, aw, ah);
        SCOPED_TRACE(testing::Message() << fw << "x" << fh << " in " << aw << "x" << ah);
        if (r.width == aw)
            EXPECT_TRUE(r.x == 0 && r.y == (ah - r.height) / 2 && r.height <= ah &&
                        std::abs(r.height - double(aw) * fh / fw) < 1.01);
        else
            EXPECT_TRUE(r.height == ah && r.y == 0 && r.x == (aw - r.width) / 2 && r.width <= aw &&
                        std::abs(r.width - double(ah) * fw / fh) < 1.01);
    }
    for (const auto& [fw, fh, aw, ah] : {std::array{0, 480, 500, 300}, {640, 0, 500, 300}, {640, 480, 0, 300},
                                         {640, 480, 500, 0}, {-640, 480, 500, 300}}) {
        const LetterboxRect r = FitLetterbox(fw, fh, aw, ah);
        EXPECT_TRUE(r.x == 0 && r.y == 0 && r.width == 0 && r.height == 0) << fw << "x" << fh << " in " << aw;
    }
}

// The plain resample only where no row or column of the frame is skipped whole.
TEST(Letterbox, SmoothStretchOnlyWhereTheFrameShrinksByHalfOrMore) {
    const struct { int32_t fw, fh, aw, ah; bool smooth; } cases[] = {
        {640, 360, 498, 325, false}, {1280, 720, 498, 325, true}, {900, 500, 498, 325, false},
        {996, 560, 498, 325, true},  {320, 240, 498, 325, false}, {498, 1000, 498, 325, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NeedsSmoothStretch(c.fw, c.fh, FitLetterbox(c.fw, c.fh, c.aw, c.ah)), c.smooth) << c.fw << "x" << c.fh;
    }
}
