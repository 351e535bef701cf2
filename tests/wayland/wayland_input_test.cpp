// The Wayland session without the shortcuts portal, and its countdown; else skipped.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>

#include "app/countdown_overlay_controller.h"
#include "app/desktop_integration.h"
#include "support/bridge_process.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::BridgeProcess;

#define NEEDS_WAYLAND() \
    if (!std::getenv("WAYLAND_DISPLAY")) GTEST_SKIP() << "needs scripts/with-wayland"

// No session bus at all, so no portal of any kind: the page is told the hot key is missing.
TEST(WaylandInput, WithoutTheShortcutsPortalTheHotKeyIsDenied) {
    NEEDS_WAYLAND();
    test::TempDir home;
    BridgeProcess p(
        {.home = home.path(), .env = {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}}});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    auto status = p.request("status", "permissions.status");
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["result"]["hotkey"], "denied");
    EXPECT_EQ(p.closeAndWait(), 0);
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

}  // namespace
}  // namespace marlune
