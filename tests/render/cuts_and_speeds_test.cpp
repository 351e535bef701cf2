// The time map (cuts, speed-ups, range) and the tracks moved onto the exported movie's clock.

#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "render/edited_time.h"
#include "render/time_map.h"

namespace marlune {
namespace {

using Kept = std::vector<std::array<double, 4>>;  // source start, source end, output start, rate

TEST(TimeMap, KeptRangesAndLengthOverAnyRange) {
    struct Case {
        const char* name;
        std::int64_t start, end;
        std::vector<TimeMap::Cut> cuts;
        std::vector<TimeMap::Speed> speeds;
        Kept kept;
    };
    // clang-format off
    const Case cases[] = {
        {"overlap", 0, 10000, {{2000, 3000}, {2500, 4000}}, {},
         {{0, 2000, 0, 1}, {4000, 10000, 2000, 1}}},
        {"order", 0, 10000, {{2500, 4000}, {2000, 3000}}, {},
         {{0, 2000, 0, 1}, {4000, 10000, 2000, 1}}},
        {"clipped", 1000, 5000, {{0, 2000}, {4500, 9000}}, {}, {{2000, 4500, 0, 1}}},
        {"touching", 0, 1000, {{100, 200}, {200, 300}}, {}, {{0, 100, 0, 1}, {300, 1000, 100, 1}}},
        {"inverted and empty cuts", 0, 1000, {{600, 400}, {300, 300}}, {}, {{0, 1000, 0, 1}}},
        // Nothing left, or nothing to start with: the whole range, as given.
        {"everything cut", 1000, 5000, {{0, 3000}, {2500, 9000}}, {}, {{1000, 5000, 0, 1}}},
        {"empty range", 3000, 3000, {}, {}, {{3000, 3000, 0, 1}}},
        {"inverted range", 5000, 3000, {{3500, 4000}}, {}, {{5000, 3000, 0, 1}}},
        {"one speed", 0, 10000, {}, {{2000, 4000, 2}},
         {{0, 2000, 0, 1}, {2000, 4000, 2000, 2}, {4000, 10000, 3000, 1}}},
        {"speed past the end", 0, 10000, {}, {{8000, 20000, 2}},
         {{0, 8000, 0, 1}, {8000, 10000, 8000, 2}}},
        {"overlapping speeds: the first holds", 0, 10000, {}, {{3000, 6000, 2}, {2000, 4000, 4}},
         {{0, 2000, 0, 1}, {2000, 4000, 2000, 4}, {4000, 6000, 2500, 2}, {6000, 10000, 3500, 1}}},
        {"unusable rates", 0, 10000, {},
         {{1000, 2000, 0}, {3000, 4000, -2}, {5000, 6000, 1.0 / 0.0}}, {{0, 10000, 0, 1}}},
        {"cut inside a speed", 0, 10000, {{3000, 4000}}, {{2000, 6000, 2}},
         {{0, 2000, 0, 1}, {2000, 3000, 2000, 2}, {4000, 6000, 2500, 2}, {6000, 10000, 3500, 1}}},
        {"neighbouring speeds of one rate join", 0, 10000, {}, {{1000, 2000, 2}, {2000, 3000, 2}},
         {{0, 1000, 0, 1}, {1000, 3000, 1000, 2}, {3000, 10000, 2000, 1}}},
        {"speed inside a cut", 0, 10000, {{1000, 5000}}, {{2000, 3000, 8}},
         {{0, 1000, 0, 1}, {5000, 10000, 1000, 1}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TimeMap m(c.start, c.end, c.cuts, c.speeds);
        Kept kept;
        double total = 0;
        for (const auto& r : m.kept()) {
            kept.push_back({r.srcStart, r.srcEnd, r.outStart, r.rate});
            total += (r.srcEnd - r.srcStart) / r.rate;
        }
        EXPECT_EQ(kept, c.kept);
        EXPECT_DOUBLE_EQ(m.totalOutMs(), total);
        // Speeds alone never make a join; a cut inside the range does.
        EXPECT_EQ(m.hasCuts(), kept.size() > 1 && !c.cuts.empty());
        EXPECT_EQ(m.changesTime(), total != double(c.end - c.start) || m.hasCuts());
    }
    EXPECT_FALSE(TimeMap(1000, 5000).changesTime());
}

TEST(TimeMapSpeeds, SourceAndOutputTimes) {
    // 0–10000 with 2000–3000 cut and 5000–9000 at 4×: output 0–2000 = source 0–2000, 2000–4000 =
    // 3000–5000, 4000–5000 = 5000–9000, 5000–6000 = 9000–10000.
    const TimeMap m(0, 10000, {{2000, 3000}}, {{5000, 9000, 4}});
    struct Case {
        double src;
        std::optional<double> out;
        double joined;
    };
    const Case cases[] = {
        {-100, -100, -100},  {0, 0, 0},           {1999, 1999, 1999}, {2500, std::nullopt, 2000},
        {3000, 2000, 2000},  {5000, 4000, 4000},  {7000, 4500, 4500}, {9000, 5000, 5000},
        {10000, 6000, 6000}, {10400, 6400, 6400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.src);
        EXPECT_EQ(m.output(c.src), c.out);
        EXPECT_DOUBLE_EQ(m.outputOrJoin(c.src), c.joined);
        if (c.out && c.src >= 0 && c.src <= 10000) {
            EXPECT_DOUBLE_EQ(m.source(*c.out), c.src);
        }
    }
    EXPECT_DOUBLE_EQ(m.source(4250), 6000);
    EXPECT_DOUBLE_EQ(m.source(1e9), 10000);
    // Without cuts or speeds, output time is source time from the range's start, both ways.
    const TimeMap plain(1000, 5000);
    EXPECT_EQ(plain.output(1250), 250);
    EXPECT_EQ(plain.output(6000), 5000);
    for (auto [out, src] :
         {std::pair{0.0, 1000.0}, {3999.5, 4999.5}, {1e9, 5000.0}, {-100.0, 900.0}})
        EXPECT_DOUBLE_EQ(plain.source(out), src) << out;
}

TEST(EditedTime, TracksAndZoomsFollowTheOutputClock) {
    ExportRequest r;
    r.startMs = 1000;
    r.endMs = 11000;
    r.cuts = {{3000, 4000}};
    r.speeds = {{6000, 8000, 2}};
    const TimeMap map = requestTimeMap(r, r.startMs, r.endMs);
    // The edited clock starts at the range's start: 1000 stays 1000.
    struct Case {
        double src, edited;
    };
    for (const Case& c :
         {Case{1000, 1000}, Case{2999, 2999}, Case{3500, 3000}, Case{4000, 3000}, Case{6000, 5000},
          Case{7000, 5500}, Case{8000, 6000}, Case{11000, 9000}}) {
        EXPECT_DOUBLE_EQ(editedMs(map, c.src), c.edited) << c.src;
    }

    CursorFX cursor;
    cursor.path = {{1000, 0.1, 0.1}, {3500, 0.5, 0.5}, {7000, 0.9, 0.9}};
    cursor.clicks = {{2000, 0.1, 0.1}, {3500, 0.5, 0.5}, {7000, 0.9, 0.9}};
    cursor.caretPath = {{3200, 0.3, 0.3}, {9000, 0.4, 0.4}};
    cursor.prepareLookups();
    const auto moved = editedCursor(cursor, map);
    ASSERT_TRUE(moved);
    // A sample or click inside the cut is gone; the others are on the edited clock.
    EXPECT_EQ(moved->path, (std::vector<CursorSample>{{1000, 0.1, 0.1}, {5500, 0.9, 0.9}}));
    EXPECT_EQ(moved->clicks, (std::vector<TrackPoint>{{2000, 0.1, 0.1}, {5500, 0.9, 0.9}}));
    EXPECT_EQ(moved->caretPath, (std::vector<TrackPoint>{{7000, 0.4, 0.4}}));
    ASSERT_NE(moved->recentClick(5600, 200), nullptr);

    const std::vector<ZoomSegment> zooms = {
        {.startMs = 2000, .endMs = 5000, .scale = 2},   // spans the cut: one stretch, shorter
        {.startMs = 3100, .endMs = 3900, .scale = 3},   // all cut: gone
        {.startMs = 6000, .endMs = 10000, .scale = 2},  // half of it sped up
    };
    const auto edited = editedZooms(zooms, map);
    ASSERT_EQ(edited.size(), 2u);
    EXPECT_DOUBLE_EQ(edited[0].startMs, 2000);
    EXPECT_DOUBLE_EQ(edited[0].endMs, 4000);
    EXPECT_DOUBLE_EQ(edited[1].startMs, 5000);
    EXPECT_DOUBLE_EQ(edited[1].endMs, 8000);
}

TEST(EditedTime, RequestStretchesAreReadLeniently) {
    auto r = ExportRequest::fromPayload(Json::parse(R"({"name": "a.mp4", "startMs": 0,
        "endMs": 9000, "cuts": [{"startMs": 100, "endMs": 900.7}, {"startMs": 1}, 5],
        "speeds": [{"startMs": 1000, "endMs": 2000, "rate": 20}, {"startMs": 3000,
        "endMs": 4000, "rate": 1}, {"startMs": 5000, "endMs": 6000}],
        "format": "gif", "gif": {"fps": 60, "width": 50}})"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cuts, (std::vector<TimeStretch>{{100, 900, 1}}));
    EXPECT_EQ(r->speeds, (std::vector<TimeStretch>{{1000, 2000, 8}, {3000, 4000, 1.25}}));
    EXPECT_EQ(r->format, ExportFormat::gif);
    EXPECT_EQ(r->gif, (GifSettings{.fps = 30, .width = 120}));
    // Missing keys behave as before.
    auto old = ExportRequest::fromPayload(Json::parse(R"({"name": "a.mp4", "startMs": 0,
        "endMs": 9000, "format": "avi"})"));
    ASSERT_TRUE(old);
    EXPECT_TRUE(old->cuts.empty());
    EXPECT_TRUE(old->speeds.empty());
    EXPECT_EQ(old->format, ExportFormat::mp4);
}

}  // namespace
}  // namespace marlune
