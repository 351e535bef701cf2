#pragma once

#include <cstdint>

#include "platform/image/bgra_image.h"
#include "platform/media/media_file.h"

namespace marlune {

// The three planes of a 4:2:0 picture: chroma planes have half the rows and columns (rounded
// up) of the luma plane.
struct YuvPlanes {
    std::uint8_t* y = nullptr;
    int yStride = 0;
    std::uint8_t* u = nullptr;
    int uStride = 0;
    std::uint8_t* v = nullptr;
    int vStride = 0;
};

// Converts rows [rowBegin, rowEnd) of an opaque BGRA image (premultiplied pixels count as if
// over black) into studio-range YUV 4:2:0 of the same size, with `matrix`. Each chroma sample
// is the mean of its 2 × 2 block (the last row or column repeated at an odd edge). `rowBegin`
// must be even, so that bands converted side by side never share a chroma row. Results are
// within one step of exact rounding. Any thread.
void bgraToYuv420(const BgraPixels& image, int rowBegin, int rowEnd, const YuvPlanes& out,
                  ColourMatrix matrix);

}  // namespace marlune
