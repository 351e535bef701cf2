#include "recording/mic_capture_engine.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "support/audio_fixture.h"
#include "support/ffmpeg_tool.h"

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

}  // namespace
}  // namespace marlune
