#include "render/output_shape.h"

#include <algorithm>
#include <cmath>

namespace marlune {

double shapeAspect(OutputShape shape) {
    switch (shape) {
        case OutputShape::wide:
            return 16.0 / 9;
        case OutputShape::tall:
            return 9.0 / 16;
        case OutputShape::square:
            return 1;
        case OutputShape::classic:
            return 4.0 / 3;
        case OutputShape::original:
            break;
    }
    return 0;
}

PixelSize shapedCanvas(PixelSize picture, OutputShape shape) {
    const double aspect = shapeAspect(shape);
    if (!(aspect > 0) || picture.width <= 0 || picture.height <= 0) return picture;
    const int side = std::min(picture.width, picture.height);
    // The long side, never beyond what cairo and the encoders take.
    auto longSide = [&](double ratio) {
        return static_cast<int>(std::min(std::lround(side * ratio), 32767L));
    };
    if (aspect >= 1) return {longSide(aspect), side};
    return {side, longSide(1 / aspect)};
}

PixelSize shapedOutput(PixelSize out, OutputShape shape) {
    if (shape == OutputShape::original) return out;
    const PixelSize canvas = shapedCanvas(out, shape);
    return {std::max(2, canvas.width & ~1), std::max(2, canvas.height & ~1)};
}

}  // namespace marlune
