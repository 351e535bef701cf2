#include "library/edit_document.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace marlune {
namespace {

Json parse(const char* text) {
    return Json::parse(text);
}

TEST(ZoomSegment, RequiredKeysDefaultsAndClamps) {
    struct Case {
        const char* dict;
        std::optional<ZoomSegment> expected;
    };
    const Case cases[] = {
        {R"({"startMs": 0, "endMs": 3000, "scale": 2})",
         ZoomSegment{0, 3000, 2, 0.5, 0.5, false, 1522.575, 1015.05}},
        {R"({"startMs": 0, "endMs": 3000})", std::nullopt},
        {R"({"startMs": 0, "scale": 2})", std::nullopt},
        {R"({"endMs": 1, "scale": 2})", std::nullopt},
        {R"({"startMs": "0", "endMs": 3000, "scale": 2})", std::nullopt},
        {R"({"startMs": 0, "endMs": 3000, "scale": null})", std::nullopt},
        {R"({"startMs": 0, "endMs": 1, "scale": 0.5})", ZoomSegment{0, 1, 1}},
        {R"({"startMs": 0, "endMs": 1, "scale": 9})", ZoomSegment{0, 1, 6}},
        {R"({"startMs": 0, "endMs": 1, "scale": 2, "inMs": 20, "outMs": 99.9})",
         ZoomSegment{0, 1, 2, 0.5, 0.5, false, 100, 100}},
        {R"({"startMs": 0, "endMs": 1, "scale": 2, "inMs": 250, "outMs": 5000})",
         ZoomSegment{0, 1, 2, 0.5, 0.5, false, 250, 5000}},
        {R"({"startMs": 0, "endMs": 1, "scale": 2, "fx": -0.2, "fy": 1.7})",
         ZoomSegment{0, 1, 2, 0, 1}},
        {R"({"startMs": 0, "endMs": 1, "scale": 2, "fx": "0.2", "inMs": "300"})",
         ZoomSegment{0, 1, 2}},
        // Booleans pass as numbers, and 1 / 0 as booleans.
        {R"({"startMs": false, "endMs": true, "scale": true, "follow": 1})",
         ZoomSegment{0, 1, 1, 0.5, 0.5, true}},
        {R"({"startMs": 0, "endMs": 1, "scale": 2, "follow": true})",
         ZoomSegment{0, 1, 2, 0.5, 0.5, true}},
        {R"({"startMs": 0, "endMs": 1, "scale": 2, "follow": 2})", ZoomSegment{0, 1, 2}},
        {R"({"startMs": 0, "endMs": 1, "scale": 2, "follow": "true"})", ZoomSegment{0, 1, 2}},
        // End before start is passed on unchanged.
        {R"({"startMs": 5000, "endMs": 1000, "scale": 3})", ZoomSegment{5000, 1000, 3}},
        {R"([0, 3000, 2])", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dict);
        auto z = ZoomSegment::fromDict(parse(c.dict));
        ASSERT_EQ(z.has_value(), c.expected.has_value());
        if (!z) continue;
        EXPECT_EQ(z->startMs, c.expected->startMs);
        EXPECT_EQ(z->endMs, c.expected->endMs);
        EXPECT_EQ(z->scale, c.expected->scale);
        EXPECT_EQ(z->fx, c.expected->fx);
        EXPECT_EQ(z->fy, c.expected->fy);
        EXPECT_EQ(z->follow, c.expected->follow);
        EXPECT_EQ(z->inMs, c.expected->inMs);
        EXPECT_EQ(z->outMs, c.expected->outMs);
    }
}

TEST(ZoomSegment, NonFiniteNumbersCountAsMissing) {
    // Not reachable from parsed text, but a document built in code must not smuggle NaN into the
    // motion.
    Json d = {{"startMs", 0}, {"endMs", std::numeric_limits<double>::quiet_NaN()}, {"scale", 2}};
    EXPECT_FALSE(ZoomSegment::fromDict(d));
    d["endMs"] = 10;
    d["fx"] = std::numeric_limits<double>::infinity();
    ASSERT_TRUE(ZoomSegment::fromDict(d));
    EXPECT_EQ(ZoomSegment::fromDict(d)->fx, 0.5);
}

TEST(FrameSettings, TypeIsRequiredAndExact) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"type": "wallpaper"})", true}, {R"({"type": "gradient"})", true},
        {R"({"type": "color"})", true},     {R"({"type": "live"})", true},
        {R"({"type": "Gradient"})", false}, {R"({"type": "image"})", false},
        {R"({"type": 1})", false},          {R"({})", false},
    };
    for (auto [dict, ok] : cases) {
        EXPECT_EQ(FrameSettings::fromDict(parse(dict)).has_value(), ok) << dict;
    }
}

TEST(FrameSettings, IdKeepsLettersMarksDigitsAndHyphens) {
    const std::pair<const char*, const char*> cases[] = {
        {"ocean_01.png", "ocean01png"},
        {"my wallpaper!", "mywallpaper"},
        {"caf\u00e9-2", "caf\u00e9-2"},                // precomposed letter
        {"cafe\u0301", "cafe\u0301"},                  // combining acute accent (Mn)
        {"\u0663\u00bd\u2167", "\u0663\u00bd\u2167"},  // Nd, No, Nl
        {"\u65e5\u672c", "\u65e5\u672c"},              // Lo
        {"../../etc/passwd", "etcpasswd"},             // no separators survive
        {"a\u2013b\u00a0c\U0001F600d", "abcd"},        // en dash, no-break space, emoji
        {"x\u200by", "xy"},                            // zero-width space (Cf)
        {"", ""},
    };
    for (auto [in, out] : cases) {
        auto f = FrameSettings::fromDict(Json{{"type", "wallpaper"}, {"id", in}});
        ASSERT_TRUE(f) << in;
        EXPECT_EQ(f->id, out) << in;
    }
    // Bytes that are not UTF-8 (only possible in a document built in code) are dropped.
    auto f = FrameSettings::fromDict(Json{{"type", "live"}, {"id", std::string("a\xff\xc3-b")}});
    ASSERT_TRUE(f);
    EXPECT_EQ(f->id, "a-b");
    EXPECT_EQ(FrameSettings::fromDict(Json{{"type", "live"}, {"id", 5}})->id, "");
}

TEST(FrameSettings, DefaultsAndClamps) {
    auto d = FrameSettings::fromDict(parse(R"({"type": "gradient"})"));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->id, "");
    EXPECT_EQ(d->from, "#000000");
    EXPECT_EQ(d->to, "#000000");
    EXPECT_EQ(d->hex, "#000000");
    EXPECT_EQ(d->angle, 160);
    EXPECT_EQ(d->paddingPct, 12);
    EXPECT_EQ(d->radiusPct, 3);
    EXPECT_EQ(d->shadowPct, 45);
    EXPECT_EQ(d->outlinePct, 0);

    auto f = FrameSettings::fromDict(parse(R"({"type": "color", "from": "red", "to": "#FFF",
        "hex": "#12ab3z", "angle": -725.5, "paddingPct": -5, "radiusPct": 25,
        "shadowPct": 100.5, "outlinePct": 10})"));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->from, "red");  // stored as given
    EXPECT_EQ(f->to, "#FFF");
    EXPECT_EQ(f->hex, "#12ab3z");
    EXPECT_EQ(f->angle, -725.5);  // not clamped
    EXPECT_EQ(f->paddingPct, 0);
    EXPECT_EQ(f->radiusPct, 20);
    EXPECT_EQ(f->shadowPct, 100);
    EXPECT_EQ(f->outlinePct, 4);

    auto g = FrameSettings::fromDict(parse(R"({"type": "color", "from": 3, "paddingPct": true,
        "radiusPct": "7", "shadowPct": 41, "outlinePct": 0.25})"));
    EXPECT_EQ(g->from, "#000000");
    EXPECT_EQ(g->paddingPct, 1);
    EXPECT_EQ(g->radiusPct, 3);
    EXPECT_EQ(g->shadowPct, 41);
    EXPECT_EQ(g->outlinePct, 0.25);
}

TEST(CursorFX, PathDecidesWhetherThereIsACursor) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"path": [[0, 0.5, 0.5]]})", true},
        {R"({})", false},
        {R"({"path": []})", false},
        {R"({"path": [[0, 0.5], [1, "0.5", 0.5], [2]]})", false},  // no sample survives
        {R"({"path": [[0, 0.5, 0.5], {"t": 1, "fx": 0, "fy": 0}]})", false},
        {R"({"path": [[0, 0.5, 0.5], 3]})", false},
        {R"({"path": {"0": [0, 0.5, 0.5]}})", false},
        {R"({"path": [[0, 0.5], [1, 0.2, 0.3]]})", true},
    };
    for (auto [dict, ok] : cases) {
        EXPECT_EQ(CursorFX::fromDict(parse(dict)).has_value(), ok) << dict;
    }
}

TEST(CursorFX, PathSamples) {
    auto c = CursorFX::fromDict(parse(R"({"path": [
        [100, 0.5, 0.5], [110, 0.5, 0.5, 3.9], [120, -0.2, 1.4, -2.7], [130, 0.1, 0.2, "4"],
        [140, 0.1, 0.2, 2, 99, "x"], [150, true, false, true], [160, 0.1], [170, 0.1, null],
        [90, 0.3, 0.3, 1e300], [90, 0.3, 0.3, 1]
    ]})"));
    ASSERT_TRUE(c);
    struct Expect {
        double t, fx, fy;
        int type;
    };
    // Order kept, duplicates kept, positions not clamped, types truncated toward zero, a type that
    // is no usable integer gives 0.
    const Expect expected[] = {{100, 0.5, 0.5, 0}, {110, 0.5, 0.5, 3}, {120, -0.2, 1.4, -2},
                               {130, 0.1, 0.2, 0}, {140, 0.1, 0.2, 2}, {150, 1, 0, 1},
                               {90, 0.3, 0.3, 0},  {90, 0.3, 0.3, 1}};
    ASSERT_EQ(c->path.size(), std::size(expected));
    for (std::size_t i = 0; i < c->path.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c->path[i].t, expected[i].t);
        EXPECT_EQ(c->path[i].fx, expected[i].fx);
        EXPECT_EQ(c->path[i].fy, expected[i].fy);
        EXPECT_EQ(c->path[i].type, expected[i].type);
    }
}

TEST(CursorFX, CaretAndClickTracks) {
    struct Case {
        const char* tracks;
        std::size_t carets;
        std::vector<std::array<double, 3>> clicks;
    };
    const Case cases[] = {
        {R"("caret": [[0, 0.1, 0.2], [125, 0.3], [250, 0.4, 0.5, 9]])", 2, {}},
        {R"("caret": [[0, 0.1, 0.2], {"t": 1, "fx": 0, "fy": 0}])", 0, {}},
        {R"("caret": {"t": 1})", 0, {}},
        {R"("clicks": [{"t": 40}, {"fx": 0.2}, {"t": 90, "fx": 0.1, "fy": 1.5}, {"t": "5"}])",
         0,
         {{40, 0.5, 0.5}, {90, 0.1, 1.5}}},
        {R"("clicks": [{"t": 40}, [90, 0.1, 0.2]])", 0, {}},
        {R"("clicks": [{"t": 40, "fx": "0.1", "fy": false}])", 0, {{40, 0.5, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tracks);
        std::string dict = std::string(R"({"path": [[0, 0.5, 0.5]], )") + c.tracks + "}";
        auto fx = CursorFX::fromDict(Json::parse(dict));
        ASSERT_TRUE(fx);  // a bad caret or click track never costs the cursor
        EXPECT_EQ(fx->caretPath.size(), c.carets);
        ASSERT_EQ(fx->clicks.size(), c.clicks.size());
        for (std::size_t i = 0; i < c.clicks.size(); ++i) {
            EXPECT_EQ(fx->clicks[i].t, c.clicks[i][0]);
            EXPECT_EQ(fx->clicks[i].fx, c.clicks[i][1]);
            EXPECT_EQ(fx->clicks[i].fy, c.clicks[i][2]);
        }
    }
}

TEST(CursorFX, SettingsDefaultsAndClamps) {
    struct Case {
        const char* settings;
        double size, smooth, bounce, motionBlur, sway;
        bool ripple, render;
        const char* style;
    };
    const Case cases[] = {
        {"", 2, 0.5, 0.5, 0.4, 0.3, true, true, "arrow"},
        {R"(, "size": 0, "smooth": -1, "bounce": -0.5, "motionBlur": -3, "sway": -0.1)", 1, 0, 0, 0,
         0, true, true, "arrow"},
        {R"(, "size": 5, "smooth": 1.5, "bounce": 2, "motionBlur": 9, "sway": 1.01)", 3, 1, 1, 1, 1,
         true, true, "arrow"},
        {R"(, "size": 2.5, "smooth": 0.25, "bounce": 0.75, "motionBlur": 0, "sway": 1)", 2.5, 0.25,
         0.75, 0, 1, true, true, "arrow"},
        {R"(, "ripple": false, "render": 0, "style": "my pack")", 2, 0.5, 0.5, 0.4, 0.3, false,
         false, "my pack"},
        {R"(, "ripple": 2, "render": "no", "style": 7, "size": "3")", 2, 0.5, 0.5, 0.4, 0.3, true,
         true, "arrow"},
        {R"(, "size": true, "smooth": false)", 1, 0, 0.5, 0.4, 0.3, true, true, "arrow"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        std::string dict = std::string(R"({"path": [[0, 0.5, 0.5]])") + c.settings + "}";
        auto fx = CursorFX::fromDict(Json::parse(dict));
        ASSERT_TRUE(fx);
        EXPECT_EQ(fx->size, c.size);
        EXPECT_EQ(fx->smooth, c.smooth);
        EXPECT_EQ(fx->bounce, c.bounce);
        EXPECT_EQ(fx->motionBlur, c.motionBlur);
        EXPECT_EQ(fx->sway, c.sway);
        EXPECT_EQ(fx->ripple, c.ripple);
        EXPECT_EQ(fx->render, c.render);
        EXPECT_EQ(fx->style, c.style);
    }
}

CursorFX withPath(std::vector<CursorSample> path) {
    CursorFX c;
    c.path = std::move(path);
    return c;
}

TEST(CursorFX, RawInterpolatesThePointer) {
    const CursorFX c = withPath({{100, 0.0, 1.0, 1},
                                 {200, 1.0, 0.0, 2},
                                 {200, 0.4, 0.4, 3},
                                 {300.5, 0.4, 0.6, 4},
                                 {400, 0.2, 0.2, 5}});
    struct Case {
        double t, fx, fy;
        int type;
    };
    const Case cases[] = {
        {-1e9, 0.0, 1.0, 1},
        {100, 0.0, 1.0, 1},
        {125, 0.25, 0.75, 1},
        {199.9, 0.999, 0.001, 1},
        // Equal time stamps: the search lands on the later one, whose gap to the next sample is
        // used; a zero gap would count as 1 ms.
        {200, 0.4, 0.4, 3},
        {250.25, 0.4, 0.5, 3},
        {400, 0.2, 0.2, 5},
        {1e12, 0.2, 0.2, 5},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.t);
        auto r = c.raw(k.t);
        ASSERT_TRUE(r);
        EXPECT_NEAR(r->fx, k.fx, 1e-12);
        EXPECT_NEAR(r->fy, k.fy, 1e-12);
        EXPECT_EQ(r->type, k.type);
    }
    EXPECT_FALSE(withPath({}).raw(5));

    // A single sample answers for every time, NaN included; duplicated stamps never divide by 0.
    const CursorFX one = withPath({{50, 0.3, 0.7, 2}});
    for (double t : {-5.0, 50.0, 51.0, std::numeric_limits<double>::quiet_NaN()}) {
        auto r = one.raw(t);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->fx, 0.3);
        EXPECT_EQ(r->type, 2);
    }
    const CursorFX dup =
        withPath({{0, 0, 0, 0}, {10, 0.5, 0.5, 0}, {10, 0.6, 0.6, 0}, {20, 1, 1, 0}});
    EXPECT_TRUE(std::isfinite(dup.raw(10)->fx));
    EXPECT_TRUE(std::isfinite(dup.raw(9.5)->fx));
}

TEST(CursorFX, CaretIsValidFor900Ms) {
    CursorFX c = withPath({{0, 0.5, 0.5, 0}});
    c.caretPath = {{1000, 0.1, 0.2}, {1125, 0.3, 0.4}, {1125, 0.35, 0.45}, {3000, 0.9, 0.9}};
    struct Case {
        double t;
        std::optional<double> fx;
    };
    const Case cases[] = {
        {999.9, std::nullopt},
        {1000, 0.1},
        {1124, 0.1},
        {1125, 0.35},
        {2025, 0.35},
        {2025.01, std::nullopt},
        {3000, 0.9},
        {3900, 0.9},
        {3900.5, std::nullopt},
        {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.t);
        auto p = c.caret(k.t);
        ASSERT_EQ(p.has_value(), k.fx.has_value());
        if (p) {
            EXPECT_EQ(p->fx, *k.fx);
        }
    }
    EXPECT_FALSE(withPath({}).caret(0));
}

TEST(CursorFX, ClickLookups) {
    CursorFX c = withPath({{0, 0.5, 0.5, 0}});
    c.clicks = {{1000, 0.1, 0.1}, {1200, 0.2, 0.2}, {1200, 0.3, 0.3}, {5000, 0.4, 0.4}};
    struct Case {
        double t;
        std::optional<double> fx;  // of the first click within 350 ms before t
    };
    const Case cases[] = {{999, std::nullopt},  {1000, 0.1},   {1199, 0.1},
                          {1350, 0.1},          {1350.5, 0.2}, {1550, 0.2},
                          {1551, std::nullopt}, {5350, 0.4},   {5351, std::nullopt}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.t);
        const TrackPoint* p = c.recentClick(k.t, 350);
        ASSERT_EQ(p != nullptr, k.fx.has_value());
        if (p) {
            EXPECT_EQ(p->fx, *k.fx);
        }
    }
    EXPECT_EQ(c.clicksBetween(1000, 1200).size(), 3u);
    EXPECT_EQ(c.clicksBetween(1000.5, 4999).size(), 2u);
    EXPECT_EQ(c.clicksBetween(1201, 4999).size(), 0u);
    EXPECT_EQ(c.clicksBetween(0, 1e9).size(), 4u);
}

TEST(WebcamFX, EnabledAndFileAreRequired) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"enabled": true, "file": "Clip.webcam.mp4"})", true},
        {R"({"enabled": 1, "file": "Clip.webcam.mp4"})", true},
        {R"({"file": "Clip.webcam.mp4"})", false},
        {R"({"enabled": false, "file": "Clip.webcam.mp4"})", false},
        {R"({"enabled": "true", "file": "Clip.webcam.mp4"})", false},
        {R"({"enabled": 2, "file": "Clip.webcam.mp4"})", false},
        {R"({"enabled": true, "file": "take1.mp4"})", false},
        {R"({"enabled": true, "file": "Clip.WEBCAM.MP4"})", false},
        {R"({"enabled": true, "file": ""})", false},
        {R"({"enabled": true})", false},
        {R"({"enabled": true, "file": ".webcam.mp4"})", true},
    };
    for (auto [dict, ok] : cases) {
        EXPECT_EQ(WebcamFX::fromDict(parse(dict)).has_value(), ok) << dict;
    }
}

TEST(WebcamFX, DefaultsAndSizes) {
    auto d = WebcamFX::fromDict(parse(R"({"enabled": true, "file": "a.webcam.mp4"})"));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->file, "a.webcam.mp4");
    EXPECT_EQ(d->offsetMs, 0);
    EXPECT_TRUE(d->mirror);
    EXPECT_EQ(d->positionPreset, "bottom-right");
    EXPECT_EQ(d->positionX, 1.0);
    EXPECT_EQ(d->positionY, 1.0);
    EXPECT_EQ(d->width, 40);
    EXPECT_EQ(d->height, 40);
    EXPECT_EQ(d->cornerRadius, 90);
    EXPECT_EQ(d->shadow, 0.67);
    EXPECT_EQ(d->margin, 24);
    EXPECT_TRUE(d->reactToZoom);
    EXPECT_EQ(d->shape, "squircle");

    struct Case {
        const char* keys;
        double width, height;
    };
    const Case cases[] = {
        {R"("size": 30, "height": 50)", 30, 50},
        {R"("size": 30)", 30, 30},
        {R"("width": 5)", 5, 40},
        {R"("size": "30", "width": -10)", -10, 40},  // never clamped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        auto w = WebcamFX::fromDict(Json::parse(
            std::string(R"({"enabled": true, "file": "a.webcam.mp4", )") + c.keys + "}"));
        ASSERT_TRUE(w);
        EXPECT_EQ(w->width, c.width);
        EXPECT_EQ(w->height, c.height);
    }

    auto w = WebcamFX::fromDict(parse(R"({"enabled": true, "file": "a.webcam.mp4",
        "offsetMs": -250.5, "mirror": 0, "positionPreset": "custom", "positionX": 2,
        "positionY": -1, "cornerRadius": 0, "shadow": 3, "margin": -4, "reactToZoom": false,
        "shape": "circle"})"));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->offsetMs, -250.5);
    EXPECT_FALSE(w->mirror);
    EXPECT_EQ(w->positionPreset, "custom");
    EXPECT_EQ(w->positionX, 2);
    EXPECT_EQ(w->positionY, -1);
    EXPECT_EQ(w->cornerRadius, 0);
    EXPECT_EQ(w->shadow, 3);
    EXPECT_EQ(w->margin, -4);
    EXPECT_FALSE(w->reactToZoom);
    EXPECT_EQ(w->shape, "circle");
}

TEST(ExportRequest, MissingParameters) {
    const char* cases[] = {
        R"({})",
        R"({"startMs": 0, "endMs": 1000})",
        R"({"name": "a.mp4", "endMs": 1000})",
        R"({"name": "a.mp4", "startMs": 0})",
        R"({"name": "a.mp4", "startMs": "0", "endMs": 1000})",
        R"({"name": "a.mp4", "startMs": 0, "endMs": 1000.5})",
        R"({"name": "a.mp4", "startMs": true, "endMs": 1000})",
        R"({"name": 5, "startMs": 0, "endMs": 1000})",
        R"({"name": "a.mp4", "startMs": 0, "endMs": 1e30})",
        R"([])",
        R"(null)",
    };
    for (const char* p : cases) {
        auto r = ExportRequest::fromPayload(parse(p));
        ASSERT_FALSE(r) << p;
        EXPECT_EQ(r.error().message, "Missing export parameters") << p;
    }
}

TEST(ExportRequest, DecodesEveryField) {
    auto r = ExportRequest::fromPayload(parse(R"({
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
    EXPECT_EQ(r->name, "Demo.mp4");
    EXPECT_EQ(r->startMs, 1000);
    EXPECT_EQ(r->endMs, 61000);
    ASSERT_EQ(r->zooms.size(), 2u);
    EXPECT_EQ(r->zooms[0].scale, 2);
    EXPECT_EQ(r->zooms[1].scale, 3);
    EXPECT_TRUE(r->zooms[1].follow);
    ASSERT_TRUE(r->frame);
    EXPECT_EQ(r->frame->hex, "#ff0000");
    ASSERT_TRUE(r->cursor);
    EXPECT_EQ(r->cursor->smooth, 0.2);
    ASSERT_TRUE(r->webcam);
    EXPECT_EQ(r->webcam->file, "Demo.webcam.mp4");
    EXPECT_EQ(r->micGain, 0.5);
    EXPECT_EQ(r->systemGain, 2);
    EXPECT_EQ(r->targetHeight, 720);
}

TEST(ExportRequest, OptionalPartsFallBack) {
    struct Case {
        const char* extra;
        std::size_t zooms;
        bool frame, cursor, webcam;
        double mic, system;
        std::int64_t targetHeight;
    };
    const Case cases[] = {
        {"", 0, false, false, false, 1, 1, 0},
        // Not an array of objects: the whole list is empty.
        {R"(, "zooms": [{"startMs": 0, "endMs": 1, "scale": 2}, 5])", 0, false, false, false, 1, 1,
         0},
        {R"(, "zooms": {"startMs": 0, "endMs": 1, "scale": 2})", 0, false, false, false, 1, 1, 0},
        {R"(, "frame": {"type": "image"}, "cursor": {"path": []}, "webcam": {"enabled": true})", 0,
         false, false, false, 1, 1, 0},
        {R"(, "frame": "color", "cursor": [[0, 0.5, 0.5]], "webcam": true)", 0, false, false, false,
         1, 1, 0},
        {R"(, "audio": {"mic": "loud", "system": false})", 0, false, false, false, 1, 0, 0},
        {R"(, "audio": {"system": 0})", 0, false, false, false, 1, 0, 0},
        {R"(, "audio": [0.5, 0.5])", 0, false, false, false, 1, 1, 0},
        {R"(, "targetHeight": 719.5)", 0, false, false, false, 1, 1, 0},
        {R"(, "targetHeight": "720")", 0, false, false, false, 1, 1, 0},
        {R"(, "targetHeight": -3)", 0, false, false, false, 1, 1, -3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra);
        auto r = ExportRequest::fromPayload(Json::parse(
            std::string(R"({"name": "a.mp4", "startMs": 0, "endMs": 1000)") + c.extra + "}"));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->zooms.size(), c.zooms);
        EXPECT_EQ(r->frame.has_value(), c.frame);
        EXPECT_EQ(r->cursor.has_value(), c.cursor);
        EXPECT_EQ(r->webcam.has_value(), c.webcam);
        EXPECT_EQ(r->micGain, c.mic);
        EXPECT_EQ(r->systemGain, c.system);
        EXPECT_EQ(r->targetHeight, c.targetHeight);
    }
}

}  // namespace
}  // namespace marlune
