#include "render/motion_sim.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

namespace marlune {
namespace {

constexpr double kFrameMs = 1000.0 / 30;

ZoomSegment zoom(double startMs, double endMs, double scale, double fx = 0.5, double fy = 0.5,
                 bool follow = false, double inMs = ZOOM_IN_MS, double outMs = ZOOM_OUT_MS) {
    return ZoomSegment{startMs, endMs, scale, fx, fy, follow, inMs, outMs};
}

CursorFX cursor(std::vector<CursorSample> path, std::vector<TrackPoint> caret = {},
                std::vector<TrackPoint> clicks = {}) {
    CursorFX c;
    c.path = std::move(path);
    c.caretPath = std::move(caret);
    c.clicks = std::move(clicks);
    return c;
}

// Ticks at 30 fps from `fromMs` through `toMs` and returns the last frame's motion.
MotionSim::Out runTo(MotionSim& sim, double fromMs, double toMs) {
    MotionSim::Out out{};
    for (int i = 0;; ++i) {
        const double ms = fromMs + i * kFrameMs;
        if (ms > toMs) break;
        out = sim.tick(ms);
    }
    return out;
}

TEST(MotionSim, WithoutZoomsTheCameraStaysStill) {
    MotionSim sim({}, cursor({{0, 0.1, 0.1, 0}, {5000, 0.9, 0.8, 0}}), 1920, 1080);
    for (int i = 0; i < 200; ++i) {
        const auto out = sim.tick(i * kFrameMs);
        ASSERT_EQ(out.scale, 1);
        ASSERT_EQ(out.fx, 0.5);
        ASSERT_EQ(out.fy, 0.5);
        ASSERT_TRUE(out.cursor);
    }
}

TEST(MotionSim, TargetStrengthRamps) {
    struct Case {
        const char* name;
        std::vector<ZoomSegment> zooms;
        std::size_t index;
        double ms, target;
    };
    const std::vector<ZoomSegment> plain = {zoom(0, 3000, 2)};
    const std::vector<ZoomSegment> shortSeg = {zoom(0, 100, 2)};
    const std::vector<ZoomSegment> instant = {zoom(1000, 2000, 2, 0.5, 0.5, false, 0, 0)};
    const std::vector<ZoomSegment> chained = {zoom(0, 3000, 2), zoom(3050, 6000, 3)};
    const std::vector<ZoomSegment> apart = {zoom(0, 3000, 2), zoom(3120, 6000, 3)};
    const std::vector<ZoomSegment> overlapping = {zoom(0, 3000, 2), zoom(2000, 5000, 3)};
    const Case cases[] = {
        // Ramp in over min(inMs, half) = 1500, out over min(outMs, half) = 1015.05.
        {"plain", plain, 0, 0, 0},
        {"plain", plain, 0, 750, 0.5},
        {"plain", plain, 0, 1500, 1},
        {"plain", plain, 0, 3000 - 1015.05 / 2, 0.5},
        {"plain", plain, 0, 3000, 0},
        // 100 ms with the default ramp-in: full at the middle, back to 0 at the end.
        {"short", shortSeg, 0, 25, 0.5},
        {"short", shortSeg, 0, 50, 1},
        {"short", shortSeg, 0, 75, 0.5},
        {"short", shortSeg, 0, 100, 0},
        // Ramps of no length change at once, even at the very edges.
        {"instant", instant, 0, 1000, 1},
        {"instant", instant, 0, 2000, 1},
        {"chained", chained, 0, 3000, 1},
        {"chained", chained, 1, 3050, 1},
        {"chained", chained, 1, 6000, 0},
        {"apart", apart, 0, 3000, 0},
        {"apart", apart, 1, 3120, 0},
        {"overlapping", overlapping, 0, 3000, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " " << c.ms);
        MotionSim sim(c.zooms, std::nullopt, 1920, 1080);
        EXPECT_NEAR(sim.targetStrength(c.index, c.ms), c.target, 1e-12);
    }
    MotionSim empty({zoom(1000, 1000, 2)}, std::nullopt, 1920, 1080);
    EXPECT_EQ(empty.targetStrength(0, 1000), 0);
}

TEST(MotionSim, ActiveSegmentIsTheFirstInEditOrder) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0, 1);
    for (int round = 0; round < 400; ++round) {
        // Segments one after the other, often touching or of zero length, sometimes with one that
        // ends before it starts; every third list shuffled so that segments overlap.
        std::vector<ZoomSegment> zooms;
        std::vector<double> edges;
        double t = 0;
        for (int i = static_cast<int>(u(rng) * 8); i > 0; --i) {
            const double start = t + (u(rng) < 0.5 ? 0 : std::floor(u(rng) * 3) * 100);
            const double len = u(rng) < 0.2 ? 0 : std::floor(1 + u(rng) * 3) * 100;
            const bool inverted = u(rng) < 0.1;
            zooms.push_back(
                zoom(inverted ? start + len : start, inverted ? start : start + len, 2));
            edges.insert(edges.end(), {start, start + len});
            t = start + len;
        }
        if (round % 3 == 0) std::shuffle(zooms.begin(), zooms.end(), rng);
        const MotionSim sim(zooms, std::nullopt, 1920, 1080);
        std::vector<double> times = {-1};
        for (double e : edges) times.insert(times.end(), {e - 0.5, e, e + 0.5});
        for (double ms : times) {
            std::optional<std::size_t> expected;
            for (std::size_t i = 0; i < zooms.size() && !expected; ++i) {
                if (zooms[i].startMs <= ms && ms <= zooms[i].endMs) expected = i;
            }
            ASSERT_EQ(sim.activeSegment(ms), expected) << "round " << round << " at " << ms;
        }
    }
}

TEST(MotionSim, EarlierSegmentWinsWhenOverlapping) {
    MotionSim sim({zoom(0, 6000, 2, 0.3, 0.4), zoom(1000, 5000, 4, 0.8, 0.8)}, std::nullopt, 1920,
                  1080);
    const auto out = runTo(sim, 0, 4000);
    EXPECT_EQ(out.scale, 2);
    EXPECT_EQ(out.fx, 0.3);
    EXPECT_EQ(out.fy, 0.4);
}

TEST(MotionSim, ChainedSegmentsHoldTheZoom) {
    struct Case {
        double gap;
        bool holds;
    };
    for (const Case c : {Case{0, true}, Case{50, true}, Case{119, true}, Case{-500, true},
                         Case{120, false}, Case{400, false}}) {
        SCOPED_TRACE(c.gap);
        MotionSim sim({zoom(0, 3000, 2), zoom(3000 + c.gap, 7000, 2)}, std::nullopt, 1920, 1080);
        double lowest = 2;
        for (int i = 0; i * kFrameMs <= 5000; ++i) {
            const double ms = i * kFrameMs;
            const auto out = sim.tick(ms);
            if (ms >= 2700) lowest = std::min(lowest, out.scale);
        }
        if (c.holds) {
            EXPECT_EQ(lowest, 2);
        } else {
            EXPECT_LT(lowest, 1.9);
        }
    }
}

TEST(MotionSim, FocusIsClampedSoTheZoomedWindowStaysInside) {
    struct Case {
        double scale, fx, fy;
        bool follow;  // with no cursor to follow: the segment's focus
        double wantX, wantY;
    };
    const Case cases[] = {
        {2, 0.1, 0.95, false, 0.25, 0.75}, {6, 0, 1, false, 1.0 / 12, 11.0 / 12},
        {4, 0.5, 0.2, false, 0.5, 0.2},    {1, 0.2, 0.9, false, 0.5, 0.5},
        {2, 0.1, 0.6, true, 0.25, 0.6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.scale << " " << c.fx << " " << c.fy);
        MotionSim sim({zoom(0, 5000, c.scale, c.fx, c.fy, c.follow)}, std::nullopt, 1920, 1080);
        const auto out = runTo(sim, 0, 3000);
        EXPECT_DOUBLE_EQ(out.fx, c.wantX);
        EXPECT_DOUBLE_EQ(out.fy, c.wantY);
        EXPECT_EQ(out.scale, c.scale);
        EXPECT_FALSE(out.cursor);
    }
}

TEST(MotionSim, FollowCameraTracksCaretThenPointerWithADeadZone) {
    // Scale 2: the visible window is half the frame, so the focus stays within [0.25, 0.75] and
    // the pointer may move 0.125 either way of the camera before the camera follows.
    const CursorFX c = cursor({{0, 0.5, 0.5, 0},
                               {1999, 0.5, 0.5, 0},
                               {2000, 0.6, 0.4, 0},
                               {3999, 0.6, 0.4, 0},
                               {4000, 0.7, 0.5, 0},
                               {5999, 0.7, 0.5, 0},
                               {6000, 0.95, 0.5, 0}},
                              {{7000, 0.1, 0.9}, {7500, 0.1, 0.9}, {8000, 0.1, 0.9}});
    MotionSim sim({zoom(0, 10000, 2, 0.5, 0.5, true, 100, 100)}, c, 1920, 1080);
    struct Check {
        double ms, fx, fy;
        const char* why;
    };
    const Check checks[] = {
        {1990, 0.5, 0.5, "starts at the segment's focus"},
        {3990, 0.5, 0.5, "pointer inside the central half: camera still"},
        {5990, 0.7, 0.5, "pointer left the central half on x only"},
        {6990, 0.75, 0.5, "pointer near the edge: camera clamped"},
        {8890, 0.25, 0.75, "caret wins over the pointer, clamped"},
        {9990, 0.75, 0.5, "caret older than 900 ms: back to the pointer"},
    };
    double from = 0;
    for (const auto& k : checks) {
        SCOPED_TRACE(k.why);
        const auto out = runTo(sim, from, k.ms);
        from = k.ms + kFrameMs;
        EXPECT_DOUBLE_EQ(out.fx, k.fx);
        EXPECT_DOUBLE_EQ(out.fy, k.fy);
    }
}

TEST(MotionSim, TeleportSnapsTheCursor) {
    struct Case {
        double to;      // raw x after the jump (from 0.2)
        double stepMs;  // tick spacing
        bool teleports;
    };
    const Case cases[] = {
        {0.8, kFrameMs, true},
        {0.35, kFrameMs, true},
        {0.29, kFrameMs, false},
        {0.8, 200, false},  // the previous sample is 150 ms old or more
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.to << " every " << c.stepMs);
        MotionSim sim({}, cursor({{0, 0.2, 0.2, 0}, {1000, 0.2, 0.2, 0}, {1001, c.to, 0.2, 1}}),
                      1920, 1080);
        for (int i = 0; i * c.stepMs < 995; ++i) sim.tick(i * c.stepMs);
        const auto out = sim.tick(1050);
        ASSERT_TRUE(out.cursor);
        EXPECT_EQ(out.cursor->typeIdx, 1);
        if (c.teleports) {
            EXPECT_EQ(out.cursor->x, c.to);
            EXPECT_EQ(out.cursor->rot, 0);
            EXPECT_EQ(out.cursor->blurVX, 0);
            EXPECT_EQ(out.cursor->blurVY, 0);
        } else {
            EXPECT_LT(out.cursor->x, c.to);
            EXPECT_GT(out.cursor->blurVX, 0);
        }
    }
}

TEST(MotionSim, ClickBounce) {
    struct Case {
        double bounce, ago, bounceK;
    };
    const Case cases[] = {
        {1, 175, 0.72},
        {0.5, 175, 0.72},
        {0.25, 175, 0.86},
        {0.25, 87.5, 1 - 0.14 * std::sin(std::numbers::pi / 4)},
        {0.25, 0, 1},
        {0.25, 350, 1},
        {0.25, 351, 1},
        {0.25, -1, 1},
        {0, 175, 1},
        {0.001, 175, 1},  // 7 x bounce must exceed 0.01
        {0.0015, 175, 1 - 0.56 * 0.0015},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bounce << " " << c.ago);
        CursorFX fx = cursor({{0, 0.5, 0.5, 0}}, {}, {{1000, 0.5, 0.5}});
        fx.bounce = c.bounce;
        MotionSim sim({}, fx, 1920, 1080);
        const auto out = sim.tick(1000 + c.ago);
        ASSERT_TRUE(out.cursor);
        EXPECT_NEAR(out.cursor->bounceK, c.bounceK, 1e-12);
    }
    // The first click in the track within the window counts.
    CursorFX two = cursor({{0, 0.5, 0.5, 0}}, {}, {{1000, 0.5, 0.5}, {1100, 0.5, 0.5}});
    two.bounce = 0.25;
    MotionSim sim({}, two, 1920, 1080);
    EXPECT_NEAR(sim.tick(1150).cursor->bounceK, 1 - 0.14 * std::sin(std::numbers::pi * 150 / 350),
                1e-12);
    // Also when the track is not in time order: here the click at 1100 comes first.
    CursorFX unordered =
        cursor({{0, 0.5, 0.5, 0}}, {}, {{9000, 0.5, 0.5}, {1100, 0.5, 0.5}, {1000, 0.5, 0.5}});
    unordered.bounce = 0.25;
    MotionSim later({}, unordered, 1920, 1080);
    EXPECT_NEAR(later.tick(1150).cursor->bounceK, 1 - 0.14 * std::sin(std::numbers::pi * 50 / 350),
                1e-12);
}

TEST(MotionSim, SwayLeansAndBlurStreaksWithTheMotion) {
    struct Case {
        double x0, y0, x1, y1, sway;
        int rotSign;
    };
    const Case cases[] = {
        {0.1, 0.5, 0.9, 0.5, 0.3, 1}, {0.9, 0.5, 0.1, 0.5, 0.3, -1}, {0.5, 0.1, 0.5, 0.9, 0.3, 1},
        {0.5, 0.9, 0.5, 0.1, 1, -1},  {0.1, 0.5, 0.9, 0.5, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x0 << "," << c.y0 << " -> " << c.x1 << "," << c.y1);
        CursorFX fx = cursor({{0, c.x0, c.y0, 0}, {2000, c.x1, c.y1, 0}});
        fx.sway = c.sway;
        MotionSim sim({}, fx, 1920, 1080);
        const auto first = *sim.tick(0).cursor;
        EXPECT_EQ(first.rot, 0);  // no previous position on the first frame
        EXPECT_EQ(first.blurVX, 0);
        for (int i = 1; i < 45; ++i) {
            const auto cur = *sim.tick(i * kFrameMs).cursor;
            if (c.rotSign == 0) {
                ASSERT_EQ(cur.rot, 0);
            } else {
                ASSERT_GT(cur.rot * c.rotSign, 0) << i;
                ASSERT_LT(std::abs(cur.rot), c.sway * std::numbers::pi / 3 + 1e-9);
            }
            // The streak points along the motion.
            ASSERT_GE(cur.blurVX * (c.x1 - c.x0) + cur.blurVY * (c.y1 - c.y0), 0) << i;
        }
    }
}

TEST(MotionSim, TimeJumpsRestartTheMotion) {
    // At a restart every spring lands on its target: the strength on the ramp's value, the cursor
    // on the pointer.
    struct Case {
        double from, to;
        bool restarts;
    };
    const Case cases[] = {{2000, 1000, true},  {2000, 1999.4, true}, {2000, 1999.6, false},
                          {2000, 2000, false}, {600, 1000, false},   {599, 1000, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
        MotionSim sim({zoom(0, 3000, 2)}, cursor({{0, 0, 0, 0}, {3000, 1, 1, 0}}), 1920, 1080);
        for (double ms = 0; ms < c.from; ms += kFrameMs) sim.tick(ms);
        sim.tick(c.from);
        const auto out = sim.tick(c.to);
        const double raw = c.to / 3000;
        if (c.restarts) {
            EXPECT_DOUBLE_EQ(out.scale, 1 + sim.targetStrength(0, c.to));
            EXPECT_EQ(out.cursor->x, raw);
            EXPECT_EQ(out.cursor->rot, 0);
        } else {
            EXPECT_NE(out.cursor->x, raw);
        }
    }
}

TEST(MotionSim, SingleSamplePathAndNonFiniteTimes) {
    MotionSim sim({}, cursor({{500, 0.3, 0.6, 2}}), 1920, 1080);
    for (double ms : {0.0, 500.0, 501.0, 9000.0}) {
        const auto out = sim.tick(ms);
        ASSERT_TRUE(out.cursor);
        EXPECT_EQ(out.cursor->x, 0.3);
        EXPECT_EQ(out.cursor->y, 0.6);
        EXPECT_EQ(out.cursor->typeIdx, 2);
    }

    // A time that is no number answers the resting camera and leaves the motion as it was.
    const std::vector<ZoomSegment> zooms = {zoom(0, 3000, 2, 0.3, 0.3)};
    const CursorFX fx = cursor({{0, 0.1, 0.1, 0}, {3000, 0.9, 0.9, 0}});
    MotionSim a(zooms, fx, 1920, 1080), b(zooms, fx, 1920, 1080);
    for (int i = 0; i < 40; ++i) {
        a.tick(i * kFrameMs);
        b.tick(i * kFrameMs);
    }
    for (double bad :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        const auto out = a.tick(bad);
        EXPECT_EQ(out.scale, 1);
        EXPECT_EQ(out.fx, 0.5);
        EXPECT_FALSE(out.cursor);
    }
    const auto oa = a.tick(40 * kFrameMs), ob = b.tick(40 * kFrameMs);
    EXPECT_EQ(oa.scale, ob.scale);
    EXPECT_EQ(oa.fx, ob.fx);
    EXPECT_EQ(oa.cursor->x, ob.cursor->x);
    EXPECT_EQ(oa.cursor->rot, ob.cursor->rot);
}

TEST(MotionSim, PositionsNearTheLimitsOfADoubleKeepTheMotionFinite) {
    // A move that fits a double while its speed per second does not, and moves that do not fit.
    // Frames far apart too (a slow export's preview), which are not taken for a teleport.
    const double huge[] = {1.7e306, 1e307, 1e306, -1.7e308, std::numeric_limits<double>::max()};
    for (double far : huge) {
        for (double step : {kFrameMs, 200.0}) {
            SCOPED_TRACE(testing::Message() << far << " every " << step << " ms");
            MotionSim sim(
                {},
                cursor(
                    {{0, 0.5, 0.5, 0}, {500, 0.2, 0.3, 1}, {1500, far, 2, 0}, {3000, 0.1, 0.9, 0}}),
                1920, 1080);
            for (int i = 0; i * step <= 3500; ++i) {
                const auto out = sim.tick(i * step);
                ASSERT_TRUE(out.cursor);
                const auto& c = *out.cursor;
                for (double v : {c.x, c.y, c.rot, c.bounceK, c.blurVX, c.blurVY}) {
                    ASSERT_TRUE(std::isfinite(v)) << i;
                }
            }
        }
    }
}

// Random edits, built through the same parser as a real export request.
struct RandomEdit {
    std::vector<ZoomSegment> zooms;
    std::optional<CursorFX> cursor;
    double w, h;
};

RandomEdit randomEdit(std::mt19937_64& rng, double lengthMs) {
    std::uniform_real_distribution<double> u(0, 1);
    auto pick = [&](double lo, double hi) { return lo + (hi - lo) * u(rng); };
    Json zooms = Json::array();
    const int n = static_cast<int>(pick(0, 8));
    for (int i = 0; i < n; ++i) {
        Json z = {{"startMs", pick(-1000, lengthMs)},
                  {"scale", pick(-1, 9)},
                  {"fx", pick(-0.5, 1.5)},
                  {"fy", pick(-0.5, 1.5)},
                  {"follow", u(rng) < 0.5}};
        z["endMs"] = z["startMs"].get<double>() + pick(-500, 9000);
        if (u(rng) < 0.5) z["inMs"] = pick(0, 3000);
        if (u(rng) < 0.5) z["outMs"] = pick(0, 3000);
        zooms.push_back(z);
    }
    Json path = Json::array(), caret = Json::array(), clicks = Json::array();
    double x = 0.5, y = 0.5;
    for (double t = pick(-500, 500); t < lengthMs; t += pick(0, 60)) {
        if (u(rng) < 0.01) {
            x = pick(-0.2, 1.2);  // teleports, sometimes off the frame
            y = pick(-0.2, 1.2);
        } else {
            x += pick(-0.02, 0.02);
            y += pick(-0.02, 0.02);
        }
        path.push_back({t, x, y, static_cast<int>(pick(0, 6))});
        if (u(rng) < 0.01) clicks.push_back({{"t", t}, {"fx", x}, {"fy", y}});
        if (u(rng) < 0.05) caret.push_back({t, pick(0, 1), pick(0, 1)});
    }
    Json cursor = {{"path", path},
                   {"caret", caret},
                   {"clicks", clicks},
                   {"smooth", pick(-0.5, 1.5)},
                   {"bounce", pick(-0.5, 1.5)},
                   {"motionBlur", pick(-0.5, 1.5)},
                   {"sway", pick(-0.5, 1.5)}};
    auto request = ExportRequest::fromPayload(Json{
        {"name", "a.mp4"}, {"startMs", 0}, {"endMs", 1}, {"zooms", zooms}, {"cursor", cursor}});
    const double sizes[][2] = {{1920, 1080}, {2880, 1800}, {640, 480}, {1, 1}, {0, 0}};
    const auto& size = sizes[static_cast<int>(pick(0, 5))];
    return RandomEdit{request->zooms, request->cursor, size[0], size[1]};
}

TEST(MotionSimProperties, OutputsStayFiniteAndInRange) {
    for (std::uint64_t seed : {1, 2, 3, 4, 5, 6, 7, 8}) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> u(0, 1);
        const RandomEdit edit = randomEdit(rng, 60000);
        double maxScale = 1;
        for (const auto& z : edit.zooms) maxScale = std::max(maxScale, z.scale);
        MotionSim sim(edit.zooms, edit.cursor, edit.w, edit.h);
        double ms = -200;
        for (int i = 0; i < 20000; ++i) {
            const double r = u(rng);
            if (r < 0.8) {
                ms += kFrameMs;
            } else if (r < 0.85) {
                ms += 0;
            } else if (r < 0.9) {
                ms += u(rng) * 120;
            } else if (r < 0.93) {
                ms -= u(rng) * 0.5;
            } else if (r < 0.96) {
                ms -= u(rng) * 5000;
            } else if (r < 0.98) {
                ms += 400 + u(rng) * 5000;
            } else {
                ms += u(rng) * 1e-3;
            }
            const auto out = sim.tick(ms);
            ASSERT_TRUE(std::isfinite(out.scale) && std::isfinite(out.fx) && std::isfinite(out.fy))
                << i;
            ASSERT_GE(out.scale, 1);
            ASSERT_LE(out.scale, maxScale + 1e-12);
            ASSERT_LE(out.scale, 6);
            ASSERT_GE(out.fx, 0);
            ASSERT_LE(out.fx, 1);
            ASSERT_GE(out.fy, 0);
            ASSERT_LE(out.fy, 1);
            ASSERT_TRUE(out.cursor);
            const auto& c = *out.cursor;
            for (double v : {c.x, c.y, c.rot, c.bounceK, c.blurVX, c.blurVY}) {
                ASSERT_TRUE(std::isfinite(v)) << i;
            }
            ASSERT_GE(c.bounceK, 0.72);
            ASSERT_LE(c.bounceK, 1);
        }
    }
}

TEST(MotionSimProperties, SettledFocusKeepsTheZoomedWindowInside) {
    // Segments of at least 4 s one after the other; a second and a half into each the camera has
    // settled and, follow or not, its focus keeps the zoomed window inside the frame.
    for (std::uint64_t seed : {11, 12, 13, 14, 15, 16}) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> u(0, 1);
        RandomEdit edit = randomEdit(rng, 120000);
        edit.zooms.clear();
        for (double t = 0; t < 110000;) {
            const double len = 4000 + u(rng) * 6000;
            edit.zooms.push_back(zoom(t, t + len, 1 + u(rng) * 5, u(rng), u(rng), u(rng) < 0.6,
                                      100 + u(rng) * 800, 100 + u(rng) * 800));
            t += len + (u(rng) < 0.3 ? u(rng) * 119 : 200 + u(rng) * 3000);
        }
        MotionSim sim(edit.zooms, edit.cursor, edit.w, edit.h);
        std::size_t checked = 0;
        for (int i = 0; i * kFrameMs < 120000; ++i) {
            const double ms = i * kFrameMs;
            const auto out = sim.tick(ms);
            for (const auto& z : edit.zooms) {
                if (ms < z.startMs + 1500 || ms > z.endMs) continue;
                const double hv = 1 / (2 * z.scale);
                ASSERT_GE(out.fx, hv - 1e-9) << ms;
                ASSERT_LE(out.fx, 1 - hv + 1e-9) << ms;
                ASSERT_GE(out.fy, hv - 1e-9) << ms;
                ASSERT_LE(out.fy, 1 - hv + 1e-9) << ms;
                ++checked;
            }
        }
        EXPECT_GT(checked, 1000u);
    }
}

TEST(MotionSimProperties, HeldZoomNeverOvershoots) {
    // With a damping ratio above 1 neither the zoom nor the focus passes its target on the way in,
    // whatever the frame timing.
    for (std::uint64_t seed : {21, 22, 23}) {
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> u(0, 1);
        const double scale = 1.5 + 4 * u(rng), fx = u(rng), fy = u(rng);
        const double hv = 1 / (2 * scale);
        const double wantX = std::clamp(fx, hv, 1 - hv), wantY = std::clamp(fy, hv, 1 - hv);
        MotionSim sim({zoom(0, 1e9, scale, fx, fy, false, 100 + 2000 * u(rng))}, std::nullopt, 1920,
                      1080);
        double ms = 0, prevScale = 1;
        for (int i = 0; i < 3000; ++i, ms += 1 + 79 * u(rng)) {
            const auto out = sim.tick(ms);
            ASSERT_GE(out.scale, prevScale);
            ASSERT_LE(out.scale, scale + 1e-12);
            ASSERT_LE(std::abs(out.fx - wantX), std::abs(0.5 - wantX));
            ASSERT_GE((out.fx - 0.5) * (wantX - 0.5), 0);
            ASSERT_LE(std::abs(out.fy - wantY), std::abs(0.5 - wantY));
            ASSERT_GE((out.fy - 0.5) * (wantY - 0.5), 0);
            prevScale = out.scale;
        }
        EXPECT_DOUBLE_EQ(prevScale, scale);
    }
}

}  // namespace
}  // namespace marlune
