// Guards the waveform's peaks and trimmed copies (cut where asked, with their project and webcam).

#include "library/media_tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <future>

#include "core/queue.h"
#include "library/trimmed_project.h"
#include "support/ffmpeg_tool.h"
#include "support/main_loop.h"
#include "support/recordings_folder.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

Result<std::vector<double>> waveformOf(const std::string& name,
                                       int buckets = MediaTools::kDefaultBuckets) {
    std::promise<Result<std::vector<double>>> done;
    MediaTools().waveform(name, buckets,
                          [&](Result<std::vector<double>> r) { done.set_value(std::move(r)); });
    auto future = done.get_future();
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        return fail("waveform never completed");
    }
    return future.get();
}

Result<ExportedMovie> trim(const std::string& name, std::int64_t startMs, std::int64_t endMs) {
    std::optional<Result<ExportedMovie>> out;
    MediaTools tools;
    tools.exportTrim(
        name, startMs, endMs, [](double) {},
        [&](Result<ExportedMovie> r) {
            EXPECT_TRUE(isMainThread());
            out = std::move(r);
        });
    EXPECT_TRUE(test::runMainUntil([&] { return out.has_value(); }, std::chrono::seconds(60)));
    return out.value_or(fail("not finished"));
}

TEST(PeakWindows, WindowsRunAcrossBuffers) {
    // Window 0 peaks at 1000 in the first buffer, window 1 at −16384 straddling two buffers,
    // window 2 is partial.
    std::vector<std::int16_t> samples(2048 * 2 + 100, 0);
    samples[10] = 1000;
    samples[2048 + 2000] = -16384;
    samples[2048 * 2 + 50] = 12;
    PeakWindows windows;
    std::span<const std::int16_t> all(samples);
    for (std::size_t at = 0, piece = 1; at < all.size(); at += piece, piece = piece * 3 + 7) {
        windows.add(all.subspan(at, std::min(piece, all.size() - at)));
    }
    auto peaks = windows.finish();
    ASSERT_EQ(peaks.size(), 3u);
    EXPECT_DOUBLE_EQ(peaks[0], 1000 / 32767.0);
    EXPECT_DOUBLE_EQ(peaks[1], 16384 / 32767.0);
    EXPECT_DOUBLE_EQ(peaks[2], 12 / 32767.0);

    PeakWindows fullScale;
    std::vector<std::int16_t> lowest(2048, -32768);
    fullScale.add(lowest);
    EXPECT_EQ(fullScale.finish(), std::vector<double>{1.0}) << "−32768 counts as 32767";
}

TEST(Waveform, BucketsNormalisationAndRounding) {
    struct Case {
        const char* what;
        std::vector<double> peaks;
        int buckets;
        std::vector<double> values;
    };
    const Case cases[] = {
        {"no windows", {}, 800, {}},
        {"fewer windows than buckets", {0.25, 0.5, 0.125}, 800, {0.5, 1.0, 0.25}},
        // step 2.5: windows 0–1 and 2–4.
        {"uneven groups", {0.1, 0.4, 0.2, 0.3, 0.8}, 2, {0.5, 1.0}},
        // step 1.5: windows 0, 1–2.
        {"step below two", {0.8, 0.2, 0.4}, 2, {1.0, 0.5}},
        {"nearly silent stays as is", {0.004, 0.0095, 0.0001}, 800, {0.004, 0.01, 0.0}},
        {"just above the threshold", {0.0101, 0.00505}, 800, {1.0, 0.5}},
        {"rounded to three decimals", {1.0, 0.12345, 0.9876}, 800, {1.0, 0.123, 0.988}},
    };
    for (const auto& c : cases) {
        auto values = waveformFromPeaks(c.peaks, c.buckets);
        ASSERT_EQ(values.size(), c.values.size()) << c.what;
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_DOUBLE_EQ(values[i], c.values[i]) << c.what << " [" << i << "]";
        }
    }
}

TEST(Waveform, WhatHasNoSoundDrawsNothing) {
    fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "mute.mp4", 1.0, 160, 90, false));
    test::writeFile(dir / "notes.mp4", "not a movie");
    for (const char* name : {"mute.mp4", "notes.mp4"}) {
        auto peaks = waveformOf(name);
        ASSERT_TRUE(peaks) << name << ": " << peaks.error().message;
        EXPECT_TRUE(peaks->empty()) << name;
    }
}

TEST(ExportTrim, NamesTheCopyAfterTheSourceBesideIt) {
    fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Clip.mp4", 2.0));
    fs::create_directory(dir / "sub");
    ASSERT_TRUE(test::makeMovie(dir / "sub/Take.mov", 2.0));
    struct Case {
        const char* source;
        std::int64_t startMs, endMs;
        const char* made;
    };
    const Case cases[] = {
        {"Clip.mp4", 500, 1500, "Clip trimmed.mp4"},
        {"Clip.mp4", 500, 1500, "Clip trimmed 2.mp4"},
        {"sub/Take.mov", 500, 1500, "sub/Take trimmed.mp4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        auto out = trim(c.source, c.startMs, c.endMs);
        EXPECT_EQ(out ? out->name : out.error().message, c.made);
    }
    std::vector<std::string> left;
    for (const auto& e : fs::recursive_directory_iterator(dir)) left.push_back(e.path().filename());
    std::ranges::sort(left);
    EXPECT_EQ(left, (std::vector<std::string>{"Clip trimmed 2.mp4", "Clip trimmed.mp4", "Clip.mp4",
                                              "Take trimmed.mp4", "Take.mov", "sub"}));
}

TEST(ExportTrim, ToolsGoingAwayEndTheirTrimsAndTheirFiles) {
    fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeBigMovie(dir / "Big.mp4", 80));
    std::optional<Result<ExportedMovie>> result;
    auto tools = std::make_unique<MediaTools>();
    tools->exportTrim(
        "Big.mp4", 0, 160000, [](double) {},
        [&](Result<ExportedMovie> r) { result = std::move(r); });
    // Gone while the copy runs (or before it has begun): however far it got, nothing is named.
    tools.reset();
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir)) left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"Big.mp4"}) << "no partial copy outlives the tools";
    EXPECT_TRUE(test::runMainUntil([&] { return result.has_value(); }));
    EXPECT_FALSE(result && *result);
}

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
    auto times = test::toolOutput({"ffprobe", "-v", "error", "-select_streams", "v:0",
                                   "-read_intervals", "%+#90", "-show_entries", "frame=pts_time",
                                   "-of", "csv=p=0", copy.string()});
    EXPECT_NEAR(std::atof(times.value_or("-1").c_str()), 0.0, 0.001);
    EXPECT_NEAR(test::probeDuration(copy).value_or(-1), 4.5, frame);
    const std::string first = picture(copy);
    EXPECT_LT(difference(first, picture(dir / "Take.mp4", 3.0)), 3.0);
    EXPECT_GT(difference(first, picture(dir / "Take.mp4", 2.0)), 10.0) << "not the key frame";

    // Its project on its own timeline, its webcam movie the same moments of the camera.
    const Json project = Json::parse(test::readFile(dir / "Take trimmed.mp4.marlune.json"));
    EXPECT_EQ(project["clicks"][0]["t"], 500);
    EXPECT_EQ(project["webcam"]["file"], "Take trimmed.webcam.mp4");
    EXPECT_EQ(project["webcam"]["offsetMs"], 0);
    const fs::path webcam = dir / "Take trimmed.webcam.mp4";
    EXPECT_NEAR(test::probeDuration(webcam).value_or(-1), 4.5, frame);
    EXPECT_LT(difference(picture(webcam), picture(dir / "Take.webcam.mp4", 2.5)), 3.0);
}

}  // namespace
}  // namespace marlune
