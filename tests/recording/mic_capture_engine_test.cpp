#include "recording/mic_capture_engine.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "movie_probe.h"
#include "recording/asset_writer_coordinator.h"
#include "support/audio_fixture.h"
#include "support/ffmpeg_tool.h"
#include "support/synthetic_media.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

TEST(MicCaptureEngine, DeliversTheDefaultInputToTheReceiverAndReusesItsSession) {
    MicCaptureEngine mic;
    test::Collected got;
    // Without a receiver, buffers are dropped.
    ASSERT_TRUE(mic.start());
    std::this_thread::sleep_for(200ms);
    mic.setOnSampleBuffer(got.handler());
    ASSERT_TRUE(mic.start()) << "a second start while running";
    EXPECT_TRUE(mic.isRunning());
    {
        test::TonePlayer tone("micsink", 600, 2.0);
        ASSERT_TRUE(got.waitForLoudSeconds(0.3, 10s));
    }
    mic.stop();
    EXPECT_FALSE(mic.isRunning());
    got.take();
    // The same session starts again; buffers are 48 kHz stereo on the host clock.
    ASSERT_TRUE(mic.start());
    ASSERT_TRUE(got.waitForFrames(4800, 10s));
    mic.stop();
    auto buffers = got.take();
    ASSERT_FALSE(buffers.empty());
    EXPECT_EQ(buffers.front().sampleRate, 48000);
    EXPECT_EQ(buffers.front().channels, 2);
    EXPECT_LT(std::llabs(hostTimeNow() - buffers.back().pts), 2 * test::kSecond);
    // Only one stream was ever opened by this process.
    auto clients = test::toolOutput({"pactl", "list", "short", "source-outputs"});
    ASSERT_TRUE(clients);
    std::size_t ours = 0;
    for (auto at = clients->find("protocol-native"); at != std::string::npos;
         at = clients->find("protocol-native", at + 1)) {
        ++ours;
    }
    EXPECT_EQ(ours, 1u) << *clients;
}

TEST(MicCaptureEngine, WithoutAnInputDeviceStartFails) {
    ASSERT_TRUE(test::runTool({"pactl", "set-default-source", "spk.monitor"}));
    MicCaptureEngine mic;
    auto started = mic.start();
    ASSERT_TRUE(test::runTool({"pactl", "set-default-source", "mic"}));
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().message, "No microphone available.");
    EXPECT_FALSE(mic.isRunning());
    // Once there is one again, the next start finds it.
    auto again = mic.start();
    EXPECT_TRUE(again) << again.error().message;
    mic.stop();
}

// The road the recording takes: microphone → writer, through the writer's non-blocking append.
TEST(MicCaptureEngine, FeedsTheWriterTheToneItHears) {
    test::TempDir dir;
    auto movie = dir / "mic.mp4";
    auto writer = std::make_shared<AssetWriterCoordinator>();
    ASSERT_TRUE(writer->prepare(movie, 320, 240, 30, true, false));
    MicCaptureEngine mic;
    std::weak_ptr<AssetWriterCoordinator> weak = writer;
    mic.setOnSampleBuffer([weak](AudioBuffer b) {
        if (auto w = weak.lock()) w->appendMic(std::move(b));
    });
    ASSERT_TRUE(mic.start());
    test::TonePlayer tone("micsink", 440, 6.0);
    // The player takes a moment to begin; sound before the first picture is not recorded.
    std::this_thread::sleep_for(1500ms);
    const HostTime start = hostTimeNow();
    for (int i = 0; i < 90; ++i) {
        const HostTime due = start + i * test::kSecond / 30;
        while (hostTimeNow() < due) std::this_thread::sleep_for(1ms);
        writer->appendVideo(test::syntheticFrame(320, 240, i, due));
    }
    mic.stop();
    std::mutex m;
    std::condition_variable cv;
    std::optional<Result<SavedInfo>> saved;
    writer->finish([&](Result<SavedInfo> r) {
        std::lock_guard lock(m);
        saved = std::move(r);
        cv.notify_all();
    });
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 30s, [&] { return saved.has_value(); }));
    ASSERT_TRUE(*saved) << saved->error().message;
    auto samples = test::decodeAudio(movie, 0);
    // The sound runs with the pictures (the last shown for a frame), the tone through most of it.
    const double seconds = (*saved)->durationMs / 1000.0 + 1.0 / 30;
    EXPECT_NEAR(static_cast<double>(samples.size()) / 48000.0, seconds, 0.05);
    // (A sine of amplitude 0.5 is above 0.2 for 74 % of its samples.)
    std::size_t loud = 0;
    for (float v : samples) loud += std::fabs(v) > 0.2f ? 1 : 0;
    EXPECT_GT(static_cast<double>(loud) / 48000.0, seconds * 0.74 * 0.6);
}

}  // namespace
}  // namespace marlune
