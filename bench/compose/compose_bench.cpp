// Cost of composing one 1920 × 1080 exported frame (FrameComposer::render), the part of the export
// that runs on the video queue besides decoding and encoding. The goal is well under 8 ms per frame
// on one core (about 4–5 ms), so that decoding, composing and libx264 share two cores at twice
// real time. Three edits: the bare screen zoomed in; the full frame styling (wallpaper, padding,
// rounded corners, shadow, outline) without zoom; and the styling with a zoom following the
// cursor, the drawn cursor moving (tilt, bounce, motion blur), click ripples and the webcam.
//
// Time advances by one frame per iteration, so the motion and the webcam move as in an export.
// The last case pulls a new 1280 × 720 webcam picture every frame from a stand-in source that
// copies one; the counter "source_ms" is that copy's share of each frame, which a real export
// spends in its webcam decoder instead.

#include <cairo.h>

#include <time.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>

#include <benchmark/benchmark.h>

#include "render/compose/frame_composer.h"
#include "support/cpu_time.h"

namespace marlune {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr double kFrameSeconds = 1.0 / 30;

std::filesystem::path webRoot() {
    return std::filesystem::path(MARLUNE_SOURCE_DIR) / "web";
}

// A screen-like picture: a light page with dark text lines, a sidebar and a few coloured blocks.
BgraImage screenPicture(int width, int height) {
    BgraImage image = BgraImage::blank(width, height);
    cairo_surface_t* s = cairo_image_surface_create_for_data(
        image.pixels.data(), CAIRO_FORMAT_ARGB32, width, height, image.stride);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, 0.96, 0.96, 0.97);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0.16, 0.18, 0.22);
    cairo_rectangle(cr, 0, 0, width * 0.18, height);
    cairo_fill(cr);
    for (int y = 60; y < height - 20; y += 22) {
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.12);
        cairo_rectangle(cr, width * 0.22, y, width * (0.3 + 0.4 * std::sin(y * 0.37) * 0.5 + 0.2),
                        9);
        cairo_fill(cr);
    }
    for (int i = 0; i < 6; ++i) {
        cairo_set_source_rgb(cr, 0.2 + 0.1 * i, 0.5, 0.9 - 0.1 * i);
        cairo_rectangle(cr, width * (0.25 + 0.11 * i), height * 0.7, width * 0.08, height * 0.2);
        cairo_fill(cr);
    }
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    return image;
}

BgraImage webcamPicture() {
    BgraImage image = BgraImage::blank(1280, 720);
    for (int y = 0; y < image.height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.row(y));
        for (int x = 0; x < image.width; ++x) {
            row[x] = 0xff000000u | (x * 255 / 1280) << 16 | (y * 255 / 720) << 8 | 0x60;
        }
    }
    return image;
}

FrameSettings styledFrame() {
    FrameSettings f;
    f.type = "wallpaper";
    f.id = "aurora";
    f.paddingPct = 12;
    f.radiusPct = 3;
    f.shadowPct = 45;
    f.outlinePct = 0.3;
    return f;
}

// Ten minutes of a pointer circling the screen, sampled at 30 Hz, with a click every 700 ms.
CursorFX movingCursor() {
    CursorFX c;
    for (double t = 0; t < 600000; t += 1000.0 / 30) {
        const double a = t / 1500;
        c.path.push_back({t, 0.5 + 0.3 * std::cos(a), 0.5 + 0.3 * std::sin(a), 0});
    }
    for (double t = 0; t < 600000; t += 700) {
        const double a = t / 1500;
        c.clicks.push_back({t, 0.5 + 0.3 * std::cos(a), 0.5 + 0.3 * std::sin(a)});
    }
    return c;
}

enum class Edit { zoomOnly, styled, everything };

CompositionInputs inputsFor(Edit edit, std::shared_ptr<double> sourceMs) {
    CompositionInputs in;
    in.width = in.outWidth = kWidth;
    in.height = in.outHeight = kHeight;
    in.timeMap = TimeMap(0, 600000);
    in.webRoot = webRoot();
    if (edit != Edit::styled) {
        ZoomSegment zoom{0, 600000, 2, 0.3, 0.4, edit == Edit::everything, 100, 100};
        in.zooms.push_back(zoom);
    }
    if (edit != Edit::zoomOnly) in.frame = styledFrame();
    if (edit == Edit::everything) {
        in.cursor = movingCursor();
        in.webcam = WebcamFX{.file = "bench.webcam.mp4"};
        auto picture = std::make_shared<BgraImage>(webcamPicture());
        auto time = std::make_shared<double>(0);
        in.webcamFrames = [picture, time, sourceMs]() -> std::optional<DecodedFrame> {
            const double start = 1e3 * bench::threadCpuSeconds();
            DecodedFrame frame{*picture, *time};
            *time += kFrameSeconds;
            *sourceMs += 1e3 * bench::threadCpuSeconds() - start;
            return frame;
        };
    }
    return in;
}

void composeFrames(benchmark::State& state, Edit edit) {
    auto sourceMs = std::make_shared<double>(0);
    FrameComposer composer(inputsFor(edit, sourceMs));
    const BgraImage source = screenPicture(kWidth, kHeight);
    BgraImage canvas;
    double pts = 0;
    // Let the zoom settle and the springs start moving before timing.
    for (int i = 0; i < 60; ++i, pts += kFrameSeconds) {
        auto step = composer.advance(pts);
        composer.render(step, source, canvas);
    }
    *sourceMs = 0;
    for (auto _ : state) {
        auto step = composer.advance(pts);
        pts += kFrameSeconds;
        composer.render(step, source, canvas);
        benchmark::DoNotOptimize(canvas.pixels.data());
    }
    state.counters["source_ms"] = *sourceMs / state.iterations();
}

void BM_ZoomNoStyling(benchmark::State& state) {
    composeFrames(state, Edit::zoomOnly);
}
void BM_FullStyling(benchmark::State& state) {
    composeFrames(state, Edit::styled);
}
void BM_StylingZoomCursorRipplesWebcam(benchmark::State& state) {
    composeFrames(state, Edit::everything);
}

BENCHMARK(BM_ZoomNoStyling)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_FullStyling)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_StylingZoomCursorRipplesWebcam)->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace
}  // namespace marlune

BENCHMARK_MAIN();
