// Layers drawn wrong or misplaced; golden frames in data/ (MARLUNE_UPDATE_GOLDEN=1 rewrites them).

#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "render/compose/frame_composer.h"
#include "render/composition.h"
#include "render/export/export_renderer.h"
#include "render/live_background_reader.h"
#include "render/output_shape.h"
#include "render/raster.h"
#include "render/resample.h"
#include "render_support.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::channelDistance;
using test::solid;
using test::sourceWebRoot;

// A screen-like source whose quadrant marks show a zoom or a shift.
BgraImage screen(int w, int h) {
    BgraImage image = BgraImage::blank(w, h);
    Surface s = wrapImage(image);
    cairo_t* cr = cairo_create(s.get());
    cairo_set_source_rgb(cr, 0.95, 0.95, 0.96);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0.15, 0.17, 0.22);
    cairo_rectangle(cr, 0, 0, w * 0.2, h);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.12);
    for (int y = h / 8; y < h * 3 / 4; y += h / 16) {
        cairo_rectangle(cr, w * 0.25, y, w * (0.35 + 0.2 * std::sin(y)), h / 40.0);
    }
    cairo_fill(cr);
    const double colours[4][3] = {
        {0.9, 0.2, 0.2}, {0.2, 0.7, 0.3}, {0.2, 0.4, 0.9}, {0.9, 0.7, 0.1}};
    for (int q = 0; q < 4; ++q) {
        cairo_set_source_rgb(cr, colours[q][0], colours[q][1], colours[q][2]);
        cairo_rectangle(cr, (q % 2 ? 0.8 : 0.25) * w, (q / 2 ? 0.8 : 0.05) * h, 0.1 * w, 0.1 * h);
        cairo_fill(cr);
    }
    cairo_destroy(cr);
    return image;
}

// A webcam picture: left half red, right half blue, a white disc in the middle.
BgraImage webcamPicture(int w, int h) {
    BgraImage image = solid(w, h, 0xdd2222);
    Surface s = wrapImage(image);
    cairo_t* cr = cairo_create(s.get());
    cairo_set_source_rgb(cr, 0.15, 0.3, 0.85);
    cairo_rectangle(cr, w / 2.0, 0, w / 2.0, h);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_arc(cr, w / 2.0, h / 2.0, h / 4.0, 0, 2 * std::numbers::pi);
    cairo_fill(cr);
    cairo_destroy(cr);
    return image;
}

// Webcam pictures every 1/30 s from 0, all the same.
std::function<std::optional<DecodedFrame>()> webcamFeed(BgraImage picture) {
    auto next = std::make_shared<int>(0);
    return [picture = std::move(picture), next] {
        return std::optional(DecodedFrame{picture, (*next)++ / 30.0});
    };
}

CompositionInputs baseInputs(int w, int h) {
    CompositionInputs in;
    in.width = in.outWidth = w;
    in.height = in.outHeight = h;
    in.timeMap = TimeMap(0, 60000);
    in.webRoot = sourceWebRoot();
    return in;
}

FrameSettings frame(std::string type, double padding, double radius, double shadow,
                    std::string hex = "#000000") {
    return {.type = std::move(type),
            .hex = std::move(hex),
            .paddingPct = padding,
            .radiusPct = radius,
            .shadowPct = shadow};
}

FrameComposer::Step stepAt(double ms, double scale = 1, double fx = 0.5, double fy = 0.5,
                           std::optional<MotionSim::CursorOut> cursor = std::nullopt) {
    FrameComposer::Step step;
    step.srcMs = step.outMs = ms;
    step.motion = {scale, fx, fy, cursor};
    step.scale = scale > 1.001 ? scale : 1;
    return step;
}

BgraImage compose(CompositionInputs in, const FrameComposer::Step& step, const BgraImage& source) {
    FrameComposer composer(std::move(in));
    BgraImage canvas;
    composer.render(step, source, canvas);
    return canvas;
}

// Bounds [x0, x1) × [y0, y1) of the pixels that `match(x, y)`; x1 is -1 when there is none.
struct Found {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};
Found bounds(const BgraImage& image, const std::function<bool(int, int)>& match) {
    Found f;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (!match(x, y)) continue;
            f = {std::min(f.x0, x), std::min(f.y0, y), std::max(f.x1, x + 1),
                 std::max(f.y1, y + 1)};
        }
    }
    return f;
}
Found find(const BgraImage& image, std::uint32_t colour) {
    return bounds(image, [&](int x, int y) { return image.pixel(x, y) == colour; });
}

// The ripple from 175 to 775 ms after its click, the blur above 1.5 pixels after the zoom.
TEST(FrameComposer, RippleAndBlurShowOnlyPastTheirThresholds) {
    auto ripple = [](double sinceMs) {  // -1: no click
        auto in = baseInputs(320, 180);
        in.cursor = CursorFX{.path = {{0, 0.1, 0.1, 0}}};
        if (sinceMs >= 0) in.cursor->clicks.push_back({1000 - sinceMs, 0.6, 0.6});
        return compose(in, stepAt(1000, 1, 0.5, 0.5, MotionSim::CursorOut{0.1, 0.1, 0, 1, 0, 0, 0}),
                       solid(320, 180, 0x204060));
    };
    auto blur = [](double blurVX, double zoom) {
        auto in = baseInputs(320, 180);
        in.cursor = CursorFX{.path = {{0, 0.5, 0.5, 0}}};
        return compose(
            in, stepAt(0, zoom, 0.5, 0.5, MotionSim::CursorOut{0.5, 0.5, 0, 1, blurVX, 0, 0}),
            solid(320, 180, 0x808080));
    };
    struct Case {
        const char* what;
        BgraImage with, without;
        bool drawn;
    };
    const Case cases[] = {
        {"ripple at 174 ms", ripple(174), ripple(-1), false},
        {"ripple at 175 ms", ripple(175), ripple(-1), true},
        {"ripple at 600 ms", ripple(600), ripple(-1), true},
        {"ripple at 775 ms", ripple(775), ripple(-1), false},
        {"blur of 1.4 px", blur(1.4, 1), blur(0, 1), false},
        {"blur of 1.6 px", blur(1.6, 1), blur(0, 1), true},
        {"blur of 1 px at zoom 2", blur(1, 2), blur(0, 2), true},
    };
    for (const Case& c : cases) EXPECT_EQ(c.with.pixels != c.without.pixels, c.drawn) << c.what;
}

TEST(FrameComposer, WebcamBoxPlacementAndZoomReaction) {
    struct Case {
        const char* name;
        double width, height, zoom;
        std::string preset;
        bool react;
        int w, h, right, bottom;  // expected box size and far edges (± 1)
    };
    // 640 × 360: m = 360, unit 1/3, margin 8, minimum side 18.67.
    const Case cases[] = {
        {"width 5 counts as 10 %", 5, 20, 1, "bottom-right", false, 36, 72, 632, 352},
        {"unknown preset", 20, 20, 1, "somewhere", false, 72, 72, 632, 352},
        {"top-left", 20, 20, 1, "top-left", false, 72, 72, 80, 80},
        {"zoom 2 halves it", 20, 20, 2, "bottom-right", true, 36, 36, 632, 352},
        {"never below the minimum", 10, 10, 6, "bottom-right", true, 19, 19, 632, 352},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto in = baseInputs(640, 360);
        in.webcam = WebcamFX{.file = "a.webcam.mp4",
                             .positionPreset = c.preset,
                             .width = c.width,
                             .height = c.height,
                             .cornerRadius = 0,
                             .shadow = 0,
                             .reactToZoom = c.react};
        in.webcamFrames = webcamFeed(solid(64, 48, 0x00ff00));
        const BgraImage out = compose(in, stepAt(0, c.zoom), solid(640, 360, 0x000080));
        const Found f = find(out, 0xff00ff00);
        EXPECT_NEAR(f.x1 - f.x0, c.w, 1);
        EXPECT_NEAR(f.y1 - f.y0, c.h, 1);
        EXPECT_NEAR(f.x1, c.right, 1);
        EXPECT_NEAR(f.y1, c.bottom, 1);
    }
    // A padded frame cuts the top 130 rows of a 1080p picture: a top-left webcam goes below them.
    const WebcamFX topLeft{.positionPreset = "top-left", .width = 20, .height = 20};
    const WebcamBox box = *webcamBox(topLeft, 1920, 1080);  // 216, margin 24
    const WebcamPlacement p = webcamPlacement(topLeft, box, 1, {0, 130, 1920, 950});
    EXPECT_DOUBLE_EQ(p.rect.x, 24);
    EXPECT_DOUBLE_EQ(p.rect.y, 154);
}

TEST(FrameComposer, WebcamShowsTheLatestPictureNotAfterTheFrameAndStaysAtTheEnd) {
    // Pictures at 0, 0.5 and 1 s of a webcam movie starting 200 ms after the screen.
    const std::uint32_t colours[] = {0xff0000, 0x00ff00, 0x0000ff};
    auto next = std::make_shared<int>(0);
    auto in = baseInputs(320, 180);
    in.webcam = WebcamFX{.file = "a.webcam.mp4", .offsetMs = 200, .shadow = 0};
    in.webcamFrames = [next, colours]() -> std::optional<DecodedFrame> {
        if (*next >= 3) return std::nullopt;
        const int i = (*next)++;
        return DecodedFrame{solid(32, 32, colours[i]), i * 0.5};
    };
    FrameComposer composer(in);
    const BgraImage source = solid(320, 180, 0x101010);
    BgraImage canvas;
    const std::pair<double, std::uint32_t> frames[] = {
        {0, 0xff0000},                       // before the webcam's first picture: the first one
        {650, 0xff0000},                     // 0.45 s of the webcam
        {700, 0x00ff00},                     // 0.5 s
        {1200, 0x0000ff}, {5000, 0x0000ff},  // past its end the last picture stays
    };
    for (auto [ms, colour] : frames) {
        composer.render(stepAt(ms), source, canvas);
        EXPECT_NE(find(canvas, 0xff000000u | colour).x1, -1) << ms;
    }
}

TEST(FrameComposer, MissingResourcesFallBack) {
    struct Case {
        const char* name;
        std::string type, id;
        bool webRoot;
        std::uint32_t background;
    };
    const Case cases[] = {
        {"wallpaper", "wallpaper", "aurora", true, 0},  // 0: anything but the fallbacks
        {"wallpaper file missing", "wallpaper", "no-such-wallpaper", true, 0xff000000},
        {"wallpaper without web root", "wallpaper", "aurora", false, 0xff000000},
        {"live movie missing", "live", "no-such-movie", true, 0xff3366cc},
        {"live without web root", "live", "aurora-drift", false, 0xff3366cc},
        {"colour", "color", "", true, 0xff3366cc},
        // Names that would reach files outside their folders count as missing.
        {"wallpaper from another folder", "wallpaper", "../thumbs/aurora", true, 0xff000000},
        {"wallpaper by its full path", "wallpaper",
         (sourceWebRoot() / "wallpapers/full/aurora").string(), true, 0xff000000},
        {"live movie by its full path", "live",
         (sourceWebRoot() / "wallpapers/live/aurora-drift").string(), true, 0xff3366cc},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto in = baseInputs(320, 180);
        in.frame = frame(c.type, 10, 3, 0, "#3366CC");
        in.frame->id = c.id;
        if (!c.webRoot) in.webRoot.reset();
        const std::uint32_t corner = compose(in, stepAt(0), solid(320, 180, 0xffffff)).pixel(3, 3);
        if (c.background) {
            EXPECT_EQ(corner, c.background);
        } else {
            EXPECT_TRUE(corner != 0xff000000 && corner != 0xff3366cc);
        }
    }
}

TEST(FrameComposer, HostileValuesNeitherCrashNorLeaveTheCanvas) {
    const BgraImage source = screen(160, 90);
    auto in = baseInputs(160, 90);
    in.frame = frame("gradient", 40, 20, 100);
    in.frame->outlinePct = 4;
    in.cursor = CursorFX{.path = {{0, 0.5, 0.5, 0}}};
    in.cursor->clicks.push_back({900, 1e300, -1e300});
    in.webcam = WebcamFX{.file = "a.webcam.mp4", .margin = 1e300, .reactToZoom = true};
    in.webcamFrames = webcamFeed(solid(8, 8, 0x00ff00));
    FrameComposer composer(in);
    BgraImage canvas;
    for (double v : {0.0, -1e300, 1e300, double(NAN), double(INFINITY)}) {
        composer.render(stepAt(1200, 6, v, v, MotionSim::CursorOut{v, v, v, 1, v, v, 99}), source,
                        canvas);
        EXPECT_EQ(std::pair(canvas.width, canvas.height), std::pair(160, 90));
    }
    // A source of another size is stretched to the canvas.
    composer.render(stepAt(0), screen(80, 45), canvas);
    EXPECT_EQ(canvas.width, 160);
}

// ---- Golden frames ----

void expectGolden(const std::string& name, const BgraImage& image) {
    const fs::path path = fs::path(MARLUNE_SOURCE_DIR) / "tests/render/data" / (name + ".png");
    if (std::getenv("MARLUNE_UPDATE_GOLDEN")) {
        ASSERT_EQ(cairo_surface_write_to_png(wrapImage(image).get(), path.c_str()),
                  CAIRO_STATUS_SUCCESS);
        GTEST_SKIP() << "wrote " << path;
    }
    Surface png = Surface::adopt(cairo_image_surface_create_from_png(path.c_str()));
    ASSERT_TRUE(png) << path;
    ASSERT_EQ(std::pair(png.width(), png.height()), std::pair(image.width, image.height));
    // The PNG is RGB. Anti-aliasing may round differently with another cairo; the picture may not.
    int off = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            off += test::channelDistance(0xff000000u | test::surfacePixel(png, x, y),
                                         image.pixel(x, y)) > 6;
        }
    }
    EXPECT_LE(off, image.width * image.height / 500) << name;
}

TEST(FrameComposerGolden, StyledFrameWithCursorRippleAndWebcam) {
    auto in = baseInputs(480, 270);
    in.frame = frame("wallpaper", 8, 6, 60);
    in.frame->id = "aurora";
    in.frame->outlinePct = 0.6;
    in.cursor = CursorFX{.path = {{0, 0.55, 0.45, 0}}};
    in.cursor->clicks.push_back({600, 0.55, 0.45});
    in.webcam = WebcamFX{.file = "a.webcam.mp4", .width = 30, .height = 30};
    in.webcamFrames = webcamFeed(webcamPicture(160, 120));
    expectGolden(
        "styled_frame",
        compose(in, stepAt(1000, 1, 0.5, 0.5, MotionSim::CursorOut{0.55, 0.45, 0.15, 0.9, 0, 0, 0}),
                screen(480, 270)));
}

TEST(FrameComposerGolden, ZoomedFrameWithPackCursorBlurAndRoundWebcam) {
    auto in = baseInputs(480, 270);
    in.frame = frame("gradient", 6, 4, 40);
    in.frame->from = "#2040c0";
    in.frame->to = "#f08030";
    in.frame->angle = 135;
    in.cursor = CursorFX{.path = {{0, 0.7, 0.7, 0}}};
    in.cursor->style = "figma";
    in.webcam = WebcamFX{.file = "a.webcam.mp4",
                         .mirror = false,
                         .positionPreset = "top-left",
                         .width = 35,
                         .height = 35,
                         .shape = "circle"};
    in.webcamFrames = webcamFeed(webcamPicture(160, 120));
    expectGolden("zoomed_frame", compose(in,
                                         stepAt(1000, 1.6, 0.7, 0.65,
                                                MotionSim::CursorOut{0.72, 0.7, -0.1, 1, 14, 5, 0}),
                                         screen(480, 270)));
}

TEST(OutputShape, SizesAndTheRecordingFramedWholeInTheMiddle) {
    const std::tuple<int, int, std::int64_t, PixelSize> reduced[] = {
        {2880, 1800, 720, {1152, 720}},
        {1366, 768, 720, {1280, 720}},
        {2880, 1800, 0, {2880, 1800}},
        {1920, 1080, -5, {1920, 1080}}};
    for (auto [w, h, target, expected] : reduced) {
        EXPECT_EQ(ExportRenderer::outputSize(w, h, target), expected) << w << "x" << h << target;
    }
    EXPECT_EQ(ExportRenderer::exportFps(29.97), 30);
    EXPECT_EQ(ExportRenderer::exportFps(NAN), 10);
    using enum OutputShape;
    struct Case {
        PixelSize source;
        std::int64_t targetHeight;
        OutputShape shape;
        PixelSize canvas, movie;
        double paddingPct;
        Rect screen;
    };
    const Case cases[] = {
        {{1920, 1080}, 0, original, {1920, 1080}, {1920, 1080}, 12, {230.4, 129.6, 1459.2, 820.8}},
        {{1920, 1080}, 0, tall, {1080, 1920}, {1080, 1920}, 0, {0, 656.25, 1080, 607.5}},
        {{1920, 1080}, 720, tall, {1080, 1920}, {720, 1280}, 10, {108, 717, 864, 486}},
        {{1920, 1080}, 0, classic, {1440, 1080}, {1440, 1080}, 12, {129.6, 207.9, 1180.8, 664.2}},
        {{1080, 1920}, 0, wide, {1920, 1080}, {1920, 1080}, 0, {656.25, 0, 607.5, 1080}},
        // An odd window: the canvas keeps whole pixels, the movie even sides.
        {{1365, 767}, 0, tall, {767, 1364}, {766, 1364}, 0, {0, 466.51, 767, 430.98}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.source.width << "x" << c.source.height << " shape "
                                        << static_cast<int>(c.shape) << " at " << c.targetHeight);
        EXPECT_EQ(shapedCanvas(c.source, c.shape), c.canvas);
        EXPECT_EQ(shapedOutput(
                      ExportRenderer::outputSize(c.source.width, c.source.height, c.targetHeight),
                      c.shape),
                  c.movie);
        const FrameGeometry g =
            frameGeometry({.type = "color", .paddingPct = c.paddingPct}, c.source.width,
                          c.source.height, c.canvas.width, c.canvas.height);
        EXPECT_NEAR(g.screen.x, c.screen.x, 0.01);
        EXPECT_NEAR(g.screen.y, c.screen.y, 0.01);
        EXPECT_NEAR(g.screen.width, c.screen.width, 0.01);
        EXPECT_NEAR(g.screen.height, c.screen.height, 0.01);
    }
}

// On a 9:16 canvas (the picture 180 × 101.25 in the middle) the cursor is on its point, zoomed too.
TEST(OutputShape, OnAVerticalPictureTheCursorIsOnItsPoint) {
    const BgraImage source = solid(320, 180, 0x2266cc);
    const double fx = 0.65, fy = 0.4;  // the pointer, in the recording
    for (double zoom : {1.0, 2.0}) {   // centred on the middle
        SCOPED_TRACE(zoom);
        ExportRequest request;
        request.endMs = 60000;
        request.shape = OutputShape::tall;
        auto run = [&](bool withCursor) {
            request.cursor.reset();
            if (withCursor) {
                request.cursor = CursorFX{.path = {{0, fx, fy, 0}}, .style = "dot"};
            }
            FrameComposer composer(
                compositionInputs(request, 320, 180, {180, 320}, test::sourceWebRoot()));
            const auto cursor = withCursor
                                    ? std::optional(MotionSim::CursorOut{fx, fy, 0, 1, 0, 0, 0})
                                    : std::nullopt;
            const FrameComposer::Step step =
                composer.withMotion(composer.timing(0), {zoom, 0.5, 0.5, cursor});
            BgraImage canvas;
            composer.render(step, source, canvas);
            return canvas;
        };
        const BgraImage plain = run(false);
        ASSERT_EQ(plain.width, 180);
        ASSERT_EQ(plain.height, 320);
        // A zoom of s on the middle shows the recording's point f at 0.5 + s (f - 0.5).
        const BgraImage drawnOn = run(true);
        const Found drawn = bounds(plain, [&](int x, int y) {
            return channelDistance(plain.pixel(x, y), drawnOn.pixel(x, y)) >= 40;
        });
        ASSERT_GE(drawn.x1, 0) << "no cursor drawn";
        const double wantX = 180 * (0.5 + zoom * (fx - 0.5));
        const double wantY = 109.375 + 101.25 * (0.5 + zoom * (fy - 0.5));
        EXPECT_NEAR((drawn.x0 + drawn.x1) / 2.0, wantX, 3);
        EXPECT_NEAR((drawn.y0 + drawn.y1) / 2.0, wantY, 3);
    }
}

}  // namespace
}  // namespace marlune
