// A real recording of the test desktop (plan, stream, microphone, writer): picture and sound in
// step.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "movie_probe.h"
#include "recording/asset_writer_coordinator.h"
#include "recording/capture_plan.h"
#include "recording/desktop_support.h"
#include "recording/mic_capture_engine.h"
#include "recording/screen_capture_engine.h"
#include "support/ffmpeg_tool.h"
#include "support/synthetic_media.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

// Hands the stream's samples and the microphone's to the writer as a recording does, up to
// `length` of picture (then the recording stops: sound that comes after it is left out too).
class ToWriter : public ScreenCaptureEngineDelegate {
  public:
    ToWriter(AssetWriterCoordinator& writer, HostTime length) : writer_(writer), length_(length) {}

    void didOutputVideo(VideoFrame frame) override {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        if (!first_) first_ = frame.pts;
        last_ = frame.pts;
        ended_ = frame.pts - *first_ >= length_;
        writer_.appendVideo(std::move(frame));
        changed_.notify_all();
    }
    void didOutputSystemAudio(AudioBuffer buffer) override {
        {
            std::lock_guard lock(mutex_);
            if (ended_) return;
            const HostTime end = buffer.pts + HostTime(buffer.frames()) * 1'000'000'000 / 48000;
            if (soundEnd_ && std::llabs(buffer.pts - *soundEnd_) > 1'000'000) {
                soundBreaks_.push_back(buffer.pts);
            }
            soundEnd_ = end;
        }
        writer_.appendSystemAudio(std::move(buffer));
    }
    void didStopWithError(Error error) override {
        std::lock_guard lock(mutex_);
        stopError_ = std::move(error);
        changed_.notify_all();
    }

    // The first frame's time, once there is one.
    std::optional<HostTime> waitForFirst(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return first_.has_value(); });
        return first_;
    }
    // Whether the whole length was handed on.
    bool waitForEnd(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return ended_ || stopError_; }) && ended_;
    }
    // The microphone's buffers, up to the end of the picture.
    void micBuffer(AudioBuffer buffer) {
        {
            std::lock_guard lock(mutex_);
            if (ended_) return;
        }
        writer_.appendMic(std::move(buffer));
    }

    // Whether the system audio ran on without a break from `from` to `to`. (The test desktop's
    // null output falls behind real time on a busy machine; the capture then rightly leaves a
    // gap, and a click made in it sounds late.)
    bool soundUnbroken(HostTime from, HostTime to) {
        std::lock_guard lock(mutex_);
        return std::none_of(soundBreaks_.begin(), soundBreaks_.end(),
                            [&](HostTime t) { return t >= from && t <= to; });
    }
    // The time from the first frame to the last one handed on.
    HostTime span() {
        std::lock_guard lock(mutex_);
        return first_ ? last_ - *first_ : 0;
    }

  private:
    AssetWriterCoordinator& writer_;
    const HostTime length_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<HostTime> first_;
    HostTime last_ = 0;
    bool ended_ = false;
    std::optional<Error> stopError_;
    std::optional<HostTime> soundEnd_;
    std::vector<HostTime> soundBreaks_;
};

// The mean brightness (0–255) of a `size` square at x, y in each frame of the movie, in order.
std::vector<double> brightness(const std::filesystem::path& movie, int x, int y, int size) {
    test::TempDir dir;
    const auto raw = dir / "square.gray";
    const std::string crop = "crop=" + std::to_string(size) + ":" + std::to_string(size) + ":" +
                             std::to_string(x) + ":" + std::to_string(y) + ",format=gray";
    if (!test::ffmpeg({"-i", movie.string(), "-map", "0:v", "-vf", crop, "-fps_mode", "passthrough",
                       "-enc_time_base", "-1", "-f", "rawvideo", raw.string()})) {
        return {};
    }
    const std::string bytes = test::readFile(raw);
    const std::size_t area = std::size_t(size) * std::size_t(size);
    std::vector<double> out;
    for (std::size_t at = 0; at + area <= bytes.size(); at += area) {
        double sum = 0;
        for (std::size_t i = at; i < at + area; ++i) sum += static_cast<unsigned char>(bytes[i]);
        out.push_back(sum / double(area));
    }
    return out;
}

TEST(ScreenRecording, FiveSecondsOfTheDesktopWithItsSoundInStep) {
    // The flashing square, clear of the pointer and of other tests' windows.
    constexpr int kX = 1500, kY = 100, kSize = 200;
    test::Child square(
        {MARLUNE_FLASH_CLICK, std::to_string(kX), std::to_string(kY), std::to_string(kSize)}, true);
    ASSERT_EQ(square.readLine(20s), "ready") << "flash_click did not start";
    auto ask = [&](const std::string& command) {
        return square.writeLine(command) ? square.readLine(10s) : std::nullopt;
    };

    auto content = ShareableContent::current();
    ASSERT_TRUE(content) << content.error().message;
    ASSERT_FALSE(content->displays.empty());
    RecordingOptions options;
    options.sourceKind = "display";
    options.sourceID = content->displays.front().displayID;
    options.fps = 30;
    options.mic = true;
    options.systemAudio = true;
    options.showCursor = true;
    auto plan = makePlan(*content, options);
    ASSERT_TRUE(plan) << plan.error().message;
    ASSERT_EQ(std::tuple(plan->width, plan->height, plan->fps), std::tuple(1920, 1080, 30));
    ASSERT_TRUE(plan->configuration.capturesAudio);

    test::TempDir dir;
    const auto movie = dir / "Marlune 2026-01-01 at 10.00.00.mp4";
    AssetWriterCoordinator writer;
    ASSERT_TRUE(writer.prepare(movie, plan->width, plan->height, plan->fps, options.mic,
                               options.systemAudio));
    auto pipe = std::make_shared<ToWriter>(writer, 5 * test::kSecond);
    MicCaptureEngine mic;
    mic.setOnSampleBuffer([pipe](AudioBuffer b) { pipe->micBuffer(std::move(b)); });
    ASSERT_TRUE(mic.start());
    ScreenCaptureEngine engine;
    engine.delegate = pipe;
    std::promise<std::optional<Error>> started;
    engine.start(plan->filter, plan->configuration,
                 [&](std::optional<Error> e) { started.set_value(std::move(e)); });
    auto startedFuture = started.get_future();
    ASSERT_EQ(startedFuture.wait_for(20s), std::future_status::ready);
    ASSERT_EQ(startedFuture.get(), std::nullopt);
    const auto first = pipe->waitForFirst(20s);
    ASSERT_TRUE(first) << "no frame came";

    // Four flashes, each with its click: a busy machine may leave some of them unjudged (below).
    struct Flash {
        HostTime at;
        std::optional<HostTime> shown;  // when the server had drawn it
    };
    std::vector<Flash> flashes;
    for (double second : {1.6, 2.5, 3.4, 4.3}) {
        const HostTime at = *first + HostTime(second * 1e9);
        std::this_thread::sleep_until(
            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(at - 300'000'000)));
        auto answer = ask("flash " + std::to_string(at));
        Flash flash{at, std::nullopt};
        if (answer && answer->rfind("flashed ", 0) == 0)
            flash.shown = std::stoll(answer->substr(8));
        flashes.push_back(flash);
        std::this_thread::sleep_for(300ms);
        ASSERT_EQ(ask("dark"), "ok");
    }
    ASSERT_TRUE(pipe->waitForEnd(60s)) << "the stream ended early";

    std::promise<void> stopped;
    engine.stop([&] { stopped.set_value(); });
    ASSERT_EQ(stopped.get_future().wait_for(20s), std::future_status::ready);
    mic.stop();
    std::promise<Result<SavedInfo>> saved;
    writer.finish([&](Result<SavedInfo> r) { saved.set_value(std::move(r)); });
    auto savedFuture = saved.get_future();
    ASSERT_EQ(savedFuture.wait_for(30s), std::future_status::ready);
    auto info = savedFuture.get();
    ASSERT_TRUE(info) << info.error().message;
    const CaptureStatistics stats = engine.statistics();
    const WriterCounters counters = writer.counters();
    SCOPED_TRACE(testing::Message()
                 << stats.framesDelivered << " frames delivered, " << stats.framesLate << " late, "
                 << stats.framesDropped << " dropped by the stream, " << counters.framesDropped
                 << " by the writer");

    // The movie: the display's size, picture and both sound tracks, the microphone's first.
    auto streams = test::probeStreams(movie);
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(std::pair(streams[0].width, streams[0].height), std::pair(1920, 1080));
    EXPECT_TRUE(test::decodesCleanly(movie));

    // Five seconds, up to the end of the last frame handed on (placed on the movie's frame
    // grid, so within a frame of when it was taken), with sound all along.
    const double span = hostTimeSeconds(pipe->span());
    EXPECT_GE(span, 5.0);
    EXPECT_NEAR(info->durationMs / 1000.0, span, 1.0 / 30);
    auto duration = test::probeDuration(movie);
    ASSERT_TRUE(duration);
    EXPECT_NEAR(*duration, info->durationMs / 1000.0 + 1.0 / 30, 0.005);
    const auto micTrack = test::decodeAudio(movie, 0);
    const auto systemTrack = test::decodeAudio(movie, 1);
    EXPECT_NEAR(micTrack.size() / 48000.0, *duration, 0.05);
    EXPECT_NEAR(systemTrack.size() / 48000.0, *duration, 0.05);

    // 30 frames a second: a busy machine skips frames, but every picture sits on its own
    // thirtieth of a second.
    auto packets = test::probeVideoPackets(movie);
    ASSERT_EQ(packets.size(), counters.framesWritten);
    ASSERT_GT(packets.size(), 30u);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const double frame = packets[i].time * 30;
        EXPECT_NEAR(frame, std::round(frame), 0.01) << "picture " << i;
        if (i > 0) {
            EXPECT_GT(packets[i].time, packets[i - 1].time) << "picture " << i;
        }
    }

    // Each flash shows from the first frame taken after it, and its click sounds within 45 ms of
    // that frame. A flash is judged where the busy machine let the test make it on time and
    // kept every frame slot and the sound's run around it.
    const auto levels = brightness(movie, kX + kSize / 2 - 8, kY + kSize / 2 - 8, 16);
    ASSERT_EQ(levels.size(), packets.size());
    const double firstSeconds = hostTimeSeconds(*first);
    ASSERT_TRUE(writer.firstVideoPTSSeconds());
    EXPECT_NEAR(*writer.firstVideoPTSSeconds(), firstSeconds, 1e-6);
    int judged = 0;
    for (const Flash& flash : flashes) {
        if (!flash.shown || *flash.shown - flash.at > 5'000'000) continue;
        if (!pipe->soundUnbroken(flash.at - 300'000'000, flash.at + 100'000'000)) continue;
        const double at = hostTimeSeconds(flash.at) - firstSeconds;
        SCOPED_TRACE(testing::Message() << "flash at " << at << " s");
        // The first frame showing it. (A frame is timed halfway through its taking, which a busy
        // server may stretch: that frame may be timed a little before the flash.)
        auto bright = std::find_if(packets.begin(), packets.end(), [&](const auto& p) {
            return p.time > at - 0.1 && levels[std::size_t(&p - packets.data())] > 128;
        });
        const bool framesAfter = std::any_of(packets.begin(), packets.end(), [&](const auto& p) {
            return p.time > at + 0.01 && p.time < at + 0.3;
        });
        if (!framesAfter) continue;  // the busy machine took no picture while it shone
        ASSERT_TRUE(bright != packets.end() && bright->time < at + 0.3)
            << "the flash is not in the movie";
        ASSERT_NE(bright, packets.begin());
        EXPECT_LT(levels[std::size_t(bright - packets.begin()) - 1], 64.0) << "dark before";
        if (bright->time - std::prev(bright)->time > 1.5 / 30) continue;  // slots were skipped
        ++judged;
        const double click = [&] {
            const std::size_t from = std::size_t((at - 0.1) * 48000);
            for (std::size_t i = from; i < systemTrack.size() && i < from + 48000; ++i) {
                if (std::fabs(systemTrack[i]) > 0.6f) return double(i) / 48000;
            }
            return -1.0;
        }();
        ASSERT_GE(click, 0.0) << "the click is not in the system audio";
        const double picture = bright->time;
        EXPECT_LE(std::fabs(picture - click), 0.045)
            << "picture at " << picture << " s, click at " << click << " s";
    }
    EXPECT_GT(judged, 0) << "no flash could be placed to a frame";
}

}  // namespace
}  // namespace marlune
