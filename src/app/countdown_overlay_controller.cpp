#include "app/countdown_overlay_controller.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif

#include <algorithm>
#include <cmath>

#include "app/desktop_integration.h"
#include "core/queue.h"
#include "recording/layer_surface.h"
#include "render/blur.h"

namespace marlune {

namespace {

constexpr double kKeyTimes[] = {0, 0.25, 0.85, 1};
constexpr double kKeyScales[] = {1.5, 1.0, 1.0, 0.93};
constexpr double kKeyOpacities[] = {0, 1, 1, 0.15};

// A soft white glow behind the number: a shadow of 25 % white blurred over about 30 pixels.
constexpr double kGlowAlpha = 0.25;
constexpr double kGlowSigma = 15;
constexpr int kGlowMargin = 45;  // 3 sigma: the blur fades out within it
// Without a compositor the number's edge cannot be soft; a dark outline keeps it readable on
// light backgrounds.
constexpr double kOutlineWidth = 6;

double cubic(double t, double p1, double p2) {
    double u = 1 - t;
    return 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t;
}

// The ease-out timing curve (the cubic Bézier through (0, 0), (0.58, 1), (1, 1)): the share of the
// change made after `progress` (0 to 1) of the time.
double easeOut(double progress) {
    if (progress <= 0) return 0;
    if (progress >= 1) return 1;
    const double x = progress;
    // x(t) rises monotonically on [0, 1]: bisection finds the curve parameter for x.
    double lo = 0, hi = 1;
    for (int i = 0; i < 60; ++i) {
        double mid = (lo + hi) / 2;
        (cubic(mid, 0.0, 0.58) < x ? lo : hi) = mid;
    }
    return cubic((lo + hi) / 2, 0.0, 1.0);
}

}  // namespace

PopFrame popFrame(double seconds) {
    double t = easeOut(seconds / kPopSeconds);
    std::size_t i = 0;
    while (i + 2 < std::size(kKeyTimes) && t > kKeyTimes[i + 1]) ++i;
    double span = kKeyTimes[i + 1] - kKeyTimes[i];
    double f = std::clamp((t - kKeyTimes[i]) / span, 0.0, 1.0);
    return PopFrame{
        .scale = kKeyScales[i] + (kKeyScales[i + 1] - kKeyScales[i]) * f,
        .opacity = kKeyOpacities[i] + (kKeyOpacities[i + 1] - kKeyOpacities[i]) * f,
    };
}

std::optional<x11::Monitor> chooseOverlayMonitor(const std::vector<x11::Monitor>& monitors,
                                                 std::optional<std::uint32_t> displayID,
                                                 std::optional<std::pair<int, int>> pointer) {
    if (monitors.empty()) return std::nullopt;
    if (displayID) {
        if (auto m = x11::findMonitor(monitors, *displayID)) return m;
    }
    if (pointer) {
        auto [px, py] = *pointer;
        for (const auto& m : monitors) {
            if (px >= m.x && px < m.x + m.width && py >= m.y && py < m.y + m.height) return m;
        }
    }
    for (const auto& m : monitors) {
        if (m.primary) return m;
    }
    return monitors.front();
}

CountdownOverlayController::~CountdownOverlayController() {
    hide();
    release();
}

void CountdownOverlayController::show(int n, std::optional<std::uint32_t> displayID) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (n < 1) return hide();
    if (!window_) release();
    if (!window_ && !createWindow(displayID)) return;
    text_ = std::to_string(n);
    PangoLayout* layout = makeLayout();
    pango_layout_get_pixel_size(layout, &textWidth_, &textHeight_);
    g_object_unref(layout);
    if (composited_) makeGlow();
    startPop();
    GtkWidget* w = GTK_WIDGET(window_);
    if (!gtk_widget_get_visible(w)) gtk_widget_show(w);
    // Over every other window, whether or not this application is active.
    gdk_window_raise(gtk_widget_get_window(w));
}

void CountdownOverlayController::hide() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (!window_) return;
    GtkWidget* w = GTK_WIDGET(window_);
    if (tick_) gtk_widget_remove_tick_callback(w, tick_);
    tick_ = 0;
    window_ = nullptr;
    text_.clear();
    glow_ = {};
    if (parkOnHide_) {
        parked_ = GTK_WINDOW(w);
        gtk_window_resize(parked_, 1, 1);
        gtk_widget_queue_draw(w);  // now drawing nothing (onDraw)
    } else {
        gtk_widget_destroy(w);
    }
    // Gone from the screen before the capture that follows takes its first picture.
    gdk_display_sync(gdk_display_get_default());
}

void CountdownOverlayController::release() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (!parked_) return;
    gtk_widget_destroy(GTK_WIDGET(parked_));
    parked_ = nullptr;
}

bool CountdownOverlayController::createWindow(std::optional<std::uint32_t> displayID) {
    if (!ensureToolkit()) return false;
    parkOnHide_ = false;
#ifdef GDK_WINDOWING_WAYLAND
    if (GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default())) return createWaylandWindow();
#endif
    auto monitors = x11::listMonitors();
    if (!monitors) return false;

    GdkDisplay* display = gdk_display_get_default();
    const int scale = std::max(1, gdk_window_get_scale_factor(gdk_get_default_root_window()));
    std::optional<std::pair<int, int>> pointer;
    if (GdkSeat* seat = gdk_display_get_default_seat(display)) {
        if (GdkDevice* device = gdk_seat_get_pointer(seat)) {
            int x = 0, y = 0;
            gdk_device_get_position(device, nullptr, &x, &y);
            pointer = std::pair{x * scale, y * scale};
        }
    }
    auto chosen = chooseOverlayMonitor(*monitors, displayID, pointer);
    if (!chosen) return false;
    monitor_ = *chosen;

    GtkWidget* w = gtk_window_new(GTK_WINDOW_POPUP);
    GdkScreen* screen = gtk_widget_get_screen(w);
    composited_ = false;
    if (gdk_screen_is_composited(screen)) {
        if (GdkVisual* rgba = gdk_screen_get_rgba_visual(screen)) {
            gtk_widget_set_visual(w, rgba);
            composited_ = true;
        }
    }
    gtk_widget_set_app_paintable(w, TRUE);
    gtk_window_set_accept_focus(GTK_WINDOW(w), FALSE);
    gtk_window_set_focus_on_map(GTK_WINDOW(w), FALSE);
    windowWidth_ = std::max(1, monitor_.width / scale);
    windowHeight_ = std::max(1, monitor_.height / scale);
    gtk_window_move(GTK_WINDOW(w), monitor_.x / scale, monitor_.y / scale);
    gtk_window_resize(GTK_WINDOW(w), windowWidth_, windowHeight_);
    // Clicks pass through to the windows underneath.
    cairo_region_t* empty = cairo_region_create();
    gtk_widget_input_shape_combine_region(w, empty);
    // Without a compositor the window shows only where the number is; nothing before it is drawn.
    if (!composited_) gtk_widget_shape_combine_region(w, empty);
    cairo_region_destroy(empty);
    g_signal_connect(w, "draw", G_CALLBACK(onDraw), this);
    window_ = GTK_WINDOW(w);
    return true;
}

// Wayland lets no program place its windows, nor learn where the pointer is: the countdown covers
// the primary (else the first) monitor as a layer surface over everything where the compositor
// offers that, else as an undecorated window of the monitor's size (the compositor places it and
// may fit it to its work area; the drawing follows whatever size the window gets). Not a full
// screen window: mutter paints black under one, whatever its transparency, so the screen was
// hidden behind the number (and, with the pause of hide(), the recording's first second black).
// Clicks still go through (the input region is empty). `monitor()` then holds that monitor in the
// compositor's logical pixels, with the id 0.
bool CountdownOverlayController::createWaylandWindow() {
    GdkDisplay* display = gdk_display_get_default();
    const int count = gdk_display_get_n_monitors(display);
    int index = 0;
    for (int i = 0; i < count; ++i) {
        if (gdk_monitor_is_primary(gdk_display_get_monitor(display, i))) index = i;
    }
    GdkMonitor* monitor = count > 0 ? gdk_display_get_monitor(display, index) : nullptr;
    if (!monitor) return false;
    GdkRectangle area{};
    gdk_monitor_get_geometry(monitor, &area);
    monitor_ = {};
    monitor_.x = area.x;
    monitor_.y = area.y;
    monitor_.width = area.width;
    monitor_.height = area.height;
    windowWidth_ = std::max(1, area.width);
    windowHeight_ = std::max(1, area.height);

    GtkWidget* w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* gw = GTK_WINDOW(w);
    gtk_window_set_title(gw, "Marlune countdown");
    gtk_window_set_decorated(gw, FALSE);
    gtk_window_set_skip_taskbar_hint(gw, TRUE);
    gtk_window_set_accept_focus(gw, FALSE);
    gtk_window_set_focus_on_map(gw, FALSE);
    gtk_window_set_keep_above(gw, TRUE);
    GdkScreen* screen = gtk_widget_get_screen(w);
    GdkVisual* rgba = gdk_screen_get_rgba_visual(screen);
    composited_ = rgba != nullptr;  // a Wayland compositor always blends
    if (rgba) gtk_widget_set_visual(w, rgba);
    gtk_widget_set_app_paintable(w, TRUE);
    gtk_window_set_default_size(gw, windowWidth_, windowHeight_);
    parkOnHide_ = !layer::place(gw, monitor, std::nullopt, "marlune-countdown");
    cairo_region_t* empty = cairo_region_create();
    gtk_widget_input_shape_combine_region(w, empty);
    if (!composited_) gtk_widget_shape_combine_region(w, empty);
    cairo_region_destroy(empty);
    g_signal_connect(w, "draw", G_CALLBACK(onDraw), this);
    window_ = gw;
    return true;
}

PangoLayout* CountdownOverlayController::makeLayout() const {
    PangoLayout* layout = gtk_widget_create_pango_layout(GTK_WIDGET(window_), text_.c_str());
    PangoFontDescription* font = pango_font_description_from_string("Sans Heavy");
    pango_font_description_set_absolute_size(font, kFontSize * PANGO_SCALE);
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    // Digits of equal width, so the number does not shift as it counts down.
    PangoAttrList* attrs = pango_attr_list_new();
    pango_attr_list_insert(attrs, pango_attr_font_features_new("tnum 1"));
    pango_layout_set_attributes(layout, attrs);
    pango_attr_list_unref(attrs);
    return layout;
}

void CountdownOverlayController::makeGlow() {
    glow_ = Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, textWidth_ + 2 * kGlowMargin,
                                                      textHeight_ + 2 * kGlowMargin));
    if (!glow_) return;
    cairo_t* cr = cairo_create(glow_.get());
    cairo_translate(cr, kGlowMargin, kGlowMargin);
    PangoLayout* layout = makeLayout();
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_flush(glow_.get());
    gaussianBlur(glow_, kGlowSigma);
    cairo_surface_mark_dirty(glow_.get());
}

void CountdownOverlayController::startPop() {
    popStartUs_ = g_get_monotonic_time();
    frame_ = popFrame(0);
    updateShape();
    GtkWidget* w = GTK_WIDGET(window_);
    gtk_widget_queue_draw(w);
    if (!tick_) tick_ = gtk_widget_add_tick_callback(w, onTick, this, nullptr);
}

int CountdownOverlayController::onTick(GtkWidget* widget, GdkFrameClock* clock, void* data) {
    auto* self = static_cast<CountdownOverlayController*>(data);
    double seconds =
        static_cast<double>(gdk_frame_clock_get_frame_time(clock) - self->popStartUs_) / 1e6;
    self->frame_ = popFrame(seconds);
    self->updateShape();
    gtk_widget_queue_draw(widget);
    if (seconds < kPopSeconds) return G_SOURCE_CONTINUE;
    self->tick_ = 0;  // the last frame holds
    return G_SOURCE_REMOVE;
}

void CountdownOverlayController::updateShape() {
    if (composited_ || !window_) return;
    GtkWidget* w = GTK_WIDGET(window_);
    const double width = windowWidth_, height = windowHeight_;
    // Only the box the scaled number can reach is drawn and turned into a region.
    const double reach = frame_.scale;
    const int boxW = static_cast<int>(std::ceil((textWidth_ + 2 * kOutlineWidth) * reach)) + 4;
    const int boxH = static_cast<int>(std::ceil((textHeight_ + 2 * kOutlineWidth) * reach)) + 4;
    const int boxX = static_cast<int>(std::floor(width / 2 - boxW / 2.0));
    const int boxY = static_cast<int>(std::floor(height / 2 - boxH / 2.0));
    Surface mask = Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, boxW, boxH));
    if (!mask) return;
    cairo_t* cr = cairo_create(mask.get());
    cairo_translate(cr, -boxX, -boxY);
    drawNumber(cr, width, height, frame_.scale, 1.0, true);
    cairo_destroy(cr);
    cairo_region_t* region = gdk_cairo_region_create_from_surface(mask.get());
    cairo_region_translate(region, boxX, boxY);
    gtk_widget_shape_combine_region(w, region);
    cairo_region_destroy(region);
}

int CountdownOverlayController::onDraw(GtkWidget* widget, cairo_t* cr, void* data) {
    auto* self = static_cast<CountdownOverlayController*>(data);
    const double width = gtk_widget_get_allocated_width(widget);
    const double height = gtk_widget_get_allocated_height(widget);
    cairo_save(cr);
    if (widget != GTK_WIDGET(self->window_)) {  // hidden, not yet closed
        cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
        cairo_paint(cr);
        cairo_restore(cr);
        return TRUE;
    }
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    if (self->composited_) {
        cairo_set_source_rgba(cr, kVeil.red, kVeil.green, kVeil.blue, kVeil.alpha);
    } else {
        cairo_set_source_rgb(cr, kVeil.red, kVeil.green, kVeil.blue);
    }
    cairo_paint(cr);
    cairo_restore(cr);
    if (self->composited_) {
        self->drawNumber(cr, width, height, self->frame_.scale, self->frame_.opacity, false);
    } else {
        // Opacity cannot show without a compositor; the number pops by size alone.
        self->drawNumber(cr, width, height, self->frame_.scale, 1.0, true);
    }
    return TRUE;
}

void CountdownOverlayController::drawNumber(cairo_t* cr, double width, double height, double scale,
                                            double opacity, bool outlined) const {
    if (text_.empty() || opacity <= 0) return;
    // The number's box sits centred on whole pixels; the pop scales it about its centre.
    const double left = std::round((width - textWidth_) / 2);
    const double top = std::round((height - textHeight_) / 2);
    cairo_save(cr);
    cairo_translate(cr, left + textWidth_ / 2.0, top + textHeight_ / 2.0);
    cairo_scale(cr, scale, scale);
    cairo_translate(cr, -textWidth_ / 2.0, -textHeight_ / 2.0);
    if (glow_ && !outlined) {
        cairo_set_source_rgba(cr, 1, 1, 1, kGlowAlpha * opacity);
        cairo_mask_surface(cr, glow_.get(), -kGlowMargin, -kGlowMargin);
    }
    PangoLayout* layout = makeLayout();
    if (outlined) {
        pango_cairo_layout_path(cr, layout);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        cairo_set_line_width(cr, 2 * kOutlineWidth);
        cairo_set_source_rgb(cr, kVeil.red, kVeil.green, kVeil.blue);
        cairo_stroke_preserve(cr);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_fill(cr);
    } else {
        cairo_set_source_rgba(cr, 1, 1, 1, opacity);
        pango_cairo_show_layout(cr, layout);
    }
    g_object_unref(layout);
    cairo_restore(cr);
}

}  // namespace marlune
