// Springs and the motion simulator: closed forms, properties, a golden trace (data/).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "render/composition.h"
#include "render/motion_sim.h"
#include "render/spring.h"

namespace marlune {
namespace {

constexpr double kFrameMs = 1000.0 / 30;

// Reference: the same oscillator integrated numerically with small RK4 steps.
std::pair<double, double> integrate(double x, double v, double target, double seconds,
                                    const SpringConfig& c) {
    const int n = 20000;
    const double h = seconds / n;
    auto acc = [&](double px, double pv) {
        return (-c.stiffness * (px - target) - c.damping * pv) / c.mass;
    };
    for (int i = 0; i < n; ++i) {
        double k1x = v, k1v = acc(x, v);
        double k2x = v + h / 2 * k1v, k2v = acc(x + h / 2 * k1x, v + h / 2 * k1v);
        double k3x = v + h / 2 * k2v, k3v = acc(x + h / 2 * k2x, v + h / 2 * k2v);
        double k4x = v + h * k3v, k4v = acc(x + h * k3x, v + h * k3v);
        x += h / 6 * (k1x + 2 * k2x + 2 * k3x + k4x);
        v += h / 6 * (k1v + 2 * k2v + 2 * k3v + k4v);
    }
    return {x, v};
}

TEST(Spring, ClosedFormsMatchTheOscillator) {
    struct Case {
        const char* name;
        SpringConfig cfg;
        double value, velocity, target, dtMs, stepMs;  // stepMs: the step actually taken
    };
    const Case cases[] = {
        {"under-damped", {100, 5, 1, 0, 0}, 0, 2, 1, 33, 33},
        {"critically damped", {100, 20, 1, 0, 0}, 0, 0.5, 1, 16.7, 16.7},
        {"over-damped", {100, 60, 1, 0, 0}, 1, -3, 0, 50, 50},
        {"cursor", cursorSpringConfig(1), 0.1, 0.2, 0.6, 33.3, 33.3},
        // A long pause (a stalled frame) moves the spring as 80 ms would, no further.
        {"long step", {100, 5, 1, 0, 0}, 0, 2, 1, 500, 80},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SpringState s{c.value, c.velocity, true};
        const double x = stepSpring(s, c.target, c.dtMs, c.cfg);
        EXPECT_NEAR(x, integrate(c.value, c.velocity, c.target, c.stepMs / 1000, c.cfg).first,
                    1e-9);
        // The velocity is a forward difference over 0.1 ms.
        auto [rx, rv] = integrate(c.value, c.velocity, c.target, c.stepMs / 1000 + 0.00005, c.cfg);
        EXPECT_NEAR(s.velocity, rv, 1e-4 * std::max(1.0, std::abs(rv)));
    }
}

ZoomSegment zoom(double startMs, double endMs, double scale, double fx = 0.5, double fy = 0.5,
                 bool follow = false, double inMs = ZOOM_IN_MS, double outMs = ZOOM_OUT_MS) {
    return ZoomSegment{startMs, endMs, scale, fx, fy, follow, inMs, outMs};
}

TEST(MotionSim, TargetStrengthRampsAndChains) {
    const std::vector<ZoomSegment> shortSeg = {zoom(0, 100, 2)};
    const std::vector<ZoomSegment> instant = {zoom(1000, 2000, 2, 0.5, 0.5, false, 0, 0)};
    const std::vector<ZoomSegment> chained = {zoom(0, 3000, 2), zoom(3050, 6000, 3)};
    const std::vector<ZoomSegment> apart = {zoom(0, 3000, 2), zoom(3120, 6000, 3)};
    const std::vector<ZoomSegment> overlapping = {zoom(0, 3000, 2), zoom(2000, 5000, 3)};
    const std::vector<ZoomSegment> empty = {zoom(1000, 1000, 2)};
    struct Case {
        const std::vector<ZoomSegment>* zooms;
        std::size_t index;
        double ms, target;
    };
    const Case cases[] = {
        // 100 ms with the default ramp-in: full at the middle, back to 0 at the end.
        {&shortSeg, 0, 25, 0.5},
        {&shortSeg, 0, 50, 1},
        {&shortSeg, 0, 100, 0},
        // Ramps of no length change at once, even at the very edges.
        {&instant, 0, 1000, 1},
        {&instant, 0, 2000, 1},
        // Less than 120 ms apart: held across the join; 120 or more: out and in again.
        {&chained, 0, 3000, 1},
        {&chained, 1, 3050, 1},
        {&chained, 1, 6000, 0},
        {&apart, 0, 3000, 0},
        {&apart, 1, 3120, 0},
        {&overlapping, 0, 3000, 1},
        {&empty, 0, 1000, 0},
    };
    for (const auto& c : cases) {
        MotionSim sim(*c.zooms, std::nullopt, 1920, 1080);
        EXPECT_NEAR(sim.targetStrength(c.index, c.ms), c.target, 1e-12) << c.ms;
    }
}

TEST(MotionSim, ActiveSegmentIsTheFirstInEditOrder) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0, 1);
    for (int round = 0; round < 400; ++round) {
        // Touching, empty and inverted segments; every third list shuffled so that they overlap.
        std::vector<ZoomSegment> zooms;
        std::vector<double> times = {-1};
        double t = 0;
        for (int i = static_cast<int>(u(rng) * 8); i > 0; --i) {
            const double start = t + (u(rng) < 0.5 ? 0 : std::floor(u(rng) * 3) * 100);
            const double len = u(rng) < 0.2 ? 0 : std::floor(1 + u(rng) * 3) * 100;
            const bool inverted = u(rng) < 0.1;
            zooms.push_back(
                zoom(inverted ? start + len : start, inverted ? start : start + len, 2));
            for (double e : {start, start + len}) times.insert(times.end(), {e - 0.5, e, e + 0.5});
            t = start + len;
        }
        if (round % 3 == 0) std::shuffle(zooms.begin(), zooms.end(), rng);
        const MotionSim sim(zooms, std::nullopt, 1920, 1080);
        for (double ms : times) {
            std::optional<std::size_t> expected;
            for (std::size_t i = 0; i < zooms.size() && !expected; ++i) {
                if (zooms[i].startMs <= ms && ms <= zooms[i].endMs) expected = i;
            }
            ASSERT_EQ(sim.activeSegment(ms), expected) << "round " << round << " at " << ms;
        }
    }
}

// A random edit, built through the same parser as a real export request.
struct RandomEdit {
    std::vector<ZoomSegment> zooms;
    std::optional<CursorFX> cursor;
    double w, h;
};

RandomEdit randomEdit(std::mt19937_64& rng, double lengthMs) {
    std::uniform_real_distribution<double> u(0, 1);
    auto pick = [&](double lo, double hi) { return lo + (hi - lo) * u(rng); };
    Json zooms = Json::array();
    for (int i = static_cast<int>(pick(0, 8)); i > 0; --i) {
        const double start = pick(-1000, lengthMs);
        Json z = {{"startMs", start},      {"endMs", start + pick(-500, 9000)},
                  {"scale", pick(-1, 9)},  {"fx", pick(-0.5, 1.5)},
                  {"fy", pick(-0.5, 1.5)}, {"follow", u(rng) < 0.5}};
        if (u(rng) < 0.5) z["inMs"] = pick(0, 3000);
        if (u(rng) < 0.5) z["outMs"] = pick(0, 3000);
        zooms.push_back(z);
    }
    Json path = Json::array(), caret = Json::array(), clicks = Json::array();
    double x = 0.5, y = 0.5;
    for (double t = pick(-500, 500); t < lengthMs; t += pick(0, 60)) {
        const bool jump = u(rng) < 0.01;  // teleports, sometimes off the frame
        x = jump ? pick(-0.2, 1.2) : x + pick(-0.02, 0.02);
        y = jump ? pick(-0.2, 1.2) : y + pick(-0.02, 0.02);
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

TEST(MotionSimProperties, OutputsStayFiniteAndInRangeWhateverTheTiming) {
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
            // Mostly frame steps; repeats, small and large steps back, jumps ahead, tiny steps.
            const double r = u(rng);
            ms += r < 0.8    ? kFrameMs
                  : r < 0.85 ? 0
                  : r < 0.9  ? u(rng) * 120
                  : r < 0.93 ? -u(rng) * 0.5
                  : r < 0.96 ? -u(rng) * 5000
                  : r < 0.98 ? 400 + u(rng) * 5000
                             : u(rng) * 1e-3;
            const auto out = sim.tick(ms);
            ASSERT_TRUE(std::isfinite(out.scale) && std::isfinite(out.fx) && std::isfinite(out.fy));
            ASSERT_TRUE(out.scale >= 1 && out.scale <= std::min(maxScale + 1e-12, 6.0)) << i;
            ASSERT_TRUE(out.fx >= 0 && out.fx <= 1 && out.fy >= 0 && out.fy <= 1) << i;
            const auto& c = *out.cursor;
            ASSERT_TRUE(std::isfinite(c.x) && std::isfinite(c.y) && std::isfinite(c.rot) &&
                        std::isfinite(c.blurVX) && std::isfinite(c.blurVY))
                << i;
            ASSERT_TRUE(out.cursor->bounceK >= 0.72 && out.cursor->bounceK <= 1) << i;
        }
    }
}

TEST(MotionSimProperties, SettledFocusKeepsTheZoomedWindowInside) {
    // 1.5 s into a segment of 4 s or more the settled focus keeps the zoomed window inside.
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
                const double hv = 1 / (2 * z.scale) - 1e-9;
                ASSERT_TRUE(out.fx >= hv && out.fx <= 1 - hv && out.fy >= hv && out.fy <= 1 - hv)
                    << ms;
                ++checked;
            }
        }
        EXPECT_GT(checked, 1000u);
    }
}

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
    // {smooth, look-ahead}: ahead, within 3 px of each click at its time; off, far behind.
    for (auto [smooth, ahead] : {std::pair{0.5, true}, {0.3, true}, {0.1, true}, {0.5, false}}) {
        SCOPED_TRACE(testing::Message() << smooth << (ahead ? " ahead" : " off"));
        MotionSim sim({}, demoCursor(smooth, ahead), 1920, 1080);
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
        EXPECT_TRUE(ahead ? worst <= 3 : worst > 60) << worst;
        EXPECT_EQ(sim.lookAheadMs() == 0, !ahead) << "off, nothing ahead of the frame counts";
    }
}

// ---- A 10-second edit at 30 fps against a reviewed trace (MARLUNE_UPDATE_GOLDEN=1 rewrites it):
// zoom 2 follows the pointer out of the window's central half, then the caret while it is fresh.
constexpr int kFrames = 300;

const std::filesystem::path kTracePath =
    std::filesystem::path(MARLUNE_SOURCE_DIR) / "tests/render/data/motion_trace.csv";

struct Waypoint {
    double t, fx, fy;
    int type;
};

// The pointer's route, sampled every 40 ms: a teleport at 2400, typing from 6500 to 8200.
const Waypoint kRoute[] = {
    {0, 0.2, 0.3, 0},     {1500, 0.45, 0.4, 0}, {2400, 0.45, 0.4, 0}, {2440, 0.8, 0.7, 0},
    {5000, 0.55, 0.5, 0}, {6500, 0.85, 0.3, 0}, {6540, 0.85, 0.3, 2}, {8200, 0.85, 0.3, 2},
    {8240, 0.85, 0.3, 0}, {10000, 0.3, 0.6, 0},
};

Json pathSample(double t) {
    for (std::size_t i = 0; i + 1 < std::size(kRoute); ++i) {
        const Waypoint& a = kRoute[i];
        const Waypoint& b = kRoute[i + 1];
        if (t <= b.t) {
            const double u = (t - a.t) / (b.t - a.t);
            return Json::array({t, a.fx + u * (b.fx - a.fx), a.fy + u * (b.fy - a.fy), a.type});
        }
    }
    return Json::array({t, 0.3, 0.6, 0});
}

constexpr const char* kHeader = "ms,scale,fx,fy,x,y,rot,bounceK,blurVX,blurVY,typeIdx";

TEST(MotionTrace, MatchesTheCheckedInTrace) {
    Json payload = Json::parse(R"({"name": "Script.mp4", "startMs": 0, "endMs": 10000,
        "zooms": [{"startMs": 800, "endMs": 4500, "scale": 2, "fx": 0.3, "fy": 0.35},
                  {"startMs": 5000, "endMs": 9500, "scale": 2.5, "fx": 0.6, "fy": 0.5,
                   "follow": true, "inMs": 600, "outMs": 900}],
        "cursor": {"clicks": [{"t": 1200, "fx": 0.4, "fy": 0.38}, {"t": 5200}, {"t": 8600}],
                   "lookAhead": false, "path": [], "caret": []}})");
    for (int i = 0; i <= 250; ++i) payload["cursor"]["path"].push_back(pathSample(i * 40.0));
    for (int i = 0; i <= 8; ++i) {
        payload["cursor"]["caret"].push_back({6600 + i * 125.0, 0.2 + i * 0.02, 0.75});
    }
    auto request = ExportRequest::fromPayload(payload);
    ASSERT_TRUE(request);
    MotionSim sim(request->zooms, request->cursor, 1920, 1080);
    std::vector<std::vector<double>> actual;  // the trace's columns, frame by frame
    for (int i = 0; i < kFrames; ++i) {
        const auto out = sim.tick(i * kFrameMs);
        const auto& c = *out.cursor;
        actual.push_back({i * kFrameMs, out.scale, out.fx, out.fy, c.x, c.y, c.rot, c.bounceK,
                          c.blurVX, c.blurVY, double(c.typeIdx)});
    }
    if (std::getenv("MARLUNE_UPDATE_GOLDEN")) {
        std::ofstream out(kTracePath);
        out << kHeader << "\n";
        for (const auto& row : actual) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                char field[32];
                std::snprintf(field, sizeof field, "%.17g", row[i]);
                out << field << (i + 1 < row.size() ? "," : "\n");
            }
        }
        GTEST_SKIP() << "wrote " << kTracePath;
    }
    std::ifstream in(kTracePath);
    std::string line;
    std::getline(in, line);
    ASSERT_EQ(line, kHeader) << kTracePath;
    std::vector<std::vector<double>> expected;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        expected.emplace_back();
        for (std::string f; std::getline(fields, f, ',');) expected.back().push_back(std::stod(f));
    }
    ASSERT_EQ(expected.size(), actual.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "frame " << i << " at " << actual[i][0] << " ms");
        ASSERT_EQ(expected[i].size(), actual[i].size());
        for (std::size_t c = 0; c < actual[i].size(); ++c) {
            const double e = expected[i][c];
            ASSERT_LE(std::abs(actual[i][c] - e), 1e-9 * std::max(1.0, std::abs(e)))
                << "column " << c;
        }
    }
}

TEST(MotionReadsWell, AFollowingCameraNeverReversesAtOnce) {
    // The pointer swings across a 2.5× zoom that follows it; the camera's speed stays continuous.
    CursorFX cursor{.lookAhead = true};
    for (int i = 0; i <= 600; ++i) {
        const double t = i * 16.0;
        cursor.path.push_back({t, 0.5 + 0.35 * std::sin(t / 700), 0.5 + 0.42 * std::sin(t / 450)});
    }
    MotionSim sim({{.startMs = 500, .endMs = 9000, .scale = 2.5, .follow = true}}, cursor, 1920,
                  1080);
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
    EXPECT_LE(worst, 12) << "px per frame, frame to frame, of the camera's vertical speed";
}

}  // namespace
}  // namespace marlune
