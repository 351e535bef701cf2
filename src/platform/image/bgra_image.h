#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace marlune {

// A picture in memory: 8 bits each of blue, green, red and alpha per pixel, in that byte order
// (cairo's ARGB32 on little-endian machines), colour premultiplied by alpha. Rows are `stride`
// bytes apart (at least 4 * width, a multiple of 4); `pixels` holds stride * height bytes.
// A value type: copies are deep. An empty image has no pixels.
struct BgraImage {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<std::uint8_t> pixels;

    // A zeroed (transparent black) image whose rows are aligned for vector code.
    static BgraImage blank(int width, int height);

    bool empty() const { return width <= 0 || height <= 0 || pixels.empty(); }
    std::uint8_t* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * stride; }
    const std::uint8_t* row(int y) const {
        return pixels.data() + static_cast<std::size_t>(y) * stride;
    }
    // The pixel at (x, y) as 0xAARRGGBB.
    std::uint32_t pixel(int x, int y) const;
};

// Pixels laid out like a BgraImage's but owned elsewhere (a capture pool, a mapped buffer):
// valid only while the owner keeps them.
struct BgraPixels {
    const std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;

    BgraPixels() = default;
    BgraPixels(const std::uint8_t* data, int width, int height, int stride)
        : data(data), width(width), height(height), stride(stride) {}
    // A view of an image's pixels.
    BgraPixels(const BgraImage& image)  // NOLINT: implicit on purpose
        : data(image.pixels.data()),
          width(image.width),
          height(image.height),
          stride(image.stride) {}

    bool empty() const { return width <= 0 || height <= 0 || !data; }
    const std::uint8_t* row(int y) const { return data + static_cast<std::size_t>(y) * stride; }
};

// A width and height in pixels.
struct PixelSize {
    int width = 0;
    int height = 0;

    bool operator==(const PixelSize&) const = default;
};

// A rectangle of pixels: its top-left corner and its size.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    // The part of this rectangle inside `other`; empty when they do not meet.
    PixelRect intersected(const PixelRect& other) const;
    bool operator==(const PixelRect&) const = default;
};

// The size a w × h picture gets when it is made to fit `maxWidth` without ever being enlarged:
// scale s = min(maxWidth / w, 1), each side w·s and h·s truncated, at least 1. Computed exactly
// (3840 × 2160 into 400 gives 400 × 225). Nothing for a picture without area.
std::optional<PixelSize> fittedSize(int width, int height, int maxWidth);

}  // namespace marlune
