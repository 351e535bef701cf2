// The global hot key on the real display: pressed from outside through xdotool, in the desktop
// application and in the headless host.

#include <webkit2/webkit2.h>

#include "app/app_delegate.h"
#include "app/main_window_controller.h"
#include "desktop_test.h"
#include "platform/desktop/x11_hotkey.h"
#include "screen_helpers.h"
#include "support/bridge_process.h"

namespace marlune {
namespace {

using test::runMainFor;
using test::runMainUntil;

class HotkeyTest : public test::DesktopTest {
  protected:
    void TearDown() override { app.reset(); }

    void launchDesktop() {
        app = AppDelegate::create({});
        app->applicationDidFinishLaunching([](MainWindowController&) {});
        ASSERT_TRUE(
            runMainUntil([&] { return app->bridge->pageReady(); }, std::chrono::seconds(30)))
            << "the starter page never sent app.ready";
        page = std::make_shared<test::TeePage>(app->windowController->page());
        app->bridge->setWebView(page);
    }

    // The events named `name` the page has received since the tee was put in.
    std::vector<Json> events(const std::string& name) const { return page->events(name); }

    std::shared_ptr<AppDelegate> app;
    std::shared_ptr<test::TeePage> page;
};

TEST_F(HotkeyTest, PressedWhileIdleItBringsTheWindowAndTellsThePage) {
    launchDesktop();
    ASSERT_TRUE(app->hotkey->isRegistered());
    GtkWidget* window = GTK_WIDGET(app->windowController->window());

    // Whatever the lock keys: each press is one "hotkeyRecord".
    const std::vector<std::string> locks = {"", "Caps_Lock", "Num_Lock"};
    for (std::size_t i = 0; i < locks.size(); ++i) {
        SCOPED_TRACE("lock: " + locks[i]);
        gtk_widget_hide(window);
        runMainFor(std::chrono::milliseconds(50));
        if (!locks[i].empty()) {
            ASSERT_TRUE(test::run("xdotool key " + locks[i]));
        }
        ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
        EXPECT_TRUE(runMainUntil([&] {
            return events("hotkeyRecord").size() == i + 1 && gtk_widget_get_visible(window);
        })) << events("hotkeyRecord").size();
        if (!locks[i].empty()) {
            ASSERT_TRUE(test::run("xdotool key " + locks[i]));
        }
    }
    EXPECT_EQ(events("hotkeyRecord").back(), Json::object());

    // Held down long enough to repeat: still one press.
    ASSERT_TRUE(test::run("xdotool keydown ctrl+shift+2 sleep 1.5 keyup ctrl+shift+2"));
    runMainFor(std::chrono::milliseconds(500));
    EXPECT_EQ(events("hotkeyRecord").size(), locks.size() + 1);

    // Other combinations are not ours.
    ASSERT_TRUE(test::run("xdotool key ctrl+2 shift+2 ctrl+shift+3"));
    runMainFor(std::chrono::milliseconds(300));
    EXPECT_EQ(events("hotkeyRecord").size(), locks.size() + 1);
}

TEST_F(HotkeyTest, BecomingActiveTellsThePageThePermissions) {
    launchDesktop();
    GtkWindow* window = app->windowController->window();
    test::ClickTarget other(50, 50, 200, 100);
    gtk_window_present(other.window());
    ASSERT_TRUE(runMainUntil([&] { return gtk_window_is_active(other.window()); }));
    const auto before = events("permissionsChanged").size();
    gtk_window_present(window);
    ASSERT_TRUE(runMainUntil([&] { return gtk_window_is_active(window); }));
    ASSERT_TRUE(runMainUntil([&] { return events("permissionsChanged").size() == before + 1; }));
    Json status = events("permissionsChanged").back();
    std::vector<std::string> keys;
    for (auto& [k, v] : status.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"screen", "microphone", "camera", "accessibility"}));
    EXPECT_EQ(status["screen"], "granted");
}

TEST_F(HotkeyTest, AKeyHeldByAnotherProgramIsLoggedOnceAndLeftAlone) {
    auto holder = x11::GlobalKeyGrab::controlShift(HotkeyManager::kKeysym);
    ASSERT_TRUE(holder) << holder.error().message;
    int ours = 0;
    {
        HotkeyManager manager;
        manager.onHotkey = [&] { ++ours; };
        testing::internal::CaptureStderr();
        EXPECT_FALSE(manager.registerHotkey());
        EXPECT_FALSE(manager.registerHotkey());
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_NE(log.find("Control+Shift+2"), std::string::npos) << log;

        ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
        int theirs = 0;
        EXPECT_TRUE(runMainUntil([&] {
            theirs += (*holder)->takePresses();
            return theirs == 1;
        }));
        EXPECT_EQ(ours, 0);
    }
    // Once the other program lets go, the key can be had.
    holder->reset();
    HotkeyManager manager;
    manager.onHotkey = [&] { ++ours; };
    ASSERT_TRUE(manager.registerHotkey());
    ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
    EXPECT_TRUE(runMainUntil([&] { return ours == 1; }));
}

TEST_F(HotkeyTest, TheHeadlessHostHoldsTheKeyExceptInSmokeMode) {
    struct Case {
        std::vector<std::string> args;
        bool held;
    };
    for (const Case& c : {Case{{}, true}, Case{{"--smoke"}, false}}) {
        SCOPED_TRACE(c.held ? "normal" : "smoke");
        test::TempDir processHome;
        test::BridgeProcess marlune(
            {.home = processHome.path(), .extraArgs = c.args, .keepDisplay = true});
        ASSERT_TRUE(marlune.request("1", "settings.get"));  // launched
        auto grab = x11::GlobalKeyGrab::controlShift(HotkeyManager::kKeysym);
        if (c.held) {
            ASSERT_FALSE(grab);
            EXPECT_EQ(grab.error().message, x11::GlobalKeyGrab::kTakenMessage);
        } else {
            EXPECT_TRUE(grab) << grab.error().message;
        }
        grab = std::unexpected(Error{});  // let go before the process quits
        EXPECT_EQ(marlune.closeAndWait(), 0);
    }
}

}  // namespace
}  // namespace marlune
