#include "render/frame_composer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>

#include "library/recordings_library.h"
#include "render/blur.h"
#include "render/composition.h"
#include "render/cursor_pack.h"
#include "render/live_background_reader.h"
#include "render/raster.h"
#include "render/resample.h"

namespace marlune {

namespace {

constexpr double kCursorAlpha = 0.95;
constexpr double kTimeTolerance = 1e-6;  // seconds
// Hotspot of the drawn arrow: the tip, just inside the outline (fractions of its height).
constexpr double kArrowAspect = 0.7142857142857143;
constexpr double kArrowHotspotX = 0.075;
constexpr double kArrowHotspotY = 0.036;

// Cairo's image size limit; larger canvases are passed on as they are.
constexpr int kMaxSide = 32767;

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
IntRect pixelBounds(double x0, double y0, double x1, double y1, const IntRect& clip) {
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
IntRect transformedBounds(cairo_t* cr, double w, double h, const IntRect& clip) {
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

std::uint32_t* pixelRow(cairo_surface_t* s, int y) {
    return reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(s) +
                                            static_cast<std::size_t>(y) *
                                                cairo_image_surface_get_stride(s));
}

const std::uint8_t* alphaRow(cairo_surface_t* s, int y) {
    return cairo_image_surface_get_data(s) +
           static_cast<std::size_t>(y) * cairo_image_surface_get_stride(s);
}

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

// One canvas row of the screen's coverage: [x0, x1) and [x2, x3) partly covered, [x1, x2) fully,
// the rest not at all.
struct RowSpans {
    int x0 = 0, x1 = 0, x2 = 0, x3 = 0;
};

// A stretch of a canvas row where a sparse layer has pixels; they are stored from `offset` on.
struct Run {
    int y, x0, x1;
    std::size_t offset;
};

// A cursor image ready to be drawn at any size: its halvings, and its logical box and hotspot.
struct CursorArt {
    MipChain mip;
    double width = 0;  // logical box (pack units; for the drawn cursor, its pixel size)
    double height = 0;
    double hotspotX = 0;
    double hotspotY = 0;
};

}  // namespace

struct FrameComposer::Impl {
    CompositionInputs inputs;
    MotionSim motion;
    int w = 0, h = 0;
    bool valid = false;  // a canvas cairo can hold
    IntRect canvasRect;

    // The part of the screen picture that shows: all of it, except the strip that a padded
    // landscape frame cuts off at the top.
    Rect shownLayer;

    // Frame styling.
    bool styled = false;
    FrameGeometry geo;
    Surface staticBackground;  // background with the shadow; empty with a live background
    std::optional<LiveBackgroundReader> live;
    Surface liveBackground;  // this frame's live background, only where it shows
    std::uint64_t liveShown = ~0ull;
    Surface screenShadow;                  // A8, kept for the live background
    Surface coverage;                      // A8: how much of each canvas pixel the screen covers
    std::vector<RowSpans> spans;           // per canvas row, from `coverage`
    IntRect covered;                       // bounds of the covered pixels
    IntRect inner;                         // a rectangle of fully covered pixels
    std::vector<IntRect> backgroundShows;  // rectangles holding every pixel not fully covered
    std::vector<Run> outlineRuns;          // the outline's visible pixels, run by run
    std::vector<std::uint32_t> outlinePixels;

    // Cursor.
    double cursorH = 0;
    std::map<int, CursorArt> pack;
    std::optional<CursorArt> drawn;
    bool drawnDot = false;
    bool ripples = false;

    // Webcam: fixed layers.
    std::optional<WebcamBox> camBox;
    bool camCircle = false;
    std::vector<Point> camShape;  // squircle polygon in box pixels
    Surface camShadow;            // A8, box plus camShadowMargin on every side
    int camShadowMargin = 0;
    // Webcam: per-export state, advancing with the frames.
    std::optional<DecodedFrame> camPending;
    std::optional<DecodedFrame> camCurrent;
    bool camExhausted = false;
    Surface camComposed;  // the current picture cut to shape at the displayed size
    // The shape and the shadow at the displayed size, already multiplied by the screen's coverage
    // at the canvas positions they were made for.
    Surface camMask;
    Point camMaskAt;
    Surface camShadowScaled;
    Point camShadowAt;

    explicit Impl(CompositionInputs in)
        : inputs(std::move(in)),
          motion(inputs.zooms, inputs.cursor, inputs.width, inputs.height),
          w(inputs.width),
          h(inputs.height) {
        valid = w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide;
        canvasRect = {0, 0, w, h};
        shownLayer = {0, 0, static_cast<double>(w), static_cast<double>(h)};
        if (!valid) return;
        if (inputs.frame) prepareFrame(*inputs.frame);
        if (inputs.cursor && inputs.cursor->render) prepareCursor(*inputs.cursor);
        if (inputs.webcam && inputs.webcamFrames) prepareWebcam(*inputs.webcam);
    }

    bool hasCursorArt() const { return !pack.empty() || drawn.has_value(); }
    bool hasWebcam() const { return camBox.has_value(); }

    // ---- Preparation ----

    // Fills, with alpha `alpha`, what the placed screen covers: the rounded rectangle, and only
    // where the placed picture reaches (on a portrait canvas the picture is shorter than the
    // rectangle). For A8 surfaces, where only the alpha counts.
    void fillScreenShape(cairo_t* cr, double alpha) const {
        const Rect& r = geo.screen;
        cairo_rectangle(cr, geo.origin.x, geo.origin.y, w * geo.scale, h * geo.scale);
        cairo_clip(cr);
        roundedRectPath(cr, r.x, r.y, r.width, r.height, geo.radius);
        cairo_set_source_rgba(cr, 0, 0, 0, alpha);
        cairo_fill(cr);
    }

    void prepareFrame(const FrameSettings& frame) {
        geo = frameGeometry(frame, w, h);
        const Rect& r = geo.screen;

        Surface shadow;
        if (geo.shadowBlur > 0) {
            const double b = geo.shadowBlur;
            const int margin = static_cast<int>(std::ceil(3 * b)) + 2;
            Surface wide = Surface::adopt(
                cairo_image_surface_create(CAIRO_FORMAT_A8, w + 2 * margin, h + 2 * margin));
            if (wide) {
                cairo_t* cr = cairo_create(wide.get());
                // The shadow of what the screen covers (see the coverage below), moved down.
                cairo_translate(cr, margin, margin + 0.4 * b);
                fillScreenShape(cr, 0.6);
                cairo_destroy(cr);
                cairo_surface_flush(wide.get());
                gaussianBlur(wide, b);
                shadow = Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, w, h));
                if (shadow) {
                    cr = cairo_create(shadow.get());
                    cairo_set_source_surface(cr, wide.get(), -margin, -margin);
                    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
                    cairo_paint(cr);
                    cairo_destroy(cr);
                    cairo_surface_flush(shadow.get());
                }
            }
        }

        auto liveFile = frame.type == "live" && inputs.webRoot
                            ? webResource(*inputs.webRoot, "wallpapers/live", frame.id, ".mp4")
                            : std::nullopt;
        auto liveLocation =
            liveFile ? FolderPath::inside(*inputs.webRoot, *liveFile) : std::nullopt;
        if (liveLocation) {
            auto reader = LiveBackgroundReader::open(*liveLocation);
            if (reader) {
                live.emplace(std::move(*reader));
                liveBackground = makeSurface(w, h);
                screenShadow = shadow;
                if (!liveBackground) live.reset();
            }
        }
        if (!live) {
            staticBackground = backgroundImage(frame, w, h, inputs.webRoot);
            if (!staticBackground) return;  // out of memory: the frame stays unstyled
            if (shadow) {
                cairo_t* cr = cairo_create(staticBackground.get());
                cairo_set_source_rgb(cr, 0, 0, 0);
                cairo_mask_surface(cr, shadow.get(), 0, 0);
                cairo_destroy(cr);
                cairo_surface_flush(staticBackground.get());
            }
        }

        // What the screen covers: the rounded rectangle, and only where the placed picture
        // reaches (on a portrait canvas the picture is shorter than the rectangle, and the
        // background shows above it).
        coverage = Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, w, h));
        if (!coverage) {
            staticBackground = {};
            live.reset();
            return;
        }
        cairo_t* cr = cairo_create(coverage.get());
        fillScreenShape(cr, 1);
        cairo_destroy(cr);
        cairo_surface_flush(coverage.get());
        measureCoverage();

        Surface outline = outlineImage(r, geo.radius, geo.outlineWidth, w, h);
        if (outline) {
            for (int y = 0; y < h; ++y) {
                const std::uint32_t* row = pixelRow(outline.get(), y);
                for (int x = 0; x < w;) {
                    if (!(row[x] >> 24)) {
                        ++x;
                        continue;
                    }
                    int end = x;
                    while (end < w && (row[end] >> 24)) ++end;
                    outlineRuns.push_back({y, x, end, outlinePixels.size()});
                    outlinePixels.insert(outlinePixels.end(), row + x, row + end);
                    x = end;
                }
            }
        }
        const double cut = std::max(0.0, (r.y - geo.origin.y) / geo.scale);
        shownLayer = {0, cut, static_cast<double>(w), h - cut};
        styled = true;
    }

    void measureCoverage() {
        spans.assign(h, {});
        covered = {w, h, 0, 0};
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* m = alphaRow(coverage.get(), y);
            RowSpans& s = spans[y];
            int x0 = 0;
            while (x0 < w && !m[x0]) ++x0;
            if (x0 == w) continue;
            int x3 = w;
            while (!m[x3 - 1]) --x3;
            int x1 = x0;
            while (x1 < x3 && m[x1] != 255) ++x1;
            int x2 = x3;
            while (x2 > x1 && m[x2 - 1] != 255) --x2;
            // Coverage of a convex shape never dips inside a row; if it did, blend the whole row.
            if (std::any_of(m + x1, m + x2, [](std::uint8_t v) { return v != 255; })) x1 = x2 = x3;
            s = {x0, x1, x2, x3};
            covered = {std::min(covered.x0, x0), std::min(covered.y0, y), std::max(covered.x1, x3),
                       std::max(covered.y1, y + 1)};
        }
        if (covered.empty()) covered = {};

        // The fully covered rectangle: the widest full span, over the rows that all have it.
        inner = {};
        int best = -1;
        for (int y = 0; y < h; ++y) {
            if (spans[y].x2 - spans[y].x1 > best) {
                best = spans[y].x2 - spans[y].x1;
                inner = {spans[y].x1, y, spans[y].x2, y + 1};
            }
        }
        if (best > 0) {
            auto full = [&](int y) { return spans[y].x1 <= inner.x0 && spans[y].x2 >= inner.x1; };
            while (inner.y0 > 0 && full(inner.y0 - 1)) --inner.y0;
            while (inner.y1 < h && full(inner.y1)) ++inner.y1;
        } else {
            inner = {};
        }
        backgroundShows.clear();
        if (inner.empty()) {
            backgroundShows.push_back(canvasRect);
        } else {
            for (IntRect r : {IntRect{0, 0, w, inner.y0}, IntRect{0, inner.y1, w, h},
                              IntRect{0, inner.y0, inner.x0, inner.y1},
                              IntRect{inner.x1, inner.y0, w, inner.y1}}) {
                if (!r.empty()) backgroundShows.push_back(r);
            }
        }
    }

    void prepareCursor(const CursorFX& cursor) {
        cursorH = cursorHeight(cursor, w);
        if (auto file = packFile(cursor.style)) {
            if (auto loaded = loadCursorPack(*file, inputs.webRoot)) {
                for (auto& [type, asset] : *loaded) {
                    pack.emplace(type, CursorArt{MipChain(asset.image), asset.width, asset.height,
                                                 asset.hotspotX, asset.hotspotY});
                }
            }
        }
        if (pack.empty()) {
            const std::string_view style = cursor.style;
            const std::string_view drawnStyle =
                style == "invert" || style == "dot" ? style : std::string_view("arrow");
            Surface image = arrowImage(drawnStyle, 4 * cursorH);
            if (image) {
                drawn = CursorArt{MipChain(image), static_cast<double>(image.width()),
                                  static_cast<double>(image.height()), 0, 0};
                drawnDot = drawnStyle == "dot";
            }
        }
        ripples = cursor.ripple && !cursor.clicks.empty();
    }

    // Appends the webcam's outline, for a box scaled by (sx, sy), to the current path.
    void camShapePath(cairo_t* cr, double sx, double sy) const {
        if (camCircle) {
            cairo_save(cr);
            cairo_scale(cr, camBox->width * sx / 2, camBox->height * sy / 2);
            cairo_arc(cr, 1, 1, 1, 0, 2 * std::numbers::pi);
            cairo_restore(cr);
            return;
        }
        cairo_new_sub_path(cr);
        for (const Point& p : camShape) cairo_line_to(cr, p.x * sx, p.y * sy);
        cairo_close_path(cr);
    }

    void prepareWebcam(const WebcamFX& webcam) {
        camBox = webcamBox(webcam, w, h);
        if (!camBox) return;
        camCircle = webcam.shape == "circle";
        if (!camCircle) {
            camShape =
                squirclePath(camBox->width, camBox->height, webcam.cornerRadius * camBox->unit);
        }
        if (webcam.shadow > 0.01) {
            const double sigma = std::min(camBox->width, camBox->height) * 0.11;
            camShadowMargin = static_cast<int>(std::ceil(3 * sigma)) + 1;
            camShadow = Surface::adopt(
                cairo_image_surface_create(CAIRO_FORMAT_A8, camBox->width + 2 * camShadowMargin,
                                           camBox->height + 2 * camShadowMargin));
            if (camShadow) {
                cairo_t* cr = cairo_create(camShadow.get());
                cairo_translate(cr, camShadowMargin, camShadowMargin);
                camShapePath(cr, 1, 1);
                cairo_set_source_rgba(cr, 0, 0, 0, std::min(webcam.shadow, 1.0));
                cairo_fill(cr);
                cairo_destroy(cr);
                cairo_surface_flush(camShadow.get());
                gaussianBlur(camShadow, sigma);
            }
        }
    }

    // ---- Per frame ----

    // Where the screen layer (the zoomed source with its overlays) lands on the canvas.
    struct Layer {
        double ox = 0, oy = 0, k = 1;  // placement in the frame
        double s = 1, tx = 0, ty = 0;  // zoom
        // Canvas position of a point given in fractions of the source picture.
        Point at(double fx, double fy, double W, double H) const {
            return {ox + k * (tx + fx * W * s), oy + k * (ty + fy * H * s)};
        }
    };

    // Runs `draw` (which paints in canvas coordinates) clipped to `box`, and through the screen's
    // coverage wherever the box is not all fully covered. Pixels only partly covered get the
    // overlay in proportion to their coverage.
    template <class Draw>
    void overlay(cairo_t* cr, IntRect box, Draw&& draw) {
        box = box.intersect(styled ? covered : canvasRect);
        if (box.empty()) return;
        cairo_save(cr);
        cairo_rectangle(cr, box.x0, box.y0, box.x1 - box.x0, box.y1 - box.y0);
        cairo_clip(cr);
        if (!styled || inner.contains(box)) {
            draw();
        } else {
            cairo_push_group(cr);
            draw();
            cairo_pop_group_to_source(cr);
            cairo_mask_surface(cr, coverage.get(), 0, 0);
        }
        cairo_restore(cr);
    }

    // The zoomed source, placed in the frame, in one resampling pass over the covered bounds.
    void drawScreen(BgraImage& canvas, const Layer& layer, const BgraImage& source) {
        const IntRect area = styled ? covered : canvasRect;
        // A source picture of another size than announced is stretched to it.
        const double fx = static_cast<double>(source.width) / w;
        const double fy = static_cast<double>(source.height) / h;
        ResampleMap map;
        map.scaleX = fx / (layer.k * layer.s);
        map.offsetX = (-layer.ox / layer.k - layer.tx) / layer.s * fx;
        map.scaleY = fy / (layer.k * layer.s);
        map.offsetY = (-layer.oy / layer.k - layer.ty) / layer.s * fy;
        resampleBilinear({source.pixels.data(), source.width, source.height, source.stride},
                         canvas.pixels.data(), canvas.stride, area.x0, area.y0, area.x1, area.y1,
                         map);
    }

    const Surface* liveFrameBackground(double outMs) {
        const DecodedFrame* frame = live->frame(outMs / 1000);
        const std::uint64_t shown = frame ? live->generation() : 0;
        if (shown == liveShown) return &liveBackground;
        liveShown = shown;
        cairo_t* cr = cairo_create(liveBackground.get());
        for (const IntRect& r : backgroundShows) {
            cairo_rectangle(cr, r.x0, r.y0, r.x1 - r.x0, r.y1 - r.y0);
        }
        cairo_clip(cr);
        Surface image = frame ? wrapImage(frame->image) : Surface();
        paintAspectFill(cr, image, w, h);
        if (frame && screenShadow) {
            cairo_set_source_rgb(cr, 0, 0, 0);
            cairo_mask_surface(cr, screenShadow.get(), 0, 0);
        }
        cairo_destroy(cr);
        cairo_surface_flush(liveBackground.get());
        return &liveBackground;
    }

    // Background outside the screen and through its anti-aliased rim. The screen has already been
    // drawn over the covered bounds.
    void drawBackground(cairo_surface_t* canvas, cairo_surface_t* background) {
        cairo_surface_flush(canvas);
        for (int y = 0; y < h; ++y) {
            std::uint32_t* d = pixelRow(canvas, y);
            const std::uint32_t* b = pixelRow(background, y);
            const RowSpans& s = spans[y];
            if (s.x0 == s.x3) {
                std::memcpy(d, b, sizeof(std::uint32_t) * w);
                continue;
            }
            const std::uint8_t* m = alphaRow(coverage.get(), y);
            std::memcpy(d, b, sizeof(std::uint32_t) * s.x0);
            blendThroughCoverage(d + s.x0, b + s.x0, m + s.x0, s.x1 - s.x0);
            blendThroughCoverage(d + s.x2, b + s.x2, m + s.x2, s.x3 - s.x2);
            std::memcpy(d + s.x3, b + s.x3, sizeof(std::uint32_t) * (w - s.x3));
        }
        cairo_surface_mark_dirty(canvas);
    }

    void drawOutline(cairo_surface_t* canvas) {
        if (outlineRuns.empty()) return;
        cairo_surface_flush(canvas);
        for (const Run& r : outlineRuns) {
            over(pixelRow(canvas, r.y) + r.x0, outlinePixels.data() + r.offset, r.x1 - r.x0);
        }
        cairo_surface_mark_dirty(canvas);
    }

    void drawRipples(cairo_t* cr, const Layer& layer, double srcMs) {
        const CursorFX& cursor = *motion.cursor();
        cursor.forEachClickBetween(srcMs - 775, srcMs - 175, [&](const TrackPoint& click) {
            auto ripple = rippleAt(srcMs - click.t, cursorH);
            // Past about 0.3 of its time a ripple is too faint to change a pixel.
            if (!ripple || ripple->alpha * 255 < 0.5) return;
            const Point c = layer.at(click.fx, click.fy, w, h);
            const double radius = ripple->radius * layer.s * layer.k;
            const double lineWidth = ripple->lineWidth * layer.s * layer.k;
            const double reach = radius + lineWidth / 2 + 1;
            overlay(cr, pixelBounds(c.x - reach, c.y - reach, c.x + reach, c.y + reach, canvasRect),
                    [&] {
                        cairo_new_path(cr);
                        cairo_arc(cr, c.x, c.y, radius, 0, 2 * std::numbers::pi);
                        cairo_set_line_width(cr, lineWidth);
                        cairo_set_source_rgba(cr, 1, 1, 1, ripple->alpha);
                        cairo_stroke(cr);
                    });
        });
    }

    void drawCursor(cairo_t* cr, const Layer& layer, const MotionSim::CursorOut& c) {
        const double h1 = layer.s * cursorH;  // displayed height on the screen layer
        const double k = layer.k;
        const CursorArt* art = nullptr;
        double sx = 0, sy = 0, hx = 0, hy = 0;  // canvas pixels per base pixel; hotspot
        if (!pack.empty()) {
            auto it = pack.find(c.typeIdx);
            if (it == pack.end()) it = pack.find(0);
            art = &it->second;
            const Surface& base = art->mip.base();
            const double g = h1 / art->height;
            sx = art->width * g / base.width() * k;
            sy = h1 / base.height() * k;
            hx = art->hotspotX * g * k;
            hy = art->hotspotY * g * k;
        } else {
            art = &*drawn;
            const Surface& base = art->mip.base();
            sx = sy = h1 / (4 * cursorH) * k;
            if (drawnDot) {
                hx = base.width() * sx / 2;
                hy = base.height() * sy / 2;
            } else {
                hx = h1 * kArrowAspect * kArrowHotspotX * k;
                hy = h1 * kArrowHotspotY * k;
            }
        }
        const Point p = layer.at(c.x, c.y, w, h);
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !(sx > 0) || !(sy > 0)) return;
        const Surface& base = art->mip.base();
        const Surface& level = art->mip.forScale(std::max(sx, sy));
        const double lx = sx * base.width() / level.width();
        const double ly = sy * base.height() / level.height();
        const double cw = base.width() * sx, ch = base.height() * sy;  // displayed, unturned
        const double bounce = c.bounceK;

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
            overlay(cr, box, [&] {
                cairo_save(cr);
                place();
                cairo_scale(cr, lx, ly);
                setBilinearSource(cr, level.get(), 0, 0);
                cairo_paint_with_alpha(cr, kCursorAlpha);
                cairo_restore(cr);
            });
            return;
        }

        // Motion blur: turn the cursor so that its motion runs along x, streak it, soften it,
        // and turn it back while placing it.
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
        overlay(cr, box, [&] {
            cairo_save(cr);
            placeStreak();
            setBilinearSource(cr, streak.get(), 0, 0);
            cairo_paint_with_alpha(cr, kCursorAlpha);
            cairo_restore(cr);
        });
    }

    void restartWebcam() {
        camPending.reset();
        camCurrent.reset();
        camExhausted = false;
        camComposed = {};
    }

    // Moves the webcam to the latest picture not later than `srcMs` (the first one before that).
    void advanceWebcam(double srcMs) {
        // Subtracting in milliseconds first keeps whole-millisecond times exact; a picture stamped
        // within a microsecond after the time still counts (movie times are rounded rationals).
        const double tw = (srcMs - inputs.webcam->offsetMs) / 1000 + kTimeTolerance;
        while (!camExhausted) {
            std::optional<DecodedFrame> sample = std::move(camPending);
            camPending.reset();
            if (!sample) {
                sample = inputs.webcamFrames();
                if (!sample) {
                    camExhausted = true;  // the last picture stays on screen
                    break;
                }
            }
            if (sample->timeSeconds > tw && camCurrent) {
                camPending = std::move(sample);
                break;
            }
            const double shownAt = sample->timeSeconds;
            camCurrent = std::move(sample);
            camComposed = {};
            if (!(shownAt <= tw)) break;
        }
    }

    // Multiplies an A8 layer that will be drawn with its top-left at canvas pixel (x, y) by the
    // screen's coverage there, so that it can go straight onto the canvas.
    void applyCoverage(Surface& layer, int x, int y) const {
        if (!styled) return;
        cairo_surface_flush(layer.get());
        unsigned char* data = cairo_image_surface_get_data(layer.get());
        const int stride = cairo_image_surface_get_stride(layer.get());
        const int lw = layer.width();
        for (int j = 0; j < layer.height(); ++j) {
            std::uint8_t* a = data + static_cast<std::size_t>(j) * stride;
            const int cy = y + j;
            if (cy < 0 || cy >= h) {
                std::memset(a, 0, lw);
                continue;
            }
            const std::uint8_t* m = alphaRow(coverage.get(), cy);
            for (int i = 0; i < lw; ++i) {
                const int cx = x + i;
                a[i] =
                    cx >= 0 && cx < w ? static_cast<std::uint8_t>((a[i] * m[cx] + 127) / 255) : 0;
            }
        }
        cairo_surface_mark_dirty(layer.get());
    }

    // The current picture cut to the webcam's shape at dw × dh, for the canvas position (x, y).
    void composeWebcam(int dw, int dh, int x, int y) {
        if (!camMask || camMask.width() != dw || camMask.height() != dh || camMaskAt.x != x ||
            camMaskAt.y != y) {
            camComposed = {};
            camMask = Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, dw, dh));
            if (!camMask) return;
            cairo_t* cr = cairo_create(camMask.get());
            camShapePath(cr, static_cast<double>(dw) / camBox->width,
                         static_cast<double>(dh) / camBox->height);
            cairo_fill(cr);
            cairo_destroy(cr);
            cairo_surface_flush(camMask.get());
            applyCoverage(camMask, x, y);
            camMaskAt = {static_cast<double>(x), static_cast<double>(y)};
        }
        if (camComposed || !camCurrent || camCurrent->image.empty()) return;
        const BgraImage& picture = camCurrent->image;
        camComposed = makeSurface(dw, dh);
        if (!camComposed) return;
        const double scale = std::max(static_cast<double>(dw) / picture.width,
                                      static_cast<double>(dh) / picture.height);
        double sx = scale, sy = scale;
        Surface level = reduceForScale(wrapImage(picture), sx, sy);
        cairo_t* cr = cairo_create(camComposed.get());
        if (inputs.webcam->mirror) {
            cairo_translate(cr, dw, 0);
            cairo_scale(cr, -1, 1);
        }
        cairo_translate(cr, (dw - picture.width * scale) / 2, (dh - picture.height * scale) / 2);
        cairo_scale(cr, sx, sy);
        setBilinearSource(cr, level.get(), 0, 0, CAIRO_EXTEND_PAD);
        cairo_identity_matrix(cr);
        cairo_mask_surface(cr, camMask.get(), 0, 0);
        cairo_destroy(cr);
        cairo_surface_flush(camComposed.get());
    }

    // The webcam's shadow scaled like the displayed box (dw × dh), for the canvas position (x, y).
    void scaleWebcamShadow(int dw, int dh, int x, int y) {
        const double fx = static_cast<double>(dw) / camBox->width;
        const double fy = static_cast<double>(dh) / camBox->height;
        const int sw = static_cast<int>(std::ceil(camShadow.width() * fx));
        const int sh = static_cast<int>(std::ceil(camShadow.height() * fy));
        if (camShadowScaled && camShadowScaled.width() == sw && camShadowScaled.height() == sh &&
            camShadowAt.x == x && camShadowAt.y == y) {
            return;
        }
        camShadowScaled = Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, sw, sh));
        if (!camShadowScaled) return;
        double lx = fx, ly = fy;
        Surface level = reduceForScale(camShadow, lx, ly);
        cairo_t* cr = cairo_create(camShadowScaled.get());
        cairo_scale(cr, lx, ly);
        setBilinearSource(cr, level.get(), 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_flush(camShadowScaled.get());
        applyCoverage(camShadowScaled, x, y);
        camShadowAt = {static_cast<double>(x), static_cast<double>(y)};
    }

    void drawWebcam(cairo_t* cr, const Layer& layer, double srcMs) {
        if (!camExhausted) advanceWebcam(srcMs);
        if (!camCurrent) return;
        const WebcamPlacement place = webcamPlacement(*inputs.webcam, *camBox, layer.s, shownLayer);
        const double k = layer.k;
        const double dwf = place.rect.width * k, dhf = place.rect.height * k;
        const double xf = layer.ox + k * place.rect.x, yf = layer.oy + k * place.rect.y;
        // Boxes far off the canvas, or too large for cairo, are not drawn.
        if (!(dwf < kMaxSide && dhf < kMaxSide && std::abs(xf) < kMaxSide &&
              std::abs(yf) < kMaxSide)) {
            return;
        }
        const int dw = std::max(1, static_cast<int>(std::lround(dwf)));
        const int dh = std::max(1, static_cast<int>(std::lround(dhf)));
        // Whole-pixel positions keep the composites plain copies (no resampling); the webcam
        // moves by less than half a pixel for it.
        const int x = static_cast<int>(std::lround(xf)), y = static_cast<int>(std::lround(yf));

        if (camShadow) {
            const double fx = static_cast<double>(dw) / camBox->width;
            const double fy = static_cast<double>(dh) / camBox->height;
            const int sx = static_cast<int>(std::lround(xf - camShadowMargin * fx));
            const int sy = static_cast<int>(
                std::lround(yf + 0.06 * std::min(dwf, dhf) - camShadowMargin * fy));
            scaleWebcamShadow(dw, dh, sx, sy);
            if (camShadowScaled) {
                cairo_save(cr);
                cairo_rectangle(cr, sx, sy, camShadowScaled.width(), camShadowScaled.height());
                cairo_clip(cr);
                cairo_set_source_rgb(cr, 0, 0, 0);
                cairo_mask_surface(cr, camShadowScaled.get(), sx, sy);
                cairo_restore(cr);
            }
        }
        composeWebcam(dw, dh, x, y);
        if (!camComposed) return;
        cairo_save(cr);
        cairo_rectangle(cr, x, y, dw, dh);
        cairo_clip(cr);
        cairo_set_source_surface(cr, camComposed.get(), x, y);
        cairo_paint(cr);
        cairo_restore(cr);
    }

    void render(const Step& step, const BgraImage& source, BgraImage& canvas) {
        if (!valid) {  // a size cairo cannot hold: nothing can be drawn, the picture stays
            canvas = source;
            return;
        }
        if (canvas.width != w || canvas.height != h || canvas.empty()) {
            canvas = BgraImage::blank(w, h);
        }
        if (source.empty() || canvas.empty()) {
            if (!canvas.empty()) std::fill(canvas.pixels.begin(), canvas.pixels.end(), 0);
            return;
        }
        Layer layer;
        if (styled) {
            layer.ox = geo.origin.x;
            layer.oy = geo.origin.y;
            layer.k = geo.scale;
        }
        layer.s = step.scale > 1 ? step.scale : 1;
        if (layer.s > 1) {
            layer.tx = std::clamp(w / 2.0 - step.motion.fx * w * layer.s, w - layer.s * w, 0.0);
            layer.ty = std::clamp(h / 2.0 - step.motion.fy * h * layer.s, h - layer.s * h, 0.0);
            if (!std::isfinite(layer.tx)) layer.tx = 0;
            if (!std::isfinite(layer.ty)) layer.ty = 0;
        }

        drawScreen(canvas, layer, source);
        Surface target = wrapImage(canvas);
        cairo_t* cr = cairo_create(target.get());
        if (styled) {
            const Surface* background = live ? liveFrameBackground(step.outMs) : &staticBackground;
            drawBackground(target.get(), background->get());
        }
        const auto& cursor = step.motion.cursor;
        if (cursor && ripples) drawRipples(cr, layer, step.srcMs);
        if (cursor && hasCursorArt()) drawCursor(cr, layer, *cursor);
        if (hasWebcam()) drawWebcam(cr, layer, step.srcMs);
        cairo_destroy(cr);
        cairo_surface_flush(target.get());
        if (styled) drawOutline(target.get());
    }
};

CompositionInputs compositionInputs(const ExportRequest& request, int width, int height,
                                    PixelSize out, std::optional<std::filesystem::path> webRoot) {
    CompositionInputs inputs;
    inputs.width = width;
    inputs.height = height;
    inputs.outWidth = out.width;
    inputs.outHeight = out.height;
    inputs.zooms = request.zooms;
    inputs.frame = request.frame;
    inputs.cursor = request.cursor;
    inputs.webcam = request.webcam;
    inputs.timeMap = TimeMap(request.startMs, request.endMs);
    inputs.webRoot = std::move(webRoot);
    return inputs;
}

std::optional<WebcamMovie> findWebcamMovie(const WebcamFX& webcam,
                                           const std::optional<FrameSettings>& frame, int width,
                                           int height) {
    // Only a regular file inside the recordings folder is read.
    auto location = RecordingsLibrary::safeLocation(webcam.file);
    if (!location) return std::nullopt;
    auto opened = location->open();
    if (!opened) return std::nullopt;
    auto file = MediaFile::open(opened->procPath());
    if (!file) return std::nullopt;
    auto video = file->tracks(TrackKind::video);
    if (video.empty()) return std::nullopt;
    // Decoded no wider than the webcam box will show it, so that frames are not scaled down
    // again for every composed picture.
    const TrackInfo& track = video.front();
    auto decodeWidth = webcamDecodeWidth(webcam, frame, width, height, track.width, track.height);
    if (!decodeWidth) return std::nullopt;
    return WebcamMovie{location->full(), track.index, *decodeWidth};
}

std::optional<VideoDecoder> openWebcamMovie(const WebcamFX& webcam,
                                            const std::optional<FrameSettings>& frame, int width,
                                            int height) {
    auto movie = findWebcamMovie(webcam, frame, width, height);
    if (!movie) return std::nullopt;
    auto file = MediaFile::open(movie->path);
    if (!file) return std::nullopt;
    auto decoder = VideoDecoder::open(
        std::move(*file), movie->trackIndex,
        {.maxWidth = movie->decodeWidth, .reduceToWidth = movie->decodeWidth, .threads = 1});
    if (!decoder) return std::nullopt;
    return std::move(*decoder);
}

FrameComposer::FrameComposer(CompositionInputs inputs)
    : impl_(std::make_unique<Impl>(std::move(inputs))) {}

FrameComposer::~FrameComposer() = default;

const CompositionInputs& FrameComposer::inputs() const {
    return impl_->inputs;
}

FrameComposer::Step FrameComposer::advance(double ptsSeconds) {
    Step step = timing(ptsSeconds);
    return withMotion(step, impl_->motion.tick(step.srcMs));
}

FrameComposer::Step FrameComposer::timing(double ptsSeconds) const {
    Step step;
    const auto& in = impl_->inputs;
    if (in.timeMap.hasCuts()) {
        step.outMs = ptsSeconds * 1000;
        step.srcMs = in.timeMap.source(step.outMs);
    } else {
        step.srcMs = ptsSeconds * 1000;
        step.outMs = step.srcMs - (in.timeMap.kept().empty() ? 0 : in.timeMap.kept()[0].srcStart);
    }
    return step;
}

FrameComposer::Step FrameComposer::withMotion(Step step, const MotionSim::Out& motion) const {
    const auto& in = impl_->inputs;
    step.motion = motion;
    step.scale = step.motion.scale > 1.001 ? step.motion.scale : 1;
    const Impl& c = *impl_;
    step.passThrough = in.outWidth == in.width && in.outHeight == in.height && step.scale == 1 &&
                       !c.styled && !c.hasCursorArt() && !c.hasWebcam();
    return step;
}

void FrameComposer::restartWebcam() {
    impl_->restartWebcam();
}

void FrameComposer::render(const Step& step, const BgraImage& source, BgraImage& canvas) {
    impl_->render(step, source, canvas);
}

}  // namespace marlune
