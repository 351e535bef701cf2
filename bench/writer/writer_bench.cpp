// The movie writer's costs, printed side by side:
//
//   bench/bench_writer [--seconds N] [--finish-minutes M]   (0 skips a part)
//
// 1. Encoding: N seconds (default 10) of 1920 × 1080 pictures at 30 fps with moving content,
//    through AssetWriterCoordinator with each candidate x264 preset: CPU seconds per second of
//    video (all threads of the process), the wall time per second of video, frames dropped and
//    the profile the stream declares. Pictures are handed over as fast as the writer takes
//    them, so the CPU figure is the encoder's own; the capture's comes on top.
// 2. Stopping: an M-minute live movie (default 10) at the 1080p30 bit rate, made by the ffmpeg
//    tool by repeating a 10-second clip, is turned into an ordinary movie by finishLiveMovie;
//    its wall time is what stopping a recording of that length adds.
//
// The machine is shared: figures are indicative; run it twice and keep the better round.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/media/live_movie.h"
#include "recording/asset_writer_coordinator.h"
#include "support/cpu_time.h"
#include "support/ffmpeg_tool.h"
#include "support/synthetic_media.h"

namespace {

using namespace marlune;

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string profileOf(const std::filesystem::path& movie) {
    auto out =
        test::toolOutput({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=profile", "-of", "csv=p=0", movie.string()});
    if (!out) return "?";
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
    return *out;
}

void encodeRound(const std::string& preset, double seconds, const std::filesystem::path& dir) {
    // A handful of distinct pictures, reused: making them is not the writer's cost.
    std::vector<VideoFrame> pictures;
    for (int i = 0; i < 8; ++i) pictures.push_back(test::syntheticFrame(1920, 1080, i * 37, 0));
    WriterTuning tuning;
    tuning.preset = preset;
    AssetWriterCoordinator writer(tuning);
    auto movie = dir / ("bench-" + preset + ".mp4");
    if (auto ok = writer.prepare(movie, 1920, 1080, 30, false, false); !ok) {
        std::printf("%-10s cannot prepare: %s\n", preset.c_str(), ok.error().message.c_str());
        return;
    }
    const int frames = static_cast<int>(seconds * 30);
    const double cpu0 = bench::processCpuSeconds(), wall0 = wallSeconds();
    for (int i = 0; i < frames; ++i) {
        VideoFrame f = pictures[static_cast<std::size_t>(i) % pictures.size()];
        f.pts = test::kSecond + i * test::kSecond / 30;
        // Waits for room in the writer's queue, so that no frame is dropped for speed.
        for (;;) {
            auto c = writer.counters();
            if (static_cast<int>(c.framesWritten + c.framesDropped) >= i - 4) break;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        writer.appendVideo(f);
    }
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    const double stop0 = wallSeconds();
    writer.finish([&](Result<SavedInfo>) {
        std::lock_guard lock(m);
        done = true;
        cv.notify_all();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
    const double cpu = bench::processCpuSeconds() - cpu0, wall = wallSeconds() - wall0;
    auto c = writer.counters();
    std::printf("%-10s %8.3f %10.3f %8llu %8llu %10.3f  %s\n", preset.c_str(), cpu / seconds,
                wall / seconds, static_cast<unsigned long long>(c.framesWritten),
                static_cast<unsigned long long>(c.framesDropped), wallSeconds() - stop0,
                profileOf(movie).c_str());
    std::filesystem::remove(movie);
}

void finishRound(int minutes, const std::filesystem::path& dir) {
    auto clip = dir / "clip.mp4";
    auto live = dir / "live.mp4";
    // 10 s of 1080p30 at the recording bit rate, key frame every second, no B-frames.
    if (!test::ffmpeg({"-f",      "lavfi",     "-i",         "testsrc2=s=1920x1080:r=30",
                       "-f",      "lavfi",     "-i",         "sine=f=440:sample_rate=48000",
                       "-t",      "10",        "-c:v",       "libx264",
                       "-preset", "ultrafast", "-b:v",       "11197k",
                       "-g",      "30",        "-bf",        "0",
                       "-c:a",    "aac",       "-ac",        "2",
                       "-b:a",    "192k",      clip.string()}) ||
        !test::ffmpeg({"-stream_loop", std::to_string(minutes * 6 - 1), "-i", clip.string(), "-c",
                       "copy", "-movflags",
                       "+frag_keyframe+empty_moov+default_base_moof+delay_moov+skip_trailer",
                       "-brand", std::string(kLiveMovieBrand), live.string()})) {
        std::printf("cannot make the live movie (ffmpeg)\n");
        return;
    }
    // A recording's writer makes each fragment durable as it goes; the tool did not, so its
    // file is made durable first, or the timing would include writing the whole file out.
    if (int fd = ::open(live.c_str(), O_RDONLY); fd >= 0) {
        fdatasync(fd);
        ::close(fd);
    }
    const double t0 = wallSeconds();
    auto finished = finishLiveMovie(live);
    const double took = wallSeconds() - t0;
    if (!finished) {
        std::printf("finish failed: %s\n", finished.error().message.c_str());
        return;
    }
    std::printf(
        "%d-minute live movie, %.0f MB, %d fragments: finished in %.3f s (duration %.1f s)\n",
        minutes, static_cast<double>(std::filesystem::file_size(live)) / 1e6, finished->fragments,
        took, finished->durationSeconds);
    std::filesystem::remove(clip);
    std::filesystem::remove(live);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    int minutes = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--finish-minutes") == 0) minutes = std::atoi(argv[i + 1]);
    }
    auto dir = std::filesystem::temp_directory_path() /
               ("marlune-bench-writer-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::printf("1080p30, %.0f s of video per preset\n", seconds);
    std::printf("%-10s %8s %10s %8s %8s %10s  %s\n", "preset", "cpu s/s", "wall s/s", "written",
                "dropped", "stop s", "profile");
    if (seconds > 0) {
        for (const char* preset : {"ultrafast", "superfast", "veryfast"}) {
            encodeRound(preset, seconds, dir);
        }
    }
    std::printf("\n");
    if (minutes > 0) finishRound(minutes, dir);
    std::filesystem::remove_all(dir);
    return 0;
}
