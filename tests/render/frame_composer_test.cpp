// The composer on synthetic source pictures: the cases whose pixels are fixed exactly, the layers
// that must appear or stay away, and two golden frames. The goldens under data/ were written by
// this code (MARLUNE_UPDATE_GOLDEN=1 rewrites them) and looked at: "styled_frame" shows the
// screen inside the rounded, padded frame on the aurora wallpaper, its soft shadow below, the thin
// outline, the dark arrow tilted right with its tip on the clicked spot, the half-grown ripple
// around that spot, and the squircle webcam (mirrored, so its red half is on the right) with its
// shadow at the bottom right, inside the frame; "zoomed_frame" shows the screen zoomed 1.6× on
// its lower right part over a gradient (blue top-left to orange bottom-right), the figma arrow
// streaked along its motion, and the round webcam in the top-left corner, shrunk by the zoom.

#include "render/compose/frame_composer.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>

#include "render/composition.h"
#include "render/raster.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

fs::path sourceWebRoot() {
    return fs::path(MARLUNE_SOURCE_DIR) / "web";
}

fs::path goldenPath(const std::string& name) {
    return fs::path(MARLUNE_SOURCE_DIR) / "tests/render/data" / (name + ".png");
}

// A screen-like source: a light page, a dark sidebar, text lines and four coloured quadrant marks
// (so that a zoom or a shift shows).
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

// Opaque picture of one colour (0xRRGGBB).
BgraImage solid(int w, int h, std::uint32_t rgb) {
    BgraImage image = BgraImage::blank(w, h);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.row(y));
        std::fill(row, row + w, 0xff000000u | rgb);
    }
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

// Webcam frames every 1/30 s from 0, all the same picture.
std::function<std::optional<DecodedFrame>()> webcamFeed(BgraImage picture, int count = 1000) {
    auto next = std::make_shared<int>(0);
    return [picture = std::move(picture), next, count]() -> std::optional<DecodedFrame> {
        if (*next >= count) return std::nullopt;
        return DecodedFrame{picture, (*next)++ / 30.0};
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

FrameSettings frame(std::string type, double padding, double radius, double shadow) {
    FrameSettings f;
    f.type = std::move(type);
    f.paddingPct = padding;
    f.radiusPct = radius;
    f.shadowPct = shadow;
    return f;
}

CursorFX cursorAt(double fx, double fy) {
    CursorFX c;
    c.path.push_back({0, fx, fy, 0});
    return c;
}

FrameComposer::Step stepAt(double ms, double scale = 1, double fx = 0.5, double fy = 0.5) {
    FrameComposer::Step step;
    step.srcMs = step.outMs = ms;
    step.motion = {scale, fx, fy, std::nullopt};
    step.scale = scale > 1.001 ? scale : 1;
    return step;
}

BgraImage compose(CompositionInputs in, const FrameComposer::Step& step, const BgraImage& source) {
    FrameComposer composer(std::move(in));
    BgraImage canvas;
    composer.render(step, source, canvas);
    return canvas;
}

bool samePixels(const BgraImage& a, const BgraImage& b) {
    if (a.width != b.width || a.height != b.height) return false;
    for (int y = 0; y < a.height; ++y) {
        if (std::memcmp(a.row(y), b.row(y), 4 * a.width) != 0) return false;
    }
    return true;
}

int channelDistance(std::uint32_t a, std::uint32_t b) {
    int d = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        d = std::max(d, std::abs(int(a >> shift & 255) - int(b >> shift & 255)));
    }
    return d;
}

TEST(FrameComposer, PassThroughOnlyWithoutAnyWork) {
    struct Case {
        const char* name;
        bool frame, cursor, drawCursor, webcam, zoom, smallerOutput, passes;
    };
    const Case cases[] = {
        {"nothing to do", false, false, false, false, false, false, true},
        {"cursor tracks without drawing", false, true, false, false, false, false, true},
        {"frame styling", true, false, false, false, false, false, false},
        {"drawn cursor", false, true, true, false, false, false, false},
        {"webcam", false, false, false, true, false, false, false},
        {"zoom", false, false, false, false, true, false, false},
        {"smaller output", false, false, false, false, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CompositionInputs in = baseInputs(320, 180);
        if (c.frame) in.frame = frame("color", 10, 3, 0);
        if (c.cursor) {
            in.cursor = cursorAt(0.5, 0.5);
            in.cursor->render = c.drawCursor;
        }
        if (c.webcam) {
            in.webcam = WebcamFX{.file = "a.webcam.mp4"};
            in.webcamFrames = webcamFeed(solid(64, 36, 0x808080));
        }
        if (c.zoom) in.zooms.push_back({0, 10000, 2, 0.5, 0.5, false, 100, 100});
        if (c.smallerOutput) {
            in.outWidth = 160;
            in.outHeight = 90;
        }
        FrameComposer composer(std::move(in));
        FrameComposer::Step step;
        for (double t = 0; t < 1; t += 1 / 30.0) step = composer.advance(t);
        EXPECT_EQ(step.passThrough, c.passes);
    }
}

TEST(FrameComposer, NoPaddingNoRadiusShowsTheSourceAsItIs) {
    const BgraImage source = screen(320, 180);
    // The shadow and the background lie entirely under the screen.
    const BgraImage out = compose(
        [] {
            auto in = baseInputs(320, 180);
            in.frame = frame("color", 0, 0, 45);
            in.frame->hex = "#ff0000";
            return in;
        }(),
        stepAt(0), source);
    EXPECT_TRUE(samePixels(out, source));
}

// A 4 × 4 grid of distinct solid colours; block (i, j) is column i, row j.
std::uint32_t gridColour(int i, int j) {
    return 0xff000000u | (40 + 60 * i) << 16 | (40 + 60 * j) << 8 | (i * 4 + j) * 12;
}
BgraImage grid(int w, int h) {
    BgraImage image = BgraImage::blank(w, h);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.row(y));
        for (int x = 0; x < w; ++x) row[x] = gridColour(4 * x / w, 4 * y / h);
    }
    return image;
}

TEST(FrameComposer, ZoomShowsTheFocusedPartWithinTheSource) {
    struct Case {
        double fx, fy;
        int firstColumn, firstRow;  // grid block shown in the top-left quarter of the canvas
    };
    const Case cases[] = {
        {0, 0, 0, 0},      // the top-left quarter (the translation is clamped to 0)
        {1, 1, 2, 2},      // the bottom-right quarter
        {0.5, 0.5, 1, 1},  // the middle
        {0.9, 0.1, 2, 0},
    };
    const BgraImage source = grid(320, 180);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fx << ", " << c.fy);
        const BgraImage out = compose(baseInputs(320, 180), stepAt(0, 2, c.fx, c.fy), source);
        for (int j = 0; j < 2; ++j) {
            for (int i = 0; i < 2; ++i) {
                EXPECT_EQ(out.pixel(80 + 160 * i, 45 + 90 * j),
                          gridColour(c.firstColumn + i, c.firstRow + j));
            }
        }
    }
}

TEST(FrameComposer, ScreenSitsOnTheFramesBottomEdgeAndTheBackgroundShowsAround) {
    struct Case {
        int w, h;
        double background;  // expected share of background pixels inside the padded rectangle
    };
    // Landscape: scaled by the width ratio, the picture is taller than the rectangle and its top
    // strip is cut; portrait: it is shorter, and the background shows above it.
    const Case cases[] = {{320, 180, 0}, {180, 320, 28.0 / 284}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        auto in = baseInputs(c.w, c.h);
        in.frame = frame("color", 10, 0, 0);
        in.frame->hex = "#123456";
        const BgraImage source = grid(c.w, c.h);
        const BgraImage out = compose(in, stepAt(0), source);
        const FrameGeometry g = frameGeometry(*in.frame, c.w, c.h);
        const int left = int(std::ceil(g.screen.x)), right = int(g.screen.x + g.screen.width);
        const int top = int(std::ceil(g.screen.y)), bottom = int(g.screen.y + g.screen.height);
        int background = 0, inside = 0;
        for (int y = 0; y < c.h; ++y) {
            for (int x = 0; x < c.w; ++x) {
                const bool in = x >= left && x < right && y >= top && y < bottom;
                if (!in && (x < left - 1 || x > right || y < top - 1 || y > bottom)) {
                    ASSERT_EQ(out.pixel(x, y), 0xff123456u) << x << "," << y;
                }
                if (in) {
                    ++inside;
                    background += out.pixel(x, y) == 0xff123456u;
                }
            }
        }
        EXPECT_NEAR(double(background) / inside, c.background, 0.02);
        // The bottom row of the rectangle shows the source's bottom row of blocks.
        EXPECT_EQ(out.pixel(left + 2, bottom - 1), gridColour(0, 3));
    }
}

TEST(FrameComposer, ShadowOnlyAboveOnePercent) {
    auto render = [](double shadowPct) {
        auto in = baseInputs(640, 360);
        in.frame = frame("color", 10, 5, shadowPct);
        in.frame->hex = "#ffffff";
        return compose(in, stepAt(0), solid(640, 360, 0x808080));
    };
    const BgraImage none = render(0);
    EXPECT_TRUE(samePixels(render(1), none));
    EXPECT_FALSE(samePixels(render(1.01), none));
    // A real shadow darkens the background below the frame and leaves the top edge alone.
    // The shadow falls below the frame: darker in the bottom margin than in the top one.
    const BgraImage strong = render(100);
    EXPECT_LT(strong.pixel(320, 360 - 20) & 0xff, (strong.pixel(320, 20) & 0xff) - 20);
}

TEST(FrameComposer, RippleLastsFrom175To775MsAfterTheClick) {
    struct Case {
        double sinceMs;
        bool drawn;
    };
    // Past about 600 ms the ripple is too faint to change an 8-bit pixel.
    const Case cases[] = {{100, false}, {174, false}, {175, true}, {400, true},
                          {600, true},  {775, false}, {900, false}};
    const BgraImage source = solid(320, 180, 0x204060);
    auto render = [&](std::optional<double> sinceMs) {
        auto in = baseInputs(320, 180);
        in.cursor = cursorAt(0.1, 0.1);
        if (sinceMs) in.cursor->clicks.push_back({1000 - *sinceMs, 0.6, 0.6});
        FrameComposer::Step step = stepAt(1000);
        step.motion.cursor = MotionSim::CursorOut{0.1, 0.1, 0, 1, 0, 0, 0};
        return compose(in, step, source);
    };
    const BgraImage noClick = render(std::nullopt);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sinceMs);
        EXPECT_EQ(!samePixels(render(c.sinceMs), noClick), c.drawn);
    }
}

// Bounds of the pixels of one colour.
struct Found {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};
Found find(const BgraImage& image, std::uint32_t colour) {
    Found f;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (image.pixel(x, y) != colour) continue;
            f = {std::min(f.x0, x), std::min(f.y0, y), std::max(f.x1, x + 1),
                 std::max(f.y1, y + 1)};
        }
    }
    return f;
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
        {"zoom ignored", 20, 20, 2, "bottom-right", false, 72, 72, 632, 352},
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
        const BgraImage out = compose(in, stepAt(0, c.zoom, 0.5, 0.5), solid(640, 360, 0x000080));
        const Found f = find(out, 0xff00ff00);
        EXPECT_NEAR(f.x1 - f.x0, c.w, 1);
        EXPECT_NEAR(f.y1 - f.y0, c.h, 1);
        EXPECT_NEAR(f.x1, c.right, 1);
        EXPECT_NEAR(f.y1, c.bottom, 1);
    }
}

TEST(FrameComposer, WebcamShowsTheLatestPictureNotAfterTheFrameAndStaysAtTheEnd) {
    // Pictures at 0, 0.5 and 1 s of the webcam movie, told apart by colour; the movie starts
    // 200 ms after the screen (offset 200).
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
        {0, 0xff0000},    // before the webcam's first picture: the first one
        {650, 0xff0000},  // 0.45 s of the webcam
        {700, 0x00ff00},  // 0.5 s
        {1150, 0x00ff00}, {1200, 0x0000ff},
        {5000, 0x0000ff},  // past its end the last picture stays
    };
    for (auto [ms, colour] : frames) {
        SCOPED_TRACE(ms);
        composer.render(stepAt(ms), source, canvas);
        EXPECT_NE(find(canvas, 0xff000000u | colour).x1, -1);
    }
}

TEST(FrameComposer, MotionBlurOnlyAboveOneAndAHalfPixels) {
    auto in = baseInputs(320, 180);
    in.cursor = cursorAt(0.5, 0.5);
    const BgraImage source = solid(320, 180, 0x808080);
    auto render = [&](double blurVX, double zoom) {
        FrameComposer::Step step = stepAt(0, zoom, 0.5, 0.5);
        step.motion.cursor = MotionSim::CursorOut{0.5, 0.5, 0, 1, blurVX, 0, 0};
        return compose(in, step, source);
    };
    EXPECT_TRUE(samePixels(render(1.4, 1), render(0, 1)));
    EXPECT_FALSE(samePixels(render(1.6, 1), render(0, 1)));
    // The threshold applies after zoom: 1 pixel of motion at zoom 2 is 2 pixels on screen.
    EXPECT_FALSE(samePixels(render(1, 2), render(0, 2)));
}

TEST(FrameComposer, MissingResourcesFallBack) {
    struct Case {
        const char* name;
        std::string type, id;
        bool webRoot;
        std::uint32_t background;
    };
    const Case cases[] = {
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
        in.frame = frame(c.type, 10, 3, 0);
        in.frame->id = c.id;
        in.frame->hex = "#3366CC";
        if (!c.webRoot) in.webRoot.reset();
        const BgraImage out = compose(in, stepAt(0), solid(320, 180, 0xffffff));
        EXPECT_EQ(out.pixel(3, 3), c.background);
    }
}

TEST(FrameComposer, LiveBackgroundLoopsBehindTheScreen) {
    test::TempDir dir;
    const fs::path live = dir / "wallpapers/live";
    fs::create_directories(live);
    // One second of green, then one of red.
    ASSERT_TRUE(test::ffmpeg({"-f", "lavfi", "-i", "color=c=0x00ff00:s=64x36:r=10:d=1", "-f",
                              "lavfi", "-i", "color=c=0xff0000:s=64x36:r=10:d=1", "-filter_complex",
                              "[0][1]concat=n=2:v=1", "-c:v", "libx264", "-pix_fmt", "yuv444p",
                              "-qp", "0", (live / "two.mp4").string()}));
    auto in = baseInputs(320, 180);
    in.webRoot = dir.path();
    in.frame = frame("live", 10, 3, 50);
    in.frame->id = "two";
    in.frame->hex = "#3366cc";
    FrameComposer composer(in);
    const BgraImage source = solid(320, 180, 0xffffff);
    BgraImage canvas;
    auto corner = [&](double outMs) {
        composer.render(stepAt(outMs), source, canvas);
        return canvas.pixel(3, 3);
    };
    auto near = [](std::uint32_t a, std::uint32_t b) { return channelDistance(a, b) <= 8; };
    EXPECT_TRUE(near(corner(500), 0xff00ff00));
    EXPECT_TRUE(near(corner(1500), 0xffff0000));
    EXPECT_TRUE(near(corner(2500), 0xff00ff00));  // looped
}

TEST(FrameComposer, HostileValuesNeitherCrashNorLeaveTheCanvas) {
    const BgraImage source = screen(160, 90);
    auto in = baseInputs(160, 90);
    in.frame = frame("gradient", 40, 20, 100);
    in.frame->outlinePct = 4;
    in.cursor = cursorAt(0.5, 0.5);
    in.cursor->clicks.push_back({900, 1e300, -1e300});
    in.webcam = WebcamFX{.file = "a.webcam.mp4", .margin = 1e300, .reactToZoom = true};
    in.webcamFrames = webcamFeed(solid(8, 8, 0x00ff00));
    FrameComposer composer(in);
    BgraImage canvas;
    const double values[] = {0, -1e300, 1e300, NAN, INFINITY};
    for (double v : values) {
        FrameComposer::Step step = stepAt(1200, 6, v, v);
        step.motion.cursor = MotionSim::CursorOut{v, v, v, 1, v, v, 99};
        composer.render(step, source, canvas);
        EXPECT_EQ(canvas.width, 160);
        EXPECT_EQ(canvas.height, 90);
    }
    // A source of another size is stretched to the canvas.
    composer.render(stepAt(0), screen(80, 45), canvas);
    EXPECT_EQ(canvas.width, 160);
}

// ---- Golden frames ----

BgraImage readPng(const fs::path& path) {
    Surface png = Surface::adopt(cairo_image_surface_create_from_png(path.c_str()));
    if (!png) return {};
    BgraImage image = BgraImage::blank(png.width(), png.height());
    Surface target = wrapImage(image);
    cairo_t* cr = cairo_create(target.get());
    cairo_set_source_surface(cr, png.get(), 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    return image;
}

void expectGolden(const std::string& name, const BgraImage& image) {
    const fs::path path = goldenPath(name);
    if (std::getenv("MARLUNE_UPDATE_GOLDEN")) {
        ASSERT_EQ(cairo_surface_write_to_png(wrapImage(image).get(), path.c_str()),
                  CAIRO_STATUS_SUCCESS);
        GTEST_SKIP() << "wrote " << path;
    }
    const BgraImage golden = readPng(path);
    ASSERT_EQ(golden.width, image.width) << path;
    ASSERT_EQ(golden.height, image.height);
    // Anti-aliasing may round differently with another cairo; the picture may not.
    int off = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            off += channelDistance(golden.pixel(x, y), image.pixel(x, y)) > 6;
        }
    }
    EXPECT_LE(off, image.width * image.height / 500) << name;
}

TEST(FrameComposerGolden, StyledFrameWithCursorRippleAndWebcam) {
    auto in = baseInputs(480, 270);
    in.frame = frame("wallpaper", 8, 6, 60);
    in.frame->id = "aurora";
    in.frame->outlinePct = 0.6;
    in.cursor = cursorAt(0.55, 0.45);
    in.cursor->clicks.push_back({600, 0.55, 0.45});
    in.webcam = WebcamFX{.file = "a.webcam.mp4", .width = 30, .height = 30};
    in.webcamFrames = webcamFeed(webcamPicture(160, 120));
    FrameComposer::Step step = stepAt(1000);
    step.motion.cursor = MotionSim::CursorOut{0.55, 0.45, 0.15, 0.9, 0, 0, 0};
    expectGolden("styled_frame", compose(in, step, screen(480, 270)));
}

TEST(FrameComposerGolden, ZoomedFrameWithPackCursorBlurAndRoundWebcam) {
    auto in = baseInputs(480, 270);
    in.frame = frame("gradient", 6, 4, 40);
    in.frame->from = "#2040c0";
    in.frame->to = "#f08030";
    in.frame->angle = 135;
    in.cursor = cursorAt(0.7, 0.7);
    in.cursor->style = "figma";
    in.webcam = WebcamFX{.file = "a.webcam.mp4",
                         .mirror = false,
                         .positionPreset = "top-left",
                         .width = 35,
                         .height = 35,
                         .shape = "circle"};
    in.webcamFrames = webcamFeed(webcamPicture(160, 120));
    FrameComposer::Step step = stepAt(1000, 1.6, 0.7, 0.65);
    step.motion.cursor = MotionSim::CursorOut{0.72, 0.7, -0.1, 1, 14, 5, 0};
    expectGolden("zoomed_frame", compose(in, step, screen(480, 270)));
}

}  // namespace
}  // namespace marlune
