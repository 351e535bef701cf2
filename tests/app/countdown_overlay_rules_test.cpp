#include <gtest/gtest.h>

#include "app/countdown_overlay_controller.h"

namespace marlune {
namespace {

TEST(CountdownPop, PopsInHoldsThenFades) {
    struct Case {
        double seconds;
        double scale;
        double opacity;
    };
    const Case cases[] = {
        {-1.0, 1.5, 0.0},  // before it starts: the first frame
        {0.0, 1.5, 0.0},
        // The clock eases out, so the pop-in is over within the first sixth of the time...
        {0.15, 1.0, 1.0},
        {0.3, 1.0, 1.0},
        // ...and the number holds until about two thirds.
        {0.6, 1.0, 1.0},
        {kPopSeconds, 0.93, 0.15},
        {5.0, 0.93, 0.15},  // the last frame holds
    };
    for (const auto& c : cases) {
        PopFrame f = popFrame(c.seconds);
        EXPECT_NEAR(f.scale, c.scale, 1e-6) << c.seconds << " s";
        EXPECT_NEAR(f.opacity, c.opacity, 1e-6) << c.seconds << " s";
    }
}

TEST(CountdownPop, ScaleOnlyShrinksAndOpacityRisesThenFalls) {
    PopFrame previous = popFrame(0);
    bool falling = false;
    for (int ms = 10; ms <= 900; ms += 10) {
        PopFrame f = popFrame(ms / 1000.0);
        EXPECT_LE(f.scale, previous.scale + 1e-12) << ms << " ms";
        EXPECT_GE(f.scale, 0.93 - 1e-12);
        if (f.opacity < previous.opacity - 1e-12) falling = true;
        if (falling) {
            EXPECT_LE(f.opacity, previous.opacity + 1e-12) << ms << " ms";
        }
        previous = f;
    }
    EXPECT_TRUE(falling);
    // Midway through the fade both values lie strictly between their key frames.
    PopFrame fading = popFrame(0.75);
    EXPECT_GT(fading.scale, 0.93);
    EXPECT_LT(fading.scale, 1.0);
    EXPECT_GT(fading.opacity, 0.15);
    EXPECT_LT(fading.opacity, 1.0);
}

TEST(CountdownOverlayMonitor, RecordedMonitorElsePointerElsePrimary) {
    const x11::Monitor left{
        .id = 10, .name = "LEFT", .x = 0, .y = 0, .width = 1920, .height = 1080};
    const x11::Monitor right{.id = 20,
                             .name = "RIGHT",
                             .x = 1920,
                             .y = 0,
                             .width = 1920,
                             .height = 1080,
                             .primary = true};
    const std::vector<x11::Monitor> both = {left, right};
    using Pointer = std::optional<std::pair<int, int>>;
    struct Case {
        std::vector<x11::Monitor> monitors;
        std::optional<std::uint32_t> displayID;
        Pointer pointer;
        std::optional<std::uint32_t> chosen;
    };
    const Case cases[] = {
        {both, 10, Pointer{{2500, 10}}, 10},  // the recorded monitor wins over the pointer
        {both, 20, Pointer{{10, 10}}, 20},
        {both, 99, Pointer{{2500, 10}}, 20},    // not connected: the one under the pointer
        {both, 99, Pointer{{1919, 1079}}, 10},  // its last pixel
        {both, std::nullopt, Pointer{{1920, 0}}, 20},
        {both, std::nullopt, Pointer{{5000, 5000}}, 20},  // off every monitor: the primary
        {both, 99, std::nullopt, 20},
        {{left, {.id = 30, .x = 1920, .width = 800, .height = 600}},
         std::nullopt,
         std::nullopt,
         10},  // no primary: the first
        {{}, 10, Pointer{{0, 0}}, std::nullopt},
    };
    for (const auto& c : cases) {
        auto m = chooseOverlayMonitor(c.monitors, c.displayID, c.pointer);
        ASSERT_EQ(m.has_value(), c.chosen.has_value());
        if (m) {
            EXPECT_EQ(m->id, *c.chosen) << (c.displayID ? *c.displayID : 0);
        }
    }
}

}  // namespace
}  // namespace marlune
