// The recording bar where the compositor places windows and ignores their moves (headless
// mutter, like GNOME's, has no layer-shell): bar mode still shapes the window, drags leave it
// whole. Skipped outside a Wayland session.

#include <gdk/gdkwayland.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "app/main_window_controller.h"
#include "bridge/marlune_scheme_handler.h"
#include "bridge/web_bridge.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

TEST(WaylandBar, BarModeShapesTheWindowWhereTheCompositorPlacesIt) {
    if (!std::getenv("WAYLAND_DISPLAY")) GTEST_SKIP() << "needs scripts/with-wayland";
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
