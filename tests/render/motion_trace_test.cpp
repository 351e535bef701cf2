// A scripted 10-second edit ticked at 30 fps, compared with a checked-in trace. The trace was
// written by this code (run with MARLUNE_UPDATE_GOLDEN=1 to rewrite it) and reviewed row by row:
// no camera motion before 800 ms; zoom 1 reaches exactly 2 on its plateau and decays on the same
// focus; the cursor tilts and blurs along its motion; the teleport at 2433 ms lands without tilt
// or blur; zoom 2 follows the pointer when it leaves the central half of the window, the caret
// from 6600 ms until it is 900 ms old, and holds still while it goes out; clicks bounce to 0.727.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

}  // namespace
}  // namespace marlune
