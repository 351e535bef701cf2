// The webcam movie's small copy: written beside it from a large camera, half its size and as
// long; an earlier recording's copy of the name never stays.

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
    // The same name again with a small camera: the first recording's copy must go.
    for (const char* size : {"1280x720", "640x360"}) {
        SCOPED_TRACE(size);
        const bool copied = size == std::string("1280x720");
        const std::string camera =
            "testsrc2=size=" + std::string(size) + ":rate=30,format=yuyv422,realtime";
        setenv("MARLUNE_WEBCAM_INPUT_FORMAT", "lavfi", 1);
        setenv("MARLUNE_WEBCAM_DEVICE", camera.c_str(), 1);
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
        if (!copied) {
            EXPECT_FALSE(std::filesystem::exists(copy));
            continue;
        }
        ASSERT_TRUE(test::runMainUntil(
            [&] { return liveMovieState(copy) == LiveMovieState::notLive; }, 30s));
        EXPECT_EQ(test::probeStreams(copy).at(0).width, 640);
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
