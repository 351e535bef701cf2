#include "recording/cursor_tracker.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "recording/desktop_support.h"
#include "recording/recording_clock.h"
#include "support/main_loop.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::runMainFor;
using test::runMainUntil;
using test::sh;

bool clickAt(int x, int y) {
    return sh("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}

// Two monitors side by side on an X server of the test's own; the left one is recorded.
TEST(CursorTracker, OnlyTheRecordedMonitorsClicksAreKeptAndThePathStaysOnIt) {
    test::PrivateDisplay display("3840x1080x24");
    ASSERT_TRUE(display.ready()) << "Xvfb did not start";
    ASSERT_TRUE(sh("xrandr --setmonitor LEFT 1920/508x1080/286+0+0 none"));
    ASSERT_TRUE(sh("xrandr --setmonitor RIGHT 1920/508x1080/286+1920+0 none"));
    const auto left = test::monitorNamed("LEFT"), right = test::monitorNamed("RIGHT");
    ASSERT_TRUE(left && right);
    ASSERT_NE(left->id, right->id);
    std::int64_t now = 5000;
    CursorTracker tracker;
    tracker.start(left->id, true, [&] { return std::optional(now); });
    // Where a click is made, and where on the recorded monitor it is kept (nothing: left out).
    struct Case {
        int x, y;
        std::optional<std::pair<double, double>> at;
    } cases[] = {{0, 0, std::pair{0.0, 0.0}},
                 {1919, 0, std::pair{1.0, 0.0}},
                 {0, 1079, std::pair{0.0, 1.0}},
                 {1919, 1079, std::pair{1.0, 1.0}},
                 {479, 539, std::pair{479.0 / 1919, 539.0 / 1079}},
                 {2500, 500, std::nullopt},
                 {1920, 0, std::nullopt},
                 {3839, 1079, std::nullopt}};
    std::size_t kept = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
        now += 250;
        ASSERT_TRUE(clickAt(c.x, c.y));
        // Every press is seen; wait for the pointer's next samples to be sure it arrived.
        std::size_t samples = tracker.path.size();
        ASSERT_TRUE(runMainUntil([&] { return tracker.path.size() > samples + 2; }));
        runMainFor(50ms);
        if (!c.at) {
            EXPECT_EQ(tracker.clicks.size(), kept);
            continue;
        }
        ASSERT_EQ(tracker.clicks.size(), ++kept) << "one press, one click";
        EXPECT_EQ(tracker.clicks.back().tMs, now);
        EXPECT_DOUBLE_EQ(tracker.clicks.back().fx, c.at->first);
        EXPECT_DOUBLE_EQ(tracker.clicks.back().fy, c.at->second);
    }
    EXPECT_EQ(tracker.asJSON()[3], Json::parse(R"({"t":6000,"fx":1.0,"fy":1.0})"));

    // On the other monitor the path is held at the recorded one's edge.
    ASSERT_TRUE(sh("xdotool mousemove 3000 540"));
    std::size_t from = tracker.path.size();
    ASSERT_TRUE(runMainUntil(
        [&] { return tracker.path.size() > from + 3 && tracker.path.back().fx == 1.0; }));
    EXPECT_DOUBLE_EQ(tracker.path.back().fy, 540.0 / 1079);

    // Other buttons are not clicks; nothing is recorded once stopped, and the track stays.
    ASSERT_TRUE(sh("xdotool mousemove 100 100 click 3 click 2"));
    runMainFor(200ms);
    tracker.stop();
    ASSERT_TRUE(clickAt(110, 110));
    runMainFor(300ms);
    EXPECT_EQ(tracker.clicks.size(), kept);
}

// Sampled on the recording's clock, which a pause holds still (the rate: tests/desktop).
TEST(CursorTracker, PathFollowsTheRecordingClockThroughAPause) {
    auto m = test::monitorNamed("");
    ASSERT_TRUE(m);
    RecordingClock clock;
    CursorTracker tracker;
    clock.start(std::chrono::steady_clock::now());
    tracker.start(m->id, true, [&] { return std::optional(clock.elapsedMs()); });
    runMainFor(1000ms);
    clock.pause(std::chrono::steady_clock::now());
    const std::int64_t pausedAt = clock.elapsedMs();
    runMainFor(700ms);
    clock.resume(std::chrono::steady_clock::now());
    runMainFor(1000ms);
    tracker.stop();
    const auto frozen = std::count_if(tracker.path.begin(), tracker.path.end(),
                                      [&](const auto& s) { return s.tMs == pausedAt; });
    EXPECT_GE(frozen, 12) << "samples go on during a pause, at the pause's time";
    for (std::size_t i = 1; i < tracker.path.size(); ++i) {
        EXPECT_GE(tracker.path[i].tMs, tracker.path[i - 1].tMs);
        EXPECT_LT(tracker.path[i].tMs - tracker.path[i - 1].tMs, 400) << "paused time is left out";
    }
    EXPECT_NEAR(tracker.path.back().tMs, 2000, 150);
    // The next start begins new tracks, without a path when the cursor is not smoothed.
    tracker.start(m->id, false, [] { return std::optional<std::int64_t>(0); });
    runMainFor(300ms);
    EXPECT_TRUE(tracker.path.empty());
    tracker.stop();
}

}  // namespace
}  // namespace marlune
