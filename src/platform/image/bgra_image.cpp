#include "platform/image/bgra_image.h"

#include <algorithm>
#include <cstring>

namespace marlune {

BgraImage BgraImage::blank(int width, int height) {
    BgraImage image;
    if (width <= 0 || height <= 0) return image;
    image.width = width;
    image.height = height;
    // 64-byte rows keep swscale and cairo on their fast paths.
    image.stride = (width * 4 + 63) / 64 * 64;
    image.pixels.assign(static_cast<std::size_t>(image.stride) * height, 0);
    return image;
}

std::uint32_t BgraImage::pixel(int x, int y) const {
    const std::uint8_t* p = row(y) + static_cast<std::size_t>(x) * 4;
    return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 |
           std::uint32_t(p[0]);
}

std::optional<PixelSize> fittedSize(int width, int height, int maxWidth) {
    if (width <= 0 || height <= 0) return std::nullopt;
    if (maxWidth >= width) return PixelSize{width, height};
    // s = maxWidth / width exactly, so w·s = maxWidth and h·s = h·maxWidth / w.
    std::int64_t w = std::max(0, maxWidth);
    std::int64_t h = std::int64_t(height) * w / width;
    return PixelSize{static_cast<int>(std::max<std::int64_t>(1, w)),
                     static_cast<int>(std::max<std::int64_t>(1, h))};
}

PixelRect PixelRect::intersected(const PixelRect& other) const {
    // In 64 bits: corners of rectangles near the int limits must not overflow.
    std::int64_t x0 = std::max<std::int64_t>(x, other.x);
    std::int64_t y0 = std::max<std::int64_t>(y, other.y);
    std::int64_t x1 =
        std::min<std::int64_t>(std::int64_t{x} + width, std::int64_t{other.x} + other.width);
    std::int64_t y1 =
        std::min<std::int64_t>(std::int64_t{y} + height, std::int64_t{other.y} + other.height);
    if (x1 <= x0 || y1 <= y0) return PixelRect{};
    return PixelRect{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                     static_cast<int>(y1 - y0)};
}

}  // namespace marlune
