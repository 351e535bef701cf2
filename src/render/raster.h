#pragma once

#include <cairo.h>

#include <vector>

#include "platform/image/bgra_image.h"
#include "render/surface.h"

namespace marlune {

// Small raster helpers shared by the composition's layers. Any thread; one surface at a time.

// A cairo ARGB32 surface over `image`'s own pixels (no copy). It must not outlive the image, and
// the image must not be resized while it exists. Empty for an empty image.
Surface wrapImage(const BgraImage& image);

// The image at half its size (odd sides rounded up), each pixel the mean of a 2 × 2 block.
// ARGB32 and A8 only; empty for anything else.
Surface halveImage(const Surface& image);

// An image and its successive halvings, so that it can be drawn much smaller than it is with
// bilinear sampling and still average every source pixel: pick the level that is at most twice
// the wanted size, and scale that one.
class MipChain {
  public:
    MipChain() = default;
    // Halves until a side would drop below `minSide` pixels.
    explicit MipChain(Surface base, int minSide = 4);

    explicit operator bool() const { return !levels_.empty(); }
    const Surface& base() const { return levels_.front(); }
    // The level to draw for a scale (relative to the base) of `scale`.
    const Surface& forScale(double scale) const;

  private:
    std::vector<Surface> levels_;
};

// Halves `image` while its scale to the wanted size stays below one half, then returns it with
// `scale` updated to what remains. For images that are drawn once (a webcam picture).
Surface reduceForScale(Surface image, double& scaleX, double& scaleY);

// Paints `image` on `cr` scaled uniformly to cover (0, 0, width, height), centred, with the
// operator SOURCE (so within the clip, anything there before is replaced); opaque black for an
// empty image.
void paintAspectFill(cairo_t* cr, const Surface& image, int width, int height);

// Appends to the current path the rectangle (x, y, w, h) with quarter-circle corners of radius
// `radius` (clamped to half the shorter side; a plain rectangle for 0).
void roundedRectPath(cairo_t* cr, double x, double y, double w, double h, double radius);

// Sets `image` as the source of `cr` at (x, y), drawn with bilinear sampling. `extend` PAD repeats
// the edge pixels outward (pictures that must cover an area); NONE fades to transparent at the
// edges (overlays).
void setBilinearSource(cairo_t* cr, cairo_surface_t* image, double x, double y,
                       cairo_extend_t extend = CAIRO_EXTEND_NONE);

}  // namespace marlune
