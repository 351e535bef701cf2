// Listing a large recordings folder: 200 one-minute 1080p movies, thumbnails included.
//
// The movies are made once with the ffmpeg tool into a cache folder under /tmp (one movie of
// mostly still pictures at a low bit rate, hard-linked 200 times) and reused by later runs.
// Prints the time per item for 50 and for 200 movies (the two should match: the work grows
// linearly), how many cores the listing kept busy (CPU time over wall time, lower while other
// programs compete for the cores) and how the work split over the shared pool's threads (one per
// core).

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "core/queue.h"
#include "library/recordings_library.h"
#include "support/cpu_time.h"

extern char** environ;

namespace marlune {
namespace {

namespace fs = std::filesystem;

const fs::path kCache = "/tmp/marlune-bench-library";
constexpr int kMovies = 200;

fs::path homeFor(int count) {
    return kCache / ("home-" + std::to_string(count));
}

bool run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The source movie, then a recordings folder per count holding links to it.
bool prepare() {
    fs::create_directories(kCache);
    fs::path source = kCache / "source.mp4";
    if (!fs::exists(source)) {
        std::fprintf(stderr, "making the one-minute 1080p source movie (once)…\n");
        fs::path partial = kCache / "source.partial.mp4";
        if (!run({"ffmpeg",
                  "-nostdin",
                  "-v",
                  "error",
                  "-y",
                  "-f",
                  "lavfi",
                  "-i",
                  "testsrc2=s=1920x1080:r=2,fps=30",
                  "-f",
                  "lavfi",
                  "-i",
                  "sine=f=440:sample_rate=48000",
                  "-t",
                  "60",
                  "-c:v",
                  "libx264",
                  "-preset",
                  "ultrafast",
                  "-crf",
                  "40",
                  "-g",
                  "30",
                  "-pix_fmt",
                  "yuv420p",
                  "-c:a",
                  "aac",
                  "-b:a",
                  "32k",
                  "-ac",
                  "1",
                  partial.string()})) {
            return false;
        }
        fs::rename(partial, source);
    }
    for (int count : {50, kMovies}) {
        fs::path dir = homeFor(count) / "Videos/Marlune";
        fs::create_directories(dir);
        for (int i = 0; i < count; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "Recording %03d.mp4", i);
            if (!fs::exists(dir / name)) fs::create_hard_link(source, dir / name);
        }
    }
    return true;
}

// CPU seconds used so far by each thread of this process whose name starts with `prefix`.
std::map<int, double> threadCpuSeconds(const std::string& prefix) {
    std::map<int, double> out;
    const double tick = double(sysconf(_SC_CLK_TCK));
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream stat(task.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        auto open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        if (!text.substr(open + 1, close - open - 1).starts_with(prefix)) continue;
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        // After the name: state, then fields 4 … 13, then utime and stime.
        for (int i = 0; i < 11; ++i) rest >> field;
        double utime = 0, stime = 0;
        rest >> utime >> stime;
        out[std::stoi(task.path().filename())] = (utime + stime) / tick;
    }
    return out;
}

struct Measure {
    double secondsPerItem = 0;
    double coresBusy = 0;
    std::vector<double> threadShares;  // of the pool's CPU time, per pool thread
};
std::map<int, Measure> gResults;

void BM_ListRecordings(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    setenv("HOME", homeFor(count).c_str(), 1);
    RecordingsLibrary library;
    std::size_t items = 0, thumbs = 0;
    double wall = 0, cpu = 0;
    auto poolBefore = threadCpuSeconds("marlune.pool");
    for (auto _ : state) {
        double cpu0 = bench::processCpuSeconds();
        auto t0 = std::chrono::steady_clock::now();
        std::promise<Json> done;
        library.list([&](Json listed) { done.set_value(std::move(listed)); });
        Json listed = done.get_future().get();
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(seconds);
        wall += seconds;
        cpu += bench::processCpuSeconds() - cpu0;
        items = listed.size();
        thumbs = 0;
        for (const auto& item : listed) thumbs += item.contains("thumb");
    }
    if (items != static_cast<std::size_t>(count) || thumbs != items) {
        state.SkipWithError("the listing is incomplete");
        return;
    }
    Measure m{wall / state.iterations() / count, cpu / wall, {}};
    double poolTotal = 0;
    std::vector<double> used;
    for (auto [tid, seconds] : threadCpuSeconds("marlune.pool")) {
        used.push_back(seconds - poolBefore[tid]);
        poolTotal += used.back();
    }
    for (double u : used) m.threadShares.push_back(poolTotal > 0 ? u / poolTotal : 0);
    gResults[count] = m;
    state.counters["ms_per_item"] = m.secondsPerItem * 1000;
    state.counters["cores_busy"] = m.coresBusy;
}

BENCHMARK(BM_ListRecordings)
    ->Arg(50)
    ->Arg(kMovies)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace marlune

int main(int argc, char** argv) {
    using namespace marlune;
    // The listing reads HOME per call; the desktop's folder settings (read once) must not
    // point elsewhere.
    setenv("XDG_CONFIG_HOME", (kCache / "config").c_str(), 1);
    if (!prepare()) {
        std::fprintf(stderr, "could not make the benchmark movies (is ffmpeg installed?)\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gResults.contains(50) && gResults.contains(kMovies)) {
        const Measure& small = gResults[50];
        const Measure& large = gResults[kMovies];
        std::printf(
            "\nlisting %d one-minute 1080p movies with thumbnails: %.1f ms per item "
            "(%.1f ms per item for 50: ratio %.2f, linear when near 1)\n"
            "cores busy while listing (CPU time / wall time; less when other programs compete): "
            "%.2f of %u\n"
            "the work split over the pool's %zu threads:",
            kMovies, large.secondsPerItem * 1000, small.secondsPerItem * 1000,
            large.secondsPerItem / small.secondsPerItem, large.coresBusy,
            std::thread::hardware_concurrency(), large.threadShares.size());
        for (double share : large.threadShares) std::printf(" %.0f%%", share * 100);
        std::printf("\n");
    }
    return 0;
}
