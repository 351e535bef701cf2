#pragma once

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/media_sample.h"
#include "platform/image/bgra_image.h"

typedef struct _cairo cairo_t;

namespace marlune {

// A rectangle on the screen in the toolkit's logical pixels, origin at the top-left of the
// screen, y growing downwards.
struct BubbleRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const BubbleRect&) const = default;
};

// Where the webcam bubble goes and how it is cut.
struct BubbleLayout {
    BubbleRect frame;
    double cornerRadius = 0;
    // The corner eases into the straight sides (its curvature grows from nothing) instead of
    // being a quarter circle: the "squircle" look.
    bool continuousCorner = false;

    bool operator==(const BubbleLayout&) const = default;
};

// Distance of the bubble from the edges of the work area.
inline constexpr int kBubbleMargin = 24;
// The ring drawn along the bubble's edge, inside it.
inline constexpr double kBubbleRingWidth = 3.0;
inline constexpr double kBubbleRingAlpha = 0.85;

// The bubble for the settings, inside `workArea` (the part of the screen that panels leave
// free):
// - size "s" 160 wide, "l" 300, anything else 220;
// - shape "wide" 16:9 (height rounded half away from zero) with a continuous corner of 0.21 ×
//   height, "squircle" square with a continuous corner of 0.21 × width, anything else a circle;
// - corner "tl", "tr", "bl", anything else bottom right, 24 from both edges.
BubbleLayout bubbleLayout(std::string_view corner, std::string_view size, std::string_view shape,
                          const BubbleRect& workArea);

// The bubble's outline in its own coordinates (0, 0 at its top-left), clockwise on the screen
// from where the top-left corner leaves the left side, as a closed polygon fine enough to draw
// and to cut the window with.
std::vector<std::pair<double, double>> bubbleOutline(const BubbleLayout& layout);

// Appends the outline to `cr`'s path as a closed sub-path.
void addBubblePath(cairo_t* cr, const BubbleLayout& layout);

// Paints the whole bubble at the origin of `cr`: transparent outside the outline; inside, black
// under the camera's picture, which fills the bubble (cropped to it, centred) and is scaled by
// `zoom` about the centre when zoom > 1; then the ring when asked for. `picture` may be absent
// (nothing from the camera yet).
void paintBubble(cairo_t* cr, const BubbleLayout& layout, const VideoFrame* picture, double zoom,
                 bool ring);

// How many times a camera picture of pictureWidth × pictureHeight can be halved before it is
// painted and still have the pixels across that the bubble shows (`pixelScale` device pixels to
// a logical one, `zoom` as for paintBubble). The painter's filter is costly when it shrinks a
// lot; halving first leaves it less than a factor of two.
int previewHalvings(const BubbleLayout& layout, int pictureWidth, int pictureHeight, double zoom,
                    int pixelScale);
// The picture at half its width and height (rounded down), each pixel the mean of a 2 × 2 block.
BgraImage halvedPicture(BgraPixels picture);

}  // namespace marlune
