#pragma once

#include "library/edit_document.h"
#include "platform/image/bgra_image.h"

namespace marlune {

// The sizes of a shaped output. A shape other than the recording's own keeps the short side of the
// picture it is given and takes its aspect from the shape: a 1920 × 1080 recording becomes
// 1080 × 1920 in 9:16, 1080 × 1080 in 1:1 and 1440 × 1080 in 4:3 (so "1080p" stays 1080 pixels
// across the short side, as short-video sites count it). Pure functions; any thread.

// The shape's width and height ratio; 0 for the original shape.
double shapeAspect(OutputShape shape);

// The canvas the composition draws a `picture`-sized recording on: the picture itself for the
// original shape (or a picture without area), otherwise the shape at its short side, rounded to
// whole pixels.
PixelSize shapedCanvas(PixelSize picture, OutputShape shape);

// The size of the written movie for an output of `out` (the recording's size, or a chosen height
// of it): `out` itself for the original shape, otherwise shapedCanvas(out) with both sides made
// even (lowest bit cleared) for the encoders' colour format.
PixelSize shapedOutput(PixelSize out, OutputShape shape);

}  // namespace marlune
