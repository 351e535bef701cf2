// The recording bar on a Wayland compositor, which places windows itself and ignores their own
// moves (headless mutter, like GNOME's, offers no layer-shell): bar mode still shapes the window
// and the page's drags leave it whole. Skipped outside a Wayland session.

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
    ::setenv("GDK_BACKEND", "wayland", 1);
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    ASSERT_TRUE(GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default()));
    auto bridge = std::make_shared<WebBridge>();
    MainWindowController window(
        bridge, std::make_shared<MarluneSchemeHandler>(MarluneSchemeHandler::Locations{
                    .webRoot = [] { return std::nullopt; },
                    .mediaFolder = [&] { return home.path(); },
                }));
    auto sized = [&](int width, int height) {
        return test::runMainUntil([&] {
            int w = 0, h = 0;
            gtk_window_get_size(window.window(), &w, &h);
            return gtk_widget_get_mapped(GTK_WIDGET(window.window())) && w == width && h == height;
        });
    };
    window.show();
    ASSERT_TRUE(sized(MainWindowController::kInitialWidth, MainWindowController::kInitialHeight));

    window.setBarMode(true, 420, 64);
    EXPECT_FALSE(gtk_window_get_decorated(window.window()));
    EXPECT_TRUE(sized(420, 64));
    // The page's late moves, without the button held, ask the compositor for nothing; the bar
    // keeps working: a new size, then the window back as it was.
    window.moveBar(-25, 30);
    window.setBarMode(true, 300, 80);
    EXPECT_TRUE(sized(300, 80));
    window.setBarMode(false);
    EXPECT_TRUE(gtk_window_get_decorated(window.window()));
    EXPECT_TRUE(sized(MainWindowController::kInitialWidth, MainWindowController::kInitialHeight));
}

}  // namespace
}  // namespace marlune
