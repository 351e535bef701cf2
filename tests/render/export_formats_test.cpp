// Exports as GIF and WebM, and exports with cuts and speed-ups, read back with ffprobe and
// decoded with ffmpeg.

#include <gtest/gtest.h>

#include <mutex>

#include "render/export/export_renderer.h"
#include "render_support.h"
#include "support/main_loop.h"
#include "support/recordings_folder.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

Result<ExportedMovie> exportNow(ExportRequest r) {
    ExportRenderer renderer;
    std::mutex lock;
    std::optional<Result<ExportedMovie>> made;
    renderer.render(std::move(r), std::nullopt, {}, [&](Result<ExportedMovie> m) {
        std::lock_guard guard(lock);
        made = std::move(m);
    });
    test::runMainUntil(
        [&] {
            std::lock_guard guard(lock);
            return made.has_value();
        },
        std::chrono::seconds(120));
    std::lock_guard guard(lock);
    return made.value_or(fail("(no completion)"));
}

// "codec_name" of each stream, video first, and the container's duration.
struct Probe {
    std::string video, audio;
    int frames = 0;
    int width = 0;
    double seconds = 0;
};

Probe probe(const fs::path& movie) {
    Probe p;
    auto out = test::toolOutput({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                 "stream=codec_type,codec_name,width,nb_read_frames", "-of", "json",
                                 movie.string()});
    for (const auto& s : Json::parse(out.value_or("{}")).value("streams", Json::array())) {
        if (s.value("codec_type", "") == "video") {
            p.video = s.value("codec_name", "");
            p.width = s.value("width", 0);
            p.frames = std::stoi(s.value("nb_read_frames", "0"));
        } else if (s.value("codec_type", "") == "audio") {
            p.audio = s.value("codec_name", "");
        }
    }
    p.seconds = test::probeDuration(movie).value_or(0);
    return p;
}

TEST(ExportFormats, EachFormatPlaysAndCutsAndSpeedsShortenTheMovie) {
    const fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 4.0));
    auto payload = [](const char* extra) {
        return Json::parse(std::string(R"({"name": "Demo.mp4", "startMs": 0, "endMs": 4000,
            "frame": {"type": "color", "hex": "#336699", "paddingPct": 8})") +
                           extra + "}");
    };
    struct Case {
        const char* extra;
        const char* output;
        const char* video;
        const char* audio;
        double seconds;  // the movie's length
        int minFrames, maxFrames;
        int width;
    };
    const Case cases[] = {
        {R"(, "format": "gif", "gif": {"fps": 10, "width": 200})", "Demo export.gif", "gif", "",
         4.0, 38, 41, 200},
        {R"(, "format": "webm")", "Demo export.webm", "vp9", "opus", 4.0, 118, 121, 320},
        // A cut second and two seconds at 2×: 4 - 1 - 1 = 2 seconds, pictures at most 30 a second.
        {R"(, "cuts": [{"startMs": 500, "endMs": 1500}], "speeds": [{"startMs": 2000,
            "endMs": 4000, "rate": 2}])",
         "Demo export.mp4", "h264", "aac", 2.0, 45, 61, 320},
        {R"(, "format": "webm", "cuts": [{"startMs": 0, "endMs": 3000}])", "Demo export 2.webm",
         "vp9", "opus", 1.0, 29, 31, 320},
        {R"(, "format": "gif", "speeds": [{"startMs": 0, "endMs": 4000, "rate": 8}])",
         "Demo export 2.gif", "gif", "", 0.5, 7, 9, 320},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        auto request = ExportRequest::fromPayload(payload(c.extra));
        ASSERT_TRUE(request);
        auto made = exportNow(*request);
        ASSERT_TRUE(made) << made.error().message;
        EXPECT_EQ(made->name, c.output);
        const fs::path movie = dir / c.output;
        const Probe p = probe(movie);
        EXPECT_EQ(p.video, c.video);
        EXPECT_EQ(p.audio, c.audio);
        EXPECT_EQ(p.width, c.width);
        EXPECT_NEAR(p.seconds, c.seconds, 0.12);
        EXPECT_GE(p.frames, c.minFrames);
        EXPECT_LE(p.frames, c.maxFrames);
        EXPECT_TRUE(test::decodesCleanly(movie));
    }
    // Nothing but the recording and its exports: no temporary file left.
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir))
        files += e.path().filename().string()[0] != '.';
    EXPECT_EQ(files, 6);
}

TEST(ExportFormats, CancellingAGifLeavesNothing) {
    const fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Long.mp4", 6.0, 640, 360, false));
    ExportRenderer renderer;
    std::mutex lock;
    std::optional<Result<ExportedMovie>> made;
    ExportRequest r;
    r.name = "Long.mp4";
    r.endMs = 6000;
    r.format = ExportFormat::gif;
    bool cancelled = false;
    renderer.render(
        r, std::nullopt,
        [&](double) {
            std::lock_guard guard(lock);
            if (!cancelled) renderer.cancelExport();
            cancelled = true;
        },
        [&](Result<ExportedMovie> m) {
            std::lock_guard guard(lock);
            made = std::move(m);
        });
    test::runMainUntil(
        [&] {
            std::lock_guard guard(lock);
            return made.has_value();
        },
        std::chrono::seconds(120));
    ASSERT_TRUE(made);
    ASSERT_FALSE(*made);
    EXPECT_EQ(made->error().code, ErrorCode::cancelled);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"Long.mp4"});
}

}  // namespace
}  // namespace marlune
