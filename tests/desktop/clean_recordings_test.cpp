// Display recordings without our own windows as black shapes, and with the system audio at once.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

#include "desktop/recording_checks.h"
#include "recording/movie_probe.h"
#include "support/audio_fixture.h"
#include "support/recording_session.h"
#include "support/temp_dir.h"
#include "support/test_window.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Session;

constexpr double kToneHz = 1000;

// The tone's amplitude in `n` samples from `from` (a single-bin Fourier sum).
double toneAmplitude(const std::vector<float>& s, std::size_t from, std::size_t n) {
    double re = 0, im = 0;
    for (std::size_t i = 0; i < n && from + i < s.size(); ++i) {
        const double phase = 2 * std::numbers::pi * kToneHz * double(from + i) / 48000.0;
        re += s[from + i] * std::cos(phase);
        im += s[from + i] * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / double(n);
}

// The tone's mean amplitude over blocks of 10 ms (ten whole periods) in `n` samples from
// `from`: silence and broken sound count by their length, while a step of the tone's phase (a
// sample of the device clock more or less) does not.
double toneLevel(const std::vector<float>& s, std::size_t from, std::size_t n) {
    constexpr std::size_t kBlock = 480;
    double sum = 0;
    for (std::size_t at = from; at < from + n; at += kBlock) sum += toneAmplitude(s, at, kBlock);
    return sum / double(n / kBlock);
}

// Pixels in the rectangle that are nearly black.
int blackPixels(const std::string& rgb, int width, int x0, int y0, int x1, int y1) {
    int count = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const std::size_t at = (std::size_t(y) * width + x) * 3;
            if (at + 2 >= rgb.size()) return -1;
            const auto c = [&](int i) { return static_cast<unsigned char>(rgb[at + i]); };
            count += std::max({c(0), c(1), c(2)}) < 40;
        }
    }
    return count;
}

// Twice in a row: the bubble is not in the picture, and the system audio's tone is there at once.
TEST(CleanRecordings, DisplayRecordingsShowWhatLiesBeneathOurWindowsAndHearTheToneAtOnce) {
    test::TestWindow backdrop(
        {.title = "Backdrop", .width = 1920, .height = 1080, .x = 0, .y = 0, .color = "#3080e0"});
    ASSERT_NE(backdrop.id(), 0u);
    test::TonePlayer tone("spk", kToneHz, 120.0, 0.5f);
    test::TempDir home;
    Session s(home.path(), test::kTestCamera);
    const std::uint32_t display = test::displayID(s);
    ASSERT_NE(display, 0u);
    ASSERT_TRUE(s.request("ready", "app.ready"));
    const Json payload = test::displayStart(display, {{"systemAudio", true}, {"webcam", true}});

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("recording " + std::to_string(run + 1));
        const std::string n = std::to_string(run);
        auto started = s.request("start" + n, "recording.start", payload);
        ASSERT_EQ(started.value_or(Json())["ok"], true) << started.value_or(Json()).dump();
        s.pumpFor(2500ms);
        s.send("stop" + n, "recording.stop");
        auto stopped = s.reply("stop" + n, 60s);
        ASSERT_TRUE(stopped && stopped->line.value["ok"].get<bool>());
        const fs::path movie =
            s.folder() / stopped->line.value["result"]["name"].get<std::string>();

        // Below the backdrop's title bar, the bubble's bottom-right corner included, only the
        // backdrop shows (the bubble's square was 48,400 black pixels; a stray dark pixel of the
        // encoding is no box).
        for (double t : {0.0, 2.0}) {
            const std::string rgb = test::rgbFrame(movie, t);
            ASSERT_EQ(rgb.size(), std::size_t(1920) * 1080 * 3);
            EXPECT_LT(blackPixels(rgb, 1920, 0, 100, 1920, 1080), 50) << "at " << t << " s";
        }

        // The tone whole from the first tenth of a second on (it used to start after a third of
        // a second or more of silence, then come broken).
        const std::vector<float> sound = test::decodeAudio(movie, 0);
        ASSERT_GT(sound.size(), std::size_t(48000 * 2));
        const double steady = toneLevel(sound, 48000, 48000);
        ASSERT_GT(steady, 0.02) << "the tone is in the track";
        for (int tenth = 0; tenth < 20; ++tenth) {
            EXPECT_GE(toneLevel(sound, std::size_t(tenth) * 4800, 4800) / steady, 0.9)
                << "tenth " << tenth;
        }
    }
    EXPECT_EQ(s.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
