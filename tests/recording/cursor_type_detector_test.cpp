#include "recording/cursor_type_detector.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "recording/desktop_support.h"
#include "support/main_loop.h"

namespace marlune {
namespace {

// Another program's cursors against the display's theme, each changed to from another type.
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
