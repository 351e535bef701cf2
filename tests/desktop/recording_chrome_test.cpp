// What surrounds a recording in the application: the countdown overlay during the countdown, the
// tray item while recording (its menu entries pause, resume and stop) and the global hot key,
// which stops a recording in progress. The main window stepping aside is in desktop_app_test.cpp.

#include <gtk/gtk.h>

#include "desktop_test.h"
#include "platform/desktop/x11_monitors.h"
#include "recording/recording_controller.h"
#include "screen_helpers.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::runMainFor;
using test::runMainUntil;
using Phase = RecordingController::Phase;

class RecordingChromeTest : public test::AppTest {
  protected:
    // Starts a display recording and waits until capture runs.
    void startRecording(const std::string& id) {
        auto monitors = x11::listMonitors();
        ASSERT_TRUE(monitors && !monitors->empty());
        const auto countdowns = events("countdown").size();
        send(id, "recording.start",
             {{"sourceKind", "display"}, {"sourceID", monitors->front().id}, {"mic", false}});
        ASSERT_TRUE(runMainUntil([&] { return events("countdown").size() > countdowns; }, 10s));
        // The countdown shows over the display, and lets everything through to it.
        EXPECT_TRUE(
            runMainUntil([&] { return !test::visibleWindowsOfType(GTK_TYPE_WINDOW).empty(); }, 2s));
        ASSERT_TRUE(replyTo(id, 20s));
        ASSERT_EQ((*page->reply(id))["ok"], true) << page->reply(id)->dump();
        EXPECT_TRUE(test::visibleWindowsOfType(GTK_TYPE_WINDOW).empty());
        EXPECT_EQ(app->recording->phase(), Phase::recording);
    }
};

TEST_F(RecordingChromeTest, TheTrayItemAndTheHotKeyActOnTheRecording) {
    launchHeadless();
    EXPECT_FALSE(app->statusItem->isShown());
    startRecording("start");
    ASSERT_TRUE(app->statusItem->isShown());
    EXPECT_FALSE(app->statusItem->paused());
    EXPECT_FALSE(app->applicationShouldTerminateAfterLastWindowClosed());
    ASSERT_TRUE(runMainUntil([&] { return app->statusItem->timeText() == "00:01"; }, 5s))
        << app->statusItem->timeText();

    app->statusItem->didTogglePause();
    ASSERT_TRUE(runMainUntil([&] { return app->recording->phase() == Phase::paused; }));
    EXPECT_TRUE(app->statusItem->paused());
    EXPECT_EQ(app->statusItem->pauseTitle(), "Resume");
    const std::string frozen = app->statusItem->timeText();
    runMainFor(1200ms);
    EXPECT_EQ(app->statusItem->timeText(), frozen);
    app->statusItem->didTogglePause();
    ASSERT_TRUE(runMainUntil([&] { return app->recording->phase() == Phase::recording; }));
    EXPECT_FALSE(app->statusItem->paused());
    EXPECT_EQ(app->statusItem->pauseTitle(), "Pause");

    app->statusItem->didStop();
    ASSERT_TRUE(runMainUntil([&] { return events("saved").size() == 1; }, 20s));
    EXPECT_FALSE(app->statusItem->isShown());
    EXPECT_FALSE(app->isRecordingActive());
    EXPECT_TRUE(app->applicationShouldTerminateAfterLastWindowClosed());

    // The hot key stops a recording in progress rather than asking the page...
    startRecording("again");
    runMainFor(1000ms);
    ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
    ASSERT_TRUE(runMainUntil([&] { return events("saved").size() == 2; }, 20s));
    EXPECT_TRUE(events("hotkeyRecord").empty()) << "a recording in progress is stopped, not asked";
    EXPECT_EQ(app->recording->phase(), Phase::idle);
    // ...and, idle again, asks the page to start one.
    ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
    EXPECT_TRUE(runMainUntil([&] { return events("hotkeyRecord").size() == 1; }));
}

}  // namespace
}  // namespace marlune
