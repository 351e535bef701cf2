// The Wayland session without the shortcuts portal, its caret, its countdown and the recording
// bar (the hot key through the portal: wayland_recording_test.cpp). Skipped outside Wayland.

#include <gdk/gdkwayland.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>

#include "app/countdown_overlay_controller.h"
#include "app/desktop_integration.h"
#include "app/main_window_controller.h"
#include "bridge/marlune_scheme_handler.h"
#include "bridge/web_bridge.h"
#include "core/queue.h"
#include "recording/caret_tracker.h"
#include "support/bridge_process.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::BridgeProcess;

#define NEEDS_WAYLAND() \
    if (!std::getenv("WAYLAND_DISPLAY")) GTEST_SKIP() << "needs scripts/with-wayland"

// No session bus at all, so no portal of any kind: the program says the hot key is missing.
TEST(WaylandInput, WithoutTheShortcutsPortalTheProgramSaysSo) {
    NEEDS_WAYLAND();
    test::TempDir home;
    auto log = home.path() / "stderr.txt";
    BridgeProcess p({.home = home.path(),
                     .env = {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}},
                     .stderrFile = log});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    auto status = p.request("status", "permissions.status");
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["result"]["hotkey"], "denied");
    EXPECT_EQ(p.closeAndWait(), 0);
    const std::string text = test::readFile(log);
    EXPECT_NE(text.find("Control+Shift+2 is not available"), std::string::npos) << text;
    EXPECT_NE(text.find("tray icon or the recording bar"), std::string::npos);
}

// The accessibility interface answers in the focused window's own pixels on Wayland.
class WindowCaret : public CaretTracker::CaretSource {
  public:
    explicit WindowCaret(atspi::ScreenRect r) : rect_(r) {}
    std::optional<atspi::ScreenRect> caretRect() override { return rect_; }

  private:
    atspi::ScreenRect rect_;
};

TEST(WaylandInput, TheCaretIsFollowedInWindowsOnly) {
    NEEDS_WAYLAND();
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

TEST(WaylandInput, TheCountdownIsAnOrdinaryWindowOverTheMonitor) {
    NEEDS_WAYLAND();
    ASSERT_TRUE(ensureToolkit());
    CountdownOverlayController overlay;
    overlay.show(3, std::nullopt);
    ASSERT_TRUE(overlay.isShowing()) << "no window under the Wayland back end";
    EXPECT_TRUE(overlay.hasVeil());
    // The compositor decides the size: the session's one 1280 x 720 monitor, not full screen
    // (under which mutter paints black).
    GtkWidget* w = GTK_WIDGET(overlay.window());
    EXPECT_TRUE(test::runMainUntil(
        [&] {
            return gtk_widget_get_mapped(w) && gtk_widget_get_allocated_width(w) == 1280 &&
                   gtk_widget_get_allocated_height(w) == 720;
        },
        10s));
    EXPECT_FALSE(gdk_window_get_state(gtk_widget_get_window(w)) & GDK_WINDOW_STATE_FULLSCREEN);
    overlay.show(2, std::nullopt);
    EXPECT_EQ(overlay.text(), "2");
    overlay.hide();
    EXPECT_FALSE(overlay.isShowing());
}

// The recording bar where the compositor places windows and ignores their moves (headless
// mutter, like GNOME's, has no layer-shell): bar mode still shapes the window.
TEST(WaylandBar, BarModeShapesTheWindowWhereTheCompositorPlacesIt) {
    NEEDS_WAYLAND();
    test::TempDir home;
    ::setenv("HOME", home.path().c_str(), 1);  // the web view's data
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    ASSERT_TRUE(GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default()));
    MainWindowController window(
        std::make_shared<WebBridge>(),
        std::make_shared<MarluneSchemeHandler>(MarluneSchemeHandler::Locations{
            [] { return std::nullopt; }, [&] { return home.path(); }}));
    auto sized = [&](int width, int height) {
        return test::runMainUntil([&] {
            int w = 0, h = 0;
            gtk_window_get_size(window.window(), &w, &h);
            return gtk_widget_get_mapped(GTK_WIDGET(window.window())) && w == width && h == height;
        });
    };
    const int appWidth = MainWindowController::kInitialWidth;
    const int appHeight = MainWindowController::kInitialHeight;
    window.show();
    ASSERT_TRUE(sized(appWidth, appHeight));
    window.setBarMode(true, 420, 64);
    EXPECT_TRUE(sized(420, 64));
    window.moveBar(-25, 30);  // no button held: the compositor is asked for nothing
    window.setBarMode(true, 300, 80);
    EXPECT_TRUE(sized(300, 80));
    window.setBarMode(false);
    EXPECT_TRUE(gtk_window_get_decorated(window.window()));
    EXPECT_TRUE(sized(appWidth, appHeight));
}

}  // namespace
}  // namespace marlune
