#include "app/bar_geometry.h"

#include <ostream>

#include <gtest/gtest.h>

namespace marlune {

void PrintTo(const Frame& f, std::ostream* out) {
    *out << "(" << f.x << ", " << f.y << ", " << f.width << " x " << f.height << ")";
}

namespace {

TEST(BarGeometry, FirstPlacementCentresAboveTheBottom) {
    struct Case {
        Frame visible;
        double w, h;
        Frame bar;
    };
    const Case cases[] = {
        {{0, 25, 1512, 957}, 420, 64, {546, 121, 420, 64}},
        {{0, 0, 1920, 1080}, 420, 64, {750, 96, 420, 64}},
        // Odd sizes round the origin to the nearest point, halves away from zero.
        {{0, 0, 1920, 1080}, 421, 64, {750, 96, 421, 64}},        // 749.5 → 750
        {{0, 0, 1921, 1080}, 420, 64, {751, 96, 420, 64}},        // 750.5 → 751
        {{-1920, 0, 1920, 1080}, 421, 64, {-1171, 96, 421, 64}},  // -1170.5 → -1171
        {{0, 0.4, 1440, 900}, 300, 50, {570, 96, 300, 50}},       // 96.4 → 96
        {{100, 200, 800, 600}, 1000, 64, {0, 296, 1000, 64}},     // wider than the screen
        {bar::kFallbackVisibleFrame, 420, 64, {510, 96, 420, 64}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bar::firstPlacement(c.visible, c.w, c.h), c.bar)
            << c.visible.x << "," << c.visible.y << " " << c.w << "x" << c.h;
    }
}

TEST(BarGeometry, ResizingKeepsCentreAndBottom) {
    const Frame placed{546, 121, 420, 64};
    EXPECT_EQ(bar::resized(placed, 300, 64), (Frame{606, 121, 300, 64}));
    EXPECT_EQ(bar::resized(placed, 301, 80), (Frame{606, 121, 301, 80}));  // 605.5 → 606
    EXPECT_EQ(bar::resized(placed, 420, 64), placed);
    EXPECT_EQ(bar::resized(Frame{100, 50, 0, 0}, 80, 40), (Frame{60, 50, 80, 40}));
}

TEST(BarGeometry, MovesFollowThePagesDownwardY) {
    const Frame placed{546, 121, 420, 64};
    EXPECT_EQ(bar::moved(placed, 10, 20), (Frame{556, 101, 420, 64}));
    EXPECT_EQ(bar::moved(placed, -6.5, -4), (Frame{539.5, 125, 420, 64}));
    // In screen coordinates (y downwards) the same drag moves the window down.
    const double screen = 1080;
    Frame top = flipped(placed, screen);
    EXPECT_EQ(top, (Frame{546, 895, 420, 64}));
    EXPECT_EQ(flipped(bar::moved(placed, 10, 20), screen), (Frame{556, 915, 420, 64}));
    EXPECT_EQ(flipped(top, screen), placed);
}

}  // namespace
}  // namespace marlune
