#include "recording/webcam_bubble_layout.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

namespace marlune {

namespace {

// A continuous corner of radius r starts this far from the corner along each side, and is a
// quarter of a superellipse |x|^n + |y|^n = 1 of this exponent: its curvature grows from zero
// where it leaves the side, and its middle lies as far from the corner as a circle's of radius r
// would.
constexpr double kContinuousExtent = 1.528;
constexpr double kContinuousExponent = 3.26;
// Points per half corner: fine enough that the polygon is indistinguishable from the curve at the
// largest bubble.
constexpr int kStepsPerHalfCorner = 12;

int bubbleWidth(std::string_view size) {
    if (size == "s") return 160;
    if (size == "l") return 300;
    return 220;
}

using Point = std::pair<double, double>;

// One corner: from the side ending at vertex (vx, vy) coming along `in`, to the side leaving it
// along `out`, as a quarter superellipse of half-extent `e` and exponent `n` (2 is a circle).
void addCorner(std::vector<Point>& points, double vx, double vy, Point in, Point out, double e,
               double n) {
    const double cx = vx - e * in.first + e * out.first;
    const double cy = vy - e * in.second + e * out.second;
    auto at = [&](double u, double v) {
        points.emplace_back(cx + e * (u * in.first - v * out.first),
                            cy + e * (u * in.second - v * out.second));
    };
    const double middle = std::pow(0.5, 1.0 / n);
    // Each half is stepped along the coordinate that changes slowly there, so the points spread
    // evenly along the curve.
    for (int i = 0; i <= kStepsPerHalfCorner; ++i) {
        double u = middle * i / kStepsPerHalfCorner;
        at(u, std::pow(1.0 - std::pow(u, n), 1.0 / n));
    }
    for (int i = kStepsPerHalfCorner - 1; i >= 0; --i) {
        double v = middle * i / kStepsPerHalfCorner;
        at(std::pow(1.0 - std::pow(v, n), 1.0 / n), v);
    }
}

}  // namespace

BubbleLayout bubbleLayout(std::string_view corner, std::string_view size, std::string_view shape,
                          const BubbleRect& workArea) {
    BubbleLayout b;
    const int w = bubbleWidth(size);
    int h = w;
    if (shape == "wide") {
        h = static_cast<int>(std::lround(w * 9.0 / 16.0));
        b.cornerRadius = 0.21 * h;
        b.continuousCorner = true;
    } else if (shape == "squircle") {
        b.cornerRadius = 0.21 * w;
        b.continuousCorner = true;
    } else {
        b.cornerRadius = w / 2.0;
    }
    const int left = workArea.x + kBubbleMargin;
    const int right = workArea.x + workArea.width - kBubbleMargin - w;
    const int top = workArea.y + kBubbleMargin;
    const int bottom = workArea.y + workArea.height - kBubbleMargin - h;
    if (corner == "tl") {
        b.frame = {left, top, w, h};
    } else if (corner == "tr") {
        b.frame = {right, top, w, h};
    } else if (corner == "bl") {
        b.frame = {left, bottom, w, h};
    } else {
        b.frame = {right, bottom, w, h};
    }
    return b;
}

std::vector<std::pair<double, double>> bubbleOutline(const BubbleLayout& layout) {
    const double w = layout.frame.width;
    const double h = layout.frame.height;
    const double half = std::min(w, h) / 2.0;
    double e = std::clamp(layout.cornerRadius, 0.0, half);
    double n = 2.0;
    if (layout.continuousCorner) {
        e = std::min(layout.cornerRadius * kContinuousExtent, half);
        n = kContinuousExponent;
    }
    std::vector<Point> points;
    points.reserve(4 * (2 * kStepsPerHalfCorner + 1));
    // Clockwise on the screen (y down), each corner entered from the side before it.
    addCorner(points, 0, 0, {0, -1}, {1, 0}, e, n);   // top left
    addCorner(points, w, 0, {1, 0}, {0, 1}, e, n);    // top right
    addCorner(points, w, h, {0, 1}, {-1, 0}, e, n);   // bottom right
    addCorner(points, 0, h, {-1, 0}, {0, -1}, e, n);  // bottom left
    return points;
}

void addBubblePath(cairo_t* cr, const BubbleLayout& layout) {
    auto points = bubbleOutline(layout);
    cairo_new_sub_path(cr);
    for (const auto& [x, y] : points) cairo_line_to(cr, x, y);
    cairo_close_path(cr);
}

void paintBubble(cairo_t* cr, const BubbleLayout& layout, const VideoFrame* picture, double zoom,
                 bool ring) {
    const double w = layout.frame.width;
    const double h = layout.frame.height;
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(cr, 0, 0, 0, 0);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);

    cairo_new_path(cr);
    addBubblePath(cr, layout);
    cairo_clip(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);

    if (picture && picture->valid()) {
        // The pixels are shared and never written: cairo only reads a source surface.
        cairo_surface_t* source = cairo_image_surface_create_for_data(
            const_cast<unsigned char*>(picture->pixels.get()), CAIRO_FORMAT_RGB24, picture->width,
            picture->height, picture->stride);
        double scale = std::max(w / picture->width, h / picture->height);
        if (zoom > 1) scale *= zoom;
        cairo_save(cr);
        cairo_translate(cr, w / 2, h / 2);
        cairo_scale(cr, scale, scale);
        cairo_translate(cr, -picture->width / 2.0, -picture->height / 2.0);
        cairo_set_source_surface(cr, source, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
        // The picture's edge pixels reach to the bubble's edge instead of fading into the black.
        cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
        cairo_paint(cr);
        cairo_restore(cr);
        cairo_surface_destroy(source);
    }

    if (ring) {
        // Stroked along the edge at twice the width and clipped by the outline, so that the ring
        // lies inside the bubble and follows its corners.
        cairo_new_path(cr);
        addBubblePath(cr, layout);
        cairo_set_line_width(cr, 2 * kBubbleRingWidth);
        cairo_set_source_rgba(cr, 1, 1, 1, kBubbleRingAlpha);
        cairo_stroke(cr);
    }
    cairo_restore(cr);
}

int previewHalvings(const BubbleLayout& layout, int pictureWidth, int pictureHeight, double zoom,
                    int pixelScale) {
    if (pictureWidth <= 0 || pictureHeight <= 0) return 0;
    double cover = std::max(double(layout.frame.width) / pictureWidth,
                            double(layout.frame.height) / pictureHeight) *
                   std::max(zoom, 1.0) * std::max(pixelScale, 1);
    int halvings = 0;
    while (cover <= 0.5 && pictureWidth >= 4 && pictureHeight >= 4) {
        cover *= 2;
        pictureWidth /= 2;
        pictureHeight /= 2;
        ++halvings;
    }
    return halvings;
}

BgraImage halvedPicture(BgraPixels picture) {
    BgraImage out = BgraImage::blank(picture.width / 2, picture.height / 2);
    for (int y = 0; y < out.height; ++y) {
        const std::uint8_t* a = picture.data + std::size_t(2 * y) * picture.stride;
        const std::uint8_t* b = a + picture.stride;
        std::uint8_t* o = out.row(y);
        for (int x = 0; x < out.width * 4; ++x) {
            const int i = (x & ~3) * 2 + (x & 3);  // the same channel of pixels 2x and 2x + 1
            o[x] = static_cast<std::uint8_t>((a[i] + a[i + 4] + b[i] + b[i + 4] + 2) >> 2);
        }
    }
    return out;
}

}  // namespace marlune
