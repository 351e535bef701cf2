#include "recording/capture_pixels.h"

#include <algorithm>
#include <cstring>

namespace marlune {

void fillRect(const PixelsRef& pixels, const PixelRect& rect, std::uint32_t argb) {
    PixelRect r = rect.intersected(PixelRect{0, 0, pixels.width, pixels.height});
    for (int y = r.y; y < r.y + r.height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(pixels.data + std::size_t(y) * pixels.stride);
        std::fill(row + r.x, row + r.x + r.width, argb);
    }
}

void drawOver(const PixelsRef& pixels, const BgraImage& sprite, int x, int y) {
    PixelRect r = PixelRect{x, y, sprite.width, sprite.height}.intersected(
        PixelRect{0, 0, pixels.width, pixels.height});
    for (int py = r.y; py < r.y + r.height; ++py) {
        const std::uint8_t* src = sprite.row(py - y) + std::size_t(r.x - x) * 4;
        std::uint8_t* dst = pixels.data + std::size_t(py) * pixels.stride + std::size_t(r.x) * 4;
        for (int px = 0; px < r.width; ++px, src += 4, dst += 4) {
            const unsigned a = src[3];
            if (a == 0) continue;
            if (a == 255) {
                std::memcpy(dst, src, 4);
                continue;
            }
            // dst = src + dst × (1 − αsrc), each channel, rounded.
            for (int c = 0; c < 4; ++c) {
                unsigned v = src[c] + (dst[c] * (255 - a) + 127) / 255;
                dst[c] = static_cast<std::uint8_t>(std::min(255u, v));
            }
        }
    }
}

PixelRect fitInside(int width, int height, int targetWidth, int targetHeight) {
    if (width <= 0 || height <= 0 || targetWidth <= 0 || targetHeight <= 0) return PixelRect{};
    // Compare w/h with tw/th exactly, in integers.
    std::int64_t w = targetWidth;
    std::int64_t h = targetHeight;
    if (std::int64_t{width} * targetHeight > std::int64_t{height} * targetWidth) {
        h = std::max<std::int64_t>(1, std::int64_t{height} * targetWidth / width);
    } else {
        w = std::max<std::int64_t>(1, std::int64_t{width} * targetHeight / height);
    }
    return PixelRect{static_cast<int>((targetWidth - w) / 2),
                     static_cast<int>((targetHeight - h) / 2), static_cast<int>(w),
                     static_cast<int>(h)};
}

}  // namespace marlune
