#include "render/compose/keys_layer.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>

#include "render/raster.h"

namespace marlune {

KeysLayer::KeysLayer(const KeystrokeFX& keys, const TimeMap& map, int width, int height)
    : keys_(keys), w_(width), h_(height) {
    if (!map.changesTime()) return;
    const double base = map.kept().empty() ? 0 : map.kept().front().srcStart;
    keys_.events.clear();
    for (Keystroke k : keys.events) {
        auto t = map.output(k.t);
        if (!t) continue;
        k.t = *t + base;
        keys_.events.push_back(std::move(k));
    }
}

void KeysLayer::draw(cairo_t* cr, double ms) const {
    auto shown = keys_.shownAt(ms);
    if (!shown || shown->alpha <= 0) return;
    const double m = std::min(w_, h_);
    const double textPx = std::max(6.0, 0.04 * m * keys_.size);
    const double padX = 0.7 * textPx, padY = 0.4 * textPx;
    const double margin = 0.06 * m;

    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* font = pango_font_description_from_string("Sans Bold");
    pango_font_description_set_absolute_size(font, textPx * PANGO_SCALE);
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    pango_layout_set_text(layout, shown->key->label.c_str(), -1);
    PangoRectangle ink{}, logical{};
    pango_layout_get_pixel_extents(layout, &ink, &logical);

    const double boxW = std::min(logical.width + 2 * padX, w_ - 2 * margin);
    const double boxH = logical.height + 2 * padY;
    const std::string& at = keys_.position;
    double x = (w_ - boxW) / 2;
    if (at.ends_with("left")) x = margin;
    if (at.ends_with("right")) x = w_ - margin - boxW;
    const double y = at.starts_with("top") ? margin : h_ - margin - boxH;

    const bool light = keys_.style == "light";
    const double a = shown->alpha;
    cairo_save(cr);
    roundedRectPath(cr, x, y, boxW, boxH, std::min(boxH / 2, 0.6 * textPx));
    if (light) {
        cairo_set_source_rgba(cr, 1, 1, 1, 0.92 * a);
    } else {
        cairo_set_source_rgba(cr, 0.07, 0.07, 0.09, 0.82 * a);
    }
    cairo_fill_preserve(cr);
    // A thin edge keeps the pill apart from a background of its own colour.
    cairo_set_line_width(cr, std::max(1.0, textPx / 24));
    cairo_set_source_rgba(cr, light ? 0 : 1, light ? 0 : 1, light ? 0 : 1, 0.18 * a);
    cairo_stroke(cr);
    roundedRectPath(cr, x, y, boxW, boxH, std::min(boxH / 2, 0.6 * textPx));
    cairo_clip(cr);
    cairo_move_to(cr, x + (boxW - logical.width) / 2 - logical.x, y + padY - logical.y);
    if (light) {
        cairo_set_source_rgba(cr, 0.08, 0.08, 0.1, a);
    } else {
        cairo_set_source_rgba(cr, 1, 1, 1, a);
    }
    pango_cairo_show_layout(cr, layout);
    cairo_restore(cr);
    g_object_unref(layout);
}

}  // namespace marlune
