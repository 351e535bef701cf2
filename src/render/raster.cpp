#include "render/raster.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace marlune {

Surface wrapImage(const BgraImage& image) {
    if (image.empty()) return {};
    // Cairo only reads through this surface when the caller uses it as a source.
    auto* data = const_cast<std::uint8_t*>(image.pixels.data());
    return Surface::adopt(cairo_image_surface_create_for_data(
        data, CAIRO_FORMAT_ARGB32, image.width, image.height, image.stride));
}

namespace {

// One output row of a 2 × 2 box reduction; `w` is the input width, `C` bytes per pixel.
template <int C>
void halveRow(const unsigned char* __restrict r0, const unsigned char* __restrict r1,
              unsigned char* __restrict out, int w) {
    const int pairs = w / 2;
    for (int x = 0; x < pairs; ++x) {
        for (int c = 0; c < C; ++c) {
            const int sum = r0[2 * C * x + c] + r0[2 * C * x + C + c] + r1[2 * C * x + c] +
                            r1[2 * C * x + C + c];
            out[C * x + c] = static_cast<unsigned char>((sum + 2) >> 2);
        }
    }
    if (w % 2) {  // the last column pairs with itself
        const int x = pairs;
        for (int c = 0; c < C; ++c) {
            const int sum = 2 * (r0[2 * C * x + c] + r1[2 * C * x + c]);
            out[C * x + c] = static_cast<unsigned char>((sum + 2) >> 2);
        }
    }
}

}  // namespace

Surface halveImage(const Surface& image) {
    if (!image) return {};
    const cairo_format_t format = cairo_image_surface_get_format(image.get());
    if (format != CAIRO_FORMAT_ARGB32 && format != CAIRO_FORMAT_A8) return {};
    const int w = image.width(), h = image.height();
    Surface out = Surface::adopt(cairo_image_surface_create(format, (w + 1) / 2, (h + 1) / 2));
    if (!out) return {};
    cairo_surface_flush(image.get());
    const unsigned char* src = cairo_image_surface_get_data(image.get());
    const int ss = cairo_image_surface_get_stride(image.get());
    unsigned char* dst = cairo_image_surface_get_data(out.get());
    const int ds = cairo_image_surface_get_stride(out.get());
    const int rows = out.height();
    for (int y = 0; y < rows; ++y) {
        const unsigned char* r0 = src + static_cast<std::size_t>(2 * y) * ss;
        const unsigned char* r1 = src + static_cast<std::size_t>(std::min(2 * y + 1, h - 1)) * ss;
        unsigned char* o = dst + static_cast<std::size_t>(y) * ds;
        if (format == CAIRO_FORMAT_ARGB32) {
            halveRow<4>(r0, r1, o, w);
        } else {
            halveRow<1>(r0, r1, o, w);
        }
    }
    cairo_surface_mark_dirty(out.get());
    return out;
}

MipChain::MipChain(Surface base, int minSide) {
    if (!base) return;
    levels_.push_back(std::move(base));
    while (levels_.back().width() / 2 >= minSide && levels_.back().height() / 2 >= minSide) {
        Surface next = halveImage(levels_.back());
        if (!next) break;
        levels_.push_back(std::move(next));
    }
}

const Surface& MipChain::forScale(double scale) const {
    // Level i is about 2^-i of the base; keep the last one that is still at least the wanted size.
    std::size_t level = 0;
    const double baseHeight = levels_.front().height();
    while (level + 1 < levels_.size() && levels_[level + 1].height() >= scale * baseHeight) {
        ++level;
    }
    return levels_[level];
}

Surface reduceForScale(Surface image, double& scaleX, double& scaleY) {
    while (image && scaleX < 0.5 && scaleY < 0.5 && image.width() > 1 && image.height() > 1) {
        const int w = image.width(), h = image.height();
        Surface half = halveImage(image);
        if (!half) break;
        scaleX *= static_cast<double>(w) / half.width();
        scaleY *= static_cast<double>(h) / half.height();
        image = std::move(half);
    }
    return image;
}

void paintAspectFill(cairo_t* cr, const Surface& image, int width, int height) {
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    if (!image || image.width() <= 0 || image.height() <= 0) {
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_paint(cr);
        cairo_restore(cr);
        return;
    }
    const double scale = std::max(static_cast<double>(width) / image.width(),
                                  static_cast<double>(height) / image.height());
    double sx = scale, sy = scale;
    Surface level = reduceForScale(image, sx, sy);
    cairo_translate(cr, (width - image.width() * scale) / 2, (height - image.height() * scale) / 2);
    cairo_scale(cr, sx, sy);
    setBilinearSource(cr, level.get(), 0, 0, CAIRO_EXTEND_PAD);
    cairo_paint(cr);
    cairo_restore(cr);
}

void roundedRectPath(cairo_t* cr, double x, double y, double w, double h, double radius) {
    const double r = std::clamp(radius, 0.0, std::min(w, h) / 2);
    if (r <= 0) {
        cairo_rectangle(cr, x, y, w, h);
        return;
    }
    constexpr double pi = std::numbers::pi;
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -pi / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, pi / 2);
    cairo_arc(cr, x + r, y + h - r, r, pi / 2, pi);
    cairo_arc(cr, x + r, y + r, r, pi, 3 * pi / 2);
    cairo_close_path(cr);
}

void setBilinearSource(cairo_t* cr, cairo_surface_t* image, double x, double y,
                       cairo_extend_t extend) {
    cairo_set_source_surface(cr, image, x, y);
    cairo_pattern_t* pattern = cairo_get_source(cr);
    cairo_pattern_set_filter(pattern, CAIRO_FILTER_BILINEAR);
    cairo_pattern_set_extend(pattern, extend);
}

}  // namespace marlune
