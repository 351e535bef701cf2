#include "platform/media/bgra_to_yuv.h"

#include <cmath>

#include "platform/media/pixel_loop.h"

namespace marlune {

namespace {

// Fixed-point coefficients (16 fractional bits) of the studio-range conversion:
// Y = 16 + 219/255 · (Kr·R + Kg·G + Kb·B), U and V = 128 + 224/255 · the scaled differences.
struct Coefficients {
    std::int32_t yr, yg, yb;
    std::int32_t ur, ug, ub;
    std::int32_t vr, vg, vb;
};

constexpr std::int32_t fixed(double v) {
    return static_cast<std::int32_t>(v * 65536.0 + (v < 0 ? -0.5 : 0.5));
}

constexpr Coefficients coefficients(double kr, double kb) {
    const double kg = 1.0 - kr - kb;
    const double ys = 219.0 / 255.0;
    const double us = 224.0 / 255.0 / (2.0 * (1.0 - kb));
    const double vs = 224.0 / 255.0 / (2.0 * (1.0 - kr));
    return {fixed(ys * kr),         fixed(ys * kg),  fixed(ys * kb),
            fixed(-us * kr),        fixed(-us * kg), fixed(us * (1.0 - kb)),
            fixed(vs * (1.0 - kr)), fixed(-vs * kg), fixed(-vs * kb)};
}

constexpr Coefficients kBt601 = coefficients(0.299, 0.114);
constexpr Coefficients kBt709 = coefficients(0.2126, 0.0722);

constexpr std::int32_t kYOffset = (16 << 16) + (1 << 15);
// Chroma works on sums of four pixels: two more fractional bits.
constexpr std::int32_t kCOffset = (128 << 18) + (1 << 17);

inline std::int32_t red(std::uint32_t p) {
    return static_cast<std::int32_t>((p >> 16) & 0xFF);
}
inline std::int32_t green(std::uint32_t p) {
    return static_cast<std::int32_t>((p >> 8) & 0xFF);
}
inline std::int32_t blue(std::uint32_t p) {
    return static_cast<std::int32_t>(p & 0xFF);
}

// The loops are written for the vectoriser: 32-bit lanes, no branches. Built twice, for AVX2
// and for the baseline instruction set, and picked at run time.
MARLUNE_PIXEL_LOOP void lumaRow(const std::uint32_t* in, std::uint8_t* out, int width,
                                Coefficients c) {
    for (int x = 0; x < width; ++x) {
        const std::uint32_t p = in[x];
        out[x] = static_cast<std::uint8_t>(
            (c.yr * red(p) + c.yg * green(p) + c.yb * blue(p) + kYOffset) >> 16);
    }
}

MARLUNE_PIXEL_LOOP void chromaRow(const std::uint32_t* top, const std::uint32_t* bottom,
                                  std::uint8_t* u, std::uint8_t* v, int pairs, Coefficients c) {
    for (int x = 0; x < pairs; ++x) {
        const std::uint32_t a = top[2 * x], b = top[2 * x + 1];
        const std::uint32_t d = bottom[2 * x], e = bottom[2 * x + 1];
        const std::int32_t r = red(a) + red(b) + red(d) + red(e);
        const std::int32_t g = green(a) + green(b) + green(d) + green(e);
        const std::int32_t bl = blue(a) + blue(b) + blue(d) + blue(e);
        u[x] = static_cast<std::uint8_t>((c.ur * r + c.ug * g + c.ub * bl + kCOffset) >> 18);
        v[x] = static_cast<std::uint8_t>((c.vr * r + c.vg * g + c.vb * bl + kCOffset) >> 18);
    }
}

}  // namespace

void bgraToYuv420(const BgraPixels& image, int rowBegin, int rowEnd, const YuvPlanes& out,
                  ColourMatrix matrix) {
    const Coefficients& c = matrix == ColourMatrix::bt709 ? kBt709 : kBt601;
    const int width = image.width;
    const int pairs = width / 2;
    for (int y = rowBegin; y < rowEnd; y += 2) {
        const auto* top = reinterpret_cast<const std::uint32_t*>(image.row(y));
        // An odd last row pairs with itself.
        const bool single = y + 1 >= image.height;
        const auto* bottom =
            single ? top : reinterpret_cast<const std::uint32_t*>(image.row(y + 1));
        lumaRow(top, out.y + static_cast<std::ptrdiff_t>(y) * out.yStride, width, c);
        if (!single && y + 1 < rowEnd) {
            lumaRow(bottom, out.y + static_cast<std::ptrdiff_t>(y + 1) * out.yStride, width, c);
        }
        std::uint8_t* u = out.u + static_cast<std::ptrdiff_t>(y / 2) * out.uStride;
        std::uint8_t* v = out.v + static_cast<std::ptrdiff_t>(y / 2) * out.vStride;
        chromaRow(top, bottom, u, v, pairs, c);
        if (width % 2 == 1) {
            // The last column pairs with itself.
            const std::uint32_t a = top[width - 1], d = bottom[width - 1];
            const std::int32_t r = 2 * (red(a) + red(d));
            const std::int32_t g = 2 * (green(a) + green(d));
            const std::int32_t b = 2 * (blue(a) + blue(d));
            u[pairs] = static_cast<std::uint8_t>((c.ur * r + c.ug * g + c.ub * b + kCOffset) >> 18);
            v[pairs] = static_cast<std::uint8_t>((c.vr * r + c.vg * g + c.vb * b + kCOffset) >> 18);
        }
    }
}

}  // namespace marlune
