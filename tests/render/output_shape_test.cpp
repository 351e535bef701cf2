// Output shapes: the canvas and movie sizes of each shape, where the recording is framed on the
// canvas, and a composed vertical picture with its bars, its zoom and its cursor.

#include <gtest/gtest.h>

#include "render/compose/frame_composer.h"
#include "render/composition.h"
#include "render/export/export_renderer.h"
#include "render/output_shape.h"
#include "render_support.h"

namespace marlune {
namespace {

using test::channelDistance;
using test::solid;

TEST(OutputShape, CanvasAndMovieSizes) {
    struct Case {
        PixelSize source;
        std::int64_t targetHeight;
        OutputShape shape;
        PixelSize canvas, movie;
    };
    const Case cases[] = {
        {{1920, 1080}, 0, OutputShape::original, {1920, 1080}, {1920, 1080}},
        {{1920, 1080}, 0, OutputShape::tall, {1080, 1920}, {1080, 1920}},
        {{1920, 1080}, 720, OutputShape::tall, {1080, 1920}, {720, 1280}},
        {{1920, 1080}, 0, OutputShape::square, {1080, 1080}, {1080, 1080}},
        {{1920, 1080}, 0, OutputShape::classic, {1440, 1080}, {1440, 1080}},
        {{1920, 1080}, 0, OutputShape::wide, {1920, 1080}, {1920, 1080}},
        {{1080, 1920}, 0, OutputShape::wide, {1920, 1080}, {1920, 1080}},
        {{1080, 1920}, 0, OutputShape::tall, {1080, 1920}, {1080, 1920}},
        // An odd window: the canvas keeps whole pixels, the movie even sides.
        {{1365, 767}, 0, OutputShape::tall, {767, 1364}, {766, 1364}},
        {{1365, 767}, 0, OutputShape::original, {1365, 767}, {1365, 767}},
        {{0, 0}, 0, OutputShape::square, {0, 0}, {2, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.source.width << "x" << c.source.height << " shape "
                                        << static_cast<int>(c.shape) << " height "
                                        << c.targetHeight);
        EXPECT_EQ(shapedCanvas(c.source, c.shape), c.canvas);
        const PixelSize out =
            ExportRenderer::outputSize(c.source.width, c.source.height, c.targetHeight);
        EXPECT_EQ(shapedOutput(out, c.shape), c.movie);
    }
}

TEST(OutputShape, TheWholeRecordingIsFramedInTheMiddleOfTheCanvas) {
    struct Case {
        PixelSize source, canvas;
        double paddingPct;
        Rect screen;
    };
    const Case cases[] = {
        {{1920, 1080}, {1080, 1920}, 0, {0, 656.25, 1080, 607.5}},
        // The padding is a share of the canvas's short side, on every side.
        {{1920, 1080}, {1080, 1920}, 10, {108, 717, 864, 486}},
        {{1080, 1920}, {1920, 1080}, 0, {656.25, 0, 607.5, 1080}},
        {{1920, 1080}, {1080, 1080}, 0, {0, 236.25, 1080, 607.5}},
        {{1920, 1080}, {1440, 1080}, 12, {129.6, 207.9, 1180.8, 664.2}},
        // The recording's own shape: as it always was.
        {{1920, 1080}, {1920, 1080}, 12, {230.4, 129.6, 1459.2, 820.8}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.source.width << "x" << c.source.height << " on "
                                        << c.canvas.width << "x" << c.canvas.height << ", "
                                        << c.paddingPct << " %");
        const FrameSettings frame{.type = "color", .paddingPct = c.paddingPct};
        const FrameGeometry g = frameGeometry(frame, c.source.width, c.source.height,
                                              c.canvas.width, c.canvas.height);
        EXPECT_NEAR(g.screen.x, c.screen.x, 1e-6);
        EXPECT_NEAR(g.screen.y, c.screen.y, 1e-6);
        EXPECT_NEAR(g.screen.width, c.screen.width, 1e-6);
        EXPECT_NEAR(g.screen.height, c.screen.height, 1e-6);
        EXPECT_NEAR(g.screen.width / g.screen.height,
                    double(c.source.width) / c.source.height, 1e-9);
    }
}

// Bounds of the pixels that differ between two pictures of one size.
struct Bounds {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};
Bounds difference(const BgraImage& a, const BgraImage& b) {
    Bounds d;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            if (channelDistance(a.pixel(x, y), b.pixel(x, y)) < 40) continue;
            d = {std::min(d.x0, x), std::min(d.y0, y), std::max(d.x1, x + 1),
                 std::max(d.y1, y + 1)};
        }
    }
    return d;
}

// A 320 × 180 recording of one colour on a 9:16 canvas (180 × 320): bars of the background above
// and below, the picture between them, and the cursor where the recording's point is shown, also
// under a zoom.
TEST(OutputShape, AVerticalPictureHasBarsAndTheCursorOnItsPoint) {
    struct Case {
        const char* label;
        std::optional<FrameSettings> frame;
        std::uint32_t bars;  // the background's colour
        double zoom;         // centred on the middle
    };
    const Case cases[] = {
        {"no background: black bars", std::nullopt, 0x000000, 1},
        {"a colour, no padding", FrameSettings{.type = "color", .hex = "#ff8800",
                                               .paddingPct = 0, .radiusPct = 0, .shadowPct = 0},
         0xff8800, 1},
        {"zoomed twice", std::nullopt, 0x000000, 2},
    };
    const BgraImage source = solid(320, 180, 0x2266cc);
    const double fx = 0.65, fy = 0.4;  // the pointer, in the recording
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ExportRequest request;
        request.endMs = 60000;
        request.shape = OutputShape::tall;
        request.frame = c.frame;
        auto run = [&](bool withCursor) {
            if (withCursor) {
                request.cursor = CursorFX{};
                request.cursor->path.push_back({0, fx, fy, 0});
                request.cursor->style = "dot";
            } else {
                request.cursor.reset();
            }
            CompositionInputs in = compositionInputs(request, 320, 180, {180, 320},
                                                     test::sourceWebRoot());
            FrameComposer composer(std::move(in));
            FrameComposer::Step step = composer.timing(0);
            step = composer.withMotion(
                step, {c.zoom, 0.5, 0.5,
                       withCursor ? std::optional(MotionSim::CursorOut{fx, fy, 0, 1, 0, 0, 0})
                                  : std::nullopt});
            BgraImage canvas;
            composer.render(step, source, canvas);
            return canvas;
        };
        const BgraImage plain = run(false);
        ASSERT_EQ(plain.width, 180);
        ASSERT_EQ(plain.height, 320);
        // The picture is 180 × 101.25 in the middle: rows 109 to 210.
        for (int y : {0, 60, 108, 212, 260, 319}) {
            EXPECT_LE(channelDistance(plain.pixel(90, y), 0xff000000u | c.bars), 2) << "row " << y;
        }
        for (int y : {111, 160, 208}) {
            for (int x : {1, 90, 178}) {
                EXPECT_LE(channelDistance(plain.pixel(x, y), 0xff2266cc), 2) << x << ", " << y;
            }
        }
        // A zoom of s on the middle shows the recording's point f at 0.5 + s (f - 0.5).
        const Bounds drawn = difference(plain, run(true));
        ASSERT_GE(drawn.x1, 0) << "no cursor drawn";
        const double wantX = 180 * (0.5 + c.zoom * (fx - 0.5));
        const double wantY = 109.375 + 101.25 * (0.5 + c.zoom * (fy - 0.5));
        EXPECT_NEAR((drawn.x0 + drawn.x1) / 2.0, wantX, 3);
        EXPECT_NEAR((drawn.y0 + drawn.y1) / 2.0, wantY, 3);
    }
}

}  // namespace
}  // namespace marlune
