// The Wayland session without the shortcuts portal, the caret and the countdown (the hot key
// through the portal: wayland_recording_test.cpp). Skipped outside a Wayland session.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/countdown_overlay_controller.h"
#include "app/desktop_integration.h"
#include "core/queue.h"
#include "recording/caret_tracker.h"
#include "support/bridge_process.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::BridgeProcess;

class WaylandInputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("WAYLAND_DISPLAY")) GTEST_SKIP() << "needs scripts/with-wayland";
    }
};

TEST_F(WaylandInputTest, WithoutTheShortcutsPortalTheProgramSaysSo) {
    test::TempDir home;
    auto log = home.path() / "stderr.txt";
    // No session bus at all: no portal of any kind answers.
    BridgeProcess p({.home = home.path(),
                     .env = {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}},
                     .stderrFile = log});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    auto status = p.request("status", "permissions.status");
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["result"]["hotkey"], "denied");
    EXPECT_EQ(p.closeAndWait(), 0);
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    EXPECT_NE(text.str().find("Control+Shift+2 is not available"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("tray icon or the recording bar"), std::string::npos);
}

// The accessibility interface answers in the focused window's own pixels on Wayland.
class WindowCaret : public CaretTracker::CaretSource {
  public:
    explicit WindowCaret(atspi::ScreenRect r) : rect_(r) {}
    std::optional<atspi::ScreenRect> caretRect() override { return rect_; }

  private:
    atspi::ScreenRect rect_;
};

TEST_F(WaylandInputTest, TheCaretIsFollowedInWindowsOnly) {
    const atspi::ScreenRect rect{199, 90, 2, 20};  // middle at (200, 100)
    CaretTracker tracker([rect] { return std::make_unique<WindowCaret>(rect); });
    auto clock = []() -> std::optional<double> { return 1000.0; };

    tracker.start(0, clock);
    test::runMainFor(CaretTracker::kFirstSampleDelay + 3 * CaretTracker::kSampleInterval);
    EXPECT_EQ(tracker.sampleCount(), 0u) << "a display recording has no caret place";
    EXPECT_EQ(tracker.missingReason(), std::string(CaretTracker::kWaylandDisplayReason));

    tracker.startInWindow(800, 400, clock);
    EXPECT_EQ(tracker.missingReason(), std::nullopt);
    ASSERT_TRUE(test::runMainUntil([&] { return tracker.sampleCount() > 0; }, 10s));
    tracker.stop();
    EXPECT_EQ(tracker.pathJSON()[0], Json::array({1000, 0.25, 0.25}));
}

TEST_F(WaylandInputTest, TheCountdownIsAnOrdinaryFullScreenWindow) {
    ASSERT_TRUE(ensureToolkit());
    CountdownOverlayController overlay;
    overlay.show(3, std::nullopt);
    ASSERT_TRUE(overlay.isShowing()) << "no window under the Wayland back end";
    EXPECT_TRUE(overlay.hasVeil());
    // The compositor decides the size: full screen on the session's one 1280 x 720 monitor.
    GtkWidget* w = GTK_WIDGET(overlay.window());
    EXPECT_TRUE(test::runMainUntil(
        [&] {
            return gtk_widget_get_mapped(w) && gtk_widget_get_allocated_width(w) == 1280 &&
                   gtk_widget_get_allocated_height(w) == 720;
        },
        10s));
    overlay.show(2, std::nullopt);
    EXPECT_EQ(overlay.text(), "2");
    overlay.hide();
    EXPECT_FALSE(overlay.isShowing());
}

}  // namespace
}  // namespace marlune
