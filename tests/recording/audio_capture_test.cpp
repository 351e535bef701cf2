// PulseAudio capture against the test desktop's "spk" speaker and the "mic" fed by "micsink".

#include <glib.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/media_sample.h"
#include "core/queue.h"
#include "platform/desktop/pulse_capture.h"
#include "recording/mic_capture_engine.h"
#include "support/audio_fixture.h"
#include "support/ffmpeg_tool.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using pulse::AudioCapture;
using pulse::AudioSource;
using test::Collected;
using test::TonePlayer;

// Sound on the host clock from each device; nothing once stopped; fresh times after a restart.
TEST(AudioCapture, RecordsWhatPlaysIntoTheChosenDeviceAndRestartsWithFreshTimes) {
    struct Case {
        AudioSource source;
        const char* device;    // expected device name
        const char* playInto;  // where the tone is played
    };
    const Case cases[] = {
        {AudioSource::microphone, "mic", "micsink"},
        {AudioSource::systemAudio, "spk.monitor", "spk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        auto queue = Queue::makeSerial(".capture.audio");
        Collected got;
        auto capture = AudioCapture::open(c.source, queue, got.handler());
        ASSERT_TRUE(capture.has_value()) << capture.error().message;
        EXPECT_EQ((*capture)->deviceName(), c.device);
        EXPECT_FALSE((*capture)->isRunning());
        ASSERT_TRUE((*capture)->start().has_value());
        ASSERT_TRUE((*capture)->start().has_value()) << "a second start is harmless";
        TonePlayer tone(c.playInto, 1000, 3.0);
        ASSERT_TRUE(got.waitForLoudSeconds(0.5, 10s)) << "no tone heard";
        (*capture)->stop();
        (*capture)->stop();
        EXPECT_FALSE((*capture)->isRunning());
        const HostTime stoppedAt = hostTimeNow();

        auto buffers = got.take();
        ASSERT_FALSE(buffers.empty());
        HostTime firstPts = buffers.front().pts;
        HostTime lastEnd = 0;
        HostTime holes = 0;
        int smallBreaks = 0;
        std::string gaps;
        for (const auto& b : buffers) {
            EXPECT_EQ(b.sampleRate, 48000);
            EXPECT_EQ(b.channels, 2);
            ASSERT_GT(b.frames(), 0);
            if (lastEnd != 0) {
                const HostTime gap = b.pts - lastEnd;
                EXPECT_GT(gap, -1'000'000) << "buffers overlap";
                if (std::llabs(gap) > 1'000'000) gaps += std::to_string(gap / 1000) + "us ";
                // A break below latency jitter means the capture followed the noise instead of
                // counting samples; a device behind real time leaves real holes (≥ 15 ms).
                if (gap > 1'000'000 && gap < 15'000'000) ++smallBreaks;
                if (gap >= 15'000'000) holes += gap;
            }
            lastEnd = b.pts + static_cast<HostTime>(b.frames()) * 1'000'000'000 / 48000;
        }
        EXPECT_LE(smallBreaks, static_cast<int>(buffers.size()) / 10) << gaps;
        // However loaded the machine, most of the time is covered by sound.
        EXPECT_LT(holes, (lastEnd - firstPts) / 2) << gaps;
        // The tone reaches both channels (a mono source is spread to stereo).
        EXPECT_GT(test::rms(buffers, 0), 0.05);
        EXPECT_GT(test::rms(buffers, 1), 0.05);
        // Times are on the host clock: the last buffer was recorded shortly before now.
        EXPECT_LT(std::llabs(hostTimeNow() - lastEnd), 2'000'000'000);

        // Anything posted before the stop has drained from the queue by now: it was discarded.
        std::this_thread::sleep_for(300ms);
        std::promise<void> drained;
        queue->post([&] { drained.set_value(); });
        ASSERT_EQ(drained.get_future().wait_for(5s), std::future_status::ready);
        EXPECT_TRUE(got.take().empty()) << "buffers arrived while stopped";
        // Sound from the stopped stretch is never delivered: the new run starts after the stop.
        ASSERT_TRUE((*capture)->start().has_value());
        ASSERT_TRUE(got.waitForFrames(48000 / 4, 10s));
        EXPECT_GT(got.take().front().pts, stoppedAt);
        (*capture)->stop();
    }
}

// The microphone's only refusal the page shows; once a microphone is back, the next start finds it.
TEST(MicCaptureEngine, FailsWithoutAnInputDeviceUntilThereIsOne) {
    MicCaptureEngine none;
    ASSERT_TRUE(test::runTool({"pactl", "set-default-source", "spk.monitor"}));
    auto started = none.start();
    ASSERT_TRUE(test::runTool({"pactl", "set-default-source", "mic"}));
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().message, "No microphone available.");
    EXPECT_FALSE(none.isRunning());
    auto again = none.start();  // once there is one again, the next start finds it
    EXPECT_TRUE(again) << again.error().message;
    none.stop();
}

}  // namespace
}  // namespace marlune
