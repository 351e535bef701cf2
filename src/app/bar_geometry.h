#pragma once

namespace marlune {

// A window frame for the bar's arithmetic, in points: x grows to the right and y upwards from the
// bottom of the screen, so "bottom edge" and "above" read as the bar's rules say. GTK and X11
// measure y downwards from the top; `flipped` converts either way.
struct Frame {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double midX() const { return x + width / 2; }
    bool operator==(const Frame&) const = default;
};

// The same frame with y measured from the other edge of a screen `screenHeight` tall.
Frame flipped(const Frame& frame, double screenHeight);

namespace bar {

// The bar's bottom edge sits this far above the bottom of the screen's visible area.
inline constexpr double kBottomOffset = 96;
// The visible area assumed when no screen can be found.
inline constexpr Frame kFallbackVisibleFrame{0, 0, 1440, 900};

// The bar's first frame after entering bar mode: centred horizontally on the visible area,
// kBottomOffset above its bottom; the origin rounded to whole points (halves away from zero).
Frame firstPlacement(const Frame& visible, double w, double h);
// A new size for a bar already placed: its horizontal centre and bottom edge stay.
Frame resized(const Frame& current, double w, double h);
// The page drags by (dx, dy) in its own coordinates, where y grows downwards.
Frame moved(const Frame& current, double dx, double dy);

}  // namespace bar

}  // namespace marlune
