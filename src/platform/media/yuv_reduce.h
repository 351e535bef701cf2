#pragma once

#include <cstdint>

#include "platform/image/bgra_image.h"
#include "platform/media/media_file.h"

namespace marlune {

// The planes of a 4:2:0 picture, read only: chroma planes have half the rows and columns
// (rounded up) of the luma plane.
struct ConstYuvPlanes {
    const std::uint8_t* y = nullptr;
    int yStride = 0;
    const std::uint8_t* u = nullptr;
    int uStride = 0;
    const std::uint8_t* v = nullptr;
    int vStride = 0;
};

// Reduces a `width` × `height` 4:2:0 picture by a whole `factor` into opaque BGRA of
// (width / factor) × (height / factor) pixels (truncated; the last columns and rows that do not
// fill a block are left out), each pixel the mean of its factor × factor block of luma and of the
// chroma samples under that block. For large reductions a box mean is both a better filter than a
// scaler's bilinear taps and several times cheaper. `fullRange`: the values use 0–255 rather than
// the studio range. `into` is reallocated only when its size differs. Needs 1 ≤ factor ≤ width,
// height. Any thread.
void reduceYuv420ToBgra(const ConstYuvPlanes& in, int width, int height, int factor,
                        ColourMatrix matrix, bool fullRange, BgraImage& into);

// Converts a `width` × `height` picture of packed 4:2:2 ("YUYV": Y0 U Y1 V for each pair of
// pixels, `stride` bytes a row) into opaque BGRA of the same size. The same fixed-point
// arithmetic as reduceYuv420ToBgra; `into` is reallocated only when its size differs. Any thread.
void yuyvToBgra(const std::uint8_t* in, int stride, int width, int height, ColourMatrix matrix,
                bool fullRange, BgraImage& into);

}  // namespace marlune
