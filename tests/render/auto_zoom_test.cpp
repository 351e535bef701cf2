// Zoom regions proposed from a recording's clicks and typing: tracks in, regions out.

#include <gtest/gtest.h>

#include <algorithm>

#include "render/auto_zoom.h"

namespace marlune {
namespace {

// `n` caret samples 125 ms apart from `t`, moving right by 0.02 each (someone typing).
std::vector<TrackPoint> typing(double t, double x, double y, int n = 8) {
    std::vector<TrackPoint> out;
    for (int i = 0; i < n; ++i) out.push_back({t + 125.0 * i, x + 0.02 * i, y});
    return out;
}

// Every proposal keeps these, whatever the tracks.
void expectWellFormed(const std::vector<AutoZoom>& zooms, double durationMs) {
    for (std::size_t i = 0; i < zooms.size(); ++i) {
        const auto& z = zooms[i].zoom;
        EXPECT_GE(z.endMs - z.startMs, kMinLengthMs) << i;
        EXPECT_GE(z.startMs, 0) << i;
        EXPECT_LE(z.endMs, durationMs > 0 ? durationMs : z.endMs) << i;
        EXPECT_TRUE(z.scale >= kMinScale && z.scale <= kMaxScale) << i << ": " << z.scale;
        EXPECT_EQ(z.inMs, ZoomSegment::defaultInMs);
        EXPECT_EQ(z.outMs, ZoomSegment::defaultOutMs);
        if (i == 0) continue;
        const double gap = z.startMs - zooms[i - 1].zoom.endMs;
        EXPECT_TRUE(gap == 0 || gap >= kJoinGapMs) << i << ": gap " << gap;
    }
}

TEST(AutoZoom, TracksToRegions) {
    struct Region {
        double start, end, scale, fx, fy;
        bool follow, typing;
    };
    struct Case {
        const char* what;
        std::vector<TrackPoint> clicks, caret;
        bool pointer;
        double durationMs;
        std::vector<Region> want;
    };
    // clang-format off
    const Case cases[] = {
        {"nothing recorded", {}, {}, true, 60000, {}},
        {"one click: zoomed in by the click, out two seconds after", {{5000, 0.3, 0.4}}, {}, true,
         0, {{3477, 7015, 2.5, 0.3, 0.4, true, false}}},
        {"clicks close in time and place are one region",
         {{4000, 0.5, 0.5}, {5500, 0.55, 0.52}, {7000, 0.6, 0.5}}, {}, true, 0,
         {{2477, 9015, 2.2, 0.5, 0.5, true, false}}},
        {"a gap too short to zoom out and in again is joined",
         {{5000, 0.3, 0.4}, {9000, 0.3, 0.4}}, {}, true, 0,
         {{3477, 11015, 2.5, 0.3, 0.4, true, false}}},
        {"a gap just over two seconds stays", {{5000, 0.3, 0.4}, {10540, 0.3, 0.4}}, {}, true, 0,
         {{3477, 7015, 2.5, 0.3, 0.4, true, false}, {9017, 12555, 2.5, 0.3, 0.4, true, false}}},
        {"clicks spread wide zoom least", {{4000, 0.1, 0.1}, {5000, 0.9, 0.9}}, {}, true, 0,
         {{2477, 7015, 1.25, 0.1, 0.1, true, false}}},
        {"a typing burst follows the caret", {}, typing(20000, 0.2, 0.7), true, 0,
         {{18477, 22890, 2.15, 0.2, 0.7, true, true}}},
        {"a caret placed by a click is not typing", {}, typing(20000, 0.2, 0.7, 3), true, 0, {}},
        {"a caret jumping between fields is not typing", {},
         {{1000, 0.1, 0.1}, {1125, 0.6, 0.1}, {1250, 0.1, 0.6}, {1375, 0.6, 0.6}}, true, 0, {}},
        {"a click into a field, then typing, is one region following the caret",
         {{10000, 0.5, 0.5}}, typing(10500, 0.5, 0.55), true, 0,
         {{8477, 13390, 2.15, 0.5, 0.5, true, true}}},
        {"without a pointer path a region holds on the middle, taking in all its clicks",
         {{4000, 0.2, 0.2}, {6000, 0.4, 0.5}}, {}, false, 0,
         {{2477, 8015, 1.65, 0.3, 0.35, false, false}}},
        {"at the start of the recording the region is still long enough", {{300, 0.5, 0.5}}, {},
         true, 60000, {{0, 2538, 2.5, 0.5, 0.5, true, false}}},
        {"at the end of the recording too", {{9500, 0.5, 0.5}}, {}, true, 10000,
         {{7462, 10000, 2.5, 0.5, 0.5, true, false}}},
        {"a recording too short for a zoom", {{1000, 0.5, 0.5}}, {}, true, 2000, {}},
        {"events outside the recording", {{-50, 0.5, 0.5}, {20000, 0.5, 0.5}}, {}, true, 10000,
         {}},
        {"long activity is cut where it changes; the two parts meet",
         {{2000, 0.2, 0.2}, {4000, 0.2, 0.2}, {6000, 0.2, 0.2}, {8000, 0.2, 0.2},
          {10000, 0.2, 0.2}, {12000, 0.2, 0.2}, {14000, 0.2, 0.2}, {16000, 0.2, 0.2},
          {18000, 0.2, 0.2}}, typing(19000, 0.6, 0.6), true, 0,
         {{477, 18500, 2.5, 0.2, 0.2, true, false}, {18500, 21890, 2.15, 0.6, 0.6, true, true}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto got = proposeZooms({c.clicks, c.caret, c.pointer, c.durationMs});
        ASSERT_EQ(got.size(), c.want.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            const auto& z = got[i].zoom;
            const auto& w = c.want[i];
            EXPECT_EQ(z.startMs, w.start) << i;
            EXPECT_EQ(z.endMs, w.end) << i;
            EXPECT_NEAR(z.scale, w.scale, 1e-9) << i;
            EXPECT_NEAR(z.fx, w.fx, 1e-9) << i;
            EXPECT_NEAR(z.fy, w.fy, 1e-9) << i;
            EXPECT_EQ(z.follow, w.follow) << i;
            EXPECT_EQ(got[i].typing, w.typing) << i;
        }
        expectWellFormed(got, c.durationMs);
    }
}

TEST(AutoZoom, ReadsTheProjectFileLeniently) {
    const Json project = Json::parse(R"({
        "clicks": [{"t": 900, "fx": 1.4, "fy": 0.5}, {"t": 100, "fx": 0.2, "fy": -1},
                   {"t": "x", "fx": 0.1, "fy": 0.1}, {"t": 50, "fx": true, "fy": 0.1}, [1, 2, 3],
                   {"t": 70}],
        "caretPath": [[300, 0.1, 0.2], [200, 0.3, 0.4, 9], [1, 2], {"t": 1}, [null, 0.1, 0.1]],
        "cursorPath": []
    })");
    const auto tracks = AutoZoomTracks::fromProject(project, -5);
    EXPECT_EQ(tracks.clicks, (std::vector<TrackPoint>{{100, 0.2, 0}, {900, 1, 0.5}}));
    EXPECT_EQ(tracks.caret, (std::vector<TrackPoint>{{200, 0.3, 0.4}, {300, 0.1, 0.2}}));
    EXPECT_FALSE(tracks.pointer);
    EXPECT_EQ(tracks.durationMs, 0);
    EXPECT_TRUE(
        AutoZoomTracks::fromProject(Json::parse(R"({"cursorPath": [[0, 0.5, 0.5, 0]]})")).pointer);
    EXPECT_TRUE(AutoZoomTracks::fromProject(Json::parse("[1]")).clicks.empty());
}

}  // namespace
}  // namespace marlune
