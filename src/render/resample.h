#pragma once

#include <cstdint>
#include <vector>

#include "platform/image/bgra_image.h"

namespace marlune {

// A 32-bit-per-pixel picture in memory (BGRA, premultiplied), read-only.
struct PixelsView {
    const std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes between rows
};

// A writable BGRA picture somewhere in memory (a frame being made).
struct PixelsRef {
    std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes between rows
};

// Where a target pixel samples its source: the target pixel whose centre is at x + 0.5 shows the
// source at continuous position (x + 0.5) × scaleX + offsetX (pixel centres of the source are at
// i + 0.5 too), and likewise in y. Scales must be positive.
struct ResampleMap {
    double scaleX = 1;
    double offsetX = 0;
    double scaleY = 1;
    double offsetY = 0;
};

// Fills the target rectangle [x0, x1) × [y0, y1) with the bilinear samples of `source` under
// `map`; positions beyond the source's edges take the edge pixels. Weights have 1/64-pixel
// precision, so a map that is an exact whole-pixel shift copies pixels unchanged. The vectorised
// and the portable paths give identical pixels. `target` points at pixel (0, 0) of the target.
//
// This is the screen layer's one resampling pass per frame (zoom and placement combined), which
// cairo's general path does about twice as slowly. Any thread.
void resampleBilinear(const PixelsView& source, std::uint8_t* target, int targetStride, int x0,
                      int y0, int x1, int y1, const ResampleMap& map);

// Scales whole pictures into whole frames again and again (a stream), keeping its scratch
// memory between calls. Each halving of the size is a 2 × 2 average, so that fine detail such
// as text turns grey rather than into noise; what remains is bilinear. Not thread-safe.
class FrameScaler {
  public:
    void scale(const PixelsView& source, const PixelsRef& target);
    // `source` at `size`: itself when it has that size, else scaled into a picture kept here
    // (valid until the next call).
    const BgraImage& fitted(const BgraImage& source, PixelSize size);

  private:
    std::vector<std::uint8_t> scratch_[2];
    BgraImage fitted_;
};

// The 2 × 2 averages of `source` into a picture of half its size (rounded down).
void halve(const PixelsView& source, const PixelsRef& target);

}  // namespace marlune
