// PulseAudio capture against the test desktop's sound server: a null speaker "spk" (the default
// sink) and a "mic" source fed by whatever plays into "micsink".

#include <glib.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
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

// Each device: what plays into it is recorded on the host clock; once stopped nothing more is
// delivered, and a restart starts with fresh times.
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

TEST(AudioCapture, DeviceGoingAwayEndsTheStreamOnce) {
    auto module = test::toolOutput({"pactl", "load-module", "module-null-sink", "sink_name=gone"});
    ASSERT_TRUE(module.has_value());
    ASSERT_TRUE(test::runTool({"pactl", "set-default-sink", "gone"}));
    auto queue = Queue::makeSerial(".capture.audio");
    Collected got;
    auto capture =
        AudioCapture::open(AudioSource::systemAudio, queue, got.handler(), got.endHandler());
    ASSERT_TRUE(test::runTool({"pactl", "set-default-sink", "spk"}));
    ASSERT_TRUE(capture.has_value()) << capture.error().message;
    EXPECT_EQ((*capture)->deviceName(), "gone.monitor");
    ASSERT_TRUE((*capture)->start().has_value());
    ASSERT_TRUE(test::runTool({"pactl", "unload-module", std::to_string(std::stoi(*module))}));

    ASSERT_TRUE(got.waitForEnd(10s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(got.ends(), 1);
    EXPECT_FALSE((*capture)->isRunning());
    EXPECT_FALSE((*capture)->start().has_value());
}

TEST(AudioCapture, DestroyingFromTheDeliveryQueueWhileBuffersFlow) {
    // The owner may let the capture go on the queue that receives its buffers, mid-stream.
    auto queue = Queue::makeSerial(".mic");
    std::unique_ptr<AudioCapture> capture;
    std::mutex m;
    std::condition_variable cv;
    int after = 0;
    bool gone = false;
    auto opened = AudioCapture::open(AudioSource::microphone, queue, [&](AudioBuffer) {
        std::lock_guard lock(m);
        if (gone) ++after;
        if (capture && !gone) {
            capture.reset();
            gone = true;
            cv.notify_all();
        }
    });
    ASSERT_TRUE(opened.has_value());
    {
        std::lock_guard lock(m);
        capture = std::move(*opened);
        ASSERT_TRUE(capture->start().has_value());
    }
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return gone; }));
    lock.unlock();
    std::this_thread::sleep_for(200ms);
    lock.lock();
    EXPECT_EQ(after, 0);
}

TEST(MicCaptureEngine, ReusesOneStreamAndFailsWithoutAnInputDevice) {
    MicCaptureEngine mic;
    Collected got;
    ASSERT_TRUE(mic.start());  // without a receiver, buffers are dropped
    mic.setOnSampleBuffer(got.handler());
    ASSERT_TRUE(mic.start()) << "a second start while running";
    {
        TonePlayer tone("micsink", 600, 2.0);
        ASSERT_TRUE(got.waitForLoudSeconds(0.3, 10s));
    }
    mic.stop();
    ASSERT_TRUE(mic.start());
    ASSERT_TRUE(got.waitForFrames(4800, 10s));
    // Only one stream was ever opened by this process.
    auto clients = test::toolOutput({"pactl", "list", "short", "source-outputs"});
    ASSERT_TRUE(clients);
    std::size_t ours = 0;
    for (auto at = clients->find("protocol-native"); at != std::string::npos;
         at = clients->find("protocol-native", at + 1)) {
        ++ours;
    }
    EXPECT_EQ(ours, 1u) << *clients;
    mic.stop();

    // A new engine (the one above keeps its session) without an input device.
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
