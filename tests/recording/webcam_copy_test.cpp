// The webcam movie's small copy, written beside it while recording: half the size, as long as
// the movie (pause included), finished after the movie; and never left from an earlier
// recording of the same name when this one makes none.

#include <gtk/gtk.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/media/live_movie.h"
#include "platform/media/webcam_proxy.h"
#include "recording/movie_probe.h"
#include "recording/webcam_bubble_controller.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

TEST(WebcamCopy, IsWrittenBesideTheMovieOnlyWhenTheCameraIsLargeEnough) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under scripts/with-desktop";
    test::TempDir dir;
    const auto movie = dir / "Marlune test.webcam.mp4";
    const auto copy = webcamProxyPath(movie);
    struct Case {
        const char* camera;
        bool copied;
    };
    const Case cases[] = {
        {"testsrc2=size=1280x720:rate=30,format=yuyv422,realtime", true},
        // The same name again with a small camera: the first recording's copy must go.
        {"testsrc2=size=640x360:rate=30,format=yuyv422,realtime", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.camera);
        setenv("MARLUNE_WEBCAM_INPUT_FORMAT", "lavfi", 1);
        setenv("MARLUNE_WEBCAM_DEVICE", c.camera, 1);
        WebcamBubbleController bubble;
        bubble.show("br", "m", true, "circle", 1.0);
        ASSERT_TRUE(test::runMainUntil([&] { return bubble.picturesShown() >= 3; }, 10s));
        bubble.startRecording(movie);
        ASSERT_TRUE(test::runMainUntil([&] { return bubble.recordingWriter() != nullptr; }, 10s));
        test::runMainFor(1s);
        bubble.pauseRecording();
        test::runMainFor(500ms);
        bubble.resumeRecording();
        test::runMainFor(1s);
        bool stopped = false;
        bubble.stopRecording(
            [&](std::shared_ptr<AssetWriterCoordinator>, bool) { stopped = true; });
        ASSERT_TRUE(test::runMainUntil([&] { return stopped; }, 30s));
        bubble.hide();
        if (!c.copied) {
            EXPECT_FALSE(std::filesystem::exists(copy));
            continue;
        }
        ASSERT_TRUE(test::runMainUntil(
            [&] { return liveMovieState(copy) == LiveMovieState::notLive; }, 30s));
        auto streams = test::probeStreams(copy);
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(std::pair(streams[0].width, streams[0].height), std::pair(640, 360));
        auto seconds = test::probeDuration(movie);
        ASSERT_TRUE(seconds);
        EXPECT_NEAR(*test::probeDuration(copy), *seconds, 0.2);
        // What an export of the default webcam box on a 1080p recording would read.
        EXPECT_TRUE(usableWebcamProxy(movie, 1280, 720, seconds, 584));
    }
    unsetenv("MARLUNE_WEBCAM_INPUT_FORMAT");
    unsetenv("MARLUNE_WEBCAM_DEVICE");
}

}  // namespace
}  // namespace marlune
