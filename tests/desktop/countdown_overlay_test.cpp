// The countdown overlay on the X display: over the monitor, and clicks and keys pass through.

#include "app/countdown_overlay_controller.h"

#include "desktop_test.h"
#include "screen_helpers.h"

namespace marlune {
namespace {

using test::runMainFor;
using test::runMainUntil;

// A pixel of the number near (cx, cy): pure white here and a few pixels to the right, well
// inside a stroke.
std::optional<std::pair<int, int>> pixelOfNumber(int cx, int cy) {
    const int half = 120;
    GdkPixbuf* area = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), cx - half,
                                                 cy - half, 2 * half, 2 * half);
    if (!area) return std::nullopt;
    std::optional<std::pair<int, int>> found;
    const int stride = gdk_pixbuf_get_rowstride(area);
    const int channels = gdk_pixbuf_get_n_channels(area);
    const guchar* pixels = gdk_pixbuf_get_pixels(area);
    auto white = [](const guchar* p) { return p[0] == 255 && p[1] == 255 && p[2] == 255; };
    for (int y = 0; y < 2 * half && !found; ++y) {
        for (int x = 0; x + 3 < 2 * half && !found; ++x) {
            const guchar* p = pixels + y * stride + x * channels;
            if (white(p) && white(p + 3 * channels))
                found = std::pair{cx - half + x + 1, cy - half + y};
        }
    }
    g_object_unref(area);
    return found;
}

using CountdownOverlayTest = test::DesktopTest;

// Without a compositor: over the monitor, not black around its number, clicks and keys pass.
TEST_F(CountdownOverlayTest, CoversTheMonitorAndLetsClicksThrough) {
    auto monitors = x11::listMonitors();
    ASSERT_TRUE(monitors && !monitors->empty());
    const x11::Monitor monitor = monitors->front();
    const int centreX = monitor.x + monitor.width / 2, centreY = monitor.y + monitor.height / 2;
    test::ClickTarget target(centreX - 300, centreY - 200, 600, 400);
    gtk_window_present(target.window());
    ASSERT_TRUE(runMainUntil([&] { return gtk_window_is_active(target.window()); }));

    CountdownOverlayController overlay;
    overlay.show(3, monitor.id);
    ASSERT_TRUE(overlay.isShowing());
    EXPECT_FALSE(overlay.hasVeil());
    GtkWindow* window = overlay.window();
    ASSERT_TRUE(runMainUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));
    GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window));
    int x = -1, y = -1;
    gdk_window_get_origin(gdk, &x, &y);
    EXPECT_EQ(std::tuple(x, y, gdk_window_get_width(gdk), gdk_window_get_height(gdk)),
              std::tuple(monitor.x, monitor.y, monitor.width, monitor.height));
    EXPECT_EQ(overlay.text(), "3");
    ASSERT_TRUE(runMainUntil([&] { return pixelOfNumber(centreX, centreY).has_value(); }))
        << "the number never showed";
    runMainFor(std::chrono::milliseconds(300));  // the pop has settled
    auto onNumber = pixelOfNumber(centreX, centreY);
    ASSERT_TRUE(onNumber);
    EXPECT_EQ(test::screenPixel(centreX - 250, centreY - 150), test::ClickTarget::kColour);
    EXPECT_TRUE(gtk_window_is_active(target.window()));
    ASSERT_TRUE(test::run("xdotool mousemove " + std::to_string(onNumber->first) + " " +
                          std::to_string(onNumber->second) + " click 1"));
    EXPECT_TRUE(runMainUntil([&] { return target.clicks == 1; })) << target.clicks;

    // The next numbers in the same window; 0 ends it.
    for (int n : {2, 1}) {
        overlay.show(n, monitor.id);
        EXPECT_EQ(overlay.window(), window);
        EXPECT_EQ(overlay.text(), std::to_string(n));
    }
    overlay.show(0, monitor.id);
    EXPECT_FALSE(overlay.isShowing());
    EXPECT_TRUE(runMainUntil([&] {
        return test::screenPixel(onNumber->first, onNumber->second) == test::ClickTarget::kColour;
    })) << "the number stayed on the screen";
}

}  // namespace
}  // namespace marlune
