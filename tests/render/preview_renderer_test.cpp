// Still previews against the export of the same edit, and their keystroke overlay.

#include "render/preview_renderer.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/image/image_codecs.h"
#include "platform/media/video_decoder.h"
#include "render/export/export_renderer.h"
#include "render/motion_sim.h"
#include "render_support.h"
#include "support/main_loop.h"
#include "support/recordings_folder.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::sourceWebRoot;

// One preview, waited for from the test's thread (the answer comes on the renderer's).
Result<PreviewImage> previewNow(PreviewRenderer& renderer, const Json& payload) {
    std::mutex lock;
    std::condition_variable changed;
    std::optional<Result<PreviewImage>> answer;
    renderer.preview(payload, sourceWebRoot(), [&](Result<PreviewImage> made) {
        std::lock_guard guard(lock);
        answer = std::move(made);
        changed.notify_all();
    });
    std::unique_lock guard(lock);
    changed.wait_for(guard, std::chrono::seconds(60), [&] { return answer.has_value(); });
    return answer.value_or(fail("(no answer)"));
}

BgraImage decodeDataURL(const std::string& url) {
    const std::string prefix = "data:image/jpeg;base64,";
    EXPECT_TRUE(url.starts_with(prefix));
    gsize size = 0;
    guchar* bytes = g_base64_decode(url.c_str() + prefix.size(), &size);
    auto image = decodeJpeg(std::span<const std::uint8_t>(bytes, size));
    g_free(bytes);
    EXPECT_TRUE(image);
    return image.value_or(BgraImage{});
}

// The largest of the three colour channels' mean absolute differences.
double meanAbsoluteDifference(const BgraImage& a, const BgraImage& b) {
    if (a.width != b.width || a.height != b.height || a.empty()) return 255;
    double sums[3] = {0, 0, 0};
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                sums[c] += std::abs(int(a.pixel(x, y) >> (8 * c) & 255) -
                                    int(b.pixel(x, y) >> (8 * c) & 255));
            }
        }
    }
    return std::max({sums[0], sums[1], sums[2]}) / (double(a.width) * a.height);
}

void makeClips() {
    const fs::path dir = test::recordingsFolder();
    // In grey: H.264's half-resolution colour on saturated edges would exceed the allowance.
    if (!fs::exists(dir / "Clip.mp4")) {
        ASSERT_TRUE(
            test::ffmpegLine("-f lavfi -i testsrc2=s=640x360:r=30,hue=s=0 -t 3 -c:v libx264"
                             " -preset ultrafast -pix_fmt yuv420p -g 30",
                             dir / "Clip.mp4"));
    }
    if (!fs::exists(dir / "Clip.webcam.mp4")) {
        ASSERT_TRUE(test::makeMovie(dir / "Clip.webcam.mp4", 3.0, 320, 240, false, 15));
    }
}

TEST(PreviewRenderer, PicturesAreTheExportedMoviesPictures) {
    ASSERT_NO_FATAL_FAILURE(makeClips());
    // Every layer: a styled frame, a zoom still growing at 916 ms, a cursor, a late webcam.
    const Json edit = Json::parse(R"({
        "name": "Clip.mp4", "startMs": 200, "endMs": 1800,
        "frame": {"type": "gradient", "from": "#203040", "to": "#a0b0c0", "paddingPct": 8,
                  "radiusPct": 5, "shadowPct": 40, "outlinePct": 1},
        "zooms": [{"startMs": 400, "endMs": 1600, "scale": 2.5, "fx": 0.3, "fy": 0.6}],
        "cursor": {"path": [[0, 0.2, 0.2], [900, 0.6, 0.5], [1800, 0.4, 0.7]],
                   "clicks": [{"t": 700, "fx": 0.5, "fy": 0.45}]},
        "webcam": {"enabled": true, "file": "Clip.webcam.mp4", "offsetMs": 100, "size": 30}
    })");

    // The zoom at 916 ms is mid-way: the preview must reach the export's point of its animation.
    MotionSim sim({*ZoomSegment::fromDict(edit["zooms"][0])}, std::nullopt, 640, 360);
    double scale = 1;
    for (int k = 6; k * 1000.0 / 30 <= 916; ++k) scale = sim.tick(k * 1000.0 / 30).scale;
    EXPECT_GT(scale, 1.2);
    EXPECT_LT(scale, 2.3);

    std::optional<Result<ExportedMovie>> exported;
    ExportRenderer exporter;
    exporter.render(*ExportRequest::fromPayload(edit), sourceWebRoot(), nullptr,
                    [&](Result<ExportedMovie> movie) { exported = std::move(movie); });
    ASSERT_TRUE(test::runMainUntil([&] { return exported.has_value(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(*exported) << exported->error().message;
    auto movie = MediaFile::open(test::recordingsFolder() / (*exported)->name);
    ASSERT_TRUE(movie);
    const int track = movie->tracks(TrackKind::video).at(0).index;
    auto decoder = VideoDecoder::open(std::move(*movie), track);
    ASSERT_TRUE(decoder);

    // Forwards, backwards and on through one renderer, at times between pictures.
    PreviewRenderer renderer;
    for (double t : {216.0, 916.0, 1366.0, 650.0, 1783.0}) {
        SCOPED_TRACE(t);
        Json payload = edit;
        payload["tMs"] = t;
        payload["maxWidth"] = 640;
        auto preview = previewNow(renderer, payload);
        ASSERT_TRUE(preview) << preview.error().message;
        EXPECT_EQ(preview->width, 640);
        EXPECT_EQ(preview->height, 360);
        EXPECT_NEAR(preview->tMs, std::floor(t * 30 / 1000) * 1000 / 30, 0.01);
        auto frame = decoder->frameAt((t - 200) / 1000);
        ASSERT_TRUE(frame);
        EXPECT_LT(meanAbsoluteDifference(decodeDataURL(preview->dataURL), frame->image), 3.0);
    }
}

TEST(PreviewRenderer, RefusalsAreTheExportsOwn) {
    ASSERT_NO_FATAL_FAILURE(makeClips());
    struct Case {
        const char* payload;
        const char* error;
    };
    const Case cases[] = {
        // (The export's own refusals of its parameters are the request's, tests/library.)
        {R"({"name":"Gone.mp4","startMs":0,"endMs":500,"tMs":100})",
         "The file has no video track."},
        {R"({"name":"Clip.mp4","startMs":100,"endMs":140,"tMs":120})",
         "The cuts remove the entire clip."},
        {R"({"name":"Clip.mp4","startMs":5000,"endMs":6000,"tMs":5500})", "Export failed."},
    };
    PreviewRenderer renderer;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        auto preview = previewNow(renderer, Json::parse(c.payload));
        ASSERT_FALSE(preview);
        EXPECT_EQ(preview.error().message, c.error);
    }
    // A time outside the range shows the range's edge; a missing width the output's.
    auto edge = previewNow(renderer, Json::parse(R"({"name":"Clip.mp4","startMs":500,
        "endMs":1000,"tMs":-50,"targetHeight":180})"));
    ASSERT_TRUE(edge) << edge.error().message;
    EXPECT_EQ(edge->tMs, 500);
    EXPECT_EQ(std::pair(edge->width, edge->height), std::pair(320, 180));
}

TEST(PreviewRenderer, ChangesToTheEditOrTheFileShowAtOnce) {
    ASSERT_NO_FATAL_FAILURE(makeClips());
    const fs::path dir = test::recordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Take.mp4", 2.0, 320, 180));
    // Each step changes one thing; the warm renderer must answer what a fresh one answers.
    Json edit = Json::parse(R"({"name":"Take.mp4","startMs":0,"endMs":2000,"tMs":700,
        "frame":{"type":"color","hex":"#336699","paddingPct":10},
        "webcam":{"enabled":true,"file":"Clip.webcam.mp4","size":50}})");
    std::vector<std::function<void()>> steps = {
        [] {},
        [&] { edit["frame"]["hex"] = "#993366"; },
        [&] { edit["zooms"] = Json::parse(R"([{"startMs":0,"endMs":2000,"scale":2}])"); },
        [&] { edit["startMs"] = 300; },
        [&] { edit["cursor"] = Json::parse(R"({"path":[[0,0.5,0.5]],"size":3})"); },
        [&] { edit["tMs"] = 1500; },
        [&] { edit["tMs"] = 400; },
        [&] {
            // The recording replaced by another movie of the same name.
            fs::remove(dir / "Take.mp4");
            ASSERT_TRUE(
                test::ffmpegLine("-f lavfi -i color=c=red:s=320x180:r=30 -t 2 -c:v libx264"
                                 " -preset ultrafast -pix_fmt yuv420p",
                                 dir / "Take.mp4"));
        },
    };
    PreviewRenderer warm;
    std::string previous;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_NO_FATAL_FAILURE(steps[i]());
        auto kept = previewNow(warm, edit);
        PreviewRenderer cold;
        auto fresh = previewNow(cold, edit);
        ASSERT_TRUE(kept && fresh);
        // (Compared as truth values: a failure would print the whole pictures.)
        EXPECT_TRUE(kept->dataURL == fresh->dataURL) << "the same picture as a fresh renderer's";
        EXPECT_FALSE(kept->dataURL == previous) << "the change shows";
        previous = kept->dataURL;
    }
}

TEST(KeystrokeOverlay, ThePillShowsWhereAndWhileItShould) {
    const fs::path dir = test::recordingsFolder();
    if (!fs::exists(dir / "Grey.mp4")) {
        ASSERT_TRUE(test::ffmpegLine(
            "-f lavfi -i color=c=0x808080:s=640x360:r=30 -t 3 -c:v libx264 -pix_fmt yuv420p",
            dir / "Grey.mp4"));
    }
    enum Shows { nothing, dark, light };
    struct Case {
        const char* what;
        double tMs;
        Json keys;  // the payload's "keys" section; null for none
        Json cuts;
        Shows bottom;  // in the bottom centre (the default place)
        Shows topLeft;
    };
    const Json press = Json::array({Json::array({400, "Ctrl+Shift+S"})});
    auto keys = [&](Json extra) {
        Json k = {{"enabled", true}, {"events", press}};
        if (extra.is_object()) k.update(extra);
        return k;
    };
    const Case cases[] = {
        {"no keys section: the picture as today", 500, nullptr, nullptr, nothing, nothing},
        {"just after the press", 500, keys({}), nullptr, dark, nothing},
        {"before the press", 380, keys({}), nullptr, nothing, nothing},
        {"gone after the fade", 2000, keys({}), nullptr, nothing, nothing},
        {"light style", 500, keys({{"style", "light"}}), nullptr, light, nothing},
        {"top left", 500, keys({{"position", "top-left"}}), nullptr, nothing, dark},
        {"a press inside a cut is gone", 600, keys({}),
         Json::array({{{"startMs", 300}, {"endMs", 500}}}), nothing, nothing},
    };
    PreviewRenderer renderer;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Json payload = {{"name", "Grey.mp4"},
                        {"startMs", 0},
                        {"endMs", 3000},
                        {"tMs", c.tMs},
                        {"maxWidth", 640}};
        if (!c.keys.is_null()) payload["keys"] = c.keys;
        if (!c.cuts.is_null()) payload["cuts"] = c.cuts;
        auto preview = previewNow(renderer, payload);
        ASSERT_TRUE(preview) << preview.error().message;
        const BgraImage image = decodeDataURL(preview->dataURL);
        ASSERT_EQ(image.width, 640);
        ASSERT_EQ(image.height, 360);
        // The pill (text 14 px tall, 22 px from the edges) and the text inside it.
        const struct {
            Shows expected;
            int x0, y0, x1, y1;
        } places[] = {{c.bottom, 250, 310, 390, 338}, {c.topLeft, 24, 24, 120, 50}};
        for (const auto& p : places) {
            // The darkest, the lightest and the mean luma in the box.
            int darkest = 255, lightest = 0;
            double mean = 0;
            for (int y = p.y0; y < p.y1; ++y) {
                for (int x = p.x0; x < p.x1; ++x) {
                    const std::uint32_t px = image.pixel(x, y);
                    const int l =
                        ((px >> 16 & 255) * 299 + (px >> 8 & 255) * 587 + (px & 255) * 114) / 1000;
                    darkest = std::min(darkest, l);
                    lightest = std::max(lightest, l);
                    mean += l / (double(p.x1 - p.x0) * (p.y1 - p.y0));
                }
            }
            if (p.expected == nothing) {  // the grey source alone
                EXPECT_TRUE(darkest > 110 && lightest < 146) << darkest << " " << lightest;
            } else if (p.expected == dark) {  // a dark pill with light text
                EXPECT_TRUE(mean < 100 && lightest > 200) << mean << " " << lightest;
            } else {  // a light pill with dark text
                EXPECT_TRUE(mean > 170 && darkest < 60) << mean << " " << darkest;
            }
        }
    }
}

}  // namespace
}  // namespace marlune
