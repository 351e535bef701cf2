// Colours, the outline, the webcam's decoding width, and the resampler against bilinear sampling.

#include <gtest/gtest.h>

#include <cmath>

#include "render/composition.h"
#include "render/resample.h"
#include "render_support.h"

namespace marlune {
namespace {

TEST(Composition, ColoursOutlineAndWebcamDecodeWidth) {
    const std::pair<const char*, std::uint32_t> colours[] = {
        {"#1e90ff", 0x1e90ff},
        {"##1e#90ff", 0x1e90ff},
        {"#abc", 0x000abc},
        {"#12g456", 0x12},
        {"red", 0},
        {"#ff1e90ff", 0x1e90ff},
    };
    for (auto [text, rgb] : colours) {
        const Rgb c = colorFromString(text);
        const std::uint32_t got = std::uint32_t(std::lround(c.r * 255)) << 16 |
                                  std::uint32_t(std::lround(c.g * 255)) << 8 |
                                  std::uint32_t(std::lround(c.b * 255));
        EXPECT_EQ(got, rgb) << text;
    }
    // An outline only above half a pixel.
    EXPECT_FALSE(outlineImage({10, 10, 80, 40}, 5, 0.5, 100, 60));
    Surface o = outlineImage({10, 10, 80, 40}, 5, 2, 100, 60);
    ASSERT_TRUE(o);
    EXPECT_EQ(test::surfacePixel(o, 50, 10), 0x73737373u);  // white at 0.45 on the edge
    EXPECT_EQ(test::surfacePixel(o, 50, 30), 0u);           // nothing inside
    EXPECT_EQ(test::surfacePixel(o, 9, 9), 0u);             // the corner is rounded away
    // The webcam is decoded no wider than it shows.
    const WebcamFX webcam{.width = 40, .height = 40};  // 432 × 432 on 1080p
    const FrameSettings padded{
        .type = "color", .paddingPct = 10, .radiusPct = 3};  // k = 864 / 1080
    EXPECT_EQ(webcamDecodeWidth(webcam, std::nullopt, 1920, 1080, 1280, 720), 768);  // 432 × 16/9
    EXPECT_EQ(webcamDecodeWidth(webcam, padded, 1920, 1080, 1280, 720), 615);
    EXPECT_EQ(webcamDecodeWidth(webcam, std::nullopt, 1920, 1080, 320, 240), 320);  // never wider
    EXPECT_FALSE(webcamDecodeWidth(webcam, std::nullopt, 40, 8, 1280, 720));  // not shown at all
}

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

}  // namespace
}  // namespace marlune
