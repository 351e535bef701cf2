// A scripted 10-second edit ticked at 30 fps, compared with a checked-in trace. The trace was
// written by this code (run with MARLUNE_UPDATE_GOLDEN=1 to rewrite it) and then reviewed by hand,
// row by row: no camera motion before 800 ms; the focus lands on zoom 1's focus the moment it
// starts (at scale 1, so nothing shows); zoom 1 reaches exactly 2 on its plateau and decays after
// it on the same focus; the cursor leans right (positive tilt) while moving right and left while
// moving left, with blur along its velocity; the teleport at 2433 ms lands without tilt or blur;
// zoom 2's camera starts at its own focus, then jumps its target onto the pointer each time it
// leaves the central half of the window, switches to the caret at 6600 ms, back to the pointer
// when the caret is 900 ms old, and holds still while the zoom goes out; each click bounces to
// 0.727 after 200 ms. HandCheckedRows asserts the rows worked out independently.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>

#include <gtest/gtest.h>

#include "render/motion_sim.h"

namespace marlune {
namespace {

constexpr double kFrameMs = 1000.0 / 30;
constexpr int kFrames = 300;

const std::filesystem::path kTracePath =
    std::filesystem::path(MARLUNE_SOURCE_DIR) / "tests/render/data/motion_trace.csv";

struct Waypoint {
    double t, fx, fy;
    int type;
};

// The pointer's route: straight lines between waypoints, sampled every 40 ms like a recording.
// 2400 -> 2440 is a jump across the frame (a teleport); 6500 -> 8200 is typing with an I-beam.
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

Json scriptedRequest() {
    Json path = Json::array();
    for (int i = 0; i <= 250; ++i) path.push_back(pathSample(i * 40.0));
    Json caret = Json::array();
    for (int i = 0; i <= 8; ++i) caret.push_back({6600 + i * 125.0, 0.2 + i * 0.02, 0.75});
    return Json{
        {"name", "Script.mp4"},
        {"startMs", 0},
        {"endMs", 10000},
        {"zooms",
         {{{"startMs", 800}, {"endMs", 4500}, {"scale", 2}, {"fx", 0.3}, {"fy", 0.35}},
          {{"startMs", 5000},
           {"endMs", 9500},
           {"scale", 2.5},
           {"fx", 0.6},
           {"fy", 0.5},
           {"follow", true},
           {"inMs", 600},
           {"outMs", 900}}}},
        {"cursor",
         {{"path", path},
          {"caret", caret},
          {"clicks", {{{"t", 1200}, {"fx", 0.4}, {"fy", 0.38}}, {{"t", 5200}}, {{"t", 8600}}}}}},
    };
}

struct Row {
    double ms, scale, fx, fy, x, y, rot, bounceK, blurVX, blurVY;
    int typeIdx;
};

std::vector<Row> simulate() {
    auto request = ExportRequest::fromPayload(scriptedRequest());
    EXPECT_TRUE(request);
    MotionSim sim(request->zooms, request->cursor, 1920, 1080);
    std::vector<Row> rows;
    for (int i = 0; i < kFrames; ++i) {
        const double ms = i * kFrameMs;
        const auto out = sim.tick(ms);
        const auto& c = *out.cursor;
        rows.push_back(Row{ms, out.scale, out.fx, out.fy, c.x, c.y, c.rot, c.bounceK, c.blurVX,
                           c.blurVY, c.typeIdx});
    }
    return rows;
}

constexpr const char* kHeader = "ms,scale,fx,fy,x,y,rot,bounceK,blurVX,blurVY,typeIdx";

std::vector<double> columns(const Row& r) {
    return {r.ms,     r.scale,          r.fx, r.fy, r.x, r.y, r.rot, r.bounceK, r.blurVX,
            r.blurVY, double(r.typeIdx)};
}

// The trace file's rows as numbers, after checking its header.
std::vector<std::vector<double>> readTrace() {
    std::ifstream in(kTracePath);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, kHeader) << kTracePath;
    std::vector<std::vector<double>> rows;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        rows.emplace_back();
        for (std::string f; std::getline(fields, f, ',');) rows.back().push_back(std::stod(f));
    }
    return rows;
}

TEST(MotionTrace, MatchesTheCheckedInTrace) {
    const std::vector<Row> actual = simulate();
    if (std::getenv("MARLUNE_UPDATE_GOLDEN")) {
        std::ofstream out(kTracePath);
        out << kHeader << "\n";
        for (const Row& r : actual) {
            const auto c = columns(r);
            for (std::size_t i = 0; i < c.size(); ++i) {
                char field[32];
                std::snprintf(field, sizeof field, "%.17g", c[i]);
                out << field << (i + 1 < c.size() ? "," : "\n");
            }
        }
        GTEST_SKIP() << "wrote " << kTracePath;
    }
    const auto expected = readTrace();
    ASSERT_EQ(expected.size(), actual.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "frame " << i << " at " << actual[i].ms << " ms");
        const auto a = columns(actual[i]);
        ASSERT_EQ(expected[i].size(), a.size());
        for (std::size_t c = 0; c < a.size(); ++c) {
            const double e = expected[i][c];
            ASSERT_LE(std::abs(a[c] - e), 1e-9 * std::max(1.0, std::abs(e))) << "column " << c;
        }
    }
}

TEST(MotionTrace, HandCheckedRows) {
    const std::vector<Row> rows = simulate();
    auto at = [&](int frame) { return rows[static_cast<std::size_t>(frame)]; };

    // Frame 0: first tick, every spring placed on its target; no zoom active yet.
    EXPECT_EQ(at(0).scale, 1);
    EXPECT_EQ(at(0).fx, 0.5);
    EXPECT_EQ(at(0).x, 0.2);
    EXPECT_EQ(at(0).y, 0.3);
    EXPECT_EQ(at(0).rot, 0);
    EXPECT_EQ(at(0).blurVX, 0);

    // Before the first zoom starts (800 ms) the camera does not move.
    for (int f = 0; f < 24; ++f) EXPECT_EQ(at(f).scale, 1) << f;

    // Frame 41 (1366.7 ms) is 166.7 ms after the click at 1200: bounce 0.5 gives
    // 1 - 0.28 sin(pi 166.7 / 350), just above the 0.72 floor.
    EXPECT_NEAR(at(41).bounceK,
                1 - 0.28 * std::sin(std::numbers::pi * (41 * kFrameMs - 1200) / 350), 1e-12);
    EXPECT_EQ(at(47).bounceK, 1);  // 366.7 ms after the click: over

    // Zoom 1 (800-4500, scale 2, focus (0.3, 0.35)): ramp in over 1500 ms, ramp out over the last
    // 1015.05 ms. On the plateau, once the spring has caught up, the camera sits exactly on the
    // segment (frames 94-104, 3133-3467 ms).
    for (int f = 94; f <= 104; ++f) {
        EXPECT_EQ(at(f).scale, 2) << f;
        EXPECT_EQ(at(f).fx, 0.3) << f;
        EXPECT_EQ(at(f).fy, 0.35) << f;
    }
    // From the ramp-out on the zoom decays steadily, still on zoom 1's focus, and is not quite gone
    // when zoom 2 starts at 5000.
    for (int f = 105; f < 150; ++f) {
        EXPECT_LT(at(f).scale, at(f - 1).scale) << f;
        EXPECT_EQ(at(f).fx, 0.3) << f;
    }
    EXPECT_GT(at(149).scale, 1);

    // Frame 73 (2433.3 ms): the pointer crossed from (0.45, 0.4) towards (0.8, 0.7) within 40 ms,
    // a teleport: the cursor lands on the raw position with no tilt and no blur.
    const double u = (73 * kFrameMs - 2400) / 40;
    EXPECT_DOUBLE_EQ(at(73).x, 0.45 + u * 0.35);
    EXPECT_DOUBLE_EQ(at(73).y, 0.4 + u * 0.3);
    EXPECT_EQ(at(73).rot, 0);
    EXPECT_EQ(at(73).blurVX, 0);
    EXPECT_EQ(at(73).blurVY, 0);

    // Zoom 2 (5000-9500, scale 2.5, follow): the visible window is 0.4 wide, focus limits
    // [0.2, 0.8]. The caret moves from (0.2, 0.75) to (0.36, 0.75) between 6600 and 7600; up to
    // 8500 ms (900 ms after its last sample) the camera has settled on it, not on the pointer,
    // which sits at (0.85, 0.3).
    for (int f = 252; f <= 255; ++f) {
        EXPECT_EQ(at(f).scale, 2.5) << f;
        EXPECT_EQ(at(f).fx, 0.36) << f;
        EXPECT_EQ(at(f).fy, 0.75) << f;
    }
    EXPECT_EQ(at(239).typeIdx, 2);  // the I-beam while typing
    EXPECT_EQ(at(252).typeIdx, 0);

    // Frame 256 (8533.3 ms): the caret is too old, the pointer is outside the central half of the
    // window around the caret, so the camera target jumps onto the pointer. From 8600 the zoom goes
    // out and the camera holds that target (frames 288-295) although the pointer moves on to the
    // left half of the frame.
    const double pointerX = 0.85 - 0.55 * (256 * kFrameMs - 8240) / 1760;
    const double pointerY = 0.3 + 0.3 * (256 * kFrameMs - 8240) / 1760;
    for (int f = 288; f <= 295; ++f) {
        EXPECT_LT(at(f).scale, 2.5) << f;
        EXPECT_NEAR(at(f).fx, pointerX, 1e-12) << f;
        EXPECT_NEAR(at(f).fy, pointerY, 1e-12) << f;
    }
    EXPECT_LT(at(295).x, 0.55);

    // Frame 258 (8600 ms): the click at 8600 has just happened, no bounce yet; five frames
    // (166.7 ms) later the cursor is near its smallest, just above the 0.72 floor.
    EXPECT_NEAR(at(258).bounceK, 1, 1e-9);
    EXPECT_NEAR(
        at(263).bounceK,
        std::max(1 - 0.28 * std::sin(std::numbers::pi * (263 * kFrameMs - 8600) / 350), 0.72),
        1e-12);
}

}  // namespace
}  // namespace marlune
