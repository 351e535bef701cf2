// A recording survives its writer's process (record_synthetic) killed or out of disk.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "movie_probe.h"
#include "platform/media/live_movie.h"
#include "recording/desktop_support.h"
#include "recording/recording_recovery.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

// Killed mid-way: plays as left, recovered whole, also from a finishing interrupted at any step.
TEST(CrashSafety, KilledRecordingPlaysAsItIsAndIsRecoveredWhole) {
    test::TempDir dir;
    auto movie = dir / "Marlune 2026-01-01 at 10.00.00.mp4";
    test::Child child({MARLUNE_RECORD_SYNTHETIC, movie.string(), "60"});
    ASSERT_TRUE(child.started());
    // Killed once more than 5 s are encoded (on a loaded machine the writer may lag the clock):
    // the writer prints how many frames it has written each second.
    for (;;) {
        const std::string line = child.readLine(120s).value_or("");
        ASSERT_FALSE(line.empty()) << "the recording ended early";
        if (line.rfind("written ", 0) == 0 && std::atoi(line.c_str() + 8) >= 160) break;
    }
    child.killNow();

    // As the kill left it, the movie already plays up to its last complete second.
    EXPECT_EQ(liveMovieState(movie), LiveMovieState::unfinished);
    auto asLeft = test::probeDuration(movie);
    ASSERT_TRUE(asLeft);
    EXPECT_GE(*asLeft, 4.0);
    const std::string live = test::readFile(movie);

    auto recovered = recoverInterruptedRecordings(dir.path());
    ASSERT_EQ(recovered.size(), 1u);
    EXPECT_EQ(recovered[0].name, movie.filename().string());
    EXPECT_TRUE(recovered[0].recovered) << recovered[0].error;
    EXPECT_GE(recovered[0].durationMs, 4000);

    EXPECT_EQ(liveMovieState(movie), LiveMovieState::notLive);
    auto duration = test::probeDuration(movie);
    ASSERT_TRUE(duration);
    EXPECT_GE(*duration, 4.0);
    EXPECT_NEAR(*duration, recovered[0].durationMs / 1000.0, 0.05);
    EXPECT_TRUE(test::decodesCleanly(movie));
    auto streams = test::probeStreams(movie);
    ASSERT_EQ(streams.size(), 3u);
    // Seeking near the end lands on real pictures.
    EXPECT_TRUE(test::ffmpeg({"-ss", std::to_string(*duration - 1.5), "-i", movie.string(),
                              "-frames:v", "1", "-f", "null", "-"}));
    // Running recovery again finds nothing to do.
    EXPECT_TRUE(recoverInterruptedRecordings(dir.path()).empty());

    // The page plays movies through WebKit's GStreamer player: it must find the duration and seek.
    auto info = test::toolOutput({"gst-discoverer-1.0", movie.string()});
    ASSERT_TRUE(info) << "gst-discoverer-1.0 failed";
    EXPECT_NE(info->find("Seekable: yes"), std::string::npos) << *info;
    EXPECT_NE(info->find("H.264 (High Profile)"), std::string::npos) << *info;
    int h = 0, m = 0;
    double sec = 0;
    auto at = info->find("Duration: ");
    ASSERT_NE(at, std::string::npos) << *info;
    ASSERT_EQ(std::sscanf(info->c_str() + at, "Duration: %d:%d:%lf", &h, &m, &sec), 3);
    EXPECT_NEAR(h * 3600 + m * 60 + sec, *duration, 0.02) << *info;
    // The player (playbin, as in the page) plays every track both ways it reads: pulling from a
    // local file, and being pushed to as a stream over HTTP is, where the index at the end has to
    // be fetched by seeking ahead.
    for (const char* scheme : {"file://", "pushfile://"}) {
        SCOPED_TRACE(scheme);
        EXPECT_TRUE(test::runTool({"timeout", "60", "gst-launch-1.0", "-q", "playbin",
                                   std::string("uri=") + scheme + movie.string(),
                                   "video-sink=fakesink", "audio-sink=fakesink"}));
    }

    // Finishing may itself be interrupted, at any of its steps: a later run still gives the same
    // movie.
    auto finishedPath = dir / "finished.mp4";
    test::writeFile(finishedPath, live);
    auto reference = finishLiveMovie(finishedPath);
    ASSERT_TRUE(reference) << reference.error().message;
    const std::string finished = test::readFile(finishedPath);
    // The kept part of the live movie, then the index appended at its end.
    const std::size_t keptEnd = live.size() - static_cast<std::size_t>(reference->bytesDropped);
    const std::string index = finished.substr(keptEnd);
    ASSERT_GT(index.size(), 8u);
    ASSERT_EQ(index.substr(4, 4), "moov");

    auto headerAt = live.find("moov");
    ASSERT_NE(headerAt, std::string::npos);
    struct Case {
        const char* step;
        std::string bytes;
    };
    std::string indexAppended = live.substr(0, keptEnd) + index;
    std::string headerFreed = indexAppended;
    headerFreed.replace(headerAt, 4, "free");
    std::string brandKept = finished;
    brandKept.replace(8, 4, "mrln");
    const Case cases[] = {
        {"index half written", live.substr(0, keptEnd) + index.substr(0, index.size() / 2)},
        {"index written", indexAppended},
        {"live header freed", headerFreed},
        {"all but the brand", brandKept},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        auto path = dir / "again.mp4";
        test::writeFile(path, c.bytes);
        EXPECT_EQ(liveMovieState(path), LiveMovieState::unfinished);
        auto again = finishLiveMovie(path);
        ASSERT_TRUE(again) << again.error().message;
        EXPECT_EQ(test::readFile(path), finished);
        EXPECT_EQ(liveMovieState(path), LiveMovieState::notLive);
    }

    // What a kill or a full disk leaves with nothing playable in it is set aside once, never
    // listed as a recording, and reported once.
    const auto firstPart = live.find("moof");
    ASSERT_NE(firstPart, std::string::npos);
    const auto folder = dir / "Marlune";
    test::writeFile(folder / "Marlune cut.mp4", live.substr(0, firstPart + 2000));
    test::writeFile(folder / "Marlune cut.webcam.mp4", "");
    test::writeFile(folder / "Marlune header only.mp4", live.substr(0, firstPart - 4));
    test::writeFile(folder / "Marlune whole.mp4", live);

    auto first = recoverInterruptedRecordings(folder);
    ASSERT_EQ(first.size(), 3u);
    const std::pair<const char*, bool> expected[] = {{"Marlune cut.mp4", false},
                                                     {"Marlune header only.mp4", false},
                                                     {"Marlune whole.mp4", true}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(first[i].name, expected[i].first);
        EXPECT_EQ(first[i].recovered, expected[i].second) << first[i].error;
    }
    // Only the recovered movie is left under a recording's name; the empty companion is gone.
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        const std::string name = e.path().filename();
        if (name.ends_with(".mp4")) left.push_back(name);
    }
    EXPECT_EQ(left, std::vector<std::string>{"Marlune whole.mp4"});
    EXPECT_TRUE(recoverInterruptedRecordings(folder).empty());
}

// A full disk keeps what fit playable, or nothing (not a broken, listed movie) before a part.
TEST(CrashSafety, FullDiskKeepsWhatFitPlayableAndNothingBroken) {
    for (auto [limit, kept] : {std::pair{1200000u, true}, {150000u, false}}) {
        SCOPED_TRACE(limit);
        test::TempDir dir;
        auto movie = dir / "full.mp4";
        // About two seconds of this movie fit in the larger limit, less than a part in the other.
        test::Child child({MARLUNE_RECORD_SYNTHETIC, movie.string(), "6", "--file-size-limit",
                           std::to_string(limit)});
        ASSERT_TRUE(child.started());
        std::string last;  // the last line the writer printed before it ended
        while (auto line = child.readLine(120s)) last = *line;
        child.killNow();  // reaped: gone, with its hold on the movie
        EXPECT_EQ(last.rfind("failed ", 0), 0u) << last;
        if (!kept) {
            EXPECT_FALSE(std::filesystem::exists(movie));
            continue;
        }
        EXPECT_NE(last.find("too large"), std::string::npos) << last;
        EXPECT_EQ(liveMovieState(movie), LiveMovieState::notLive);
        auto duration = test::probeDuration(movie);
        ASSERT_TRUE(duration);
        EXPECT_GE(*duration, 0.9);
        EXPECT_TRUE(test::decodesCleanly(movie));
        EXPECT_LE(std::filesystem::file_size(movie), limit);
    }
}

}  // namespace
}  // namespace marlune
