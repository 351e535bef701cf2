#include "render/composition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "render/raster.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

fs::path sourceWebRoot() {
    return fs::path(MARLUNE_SOURCE_DIR) / "web";
}

// 0xAARRGGBB of a pixel of an ARGB32 surface.
std::uint32_t pixel(const Surface& s, int x, int y) {
    cairo_surface_flush(s.get());
    std::uint32_t p;
    std::memcpy(
        &p,
        cairo_image_surface_get_data(s.get()) + y * cairo_image_surface_get_stride(s.get()) + 4 * x,
        4);
    return p;
}

TEST(Composition, ColourStrings) {
    struct Case {
        const char* text;
        int r, g, b;
    };
    const Case cases[] = {
        {"#1e90ff", 0x1e, 0x90, 0xff},
        {"1E90FF", 0x1e, 0x90, 0xff},
        {"##1e#90ff", 0x1e, 0x90, 0xff},
        {"#abc", 0x00, 0x0a, 0xbc},
        {"#12g456", 0, 0, 0x12},
        {"red", 0, 0, 0},
        {"", 0, 0, 0},
        {"#ff1e90ff", 0x1e, 0x90, 0xff},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Rgb rgb = colorFromString(c.text);
        EXPECT_DOUBLE_EQ(rgb.r * 255, c.r);
        EXPECT_DOUBLE_EQ(rgb.g * 255, c.g);
        EXPECT_DOUBLE_EQ(rgb.b * 255, c.b);
    }
}

TEST(Composition, GradientRunsAlongItsAngleAndSpansThePicture) {
    struct Case {
        double angle;
        int fromX, fromY, toX, toY;  // pixels that carry the pure end colours
    };
    // Red to blue on 200 × 100: 0 runs down, 90 right, 180 up, 45 from the top-left corner.
    const Case cases[] = {
        {0, 100, 0, 100, 99}, {90, 0, 50, 199, 50}, {180, 100, 99, 100, 0}, {45, 0, 0, 199, 99}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.angle);
        Surface g = gradientImage("#ff0000", "#0000ff", c.angle, 200, 100);
        auto red = [](std::uint32_t p) { return int(p >> 16 & 255); };
        EXPECT_GE(red(pixel(g, c.fromX, c.fromY)), 250);
        EXPECT_LE(red(pixel(g, c.toX, c.toY)), 5);
        EXPECT_EQ(pixel(g, 0, 0) >> 24, 255u);
    }
}

TEST(Composition, AspectFillCoversAndCentres) {
    // A 40 × 10 image, left half white, right half black, covering 20 × 20: scaled by 2, centred,
    // so the middle 20 of its 80 columns show: 10 white, then 10 black.
    Surface wide = makeSurface(40, 10);
    cairo_t* cr = cairo_create(wide.get());
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, 0, 0, 20, 10);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_rectangle(cr, 20, 0, 20, 10);
    cairo_fill(cr);
    cairo_destroy(cr);
    Surface filled = aspectFill(wide, 20, 20);
    EXPECT_EQ(pixel(filled, 2, 10), 0xffffffffu);
    EXPECT_EQ(pixel(filled, 17, 10), 0xff000000u);
    EXPECT_EQ(pixel(filled, 10, 0) >> 24, 255u);

    EXPECT_EQ(pixel(aspectFill(Surface(), 8, 8), 4, 4), 0xff000000u);
}

TEST(Composition, Backgrounds) {
    FrameSettings f;
    f.type = "wallpaper";
    f.id = "aurora";
    EXPECT_NE(pixel(backgroundImage(f, 64, 36, sourceWebRoot()), 32, 18), 0xff000000u);
    f.type = "live";  // the solid colour stands in when no movie plays
    f.hex = "#336699";
    EXPECT_EQ(pixel(backgroundImage(f, 8, 8, sourceWebRoot()), 4, 4), 0xff336699u);
}

TEST(Composition, OutlineOnlyAboveHalfAPixel) {
    EXPECT_FALSE(outlineImage({10, 10, 80, 40}, 5, 0.5, 100, 60));
    Surface o = outlineImage({10, 10, 80, 40}, 5, 2, 100, 60);
    ASSERT_TRUE(o);
    EXPECT_EQ(pixel(o, 50, 10), 0x73737373u);  // white at 0.45 on the edge, premultiplied
    EXPECT_EQ(pixel(o, 50, 30), 0u);           // nothing inside
    EXPECT_EQ(pixel(o, 9, 9), 0u);             // the corner is rounded away
}

TEST(Composition, SquirclePath) {
    // Radius limited to half the shorter side; 0.5 or less is a plain rectangle.
    EXPECT_EQ(squirclePath(100, 60, 0.5).size(), 4u);
    EXPECT_EQ(squirclePath(100, 60, -3).size(), 4u);
    const auto path = squirclePath(100, 60, 90);
    ASSERT_EQ(path.size(), 41u);
    EXPECT_DOUBLE_EQ(path[0].x, 30);  // starts at (r', 0) with r' = 30
    EXPECT_DOUBLE_EQ(path[0].y, 0);
    // Each corner ends on the next edge's tangent point, and the corner bulges past a circle:
    // halfway round, a 4/9 superellipse reaches 30 × (√½)^(4/9) ≈ 25.7 from its centre.
    EXPECT_NEAR(path[10].x, 100, 1e-9);
    EXPECT_NEAR(path[10].y, 30, 1e-9);
    EXPECT_NEAR(path[5].x, 70 + 30 * std::pow(std::sqrt(0.5), 4.0 / 9), 1e-9);
    EXPECT_NEAR(path[40].x, 30, 1e-5);  // (cos 3π/2 is not quite 0)
    EXPECT_NEAR(path[40].y, 0, 1e-9);
}

TEST(Composition, Presets) {
    const char* names[] = {"top-left",     "top-center",   "top-right",   "center-left",
                           "center",       "center-right", "bottom-left", "bottom-center",
                           "bottom-right", "Top-Left",     "custom"};
    const double anchors[][2] = {{0, 0}, {0.5, 0}, {1, 0}, {0, 0.5}, {0.5, 0.5}, {1, 0.5},
                                 {0, 1}, {0.5, 1}, {1, 1}, {1, 1},   {1, 1}};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        EXPECT_EQ(preset(names[i]).x, anchors[i][0]) << names[i];
        EXPECT_EQ(preset(names[i]).y, anchors[i][1]) << names[i];
    }
}

TEST(Composition, WebcamDecodeWidth) {
    const WebcamFX webcam{.width = 40, .height = 40};  // 432 × 432 on 1080p
    FrameSettings padded;
    padded.type = "color";
    padded.paddingPct = 10;  // k = 1704 / 1920
    EXPECT_EQ(webcamDecodeWidth(webcam, std::nullopt, 1920, 1080, 1280, 720), 768);  // 432 × 16/9
    EXPECT_EQ(webcamDecodeWidth(webcam, padded, 1920, 1080, 1280, 720), 682);
    EXPECT_EQ(webcamDecodeWidth(webcam, std::nullopt, 1920, 1080, 640, 480), 576);
    EXPECT_EQ(webcamDecodeWidth(webcam, std::nullopt, 1920, 1080, 320, 240), 320);  // never wider
    EXPECT_FALSE(webcamDecodeWidth(webcam, std::nullopt, 40, 8, 1280, 720));
}

TEST(Composition, WebcamPlacementKeepsToThePartShown) {
    const WebcamFX webcam{.positionPreset = "top-left", .width = 20, .height = 20};
    const WebcamBox box = *webcamBox(webcam, 1920, 1080);  // 216, margin 24
    // A padded frame cuts the top 130 rows of the picture: the webcam goes below them.
    const WebcamPlacement p = webcamPlacement(webcam, box, 1, {0, 130, 1920, 950});
    EXPECT_DOUBLE_EQ(p.rect.x, 24);
    EXPECT_DOUBLE_EQ(p.rect.y, 154);
    WebcamFX custom = webcam;
    custom.positionPreset = "custom";
    custom.positionX = -1;  // clamped to the left
    custom.positionY = 2;   // and to the bottom
    const WebcamPlacement c = webcamPlacement(custom, box, 1, {0, 0, 1920, 1080});
    EXPECT_DOUBLE_EQ(c.rect.x, 24);
    EXPECT_DOUBLE_EQ(c.rect.y, 1080 - 24 - 216);
}

TEST(Composition, RippleStartsSmallAndFadesOut) {
    EXPECT_FALSE(rippleAt(174.9, 30));
    const auto start = rippleAt(175, 30);
    ASSERT_TRUE(start);
    EXPECT_DOUBLE_EQ(start->radius, 0.5);
    EXPECT_DOUBLE_EQ(start->alpha, 0.6);
    EXPECT_DOUBLE_EQ(rippleAt(775, 30)->alpha, 0);
    EXPECT_FALSE(rippleAt(775.1, 30));
    EXPECT_FALSE(rippleAt(475, 2000));  // a bitmap over 4095 pixels is not drawn
}

}  // namespace
}  // namespace marlune
