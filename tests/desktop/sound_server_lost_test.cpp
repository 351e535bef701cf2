// The sound server lost while recording: the page is told and the movie goes on whole.

#include <gtest/gtest.h>

#include "desktop/recording_checks.h"
#include "recording/movie_probe.h"
#include "support/child_process.h"
#include "support/main_loop.h"
#include "support/recording_session.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(SoundServerLost, ThePageIsToldAndThePictureGoesOnInAMovieReadAtItsRate) {
    test::TempDir home;
    // A sound server of the test's own (the shared one serves the other tests), with a speaker
    // and a microphone, off every bus (where the shared server holds the sound server's name).
    const fs::path dir = home / "pulse";
    const std::string server = "unix:" + (dir / "pulse.sock").string();
    test::Child sound({"sh", "-c",
                       "mkdir -p \"$0\" && exec env -u DISPLAY DBUS_SESSION_BUS_ADDRESS=disabled: "
                       "XDG_RUNTIME_DIR=\"$0\" pulseaudio --daemonize=no --exit-idle-time=-1 "
                       "--use-pid-file=no -n --load=\"module-native-protocol-unix auth-anonymous=1 "
                       "socket=$0/pulse.sock\" --load=\"module-null-sink sink_name=spk rate=48000 "
                       "channels=2 norewinds=1\" --load=\"module-null-sink sink_name=micsink "
                       "rate=48000 channels=1 norewinds=1\" --load=\"module-remap-source "
                       "source_name=mic master=micsink.monitor\"",
                       dir.string()});
    ASSERT_TRUE(test::runMainUntil(
        [&] {
            return test::runTool({"pactl", "-s", server, "set-default-source", "mic"});
        },
        20s))
        << "the private sound server did not start";
    test::Session s(home.path(), {{"PULSE_SERVER", server}});
    ASSERT_TRUE(s.request("ready", "app.ready"));
    const std::uint32_t display = test::displayID(s);
    ASSERT_NE(display, 0u);
    auto started = s.request("start", "recording.start",
                             test::displayStart(display, {{"mic", true}, {"systemAudio", true}}));
    ASSERT_EQ(started.value_or(Json())["ok"], true) << started.value_or(Json()).dump();
    s.pumpFor(1500ms);
    sound.killNow();

    // One notice for each sound input, and the recording goes on.
    std::vector<std::string> notices;
    ASSERT_TRUE(s.pumpUntil([&] {
        notices.clear();
        for (const auto& e : s.events) {
            if (e.name() == "notice") notices.push_back(e.data()["message"]);
        }
        return notices.size() == 2;
    }));
    std::ranges::sort(notices);
    EXPECT_TRUE(notices[0].starts_with("The microphone stopped while recording: ")) << notices[0];
    EXPECT_TRUE(notices[1].starts_with("The system audio stopped while recording: ")) << notices[1];
    for (const auto& n : notices) EXPECT_TRUE(n.ends_with(". The recording goes on without it."));
    EXPECT_EQ(s.phases().back(), "recording");
    s.pumpFor(1500ms);
    auto stopped = s.request("stop", "recording.stop");
    ASSERT_TRUE(stopped && (*stopped)["ok"].get<bool>());
    const auto saved = s.event("saved");
    ASSERT_TRUE(saved);
    const fs::path movie = s.folder() / s.events[*saved].data()["name"].get<std::string>();

    // Pictures to the end, both sound tracks (silent after the loss) as long, and a reader at
    // 30 frames per second meets no two pictures at one time.
    const auto duration = test::probeDuration(movie);
    ASSERT_TRUE(duration);
    EXPECT_GT(*duration, 2.5);
    EXPECT_EQ(test::probeStreams(movie).size(), 3u);
    const auto complaints = test::toolOutput(
        {"sh", "-c", "ffmpeg -nostdin -v warning -i \"$0\" -f null - 2>&1", movie.string()});
    ASSERT_TRUE(complaints);
    EXPECT_EQ(*complaints, "");
    EXPECT_EQ(s.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
