#pragma once

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "render/composition.h"

namespace marlune {

// Pixel geometry shared by the composer's layers. Pure helpers; any thread.

// Cairo's image size limit; larger canvases are passed on as they are.
inline constexpr int kMaxSide = 32767;

struct IntRect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // [x0, x1) × [y0, y1)

    bool empty() const { return x1 <= x0 || y1 <= y0; }
    bool contains(const IntRect& r) const {
        return r.x0 >= x0 && r.y0 >= y0 && r.x1 <= x1 && r.y1 <= y1;
    }
    IntRect intersect(const IntRect& r) const {
        return {std::max(x0, r.x0), std::max(y0, r.y0), std::min(x1, r.x1), std::min(y1, r.y1)};
    }
};

// The pixel rectangle covering the doubles' bounds, limited to `clip` (so that far-off or
// non-finite coordinates never reach an int).
inline IntRect pixelBounds(double x0, double y0, double x1, double y1, const IntRect& clip) {
    auto lo = [](double v, int min, int max) {
        return std::isfinite(v) ? static_cast<int>(std::floor(std::clamp<double>(v, min, max)))
                                : min;
    };
    auto hi = [](double v, int min, int max) {
        return std::isfinite(v) ? static_cast<int>(std::ceil(std::clamp<double>(v, min, max)))
                                : min;
    };
    if (!(x0 <= x1 && y0 <= y1)) return {};
    return {lo(x0, clip.x0, clip.x1), lo(y0, clip.y0, clip.y1), hi(x1, clip.x0, clip.x1),
            hi(y1, clip.y0, clip.y1)};
}

// Bounds of the rectangle (0, 0, w, h) under the current transformation of `cr`, in device
// pixels, grown by a pixel for anti-aliasing.
inline IntRect transformedBounds(cairo_t* cr, double w, double h, const IntRect& clip) {
    double xs[4] = {0, w, w, 0}, ys[4] = {0, 0, h, h};
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    for (int i = 0; i < 4; ++i) {
        cairo_user_to_device(cr, &xs[i], &ys[i]);
        x0 = std::min(x0, xs[i]);
        y0 = std::min(y0, ys[i]);
        x1 = std::max(x1, xs[i]);
        y1 = std::max(y1, ys[i]);
    }
    return pixelBounds(x0 - 1, y0 - 1, x1 + 1, y1 + 1, clip);
}

inline std::uint32_t* pixelRow(cairo_surface_t* s, int y) {
    return reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(s) +
                                            static_cast<std::size_t>(y) *
                                                cairo_image_surface_get_stride(s));
}

inline const std::uint8_t* alphaRow(cairo_surface_t* s, int y) {
    return cairo_image_surface_get_data(s) +
           static_cast<std::size_t>(y) * cairo_image_surface_get_stride(s);
}

// Where the screen layer (the zoomed source with its overlays) lands on the canvas of one frame.
struct ScreenPlacement {
    double ox = 0, oy = 0, k = 1;  // placement in the frame
    double s = 1, tx = 0, ty = 0;  // zoom
    // Canvas position of a point given in fractions of the W × H source picture.
    Point at(double fx, double fy, double W, double H) const {
        return {ox + k * (tx + fx * W * s), oy + k * (ty + fy * H * s)};
    }
};

}  // namespace marlune
