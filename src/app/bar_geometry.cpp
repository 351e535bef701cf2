#include "app/bar_geometry.h"

#include <cmath>

namespace marlune {

Frame flipped(const Frame& frame, double screenHeight) {
    return {frame.x, screenHeight - frame.y - frame.height, frame.width, frame.height};
}

namespace bar {

Frame firstPlacement(const Frame& visible, double w, double h) {
    return {std::round(visible.midX() - w / 2), std::round(visible.y + kBottomOffset), w, h};
}

Frame resized(const Frame& current, double w, double h) {
    return {std::round(current.midX() - w / 2), current.y, w, h};
}

Frame moved(const Frame& current, double dx, double dy) {
    return {current.x + dx, current.y - dy, current.width, current.height};
}

}  // namespace bar

}  // namespace marlune
