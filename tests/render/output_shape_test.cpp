// Output shapes: the canvas and movie sizes of each shape, where the recording is framed on the
// canvas, and the cursor on a composed vertical picture, zoomed or not.

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

// Source × shape (× output height) → canvas, movie and where the recording is framed on the
// canvas (padding a share of the canvas's short side).
TEST(OutputShape, SizesAndTheRecordingFramedWholeInTheMiddle) {
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
        {{1920, 1080}, 0, square, {1080, 1080}, {1080, 1080}, 0, {0, 236.25, 1080, 607.5}},
        {{1920, 1080}, 0, classic, {1440, 1080}, {1440, 1080}, 12, {129.6, 207.9, 1180.8, 664.2}},
        {{1920, 1080}, 0, wide, {1920, 1080}, {1920, 1080}, 0, {0, 0, 1920, 1080}},
        {{1080, 1920}, 0, wide, {1920, 1080}, {1920, 1080}, 0, {656.25, 0, 607.5, 1080}},
        // An odd window: the canvas keeps whole pixels, the movie even sides.
        {{1365, 767}, 0, tall, {767, 1364}, {766, 1364}, 0, {0, 466.51, 767, 430.98}},
        {{1365, 767}, 0, original, {1365, 767}, {1365, 767}, 0, {0, 0, 1365, 767}},
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

// A 320 × 180 recording on a 9:16 canvas (180 × 320, the picture 180 × 101.25 in the middle): the
// cursor is where the recording's point is shown, also under a zoom.
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
        const Bounds drawn = difference(plain, run(true));
        ASSERT_GE(drawn.x1, 0) << "no cursor drawn";
        const double wantX = 180 * (0.5 + zoom * (fx - 0.5));
        const double wantY = 109.375 + 101.25 * (0.5 + zoom * (fy - 0.5));
        EXPECT_NEAR((drawn.x0 + drawn.x1) / 2.0, wantX, 3);
        EXPECT_NEAR((drawn.y0 + drawn.y1) / 2.0, wantY, 3);
    }
}

}  // namespace
}  // namespace marlune
