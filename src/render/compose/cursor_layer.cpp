#include "render/compose/cursor_layer.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string_view>

#include "render/blur.h"
#include "render/composition.h"
#include "render/cursor_pack.h"

namespace marlune {

namespace {

constexpr double kCursorAlpha = 0.95;
// Hotspot of the drawn arrow: the tip, just inside the outline (fractions of its height).
constexpr double kArrowAspect = 0.7142857142857143;
constexpr double kArrowHotspotX = 0.075;
constexpr double kArrowHotspotY = 0.036;

}  // namespace

CursorLayer::CursorLayer(const CursorFX& cursor, int width,
                         const std::optional<std::filesystem::path>& webRoot) {
    cursorH_ = cursorHeight(cursor, width);
    if (auto file = packFile(cursor.style)) {
        if (auto loaded = loadCursorPack(*file, webRoot)) {
            for (auto& [type, asset] : *loaded) {
                pack_.emplace(type, Art{MipChain(asset.image), asset.width, asset.height,
                                        asset.hotspotX, asset.hotspotY});
            }
        }
    }
    if (pack_.empty()) {
        const std::string_view style = cursor.style;
        const std::string_view drawnStyle =
            style == "invert" || style == "dot" ? style : std::string_view("arrow");
        Surface image = arrowImage(drawnStyle, 4 * cursorH_);
        if (image) {
            drawn_ = Art{MipChain(image), static_cast<double>(image.width()),
                         static_cast<double>(image.height()), 0, 0};
            drawnDot_ = drawnStyle == "dot";
        }
    }
    ripples_ = cursor.ripple && !cursor.clicks.empty();
}

void CursorLayer::drawRipples(cairo_t* cr, const FrameLayer& frame, const ScreenPlacement& layer,
                              const CursorFX& cursor, double ms) const {
    const int w = frame.width(), h = frame.height();
    cursor.forEachClickBetween(ms - 775, ms - 175, [&](const TrackPoint& click) {
        auto ripple = rippleAt(ms - click.t, cursorH_);
        // Past about 0.3 of its time a ripple is too faint to change a pixel.
        if (!ripple || ripple->alpha * 255 < 0.5) return;
        const Point c = layer.at(click.fx, click.fy, w, h);
        const double radius = ripple->radius * layer.s * layer.k;
        const double lineWidth = ripple->lineWidth * layer.s * layer.k;
        const double reach = radius + lineWidth / 2 + layer.s * layer.k + 1;
        frame.overlay(
            cr, pixelBounds(c.x - reach, c.y - reach, c.x + reach, c.y + reach, frame.canvasRect()),
            [&] {
                cairo_new_path(cr);
                cairo_arc(cr, c.x, c.y, radius, 0, 2 * std::numbers::pi);
                // A dark halo under the white ring: visible on a white page as on a dark one.
                cairo_set_line_width(cr, lineWidth + 2 * layer.s * layer.k);
                cairo_set_source_rgba(cr, 0, 0, 0, ripple->alpha * 0.6);
                cairo_stroke_preserve(cr);
                cairo_set_line_width(cr, lineWidth);
                cairo_set_source_rgba(cr, 1, 1, 1, ripple->alpha);
                cairo_stroke(cr);
            });
    });
}

void CursorLayer::drawCursor(cairo_t* cr, const FrameLayer& frame, const ScreenPlacement& layer,
                             const MotionSim::CursorOut& c) const {
    const double h1 = layer.s * cursorH_;  // displayed height on the screen layer
    const double k = layer.k;
    const Art* art = nullptr;
    double sx = 0, sy = 0, hx = 0, hy = 0;  // canvas pixels per base pixel; hotspot
    if (!pack_.empty()) {
        auto it = pack_.find(c.typeIdx);
        if (it == pack_.end()) it = pack_.find(0);
        art = &it->second;
        const Surface& base = art->mip.base();
        const double g = h1 / art->height;
        sx = art->width * g / base.width() * k;
        sy = h1 / base.height() * k;
        hx = art->hotspotX * g * k;
        hy = art->hotspotY * g * k;
    } else {
        art = &*drawn_;
        const Surface& base = art->mip.base();
        sx = sy = h1 / (4 * cursorH_) * k;
        if (drawnDot_) {
            hx = base.width() * sx / 2;
            hy = base.height() * sy / 2;
        } else {
            hx = h1 * kArrowAspect * kArrowHotspotX * k;
            hy = h1 * kArrowHotspotY * k;
        }
    }
    const Point p = layer.at(c.x, c.y, frame.width(), frame.height());
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !(sx > 0) || !(sy > 0)) return;
    const Surface& base = art->mip.base();
    const Surface& level = art->mip.forScale(std::max(sx, sy));
    const double lx = sx * base.width() / level.width();
    const double ly = sy * base.height() / level.height();
    const double cw = base.width() * sx, ch = base.height() * sy;  // displayed, unturned
    const double bounce = c.bounceK;
    const IntRect& canvasRect = frame.canvasRect();

    auto place = [&] {
        cairo_translate(cr, p.x, p.y);
        cairo_rotate(cr, c.rot);
        cairo_scale(cr, bounce, bounce);
        cairo_translate(cr, -hx, -hy);
    };

    const double v = std::hypot(c.blurVX, c.blurVY) * layer.s;
    if (!(v > 1.5) || !std::isfinite(v)) {
        cairo_save(cr);
        place();
        const IntRect box = transformedBounds(cr, cw, ch, canvasRect);
        cairo_restore(cr);
        frame.overlay(cr, box, [&] {
            cairo_save(cr);
            place();
            cairo_scale(cr, lx, ly);
            setBilinearSource(cr, level.get(), 0, 0);
            cairo_paint_with_alpha(cr, kCursorAlpha);
            cairo_restore(cr);
        });
        return;
    }

    // Motion blur: turn the cursor so that its motion runs along x, streak it, soften it, and
    // turn it back while placing it.
    const double theta = std::atan2(c.blurVY, c.blurVX);
    const double radius = std::min(v / 2, 256.0) * k;
    const double sigma = std::max(std::min(v, 512.0) / 24, 0.5) * k;
    const double turnedW = std::abs(cw * std::cos(theta)) + std::abs(ch * std::sin(theta));
    const double turnedH = std::abs(cw * std::sin(theta)) + std::abs(ch * std::cos(theta));
    const int mx = static_cast<int>(std::ceil(radius + 3 * sigma)) + 2;
    const int my = static_cast<int>(std::ceil(3 * sigma)) + 2;
    Surface streak = makeSurface(static_cast<int>(std::ceil(turnedW)) + 2 * mx,
                                 static_cast<int>(std::ceil(turnedH)) + 2 * my);
    if (!streak) return;
    const double scx = streak.width() / 2.0, scy = streak.height() / 2.0;
    cairo_t* sc = cairo_create(streak.get());
    cairo_translate(sc, scx, scy);
    cairo_rotate(sc, -theta);
    cairo_translate(sc, -cw / 2, -ch / 2);
    cairo_scale(sc, lx, ly);
    setBilinearSource(sc, level.get(), 0, 0);
    cairo_paint(sc);
    cairo_destroy(sc);
    cairo_surface_flush(streak.get());
    horizontalMotionBlur(streak, radius, sigma);

    auto placeStreak = [&] {
        place();
        cairo_translate(cr, cw / 2, ch / 2);
        cairo_rotate(cr, theta);
        cairo_translate(cr, -scx, -scy);
    };
    cairo_save(cr);
    placeStreak();
    const IntRect box = transformedBounds(cr, streak.width(), streak.height(), canvasRect);
    cairo_restore(cr);
    frame.overlay(cr, box, [&] {
        cairo_save(cr);
        placeStreak();
        setBilinearSource(cr, streak.get(), 0, 0);
        cairo_paint_with_alpha(cr, kCursorAlpha);
        cairo_restore(cr);
    });
}

}  // namespace marlune
