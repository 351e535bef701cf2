#pragma once

#include <cstdint>
#include <vector>

#include "platform/image/bgra_image.h"
#include "render/resample.h"

namespace marlune {

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

}  // namespace marlune
