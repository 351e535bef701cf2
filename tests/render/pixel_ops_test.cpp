// The composition's own pixel operations: the screen's resampling pass and the blurs.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "render/blur.h"
#include "render/resample.h"

namespace marlune {
namespace {

// Bilinear sample of channel c at continuous position (u, v), edges extended: the reference.
double reference(const std::vector<std::uint8_t>& px, int w, int h, double u, double v, int c) {
    const double sx = std::clamp(u - 0.5, 0.0, w - 1.0), sy = std::clamp(v - 0.5, 0.0, h - 1.0);
    const int x0 = int(sx), y0 = int(sy);
    const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
    const double fx = sx - x0, fy = sy - y0;
    auto at = [&](int x, int y) { return double(px[(y * w + x) * 4 + c]); };
    return (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
           (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
}

TEST(Resample, MatchesBilinearSamplingWithExtendedEdges) {
    const int w = 37, h = 23;  // odd sizes: the vector path's leftovers run too
    std::vector<std::uint8_t> px(w * h * 4);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = std::uint8_t((i * 7919) % 251);
    const PixelsView source{px.data(), w, h, w * 4};
    struct Case {
        const char* name;
        ResampleMap map;
    };
    const Case cases[] = {
        {"identity", {1, 0, 1, 0}},         {"whole-pixel shift", {1, 3, 1, -2}},
        {"enlarge 2", {0.5, 2, 0.5, 1}},    {"shrink", {1.31, -0.4, 1.31, 0.7}},
        {"stretch", {0.7, 5.2, 1.6, -3.1}},
    };
    const int tw = 45, th = 30;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> out(tw * th * 4, 0);
        resampleBilinear(source, out.data(), tw * 4, 3, 2, tw - 1, th - 3, c.map);
        double worst = 0;
        for (int y = 0; y < th; ++y) {
            for (int x = 0; x < tw; ++x) {
                const bool inside = x >= 3 && x < tw - 1 && y >= 2 && y < th - 3;
                for (int ch = 0; ch < 4; ++ch) {
                    const int got = out[(y * tw + x) * 4 + ch];
                    if (!inside) {
                        ASSERT_EQ(got, 0) << "wrote outside the rectangle at " << x << "," << y;
                        continue;
                    }
                    const double want =
                        reference(px, w, h, (x + 0.5) * c.map.scaleX + c.map.offsetX,
                                  (y + 0.5) * c.map.scaleY + c.map.offsetY, ch);
                    worst = std::max(worst, std::abs(got - want));
                }
            }
        }
        // Weights in 1/64 pixel: within two levels of the exact blend; shifts are exact.
        EXPECT_LE(worst, c.map.scaleX == 1 && c.map.scaleY == 1 ? 0 : 2.5);
    }
}

Surface a8(int w, int h) {
    return Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, w, h));
}

std::uint8_t* row(const Surface& s, int y) {
    return cairo_image_surface_get_data(s.get()) + y * cairo_image_surface_get_stride(s.get());
}

TEST(Blur, GaussianProfileOfAnEdge) {
    // A band opaque from x = 20 to 380: across its right edge the blur follows the normal
    // distribution, whether the exact kernel (small sigma) or three box blurs (large) do it.
    for (double sigma : {1.5, 2.5, 6.0, 20.0}) {
        SCOPED_TRACE(sigma);
        Surface s = a8(460, 200);
        for (int y = 0; y < 200; ++y) std::fill(row(s, y) + 20, row(s, y) + 380, 255);
        cairo_surface_mark_dirty(s.get());
        gaussianBlur(s, sigma);
        cairo_surface_flush(s.get());
        const std::uint8_t* middle = row(s, 100);
        for (double d : {-2.0, -1.0, -0.5, 0.0, 0.5, 1.0, 2.0}) {
            const int x = int(std::lround(380 + d * sigma - 0.5));
            const double share = 0.5 * std::erfc((x + 0.5 - 380) / sigma / std::sqrt(2.0));
            EXPECT_NEAR(middle[x], 255 * share, 4) << "at " << d << " sigma";
        }
        EXPECT_EQ(middle[200], 255);  // far from the edges: untouched
    }
}

TEST(Blur, MotionStreakSpreadsAlongX) {
    Surface s = makeSurface(21, 1);
    auto* p = reinterpret_cast<std::uint32_t*>(row(s, 0));
    p[10] = 0xffffffff;
    cairo_surface_mark_dirty(s.get());
    horizontalMotionBlur(s, 3.5);  // 7 pixels in full, the 2 beyond them at half weight: /8
    cairo_surface_flush(s.get());
    for (int x = 0; x < 21; ++x) {
        const int d = std::abs(x - 10);
        const int want = d <= 3 ? 32 : d == 4 ? 16 : 0;
        EXPECT_NEAR(int(p[x] >> 24), want, 1) << x;
        EXPECT_EQ(p[x] >> 24, p[x] & 255) << "premultiplied colour follows alpha";
    }
}

}  // namespace
}  // namespace marlune
