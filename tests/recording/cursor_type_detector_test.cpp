#include "recording/cursor_type_detector.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "recording/desktop_support.h"
#include "support/main_loop.h"

namespace marlune {
namespace {

using x11::CursorImage;

// A picture whose covered pixels are those for which `covered(x, y)` holds.
template <class F>
CursorImage picture(int w, int h, int hotX, int hotY, std::uint64_t serial, F covered) {
    CursorImage img{w, h, hotX, hotY, serial, std::vector<std::uint32_t>(std::size_t(w) * h)};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) img.argb[y * w + x] = covered(x, y) ? 0xff000000u : 0u;
    }
    return img;
}

CursorImage bar(std::uint64_t serial, bool vertical) {
    return picture(24, 24, 12, 12, serial, [vertical](int x, int y) {
        return vertical ? (x >= 10 && x < 14) : (y >= 10 && y < 14);
    });
}

// Serves named pictures as the theme and a settable picture as the cursor showing.
class StandInCursors : public CursorTypeDetector::CursorSource {
  public:
    std::map<std::string, CursorImage, std::less<>> theme;
    std::optional<CursorImage> showing;
    int themeReads = 0;

    std::optional<CursorImage> current() override { return showing; }
    std::optional<CursorImage> themeCursor(std::string_view name) override {
        ++themeReads;
        auto it = theme.find(name);
        if (it == theme.end()) return std::nullopt;
        return it->second;
    }
};

TEST(CursorTypeDetector, ClassifiesAgainstTheReferencesAndRemembersByServerSerial) {
    auto source = std::make_unique<StandInCursors>();
    auto* cursors = source.get();
    cursors->theme["sb_h_double_arrow"] = bar(0, false);
    cursors->theme["sb_v_double_arrow"] = bar(0, true);
    cursors->theme["ew-resize"] = bar(0, false);  // the same picture again: one reference
    CursorTypeDetector detector(std::move(source));
    detector.prepare();
    EXPECT_EQ(detector.referenceCount(), 2u);
    int reads = cursors->themeReads;
    detector.prepare();
    EXPECT_EQ(cursors->themeReads, reads) << "the theme is read once";

    struct Step {
        std::optional<CursorImage> showing;
        int answer;
        const char* what;
    } steps[] = {
        {std::nullopt, 0, "nothing readable yet: the first answer is arrow"},
        {bar(7, false), 6, "horizontal resize"},
        {bar(8, true), 7, "same size and hot spot, another serial: classified again"},
        {bar(8, false), 7, "same serial, size and hot spot: the remembered answer"},
        {std::nullopt, 7, "unreadable: the previous answer"},
        {CursorImage{0, 0, 0, 0, 9, {}}, 7, "an empty picture: the previous answer"},
        {picture(24, 24, 2, 2, 10, [](int x, int y) { return (x + y) % 2 == 0; }), 0,
         "like no reference: arrow"},
        {bar(11, false), 6, "horizontal again"},
        {picture(24, 24, 2, 2, 12, [](int, int) { return false; }), 6,
         "an invisible cursor (hidden while typing): the previous answer"},
    };
    for (const auto& step : steps) {
        cursors->showing = step.showing;
        EXPECT_EQ(detector.current(), step.answer) << step.what;
    }
}

// Under the test desktop: the cursors another program sets, against the display's theme.

TEST(CursorTypeDetectorOnDisplay, PointerOverAnotherProgramsCursorsGivesTheirTypes) {
    test::ScriptWindow window(test::recordingData("cursor_areas.py"));
    ASSERT_TRUE(window.ready()) << "the cursor test window did not start";
    const std::map<std::string, int> expected = {
        {"left_ptr", 0},  {"default", 0},           {"xterm", 1},     {"text", 1},
        {"hand2", 2},     {"pointer", 2},           {"crosshair", 3}, {"grab", 4},
        {"grabbing", 5},  {"sb_h_double_arrow", 6}, {"ew-resize", 6}, {"sb_v_double_arrow", 7},
        {"ns-resize", 7}, {"not-allowed", 8},       {"custom", 0}};
    CursorTypeDetector detector;
    detector.prepare();
    ASSERT_GE(detector.referenceCount(), 9u);
    // Start from a cursor of another type, so that each area must change the answer.
    for (const auto& [name, type] : expected) {
        const Json& centre = window.info["areas"][name];
        const std::string neighbour = type == 1 ? "hand2" : "xterm";
        const Json& away = window.info["areas"][neighbour];
        ASSERT_TRUE(test::sh("xdotool mousemove " + away[0].dump() + " " + away[1].dump()));
        test::runMainUntil([&] { return detector.current() == (type == 1 ? 2 : 1); },
                           std::chrono::seconds(3));
        ASSERT_TRUE(test::sh("xdotool mousemove " + centre[0].dump() + " " + centre[1].dump()));
        int seen = -1;
        test::runMainUntil([&] { return (seen = detector.current()) == type; },
                           std::chrono::seconds(3));
        EXPECT_EQ(seen, type) << name;
    }
}

}  // namespace
}  // namespace marlune
