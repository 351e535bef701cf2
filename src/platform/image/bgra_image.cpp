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

}  // namespace marlune
