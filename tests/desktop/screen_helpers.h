#pragma once

// Screen pixels, a plain window counting clicks, and the desktop's command-line tools.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "support/ffmpeg_tool.h"
#include "support/main_loop.h"

namespace marlune::test {

struct Rgb {
    int r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

// The screen's colour at root-window pixel (x, y).
inline Rgb screenPixel(int x, int y) {
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, 1, 1);
    if (!shot) return {-1, -1, -1};
    const guchar* p = gdk_pixbuf_get_pixels(shot);
    Rgb c{p[0], p[1], p[2]};
    g_object_unref(shot);
    return c;
}

// Runs a command line through the shell to its end (xdotool, xrandr); true when it exited with 0.
inline bool run(const std::string& commandLine) {
    return runTool({"sh", "-c", commandLine});
}

// A window of one flat colour at a given place, counting the mouse clicks it receives.
class ClickTarget {
  public:
    static constexpr Rgb kColour{0, 153, 0};

    ClickTarget(int x, int y, int width, int height) {
        window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
        gtk_window_set_title(window_, "click target");
        gtk_window_set_decorated(window_, FALSE);
        gtk_window_move(window_, x, y);
        gtk_window_set_default_size(window_, width, height);
        gtk_widget_set_app_paintable(GTK_WIDGET(window_), TRUE);
        gtk_widget_add_events(GTK_WIDGET(window_), GDK_BUTTON_PRESS_MASK);
        g_signal_connect(window_, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, gpointer) {
                             cairo_set_source_rgb(cr, kColour.r / 255.0, kColour.g / 255.0,
                                                  kColour.b / 255.0);
                             cairo_paint(cr);
                             return TRUE;
                         }),
                         nullptr);
        g_signal_connect(window_, "button-press-event",
                         G_CALLBACK(+[](GtkWidget*, GdkEventButton* e, gpointer self) {
                             if (e->type == GDK_BUTTON_PRESS)
                                 ++static_cast<ClickTarget*>(self)->clicks;
                             return TRUE;
                         }),
                         this);
        gtk_widget_show(GTK_WIDGET(window_));
        // Up and painted where it was asked to be.
        runMainUntil([&] { return screenPixel(x + width / 2, y + height / 2) == kColour; },
                     std::chrono::seconds(5));
    }
    ~ClickTarget() { gtk_widget_destroy(GTK_WIDGET(window_)); }

    GtkWindow* window() const { return window_; }
    int clicks = 0;

  private:
    GtkWindow* window_;
};

}  // namespace marlune::test
