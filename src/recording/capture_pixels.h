#pragma once

#include <cstdint>
#include <vector>

#include "platform/image/bgra_image.h"
#include "render/resample.h"

namespace marlune {

// A writable BGRA picture somewhere in memory (a frame being made).
struct PixelsRef {
    std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes between rows
};

// Opaque black, the colour of what a frame leaves out.
inline constexpr std::uint32_t kOpaqueBlack = 0xff000000;

// Paints `rect` (clipped to the picture) with one 0xAARRGGBB colour.
void fillRect(const PixelsRef& pixels, const PixelRect& rect, std::uint32_t argb);

// Draws a premultiplied picture over the pixels with its top-left corner at (x, y), clipped to
// the picture (source over destination).
void drawOver(const PixelsRef& pixels, const BgraImage& sprite, int x, int y);

// Where a w × h picture goes inside a target of `targetWidth` × `targetHeight` when it is made
// as large as fits with its shape kept, centred. Sides are at least 1 pixel.
PixelRect fitInside(int width, int height, int targetWidth, int targetHeight);

// Scales whole pictures into whole frames again and again (a stream), keeping its scratch
// memory between calls. Each halving of the size is a 2 × 2 average, so that fine detail such
// as text turns grey rather than into noise; what remains is bilinear. Not thread-safe.
class FrameScaler {
  public:
    void scale(const PixelsView& source, const PixelsRef& target);

  private:
    std::vector<std::uint8_t> scratch_[2];
};

// The 2 × 2 averages of `source` into a picture of half its size (rounded down).
void halve(const PixelsView& source, const PixelsRef& target);

}  // namespace marlune
