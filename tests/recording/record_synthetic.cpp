// record_synthetic MOVIE SECONDS [--file-size-limit BYTES]: a real writer in real time (640 × 360
// at 30 fps, a mic tone and silent system audio); prints "written <frames>" each second, then
// "saved <ms>" or "failed <message>". The size limit makes writes fail as a full disk would.

#include <signal.h>
#include <sys/resource.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "recording/asset_writer_coordinator.h"
#include "support/synthetic_media.h"

int main(int argc, char** argv) {
    using namespace marlune;
    if (argc < 3) {
        std::fprintf(stderr, "usage: record_synthetic MOVIE SECONDS [--file-size-limit BYTES]\n");
        return 2;
    }
    const std::string path = argv[1];
    const double seconds = std::atof(argv[2]);
    if (argc == 5 && std::strcmp(argv[3], "--file-size-limit") == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = std::strtoull(argv[4], nullptr, 10);
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    AssetWriterCoordinator writer;
    if (auto ok = writer.prepare(path, 640, 360, 30, true, true); !ok) {
        std::printf("failed %s\n", ok.error().message.c_str());
        return 1;
    }
    const HostTime start = hostTimeNow();
    const int frames = static_cast<int>(seconds * 30);
    std::int64_t audioFrames = 0;
    for (int i = 0; i < frames; ++i) {
        const HostTime due = start + i * test::kSecond / 30;
        while (hostTimeNow() < due) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        writer.appendVideo(test::syntheticFrame(640, 360, i, due));
        // Sound in 10 ms buffers up to this frame's time.
        while (start + audioFrames * test::kSecond / 48000 <= due) {
            const HostTime pts = start + audioFrames * test::kSecond / 48000;
            writer.appendMic(test::syntheticAudio(pts, 480, 440, 0.5f, audioFrames));
            writer.appendSystemAudio(test::syntheticAudio(pts, 480));
            audioFrames += 480;
        }
        if (i % 30 == 0) {
            std::printf("written %llu\n",
                        static_cast<unsigned long long>(writer.counters().framesWritten));
        }
    }
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Result<SavedInfo> result = std::unexpected(Error{});
    writer.finish([&](Result<SavedInfo> r) {
        std::lock_guard lock(m);
        result = std::move(r);
        done = true;
        cv.notify_all();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
    if (result) {
        std::printf("saved %d\n", result->durationMs);
    } else {
        std::printf("failed %s\n", result.error().message.c_str());
    }
    return 0;
}
