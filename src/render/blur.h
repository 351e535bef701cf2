#pragma once

#include "render/surface.h"

namespace marlune {

// Blurs of the composition, done in place on premultiplied ARGB32 or A8 image surfaces. Pixels
// beyond the surface's edges count as transparent, so callers leave a transparent margin wide
// enough for what spreads out (3 × sigma for the Gaussian, the radius for the streak). Any thread;
// one surface at a time.

// Gaussian blur with standard deviation `sigma` pixels. Small sigmas use the exact kernel (cut at
// 3 sigma); large ones three box blurs of matching variance, which cost the same whatever the
// sigma. Nothing happens for sigma below 0.05.
void gaussianBlur(Surface& image, double sigma);

// Motion streak along the x axis: every pixel becomes the mean of the pixels within `radius` on
// either side (the two end pixels weighted by the fractional part), then, when `sigma` is given, a
// Gaussian blur softens it (the same as calling gaussianBlur, in one pass over memory). To streak
// along another direction, draw the image turned so that the direction lies along x, blur, and
// turn it back.
void horizontalMotionBlur(Surface& image, double radius, double sigma = 0);

}  // namespace marlune
