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

#include <algorithm>
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
    Json request = Json::parse(R"({"name": "Script.mp4", "startMs": 0, "endMs": 10000,
        "zooms": [{"startMs": 800, "endMs": 4500, "scale": 2, "fx": 0.3, "fy": 0.35},
                  {"startMs": 5000, "endMs": 9500, "scale": 2.5, "fx": 0.6, "fy": 0.5,
                   "follow": true, "inMs": 600, "outMs": 900}],
        "cursor": {"clicks": [{"t": 1200, "fx": 0.4, "fy": 0.38}, {"t": 5200}, {"t": 8600}],
                   "lookAhead": false}})");
    request["cursor"]["path"] = path;
    request["cursor"]["caret"] = caret;
    return request;
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
    auto dip = [](double sinceMs) {  // bounce 0.5, floored at 0.72
        return std::max(1 - 0.28 * std::sin(std::numbers::pi * sinceMs / 350), 0.72);
    };
    // Frame 0: first tick, every spring placed on its target; no camera motion before 800 ms.
    EXPECT_EQ(std::tuple(at(0).x, at(0).y, at(0).rot, at(0).blurVX), std::tuple(0.2, 0.3, 0, 0));
    for (int f = 0; f < 24; ++f) EXPECT_EQ(std::pair(at(f).scale, at(f).fx), std::pair(1.0, 0.5));
    // 166.7 ms after the click at 1200 the cursor is near its smallest; 366.7 ms after, over.
    EXPECT_NEAR(at(41).bounceK, dip(41 * kFrameMs - 1200), 1e-12);
    EXPECT_EQ(at(47).bounceK, 1);
    // Zoom 1 (800-4500, scale 2, focus (0.3, 0.35)): once the spring has caught up the camera
    // sits exactly on the segment; from the ramp-out on it decays steadily on the same focus, not
    // quite gone when zoom 2 starts at 5000.
    for (int f = 94; f <= 104; ++f)
        EXPECT_EQ(std::tuple(at(f).scale, at(f).fx, at(f).fy), std::tuple(2, 0.3, 0.35));
    for (int f = 105; f < 150; ++f)
        EXPECT_TRUE(at(f).scale < at(f - 1).scale && at(f).fx == 0.3) << f;
    EXPECT_GT(at(149).scale, 1);
    // Frame 73: the pointer crossed the frame within 40 ms, a teleport: the cursor lands on the raw
    // position with no tilt and no blur.
    const double u = (73 * kFrameMs - 2400) / 40;
    EXPECT_DOUBLE_EQ(at(73).x, 0.45 + u * 0.35);
    EXPECT_DOUBLE_EQ(at(73).y, 0.4 + u * 0.3);
    EXPECT_EQ(std::tuple(at(73).rot, at(73).blurVX, at(73).blurVY), std::tuple(0, 0, 0));
    // Zoom 2 (scale 2.5, follow; focus limits [0.2, 0.8]): up to 900 ms after the caret's last
    // sample the camera has settled on the caret (0.36, 0.75), not on the pointer at (0.85, 0.3).
    for (int f = 252; f <= 255; ++f)
        EXPECT_EQ(std::tuple(at(f).scale, at(f).fx, at(f).fy), std::tuple(2.5, 0.36, 0.75));
    EXPECT_EQ(std::pair(at(239).typeIdx, at(252).typeIdx),
              std::pair(2, 0));  // the I-beam while typing
    // Frame 256: the caret is too old and the pointer outside the central half of the window, so
    // the target jumps onto the pointer; from 8600 the zoom goes out and the camera holds it
    // although the pointer moves on to the left half of the frame.
    const double since = (256 * kFrameMs - 8240) / 1760;
    for (int f = 288; f <= 295; ++f) {
        EXPECT_LT(at(f).scale, 2.5) << f;
        EXPECT_NEAR(at(f).fx, 0.85 - 0.55 * since, 1e-12) << f;
        EXPECT_NEAR(at(f).fy, 0.3 + 0.3 * since, 1e-12) << f;
    }
    EXPECT_LT(at(295).x, 0.55);
    // The click at 8600: no bounce yet on its frame, five frames later near the smallest.
    EXPECT_NEAR(at(258).bounceK, 1, 1e-9);
    EXPECT_NEAR(at(263).bounceK, dip(263 * kFrameMs - 8600), 1e-12);
}

}  // namespace
}  // namespace marlune
