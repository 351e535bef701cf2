#include "recording/webcam_bubble_controller.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/media/live_movie.h"
#include "platform/media/webcam_proxy.h"
#include "recording/desktop_support.h"
#include "recording/movie_probe.h"
#include "support/ffmpeg_tool.h"
#include "support/main_loop.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

// What a shell command printed.
std::string output(const std::string& command) {
    return test::toolOutput({"sh", "-c", command}).value_or("");
}

// Where the window manager put an X window, as another program sees it.
std::optional<BubbleRect> windowGeometry(std::uint32_t id) {
    std::string text = output("xdotool getwindowgeometry " + std::to_string(id) + " 2>/dev/null");
    BubbleRect r;
    auto at = text.find("Position: ");
    auto size = text.find("Geometry: ");
    if (at == std::string::npos || size == std::string::npos) return std::nullopt;
    if (std::sscanf(text.c_str() + at, "Position: %d,%d", &r.x, &r.y) != 2) return std::nullopt;
    if (std::sscanf(text.c_str() + size, "Geometry: %dx%d", &r.width, &r.height) != 2)
        return std::nullopt;
    return r;
}

int cameraThreads() {
    int n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        n += name == "marlune-camera";
    }
    return n;
}

void useCamera(const char* format, const char* device) {
    setenv("MARLUNE_WEBCAM_INPUT_FORMAT", format, 1);
    setenv("MARLUNE_WEBCAM_DEVICE", device, 1);
}

struct Stopped {
    bool called = false;
    std::shared_ptr<AssetWriterCoordinator> writer;
    bool finished = false;
    WebcamBubbleController::StopCompletion completion() {
        return [this](std::shared_ptr<AssetWriterCoordinator> w, bool f) {
            called = true;
            writer = std::move(w);
            finished = f;
        };
    }
};

constexpr const char* kCamera720p = "testsrc2=size=1280x720:rate=30,format=yuyv422,realtime";
constexpr const char* kCamera360p = "testsrc2=size=640x360:rate=30,format=yuyv422,realtime";

// The bubble placed in a work area, recording its own movie without the pause, and its small copy.
TEST(WebcamBubbleOnTheDesktop, SitsInItsCornerAndRecordsItsOwnMovieOnTheHostClockWithoutThePause) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under scripts/with-desktop";
    useCamera("lavfi", kCamera720p);
    test::ScriptWindow panels(
        test::recordingData("panel.py"));  // bars along the top (40) and the left (60)
    ASSERT_TRUE(panels.ready());
    ASSERT_EQ(panels.info["workarea"], Json::parse("[60, 40, 1860, 1040]"));
    struct Case {
        const char* corner;
        const char* size;
        const char* shape;
        BubbleRect frame;
    } cases[] = {
        {"tl", "s", "circle", {84, 64, 160, 160}},
        {"middle", "xl", "hexagon", {1676, 836, 220, 220}},  // unknown: bottom right, middle size
        {"bl", "l", "wide", {84, 887, 300, 169}},
    };
    WebcamBubbleController bubble;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.corner) + " " + c.size + " " + c.shape);
        bubble.show(c.corner, c.size, true, c.shape, 1.0);
        ASSERT_TRUE(bubble.isVisible());
        EXPECT_EQ(bubble.layout().frame, c.frame);
        EXPECT_TRUE(
            test::runMainUntil([&] { return windowGeometry(bubble.windowID()) == c.frame; }, 5s))
            << "at " << output("xdotool getwindowgeometry " + std::to_string(bubble.windowID()));
    }
    test::TempDir dir;
    const auto webcamMovie = dir / "Marlune test.webcam.mp4";
    const HostTime started = hostTimeNow();
    bubble.startRecording(webcamMovie);
    ASSERT_TRUE(test::runMainUntil([&] { return bubble.recordingWriter() != nullptr; }, 10s));
    const HostTime webcamSeen = hostTimeNow();
    EXPECT_TRUE(bubble.isVisible()) << "recording leaves the bubble up";
    test::runMainFor(1500ms);
    const HostTime pausedAt = hostTimeNow();
    bubble.pauseRecording();
    test::runMainFor(1s);
    const HostTime resumedAt = hostTimeNow();
    bubble.resumeRecording();
    test::runMainFor(1500ms);
    Stopped stopped;
    bubble.stopRecording(stopped.completion());
    const HostTime stoppedAt = hostTimeNow();
    ASSERT_TRUE(test::runMainUntil([&] { return stopped.called; }, 30s));
    ASSERT_TRUE(stopped.finished);
    ASSERT_TRUE(stopped.writer);
    EXPECT_EQ(bubble.recordingWriter(), nullptr);

    // The movie starts at its first picture's host time, as the screen movie does.
    auto webcamFirst = stopped.writer->firstVideoPTSSeconds();
    ASSERT_TRUE(webcamFirst);
    EXPECT_GE(*webcamFirst, hostTimeSeconds(started));
    EXPECT_LE(*webcamFirst, hostTimeSeconds(webcamSeen));

    // Video only, 1280 × 720, 8 Mbit/s; the pause cut out.
    auto streams = test::probeStreams(webcamMovie);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].codec, "h264");
    EXPECT_EQ(std::pair(streams[0].width, streams[0].height), std::pair(1280, 720));
    const std::string settings = test::x264Settings(webcamMovie);
    EXPECT_NE(settings.find("bitrate=8000 "), std::string::npos) << settings;
    const double recorded = hostTimeSeconds(stoppedAt - started - (resumedAt - pausedAt));
    auto duration = test::probeDuration(webcamMovie);
    ASSERT_TRUE(duration);
    EXPECT_NEAR(*duration, recorded, 0.5);

    // Never more than the camera's 30 a second (how many a loaded machine gets is bench/'s).
    auto packets = test::probeVideoPackets(webcamMovie);
    ASSERT_GE(packets.size(), std::size_t(*duration * 5));
    for (std::size_t i = 0, j = 0; i < packets.size(); ++i) {
        while (packets[i].time - packets[j].time >= 1.0) ++j;
        EXPECT_LE(i - j + 1, 31u) << "at " << packets[i].time;
    }
    EXPECT_TRUE(packets.front().key);
    EXPECT_TRUE(test::decodesCleanly(webcamMovie));

    // A large camera's movie gets a small copy beside it, half its size and as long.
    const auto copy = webcamProxyPath(webcamMovie);
    ASSERT_TRUE(
        test::runMainUntil([&] { return liveMovieState(copy) == LiveMovieState::notLive; }, 30s));
    EXPECT_EQ(test::probeStreams(copy).at(0).width, 640);
    EXPECT_NEAR(test::probeDuration(copy).value_or(0), *duration, 0.2);
    // What an export of the default webcam box on a 1080p recording would read.
    EXPECT_TRUE(usableWebcamProxy(webcamMovie, 1280, 720, duration, 584));

    bubble.hide();
    EXPECT_FALSE(bubble.isVisible());
    EXPECT_EQ(bubble.windowID(), 0u);
    EXPECT_TRUE(test::runMainUntil([] { return cameraThreads() == 0; }, 5s))
        << "hiding stops the camera";

    // The same name again from a small camera: the earlier recording's copy must not stay.
    useCamera("lavfi", kCamera360p);
    WebcamBubbleController small;
    small.show("br", "m", true, "circle", 1.0);
    small.startRecording(webcamMovie);
    ASSERT_TRUE(test::runMainUntil([&] { return small.recordingWriter() != nullptr; }, 10s));
    test::runMainFor(1s);
    Stopped again;
    small.stopRecording(again.completion());
    ASSERT_TRUE(test::runMainUntil([&] { return again.called; }, 30s));
    EXPECT_TRUE(again.finished);
    EXPECT_FALSE(std::filesystem::exists(copy));
    small.hide();

    // Stopped before the first picture, at once or for want of a camera: no movie.
    for (bool camera : {true, false}) {
        SCOPED_TRACE(camera ? "stopped at once" : "no camera");
        useCamera(camera ? "lavfi" : "v4l2", camera ? kCamera720p : "/dev/marlune-no-such-camera");
        const auto movie = dir / "Marlune stopped.webcam.mp4";
        WebcamBubbleController early;
        early.show("tl", "s", true, "circle", 1.0);
        Stopped none;
        early.startRecording(movie);
        if (!camera) test::runMainFor(1s);  // the camera has been tried in the recording size
        early.stopRecording(none.completion());
        EXPECT_TRUE(test::runMainUntil([&] { return none.called; }, 10s));
        test::runMainFor(300ms);  // pictures still on their way are not recorded
        EXPECT_FALSE(none.finished);
        EXPECT_EQ(none.writer, nullptr);
        EXPECT_FALSE(std::filesystem::exists(movie));
        early.hide();
    }
}

}  // namespace
}  // namespace marlune
