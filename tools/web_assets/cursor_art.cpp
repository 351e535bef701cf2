#include "cursor_art.h"

#include <cairo.h>

#include <cmath>
#include <functional>
#include <iostream>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/json.h"
#include "image_io.h"
#include "render/cursor_pack.h"

namespace marlune::assets {

namespace {

constexpr double kPi = std::numbers::pi;

// Pack images are drawn at this many pixels per logical unit so that they stay sharp when the
// export scales them up for zooms and large cursor sizes.
constexpr int kPixelsPerUnit = 4;

// Every glyph is designed on a 24-unit square; the hotspot is given in the same units.
constexpr double kDesign = 24;

struct Colour {
    double r, g, b, a = 1;
};

constexpr Colour rgb(unsigned v, double a = 1) {
    return {((v >> 16) & 255) / 255.0, ((v >> 8) & 255) / 255.0, (v & 255) / 255.0, a};
}

void setColour(cairo_t* cr, Colour c) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
}

struct Pt {
    double x, y;
};

// One closed region of a glyph's silhouette, traced into the current path.
using Piece = std::function<void(cairo_t*)>;

Piece polygon(std::vector<Pt> points, Pt offset = {0, 0}) {
    return [points = std::move(points), offset](cairo_t* cr) {
        for (auto p : points) cairo_line_to(cr, p.x + offset.x, p.y + offset.y);
        cairo_close_path(cr);
    };
}

// A segment from a to b with round ends of radius r.
Piece capsule(Pt a, Pt b, double r) {
    return [=](cairo_t* cr) {
        double angle = std::atan2(b.y - a.y, b.x - a.x);
        cairo_arc(cr, b.x, b.y, r, angle - kPi / 2, angle + kPi / 2);
        cairo_arc(cr, a.x, a.y, r, angle + kPi / 2, angle + 3 * kPi / 2);
        cairo_close_path(cr);
    };
}

Piece roundedRect(double x, double y, double w, double h, double rTop, double rBottom) {
    return [=](cairo_t* cr) {
        cairo_new_sub_path(cr);
        cairo_arc(cr, x + w - rTop, y + rTop, rTop, -kPi / 2, 0);
        cairo_arc(cr, x + w - rBottom, y + h - rBottom, rBottom, 0, kPi / 2);
        cairo_arc(cr, x + rBottom, y + h - rBottom, rBottom, kPi / 2, kPi);
        cairo_arc(cr, x + rTop, y + rTop, rTop, kPi, 3 * kPi / 2);
        cairo_close_path(cr);
    };
}

Piece circle(Pt c, double r) {
    return [=](cairo_t* cr) {
        cairo_new_sub_path(cr);
        cairo_arc(cr, c.x, c.y, r, 0, 2 * kPi);
        cairo_close_path(cr);
    };
}

Piece rotated(Piece piece, Pt centre, double angle) {
    return [=](cairo_t* cr) {
        cairo_save(cr);
        cairo_translate(cr, centre.x, centre.y);
        cairo_rotate(cr, angle);
        cairo_translate(cr, -centre.x, -centre.y);
        piece(cr);
        cairo_restore(cr);
    };
}

enum class Family { Classic, Soft, Slim, Dot };

struct PackStyle {
    std::string style;  // the cursor style whose pack this is
    Family family;
    double box;  // logical side of every image of the pack
    Colour fill, outline;
    Colour handFill, handOutline;
    double rimWidth;      // outline width outside the body, logical units
    double handRimWidth;  // the same for hands
    double rounding;      // radius by which polygon bodies are grown and rounded
    double detailWidth;   // finger creases
    double shadowAlpha, shadowBlur, shadowDy;
};

struct Glyph {
    std::vector<Piece> pieces;
    std::vector<std::pair<Pt, Pt>> creases;  // lines in the outline colour across the body
    Pt hotspot;
    bool hand = false;
    // The body takes the outline colour: a plain plate for the overlay to draw on.
    bool plate = false;
    // Drawn over everything, in design units (the "not allowed" badge).
    std::function<void(cairo_t*, const PackStyle&)> overlay;
};

// ---- Shapes ------------------------------------------------------------------------------

constexpr Pt kTip{6, 3};
constexpr Pt kCentre{12, 12};

std::vector<Pt> arrowOutline(Family family) {
    switch (family) {
        case Family::Classic:
            return {{0, 0},    {0, 16.4},   {3.9, 12.7}, {6.4, 18.5},
                    {9, 17.4}, {6.6, 11.8}, {11.7, 11.8}};
        case Family::Soft:
            return {{0, 0},      {0, 15.2},   {3.9, 11.8}, {6.3, 16.9},
                    {9.2, 15.6}, {6.8, 10.7}, {11.6, 10.5}};
        default:  // Slim: a sleek kite without a tail
            return {{0, 0}, {0, 17.4}, {4.7, 13.0}, {11.8, 12.7}};
    }
}

Glyph arrow(Family family) {
    return {{polygon(arrowOutline(family), kTip)}, {}, kTip};
}

Glyph iBeam(Family family) {
    Glyph g;
    g.hotspot = kCentre;
    if (family == Family::Soft) {
        g.pieces = {capsule({12, 5.2}, {12, 18.8}, 1.05), capsule({9.3, 4.4}, {14.7, 4.4}, 1.05),
                    capsule({9.3, 19.6}, {14.7, 19.6}, 1.05)};
    } else {
        double half = family == Family::Slim ? 0.6 : 0.8;
        double serif = family == Family::Slim ? 2.6 : 3.0;
        g.pieces = {
            polygon({{12 - half, 4.5}, {12 + half, 4.5}, {12 + half, 19.5}, {12 - half, 19.5}}),
            polygon({{12 - serif, 3.6},
                     {12 + serif, 3.6},
                     {12 + serif, 3.6 + 2 * half},
                     {12 - serif, 3.6 + 2 * half}}),
            polygon({{12 - serif, 20.4 - 2 * half},
                     {12 + serif, 20.4 - 2 * half},
                     {12 + serif, 20.4},
                     {12 - serif, 20.4}})};
    }
    return g;
}

Glyph pointingHand() {
    Glyph g;
    g.hand = true;
    g.hotspot = {9.4, 2.0};
    g.pieces = {
        roundedRect(7.6, 10.6, 11.8, 10.6, 2.2, 4.2), capsule({9.4, 3.2}, {9.4, 12.6}, 1.75),
        capsule({12.7, 9.6}, {12.7, 13.4}, 1.6),      capsule({15.6, 10.5}, {15.6, 13.8}, 1.5),
        capsule({18.1, 12.0}, {18.1, 14.6}, 1.3),     capsule({8.6, 17.6}, {4.6, 13.3}, 1.6),
    };
    g.creases = {{{11.15, 11.3}, {11.15, 14.6}},
                 {{14.15, 11.9}, {14.15, 14.9}},
                 {{16.9, 13.0}, {16.9, 15.2}}};
    return g;
}

Glyph openHand() {
    Glyph g;
    g.hand = true;
    g.hotspot = {12.8, 14.5};
    g.pieces = {
        roundedRect(7.3, 10.4, 11.4, 10.6, 2.4, 4.0), capsule({8.9, 12.0}, {7.9, 4.9}, 1.45),
        capsule({11.8, 11.5}, {11.6, 3.4}, 1.5),      capsule({14.7, 11.5}, {15.2, 4.0}, 1.45),
        capsule({17.3, 12.5}, {18.4, 6.6}, 1.3),      capsule({8.6, 17.2}, {4.2, 12.4}, 1.5),
    };
    g.creases = {
        {{10.35, 9.2}, {10.35, 12.2}}, {{13.25, 9.2}, {13.25, 12.2}}, {{16.0, 10.0}, {16.0, 12.6}}};
    return g;
}

Glyph closedHand() {
    Glyph g;
    g.hand = true;
    g.hotspot = {12.8, 14.0};
    g.pieces = {
        roundedRect(7.3, 9.4, 11.4, 10.4, 2.4, 4.0), capsule({8.9, 9.0}, {8.9, 10.8}, 1.5),
        capsule({11.8, 8.4}, {11.8, 10.4}, 1.5),     capsule({14.7, 8.5}, {14.7, 10.4}, 1.5),
        capsule({17.3, 9.6}, {17.3, 11.0}, 1.35),    capsule({8.4, 15.2}, {5.6, 12.6}, 1.5),
    };
    g.creases = {
        {{10.35, 8.6}, {10.35, 11.6}}, {{13.25, 8.2}, {13.25, 11.4}}, {{16.0, 8.9}, {16.0, 11.6}}};
    return g;
}

Glyph crosshair(Family family) {
    Glyph g;
    g.hotspot = kCentre;
    if (family == Family::Soft) {
        for (int i = 0; i < 4; ++i) {
            double a = i * kPi / 2;
            Pt in{12 + 2.6 * std::cos(a), 12 + 2.6 * std::sin(a)};
            Pt out{12 + 8.6 * std::cos(a), 12 + 8.6 * std::sin(a)};
            g.pieces.push_back(capsule(in, out, 0.95));
        }
        g.pieces.push_back(circle(kCentre, 1.2));
    } else {
        double half = family == Family::Slim ? 0.6 : 0.75;
        double reach = family == Family::Slim ? 9.0 : 8.5;
        g.pieces = {polygon({{12 - reach, 12 - half},
                             {12 + reach, 12 - half},
                             {12 + reach, 12 + half},
                             {12 - reach, 12 + half}}),
                    polygon({{12 - half, 12 - reach},
                             {12 + half, 12 - reach},
                             {12 + half, 12 + reach},
                             {12 - half, 12 + reach}})};
    }
    return g;
}

// A double-headed horizontal arrow around the centre; turned a quarter for the vertical one.
Glyph resize(Family family, bool vertical) {
    double shaft = family == Family::Slim ? 0.6 : 1.1;
    double head = family == Family::Slim ? 3.6 : 4.3;
    double length = family == Family::Slim ? 4.2 : 4.7;
    double reach = 9.4;
    std::vector<Pt> points = {{-reach, 0},
                              {-reach + length, -head},
                              {-reach + length, -shaft},
                              {reach - length, -shaft},
                              {reach - length, -head},
                              {reach, 0},
                              {reach - length, head},
                              {reach - length, shaft},
                              {-reach + length, shaft},
                              {-reach + length, head}};
    Glyph g;
    g.hotspot = kCentre;
    g.pieces.push_back(polygon(points, kCentre));
    if (vertical) {
        for (auto& p : g.pieces) p = rotated(p, kCentre, kPi / 2);
    }
    return g;
}

Glyph notAllowed(Family family) {
    if (family == Family::Classic) {
        // The arrow with a round "no entry" badge below and to its right.
        Glyph g = arrow(family);
        g.overlay = [](cairo_t* cr, const PackStyle&) {
            Pt c{16.2, 17.4};
            cairo_new_path(cr);
            cairo_arc(cr, c.x, c.y, 5.2, 0, 2 * kPi);
            setColour(cr, rgb(0x000000, 0.85));
            cairo_fill(cr);
            cairo_arc(cr, c.x, c.y, 4.5, 0, 2 * kPi);
            setColour(cr, rgb(0xffffff));
            cairo_fill(cr);
            cairo_set_line_width(cr, 1.35);
            setColour(cr, rgb(0xe0241b));
            cairo_arc(cr, c.x, c.y, 3.2, 0, 2 * kPi);
            cairo_stroke(cr);
            cairo_move_to(cr, c.x - 2.26, c.y - 2.26);
            cairo_line_to(cr, c.x + 2.26, c.y + 2.26);
            cairo_stroke(cr);
        };
        return g;
    }
    // A plate in the rim colour with the ring and bar in the body colour on it, so the symbol
    // reads as one solid sign instead of a tangle of outlined pieces.
    double outer = family == Family::Slim ? 7.8 : 8.0;
    double width = family == Family::Slim ? 1.5 : 2.3;
    Glyph g;
    g.hotspot = kCentre;
    g.plate = true;
    g.pieces = {circle(kCentre, outer)};
    g.overlay = [=](cairo_t* cr, const PackStyle& st) {
        setColour(cr, st.fill);
        cairo_set_line_width(cr, width);
        double r = outer - width / 2;
        cairo_new_path(cr);
        cairo_arc(cr, 12, 12, r, 0, 2 * kPi);
        cairo_stroke(cr);
        double d = r * std::numbers::sqrt2 / 2;
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
        cairo_move_to(cr, 12 - d, 12 - d);
        cairo_line_to(cr, 12 + d, 12 + d);
        cairo_stroke(cr);
    };
    return g;
}

Glyph glyphFor(int type, Family family) {
    switch (type) {
        case 0:
            return arrow(family);
        case 1:
            return iBeam(family);
        case 2:
            return pointingHand();
        case 3:
            return crosshair(family);
        case 4:
            return openHand();
        case 5:
            return closedHand();
        case 6:
            return resize(family, false);
        case 7:
            return resize(family, true);
        default:
            return notAllowed(family);
    }
}

// ---- Rendering ---------------------------------------------------------------------------

cairo_t* designContext(Surface& surface) {
    cairo_t* cr = cairo_create(surface.get());
    cairo_scale(cr, kPixelsPerUnit, kPixelsPerUnit);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    return cr;
}

// The union of the glyph's pieces grown by `grow` (round joins), in one colour.
void silhouette(cairo_t* cr, const Glyph& g, double grow, Colour colour) {
    setColour(cr, colour);
    for (const auto& piece : g.pieces) {
        cairo_new_path(cr);
        piece(cr);
        if (grow > 0) {
            cairo_set_line_width(cr, 2 * grow);
            cairo_stroke_preserve(cr);
        }
        cairo_fill(cr);
    }
}

void finish(cairo_t* cr) {
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status != CAIRO_STATUS_SUCCESS) {
        throw std::runtime_error(std::string("cairo: ") + cairo_status_to_string(status));
    }
}

void paintShadow(Surface& target, const PackStyle& st,
                 const std::function<void(cairo_t*)>& drawShape) {
    if (st.shadowAlpha <= 0) return;
    Surface shadow = makeSurface(target.width(), target.height());
    cairo_t* cr = designContext(shadow);
    cairo_translate(cr, 0, st.shadowDy);
    drawShape(cr);
    finish(cr);
    gaussianBlur(shadow, st.shadowBlur * kPixelsPerUnit);
    cr = cairo_create(target.get());
    cairo_set_source_surface(cr, shadow.get(), 0, 0);
    cairo_paint_with_alpha(cr, st.shadowAlpha);
    finish(cr);
}

Surface renderGlyph(const Glyph& g, const PackStyle& st) {
    int side = static_cast<int>(std::lround(st.box * kPixelsPerUnit));
    Surface image = makeSurface(side, side);
    if (!image) throw std::runtime_error("cannot make a cursor image");
    Colour fill = g.hand ? st.handFill : st.fill;
    Colour outline = g.hand ? st.handOutline : st.outline;
    // Hands are built of round pieces already; growing them would only close the finger gaps.
    double rounding = g.hand ? 0 : st.rounding;
    double outer = (g.hand ? st.handRimWidth : st.rimWidth) + rounding;

    paintShadow(image, st, [&](cairo_t* cr) { silhouette(cr, g, outer, rgb(0x000000)); });
    cairo_t* cr = designContext(image);
    silhouette(cr, g, outer, outline);
    silhouette(cr, g, rounding, g.plate ? outline : fill);
    setColour(cr, outline);
    cairo_set_line_width(cr, st.detailWidth);
    for (auto [a, b] : g.creases) {
        cairo_move_to(cr, a.x, a.y);
        cairo_line_to(cr, b.x, b.y);
    }
    cairo_stroke(cr);
    if (g.overlay) g.overlay(cr, st);
    finish(cr);
    return image;
}

// The dot pack: a translucent disc (or pill) with a white rim and a faint dark edge, so that it
// reads on light and dark screens alike. Types differ by shape and fill, with a small white mark
// where the shape alone would not tell them apart.
Surface renderDot(int type, const PackStyle& st) {
    int side = static_cast<int>(std::lround(st.box * kPixelsPerUnit));
    Surface image = makeSurface(side, side);
    if (!image) throw std::runtime_error("cannot make a cursor image");

    double w = 19, h = 19, fillAlpha = 0.24;
    if (type == 1) w = 9, h = 19.5;                 // text: a slim upright pill
    if (type == 2) fillAlpha = 0.38;                // pointer: denser over links
    if (type == 5) w = h = 15.5, fillAlpha = 0.42;  // closed hand: pressed
    if (type == 6) w = 20.5, h = 13;                // resize-ew
    if (type == 7) w = 13, h = 20.5;                // resize-ns
    auto shape = [&](cairo_t* cr, double grow) {
        double r = std::min(w, h) / 2 + grow;
        roundedRect(12 - w / 2 - grow, 12 - h / 2 - grow, w + 2 * grow, h + 2 * grow, r, r)(cr);
    };
    paintShadow(image, st, [&](cairo_t* cr) {
        shape(cr, 0.9);
        setColour(cr, rgb(0x000000));
        cairo_fill(cr);
    });
    cairo_t* cr = designContext(image);
    shape(cr, 0.9);
    setColour(cr, rgb(0x101014, 0.45));
    cairo_fill(cr);
    shape(cr, 0.35);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);  // the rim's inside is not darkened twice
    setColour(cr, rgb(0xffffff));
    cairo_fill(cr);
    shape(cr, -0.95);
    setColour(cr, rgb(0x1c1c22, fillAlpha));
    cairo_fill(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);

    setColour(cr, rgb(0xffffff, 0.95));
    cairo_set_line_width(cr, 1.1);
    if (type == 3) {  // crosshair: a precise centre point
        cairo_arc(cr, 12, 12, 1.3, 0, 2 * kPi);
        cairo_fill(cr);
    } else if (type == 6 || type == 7) {  // resize: chevrons towards both ends
        cairo_save(cr);
        if (type == 7) {
            cairo_translate(cr, 12, 12);
            cairo_rotate(cr, kPi / 2);
            cairo_translate(cr, -12, -12);
        }
        for (double dir : {-1.0, 1.0}) {
            cairo_move_to(cr, 12 + dir * 4.6, 10.1);
            cairo_line_to(cr, 12 + dir * 6.5, 12);
            cairo_line_to(cr, 12 + dir * 4.6, 13.9);
        }
        cairo_stroke(cr);
        cairo_restore(cr);
    } else if (type == 8) {  // not allowed: a slash across
        cairo_move_to(cr, 12 - 4.6, 12 - 4.6);
        cairo_line_to(cr, 12 + 4.6, 12 + 4.6);
        cairo_set_line_width(cr, 1.5);
        cairo_stroke(cr);
    }
    finish(cr);
    return image;
}

const std::vector<PackStyle>& packStyles() {
    static const std::vector<PackStyle> styles = {
        // Classic desktop cursors: crisp black shapes with a white rim, white hands. The box is
        // larger than the design because the system pack is drawn at a larger size factor; this
        // keeps its arrow the same size on screen as the other packs' arrows.
        {"system", Family::Classic, 40, rgb(0x000000), rgb(0xffffff), rgb(0xffffff), rgb(0x000000),
         1.35, 1.0, 0, 0.75, 0.38, 0.9, 0.7},
        // Softer, rounder modern shapes in graphite with a wide white rim.
        {"tahoe", Family::Soft, kDesign, rgb(0x1d1d22), rgb(0xffffff), rgb(0x1d1d22), rgb(0xffffff),
         1.45, 1.3, 0.55, 0.7, 0.34, 1.3, 0.9},
        // The same shapes light on a graphite rim.
        {"tahoe-inverted", Family::Soft, kDesign, rgb(0xffffff), rgb(0x1d1d22), rgb(0xffffff),
         rgb(0x1d1d22), 1.3, 1.15, 0.55, 0.7, 0.3, 1.3, 0.9},
        // Design-tool cursors: slim, sharp, a thin rim and a tight shadow.
        {"figma", Family::Slim, kDesign, rgb(0x0a0a0a), rgb(0xffffff), rgb(0xffffff), rgb(0x0a0a0a),
         0.95, 0.8, 0, 0.6, 0.3, 0.45, 0.45},
        {"dot", Family::Dot, kDesign, rgb(0xffffff), rgb(0xffffff), rgb(0xffffff), rgb(0xffffff), 0,
         0, 0, 0, 0.22, 1.0, 0.4},
    };
    return styles;
}

// ---- Packs -------------------------------------------------------------------------------

Json packJson(const PackStyle& st, std::vector<CursorPackAsset>& drawn) {
    Json pack = Json::object();
    for (std::size_t type = 0; type < packTypes.size(); ++type) {
        Pt hotspot = kCentre;
        Surface image;
        if (st.family == Family::Dot) {
            image = renderDot(static_cast<int>(type), st);
        } else {
            Glyph g = glyphFor(static_cast<int>(type), st.family);
            hotspot = g.hotspot;
            image = renderGlyph(g, st);
        }
        pack[std::string(packTypes[type])] = {
            {"dataUrl", "data:image/png;base64," + base64(encodePng(image))},
            {"width", st.box},
            {"height", st.box},
            {"hotspotX", hotspot.x},
            {"hotspotY", hotspot.y},
        };
        drawn.push_back({image, st.box, st.box, hotspot.x, hotspot.y});
    }
    return pack;
}

// Draws an asset the way the export does: scaled to `height` on screen, hotspot on `at`.
void drawAsset(cairo_t* cr, const CursorPackAsset& asset, double height, Pt at) {
    double g = height / asset.height;
    double pixelScale = height / asset.image.height();
    cairo_save(cr);
    cairo_translate(cr, at.x - asset.hotspotX * g, at.y - asset.hotspotY * g);
    cairo_scale(cr, pixelScale, pixelScale);
    cairo_set_source_surface(cr, asset.image.get(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_paint(cr);
    cairo_restore(cr);
}

void writePreview(const std::filesystem::path& dir,
                  const std::vector<std::pair<double, std::vector<CursorPackAsset>>>& packs) {
    const int cell = 200, strip = 90, rowHeight = 2 * strip + 230;
    const int columns = static_cast<int>(packTypes.size());
    Surface sheet = makeSurface(cell * columns, rowHeight * static_cast<int>(packs.size()));
    cairo_t* cr = cairo_create(sheet.get());
    for (std::size_t row = 0; row < packs.size(); ++row) {
        double top = row * rowHeight;
        const auto& [factor, assets] = packs[row];
        // On-screen size at 1080p with the cursor size setting at 1.5, over light and dark.
        double onScreen = 28 * 1.5 * factor;
        for (int col = 0; col < columns; ++col) {
            double left = col * cell;
            const double grounds[][3] = {{0.96, 0.96, 0.97}, {0.13, 0.14, 0.17}};
            for (int i = 0; i < 2; ++i) {
                cairo_rectangle(cr, left, top + i * strip, cell, strip);
                cairo_set_source_rgb(cr, grounds[i][0], grounds[i][1], grounds[i][2]);
                cairo_fill(cr);
            }
            cairo_rectangle(cr, left, top + 2 * strip, cell, rowHeight - 2 * strip);
            cairo_set_source_rgb(cr, (col % 2) ? 0.55 : 0.6, 0.62, 0.7);
            cairo_fill(cr);
            const auto& asset = assets[col];
            for (int i = 0; i < 2; ++i) {
                drawAsset(cr, asset, onScreen, {left + 40, top + i * strip + 30});
                drawAsset(cr, asset, onScreen * 2, {left + 120, top + i * strip + 30});
            }
            // Magnified so that the 24-unit design spans 200 pixels, hotspot marked.
            Pt at{left + asset.hotspotX / asset.width * 200 * asset.width / kDesign,
                  top + 2 * strip + 10 + asset.hotspotY * 200 / kDesign};
            drawAsset(cr, asset, 200 * asset.height / kDesign, at);
            cairo_set_source_rgb(cr, 1, 0, 0.3);
            cairo_set_line_width(cr, 1);
            cairo_move_to(cr, at.x - 5, at.y);
            cairo_line_to(cr, at.x + 5, at.y);
            cairo_move_to(cr, at.x, at.y - 5);
            cairo_line_to(cr, at.x, at.y + 5);
            cairo_stroke(cr);
        }
    }
    finish(cr);
    std::filesystem::create_directories(dir);
    writeBytes(dir / "cursors.png", encodePng(sheet));
}

}  // namespace

void makeCursorPacks(const std::filesystem::path& webRoot,
                     const std::optional<std::filesystem::path>& previewDir) {
    std::vector<std::pair<double, std::vector<CursorPackAsset>>> previews;
    for (const auto& st : packStyles()) {
        std::string file = packFile(st.style).value();
        std::vector<CursorPackAsset> drawn;
        Json pack = packJson(st, drawn);
        writeBytes(webRoot / "cursors" / file, pack.dump(1) + "\n");

        auto loaded = loadCursorPack(file, webRoot);
        if (!loaded || loaded->size() != packTypes.size()) {
            throw std::runtime_error(file + " does not load with every cursor type");
        }
        previews.emplace_back(styleSizeMultiplier(st.style), std::move(drawn));
        std::cout << "cursors/" << file << "\n";
    }
    if (previewDir) writePreview(*previewDir, previews);
}

}  // namespace marlune::assets
