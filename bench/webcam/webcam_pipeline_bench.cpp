// What recording the webcam costs per recorded second, counted per picture instead of against
// the clock, so that a busy machine changes the figure little: the 1280 × 720 YUYV test picture
// is taken as fast as it comes (not in real time) and goes through what the ".webcam" queue does
// with each picture while recording: the conversion to BGRA, the bubble's picture halved for four
// pictures in five (24 of 30 shown), the webcam movie's writer (8 Mbit/s) and its small copy's.
// The writers are waited for picture by picture, so none is dropped. CPU time is the whole
// process's (the writers' queues and libx264's threads included), less the test picture's own
// drawing (measured alone: a real camera draws in its own hardware), times 30 pictures a second:
//
//     build/bench/bench_webcam_pipeline [pictures, default 450] [lavfi graph]
//
// The default picture is made camera-like: the test pattern softened as a lens does, with a
// sensor's grain changing from picture to picture (libx264's work at a fixed bit rate depends on
// what it is given; the bare pattern compresses almost losslessly).

#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/media/camera_input.h"
#include "recording/asset_writer_coordinator.h"
#include "recording/webcam_bubble_layout.h"
#include "recording/webcam_proxy_writer.h"
#include "support/cpu_time.h"

namespace marlune {
namespace {

// CPU seconds spent in the conversion alone (retrieve) in the last run, timed on this thread.
double gConversion = 0;

CameraSource gSource{"lavfi",
                     "testsrc2=size=1280x720:rate=30,gblur=sigma=0.8,noise=alls=6:allf=t,"
                     "format=yuyv422"};
constexpr HostTime kPeriod = 1'000'000'000 / 30;

enum class Stage { take, convert, record, recordWithCopy };

// CPU seconds for `pictures` pictures through `stage`.
double run(Stage stage, int pictures) {
    auto camera = CameraInput::open(gSource, {1280, 720, 30});
    if (!camera) {
        std::fprintf(stderr, "no test picture: %s\n", camera.error().message.c_str());
        std::exit(1);
    }
    const auto movie = std::filesystem::temp_directory_path() / "marlune-pipeline.webcam.mp4";
    std::shared_ptr<AssetWriterCoordinator> writer;
    std::shared_ptr<WebcamProxyWriter> copy;
    const double cpu0 = bench::processCpuSeconds();
    const HostTime start = hostTimeNow();
    for (int i = 0; i < pictures; ++i) {
        if (!camera->grab()) std::exit(1);
        if (stage == Stage::take) continue;
        auto image = std::make_shared<BgraImage>();
        const double t0 = bench::threadCpuSeconds();
        if (!camera->retrieve(*image)) std::exit(1);
        gConversion += bench::threadCpuSeconds() - t0;
        if (stage == Stage::convert) continue;
        VideoFrame frame{image->width, image->height, image->stride,
                         std::shared_ptr<const std::uint8_t>(image, image->pixels.data()),
                         start + i * kPeriod};
        if (i % 5 != 4) (void)halvedPicture(BgraPixels(*image));  // the bubble's picture
        if (!writer) {
            writer = std::make_shared<AssetWriterCoordinator>();
            if (!writer->prepare(movie, frame.width, frame.height, 30, false, false, 8'000'000))
                std::exit(1);
            if (stage == Stage::recordWithCopy)
                copy = WebcamProxyWriter::start(movie, frame, 30, {});
        }
        writer->appendVideo(frame);
        if (copy) copy->append(frame);
        // As the camera's pace would: the writer never falls behind far enough to drop one.
        while (writer->counters().framesWritten + 2 < std::uint64_t(i + 1))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (writer) {
        if (copy) copy->finish();
        std::atomic<bool> done{false};
        writer->finish([&](Result<SavedInfo>) { done = true; });
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // The copy finishes on its own queue; its last pictures are part of the cost.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto dropped = writer->counters().framesDropped;
        if (dropped) std::fprintf(stderr, "%llu pictures dropped\n", (unsigned long long)dropped);
    }
    const double cpu = bench::processCpuSeconds() - cpu0;
    std::filesystem::remove(movie);
    return cpu;
}

}  // namespace
}  // namespace marlune

int main(int argc, char** argv) {
    using namespace marlune;
    const int pictures = argc > 1 ? std::max(30, std::atoi(argv[1])) : 450;
    if (argc > 2) gSource.device = argv[2];
    const double take = run(Stage::take, pictures);
    auto perSecond = [&](double cpu) { return (cpu - take) / pictures * 30; };
    (void)run(Stage::convert, pictures);
    const double convert = gConversion / pictures * 30;
    const double record = perSecond(run(Stage::record, pictures));
    const double withCopy = perSecond(run(Stage::recordWithCopy, pictures));
    std::printf("%d pictures of %s; CPU s per recorded second (30 pictures):\n", pictures,
                gSource.device.c_str());
    std::printf("  conversion to BGRA            %.3f\n", convert);
    std::printf("  + bubble picture + movie      %.3f\n", record);
    std::printf("  + the small copy              %.3f\n", withCopy);
    return 0;
}
