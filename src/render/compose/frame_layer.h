#pragma once

#include <cairo.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "library/edit_document.h"
#include "platform/image/bgra_image.h"
#include "render/compose/layer_geometry.h"
#include "render/composition.h"
#include "render/live_background_reader.h"
#include "render/surface.h"

namespace marlune {

// The screen picture and the frame around it: the zoomed source placed in the padded, rounded
// rectangle, the background (still or live) with the screen's shadow, and the outline. It also
// holds the screen's coverage of the canvas, through which the overlays (ripples, cursor, webcam)
// are drawn so that they never spill onto the background.
//
// Owned by the frame composer, on its thread.
class FrameLayer {
  public:
    // An unstyled frame for a W × H screen: the screen fills the whole canvas, which is then the
    // screen's size. A canvas of another shape (canvasWidth × canvasHeight) needs a styled frame
    // to place the screen on it.
    FrameLayer(int width, int height, int canvasWidth, int canvasHeight);
    FrameLayer(const FrameLayer&) = delete;
    FrameLayer& operator=(const FrameLayer&) = delete;

    // Prepares the styling of `frame`: geometry, background, shadow, coverage and outline. Blocking
    // file I/O (wallpapers, the live background). When memory runs out the frame stays unstyled.
    void prepare(const FrameSettings& frame, const std::optional<std::filesystem::path>& webRoot);

    bool styled() const { return styled_; }
    // The screen picture's size (the overlays are placed on it) and the canvas's.
    int width() const { return w_; }
    int height() const { return h_; }
    int canvasWidth() const { return cw_; }
    int canvasHeight() const { return ch_; }
    const IntRect& canvasRect() const { return canvasRect_; }
    // The part of the screen picture that shows (all of it), in the screen picture's pixels.
    const Rect& shownLayer() const { return shownLayer_; }

    // The screen's placement for a frame zoomed by `scale` (1 or more) on the focus (fx, fy).
    ScreenPlacement placement(double scale, double fx, double fy) const;

    // The zoomed source, placed in the frame, in one resampling pass over the covered bounds.
    void drawScreen(BgraImage& canvas, const ScreenPlacement& layer, const BgraImage& source) const;
    // Background outside the screen and through its anti-aliased rim, for the output time
    // `outMs` (a live background moves with it). After drawScreen; styled frames only.
    void drawBackground(cairo_surface_t* canvas, double outMs);
    // The outline over everything. Styled frames only.
    void drawOutline(cairo_surface_t* canvas) const;

    // Runs `draw` (which paints in canvas coordinates) clipped to `box`, and through the screen's
    // coverage wherever the box is not all fully covered. Pixels only partly covered get the
    // overlay in proportion to their coverage.
    template <class Draw>
    void overlay(cairo_t* cr, IntRect box, Draw&& draw) const {
        box = box.intersect(styled_ ? covered_ : canvasRect_);
        if (box.empty()) return;
        cairo_save(cr);
        cairo_rectangle(cr, box.x0, box.y0, box.x1 - box.x0, box.y1 - box.y0);
        cairo_clip(cr);
        if (!styled_ || inner_.contains(box)) {
            draw();
        } else {
            cairo_push_group(cr);
            draw();
            cairo_pop_group_to_source(cr);
            cairo_mask_surface(cr, coverage_.get(), 0, 0);
        }
        cairo_restore(cr);
    }

    // Multiplies an A8 layer that will be drawn with its top-left at canvas pixel (x, y) by the
    // screen's coverage there, so that it can go straight onto the canvas.
    void applyCoverage(Surface& layer, int x, int y) const;

  private:
    // One canvas row of the screen's coverage: [x0, x1) and [x2, x3) partly covered, [x1, x2)
    // fully, the rest not at all.
    struct RowSpans {
        int x0 = 0, x1 = 0, x2 = 0, x3 = 0;
    };
    // A stretch of a canvas row where a sparse layer has pixels; they are stored from `offset` on.
    struct Run {
        int y, x0, x1;
        std::size_t offset;
    };

    void fillScreenShape(cairo_t* cr, double alpha) const;
    Surface screenShadow() const;
    void measureCoverage();
    void collectOutline();
    const Surface& liveFrameBackground(double outMs);

    const int w_;
    const int h_;
    const int cw_;
    const int ch_;
    const IntRect canvasRect_;
    Rect shownLayer_;

    bool styled_ = false;
    FrameGeometry geo_;
    Surface staticBackground_;  // background with the shadow; empty with a live background
    std::optional<LiveBackgroundReader> live_;
    Surface liveBackground_;  // this frame's live background, only where it shows
    std::uint64_t liveShown_ = ~0ull;
    Surface liveShadow_;                    // A8, kept for the live background
    Surface coverage_;                      // A8: how much of each canvas pixel the screen covers
    std::vector<RowSpans> spans_;           // per canvas row, from `coverage_`
    IntRect covered_;                       // bounds of the covered pixels
    IntRect inner_;                         // a rectangle of fully covered pixels
    std::vector<IntRect> backgroundShows_;  // rectangles holding every pixel not fully covered
    std::vector<Run> outlineRuns_;          // the outline's visible pixels, run by run
    std::vector<std::uint32_t> outlinePixels_;
};

}  // namespace marlune
