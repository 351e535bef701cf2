// The recording bar on a Wayland compositor, which places windows itself and ignores their own
// moves (headless mutter, like GNOME's, offers no layer-shell): bar mode still shapes the window
// and the page's drags leave it whole. Skipped outside a Wayland session.

#include <gdk/gdkwayland.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <utility>

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
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home.path() / "cache").c_str(), 1);
    ::setenv("GDK_BACKEND", "wayland", 1);
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    ASSERT_TRUE(GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default()));

    auto bridge = std::make_shared<WebBridge>();
    auto handler = std::make_shared<MarluneSchemeHandler>(MarluneSchemeHandler::Locations{
        .webRoot = [&]() -> std::optional<std::filesystem::path> { return home.path(); },
        .mediaFolder = [&] { return home.path(); },
    });
    MainWindowController window(bridge, handler);
    bridge->setWebView(window.page());
    GtkWindow* gtkWindow = window.window();
    auto size = [&] {
        int w = 0, h = 0;
        gtk_window_get_size(gtkWindow, &w, &h);
        return std::pair{w, h};
    };
    window.show();
    const std::pair app{MainWindowController::kInitialWidth, MainWindowController::kInitialHeight};
    ASSERT_TRUE(test::runMainUntil(
        [&] { return gtk_widget_get_mapped(GTK_WIDGET(gtkWindow)) && size() == app; }));

    window.setBarMode(true, 420, 64);
    EXPECT_FALSE(gtk_window_get_decorated(gtkWindow));
    EXPECT_TRUE(test::runMainUntil([&] {
        return size() == std::pair{420, 64};
    })) << size().first
        << " x " << size().second;
    // A drag without the button held (the page's late moves) asks the compositor for nothing;
    // the bar keeps working: a new size, then the window back as it was.
    window.moveBar(-25, 30);
    window.moveBar(5, -10);
    window.setBarMode(true, 300, 80);
    EXPECT_TRUE(test::runMainUntil([&] {
        return size() == std::pair{300, 80};
    })) << size().first
        << " x " << size().second;
    EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(gtkWindow)));
    window.setBarMode(false);
    EXPECT_TRUE(gtk_window_get_decorated(gtkWindow));
    EXPECT_TRUE(test::runMainUntil([&] { return size() == app; }))
        << size().first << " x " << size().second;
}

}  // namespace
}  // namespace marlune
