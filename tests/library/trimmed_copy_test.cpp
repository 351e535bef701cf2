// A trimmed copy of a recording starts and ends where it was asked, and keeps what makes it a
// recording that can be styled again: its project file on the copy's timeline and its webcam
// movie trimmed to the same moments.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

#include "core/queue.h"
#include "library/media_tools.h"
#include "library/trimmed_project.h"
#include "library_test_support.h"
#include "support/ffmpeg_tool.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

TEST(TrimmedProject, TracksZoomsAndWebcamMoveOntoTheCopysTimeline) {
    const Json project = Json::parse(R"({
        "version": 1,
        "clicks": [{"t": 500, "fx": 0.1, "fy": 0.1}, {"t": 3000, "fx": 0.2, "fy": 0.2},
                   {"t": 7500, "fx": 0.3, "fy": 0.3}, {"t": 8000, "fx": 0.4, "fy": 0.4}],
        "cursorPath": [[1000, 0.1, 0.1, 0], [2400, 0.2, 0.2, 1], [2600, 0.3, 0.3, 0],
                       [9000, 0.9, 0.9, 0]],
        "caretPath": [[2500, 0.5, 0.5], [4000.0, 0.6, 0.6]],
        "webcam": {"file": "A.webcam.mp4", "offsetMs": 1200, "enabled": true},
        "edit": {"range": {"startMs": 2500, "endMs": 7500},
                 "zooms": [{"startMs": 500, "endMs": 1000, "scale": 2},
                           {"startMs": 2000, "endMs": 4000, "scale": 2},
                           {"startMs": 6000, "endMs": 9000, "scale": 3}],
                 "frame": {"type": "color"}},
        "other": "kept"
    })");
    const Json out = trimmedProject(project, 2500, 7500);
    // Samples inside [start, end] shifted; the pointer's place before the start held at 0.
    EXPECT_EQ(out["clicks"], Json::parse(R"([{"t": 500, "fx": 0.2, "fy": 0.2},
                                             {"t": 5000, "fx": 0.3, "fy": 0.3}])"));
    EXPECT_EQ(out["cursorPath"], Json::parse("[[0, 0.2, 0.2, 1], [100, 0.3, 0.3, 0]]"));
    EXPECT_EQ(out["caretPath"], Json::parse("[[0, 0.5, 0.5], [1500, 0.6, 0.6]]"));
    EXPECT_EQ(out["edit"]["range"], Json::parse(R"({"startMs": 0, "endMs": 5000})"));
    EXPECT_EQ(out["edit"]["zooms"], Json::parse(R"([{"startMs": 0, "endMs": 1500, "scale": 2},
                              {"startMs": 3500, "endMs": 5000, "scale": 3}])"));
    EXPECT_EQ(out["webcam"]["offsetMs"], 0);
    EXPECT_EQ(out["other"], "kept");
    EXPECT_EQ(out["edit"]["frame"], project["edit"]["frame"]);

    // The webcam's own part of the range, for webcams that started before, after, and too late.
    struct Case {
        double offsetMs;
        std::int64_t start, end;
        std::optional<MsRange> range;
        std::optional<std::int64_t> offsetAfter;
    };
    const Case cases[] = {
        {1200, 2500, 7500, MsRange{1300, 6300}, 0},
        {3000, 2000, 5000, MsRange{0, 2000}, 1000},
        {8000, 2000, 5000, std::nullopt, std::nullopt},
        {-400, 0, 1000, MsRange{400, 1400}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offsetMs);
        EXPECT_EQ(webcamRange(c.offsetMs, c.start, c.end), c.range);
        Json p = {{"webcam", {{"file", "A.webcam.mp4"}, {"offsetMs", c.offsetMs}}}};
        Json trimmed = trimmedProject(p, c.start, c.end);
        if (c.offsetAfter) {
            EXPECT_EQ(trimmed["webcam"]["offsetMs"], *c.offsetAfter);
        } else {
            EXPECT_FALSE(trimmed.contains("webcam"));
        }
    }
}

Result<ExportedMovie> trim(const std::string& name, std::int64_t startMs, std::int64_t endMs) {
    std::optional<Result<ExportedMovie>> out;
    MediaTools tools;
    tools.exportTrim(
        name, startMs, endMs, [](double) {}, [&](Result<ExportedMovie> r) { out = std::move(r); });
    EXPECT_TRUE(test::runMainUntil([&] { return out.has_value(); }, std::chrono::seconds(60)));
    return out.value_or(fail("not finished"));
}

double probeNumber(const fs::path& movie, const std::vector<std::string>& what) {
    std::vector<std::string> args = {"ffprobe", "-v", "error"};
    args.insert(args.end(), what.begin(), what.end());
    args.insert(args.end(), {"-of", "csv=p=0", movie.string()});
    auto out = test::toolOutput(args);
    return out && !out->empty() ? std::atof(out->c_str()) : -1;
}

// One picture as RGB bytes: the movie's first, or the one shown at `seconds`.
std::string picture(const fs::path& movie, double seconds = 0) {
    test::TempDir dir;
    const fs::path raw = dir / "p.rgb";
    test::ffmpeg({"-ss", std::to_string(seconds), "-i", movie.string(), "-frames:v", "1", "-f",
                  "rawvideo", "-pix_fmt", "rgb24", raw.string()});
    return test::readFile(raw);
}

double difference(const std::string& a, const std::string& b) {
    if (a.empty() || a.size() != b.size()) return 1e9;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sum += std::abs(int(static_cast<unsigned char>(a[i])) - static_cast<unsigned char>(b[i]));
    }
    return sum / double(a.size());
}

TEST(ExportTrim, TheCopyStartsAndEndsWhereAskedWithItsProjectAndWebcam) {
    const fs::path dir = test::freshRecordingsFolder();
    // Key frames every two seconds: 3.0 s lies a second past one.
    ASSERT_TRUE(test::makeMovie(dir / "Take.mp4", 10.0, 320, 180, true, 60));
    ASSERT_TRUE(test::makeMovie(dir / "Take.webcam.mp4", 10.0, 160, 90, false, 60));
    {
        std::ofstream(dir / "Take.mp4.marlune.json")
            << R"({"version": 1, "clicks": [{"t": 3500, "fx": 0.5, "fy": 0.5}],
                   "webcam": {"file": "Take.webcam.mp4", "offsetMs": 500, "enabled": true}})";
    }
    auto out = trim("Take.mp4", 3000, 7500);
    ASSERT_TRUE(out) << out.error().message;
    EXPECT_EQ(out->name, "Take trimmed.mp4");
    EXPECT_EQ(out->durationMs, 4500);
    const fs::path copy = dir / "Take trimmed.mp4";

    // The first picture shown is the one at 3.0 s, at time 0; the copy lasts what was asked.
    const double frame = 1.0 / 30;
    EXPECT_NEAR(probeNumber(copy, {"-select_streams", "v:0", "-read_intervals", "%+#90",
                                   "-show_entries", "frame=pts_time"}),
                0.0, 0.001);
    EXPECT_NEAR(probeNumber(copy, {"-show_entries", "format=duration"}), 4.5, frame);
    const std::string first = picture(copy);
    EXPECT_LT(difference(first, picture(dir / "Take.mp4", 3.0)), 3.0);
    EXPECT_GT(difference(first, picture(dir / "Take.mp4", 2.0)), 10.0) << "not the key frame";

    // Its project on its own timeline, its webcam movie the same moments of the camera.
    const Json project = Json::parse(test::readFile(dir / "Take trimmed.mp4.marlune.json"));
    EXPECT_EQ(project["clicks"][0]["t"], 500);
    EXPECT_EQ(project["webcam"]["file"], "Take trimmed.webcam.mp4");
    EXPECT_EQ(project["webcam"]["offsetMs"], 0);
    const fs::path webcam = dir / "Take trimmed.webcam.mp4";
    EXPECT_NEAR(probeNumber(webcam, {"-show_entries", "format=duration"}), 4.5, frame);
    EXPECT_LT(difference(picture(webcam), picture(dir / "Take.webcam.mp4", 2.5)), 3.0);
}

}  // namespace
}  // namespace marlune
