// What the webcam costs: the bubble's live preview, and the preview with the webcam movie being
// recorded, as a share of one core, with a 1280 × 720 camera at 30 pictures a second. Needs a
// display (the test desktop has one); the camera is libavdevice's lavfi test picture unless
// MARLUNE_WEBCAM_INPUT_FORMAT / MARLUNE_WEBCAM_DEVICE name another:
//
//     scripts/with-desktop build/bench/bench_webcam [seconds per run, default 10]
//
// The test picture is drawn by the lavfi input itself, work a real camera does in its own
// hardware; that share is measured alone (pictures taken and thrown away) and taken off. The X
// server's share of drawing the bubble is not counted.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtk/gtk.h>

#include "platform/media/camera_input.h"
#include "recording/webcam_bubble_controller.h"
#include "support/cpu_time.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void runMainLoopFor(std::chrono::duration<double> span) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(span);
    while (Clock::now() < end) {
        while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
        g_usleep(2000);
    }
}

struct Share {
    double corePct = 0;
    double wall = 0;
};

// The process's CPU over `span` of `work`, as a share of one core.
template <typename Work>
Share measure(Work&& work) {
    const double cpu0 = bench::processCpuSeconds();
    const auto t0 = Clock::now();
    work();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return {(bench::processCpuSeconds() - cpu0) / wall * 100, wall};
}

}  // namespace
}  // namespace marlune

int main(int argc, char** argv) {
    using namespace marlune;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "bench_webcam: no display (run it under scripts/with-desktop)\n");
        return 1;
    }
    if (!std::getenv("MARLUNE_WEBCAM_INPUT_FORMAT")) {
        setenv("MARLUNE_WEBCAM_INPUT_FORMAT", "lavfi", 1);
        setenv("MARLUNE_WEBCAM_DEVICE", "testsrc2=size=1280x720:rate=30,format=yuyv422,realtime",
               1);
    }
    const CameraSource source = configuredCameraSource(nullptr);
    const std::chrono::duration<double> span(seconds);

    // The camera's own share: pictures taken as they come and never looked at.
    int taken = 0;
    Share camera = measure([&] {
        auto input = CameraInput::open(source, {1280, 720, 30});
        if (!input) return;
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(span);
        while (Clock::now() < end && input->grab()) ++taken;
    });

    WebcamBubbleController bubble;
    bubble.show("br", "l", true, "circle", 1.0);
    runMainLoopFor(2s);  // the camera opened, the window up
    const auto shown0 = bubble.picturesShown();
    Share preview = measure([&] { runMainLoopFor(span); });
    const double shownRate = double(bubble.picturesShown() - shown0) / preview.wall;

    const auto movie = std::filesystem::temp_directory_path() / "marlune-bench.webcam.mp4";
    bubble.startRecording(movie);
    runMainLoopFor(1s);  // the camera reopened at the recording size
    auto writer = bubble.recordingWriter();
    const WriterCounters before = writer ? writer->counters() : WriterCounters{};
    Share recording = measure([&] { runMainLoopFor(span); });
    const WriterCounters after = writer ? writer->counters() : WriterCounters{};
    const auto written = after.framesWritten - before.framesWritten;
    const auto dropped = after.framesDropped - before.framesDropped;
    writer.reset();
    bool stopped = false;
    bubble.stopRecording([&](std::shared_ptr<AssetWriterCoordinator>, bool) { stopped = true; });
    while (!stopped) runMainLoopFor(50ms);
    bubble.hide();
    std::filesystem::remove(movie);

    std::printf("camera alone (the lavfi test picture): %.1f%% of a core, %.1f pictures a second\n",
                camera.corePct, taken / camera.wall);
    std::printf("bubble preview: %.1f%% of a core, %.1f pictures shown a second\n",
                preview.corePct - camera.corePct, shownRate);
    std::printf(
        "bubble preview + webcam movie (1280 x 720, 30 fps, 8 Mbit/s): %.1f%% of a core; "
        "%.1f pictures written a second, %llu dropped\n",
        recording.corePct - camera.corePct, double(written) / recording.wall,
        static_cast<unsigned long long>(dropped));
    return 0;
}
