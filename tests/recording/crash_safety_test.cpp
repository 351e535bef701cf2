// A recording must survive its process being killed or its disk filling up: these tests run a
// real writer in a child process (record_synthetic) and look at what it leaves behind.

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "movie_probe.h"
#include "platform/media/live_movie.h"
#include "recording/recording_recovery.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

// The child's standard output, line by line, and its end.
class Recorder {
  public:
    explicit Recorder(std::vector<std::string> args) {
        args.insert(args.begin(), MARLUNE_RECORD_SYNTHETIC);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        gint out = -1;
        GError* error = nullptr;
        started_ =
            g_spawn_async_with_pipes(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                                     nullptr, nullptr, &pid_, nullptr, &out, nullptr, &error);
        if (error) g_error_free(error);
        if (started_) output_ = fdopen(out, "r");
    }
    ~Recorder() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_) fclose(output_);
    }
    bool started() const { return started_; }
    // The next line, without its line break; empty at the end of the output.
    std::string line() {
        char buf[512];
        if (!output_ || !fgets(buf, sizeof buf, output_)) return "";
        std::string s(buf);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
    void killNow() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }
    void wait() {
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }

  private:
    bool started_ = false;
    GPid pid_ = 0;
    bool reaped_ = false;
    FILE* output_ = nullptr;
};

TEST(CrashSafety, KilledRecordingPlaysAsItIsAndIsRecoveredWhole) {
    test::TempDir dir;
    auto movie = dir / "Marlune 2026-01-01 at 10.00.00.mp4";
    Recorder child({movie.string(), "60"});
    ASSERT_TRUE(child.started());
    // Killed once more than 5 s are encoded (on a loaded machine the writer may lag the clock).
    for (std::string line = child.line();; line = child.line()) {
        ASSERT_FALSE(line.empty()) << "the recording ended early";
        if (line.rfind("written ", 0) == 0 && std::atoi(line.c_str() + 8) >= 160) break;
    }
    child.killNow();

    // As the kill left it, the movie already plays up to its last complete second.
    EXPECT_EQ(liveMovieState(movie), LiveMovieState::unfinished);
    auto asLeft = test::probeDuration(movie);
    ASSERT_TRUE(asLeft);
    EXPECT_GE(*asLeft, 4.0);

    // A copy of it stays behind for the next test of interrupted finishing.
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
}

TEST(CrashSafety, FullDiskEndsTheRecordingWithWhatFitKeptPlayable) {
    test::TempDir dir;
    auto movie = dir / "full.mp4";
    // About two seconds of this movie fit.
    Recorder child({movie.string(), "6", "--file-size-limit", "1200000"});
    ASSERT_TRUE(child.started());
    std::string last, line;
    while (!(line = child.line()).empty()) last = line;
    child.wait();
    EXPECT_EQ(last.rfind("failed ", 0), 0u) << last;
    EXPECT_NE(last.find("too large"), std::string::npos) << last;

    EXPECT_EQ(liveMovieState(movie), LiveMovieState::notLive);
    auto duration = test::probeDuration(movie);
    ASSERT_TRUE(duration);
    EXPECT_GE(*duration, 0.9);
    EXPECT_TRUE(test::decodesCleanly(movie));
    EXPECT_LE(std::filesystem::file_size(movie), 1200000u);
}

// Finishing may itself be interrupted, at any of its steps: a later run still gives the same
// movie.
TEST(CrashSafety, InterruptedFinishingIsCompletedByAnotherRun) {
    test::TempDir dir;
    auto live = dir / "live.mp4";
    {
        Recorder child({live.string(), "60"});
        for (std::string line = child.line();; line = child.line()) {
            ASSERT_FALSE(line.empty()) << "the recording ended early";
            if (line.rfind("written ", 0) == 0 && std::atoi(line.c_str() + 8) >= 75) break;
        }
        child.killNow();
    }
    const std::string liveBytes = test::readFile(live);
    auto finishedPath = dir / "finished.mp4";
    test::writeFile(finishedPath, liveBytes);
    auto reference = finishLiveMovie(finishedPath);
    ASSERT_TRUE(reference) << reference.error().message;
    const std::string finished = test::readFile(finishedPath);
    // The kept part of the live movie, then the index appended at its end.
    const std::size_t keptEnd =
        liveBytes.size() - static_cast<std::size_t>(reference->bytesDropped);
    const std::string index = finished.substr(keptEnd);
    ASSERT_GT(index.size(), 8u);
    ASSERT_EQ(index.substr(4, 4), "moov");

    auto headerAt = liveBytes.find("moov");
    ASSERT_NE(headerAt, std::string::npos);
    struct Case {
        const char* step;
        std::string bytes;
    };
    std::string indexAppended = liveBytes.substr(0, keptEnd) + index;
    std::string headerFreed = indexAppended;
    headerFreed.replace(headerAt, 4, "free");
    std::string brandKept = finished;
    brandKept.replace(8, 4, "mrln");
    const Case cases[] = {
        {"index half written", liveBytes.substr(0, keptEnd) + index.substr(0, index.size() / 2)},
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
}

// The page plays movies through WebKit's GStreamer player: it must find the duration and seek.
TEST(CrashSafety, FinishedMoviePlaysAndSeeksInGStreamer) {
    test::TempDir dir;
    auto movie = dir / "gst.mp4";
    Recorder child({movie.string(), "3"});
    ASSERT_TRUE(child.started());
    std::string last, line;
    while (!(line = child.line()).empty()) last = line;
    child.wait();
    ASSERT_EQ(last.rfind("saved ", 0), 0u) << last;
    // The last picture is shown for a frame after its start.
    const double expected = std::atoi(last.c_str() + 6) / 1000.0 + 1.0 / 30;

    auto info = test::toolOutput({"gst-discoverer-1.0", movie.string()});
    ASSERT_TRUE(info) << "gst-discoverer-1.0 failed";
    EXPECT_NE(info->find("Seekable: yes"), std::string::npos) << *info;
    EXPECT_NE(info->find("H.264 (High Profile)"), std::string::npos) << *info;
    int h = 0, m = 0;
    double sec = 0;
    auto at = info->find("Duration: ");
    ASSERT_NE(at, std::string::npos) << *info;
    ASSERT_EQ(std::sscanf(info->c_str() + at, "Duration: %d:%d:%lf", &h, &m, &sec), 3);
    EXPECT_NEAR(h * 3600 + m * 60 + sec, expected, 0.01) << *info;
    // Every track decodes through GStreamer's demuxer, and the player (playbin, as in the page)
    // plays it both ways it reads: pulling from a local file, and being pushed to as a stream over
    // HTTP is, where the index at the end has to be fetched by seeking ahead.
    EXPECT_TRUE(test::runTool({"gst-launch-1.0",
                               "-q",
                               "filesrc",
                               "location=" + movie.string(),
                               "!",
                               "qtdemux",
                               "name=d",
                               "d.video_0",
                               "!",
                               "queue",
                               "!",
                               "avdec_h264",
                               "!",
                               "fakesink",
                               "d.audio_0",
                               "!",
                               "queue",
                               "!",
                               "avdec_aac",
                               "!",
                               "fakesink",
                               "d.audio_1",
                               "!",
                               "queue",
                               "!",
                               "avdec_aac",
                               "!",
                               "fakesink"}));
    for (const char* scheme : {"file://", "pushfile://"}) {
        SCOPED_TRACE(scheme);
        EXPECT_TRUE(test::runTool({"timeout", "60", "gst-launch-1.0", "-q", "playbin",
                                   std::string("uri=") + scheme + movie.string(),
                                   "video-sink=fakesink", "audio-sink=fakesink"}));
    }
}

}  // namespace
}  // namespace marlune
