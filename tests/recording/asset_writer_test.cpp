#include "recording/asset_writer_coordinator.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "movie_probe.h"
#include "platform/media/live_movie.h"
#include "support/ffmpeg_tool.h"
#include "support/synthetic_media.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::kSecond;
using test::syntheticAudio;
using test::syntheticFrame;

constexpr HostTime kStart = 1000 * kSecond;  // an arbitrary host time for the first frame

// Appends picture number `index` (from 0) once the writer has taken (written or dropped) all but
// `inFlight` of the earlier ones, as a capture at a steady rate would: none is dropped for speed.
void appendPaced(AssetWriterCoordinator& writer, VideoFrame frame, int index, int inFlight = 2) {
    for (;;) {
        const auto c = writer.counters();
        if (static_cast<int>(c.framesWritten + c.framesDropped + c.framesPaused) >=
            index - inFlight) {
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    writer.appendVideo(std::move(frame));
}

// Finishes the writer and waits for its one answer.
Result<SavedInfo> finishAndWait(AssetWriterCoordinator& writer) {
    std::mutex m;
    std::condition_variable cv;
    std::optional<Result<SavedInfo>> result;
    int calls = 0;
    writer.finish([&](Result<SavedInfo> r) {
        std::lock_guard lock(m);
        ++calls;
        result = std::move(r);
        cv.notify_all();
    });
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, 60s, [&] { return result.has_value(); })) {
        return std::unexpected(Error{"no completion"});
    }
    EXPECT_EQ(calls, 1);
    return *result;
}

// Feeds `seconds` of 30 fps pictures from `from`, with mic and system sound in 10 ms buffers:
// the mic a 440 Hz tone, the system audio silence.
void feed(AssetWriterCoordinator& writer, HostTime from, double seconds) {
    const int frames = static_cast<int>(std::lround(seconds * 30));
    std::int64_t audio = 0;
    for (int i = 0; i < frames; ++i) {
        const HostTime pts = from + i * kSecond / 30;
        appendPaced(writer, syntheticFrame(320, 240, i, pts), i);
        while (from + audio * kSecond / 48000 < pts + kSecond / 30) {
            const HostTime at = from + audio * kSecond / 48000;
            writer.appendMic(syntheticAudio(at, 480, 440, 0.5f, audio));
            writer.appendSystemAudio(syntheticAudio(at, 480));
            audio += 480;
        }
    }
}

TEST(AssetWriter, WritesHighProfileVideoWithTheTracksAskedForThroughTheClaimedFile) {
    struct Case {
        bool mic, system;
        std::optional<std::int64_t> bitrate;
        std::int64_t expectedKbps;
    };
    const Case cases[] = {
        {true, true, 6'000'000, 6000},
        {true, false, std::nullopt, 5000},  // 320 × 240 × 30 × 0.18 is raised to 5,000,000
        // (The webcam movie, video only at a fixed rate, is the bubble's test.)
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mic " << c.mic << " system " << c.system);
        test::TempDir dir;
        auto movie = dir / "Marlune test.mp4";
        // The name a recording claims stays its own: the writer writes through the claimed file,
        // never removing it and creating another under the same name that a second instance
        // could take too.
        int fd = ::open(movie.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        auto inode = [&] {
            struct stat st {};
            return ::stat(movie.c_str(), &st) == 0 ? st.st_ino : 0;
        };
        const ino_t claimed = inode();
        AssetWriterCoordinator writer;
        writer.useClaimedFile(fd);
        ASSERT_TRUE(writer.prepare(movie, 320, 240, 30, c.mic, c.system, c.bitrate));
        // Another process sees it taken from the claim on, before anything is written.
        EXPECT_EQ(liveMovieState(movie), LiveMovieState::inUse);
        feed(writer, kStart, 2.5);
        auto saved = finishAndWait(writer);
        ASSERT_TRUE(saved) << saved.error().message;
        EXPECT_EQ(saved->url, movie);
        EXPECT_EQ(inode(), claimed);

        auto streams = test::probeStreams(movie);
        ASSERT_EQ(streams.size(), 1u + c.mic + c.system);
        EXPECT_EQ(streams[0].type, "video");
        EXPECT_EQ(streams[0].codec, "h264");
        EXPECT_EQ(streams[0].profile, "High");
        EXPECT_EQ(streams[0].hasBFrames, 0);
        for (std::size_t i = 1; i < streams.size(); ++i) {
            EXPECT_EQ(streams[i].codec, "aac");
            EXPECT_EQ(streams[i].sampleRate, 48000);
            EXPECT_EQ(streams[i].channels, 2);
        }
        // The microphone (the tone) comes first, the system audio (silence) after it.
        if (c.mic) {
            EXPECT_TRUE(test::firstLoud(test::decodeAudio(movie, 0)));
        }
        if (c.system) {
            EXPECT_FALSE(test::firstLoud(test::decodeAudio(movie, c.mic ? 1 : 0)));
        }
        const std::string settings = test::x264Settings(movie);
        EXPECT_NE(settings.find("bitrate=" + std::to_string(c.expectedKbps) + " "),
                  std::string::npos)
            << settings;
        // One key frame a second, exactly.
        auto packets = test::probeVideoPackets(movie);
        ASSERT_EQ(packets.size(), 75u);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(packets[i].key, i % 30 == 0) << "frame " << i;
        }
        EXPECT_TRUE(test::decodesCleanly(movie));
    }
}

TEST(AssetWriter, MovieStartsAtTheFirstPictureAndSoundKeepsItsPlace) {
    test::TempDir dir;
    auto movie = dir / "sync.mp4";
    AssetWriterCoordinator writer;
    ASSERT_TRUE(writer.prepare(movie, 320, 240, 30, true, true));
    // Loud sound before the first picture is not part of the movie.
    for (int i = 0; i < 50; ++i) {
        writer.appendSystemAudio(
            syntheticAudio(kStart - kSecond / 2 + i * kSecond / 100, 480, 300));
        writer.appendMic(syntheticAudio(kStart - kSecond / 2 + i * kSecond / 100, 480, 300));
    }
    for (int i = 0; i < 60; ++i) {
        appendPaced(writer, syntheticFrame(320, 240, i, kStart + i * kSecond / 30), i);
    }
    // The mic's sound starts late (at 0.5 s) and has a click at 1.25 s; the system audio has a
    // hole from 0.5 to 0.8 s, then a click at 1.5 s.
    for (int ms = 0; ms < 2000; ms += 10) {
        const HostTime t = kStart + ms * kSecond / 1000;
        if (ms >= 500) writer.appendMic(syntheticAudio(t, 480, ms == 1250 ? 1000 : 0, 0.9f));
        if (ms < 500 || ms >= 800) {
            writer.appendSystemAudio(syntheticAudio(t, 480, ms == 1500 ? 1000 : 0, 0.9f));
        }
    }
    auto saved = finishAndWait(writer);
    ASSERT_TRUE(saved) << saved.error().message;
    ASSERT_TRUE(writer.firstVideoPTSSeconds());
    EXPECT_DOUBLE_EQ(*writer.firstVideoPTSSeconds(), 1000.0);

    auto packets = test::probeVideoPackets(movie);
    ASSERT_FALSE(packets.empty());
    EXPECT_NEAR(packets.front().time, 0.0, 1e-6);
    struct Track {
        int index;
        double click;
    };
    for (auto [index, click] : {Track{0, 1.25}, Track{1, 1.5}}) {
        SCOPED_TRACE(index);
        auto samples = test::decodeAudio(movie, index);
        auto loud = test::firstLoud(samples);
        ASSERT_TRUE(loud);
        // Within a millisecond of where it was captured, relative to the first picture.
        EXPECT_NEAR(*loud, click, 0.001);
        // Every track runs to the end of the picture (2 s).
        EXPECT_NEAR(static_cast<double>(samples.size()) / 48000.0, 2.0, 0.03);
    }
}

// Uneven pictures land on distinct frames of the rate: no two with one decoding time.
TEST(AssetWriter, UnevenPicturesLandOnDistinctFramesOfTheRate) {
    // When each picture was taken (ms after the first), and the frame of 30 a second it is
    // written on (-1: dropped).
    struct Case {
        double takenMs;
        int frame;
    };
    const Case cases[] = {
        {0, 0},    {30, 1},   {50, 2},  // taken for frames 0 and 1, both taken: moved on
        {60, -1},                       // before the last one's place: dropped
        {75, 3},   {140, 4},            // taken for 2 (taken: moved on) and 4
        {150, 5},  {170, 6},            // a late picture pushes the next one on
        {200, -1},                      // exactly the last one's place: dropped
        {400, 12}, {401, 13},           // its own frame, then the next one, 32 ms ahead
        {402, -1},                      // before the last one's place again
        {300, -1},                      // a step back
    };
    test::TempDir dir;
    const auto movie = dir / "grid.mp4";
    AssetWriterCoordinator writer;
    ASSERT_TRUE(writer.prepare(movie, 320, 240, 30, false, false));
    int index = 0;
    std::vector<double> expected;
    for (const Case& c : cases) {
        appendPaced(writer, syntheticFrame(320, 240, index, kStart + HostTime(c.takenMs * 1e6)),
                    index, 0);
        ++index;
        if (c.frame >= 0) expected.push_back(c.frame / 30.0);
    }
    auto saved = finishAndWait(writer);
    ASSERT_TRUE(saved) << saved.error().message;
    EXPECT_EQ(writer.counters().framesDropped, 4u);
    EXPECT_EQ(saved->durationMs, 433);  // the last picture starts at 13/30 s, truncated
    const auto packets = test::probeVideoPackets(movie);
    ASSERT_EQ(packets.size(), expected.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_NEAR(packets[i].time, expected[i], 1e-4) << "picture " << i;
    }
    // ffmpeg reads it at 30 a second without a complaint.
    const auto complaints = test::toolOutput(
        {"sh", "-c", "ffmpeg -nostdin -v warning -i \"$0\" -f null - 2>&1", movie.string()});
    ASSERT_TRUE(complaints);
    EXPECT_EQ(complaints->find("non monotonically"), std::string::npos) << *complaints;
}

TEST(AssetWriter, PausedStretchLeavesNoGap) {
    // The clock the pause and resume read; captured samples carry their own times.
    std::atomic<HostTime> now{kStart};
    WriterTuning tuning;
    tuning.clock = [&] { return now.load(); };
    test::TempDir dir;
    auto movie = dir / "pause.mp4";
    AssetWriterCoordinator writer(tuning);
    ASSERT_TRUE(writer.prepare(movie, 320, 240, 30, true, false));
    // 2 s recorded, a 5 s pause while capture goes on, 2 s more; the second pause call and the
    // second resume call do nothing.
    for (int i = 0; i < 9 * 30; ++i) {
        const HostTime t = kStart + i * kSecond / 30;
        now = t;
        if (i == 2 * 30) {
            writer.pause();
            writer.pause();
        }
        if (i == 7 * 30) {
            writer.resume();
            writer.resume();
        }
        appendPaced(writer, syntheticFrame(320, 240, i, t), i);
        for (int k = 0; k < 10; ++k) {
            const HostTime at = t + k * kSecond / 300;
            writer.appendMic(syntheticAudio(at, 160, 440, 0.5f, (at - kStart) * 48000 / kSecond));
        }
    }
    auto saved = finishAndWait(writer);
    ASSERT_TRUE(saved) << saved.error().message;
    EXPECT_EQ(writer.counters().framesPaused, 150u);
    EXPECT_EQ(saved->durationMs, 3966);  // 120 frames: the last starts at 119/30 s

    auto packets = test::probeVideoPackets(movie);
    ASSERT_EQ(packets.size(), 120u);
    for (std::size_t i = 1; i < packets.size(); ++i) {
        EXPECT_NEAR(packets[i].time - packets[i - 1].time, 1.0 / 30, 0.002) << "frame " << i;
    }
    // The sound has no hole either: the tone runs on through the cut.
    auto samples = test::decodeAudio(movie, 0);
    EXPECT_NEAR(static_cast<double>(samples.size()) / 48000.0, 4.0, 0.03);
    std::size_t quiet = 0, longestQuiet = 0;
    for (std::size_t i = 4800; i + 4800 < samples.size(); ++i) {
        quiet = std::fabs(samples[i]) < 0.05f ? quiet + 1 : 0;
        longestQuiet = std::max(longestQuiet, quiet);
    }
    EXPECT_LT(longestQuiet, 48u) << "a silent stretch in the tone";
}

TEST(AssetWriter, NoMovieIsLeftWithoutAPictureOrWhenPreparingFails) {
    test::TempDir dir;
    struct Case {
        const char* what;
        std::filesystem::path path;
        int width;
        bool audio;
        std::string message;  // empty: the file system's own text
    };
    const std::string noFrames = "Recording stopped before any frames were captured.";
    const Case cases[] = {
        {"nothing", dir / "empty.mp4", 320, false, noFrames},
        {"sound only", dir / "sound.mp4", 320, true, noFrames},
        {"no folder", dir / "missing folder" / "a.mp4", 320, false, ""},
        {"no size", dir / "zero.mp4", 0, false, "Could not set up the video writer."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AssetWriterCoordinator writer;
        auto prepared = writer.prepare(c.path, c.width, 240, 30, true, true);
        ASSERT_EQ(prepared.has_value(), c.message == noFrames);
        if (!prepared && !c.message.empty()) {
            EXPECT_EQ(prepared.error().message, c.message);
        }
        for (int i = 0; c.audio && i < 20; ++i) {
            writer.appendMic(syntheticAudio(kStart + i * kSecond / 100, 480, 440));
        }
        // A second finish finds nothing to finish either.
        for (int finish = 0; finish < (c.message == noFrames ? 2 : 1); ++finish) {
            auto finished = finishAndWait(writer);
            ASSERT_FALSE(finished);
            if (c.message == noFrames) {
                EXPECT_EQ(finished.error().message, noFrames);
            }
        }
        EXPECT_FALSE(std::filesystem::exists(c.path));
    }
}

TEST(AssetWriter, FramesBeyondTheQueueAreDropped) {
    test::TempDir dir;
    WriterTuning tuning;
    tuning.maxPendingFrames = 0;
    AssetWriterCoordinator closed(tuning);
    ASSERT_TRUE(closed.prepare(dir / "none.mp4", 640, 360, 30, false, false));
    for (int i = 0; i < 3; ++i) {
        closed.appendVideo(syntheticFrame(640, 360, i, kStart + i * kSecond / 30));
    }
    EXPECT_EQ(closed.counters().framesDropped, 3u);
    EXPECT_FALSE(finishAndWait(closed));
}

}  // namespace
}  // namespace marlune
