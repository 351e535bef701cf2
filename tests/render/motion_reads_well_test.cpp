// The motion as it reads in an exported movie: the smoothed cursor at each click when it
// happens, a following camera without sudden reversals, and the whole screen inside its padding.

#include <gtest/gtest.h>

#include <cmath>

#include "render/composition.h"
#include "render/motion_sim.h"

namespace marlune {
namespace {

constexpr double kFrameMs = 1000.0 / 30;

// A pointer that crosses the screen to a button, clicks it, then goes to another and clicks.
CursorFX demoCursor(double smooth, bool lookAhead) {
    CursorFX c;
    for (int i = 0; i <= 300; ++i) {
        const double t = i * 20.0;
        const double a = std::min(t / 1500, 1.0), b = std::clamp((t - 2500) / 1000, 0.0, 1.0);
        c.path.push_back({t, 0.1 + 0.7 * a - 0.5 * b, 0.2 + 0.6 * a - 0.4 * b});
    }
    c.clicks = {{1500, 0.8, 0.8}, {3500, 0.3, 0.4}, {5000, 0.3, 0.4}};
    c.smooth = smooth;
    c.lookAhead = lookAhead;
    return c;
}

TEST(MotionReadsWell, TheSmoothedCursorIsAtEachClickWhenItHappens) {
    struct Case {
        double smooth;
        bool lookAhead;
        double worstPx;  // the largest distance from a click's place at its time, 1920 × 1080
    };
    const Case cases[] = {
        {0.5, true, 3},
        {0.3, true, 3},
        {0.1, true, 3},
        // The causal spring trails behind: far from the button when the click happens.
        {0.5, false, 1e9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.smooth << (c.lookAhead ? " ahead" : " off"));
        MotionSim sim({}, demoCursor(c.smooth, c.lookAhead), 1920, 1080);
        double worst = 0;
        for (double ms = 0; ms <= 6000; ms += kFrameMs / 4) {
            const auto out = sim.tick(ms);
            for (const auto& click : demoCursor(0, false).clicks) {
                if (std::abs(ms - click.t) < kFrameMs / 8) {
                    worst = std::max(worst, std::hypot((out.cursor->x - click.fx) * 1920,
                                                       (out.cursor->y - click.fy) * 1080));
                }
            }
        }
        if (c.lookAhead) {
            EXPECT_LE(worst, c.worstPx);
        } else {
            EXPECT_GT(worst, 60);
        }
    }
    // Off is the causal spring: nothing ahead of the frame changes it.
    MotionSim off({}, demoCursor(0.5, false), 1920, 1080);
    EXPECT_EQ(off.lookAheadMs(), 0);
    EXPECT_GT(MotionSim({}, demoCursor(0.5, true), 1920, 1080).lookAheadMs(), 100);
}

TEST(MotionReadsWell, AFollowingCameraNeverReversesAtOnce) {
    // The pointer swings up and down across a 2.5× zoom that follows it.
    CursorFX cursor;
    for (int i = 0; i <= 600; ++i) {
        const double t = i * 16.0;
        cursor.path.push_back({t, 0.5 + 0.35 * std::sin(t / 700), 0.5 + 0.42 * std::sin(t / 450)});
    }
    const std::vector<ZoomSegment> zooms = {
        {.startMs = 500, .endMs = 9000, .scale = 2.5, .follow = true}};
    struct Case {
        bool lookAhead;
        double worstChange;  // px per frame, frame to frame, of the camera's vertical speed
    };
    // Off, the camera's target jumps onto the pointer and the composition stops the camera dead
    // at the picture's edge: over 30 px per frame of change from one frame to the next.
    for (const Case& c : {Case{true, 12}}) {
        cursor.lookAhead = c.lookAhead;
        MotionSim sim(zooms, cursor, 1920, 1080);
        // The camera as the composition places it: the focus kept inside the picture.
        std::vector<double> ys;
        for (double ms = 0; ms <= 9500; ms += kFrameMs) {
            const auto out = sim.tick(ms);
            const double h = 1 / (2 * out.scale);
            ys.push_back(std::clamp(out.fy, h, 1 - h) * 1080 * out.scale);
        }
        double worst = 0;
        for (std::size_t i = 2; i < ys.size(); ++i) {
            worst = std::max(worst, std::abs((ys[i] - ys[i - 1]) - (ys[i - 1] - ys[i - 2])));
        }
        EXPECT_LE(worst, c.worstChange);
    }
}

TEST(MotionReadsWell, PaddingShowsTheWholeScreenCentred) {
    struct Case {
        int w, h;
        double paddingPct;
        Rect screen;
    };
    const Case cases[] = {
        {1920, 1080, 12, {230.4, 129.6, 1459.2, 820.8}},  // p = 129.6, fitted to the height
        {1080, 1920, 10, {108, 192, 864, 1536}},
        {1000, 1000, 5, {50, 50, 900, 900}},
        {1920, 1080, 0, {0, 0, 1920, 1080}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " " << c.paddingPct);
        FrameSettings frame;
        frame.type = "color";
        frame.paddingPct = c.paddingPct;
        const FrameGeometry g = frameGeometry(frame, c.w, c.h);
        EXPECT_NEAR(g.screen.x, c.screen.x, 1e-9);
        EXPECT_NEAR(g.screen.y, c.screen.y, 1e-9);
        EXPECT_NEAR(g.screen.width, c.screen.width, 1e-9);
        EXPECT_NEAR(g.screen.height, c.screen.height, 1e-9);
        // The whole picture: scaled to the rectangle, placed at its corner.
        EXPECT_NEAR(c.w * g.scale, g.screen.width, 1e-9);
        EXPECT_NEAR(c.h * g.scale, g.screen.height, 1e-9);
        EXPECT_EQ(g.origin.x, g.screen.x);
        EXPECT_EQ(g.origin.y, g.screen.y);
    }
}

TEST(MotionReadsWell, LookAheadIsOnUnlessTheEditSaysOff) {
    const Json path = Json::parse("[[0, 0.5, 0.5]]");
    const std::pair<Json, bool> cases[] = {
        {Json{{"path", path}}, true},
        {Json{{"path", path}, {"lookAhead", false}}, false},
        {Json{{"path", path}, {"lookAhead", "off"}}, false},
        {Json{{"path", path}, {"lookAhead", "on"}}, true},
    };
    for (const auto& [dict, on] : cases) EXPECT_EQ(CursorFX::fromDict(dict)->lookAhead, on) << dict;
}

}  // namespace
}  // namespace marlune
