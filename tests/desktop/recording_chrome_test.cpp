// What surrounds a recording in the application: the countdown overlay during the countdown, the
// tray item while recording (its menu entries pause, resume and stop), the global hot key, which
// stops a recording in progress, and the main window, which steps aside when asked.

#include <gtk/gtk.h>

#include "app/app_delegate.h"
#include "app/main_window_controller.h"
#include "desktop_test.h"
#include "platform/desktop/x11_monitors.h"
#include "recording/recording_controller.h"
#include "screen_helpers.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::runMainFor;
using test::runMainUntil;

class RecordingChromeTest : public test::DesktopTest {
  protected:
    void SetUp() override {
        DesktopTest::SetUp();
        app = AppDelegate::create({});
        page = std::make_shared<test::TeePage>(nullptr);
        app->applicationDidFinishLaunching(page);
        send("ready", "app.ready");
    }
    void TearDown() override { app.reset(); }

    void send(const std::string& id, const std::string& cmd, const Json& payload = nullptr) {
        Json message = {{"id", id}, {"cmd", cmd}};
        if (!payload.is_null()) message["payload"] = payload;
        app->bridge->receive(message);
    }

    std::vector<Json> events(const std::string& name) const { return page->events(name); }

    // Starts a display recording and waits until capture runs.
    void startRecording(const std::string& id) {
        auto monitors = x11::listMonitors();
        ASSERT_TRUE(monitors && !monitors->empty());
        send(id, "recording.start",
             {{"sourceKind", "display"}, {"sourceID", monitors->front().id}, {"mic", false}});
        ASSERT_TRUE(runMainUntil([&] { return !events("countdown").empty(); }, 10s));
        // The countdown shows over the display, and lets everything through to it.
        EXPECT_TRUE(runMainUntil(
            [&] { return !test::visibleWindowsOfType(GTK_TYPE_WINDOW).empty(); }, 2s));
        ASSERT_TRUE(runMainUntil([&] { return page->reply(id).has_value(); }, 20s));
        ASSERT_EQ((*page->reply(id))["ok"], true) << page->reply(id)->dump();
        EXPECT_TRUE(test::visibleWindowsOfType(GTK_TYPE_WINDOW).empty());
        EXPECT_EQ(app->recording->phase(), RecordingController::Phase::recording);
    }

    std::shared_ptr<AppDelegate> app;
    std::shared_ptr<test::TeePage> page;
};

TEST_F(RecordingChromeTest, TheTrayItemShowsTheRecordingAndItsMenuActsOnIt) {
    EXPECT_FALSE(app->statusItem->isShown());
    startRecording("start");
    ASSERT_TRUE(app->statusItem->isShown());
    EXPECT_FALSE(app->statusItem->paused());
    ASSERT_TRUE(runMainUntil([&] { return app->statusItem->timeText() == "00:01"; }, 5s))
        << app->statusItem->timeText();

    app->statusItem->didTogglePause();
    ASSERT_TRUE(runMainUntil(
        [&] { return app->recording->phase() == RecordingController::Phase::paused; }));
    EXPECT_TRUE(app->statusItem->paused());
    EXPECT_EQ(app->statusItem->pauseTitle(), "Resume");
    const std::string frozen = app->statusItem->timeText();
    runMainFor(1200ms);
    EXPECT_EQ(app->statusItem->timeText(), frozen);

    app->statusItem->didTogglePause();
    ASSERT_TRUE(runMainUntil(
        [&] { return app->recording->phase() == RecordingController::Phase::recording; }));
    EXPECT_FALSE(app->statusItem->paused());
    EXPECT_EQ(app->statusItem->pauseTitle(), "Pause");

    app->statusItem->didStop();
    ASSERT_TRUE(runMainUntil([&] { return events("saved").size() == 1; }, 20s));
    EXPECT_FALSE(app->statusItem->isShown());
    EXPECT_FALSE(app->isRecordingActive());
    EXPECT_TRUE(app->applicationShouldTerminateAfterLastWindowClosed());
}

TEST_F(RecordingChromeTest, TheHotKeyStopsARecordingInProgress) {
    startRecording("start");
    EXPECT_FALSE(app->applicationShouldTerminateAfterLastWindowClosed());
    runMainFor(1000ms);
    ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
    ASSERT_TRUE(runMainUntil([&] { return events("saved").size() == 1; }, 20s));
    EXPECT_TRUE(events("hotkeyRecord").empty()) << "a recording in progress is stopped, not asked";
    EXPECT_EQ(app->recording->phase(), RecordingController::Phase::idle);

    // Idle again: the key asks the page to start one.
    ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
    EXPECT_TRUE(runMainUntil([&] { return events("hotkeyRecord").size() == 1; }));
}

using RecordingWindowTest = test::DesktopTest;

TEST_F(RecordingWindowTest, TheMainWindowStepsAsideWhileRecordingWhenAsked) {
    auto monitors = x11::listMonitors();
    ASSERT_TRUE(monitors && !monitors->empty());
    auto app = AppDelegate::create({});
    app->applicationDidFinishLaunching([](MainWindowController&) {});
    ASSERT_TRUE(runMainUntil([&] { return app->bridge->pageReady(); }, 30s));
    auto page = std::make_shared<test::TeePage>(app->windowController->page());
    app->bridge->setWebView(page);
    auto& window = *app->windowController;

    for (bool hide : {true, false}) {
        SCOPED_TRACE(hide ? "hidden" : "left in place");
        ASSERT_TRUE(window.isVisible());
        const std::string id = hide ? "hidden" : "kept";
        app->bridge->receive({{"id", id},
                              {"cmd", "recording.start"},
                              {"payload",
                               {{"sourceKind", "display"},
                                {"sourceID", monitors->front().id},
                                {"mic", false},
                                {"hideWindow", hide}}}});
        ASSERT_TRUE(runMainUntil([&] { return page->reply(id).has_value(); }, 20s));
        ASSERT_EQ((*page->reply(id))["ok"], true) << page->reply(id)->dump();
        EXPECT_EQ(window.isVisible(), !hide);
        // Closing the window does not end a recording, nor the program.
        EXPECT_FALSE(app->applicationShouldTerminateAfterLastWindowClosed());

        runMainFor(1500ms);  // a few pictures recorded
        const std::size_t saved = page->events("saved").size();
        app->bridge->receive({{"id", id + "-stop"}, {"cmd", "recording.stop"}});
        ASSERT_TRUE(runMainUntil([&] { return page->events("saved").size() == saved + 1; }, 20s))
            << (page->reply(id + "-stop") ? page->reply(id + "-stop")->dump() : "no reply");
        EXPECT_TRUE(window.isVisible()) << "back once the recording is saved";
    }
    app.reset();
}

}  // namespace
}  // namespace marlune
