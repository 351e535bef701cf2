#include "app/area_outline.h"

namespace marlune {

namespace {

constexpr int kWidth = 3;  // pixels of each side
constexpr int kGap = 1;    // between the outline and the area, so that it stays outside it

gboolean paint(GtkWidget* widget, cairo_t* cr, gpointer) {
    (void)widget;
    cairo_set_source_rgb(cr, 0x4c / 255.0, 0xc9 / 255.0, 0xf0 / 255.0);
    cairo_paint(cr);
    return TRUE;
}

void passClicksThrough(GtkWidget* widget, gpointer) {
    cairo_region_t* none = cairo_region_create();
    gdk_window_input_shape_combine_region(gtk_widget_get_window(widget), none, 0, 0);
    cairo_region_destroy(none);
}

}  // namespace

AreaOutline::~AreaOutline() {
    hide();
}

void AreaOutline::show(const PixelRect& a) {
    const int outer = kWidth + kGap;
    // Top, bottom, left, right; each a strip of kWidth just outside the area.
    const std::array<PixelRect, 4> rects = {
        PixelRect{a.x - outer, a.y - outer, a.width + 2 * outer, kWidth},
        PixelRect{a.x - outer, a.y + a.height + kGap, a.width + 2 * outer, kWidth},
        PixelRect{a.x - outer, a.y - kGap, kWidth, a.height + 2 * kGap},
        PixelRect{a.x + a.width + kGap, a.y - kGap, kWidth, a.height + 2 * kGap},
    };
    for (std::size_t i = 0; i < rects.size(); ++i) {
        if (!sides_[i]) {
            GtkWidget* w = gtk_window_new(GTK_WINDOW_POPUP);
            gtk_window_set_title(GTK_WINDOW(w), "Marlune area outline");
            gtk_widget_set_app_paintable(w, TRUE);
            g_signal_connect(w, "draw", G_CALLBACK(paint), nullptr);
            g_signal_connect(w, "realize", G_CALLBACK(passClicksThrough), nullptr);
            sides_[i] = w;
        }
        GtkWindow* window = GTK_WINDOW(sides_[i]);
        gtk_window_resize(window, std::max(rects[i].width, 1), std::max(rects[i].height, 1));
        gtk_window_move(window, rects[i].x, rects[i].y);
        gtk_widget_show(sides_[i]);
    }
}

void AreaOutline::hide() {
    for (GtkWidget*& side : sides_) {
        if (side) gtk_widget_destroy(side);
        side = nullptr;
    }
}

}  // namespace marlune
