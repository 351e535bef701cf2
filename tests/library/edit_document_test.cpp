#include "library/edit_document.h"

#include <cmath>
#include <limits>
#include <tuple>

#include <gtest/gtest.h>

namespace marlune {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

auto fields(const ZoomSegment& z) {
    return std::tuple(z.startMs, z.endMs, z.scale, z.fx, z.fy, z.follow, z.inMs, z.outMs);
}
auto fields(const CursorFX& c) {
    return std::tuple(c.size, c.smooth, c.bounce, c.motionBlur, c.sway, c.ripple, c.render,
                      c.style);
}

// {"path": [[0, 0.5, 0.5]], <extra>}: the smallest cursor, with more keys.
Json cursorWith(const std::string& extra) {
    return Json::parse(R"({"path": [[0, 0.5, 0.5]])" + extra + "}");
}

TEST(ZoomSegment, RequiredKeysDefaultsAndClamps) {
    struct Case {
        const char* dict;
        std::optional<ZoomSegment> expected;
    };
    const Case cases[] = {{R"({"startMs": 0, "endMs": 3000, "scale": 2})",
                           ZoomSegment{0, 3000, 2, 0.5, 0.5, false, 1522.575, 1015.05}},
                          {R"({"startMs": 0, "endMs": 3000})", std::nullopt},
                          {R"({"startMs": "0", "endMs": 3000, "scale": 2})", std::nullopt},
                          {R"({"startMs": 0, "endMs": 1, "scale": 0.5})", ZoomSegment{0, 1, 1}},
                          {R"({"startMs": 0, "endMs": 1, "scale": 9})", ZoomSegment{0, 1, 6}},
                          {R"({"startMs": 0, "endMs": 1, "scale": 2, "inMs": 20, "outMs": 99.9})",
                           ZoomSegment{0, 1, 2, 0.5, 0.5, false, 100, 100}},
                          {R"({"startMs": 0, "endMs": 1, "scale": 2, "fx": -0.2, "fy": 1.7})",
                           ZoomSegment{0, 1, 2, 0, 1}}};
    for (const auto& c : cases) {
        auto z = ZoomSegment::fromDict(Json::parse(c.dict));
        ASSERT_EQ(z.has_value(), c.expected.has_value()) << c.dict;
        if (z) {
            EXPECT_EQ(fields(*z), fields(*c.expected)) << c.dict;
        }
    }
    // A document built in code must not smuggle NaN into the motion.
    EXPECT_FALSE(ZoomSegment::fromDict(Json{{"startMs", 0}, {"endMs", kNaN}, {"scale", 2}}));
}

TEST(FrameSettings, TypeAndId) {
    for (const Json& bad : {Json{{"type", "Gradient"}}, Json{{"type", 1}}, Json::object()}) {
        EXPECT_FALSE(FrameSettings::fromDict(bad)) << bad;
    }
    // The id names a picture file: no separators or dots survive.
    const std::pair<std::string, const char*> ids[] = {
        {"ocean_01.png", "ocean01png"},
        {"../../etc/passwd", "etcpasswd"},
        {"a\u2013b\u00a0c\U0001F600d x\u200by", "abcdxy"}};
    for (const auto& [in, out] : ids) {
        EXPECT_EQ(FrameSettings::fromDict(Json{{"type", "live"}, {"id", in}})->id, out) << in;
    }
}

TEST(CursorFX, Tracks) {
    const std::pair<const char*, bool> cursors[] = {
        {R"({"path": [[0, 0.5], [1, 0.2, 0.3]]})", true},
        {R"({"path": []})", false},
        {R"({"path": [[0, 0.5], [1, "0.5", 0.5], [2]]})", false},  // no sample survives
        {R"({"path": [[0, 0.5, 0.5], 3]})", false}};
    for (auto [dict, ok] : cursors) {
        EXPECT_EQ(CursorFX::fromDict(Json::parse(dict)).has_value(), ok) << dict;
    }
    auto c = CursorFX::fromDict(Json::parse(R"({"path": [
        [100, 0.5, 0.5], [110, 0.5, 0.5, 3.9], [120, -0.2, 1.4, -2.7], [130, 0.1, 0.2, "4"],
        [140, 0.1, 0.2, 2, 99, "x"], [150, true, false, true], [160, 0.1], [170, 0.1, null],
        [90, 0.3, 0.3, 1e300], [90, 0.3, 0.3, 1]
    ]})"));
    ASSERT_TRUE(c);
    // Order kept, duplicates kept, positions not clamped, types truncated toward zero, a type that
    // is no usable integer gives 0.
    const std::tuple<double, double, double, int> expected[] = {
        {100, 0.5, 0.5, 0}, {110, 0.5, 0.5, 3}, {120, -0.2, 1.4, -2}, {130, 0.1, 0.2, 0},
        {140, 0.1, 0.2, 2}, {150, 1, 0, 1},     {90, 0.3, 0.3, 0},    {90, 0.3, 0.3, 1}};
    ASSERT_EQ(c->path.size(), std::size(expected));
    for (std::size_t i = 0; i < c->path.size(); ++i) {
        const CursorSample& s = c->path[i];
        EXPECT_EQ(std::tuple(s.t, s.fx, s.fy, s.type), expected[i]) << i;
    }

    // A bad caret or click track never costs the cursor.
    struct Case {
        const char* tracks;
        std::size_t carets;
        std::vector<std::array<double, 3>> clicks;
    };
    const Case cases[] = {
        {R"(, "caret": [[0, 0.1, 0.2], [125, 0.3], [250, 0.4, 0.5, 9]])", 2, {}},
        {R"(, "caret": [[0, 0.1, 0.2], {"t": 1, "fx": 0, "fy": 0}])", 0, {}},
        {R"(, "caret": {"t": 1})", 0, {}},
        {R"(, "clicks": [{"t": 40}, {"fx": 0.2}, {"t": 90, "fx": 0.1, "fy": 1.5}, {"t": "5"}])",
         0,
         {{40, 0.5, 0.5}, {90, 0.1, 1.5}}},
        {R"(, "clicks": [{"t": 40, "fx": "0.1", "fy": false}])", 0, {{40, 0.5, 0}}}};
    for (const auto& k : cases) {
        auto fx = CursorFX::fromDict(cursorWith(k.tracks));
        ASSERT_TRUE(fx) << k.tracks;
        EXPECT_EQ(fx->caretPath.size(), k.carets) << k.tracks;
        std::vector<std::array<double, 3>> clicks;
        for (const auto& p : fx->clicks) clicks.push_back({p.t, p.fx, p.fy});
        EXPECT_EQ(clicks, k.clicks) << k.tracks;
    }
}

TEST(CursorFXAndWebcamFX, SettingsAreClamped) {
    using S = std::tuple<double, double, double, double, double, bool, bool, std::string>;
    const std::pair<const char*, S> cases[] = {
        {R"(, "size": 0, "smooth": -1, "bounce": -0.5, "motionBlur": -3, "sway": -0.1)",
         {1, 0, 0, 0, 0, true, true, "arrow"}},
        {R"(, "ripple": 2, "render": "no", "style": 7, "size": "3")",
         {2, 0.5, 0.5, 0.4, 0.3, true, true, "arrow"}}};
    for (const auto& [settings, expected] : cases) {
        auto fx = CursorFX::fromDict(cursorWith(settings));
        ASSERT_TRUE(fx) << settings;
        EXPECT_EQ(fields(*fx), expected) << settings;
    }
    // A webcam needs "enabled" and a companion file.
    const std::pair<const char*, bool> webcams[] = {
        {R"("enabled": 1, "file": "Clip.webcam.mp4")", true},
        {R"("file": "Clip.webcam.mp4")", false},
        {R"("enabled": "true", "file": "Clip.webcam.mp4")", false},
        {R"("enabled": true, "file": "take1.mp4")", false},
        {R"("enabled": true, "file": "Clip.WEBCAM.MP4")", false}};
    for (auto [keys, ok] : webcams) {
        EXPECT_EQ(WebcamFX::fromDict(Json::parse("{" + std::string(keys) + "}")).has_value(), ok)
            << keys;
    }
}

// The fx of every click in the window, in the order they are visited.
std::vector<double> clicksBetween(const CursorFX& c, double from, double to) {
    std::vector<double> seen;
    c.forEachClickBetween(from, to, [&](const TrackPoint& p) { seen.push_back(p.fx); });
    return seen;
}

TEST(CursorFX, TracksOutOfOrderGiveTheAnswersOfAScanInArrayOrder) {
    // The recorder writes tracks in time order; a page may not. Each lookup must answer as a
    // scan of the track in array order would, before and after the lookups are indexed.
    CursorFX c;
    c.path = {{0, 0.5, 0.5, 0}};
    c.clicks = {
        {5000, 0.5, 0.5}, {1000, 0.1, 0.1}, {1200, 0.2, 0.2}, {900, 0.9, 0.9}, {1100, 0.3, 0.3}};
    // Each caret sample's fy is its fx + 0.5, so a lookup that mixes the two shows.
    c.caretPath = {{1000, 0.1, 0.6}, {3000, 0.3, 0.8}, {2000, 0.2, 0.7}, {1500, 0.15, 0.65}};
    CursorFX indexed = c;
    indexed.prepareLookups();

    // The first click in array order within 350 ms, not the earliest or the latest.
    const std::pair<double, std::optional<double>> clicks[] = {
        {899, {}}, {950, 0.9}, {1249, 0.1}, {1351, 0.2}, {1551, {}}, {5350, 0.5}};
    // Before the first sample in array order there is no caret; after it, the last sample in
    // array order at or before the time, while it is at most 900 ms old.
    const std::pair<double, std::optional<double>> carets[] = {
        {999, {}}, {1200, 0.1}, {1600, 0.15}, {2100, 0.15}, {2401, {}}, {3100, {}}};
    for (const CursorFX* v : {&c, &indexed}) {
        for (auto [t, fx] : clicks) {
            const TrackPoint* p = v->recentClick(t, 350);
            EXPECT_EQ(p ? std::optional(p->fx) : std::nullopt, fx) << "click at " << t;
        }
        for (auto [t, fx] : carets) {
            auto p = v->caret(t);
            EXPECT_EQ(p ? std::optional(p->fx) : std::nullopt, fx) << "caret at " << t;
            if (p) {
                EXPECT_DOUBLE_EQ(p->fy, p->fx + 0.5) << "caret at " << t;
            }
        }
        // Every click in the window, in array order.
        EXPECT_EQ(clicksBetween(*v, 900, 1200), (std::vector<double>{0.1, 0.2, 0.9, 0.3}));
        EXPECT_EQ(clicksBetween(*v, 1050, 6000), (std::vector<double>{0.5, 0.2, 0.3}));
    }
}

TEST(ExportRequest, DecodesEveryPartAndDropsBadOnes) {
    auto r = ExportRequest::fromPayload(Json::parse(R"({
        "name": "Demo.mp4", "startMs": 1000.0, "endMs": 61000, "targetHeight": 720,
        "zooms": [
            {"startMs": 0, "endMs": 1000, "scale": 2},
            {"startMs": 0, "endMs": 1000},
            {"startMs": 5000, "endMs": 6000, "scale": 3, "follow": true}
        ],
        "frame": {"type": "color", "hex": "#ff0000"},
        "cursor": {"path": [[0, 0.5, 0.5]], "smooth": 0.2},
        "webcam": {"enabled": true, "file": "Demo.webcam.mp4"},
        "audio": {"mic": 0.5, "system": 2}
    })"));
    ASSERT_TRUE(r);
    EXPECT_EQ(std::tuple(r->name, r->startMs, r->endMs, r->targetHeight),
              std::tuple("Demo.mp4", 1000, 61000, 720));
    ASSERT_EQ(r->zooms.size(), 2u);
    EXPECT_EQ(r->zooms[1].scale, 3);
    EXPECT_EQ(r->frame->hex, "#ff0000");
    EXPECT_EQ(r->cursor->smooth, 0.2);
    EXPECT_EQ(r->webcam->file, "Demo.webcam.mp4");
    EXPECT_EQ(std::pair(r->micGain, r->systemGain), std::pair(0.5, 2.0));

    // Parts that are not what they should be fall back; only the audio gains and the height
    // take what they are given.
    struct Case {
        const char* extra;
        double mic, system;
        std::int64_t targetHeight;
    };
    const Case cases[] = {
        {"", 1, 1, 0},
        {R"(, "zooms": [{"startMs": 0, "endMs": 1, "scale": 2}, 5])", 1, 1, 0},
        {R"(, "frame": {"type": "image"}, "cursor": {"path": []}, "webcam": {"enabled": true})", 1,
         1, 0},
        {R"(, "audio": {"mic": "loud", "system": false})", 1, 0, 0},
        {R"(, "targetHeight": 719.5)", 1, 1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra);
        auto d = ExportRequest::fromPayload(Json::parse(
            R"({"name": "a.mp4", "startMs": 0, "endMs": 1000)" + std::string(c.extra) + "}"));
        ASSERT_TRUE(d);
        EXPECT_TRUE(d->zooms.empty());
        EXPECT_FALSE(d->frame || d->cursor || d->webcam);
        EXPECT_EQ(std::tuple(d->micGain, d->systemGain, d->targetHeight),
                  std::tuple(c.mic, c.system, c.targetHeight));
    }
    for (const char* p :
         {R"({"startMs": 0, "endMs": 1000})", R"({"name": "a.mp4", "startMs": 0, "endMs": 1000.5})",
          R"({"name": "a.mp4", "startMs": 0, "endMs": 1e30})", R"([])"}) {
        EXPECT_EQ(ExportRequest::fromPayload(Json::parse(p)), fail("Missing export parameters"))
            << p;
    }
}

}  // namespace
}  // namespace marlune
