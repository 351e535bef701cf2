#include "render/compose/frame_layer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/folder_file.h"
#include "render/blur.h"
#include "render/raster.h"
#include "render/resample.h"

namespace marlune {

namespace {

// d = b + (d - b) × m / 255 per channel: the screen pixel over the background through coverage m.
void blendThroughCoverage(std::uint32_t* d, const std::uint32_t* b, const std::uint8_t* m, int n) {
    for (int i = 0; i < n; ++i) {
        const std::uint32_t a = m[i], na = 255 - a, dv = d[i], bv = b[i];
        std::uint32_t out = 0;
        for (int shift = 0; shift < 32; shift += 8) {
            const std::uint32_t c =
                ((dv >> shift & 255) * a + (bv >> shift & 255) * na + 127) / 255;
            out |= c << shift;
        }
        d[i] = out;
    }
}

// Premultiplied source-over of n pixels.
void over(std::uint32_t* d, const std::uint32_t* s, int n) {
    for (int i = 0; i < n; ++i) {
        const std::uint32_t sv = s[i], na = 255 - (sv >> 24), dv = d[i];
        std::uint32_t out = 0;
        for (int shift = 0; shift < 32; shift += 8) {
            const std::uint32_t c = (sv >> shift & 255) + ((dv >> shift & 255) * na + 127) / 255;
            out |= std::min<std::uint32_t>(c, 255) << shift;
        }
        d[i] = out;
    }
}

}  // namespace

FrameLayer::FrameLayer(int width, int height, int canvasWidth, int canvasHeight)
    : w_(width),
      h_(height),
      cw_(canvasWidth),
      ch_(canvasHeight),
      canvasRect_{0, 0, canvasWidth, canvasHeight},
      shownLayer_{0, 0, static_cast<double>(width), static_cast<double>(height)} {}

// Fills, with alpha `alpha`, what the placed screen covers: the rounded rectangle, and only where
// the placed picture reaches (on a portrait canvas the picture is shorter than the rectangle).
// For A8 surfaces, where only the alpha counts.
void FrameLayer::fillScreenShape(cairo_t* cr, double alpha) const {
    const Rect& r = geo_.screen;
    cairo_rectangle(cr, geo_.origin.x, geo_.origin.y, w_ * geo_.scale, h_ * geo_.scale);
    cairo_clip(cr);
    roundedRectPath(cr, r.x, r.y, r.width, r.height, geo_.radius);
    cairo_set_source_rgba(cr, 0, 0, 0, alpha);
    cairo_fill(cr);
}

// The screen's soft shadow on the canvas (A8), or nothing without one.
Surface FrameLayer::screenShadow() const {
    if (!(geo_.shadowBlur > 0)) return {};
    const double b = geo_.shadowBlur;
    const int margin = static_cast<int>(std::ceil(3 * b)) + 2;
    Surface wide = Surface::adopt(
        cairo_image_surface_create(CAIRO_FORMAT_A8, cw_ + 2 * margin, ch_ + 2 * margin));
    if (!wide) return {};
    cairo_t* cr = cairo_create(wide.get());
    // The shadow of what the screen covers (see the coverage), moved down.
    cairo_translate(cr, margin, margin + 0.4 * b);
    fillScreenShape(cr, 0.6);
    cairo_destroy(cr);
    cairo_surface_flush(wide.get());
    gaussianBlur(wide, b);
    Surface shadow = Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, cw_, ch_));
    if (shadow) {
        cr = cairo_create(shadow.get());
        cairo_set_source_surface(cr, wide.get(), -margin, -margin);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_flush(shadow.get());
    }
    return shadow;
}

void FrameLayer::prepare(const FrameSettings& frame,
                         const std::optional<std::filesystem::path>& webRoot) {
    geo_ = frameGeometry(frame, w_, h_, cw_, ch_);
    Surface shadow = screenShadow();

    auto liveFile = frame.type == "live" && webRoot
                        ? webResource(*webRoot, "wallpapers/live", frame.id, ".mp4")
                        : std::nullopt;
    auto liveLocation = liveFile ? FolderPath::inside(*webRoot, *liveFile) : std::nullopt;
    if (liveLocation) {
        auto reader = LiveBackgroundReader::open(*liveLocation);
        if (reader) {
            live_.emplace(std::move(*reader));
            liveBackground_ = makeSurface(cw_, ch_);
            liveShadow_ = shadow;
            if (!liveBackground_) live_.reset();
        }
    }
    if (!live_) {
        staticBackground_ = backgroundImage(frame, cw_, ch_, webRoot);
        if (!staticBackground_) return;  // out of memory: the frame stays unstyled
        if (shadow) {
            cairo_t* cr = cairo_create(staticBackground_.get());
            cairo_set_source_rgb(cr, 0, 0, 0);
            cairo_mask_surface(cr, shadow.get(), 0, 0);
            cairo_destroy(cr);
            cairo_surface_flush(staticBackground_.get());
        }
    }

    // What the screen covers: the rounded rectangle, and only where the placed picture reaches
    // (on a portrait canvas the picture is shorter than the rectangle, and the background shows
    // above it).
    coverage_ = Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, cw_, ch_));
    if (!coverage_) {
        staticBackground_ = {};
        live_.reset();
        return;
    }
    cairo_t* cr = cairo_create(coverage_.get());
    fillScreenShape(cr, 1);
    cairo_destroy(cr);
    cairo_surface_flush(coverage_.get());
    measureCoverage();
    collectOutline();

    const double cut = std::max(0.0, (geo_.screen.y - geo_.origin.y) / geo_.scale);
    shownLayer_ = {0, cut, static_cast<double>(w_), h_ - cut};
    styled_ = true;
}

void FrameLayer::measureCoverage() {
    spans_.assign(ch_, {});
    covered_ = {cw_, ch_, 0, 0};
    for (int y = 0; y < ch_; ++y) {
        const std::uint8_t* m = alphaRow(coverage_.get(), y);
        RowSpans& s = spans_[y];
        int x0 = 0;
        while (x0 < cw_ && !m[x0]) ++x0;
        if (x0 == cw_) continue;
        int x3 = cw_;
        while (!m[x3 - 1]) --x3;
        int x1 = x0;
        while (x1 < x3 && m[x1] != 255) ++x1;
        int x2 = x3;
        while (x2 > x1 && m[x2 - 1] != 255) --x2;
        // Coverage of a convex shape never dips inside a row; if it did, blend the whole row.
        if (std::any_of(m + x1, m + x2, [](std::uint8_t v) { return v != 255; })) x1 = x2 = x3;
        s = {x0, x1, x2, x3};
        covered_ = {std::min(covered_.x0, x0), std::min(covered_.y0, y), std::max(covered_.x1, x3),
                    std::max(covered_.y1, y + 1)};
    }
    if (covered_.empty()) covered_ = {};

    // The fully covered rectangle: the widest full span, over the rows that all have it.
    inner_ = {};
    int best = -1;
    for (int y = 0; y < ch_; ++y) {
        if (spans_[y].x2 - spans_[y].x1 > best) {
            best = spans_[y].x2 - spans_[y].x1;
            inner_ = {spans_[y].x1, y, spans_[y].x2, y + 1};
        }
    }
    if (best > 0) {
        auto full = [&](int y) { return spans_[y].x1 <= inner_.x0 && spans_[y].x2 >= inner_.x1; };
        while (inner_.y0 > 0 && full(inner_.y0 - 1)) --inner_.y0;
        while (inner_.y1 < ch_ && full(inner_.y1)) ++inner_.y1;
    } else {
        inner_ = {};
    }
    backgroundShows_.clear();
    if (inner_.empty()) {
        backgroundShows_.push_back(canvasRect_);
    } else {
        for (IntRect r : {IntRect{0, 0, cw_, inner_.y0}, IntRect{0, inner_.y1, cw_, ch_},
                          IntRect{0, inner_.y0, inner_.x0, inner_.y1},
                          IntRect{inner_.x1, inner_.y0, cw_, inner_.y1}}) {
            if (!r.empty()) backgroundShows_.push_back(r);
        }
    }
}

// The outline is thin: only its visible pixels are kept, run by run, to go over each frame.
void FrameLayer::collectOutline() {
    Surface outline = outlineImage(geo_.screen, geo_.radius, geo_.outlineWidth, cw_, ch_);
    if (!outline) return;
    for (int y = 0; y < ch_; ++y) {
        const std::uint32_t* row = pixelRow(outline.get(), y);
        for (int x = 0; x < cw_;) {
            if (!(row[x] >> 24)) {
                ++x;
                continue;
            }
            int end = x;
            while (end < cw_ && (row[end] >> 24)) ++end;
            outlineRuns_.push_back({y, x, end, outlinePixels_.size()});
            outlinePixels_.insert(outlinePixels_.end(), row + x, row + end);
            x = end;
        }
    }
}

ScreenPlacement FrameLayer::placement(double scale, double fx, double fy) const {
    ScreenPlacement layer;
    if (styled_) {
        layer.ox = geo_.origin.x;
        layer.oy = geo_.origin.y;
        layer.k = geo_.scale;
    }
    layer.s = scale > 1 ? scale : 1;
    if (layer.s > 1) {
        const double w = w_, h = h_;
        layer.tx = std::clamp(w / 2.0 - fx * w * layer.s, w - layer.s * w, 0.0);
        layer.ty = std::clamp(h / 2.0 - fy * h * layer.s, h - layer.s * h, 0.0);
        if (!std::isfinite(layer.tx)) layer.tx = 0;
        if (!std::isfinite(layer.ty)) layer.ty = 0;
    }
    return layer;
}

void FrameLayer::drawScreen(BgraImage& canvas, const ScreenPlacement& layer,
                            const BgraImage& source) const {
    const IntRect area = styled_ ? covered_ : canvasRect_;
    // A source picture of another size than announced is stretched to it.
    const double fx = static_cast<double>(source.width) / w_;
    const double fy = static_cast<double>(source.height) / h_;
    ResampleMap map;
    map.scaleX = fx / (layer.k * layer.s);
    map.offsetX = (-layer.ox / layer.k - layer.tx) / layer.s * fx;
    map.scaleY = fy / (layer.k * layer.s);
    map.offsetY = (-layer.oy / layer.k - layer.ty) / layer.s * fy;
    resampleBilinear({source.pixels.data(), source.width, source.height, source.stride},
                     canvas.pixels.data(), canvas.stride, area.x0, area.y0, area.x1, area.y1, map);
}

// The live background's picture for `outMs`, drawn (with the shadow) only where it shows; redrawn
// only when the movie's picture changed.
const Surface& FrameLayer::liveFrameBackground(double outMs) {
    const DecodedFrame* frame = live_->frame(outMs / 1000);
    const std::uint64_t shown = frame ? live_->generation() : 0;
    if (shown == liveShown_) return liveBackground_;
    liveShown_ = shown;
    cairo_t* cr = cairo_create(liveBackground_.get());
    for (const IntRect& r : backgroundShows_) {
        cairo_rectangle(cr, r.x0, r.y0, r.x1 - r.x0, r.y1 - r.y0);
    }
    cairo_clip(cr);
    Surface image = frame ? wrapImage(frame->image) : Surface();
    paintAspectFill(cr, image, cw_, ch_);
    if (frame && liveShadow_) {
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_mask_surface(cr, liveShadow_.get(), 0, 0);
    }
    cairo_destroy(cr);
    cairo_surface_flush(liveBackground_.get());
    return liveBackground_;
}

void FrameLayer::drawBackground(cairo_surface_t* canvas, double outMs) {
    cairo_surface_t* background =
        live_ ? liveFrameBackground(outMs).get() : staticBackground_.get();
    cairo_surface_flush(canvas);
    for (int y = 0; y < ch_; ++y) {
        std::uint32_t* d = pixelRow(canvas, y);
        const std::uint32_t* b = pixelRow(background, y);
        const RowSpans& s = spans_[y];
        if (s.x0 == s.x3) {
            std::memcpy(d, b, sizeof(std::uint32_t) * cw_);
            continue;
        }
        const std::uint8_t* m = alphaRow(coverage_.get(), y);
        std::memcpy(d, b, sizeof(std::uint32_t) * s.x0);
        blendThroughCoverage(d + s.x0, b + s.x0, m + s.x0, s.x1 - s.x0);
        blendThroughCoverage(d + s.x2, b + s.x2, m + s.x2, s.x3 - s.x2);
        std::memcpy(d + s.x3, b + s.x3, sizeof(std::uint32_t) * (cw_ - s.x3));
    }
    cairo_surface_mark_dirty(canvas);
}

void FrameLayer::drawOutline(cairo_surface_t* canvas) const {
    if (outlineRuns_.empty()) return;
    cairo_surface_flush(canvas);
    for (const Run& r : outlineRuns_) {
        over(pixelRow(canvas, r.y) + r.x0, outlinePixels_.data() + r.offset, r.x1 - r.x0);
    }
    cairo_surface_mark_dirty(canvas);
}

void FrameLayer::applyCoverage(Surface& layer, int x, int y) const {
    if (!styled_) return;
    cairo_surface_flush(layer.get());
    unsigned char* data = cairo_image_surface_get_data(layer.get());
    const int stride = cairo_image_surface_get_stride(layer.get());
    const int lw = layer.width();
    for (int j = 0; j < layer.height(); ++j) {
        std::uint8_t* a = data + static_cast<std::size_t>(j) * stride;
        const int cy = y + j;
        if (cy < 0 || cy >= ch_) {
            std::memset(a, 0, lw);
            continue;
        }
        const std::uint8_t* m = alphaRow(coverage_.get(), cy);
        for (int i = 0; i < lw; ++i) {
            const int cx = x + i;
            a[i] = cx >= 0 && cx < cw_ ? static_cast<std::uint8_t>((a[i] * m[cx] + 127) / 255) : 0;
        }
    }
    cairo_surface_mark_dirty(layer.get());
}

}  // namespace marlune
